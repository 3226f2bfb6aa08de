// SPDX-License-Identifier: Apache-2.0
// kovinfo's scan of a mapped data file on several threads.
#include "scan.hpp"

#include "kovbus.hpp"

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <cstddef>
#include <latch>
#include <optional>
#include <sched.h>
#include <span>
#include <sys/mman.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kovinfo {

namespace {

// The blocks a thread maps and sums in one round: large enough that mapping
// costs little, small enough that memory does not grow with the file.
constexpr std::int64_t kWindowBlocks = 16;

using kovtool::BusErrors;
using kovtool::guarded;

// A read-only mapping of part of a file, unmapped when it goes.
class Mapping {
public:
  Mapping() = default;
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  ~Mapping() { unmap(); }

  // Maps `length` bytes at `offset` of the file open on `fd`; 0, or the
  // system's reason for failing.
  int map(int fd, std::int64_t offset, std::size_t length) {
    unmap();
    static const std::int64_t page = ::sysconf(_SC_PAGESIZE);
    const std::int64_t start = offset / page * page;
    const auto skip = static_cast<std::size_t>(offset - start);
    void *base = ::mmap(nullptr, skip + length, PROT_READ, MAP_SHARED, fd, start);
    if (base == MAP_FAILED) return errno;
    // Read ahead of the first touch when the file is not in the page cache.
    ::madvise(base, skip + length, MADV_WILLNEED);
    base_ = base;
    mapped_ = skip + length;
    data_ = std::span<const std::byte>(static_cast<const std::byte *>(base) + skip, length);
    return 0;
  }

  void unmap() {
    if (base_ != nullptr) ::munmap(base_, mapped_);
    base_ = nullptr;
    data_ = {};
  }

  std::span<const std::byte> data() const { return data_; }

private:
  void *base_ = nullptr;
  std::size_t mapped_ = 0;
  std::span<const std::byte> data_;
};

// Thread t of n maps and sums, in round r, the blocks [first(r, t),
// first(r, t) + per) (fewer at the end of the data); the round's totals
// are then merged in block order by the barrier's completion step.
class Scan {
public:
  Scan(int fd, std::int64_t offset, std::int64_t bytes, Sample sample, bool big_endian,
       Statistics &stats)
      : fd_(fd), offset_(offset), bytes_(bytes), sample_(sample), big_endian_(big_endian),
        stats_(stats), blocks_((bytes + kBlock - 1) / kBlock) {}

  MappedScan run(int threads) {
    if (bytes_ <= 0) return {};
    BusErrors catching;
    int wanted = static_cast<int>(std::clamp<std::int64_t>(threads, 1, blocks_));
    std::latch planned(1);
    std::vector<std::jthread> helpers;
    for (int t = 1; t < wanted; ++t) {
      try {
        helpers.emplace_back([this, t, &planned] {
          planned.wait();
          if (t < n_) work(t);
        });
      } catch (const std::system_error &) {
        break; // fewer threads, the same figures
      }
    }
    plan(static_cast<int>(helpers.size()) + 1);
    std::barrier sync(n_, MergeRound{this});
    sync_ = &sync;
    planned.count_down();
    work(0);
    helpers.clear(); // joins them
    if (error_ != 0) return {MappedScan::Unmapped, error_};
    if (shrank_) return {MappedScan::Shrank, 0};
    return {};
  }

private:
  struct MergeRound {
    Scan *scan;
    void operator()() noexcept { scan->merge_round(); }
  };

  static constexpr std::int64_t kBlock = static_cast<std::int64_t>(kBlockBytes);

  void plan(int n) {
    n_ = n;
    per_ = std::min(kWindowBlocks, (blocks_ + n - 1) / n);
    rounds_ = (blocks_ + per_ * n - 1) / (per_ * n);
    totals_.assign(static_cast<std::size_t>(per_ * n), BlockTotals{});
    windows_ = std::vector<Mapping>(static_cast<std::size_t>(n));
  }

  std::int64_t first(std::int64_t round, int t) const { return (round * n_ + t) * per_; }
  std::int64_t end(std::int64_t round, int t) const {
    return std::min(first(round, t) + per_, blocks_);
  }

  // Block b of the data, in the window of thread t.
  std::span<const std::byte> block(int t, std::int64_t round, std::int64_t b) const {
    const auto at = static_cast<std::size_t>((b - first(round, t)) * kBlock);
    return windows_[static_cast<std::size_t>(t)].data().subspan(
        at, static_cast<std::size_t>(std::min(kBlock, bytes_ - b * kBlock)));
  }

  BlockTotals &totals(std::int64_t round, std::int64_t b) {
    return totals_[static_cast<std::size_t>(b - first(round, 0))];
  }

  void work(int t) {
    Mapping &window = windows_[static_cast<std::size_t>(t)];
    for (std::int64_t r = 0; r < rounds_; ++r) {
      const std::int64_t b0 = first(r, t), b1 = end(r, t);
      if (b0 < b1 && !failed()) {
        const int e =
            window.map(fd_, offset_ + b0 * kBlock,
                       static_cast<std::size_t>(std::min(bytes_, b1 * kBlock) - b0 * kBlock));
        if (e != 0) {
          int none = 0;
          error_.compare_exchange_strong(none, e);
        } else if (!guarded([&] {
                     for (std::int64_t b = b0; b < b1; ++b)
                       totals(r, b) = stats_.totals(block(t, r, b), sample_, big_endian_);
                   })) {
          shrank_ = true;
        }
      }
      sync_->arrive_and_wait();
      window.unmap();
    }
  }

  // On one thread, while the others wait: the round's blocks in order.
  void merge_round() {
    for (int t = 0; t < n_ && !failed(); ++t)
      for (std::int64_t b = first(round_, t); b < end(round_, t); ++b)
        if (!guarded([&] {
              stats_.merge(totals(round_, b), block(t, round_, b), b * kBlock / 4, sample_,
                           big_endian_);
            })) {
          shrank_ = true;
          break;
        }
    ++round_;
  }

  bool failed() const { return shrank_ || error_ != 0; }

  const int fd_;
  const std::int64_t offset_, bytes_;
  const Sample sample_;
  const bool big_endian_;
  Statistics &stats_;
  const std::int64_t blocks_;
  int n_ = 1;
  std::int64_t per_ = 1, rounds_ = 0, round_ = 0;
  std::vector<BlockTotals> totals_;
  std::vector<Mapping> windows_;
  std::barrier<MergeRound> *sync_ = nullptr;
  std::atomic<bool> shrank_ = false;
  std::atomic<int> error_ = 0;
};

} // namespace

int scan_threads(int limit) {
  cpu_set_t set;
  CPU_ZERO(&set);
  int n = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  return std::clamp(n, 1, std::max(limit, 1));
}

bool mappable(int fd) {
  void *page = ::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) return false;
  ::munmap(page, 1);
  return true;
}

MappedScan scan_mapped(int fd, std::int64_t offset, std::int64_t bytes, Sample sample,
                       bool big_endian, int threads, Statistics &stats) {
  return Scan(fd, offset, bytes, sample, big_endian, stats).run(threads);
}

} // namespace kovinfo
