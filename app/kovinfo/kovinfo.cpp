// SPDX-License-Identifier: Apache-2.0
// kovinfo: describe a dataset.
//
// Prints the axes, the element size and format, where the data are, how
// many bytes the header declares and how many there are, and, over all
// samples, the minimum and the maximum with their positions, the mean and
// the root mean square.  A data file is read through mappings on every
// processor (scan.hpp); data from a pipe, a socket or a set of files are
// read in blocks on a thread of their own while the statistics (stats.hpp)
// take the blocks before.  Either way memory does not grow with the
// dataset.  Data that are missing, shorter or longer than the header says
// are fatal.
//
//   kovinfo < vel.H          velmodel | kovinfo          kovinfo a.H b.H
#include "kovhelp.hpp"
#include "kovtool.hpp"
#include "scan.hpp"
#include "stats.hpp"

#include <kov/kovlib.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using kovinfo::kBlockBytes;

// Reads the blocks on a thread of its own while the caller takes the block
// before: the copy out of the page cache (time in the kernel) and the
// statistics (time in the program) overlap, so that a scan takes about as
// long as the copy alone.  Until the reading thread ends, only it calls
// the library.
class Prefetch {
public:
  explicit Prefetch(kovtool::BlockReader &reader) : reader_(reader), thread_([this] { run(); }) {}
  Prefetch(const Prefetch &) = delete;
  Prefetch &operator=(const Prefetch &) = delete;
  ~Prefetch() { thread_.join(); }

  // The next block, empty after the last; the block returned before goes
  // back to the reading thread.
  std::span<char> next() {
    std::unique_lock lock(mutex_);
    if (held_ != nullptr) {
      held_->full = false;
      held_ = nullptr;
      changed_.notify_all();
    }
    Slot &slot = slots_[taken_++ % kSlots];
    changed_.wait(lock, [&] { return slot.full; });
    held_ = &slot;
    return slot.block.span().first(slot.got);
  }

private:
  // The reading thread may run this many blocks ahead, which rides out a
  // moment in which the other thread waits for a processor.
  static constexpr std::size_t kSlots = 4;

  struct Slot {
    kovtool::PageBlock block{kBlockBytes};
    std::size_t got = 0;
    bool full = false;
  };

  void run() {
    for (std::size_t k = 0;; ++k) {
      Slot &slot = slots_[k % kSlots];
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !slot.full; });
      }
      const std::size_t got = reader_.fill(slot.block.span());
      {
        std::lock_guard lock(mutex_);
        slot.got = got;
        slot.full = true;
      }
      changed_.notify_all();
      if (got == 0) return;
    }
  }

  kovtool::BlockReader &reader_;
  std::array<Slot, kSlots> slots_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Slot *held_ = nullptr;
  std::size_t taken_ = 0;
  std::thread thread_; // last: it starts once the rest is ready
};

// The kind of samples the statistics read; nothing for other formats,
// whose data are only counted.
using Kind = std::optional<kovinfo::Sample>;

Kind kind_of(const kovtool::Description &desc) {
  if (desc.esize != 4) return std::nullopt;
  if (desc.format == "xdr_float" || desc.format == "native_float") return kovinfo::Sample::Float;
  if (desc.format == "xdr_int") return kovinfo::Sample::Int;
  return std::nullopt;
}

// The descriptor of the data when they are one regular file, from its
// start, that can be mapped.  Nothing for data in the header's stream, in a
// set of files, behind a socket or on a file system that does not map.
std::optional<int> mappable_data(const kovtool::Description &desc) {
  if (desc.files.size() != 1 || desc.location.find(';') != std::string::npos ||
      kov_is_socket_name(desc.location.c_str()))
    return std::nullopt;
  std::FILE *data = input(); // opens the data of "in"
  if (data == nullptr) return std::nullopt;
  const int fd = fileno(data);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::lseek(fd, 0, SEEK_CUR) != 0 ||
      !kovinfo::mappable(fd))
    return std::nullopt;
  return fd;
}

// The statistics of a data file through mappings; returns the bytes read.
std::int64_t scan_file(const kovtool::Description &desc, int fd, Kind kind, bool big_endian,
                       kovinfo::Statistics &stats) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    koverr("cannot ask the size of the data file %s: %s\n", desc.files[0].c_str(),
           std::strerror(errno));
  const std::int64_t size = st.st_size;
  if (size < desc.bytes) kovtool::data_short(desc.bytes, size);
  if (size > desc.bytes) kovtool::data_longer(desc.bytes, size - desc.bytes);
  if (!kind) return desc.bytes;
  const kovinfo::MappedScan got =
      kovinfo::scan_mapped(fd, 0, desc.bytes, *kind, big_endian, kovinfo::scan_threads(), stats);
  if (got.outcome == kovinfo::MappedScan::Shrank)
    koverr("the data file %s was cut short while it was read\n", desc.files[0].c_str());
  if (got.outcome == kovinfo::MappedScan::Unmapped)
    koverr("cannot map the data file %s: %s\n", desc.files[0].c_str(), std::strerror(got.error));
  return desc.bytes;
}

