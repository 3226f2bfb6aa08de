// SPDX-License-Identifier: Apache-2.0
// kovtransp: two axes of a dataset swapped, out of core when it is larger
// than the memory it may use.
//
//   kovtransp plane=12 < a.H > b.H
//   kovtransp plane=23 memsize=64 < cube.H > slices.H
//
// The dataset is seen, fastest first, as inner samples, the first swapped
// axis (P), the axes between (M), the second swapped axis (Q) and the
// axes above (outer).  When the output's data go to a file of their own,
// the input is read in batches of indices of Q, each batch swapped in
// memory and its runs written at their places in that file (by a second
// thread, with positioned writes, while the main one reads and swaps).
// Otherwise,
// for each outer index, the block is read whole and swapped in memory when
// it fits in memsize beside a part of the output: the output is made and
// written a part (a range of P) at a time, from the block read once.
// Otherwise it goes through a temporary file in the datapath's directory,
// in two passes: the input, read in order, is written to the file grouped
// by ranges of P that fit in memory (each group's rows side by side), then
// each group is read back whole, swapped and written out.  The file is
// unlinked as soon as it is made, so it disappears however the program
// ends.
#include "kovhelp.hpp"
#include "proctool.hpp"

#include <kov/kovlib.h>
#include <kov/proc/reorder.hpp>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Bytes of each part of the output made at a time from a block in memory:
// enough indices of P that each visit of an input row takes whole cache
// lines, few enough to stay in the processor's caches until written; and
// at most an eighth of the buffers' memory.
constexpr std::int64_t kPartBytes = std::int64_t{32} << 20;

// Slots of runs written out by the second thread when the output is written
// in place, and the most bytes of each: several, so that the writes go on
// while the next batch is read; small enough to be in the caches still
// when they are written.
constexpr std::int64_t kSlots = 4;
// The most bytes of a batch of input when the output is written in place:
// memory touched for the first time costs more than longer runs save in
// writes beyond this (runs of 32 KiB for rows of 8 KiB; 128 MiB took more
// processor time on a virtual machine).
constexpr std::int64_t kBatchBytes = std::int64_t{64} << 20;
constexpr std::int64_t kSlotBytes = std::int64_t{4} << 20;

constexpr std::int64_t kHugePage = std::int64_t{2} << 20;

