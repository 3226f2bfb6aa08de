// SPDX-License-Identifier: Apache-2.0
// kovtraces: the input read as traces (the samples along axis 1) in blocks
// of whole traces, as floats whatever the element format, and the output
// written as xdr_float, with the blocks computed on threads.  Shared by
// the programs that process traces one by one (kovgain, kovbandpass,
// kovspectra, kovmute, kovnmo); header only, on proctool.
#ifndef KOV_APP_KOVTRACES_HPP
#define KOV_APP_KOVTRACES_HPP

#include "kovtool.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/samples.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace kovtool {

// The library is not thread safe: its calls from the reader thread and
// from the main thread (reads, writes) take turns under this lock.
inline std::mutex &library_lock() {
  static std::mutex lock;
  return lock;
}

class TraceInput {
public:
  // `block_bytes`: about how much a block holds (at least one trace).
  explicit TraceInput(std::string name, std::int64_t block_bytes = std::int64_t{4} << 20)
      : TraceInput(std::move(name), describe_input(), block_bytes) {}
  // The same for an input described already.
  TraceInput(std::string name, Description desc, std::int64_t block_bytes)
      : name_(std::move(name)), desc_(std::move(desc)), reader_(desc_),
        axis_(time_axis(desc_.axes.at(0))) {
    kind_ = sample_kind(desc_);
    size_ = kovproc::sample_size(kind_);
    traces_ = desc_.samples / axis_.n;
    per_block_ = std::max<std::int64_t>(1, block_bytes / (axis_.n * 4));
    per_block_ = std::min(per_block_, std::max<std::int64_t>(traces_, 1));
  }

  const std::string &name() const { return name_; }
  const Description &description() const { return desc_; }
  const TraceAxis &axis1() const { return axis_; }
  std::int64_t traces() const { return traces_; }
  std::int64_t per_block() const { return per_block_; }
  std::size_t n1() const { return static_cast<std::size_t>(axis_.n); }
  void limit_block(std::int64_t bytes) {
    per_block_ = std::clamp<std::int64_t>(bytes / (axis_.n * 4), 1, per_block_);
  }

  // The next block of whole traces into `block` (resized), as floats; false
  // at the end, also when the data end early, which finish() then reports.
  // Takes library_lock() for each read.
  bool next(Floats &block) {
    const std::int64_t left = traces_ - done_;
    if (left <= 0 || short_) return false;
    const std::int64_t count = std::min(left, per_block_);
    // The block grows with the data read, so that a header declaring more
    // than is there ends with the short-data message, not with an
    // allocation of its declared size.
    // A block that held as much before is read into as it is (not cleared).
    const auto wanted = static_cast<std::size_t>(count * axis_.n);
    if (block.size() > wanted) block.resize(wanted);
    for (std::size_t at = 0; at < wanted;) {
      const std::size_t part = std::min<std::size_t>(wanted - at, 1u << 20);
      if (block.size() < at + part) block.resize(at + part);
      // Bytes are read into the end of the part's room and widened from
      // the front: each float lands at or after the byte it comes from.
      char *room = reinterpret_cast<char *>(block.data() + at);
      const std::span<char> bytes(room + part * (4 - size_), part * size_);
      std::size_t got = 0;
      {
        const std::lock_guard lock(library_lock());
        got = reader_.fill(bytes);
      }
      if (got < bytes.size()) {
        short_ = true;
        return false;
      }
      widen(std::span(block).subspan(at, part), bytes);
      at += part;
    }
    done_ += count;
    return true;
  }

  // After the last block: fatal when the data ended early or go on past
  // the declared end; a warning when integers were rounded to floats.
  void finish() {
    if (short_) data_short_of(name_, desc_.bytes, reader_.done());
    reader_.expect_end();
    if (rounded_ > 0)
      kovwarn(0,
              "%s: %lld integer samples beyond 2^24 in magnitude were rounded to the nearest "
              "float (the traces are computed in single precision)\n",
              name_.c_str(), static_cast<long long>(rounded_));
  }

private:
  // The samples of `bytes` (in the input's kind) as floats into `out`.
  void widen(std::span<float> out, std::span<const char> bytes) {
    switch (kind_) {
    case kovproc::Sample::float32:
      return;
    case kovproc::Sample::int32:
      for (std::size_t i = 0; i < out.size(); ++i) {
        std::int32_t v;
        std::memcpy(&v, bytes.data() + 4 * i, 4);
        out[i] = static_cast<float>(v);
        // Integers of more than 24 significant bits may not be floats.
        if (static_cast<double>(out[i]) != static_cast<double>(v)) ++rounded_;
      }
      return;
    case kovproc::Sample::uint8:
      for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(static_cast<unsigned char>(bytes[i]));
      return;
    }
  }

