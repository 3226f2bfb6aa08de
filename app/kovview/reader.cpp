// SPDX-License-Identifier: Apache-2.0
// kovview's reader; see reader.hpp.
#include "reader.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
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

// Adds the `count` samples of one trace to the per-sample stack of the
// finite ones: their sums (mean), sums of squares (RMS), or the sample of
// largest magnitude (peak).  The loop works element by element, so it can
// run in vector registers with results equal to the plain loop's.
template <Element E, Overview O>
void stack(const char *trace, std::int64_t count, double *sum, std::int32_t *finite) {
  constexpr int size = E == Element::Byte ? 1 : 4;
  for (std::int64_t p = 0; p < count; ++p) {
    const double v = value<E>(trace + p * size);
    const bool ok = std::abs(v) <= std::numeric_limits<double>::max();
    if constexpr (O == Overview::Mean)
      sum[p] += ok ? v : 0.0;
    else if constexpr (O == Overview::Rms)
      sum[p] += ok ? v * v : 0.0;
    else
      sum[p] = ok && std::abs(v) > std::abs(sum[p]) ? v : sum[p];
    finite[p] += ok ? 1 : 0;
  }
}

template <Overview O>
void stack(Element e, const char *trace, std::int64_t count, double *sum, std::int32_t *finite) {
  switch (e) {
  case Element::XdrFloat:
    return stack<Element::XdrFloat, O>(trace, count, sum, finite);
  case Element::NativeFloat:
    return stack<Element::NativeFloat, O>(trace, count, sum, finite);
  case Element::XdrInt:
    return stack<Element::XdrInt, O>(trace, count, sum, finite);
  case Element::Byte:
    return stack<Element::Byte, O>(trace, count, sum, finite);
  }
}

void stack(Overview o, Element e, const char *trace, std::int64_t count, double *sum,
           std::int32_t *finite) {
  switch (o) {
  case Overview::Mean:
    return stack<Overview::Mean>(e, trace, count, sum, finite);
  case Overview::Rms:
    return stack<Overview::Rms>(e, trace, count, sum, finite);
  case Overview::Peak:
    return stack<Overview::Peak>(e, trace, count, sum, finite);
  }
}

// Where a bus error on this thread lands while a guarded read of a mapping
// runs (a page of the mapping that the file no longer has: it was cut).
thread_local sigjmp_buf *landing = nullptr;
struct sigaction before_ours {};

extern "C" void on_bus_error(int, siginfo_t *, void *) {
  if (landing != nullptr) siglongjmp(*landing, 1);
  // Not a read of ours: the disposition that was there before, and the
  // access that faulted is made again.
  sigaction(SIGBUS, &before_ours, nullptr);
}

void catch_bus_errors() {
  static std::atomic<bool> installed = false;
  if (installed.exchange(true)) return;
  struct sigaction ours {};
  ours.sa_sigaction = on_bus_error;
  ours.sa_flags = SA_SIGINFO | SA_NODEFER; // the signal stays unblocked after the jump
  sigemptyset(&ours.sa_mask);
  sigaction(SIGBUS, &ours, &before_ours);
}

// Runs `read`; false when it met a bus error.  `read` owns nothing that
// the jump out of it would leak.
template <class Read> [[gnu::noinline]] bool guarded(const Read &read) {
  sigjmp_buf here;
  if (sigsetjmp(here, 0) != 0) {
    landing = nullptr;
    return false;
  }
  landing = &here;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  read();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  landing = nullptr;
  return true;
}

} // namespace

Reader::Reader(Element element, int esize, const std::array<std::int64_t, 3> &n)
    : element_(element), esize_(esize), n_(n) {}

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
      catch_bus_errors();
    }
  }
  return fd_ >= 0;
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

