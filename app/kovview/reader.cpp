// SPDX-License-Identifier: Apache-2.0
// kovview's reader; see reader.hpp.
#include "reader.hpp"

#include "kovbus.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

namespace kovview {

std::optional<Element> element_of(const std::string &format, int esize) {
  if (esize == 4 && format == "xdr_float") return Element::XdrFloat;
  if (esize == 4 && format == "native_float") return Element::NativeFloat;
  if (esize == 4 && format == "xdr_int") return Element::XdrInt;
  // Bytes have no order: xdr_byte (unsigned, as written for uint8 arrays)
  // is read as native_byte.
  if (esize == 1 && (format == "native_byte" || format == "xdr_byte")) return Element::Byte;
  return std::nullopt;
}

namespace {

std::uint32_t load32(const char *p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Adds the samples of traces to the per-sample stacks of the
// finite ones: their sums (`Sum`, for the mean), their sums of squares
// (`Squares`, for the RMS), the sample of largest magnitude (`Peak`), and
// the count of finite samples.  The loop works element by element on
// contiguous arrays, so it runs in vector registers; each element's sum
// is still added trace after trace, so the results equal the plain loop's
// bit for bit.  A float is finite when its exponent is not all ones; the
// others (and every integer) are; a sample left out adds +0.0 and cannot
// be a peak.  Peaks are kept as the samples' own values: floats (or
// bytes) in floats, whose comparisons equal those of the doubles and fill
// twice the lanes, integers in doubles.
template <Element E> using PeakOf = std::conditional_t<E == Element::XdrInt, double, float>;

// One sample of a trace: its value as a peak is kept, and 1 when it is
// finite (0, and the value +0.0, when it is not).
template <Element E>
[[gnu::always_inline]] inline PeakOf<E> sample(const char *trace, std::int64_t p,
                                               std::int32_t &ok) {
  if constexpr (E == Element::Byte) {
    ok = 1;
    return static_cast<unsigned char>(trace[p]);
  } else {
    std::uint32_t w = load32(trace + p * 4);
    if constexpr (E != Element::NativeFloat && std::endian::native == std::endian::little)
      w = __builtin_bswap32(w);
    if constexpr (E == Element::XdrInt) {
      ok = 1;
      return static_cast<std::int32_t>(w);
    } else {
      // 1 when the exponent is all ones (the carry reaches the top bit).
      const std::uint32_t bad = ((w & 0x7f800000u) + 0x00800000u) >> 31;
      ok = static_cast<std::int32_t>(1 - bad);
      return std::bit_cast<float>(w & (bad - 1));
    }
  }
}

// Adds `K` traces (`stride` bytes apart, `count` samples each), one after
// the other, to the stacks: each sample's stack is taken into a register
// once for the K traces, and gets their samples in the traces' order, as
// K calls for one trace each would add them.
template <Element E, bool Sum, bool Squares, bool Peak, int K>
[[gnu::always_inline]] inline void
stack_body(const char *__restrict trace, std::int64_t stride, std::int64_t count,
           double *__restrict sum, PeakOf<E> *__restrict peak, std::int32_t *__restrict finite) {
  // The stacks and the traces are distinct memory.
#pragma GCC ivdep
  for (std::int64_t p = 0; p < count; ++p) {
    double s = 0.0;
    if constexpr (Sum || Squares) s = sum[p];
    PeakOf<E> top{};
    if constexpr (Peak) top = peak[p];
    std::int32_t live = finite[p];
#pragma GCC unroll 4
    for (int k = 0; k < K; ++k) {
      std::int32_t ok;
      const PeakOf<E> x = sample<E>(trace + k * stride, p, ok);
      const double v = x;
      if constexpr (Sum) s += v;
      if constexpr (Squares) s += v * v;
      if constexpr (Peak) top = std::abs(x) > std::abs(top) ? x : top;
      live += ok;
    }
    if constexpr (Sum || Squares) sum[p] = s;
    if constexpr (Peak) peak[p] = top;
    finite[p] = live;
  }
}

// The `traces` traces from `trace` on, `stride` bytes apart, added to the
// stacks of `count` samples: four at a time, then the rest one by one.
using Stacker = void (*)(const char *trace, std::int64_t stride, std::int64_t traces,
                         std::int64_t count, double *sum, void *peak, std::int32_t *finite);

template <Element E, bool Sum, bool Squares, bool Peak>
[[gnu::always_inline]] inline void stack_all(const char *trace, std::int64_t stride,
                                             std::int64_t traces, std::int64_t count, double *sum,
                                             void *peak, std::int32_t *finite) {
  auto *const top = static_cast<PeakOf<E> *>(peak);
  std::int64_t q = 0;
  for (; q + 4 <= traces; q += 4)
    stack_body<E, Sum, Squares, Peak, 4>(trace + q * stride, stride, count, sum, top, finite);
  for (; q < traces; ++q)
    stack_body<E, Sum, Squares, Peak, 1>(trace + q * stride, stride, count, sum, top, finite);
}

template <Element E, bool Sum, bool Squares, bool Peak>
void stack_plain(const char *trace, std::int64_t stride, std::int64_t traces, std::int64_t count,
                 double *sum, void *peak, std::int32_t *finite) {
  stack_all<E, Sum, Squares, Peak>(trace, stride, traces, count, sum, peak, finite);
}

#if defined(__x86_64__)
// The same loop in the 256-bit registers of processors that have AVX2
// (chosen when the program starts; KOV_SIMD=plain forces the other).
template <Element E, bool Sum, bool Squares, bool Peak>
[[gnu::target("avx2")]] void stack_avx2(const char *trace, std::int64_t stride, std::int64_t traces,
                                        std::int64_t count, double *sum, void *peak,
                                        std::int32_t *finite) {
  stack_all<E, Sum, Squares, Peak>(trace, stride, traces, count, sum, peak, finite);
}
#endif

template <Element E, bool Sum, bool Squares, bool Peak> Stacker stacker(Simd simd) {
#if defined(__x86_64__)
  if (simd == Simd::Avx2) return stack_avx2<E, Sum, Squares, Peak>;
#endif
  (void)simd;
  return stack_plain<E, Sum, Squares, Peak>;
}

template <Element E> Stacker stacker(Overview o, bool also_peak, Simd simd) {
  switch (o) {
  case Overview::Mean:
    return also_peak ? stacker<E, true, false, true>(simd) : stacker<E, true, false, false>(simd);
  case Overview::Rms:
    return also_peak ? stacker<E, false, true, true>(simd) : stacker<E, false, true, false>(simd);
  case Overview::Peak:
    break;
  }
  return stacker<E, false, false, true>(simd);
}

Stacker stacker(Element e, Overview o, bool also_peak, Simd simd) {
  switch (e) {
  case Element::XdrFloat:
    return stacker<Element::XdrFloat>(o, also_peak, simd);
  case Element::NativeFloat:
    return stacker<Element::NativeFloat>(o, also_peak, simd);
  case Element::XdrInt:
    return stacker<Element::XdrInt>(o, also_peak, simd);
  case Element::Byte:
    break;
  }
  return stacker<Element::Byte>(o, also_peak, simd);
}

using kovtool::guarded;

} // namespace

Reader::Reader(Element element, int esize, const std::array<std::int64_t, 3> &n)
    : element_(element), esize_(esize), n_(n), simd_(best_simd()) {}

Simd best_simd() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) return Simd::Avx2;
#endif
  return Simd::Plain;
}