  std::string name_;
  Description desc_;
  BlockReader reader_;
  TraceAxis axis_;
  kovproc::Sample kind_ = kovproc::Sample::float32;
  std::size_t size_ = 4;
  std::int64_t traces_ = 0, per_block_ = 1, done_ = 0, rounded_ = 0;
  bool short_ = false;
};

// The bytes of `values` to "out" of xdr_float by `write` (the library's
// srite or srite_raw), in parts the library takes; fatal when they cannot
// be written.
inline void write_out(std::span<const float> values,
                      int (*write)(const char *, const void *, int)) {
  const std::lock_guard lock(library_lock());
  static bool formatted = false;
  if (!formatted) {
    set_format("out", "xdr_float");
    formatted = true;
  }
  auto bytes = std::as_bytes(values);
  while (!bytes.empty()) {
    const std::size_t part = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    if (write("out", bytes.data(), static_cast<int>(part)) != static_cast<int>(part))
      koverr("out: cannot write the output data\n");
    bytes = bytes.subspan(part);
  }
}

// Write floats to "out" as xdr_float; fatal when they cannot be written.
inline void write_floats(std::span<const float> values) { write_out(values, srite); }

// Floats put in place in xdr_float's byte order (big-endian), four at a
// time: the bytes of each half swapped, then the halves.
inline void to_xdr_order(std::span<float> values) {
  if constexpr (std::endian::native == std::endian::big) return;
  using Halves = std::uint16_t __attribute__((vector_size(16)));
  using Words = std::uint32_t __attribute__((vector_size(16)));
  float *p = values.data();
  const std::size_t n = values.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Halves h;
    std::memcpy(&h, p + i, sizeof h);
    h = (h << 8) | (h >> 8);
    Words w = reinterpret_cast<Words>(h);
    w = (w << 16) | (w >> 16);
    std::memcpy(p + i, &w, sizeof w);
  }
  for (; i < n; ++i) {
    std::uint32_t w;
    std::memcpy(&w, p + i, 4);
    w = __builtin_bswap32(w);
    std::memcpy(p + i, &w, 4);
  }
}

// Floats already in xdr_float's byte order (to_xdr_order) to "out", as
// they are; fatal when they cannot be written.
inline void write_xdr_ordered(std::span<const float> values) { write_out(values, srite_raw); }

// The number of threads that compute blocks: one per processor, or
// KOV_THREADS when it is set to a number from 1 to 1024 (a warning for
// another text, which is left unused).  The output is the same whatever
// the number.
inline std::size_t worker_count() {
  const std::size_t processors = std::max(1u, std::thread::hardware_concurrency());
  const char *asked = std::getenv("KOV_THREADS");
  if (asked == nullptr || *asked == '\0') return processors;
  char *end = nullptr;
  errno = 0;
  const long n = std::strtol(asked, &end, 10);
  if (errno != 0 || *end != '\0' || n < 1 || n > 1024) {
    kovwarn(0, "KOV_THREADS=%s: not a number of threads from 1 to 1024; using %zu\n", asked,
            processors);
    return processors;
  }
  return static_cast<std::size_t>(n);
}