// The memory a buffer of `bytes` takes: whole huge pages from 4 MiB on.
std::int64_t footprint(std::int64_t bytes) {
  return bytes < 2 * kHugePage ? bytes : (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

// Memory for a buffer of the size of a block: not cleared (every byte is
// written before it is read) and, from 4 MiB on, in huge pages where the
// system gives them, since a block is read once and then visited across
// its whole size.
class Buffer {
public:
  explicit Buffer(std::int64_t bytes)
      : size_(static_cast<std::size_t>(std::max<std::int64_t>(bytes, 1))) {
    constexpr auto huge = static_cast<std::size_t>(kHugePage);
    mapped_ = (size_ + huge - 1) / huge * huge + huge;
    void *p = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
      koverr("cannot allocate %lld MiB: %s\n", static_cast<long long>(mapped_ >> 20),
             std::strerror(errno));
    base_ = static_cast<std::byte *>(p);
    // From the first huge-page boundary on; advice the system may ignore.
    const auto at = reinterpret_cast<std::uintptr_t>(base_);
    data_ = base_ + ((huge - at % huge) % huge);
    if (size_ >= 2 * huge)
      ::madvise(data_, mapped_ - static_cast<std::size_t>(data_ - base_), MADV_HUGEPAGE);
  }
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { ::munmap(base_, mapped_); }

  std::span<std::byte> span() const { return {data_, size_}; }
  std::span<std::byte> first(std::int64_t bytes) const {
    return {data_, static_cast<std::size_t>(bytes)};
  }

private:
  std::size_t size_, mapped_ = 0;
  std::byte *base_ = nullptr, *data_ = nullptr;
};

// Samples of the input in the output's kind, read in order.
class ElementSource {
public:
  ElementSource(const kovtool::Description &desc, const kovtool::OutputFormat &format)
      : desc_(desc), format_(format), size_(kovproc::sample_size(format.kind)) {
    const kovproc::Sample kind = kovtool::sample_kind(desc);
    raw_ = desc.format == format.name;
    if (raw_)
      bytes_ = std::make_unique<kovtool::BlockReader>(desc, true);
    else if (kind == format.kind)
      bytes_ = std::make_unique<kovtool::BlockReader>(desc, false);
    else
      samples_ = std::make_unique<kovtool::SampleReader>(desc);
  }

  // Fill `out` (a whole number of elements).
  void fill(std::span<std::byte> out) {
    if (bytes_) {
      const std::span<char> to(reinterpret_cast<char *>(out.data()), out.size());
      std::size_t done = 0;
      while (done < to.size()) {
        const std::size_t got = bytes_->next(to.subspan(done));
        if (got == 0) kovtool::data_short(desc_.bytes, read_);
        done += got;
      }
      read_ += static_cast<std::int64_t>(out.size());
      return;
    }
    values_.resize(std::min<std::size_t>(out.size() / size_, std::size_t{1} << 16));
    for (std::size_t done = 0; done < out.size();) {
      const std::size_t n = std::min(values_.size(), (out.size() - done) / size_);
      if (samples_->next(std::span(values_).first(n)) != n) kovtool::data_short(desc_.bytes, read_);
      const std::size_t bad = kovproc::from_double(format_.kind, std::span(values_).first(n),
                                                   out.subspan(done, n * size_), false);
      if (bad < n)
        koverr("%s: sample %lld is %.17g, which data_format=%s cannot hold exactly\n",
               kovtool::name_of(desc_).c_str(),
               static_cast<long long>(converted_ + static_cast<std::int64_t>(bad)), values_[bad],
               format_.name.c_str());
      converted_ += static_cast<std::int64_t>(n);
      done += n * size_;
    }
  }

  // Whether the elements are as stored (written without conversion).
  bool raw() const { return raw_; }

  void expect_end() {
    if (bytes_) bytes_->expect_end();
    if (samples_) samples_->expect_end();
  }

private:
  const kovtool::Description &desc_;
  kovtool::OutputFormat format_;
  std::size_t size_;
  bool raw_ = false;
  std::unique_ptr<kovtool::BlockReader> bytes_;
  std::unique_ptr<kovtool::SampleReader> samples_;
  std::vector<double> values_;
  std::int64_t read_ = 0, converted_ = 0;
};

// Elements as stored go out unchanged; native ones through the output's
// format.
void write_out(std::span<const std::byte> bytes, bool raw) {
  for (std::size_t done = 0; done < bytes.size();) {
    const int n =
        static_cast<int>(std::min<std::size_t>(bytes.size() - done, std::size_t{1} << 30));
    if ((raw ? srite_raw("out", bytes.data() + done, n) : srite("out", bytes.data() + done, n)) !=
        n)
      koverr("cannot write the output's data\n");
    done += static_cast<std::size_t>(n);
  }
}

// Bytes written at byte `at` of the output's data.
void write_at(std::span<const std::byte> bytes, std::int64_t at, bool raw) {
  if (sseek_l_l("out", at, 0) != at)
    koverr("cannot position the output's data at byte %lld\n", static_cast<long long>(at));
  write_out(bytes, raw);
}

// A temporary file in the datapath's directory, already unlinked.
class TempFile {
public:
  TempFile() {
    path_ = kovtool::datapath_directory() + "kovtransp.XXXXXX";
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0)
      koverr("cannot make a temporary file %s: %s\n", path_.c_str(), std::strerror(errno));
    ::unlink(path_.c_str());
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  ~TempFile() { ::close(fd_); }

  void write_at(std::span<const std::byte> bytes, std::int64_t at) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                 at + static_cast<std::int64_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        koverr("cannot write the temporary file %s: %s\n", path_.c_str(), std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
  }
  void read_at(std::span<std::byte> bytes, std::int64_t at) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::pread(fd_, bytes.data() + done, bytes.size() - done,
                                at + static_cast<std::int64_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        koverr("cannot read the temporary file %s: %s\n", path_.c_str(), std::strerror(errno));
      done += static_cast<std::size_t>(n);
    }
  }

private:
  std::string path_;
  int fd_ = -1;
};

// Runs of the output made by the main thread into slots and written at
// their places in the output's data file by a second thread meanwhile, so
// that reading and swapping overlap with writing.  Without a descriptor
// (the output converted by the library on its way) the runs are written
// through the library by the main thread.  A failed write is reported by
// the main thread at its next call.
class RunWriter {
public:
  // `count` runs of `length` bytes, one after another in a slot, to bytes
  // at, at + stride, at + 2 * stride, ... of the output's data.
  struct Runs {
    std::size_t slot;
    std::int64_t count, length, at, stride;
  };

  RunWriter(int fd, bool raw, std::int64_t slots, std::int64_t slot_bytes) : fd_(fd), raw_(raw) {
    for (std::size_t k = 0; k < static_cast<std::size_t>(fd >= 0 ? slots : 1); ++k) {
      slots_.push_back(std::make_unique<Buffer>(slot_bytes));
      free_.push_back(k);
    }
    if (fd_ >= 0) thread_ = std::thread([this] { work(); });
  }
  RunWriter(const RunWriter &) = delete;
  RunWriter &operator=(const RunWriter &) = delete;
  ~RunWriter() {
    if (thread_.joinable()) {
      {
        const std::lock_guard lock(mutex_);
        stop_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
  }

  // A free slot, once the writes from it are done.
  std::pair<std::size_t, std::span<std::byte>> take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    check();
    const std::size_t k = free_.front();
    free_.pop_front();
    return {k, slots_[k]->span()};
  }

  void put(const Runs &runs) {
    if (fd_ < 0) {
      write_runs(runs);
      free_.push_back(runs.slot);
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      queue_.push_back(runs);
    }
    changed_.notify_all();
  }

  // Wait for every write; fatal when one failed.
  void finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return free_.size() == slots_.size(); });
    check();
  }

