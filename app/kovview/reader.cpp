// kovview's reader; see reader.hpp.
#include "reader.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace kovview {

std::optional<Element> element_of(const std::string &format, int esize) {
  if (esize == 4 && format == "xdr_float") return Element::XdrFloat;
  if (esize == 4 && format == "native_float") return Element::NativeFloat;
  if (esize == 4 && format == "xdr_int") return Element::XdrInt;
  if (esize == 1 && format == "native_byte") return Element::Byte;
  return std::nullopt;
}

namespace {

std::uint32_t load32(const char *p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

template <Element E> double value(const char *p) {
  if constexpr (E == Element::XdrFloat) {
    std::uint32_t w = load32(p);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
    return std::bit_cast<float>(w);
  } else if constexpr (E == Element::NativeFloat) {
    return std::bit_cast<float>(load32(p));
  } else if constexpr (E == Element::XdrInt) {
    std::uint32_t w = load32(p);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
    return std::bit_cast<std::int32_t>(w);
  } else {
    return static_cast<unsigned char>(*p);
  }
}

// Adds the samples [p_lo, p_hi) of the trace `trace` (whose first sample
// is index `p0` along the down axis) to the row cells they fall in.
template <Element E>
void accumulate(const char *trace, std::int64_t p0, std::int64_t p_lo, std::int64_t p_hi,
                std::int64_t first, std::int64_t count, std::int64_t rows, double *sum,
                std::int64_t *n) {
  constexpr int size = E == Element::Byte ? 1 : 4;
  // The first row cell that holds p_lo.
  std::int64_t r = (p_lo - first) * rows / count;
  while (r + 1 < rows && cell_start(r + 1, rows, count) <= p_lo - first) ++r;
  while (r > 0 && cell_start(r, rows, count) > p_lo - first) --r;
  for (std::int64_t p = p_lo; p < p_hi && r < rows; ++r) {
    const std::int64_t end = std::min(p_hi, first + cell_start(r + 1, rows, count));
    double s = 0.0;
    std::int64_t c = 0;
    for (; p < end; ++p) {
      const double v = value<E>(trace + (p - p0) * size);
      if (std::isfinite(v)) s += v, ++c;
    }
    sum[r] += s;
    n[r] += c;
  }
}

} // namespace

Reader::Reader(Element element, int esize, const std::array<std::int64_t, 3> &n)
    : element_(element), esize_(esize), n_(n) {}

std::optional<std::string> Reader::read(const WindowRequest &w, std::vector<float> &out, int &rows,
                                        int &cols) {
  const auto d = static_cast<std::size_t>(w.down), a = static_cast<std::size_t>(w.across);
  const std::int64_t np = w.count[d], nq = w.count[a];
  const std::int64_t mr = cells(np, w.rows), mc = cells(nq, w.cols);
  rows = static_cast<int>(mr);
  cols = static_cast<int>(mc);
  out.assign(static_cast<std::size_t>(mr * mc), std::numeric_limits<float>::quiet_NaN());
  std::vector<double> sum(static_cast<std::size_t>(mr));
  std::vector<std::int64_t> count(static_cast<std::size_t>(mr));

  const std::int64_t block_samples = kBlockBytes / esize_;
  const std::int64_t p_chunk = std::min(np, block_samples);
  const std::int64_t q_chunk = std::max<std::int64_t>(1, block_samples / p_chunk);

  std::lock_guard lock(mutex_);
  if (block_.empty()) block_.resize(static_cast<std::size_t>(kBlockBytes));
  const int ndim = 3;
  std::array<int, 3> ng{}, nw{}, fw{}, jw{1, 1, 1};
  for (std::size_t k = 0; k < 3; ++k) {
    ng[k] = static_cast<int>(n_[k]);
    nw[k] = 1;
    fw[k] = static_cast<int>(w.first[k]);
  }
  for (std::int64_t col = 0; col < mc; ++col) {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(count.begin(), count.end(), 0);
    const std::int64_t q_lo = w.first[a] + cell_start(col, mc, nq);
    const std::int64_t q_hi = w.first[a] + cell_start(col + 1, mc, nq);
    for (std::int64_t qs = q_lo; qs < q_hi; qs += q_chunk) {
      const std::int64_t qn = std::min(q_chunk, q_hi - qs);
      for (std::int64_t ps = w.first[d]; ps < w.first[d] + np; ps += p_chunk) {
        const std::int64_t pn = std::min(p_chunk, w.first[d] + np - ps);
        nw[d] = static_cast<int>(pn);
        fw[d] = static_cast<int>(ps);
        nw[a] = static_cast<int>(qn);
        fw[a] = static_cast<int>(qs);
        if (sreed_window("in", &ndim, ng.data(), nw.data(), fw.data(), jw.data(), esize_,
                         block_.data()) != 0)
          return std::string("the data are short or unreadable: the window could not be read");
        for (std::int64_t q = 0; q < qn; ++q) {
          const char *trace = block_.data() + q * pn * esize_;
          switch (element_) {
          case Element::XdrFloat:
            accumulate<Element::XdrFloat>(trace, ps, ps, ps + pn, w.first[d], np, mr, sum.data(),
                                          count.data());
            break;
          case Element::NativeFloat:
            accumulate<Element::NativeFloat>(trace, ps, ps, ps + pn, w.first[d], np, mr, sum.data(),
                                             count.data());
            break;
          case Element::XdrInt:
            accumulate<Element::XdrInt>(trace, ps, ps, ps + pn, w.first[d], np, mr, sum.data(),
                                        count.data());
            break;
          case Element::Byte:
            accumulate<Element::Byte>(trace, ps, ps, ps + pn, w.first[d], np, mr, sum.data(),
                                      count.data());
            break;
          }
        }
      }
    }
    for (std::int64_t r = 0; r < mr; ++r)
      if (count[static_cast<std::size_t>(r)] > 0)
        out[static_cast<std::size_t>(r * mc + col)] =
            static_cast<float>(sum[static_cast<std::size_t>(r)] /
                               static_cast<double>(count[static_cast<std::size_t>(r)]));
  }
  return std::nullopt;
}

} // namespace kovview