// Output columns [from, to) of window `w` into `out`.  A column is the mean
// over a cell of traces: the traces are read in blocks and stacked sample
// by sample (kStack samples down at a time), then the stack is summed over
// the rows' cells.
bool Reader::columns(const WindowRequest &w, std::int64_t from, std::int64_t to, Work &work,
                     std::vector<float> &out, const std::function<bool()> &cancelled) {
  const auto d = static_cast<std::size_t>(w.down), a = static_cast<std::size_t>(w.across);
  const std::int64_t np = w.count[d], nq = w.count[a];
  const std::int64_t mr = cells(np, w.rows), mc = cells(nq, w.cols);
  const std::int64_t p_chunk = std::min(np, kStack);
  const std::int64_t q_chunk = std::max<std::int64_t>(1, kBlockBytes / esize_ / p_chunk);
  if (work.block.empty()) {
    work.block.resize(static_cast<std::size_t>(kBlockBytes));
    work.stack.resize(static_cast<std::size_t>(kStack));
    work.finite.resize(static_cast<std::size_t>(kStack));
  }
  std::vector<double> sum(static_cast<std::size_t>(mr));
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
    std::fill(count.begin(), count.end(), 0);
    const std::int64_t q_lo = w.first[a] + cell_start(col, mc, nq);
    const std::int64_t q_hi = w.first[a] + cell_start(col + 1, mc, nq);
    for (std::int64_t p0 = 0; p0 < np; p0 += p_chunk) {
      const std::int64_t pn = std::min(p_chunk, np - p0);
      std::fill_n(work.stack.begin(), pn, 0.0);
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
                for (std::int64_t q = 0; q < qn; ++q)
                  stack(w.overview, element_, traces + q * pn * esize_, pn, work.stack.data(),
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
        for (std::int64_t q = 0; q < qn; ++q)
          stack(w.overview, element_, work.block.data() + q * pn * esize_, pn, work.stack.data(),
                work.finite.data());
      }
      // The stacked samples [p0, p0 + pn) into the cells of the rows.
      std::int64_t r = p0 * mr / np;
      while (r > 0 && cell_start(r, mr, np) > p0) --r;
      while (r + 1 < mr && cell_start(r + 1, mr, np) <= p0) ++r;
      for (std::int64_t p = p0; p < p0 + pn; ++r) {
        const std::int64_t end = std::min(p0 + pn, cell_start(r + 1, mr, np));
        double s = 0.0;
        std::int64_t c = 0;
        double &into = sum[static_cast<std::size_t>(r)];
        if (w.overview == Overview::Peak) {
          for (; p < end; ++p) {
            const double v = work.stack[static_cast<std::size_t>(p - p0)];
            if (std::abs(v) > std::abs(into)) into = v;
            c += work.finite[static_cast<std::size_t>(p - p0)];
          }
        } else {
          for (; p < end; ++p) {
            s += work.stack[static_cast<std::size_t>(p - p0)];
            c += work.finite[static_cast<std::size_t>(p - p0)];
          }
          into += s;
        }
        count[static_cast<std::size_t>(r)] += c;
      }
    }
    for (std::int64_t r = 0; r < mr; ++r) {
      const auto k = static_cast<std::size_t>(r);
      if (count[k] == 0) continue;
      const double mean = sum[k] / static_cast<double>(count[k]);
      out[static_cast<std::size_t>(r * mc + col)] =
          static_cast<float>(w.overview == Overview::Peak  ? sum[k]
                             : w.overview == Overview::Rms ? std::sqrt(mean)
                                                           : mean);
    }
  }
  return true;
}

std::optional<std::string> Reader::read(const WindowRequest &w, std::vector<float> &out, int &rows,
                                        int &cols, const std::function<bool()> &cancelled) {
  const auto d = static_cast<std::size_t>(w.down), a = static_cast<std::size_t>(w.across);
  const std::int64_t mr = cells(w.count[d], w.rows), mc = cells(w.count[a], w.cols);
  rows = static_cast<int>(mr);
  cols = static_cast<int>(mc);

  std::lock_guard lock(window_);
  out.assign(static_cast<std::size_t>(mr * mc), std::numeric_limits<float>::quiet_NaN());
  // A window of many samples is shared by threads, each with its part of
  // the columns: two through the library (one decodes and sums while the
  // other reads), one per core reading the file directly.
  const std::int64_t bytes = w.count[d] * w.count[a] * esize_;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const int threads = static_cast<int>(std::min<std::int64_t>(
      mc, fd_ >= 0 && w.down == 0 ? std::min(cores, kThreads) : std::min(cores, 2)));
  bool ok = true;
  if (bytes >= 4 * kBlockBytes && threads >= 2) {
    std::array<bool, kThreads> done{};
    std::vector<std::thread> helpers;
    const auto part = [&](int t) {
      done[static_cast<std::size_t>(t)] =
          columns(w, mc * t / threads, mc * (t + 1) / threads, work_[static_cast<std::size_t>(t)],
                  out, cancelled);
    };
    for (int t = 1; t < threads; ++t) helpers.emplace_back(part, t);
    part(0);
    for (std::thread &h : helpers) h.join();
    for (int t = 0; t < threads; ++t) ok = ok && done[static_cast<std::size_t>(t)];
  } else {
    ok = columns(w, 0, mc, work_[0], out, cancelled);
  }
  if (!ok && cancelled && cancelled()) return std::string("superseded");
  if (!ok) return std::string("the data are short or unreadable: the window could not be read");
  return std::nullopt;
}

} // namespace kovview