private:
  void check() const {
    if (error_ != 0)
      koverr("cannot write the output's data at byte %lld: %s\n", static_cast<long long>(error_at_),
             std::strerror(error_));
  }

  void write_runs(const Runs &r) {
    const std::span<const std::byte> from = slots_[r.slot]->span();
    if (fd_ < 0) {
      if (r.stride == r.length)
        write_at(from.first(static_cast<std::size_t>(r.count * r.length)), r.at, raw_);
      else
        for (std::int64_t k = 0; k < r.count; ++k)
          write_at(from.subspan(static_cast<std::size_t>(k * r.length),
                                static_cast<std::size_t>(r.length)),
                   r.at + k * r.stride, raw_);
      return;
    }
    // Runs that follow each other in the file go in one call.
    const std::int64_t together = r.stride == r.length ? r.count : 1;
    for (std::int64_t k = 0; k < r.count && error_ == 0; k += together)
      pwrite_all(from.data() + k * r.length, together * r.length, r.at + k * r.stride);
  }

  void pwrite_all(const std::byte *bytes, std::int64_t size, std::int64_t at) {
    for (std::int64_t done = 0; done < size;) {
      const ssize_t n = ::pwrite(
          fd_, bytes + done, static_cast<std::size_t>(std::min<std::int64_t>(size - done, 1 << 30)),
          at + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const std::lock_guard lock(mutex_);
        error_ = n < 0 ? errno : ENOSPC;
        error_at_ = at + done;
        return;
      }
      done += n;
    }
  }

  void work() {
    for (;;) {
      Runs runs{};
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        runs = queue_.front();
        queue_.pop_front();
      }
      if (error_at_ < 0) write_runs(runs);
      {
        const std::lock_guard lock(mutex_);
        free_.push_back(runs.slot);
      }
      changed_.notify_all();
    }
  }

  int fd_;
  bool raw_;
  std::vector<std::unique_ptr<Buffer>> slots_;
  std::deque<std::size_t> free_;
  std::deque<Runs> queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  int error_ = 0;
  std::int64_t error_at_ = -1;
  std::thread thread_;
};

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  kovtool::name_in_messages(kovtool::start(argc, argv));
  kov_begin_prog();
  const kovtool::Description desc = kovtool::describe_input();
  // Recorded as its two axes in order.
  const int plane = kovtool::integer_param("plane", 12, 11, 99, kovtool::Record::no);
  int p = plane / 10, q = plane % 10;
  if (p == q || p == 0 || q == 0)
    koverr("plane=%d: give two different axes from 1 to 9, as plane=12 or plane=23\n", plane);
  if (p > q) std::swap(p, q);
  const int memsize = kovtool::integer_param("memsize", 256, 1, 1 << 20);
  // Bytes per buffer: half of memsize once the program's own few MiB are
  // set aside, so that the whole process stays within memsize (whole huge
  // pages from 4 MiB on).
  std::int64_t budget =
      std::max<std::int64_t>(std::int64_t{256} << 10, ((std::int64_t{memsize} - 6) << 20) / 2);
  if (budget >= 2 * kHugePage) budget = budget / kHugePage * kHugePage;

  const std::size_t count = std::max(desc.axes.size(), static_cast<std::size_t>(q));
  std::vector<kovtool::Axis> axes = kovtool::axes_to(desc, count);
  kovproc::SwapShape s;
  std::int64_t outer = 1;
  for (int k = 0; k < p - 1; ++k) s.inner *= axes[static_cast<std::size_t>(k)].n;
  s.p = axes[static_cast<std::size_t>(p - 1)].n;
  for (int k = p; k < q - 1; ++k) s.mid *= axes[static_cast<std::size_t>(k)].n;
  s.q = axes[static_cast<std::size_t>(q - 1)].n;
  for (std::size_t k = static_cast<std::size_t>(q); k < count; ++k) outer *= axes[k].n;
  std::swap(axes[static_cast<std::size_t>(p - 1)], axes[static_cast<std::size_t>(q - 1)]);

  const kovtool::OutputFormat format = kovtool::output_format();
  const auto esize = static_cast<std::int64_t>(kovproc::sample_size(format.kind));
  const std::int64_t block = s.samples() * esize;          // bytes per outer index
  const std::int64_t slab = s.inner * s.mid * s.q * esize; // bytes per index of P
  // In memory: the block and a part of the output of `part` indices of P.
  const std::int64_t part =
      std::clamp<std::int64_t>(std::min(kPartBytes, budget / 8) / slab, 1, s.p);
  const bool in_memory = footprint(block) + footprint(part * slab) <= 2 * budget;

  kovtool::write_axes(axes, desc.axes.size(), format);
  const int written_plane = p * 10 + q;
  putch("plane", "d", &written_plane);

  // In place: the input read in batches of indices of Q, each batch swapped
  // in memory and its runs (one per index of P and M) written at their
  // places in the output's data file.  The output is then touched once, no
  // block need be held whole and no temporary file is needed.  Taken for
  // runs of at least a page, so that a write each is cheap.  The runs are
  // made into kSlots slots that a second thread writes out meanwhile; the
  // batch takes the rest of the memory, since the longer the runs the
  // fewer the writes (a batch of all of Q writes the output in order).
  const std::int64_t line = s.mid * s.p * s.inner * esize; // bytes per index of Q
  const std::int64_t column = s.mid * s.inner * esize;     // of a run per index of P, per Q
  const std::int64_t all = 2 * budget;
  // A slot holds the runs of `least` indices of P at least, so that each
  // visit of an input row takes a whole cache line.
  const std::int64_t least = std::clamp<std::int64_t>(64 / (s.inner * esize), 1, s.p);
  // The batch takes what the slots leave (their least size, a 32nd of the
  // memory, and a huge page for its own rounding).
  const std::int64_t small = std::min(kSlotBytes, all / 32);
  const std::int64_t left = all - kSlots * footprint(small);
  std::int64_t batch = std::min({s.q, kBatchBytes / line, kSlotBytes / (least * column),
                                 (left - (left >= 2 * kHugePage ? kHugePage : 0)) / line});
  // Runs of whole pages where rows are: a page written in two parts, by
  // two batches, costs more than a shorter batch.
  if (batch >= 2048 && batch < s.q) batch -= batch % 1024;
  std::int64_t slot = std::clamp(batch * least * column, small, kSlotBytes);
  if (batch < 1 || footprint(batch * line) + kSlots * footprint(slot) > all) {
    // Too little memory for that: one index of P per slot at least, the
    // batch and the slots sharing the memory in proportion.
    batch = std::min(s.q, (all - (all >= 8 * kHugePage ? (kSlots + 1) * kHugePage : 0)) /
                              (line + kSlots * column));
    slot = batch * column;
  }
  const std::int64_t run = batch * s.inner * esize;
  std::int64_t runs_part =
      std::clamp<std::int64_t>(slot / std::max<std::int64_t>(s.mid * run, 1), 1, s.p);
  // Whole tiles of the swap where there are several (lib/proc/reorder.cpp).
  if (runs_part > least && runs_part < s.p) runs_part -= runs_part % least;
  const bool in_place =
      batch >= 1 && run >= 4096 &&
      footprint(batch * line) + kSlots * footprint(runs_part * s.mid * run) <= all &&
      kovtool::data_placeable("out");

  if (!in_place && !in_memory && slab > budget)
    koverr("memsize=%d: too small to swap axes %d and %d: one slice of the output (n%d=1) takes "
           "%lld MiB, and memsize must hold it twice\n",
           memsize, p, q, p, static_cast<long long>((slab >> 20) + 1));

  ElementSource source(desc, format);
  if (in_place) {
    const Buffer a(batch * line);
    RunWriter writer(source.raw() ? kovtool::data_descriptor("out") : -1, source.raw(), kSlots,
                     runs_part * s.mid * run);
    for (std::int64_t o = 0; o < outer; ++o)
      for (std::int64_t r0 = 0; r0 < s.q; r0 += batch) {
        const std::int64_t nr = std::min(batch, s.q - r0), length = nr * s.inner * esize;
        source.fill(a.first(nr * line));
        const kovproc::SwapShape shape{s.inner, s.p, s.mid, nr};
        for (std::int64_t p0 = 0; p0 < s.p; p0 += runs_part) {
          // A slot: the runs of nr indices of Q, one per index of P and M in turn.
          const std::int64_t n = std::min(runs_part, s.p - p0);
          const auto [k, b] = writer.take();
          kovproc::swap_axes_part(a.first(nr * line),
                                  b.first(static_cast<std::size_t>(n * s.mid * length)),
                                  static_cast<std::size_t>(esize), shape, p0, n);
          writer.put({k, n * s.mid, length, o * block + ((p0 * s.mid) * s.q + r0) * s.inner * esize,
                      s.q * s.inner * esize});
        }
      }
    writer.finish();
  } else if (in_memory) {
    const Buffer a(block), b(part * slab);
    for (std::int64_t o = 0; o < outer; ++o) {
      source.fill(a.span());
      for (std::int64_t p0 = 0; p0 < s.p; p0 += part) {
        const std::int64_t n = std::min(part, s.p - p0);
        kovproc::swap_axes_part(a.span(), b.first(n * slab), static_cast<std::size_t>(esize), s, p0,
                                n);
        write_out(b.first(n * slab), source.raw());
      }
    }
  } else {
    const std::int64_t group = std::max<std::int64_t>(1, budget / slab); // indices of P per group
    const std::int64_t row = s.p * s.inner * esize;                      // bytes per (q, m)
    const std::int64_t rows = s.q * s.mid;
    const Buffer a(budget), b(budget);
    TempFile temp;
    for (std::int64_t o = 0; o < outer; ++o) {
      // First pass: the rows of the input into the groups' regions.
      if (row <= budget) {
        const std::int64_t batch = budget / row;
        for (std::int64_t r0 = 0; r0 < rows; r0 += batch) {
          const std::int64_t nr = std::min(batch, rows - r0);
          source.fill(a.first(nr * row));
          for (std::int64_t g0 = 0; g0 < s.p; g0 += group) {
            const std::int64_t pg = std::min(group, s.p - g0), piece = pg * s.inner * esize;
            for (std::int64_t r = 0; r < nr; ++r)
              std::memcpy(b.span().data() + r * piece,
                          a.span().data() + r * row + g0 * s.inner * esize,
                          static_cast<std::size_t>(piece));
            temp.write_at(b.first(nr * piece), g0 * slab + r0 * piece);
          }
        }
      } else {
        for (std::int64_t r = 0; r < rows; ++r)
          for (std::int64_t g0 = 0; g0 < s.p; g0 += group) {
            const std::int64_t pg = std::min(group, s.p - g0), piece = pg * s.inner * esize;
            source.fill(a.first(piece));
            temp.write_at(a.first(piece), g0 * slab + r * piece);
          }
      }
      // Second pass: each group swapped whole, in the output's order.
      for (std::int64_t g0 = 0; g0 < s.p; g0 += group) {
        const std::int64_t pg = std::min(group, s.p - g0);
        temp.read_at(a.first(pg * slab), g0 * slab);
        kovproc::swap_axes(a.first(pg * slab), b.first(pg * slab), static_cast<std::size_t>(esize),
                           kovproc::SwapShape{s.inner, pg, s.mid, s.q});
        write_out(b.first(pg * slab), source.raw());
      }
    }
  }
  source.expect_end();
  kov_end_prog();
  return 0;
}