bool Reader::use(Simd simd) {
  if (simd != Simd::Plain && best_simd() != simd) return false;
  simd_ = simd;
  return true;
}

Reader::~Reader() {
  if (map_ != nullptr) ::munmap(map_, mapped_);
  if (fd_ >= 0) ::close(fd_);
}

bool Reader::read_directly(const std::string &path, bool map) {
  if (map_ != nullptr) ::munmap(map_, mapped_);
  map_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);

  // The file must hold every sample the header declares.
  struct stat st {};
  if (fd_ >= 0 && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) ||
                   st.st_size < n_[0] * n_[1] * n_[2] * esize_)) {
    ::close(fd_);
    fd_ = -1;
  }
  // The whole file mapped once, for the windows of whole traces: no copy,
  // and the pages stay entered from one window to the next.
  if (fd_ >= 0 && map && st.st_size > 0) {
    void *base =
        ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd_, 0);
    if (base != MAP_FAILED) {
      map_ = base;
      mapped_ = static_cast<std::size_t>(st.st_size);
      if (!bus_errors_) bus_errors_ = std::make_unique<kovtool::BusErrors>();
    }
  }
  return fd_ >= 0;
}

std::optional<bool> Reader::both_signs_sampled(int traces) const {
  if (fd_ < 0) return std::nullopt;
  if (element_ == Element::Byte) return false; // unsigned
  const std::int64_t total = n_[1] * n_[2];
  const std::int64_t count = std::min<std::int64_t>(std::max(traces, 1), total);
  const std::int64_t take = std::min(n_[0], kSampledSamples);
  const std::int64_t step = count > 1 ? (total - 1) / (count - 1) : 0;
  std::vector<char> bytes(static_cast<std::size_t>(take * esize_));
  bool negative = false, positive = false;
  for (std::int64_t k = 0; k < count; ++k) {
    const auto at = static_cast<off_t>(k * step * n_[0] * esize_);
    for (std::size_t got = 0; got < bytes.size();) {
      const ssize_t r =
          ::pread(fd_, bytes.data() + got, bytes.size() - got, at + static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return std::nullopt;
      got += static_cast<std::size_t>(r);
    }
    for (std::int64_t p = 0; p < take; ++p) {
      std::int32_t ok = 0;
      double x = 0.0;
      switch (element_) {
      case Element::XdrFloat:
        x = sample<Element::XdrFloat>(bytes.data(), p, ok);
        break;
      case Element::NativeFloat:
        x = sample<Element::NativeFloat>(bytes.data(), p, ok);
        break;
      case Element::XdrInt:
        x = sample<Element::XdrInt>(bytes.data(), p, ok);
        break;
      case Element::Byte:
        break;
      }
      negative = negative || x < 0.0;
      positive = positive || x > 0.0;
    }
    if (negative && positive) return true;
  }
  return false;
}

// Samples [p0, p0 + pn) along axis 1 of the traces [qs, qs + qn) along the
// across axis, read from the data file into `block` (trace after trace).
bool Reader::direct(const WindowRequest &w, std::int64_t p0, std::int64_t pn, std::int64_t qs,
                    std::int64_t qn, char *block) const {
  const auto a = static_cast<std::size_t>(w.across);
  std::array<std::int64_t, 3> at = w.first;
  at[0] += p0;
  const auto offset = [&](std::int64_t q) {
    at[a] = q;
    return ((at[2] * n_[1] + at[1]) * n_[0] + at[0]) * esize_;
  };
  const auto whole = [&](char *into, std::int64_t bytes, std::int64_t from) {
    for (std::int64_t got = 0; got < bytes;) {
      const ssize_t r = ::pread(fd_, into + got, static_cast<std::size_t>(bytes - got),
                                static_cast<off_t>(from + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += r;
    }
    return true;
  };
  // Whole traces next to each other on disk: one read.
  if (a == 1 && pn == n_[0]) return whole(block, qn * pn * esize_, offset(qs));
  for (std::int64_t q = 0; q < qn; ++q)
    if (!whole(block + q * pn * esize_, pn * esize_, offset(qs + q))) return false;
  return true;
}

// Output columns [from, to) of window `w` into `out` (and the peaks into
// `peaks` when given).  A column is the mean over a cell of traces: the
// traces are read in blocks and stacked sample by sample (kStack samples
// down at a time), then the stack is summed over the rows' cells.
bool Reader::columns(const WindowRequest &w, std::int64_t from, std::int64_t to, Work &work,
                     std::vector<float> &out, std::vector<float> *peaks,
                     const std::function<bool()> &cancelled) {
  const auto d = static_cast<std::size_t>(w.down), a = static_cast<std::size_t>(w.across);
  const std::int64_t np = w.count[d], nq = w.count[a];
  const std::int64_t mr = cells(np, w.rows), mc = cells(nq, w.cols);
  const std::int64_t p_chunk = std::min(np, kStack);
  const std::int64_t q_chunk = std::max<std::int64_t>(1, kBlockBytes / esize_ / p_chunk);
  if (work.block.empty()) {
    work.block.resize(static_cast<std::size_t>(kBlockBytes));
    work.stack.resize(static_cast<std::size_t>(kStack));
    work.peak.resize(static_cast<std::size_t>(kStack));
    work.peakf.resize(static_cast<std::size_t>(kStack));
    work.finite.resize(static_cast<std::size_t>(kStack));
  }
  const bool peak_only = w.overview == Overview::Peak;
  const bool with_peaks = peak_only || peaks != nullptr;
  const Stacker stack = stacker(element_, w.overview, peaks != nullptr, simd_);
  const bool double_peaks = element_ == Element::XdrInt;
  void *const peak_data =
      double_peaks ? static_cast<void *>(work.peak.data()) : static_cast<void *>(work.peakf.data());
  std::vector<double> sum(static_cast<std::size_t>(mr)), top(static_cast<std::size_t>(mr));
  std::vector<std::int64_t> count(static_cast<std::size_t>(mr));
  const int ndim = 3;
  std::array<int, 3> ng{}, nw{1, 1, 1}, fw{}, jw{1, 1, 1};
  for (std::size_t k = 0; k < 3; ++k) {
    ng[k] = static_cast<int>(n_[k]);
    fw[k] = static_cast<int>(w.first[k]);
  }
  const bool directly = fd_ >= 0 && w.down == 0;
  for (std::int64_t col = from; col < to; ++col) {
    if (cancelled && cancelled()) return false;
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(top.begin(), top.end(), 0.0);
    std::fill(count.begin(), count.end(), 0);
    const std::int64_t q_lo = w.first[a] + cell_start(col, mc, nq);
    const std::int64_t q_hi = w.first[a] + cell_start(col + 1, mc, nq);
    for (std::int64_t p0 = 0; p0 < np; p0 += p_chunk) {
      const std::int64_t pn = std::min(p_chunk, np - p0);
      std::fill_n(work.stack.begin(), pn, 0.0);
      std::fill_n(work.peak.begin(), pn, 0.0);
      std::fill_n(work.peakf.begin(), pn, 0.0f);
      std::fill_n(work.finite.begin(), pn, 0);
      for (std::int64_t qs = q_lo; qs < q_hi; qs += q_chunk) {
        const std::int64_t qn = std::min(q_chunk, q_hi - qs);
        nw[d] = static_cast<int>(pn);
        fw[d] = static_cast<int>(w.first[d] + p0);
        nw[a] = static_cast<int>(qn);
        fw[a] = static_cast<int>(qs);
        if (directly && a == 1 && pn == n_[0] && map_ != nullptr) {
          // Whole traces next to each other in the file: stacked where
          // they lie, through a mapping, not copied.
          const std::int64_t at = ((w.first[2] * n_[1] + qs) * n_[0]) * esize_;
          const char *traces = static_cast<const char *>(map_) + at;
          if (!guarded([&] {
                stack(traces, pn * esize_, qn, pn, work.stack.data(), peak_data,
                      work.finite.data());
              }))
            return false;
          continue;
        }
        if (directly) {
          if (!direct(w, p0, pn, qs, qn, work.block.data())) return false;
        } else {
          std::lock_guard lock(library_);
          if (sreed_window("in", &ndim, ng.data(), nw.data(), fw.data(), jw.data(), esize_,
                           work.block.data()) != 0)
            return false;
        }
        stack(work.block.data(), pn * esize_, qn, pn, work.stack.data(), peak_data,
              work.finite.data());
      }
      // The stacked samples [p0, p0 + pn) into the cells of the rows.
      std::int64_t r = p0 * mr / np;
      while (r > 0 && cell_start(r, mr, np) > p0) --r;
      while (r + 1 < mr && cell_start(r + 1, mr, np) <= p0) ++r;
      for (std::int64_t p = p0; p < p0 + pn; ++r) {
        const std::int64_t end = std::min(p0 + pn, cell_start(r + 1, mr, np));
        const auto k = static_cast<std::size_t>(r);
        double s = 0.0;
        std::int64_t c = 0;
        for (std::int64_t i = p; i < end; ++i) {
          const auto at = static_cast<std::size_t>(i - p0);
          const double pv = double_peaks ? work.peak[at] : work.peakf[at];
          if (with_peaks && std::abs(pv) > std::abs(top[k])) top[k] = pv;
          s += work.stack[at];
          c += work.finite[at];
        }
        p = end;
        sum[k] += s;
        count[k] += c;
      }
    }
    for (std::int64_t r = 0; r < mr; ++r) {
      const auto k = static_cast<std::size_t>(r);
      if (count[k] == 0) continue;
      const auto at = static_cast<std::size_t>(r * mc + col);
      const double mean = sum[k] / static_cast<double>(count[k]);
      out[at] = static_cast<float>(peak_only                     ? top[k]
                                   : w.overview == Overview::Rms ? std::sqrt(mean)
                                                                 : mean);
      if (peaks != nullptr) (*peaks)[at] = static_cast<float>(top[k]);
    }
  }
  return true;
}

std::optional<std::string> Reader::read(const WindowRequest &w, std::vector<float> &out, int &rows,
                                        int &cols, const std::function<bool()> &cancelled,
                                        std::vector<float> *peaks) {
  const auto d = static_cast<std::size_t>(w.down), a = static_cast<std::size_t>(w.across);
  const std::int64_t mr = cells(w.count[d], w.rows), mc = cells(w.count[a], w.cols);
  rows = static_cast<int>(mr);
  cols = static_cast<int>(mc);

  out.assign(static_cast<std::size_t>(mr * mc), std::numeric_limits<float>::quiet_NaN());
  if (peaks != nullptr && w.overview == Overview::Peak) peaks = nullptr;
  if (peaks != nullptr)
    peaks->assign(static_cast<std::size_t>(mr * mc), std::numeric_limits<float>::quiet_NaN());
  // A window of many samples is shared by threads, each with its part of
  // the columns: two through the library (one decodes and sums while the
  // other reads), one per core reading the file directly.
  const std::int64_t bytes = w.count[d] * w.count[a] * esize_;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int threads =
      bytes < 4 * kBlockBytes
          ? 1
          : static_cast<int>(std::max<std::int64_t>(
                1, std::min<std::int64_t>(mc, fd_ >= 0 && w.down == 0 ? std::min(cores, kThreads)
                                                                      : std::min(cores, 2))));
  // Up to kWindows windows are read at once (a zoom goes on while an
  // overview is made), each with working memory of its own.
  std::vector<std::unique_ptr<Work>> work;
  {
    std::unique_lock lock(pool_mutex_);
    pool_free_.wait(lock, [this] { return reading_ < kWindows; });
    ++reading_;
    for (int t = 0; t < threads; ++t) {
      if (pool_.empty()) {
        work.push_back(std::make_unique<Work>());
        continue;
      }
      work.push_back(std::move(pool_.back()));
      pool_.pop_back();
    }
  }
  const auto give_back = [&] {
    std::lock_guard lock(pool_mutex_);
    for (auto &k : work) pool_.push_back(std::move(k));
    --reading_;
    pool_free_.notify_one();
  };
  bool ok = true;
  try {
    if (threads >= 2) {
      // The threads take the next few columns as they finish theirs, so
      // that one that gets less of the processors (a machine shared with
      // other work, the browser drawing the page) holds up the window by a
      // few columns at most.  Every column is made by one thread, as alone.
      std::atomic<std::int64_t> next{0};
      std::atomic<bool> failed{false};
      const std::int64_t batch = std::max<std::int64_t>(1, mc / (16 * threads));
      std::vector<std::jthread> helpers;
      const auto part = [&](int t) {
        Work &mine = *work[static_cast<std::size_t>(t)];
        while (!failed.load(std::memory_order_relaxed)) {
          const std::int64_t from = next.fetch_add(batch);
          if (from >= mc) break;
          if (!columns(w, from, std::min(mc, from + batch), mine, out, peaks, cancelled))
            failed = true;
        }
      };
      for (int t = 1; t < threads; ++t) helpers.emplace_back(part, t);
      part(0);
      helpers.clear(); // joined
      ok = !failed;
    } else {
      ok = columns(w, 0, mc, *work[0], out, peaks, cancelled);
    }
  } catch (...) {
    give_back();
    throw;
  }
  give_back();
  if (!ok && cancelled && cancelled()) return std::string("superseded");
  if (!ok) return std::string("the data are short or unreadable: the window could not be read");
  return std::nullopt;
}

} // namespace kovview
