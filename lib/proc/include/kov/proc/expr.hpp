// SPDX-License-Identifier: Apache-2.0
// Expressions over blocks of samples: the expression text is parsed once,
// then evaluated over many samples at a time in double precision.
//
// Names in an expression: x1 to x9 (the coordinate of the sample along an
// axis), i1 to i9 (its index from 0), the constants pi and e, and any other
// name, which stands for an input.  Functions: sin cos tan asin acos atan
// atan2 sinh cosh tanh exp log log10 sqrt abs sign min max pow floor ceil
// rint, each with the meaning NumPy gives it in float64 (min and max are
// NumPy's minimum and maximum: a NaN wins; log is the natural logarithm;
// rint rounds half to even); operators + - * / ^ (power), comparisons
// < <= > >= == != giving 1 or 0, && ||, and the conditional c ? a : b.
#ifndef KOV_PROC_EXPR_HPP
#define KOV_PROC_EXPR_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovproc {

// An expression that does not parse: the reason, and the place (counting
// the characters of the text from 1) where the parser found it.
class ExpressionError : public std::runtime_error {
public:
  ExpressionError(const std::string &reason, std::size_t position)
      : std::runtime_error(reason), position_(position) {}
  std::size_t position() const { return position_; }

private:
  std::size_t position_;
};

// What a name in an expression stands for.
struct Name {
  enum class Kind { input, coordinate, index };
  std::string text;
  Kind kind = Kind::input;
  int axis = 0;             // 1 to 9 for a coordinate or an index
  std::size_t position = 1; // its first place in the text, from 1
};

class Expression {
public:
  // Parse `text`; ExpressionError when it does not parse.  `block` is the
  // most samples evaluate() takes at once.
  explicit Expression(const std::string &text, std::size_t block = 4096);
  ~Expression();
  Expression(const Expression &) = delete;
  Expression &operator=(const Expression &) = delete;

  // Every name the expression uses (pi and e aside), in order of first use.
  const std::vector<Name> &names() const { return names_; }

  // Where the values of names()[k] go before evaluate(): block() long.
  std::span<double> values(std::size_t k) { return slots_[k]; }
  std::size_t block() const { return block_; }

  // The expression over the first `out.size()` values (at most block()) of
  // every name.
  void evaluate(std::span<double> out);

private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
  std::vector<Name> names_;
  std::vector<std::vector<double>> slots_;
  std::size_t block_;
};

// The regular grid of a dataset, for the values of x1..x9 and i1..i9: axis
// k (from 1) has n[k-1] samples at o[k-1] + d[k-1] * i, axis 1 fastest.
struct Grid {
  std::vector<std::int64_t> n;
  std::vector<double> o, d;

  // The index (i_axis) or the coordinate (x_axis) of the `out.size()`
  // samples from sample number `first` (counting axis 1 fastest).  An axis
  // beyond the last has one sample: index 0, coordinate o=0.
  void indices(int axis, std::int64_t first, std::span<double> out) const;
  void coordinates(int axis, std::int64_t first, std::span<double> out) const;
};

// The values of every coordinate and index name of `expr` for the samples
// from `first`, `count` of them.
void fill_grid_names(Expression &expr, const Grid &grid, std::int64_t first, std::size_t count);

} // namespace kovproc

#endif