// Every block of `in` through process(block, out), which leaves the
// block's output in `out` (it may swap the block into it; on entry `out`
// holds an earlier block's output, its memory reused), and then, in the
// order of the blocks, through consume(out) on the calling thread
// (write_floats by default).  A `process` that takes a first argument
// std::int64_t is given the index of the block's first trace (from 0).
//
// A reader thread reads the blocks, workers (worker_count()) process
// them, each a whole block at a time, and the calling thread consumes
// them: reading, computing and writing overlap.  At most workers + 2
// blocks and their outputs are held (16 MiB in all, or one trace each).  `process`
// is called from several threads at once, on different blocks, and must
// not call the library but under library_lock().  Fatal,
// after the threads have ended, when the data are short or longer than
// declared, and when `process` throws (its message, for the first block
// that failed).
template <class Process, class Consume>
void run_blocks(TraceInput &in, Process process, Consume consume) {
  const std::size_t workers = worker_count();
  const std::size_t slots = workers + 2;
  in.limit_block((std::int64_t{16} << 20) / static_cast<std::int64_t>(2 * slots));
  const std::int64_t per_block = in.per_block(); // traces of every block but the last
  enum class State { free, read, working, done };
  struct Slot {
    Floats block, out;
    State state = State::free;
    std::string error;
  };
  std::vector<Slot> ring(slots);
  std::mutex lock;
  std::condition_variable changed;
  std::size_t read = 0, taken = 0; // blocks read, blocks taken by a worker
  bool ended = false, stop = false;

  std::jthread reader([&] {
    for (std::size_t k = 0;; ++k) {
      Slot &slot = ring[k % slots];
      {
        std::unique_lock hold(lock);
        changed.wait(hold, [&] { return stop || slot.state == State::free; });
        if (stop) break;
      }
      // The slot is the reader's alone until it is marked read.
      const bool more = in.next(slot.block);
      {
        const std::lock_guard hold(lock);
        if (more) {
          slot.state = State::read;
          ++read;
        } else {
          ended = true;
        }
      }
      changed.notify_all();
      if (!more) break;
    }
  });
  std::vector<std::jthread> pool;
  for (std::size_t w = 0; w < workers; ++w)
    pool.emplace_back([&] {
      for (;;) {
        std::size_t k = 0;
        {
          std::unique_lock hold(lock);
          changed.wait(hold, [&] { return stop || taken < read || (ended && taken == read); });
          if (stop || taken == read) break;
          k = taken++;
          ring[k % slots].state = State::working;
        }
        Slot &slot = ring[k % slots];
        try {
          if constexpr (std::is_invocable_v<Process &, std::int64_t, Floats &, Floats &>)
            process(static_cast<std::int64_t>(k) * per_block, slot.block, slot.out);
          else
            process(slot.block, slot.out);
        } catch (const std::exception &e) {
          slot.error = e.what();
        }
        {
          const std::lock_guard hold(lock);
          slot.state = State::done;
        }
        changed.notify_all();
      }
    });
  const auto end_threads = [&] {
    {
      const std::lock_guard hold(lock);
      stop = true;
    }
    changed.notify_all();
    reader.join();
    for (std::jthread &t : pool) t.join();
  };
  for (std::size_t k = 0;; ++k) {
    Slot &slot = ring[k % slots];
    {
      std::unique_lock hold(lock);
      changed.wait(hold, [&] { return slot.state == State::done || (ended && k == read); });
      if (slot.state != State::done) break;
    }
    if (!slot.error.empty()) {
      end_threads();
      koverr("%s: %s\n", in.name().c_str(), slot.error.c_str());
    }
    consume(slot.out);
    {
      const std::lock_guard hold(lock);
      slot.state = State::free;
    }
    changed.notify_all();
  }
  end_threads();
  in.finish();
}

// run_blocks() with the output written to "out" as xdr_float: each block's
// output is put in that byte order by the worker that made it, while it
// is fresh in the worker's cache, and written as it is.
template <class Process> void run_blocks(TraceInput &in, Process process) {
  const auto write = [](std::span<const float> out) { write_xdr_ordered(out); };
  if constexpr (std::is_invocable_v<Process &, std::int64_t, Floats &, Floats &>)
    run_blocks(
        in,
        [&](std::int64_t first, Floats &block, Floats &out) {
          process(first, block, out);
          to_xdr_order(out);
        },
        write);
  else
    run_blocks(
        in,
        [&](Floats &block, Floats &out) {
          process(block, out);
          to_xdr_order(out);
        },
        write);
}

} // namespace kovtool

#endif
