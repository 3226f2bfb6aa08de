// SPDX-License-Identifier: Apache-2.0
// Expression evaluation over blocks (muParser in its bulk mode).
#include "kov/proc/expr.hpp"
#include "kov/proc/reduce.hpp"

#include <muParser.h>
#include <omp.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <map>
#include <numbers>
#include <regex>
#include <string>

namespace kovproc {

namespace {

// The functions, with NumPy's float64 meaning where the parser's own differ
// (its sign, rint, min and max) or are missing.
double f_sin(double x) { return std::sin(x); }
double f_cos(double x) { return std::cos(x); }
double f_tan(double x) { return std::tan(x); }
double f_asin(double x) { return std::asin(x); }
double f_acos(double x) { return std::acos(x); }
double f_atan(double x) { return std::atan(x); }
double f_sinh(double x) { return std::sinh(x); }
double f_cosh(double x) { return std::cosh(x); }
double f_tanh(double x) { return std::tanh(x); }
double f_exp(double x) { return std::exp(x); }
double f_log(double x) { return std::log(x); }
double f_log10(double x) { return std::log10(x); }
double f_sqrt(double x) { return std::sqrt(x); }
double f_abs(double x) { return std::fabs(x); }
double f_floor(double x) { return std::floor(x); }
double f_ceil(double x) { return std::ceil(x); }
double f_rint(double x) { return std::nearbyint(x); }
double f_sign(double x) { return x > 0 ? 1.0 : x < 0 ? -1.0 : x == 0 ? 0.0 : x; }
double f_atan2(double y, double x) { return std::atan2(y, x); }
double f_pow(double x, double y) { return std::pow(x, y); }
double f_min(double a, double b) { return numpy_min(a, b); }
double f_max(double a, double b) { return numpy_max(a, b); }

void define_functions(mu::Parser &p) {
  p.ClearFun();
  p.ClearConst();
  p.EnableOptimizer(false); // evaluate as written: no folding, no reassociation
  p.DefineConst("pi", std::numbers::pi);
  p.DefineConst("e", std::numbers::e);
  for (const auto &[name, f] :
       std::initializer_list<std::pair<const char *, double (*)(double)>>{{"sin", f_sin},
                                                                          {"cos", f_cos},
                                                                          {"tan", f_tan},
                                                                          {"asin", f_asin},
                                                                          {"acos", f_acos},
                                                                          {"atan", f_atan},
                                                                          {"sinh", f_sinh},
                                                                          {"cosh", f_cosh},
                                                                          {"tanh", f_tanh},
                                                                          {"exp", f_exp},
                                                                          {"log", f_log},
                                                                          {"log10", f_log10},
                                                                          {"sqrt", f_sqrt},
                                                                          {"abs", f_abs},
                                                                          {"sign", f_sign},
                                                                          {"floor", f_floor},
                                                                          {"ceil", f_ceil},
                                                                          {"rint", f_rint}})
    p.DefineFun(name, f);
  for (const auto &[name, f] :
       std::initializer_list<std::pair<const char *, double (*)(double, double)>>{
           {"atan2", f_atan2}, {"pow", f_pow}, {"min", f_min}, {"max", f_max}})
    p.DefineFun(name, f);
}

// The parser's message without its own position (counted from 0), which
// the error gives counted from 1.
std::string reason_of(const mu::Parser::exception_type &e) {
  static const std::regex at(" at (expression )?position [0-9]+");
  std::string text = std::regex_replace(e.GetMsg(), at, "");
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

bool name_char(char c);

// The parser's error as ours: its place counted from 1, at most one past
// the end of the text (the parser counts a blank it adds), and a name
// called as a function named as such.
ExpressionError error_of(const std::string &text, const mu::Parser::exception_type &e) {
  std::size_t position =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(e.GetPos(), 0)) + 1, text.size() + 1);
  std::string reason = reason_of(e);
  if (position > text.size() && reason == "Internal error") reason = "Unexpected end of expression";
  if (reason.starts_with("Unexpected parenthesis \"(\"") && position > 1) {
    std::size_t begin = position - 1;
    while (begin > 0 && name_char(text[begin - 1])) --begin;
    if (begin < position - 1) {
      const std::string name = text.substr(begin, position - 1 - begin);
      return ExpressionError("unknown function \"" + name + "\"", begin + 1);
    }
  }
  return ExpressionError(reason, position);
}

bool name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// The first place (from 1) where `name` stands as a whole word.
std::size_t first_use(const std::string &text, const std::string &name) {
  for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    const bool before = at > 0 && name_char(text[at - 1]);
    const bool after = at + name.size() < text.size() && name_char(text[at + name.size()]);
    if (!before && !after) return at + 1;
  }
  return 1;
}