// The statistics of data read block by block; returns the bytes read.
std::int64_t scan_stream(const kovtool::Description &desc, Kind kind, bool big_endian,
                         kovinfo::Statistics &stats) {
  kovtool::BlockReader reader(desc, true);
  {
    Prefetch blocks(reader);
    for (std::int64_t first = 0;;) {
      const std::span<const std::byte> block = std::as_bytes(blocks.next());
      if (block.empty()) break;
      if (kind) stats.add(block, first, *kind, big_endian);
      first += static_cast<std::int64_t>(block.size() / 4);
    }
  }
  reader.expect_end();
  return reader.done();
}

// "sample (i1, i2, ...): label1=x1, label2=x2, ..." for a linear sample
// index; an axis without a label is named axisN.
std::string position(const kovtool::Description &desc, std::int64_t index) {
  std::string indices = "sample (", coordinates;
  for (std::size_t k = 0; k < desc.axes.size(); ++k) {
    const kovtool::Axis &a = desc.axes[k];
    const std::int64_t i = index % a.n;
    index /= a.n;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%lld", k ? ", " : "", static_cast<long long>(i + 1));
    indices += buf;
    const std::string name = a.label.empty() ? "axis" + std::to_string(k + 1) : a.label;
    std::snprintf(buf, sizeof buf, "%s%s=%.7g", k ? ", " : "", name.c_str(),
                  a.o + a.d * static_cast<double>(i));
    coordinates += buf;
  }
  return indices + "): " + coordinates;
}

void describe(const std::string &header) {
  const kovtool::Description desc = kovtool::describe_input();
  std::printf("header       %s\n", header.c_str());
  for (std::size_t k = 0; k < desc.axes.size(); ++k) {
    const kovtool::Axis &a = desc.axes[k];
    std::printf("axis %zu       n%zu=%d o%zu=%.7g d%zu=%.7g label%zu=\"%s\"\n", k + 1, k + 1, a.n,
                k + 1, a.o, k + 1, a.d, k + 1, a.label.c_str());
  }
  std::printf("esize        %d\n", desc.esize);
  std::printf("data_format  %s\n", desc.format.c_str());
  if (desc.files.empty()) std::printf("data         follow the header in the same stream\n");
  for (const std::string &f : desc.files) std::printf("data         %s\n", f.c_str());
  std::printf("samples      %lld\n", static_cast<long long>(desc.samples));
  std::printf("expected     %lld bytes\n", static_cast<long long>(desc.bytes));
  std::fflush(stdout);

  const Kind kind = kind_of(desc);
  // The bytes as stored: the statistics put big-endian samples in order
  // themselves, as they read them.
  const bool big_endian =
      std::endian::native == std::endian::little && desc.format.starts_with("xdr_");
  std::string warning;
  kovinfo::Statistics stats(kovinfo::simd_for(std::getenv("KOV_SIMD"), warning));
  if (!warning.empty()) std::fprintf(stderr, "kovinfo: warning: %s\n", warning.c_str());
  const std::optional<int> file = mappable_data(desc);
  const std::int64_t actual = file ? scan_file(desc, *file, kind, big_endian, stats)
                                   : scan_stream(desc, kind, big_endian, stats);
  std::printf("actual       %lld bytes\n", static_cast<long long>(actual));

  if (!kind) {
    std::printf("statistics   not computed for data_format=%s esize=%d\n", desc.format.c_str(),
                desc.esize);
    return;
  }
  if (stats.nonfinite > 0)
    std::printf("non-finite   %lld samples (left out below)\n",
                static_cast<long long>(stats.nonfinite));
  if (stats.count == 0) {
    std::printf("statistics   no finite samples\n");
    return;
  }
  const double n = static_cast<double>(stats.count);
  std::printf("min          %.9g at %s\n", stats.min, position(desc, stats.at_min).c_str());
  std::printf("max          %.9g at %s\n", stats.max, position(desc, stats.at_max).c_str());
  std::printf("mean         %.9g\n", stats.sum / n);
  std::printf("rms          %.9g\n", std::sqrt(stats.sumsq / n));
}

// Several header files: one run of this program for each, in turn, with
// the other words of the command line.  The first failure's status.
int describe_each(int argc, char **argv, const std::vector<std::string> &headers) {
  int status = 0;
  for (const std::string &h : headers) {
    std::vector<std::string> words = {argv[0]};
    for (int i = 1; i < argc; ++i)
      if (std::strchr(argv[i], '=') != nullptr) words.emplace_back(argv[i]);
    words.push_back("stdin=" + h);
    std::vector<char *> args;
    for (std::string &w : words) args.push_back(w.data());
    args.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, args.data(), environ) != 0)
      koverr("cannot run %s for %s\n", argv[0], h.c_str());
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    const int code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (status == 0) status = code;
    if (&h != &headers.back()) std::printf("\n");
  }
  return status;
}

} // namespace

int main(int argc, char **argv) {
  kovhelp::answer_help(argc, argv);
  const std::vector<std::string> headers = kovtool::plain_arguments(argc, argv);
  if (headers.size() > 1) return describe_each(argc, argv, headers);
  const std::string header = kovtool::start(argc, argv);
  kov_begin_prog();
  describe(header);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) koverr("cannot write the description\n");
  kov_end_prog();
  return 0;
}