// The parser assigns with `=`; an expression only computes.
void refuse_assignment(const std::string &text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '=') continue;
    const bool comparison =
        (i > 0 && std::string_view("<>!=").find(text[i - 1]) != std::string_view::npos) ||
        (i + 1 < text.size() && text[i + 1] == '=');
    if (comparison) {
      if (i + 1 < text.size() && text[i + 1] == '=') ++i;
      continue;
    }
    throw ExpressionError("\"=\" assigns; compare with \"==\"", i + 1);
  }
}

Name name_of(const std::string &text, const std::string &name) {
  Name n{name, Name::Kind::input, 0, first_use(text, name)};
  if (name.size() == 2 && (name[0] == 'x' || name[0] == 'i') && name[1] >= '1' && name[1] <= '9') {
    n.kind = name[0] == 'x' ? Name::Kind::coordinate : Name::Kind::index;
    n.axis = name[1] - '0';
  }
  return n;
}

double *collect(const char *name, void *data) {
  auto &store = *static_cast<std::deque<double> *>(data);
  (void)name;
  return &store.emplace_back(0.0);
}

} // namespace

struct Expression::Parser {
  mu::Parser bulk;
};

Expression::Expression(const std::string &text, std::size_t block)
    : parser_(std::make_unique<Parser>()), block_(std::max<std::size_t>(block, 1)) {
  if (text.find_first_not_of(" \t") == std::string::npos)
    throw ExpressionError("the expression is empty", 1);
  refuse_assignment(text);
  // First pass: every name becomes a variable, so that the names are known.
  std::deque<double> store;
  std::vector<std::string> used;
  try {
    mu::Parser probe;
    define_functions(probe);
    probe.SetVarFactory(collect, &store);
    probe.SetExpr(text);
    probe.Eval();
    if (probe.GetNumResults() != 1) throw ExpressionError("one expression only, without commas", 1);
    for (const auto &[name, pointer] : probe.GetUsedVar()) used.push_back(name);
  } catch (const mu::Parser::exception_type &e) {
    throw error_of(text, e);
  }
  for (const std::string &n : used) names_.push_back(name_of(text, n));
  std::sort(names_.begin(), names_.end(),
            [](const Name &a, const Name &b) { return a.position < b.position; });
  slots_.assign(names_.size(), std::vector<double>(block_, 0.0));
  try {
    define_functions(parser_->bulk);
    for (std::size_t k = 0; k < names_.size(); ++k)
      parser_->bulk.DefineVar(names_[k].text, slots_[k].data());
    parser_->bulk.SetExpr(text);
  } catch (const mu::Parser::exception_type &e) {
    throw error_of(text, e);
  }
}

Expression::~Expression() = default;

void Expression::evaluate(std::span<double> out) {
  if (out.size() > block_) throw std::length_error("more samples than the block holds");
  if (out.empty()) return;
  // The parser would share a block among OpenMP threads that spin while
  // they wait: on a busy machine that costs several times what it gives.
  // One thread per block; the programs' reads and writes set the pace.
  omp_set_num_threads(1);
  parser_->bulk.Eval(out.data(), static_cast<int>(out.size()));
}

void Grid::indices(int axis, std::int64_t first, std::span<double> out) const {
  const std::size_t k = static_cast<std::size_t>(axis - 1);
  if (k >= n.size()) {
    std::fill(out.begin(), out.end(), 0.0);
    return;
  }
  std::int64_t stride = 1;
  for (std::size_t j = 0; j < k; ++j) stride *= n[j];
  std::int64_t index = (first / stride) % n[k], left = stride - first % stride;
  for (double &v : out) {
    v = static_cast<double>(index);
    if (--left == 0) {
      left = stride;
      if (++index == n[k]) index = 0;
    }
  }
}

void Grid::coordinates(int axis, std::int64_t first, std::span<double> out) const {
  indices(axis, first, out);
  const std::size_t k = static_cast<std::size_t>(axis - 1);
  const double origin = k < o.size() ? o[k] : 0.0, step = k < d.size() ? d[k] : 1.0;
  for (double &v : out) v = origin + step * v;
}

void fill_grid_names(Expression &expr, const Grid &grid, std::int64_t first, std::size_t count) {
  for (std::size_t k = 0; k < expr.names().size(); ++k) {
    const Name &name = expr.names()[k];
    const std::span<double> to = expr.values(k).first(count);
    if (name.kind == Name::Kind::index)
      grid.indices(name.axis, first, to);
    else if (name.kind == Name::Kind::coordinate)
      grid.coordinates(name.axis, first, to);
  }
}

} // namespace kovproc
