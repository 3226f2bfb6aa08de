// SPDX-License-Identifier: Apache-2.0
// kovtraces: the input read as traces (the samples along axis 1) in blocks
// of whole traces, as floats whatever the element format, and the output
// written as xdr_float.  Shared by the programs that process traces one by
// one (kovgain, kovbandpass, kovspectra); header only, on kovtool.
#ifndef KOV_APP_KOVTRACES_HPP
#define KOV_APP_KOVTRACES_HPP

#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <future>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kovtool {

// Axis 1 of the input as its header gives it, with its origin and sampling
// in seconds when its unit is milliseconds.
struct TraceAxis {
  std::int64_t n = 1;
  double o = 0.0, d = 1.0; // in seconds when unit is "ms"
  std::string label, unit;
  bool milliseconds = false;
};

class TraceInput {
public:
  // `block_bytes`: about how much a block holds (at least one trace).
  explicit TraceInput(std::string name, std::int64_t block_bytes = std::int64_t{4} << 20)
      : name_(std::move(name)), desc_(describe_input()), reader_(desc_) {
    std::vector<kov_axis> axes(KOV_MAX_AXES);
    char why[512];
    if (kov_header_axes("in", KOV_MAX_AXES, axes.data(), why, sizeof why) < 0) koverr("%s\n", why);
    axis_.n = axes[0].n;
    axis_.o = axes[0].o;
    axis_.d = axes[0].d;
    axis_.label = axes[0].label;
    axis_.unit = axes[0].unit;
    if (axis_.unit == "ms") {
      axis_.milliseconds = true;
      axis_.o /= 1000.0;
      axis_.d /= 1000.0;
    }
    if (desc_.format == "xdr_float" || desc_.format == "native_float")
      integers_ = false;
    else if (desc_.format == "xdr_int")
      integers_ = true;
    else
      koverr("%s: data_format=%s: the samples must be floats (xdr_float, native_float) or "
             "integers (xdr_int)\n",
             name_.c_str(), desc_.format.c_str());
    if (desc_.esize != 4)
      koverr("%s: esize=%d: data_format=%s has 4-byte samples\n", name_.c_str(), desc_.esize,
             desc_.format.c_str());
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

  // The next block of whole traces into `block` (resized); false at the
  // end, also when the data end early, which finish() then reports.
  bool next(std::vector<float> &block) {
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
      const std::span<char> bytes(reinterpret_cast<char *>(block.data() + at), part * 4);
      if (reader_.fill(bytes) < bytes.size()) {
        short_ = true;
        return false;
      }
      at += part;
    }
    if (integers_)
      for (float &v : block) {
        std::int32_t i;
        std::memcpy(&i, &v, 4);
        v = static_cast<float>(i);
      }
    done_ += count;
    return true;
  }

  // After the last block: fatal when the data ended early or go on past
  // the declared end.
  void finish() {
    if (short_)
      koverr("%s: the data are short: the header declares %lld bytes, only %lld are there\n",
             name_.c_str(), static_cast<long long>(desc_.bytes),
             static_cast<long long>(reader_.done()));
    reader_.expect_end();
  }

private:
  std::string name_;
  Description desc_;
  BlockReader reader_;
  TraceAxis axis_;
  bool integers_ = false;
  std::int64_t traces_ = 0, per_block_ = 1, done_ = 0;
  bool short_ = false;
};

// Write floats to "out" as xdr_float; fatal when they cannot be written.
inline void write_floats(std::span<const float> values) {
  static bool formatted = false;
  if (!formatted) {
    set_format("out", "xdr_float");
    formatted = true;
  }
  auto bytes = std::as_bytes(values);
  while (!bytes.empty()) {
    const std::size_t part = std::min<std::size_t>(bytes.size(), std::size_t{1} << 30);
    if (srite("out", bytes.data(), static_cast<int>(part)) != static_cast<int>(part))
      koverr("out: cannot write the output data\n");
    bytes = bytes.subspan(part);
  }
}

// Run work(first, count) over `count` items on every processor, in
// contiguous shares of at least `grain` items.
template <class Work> void parallel_for(std::size_t count, std::size_t grain, Work work) {
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t shares =
      std::min(cores, std::max<std::size_t>(1, count / std::max<std::size_t>(grain, 1)));
  if (shares <= 1) {
    work(std::size_t{0}, count);
    return;
  }
  std::vector<std::jthread> threads;
  const std::size_t each = (count + shares - 1) / shares;
  for (std::size_t s = 1; s < shares; ++s) {
    const std::size_t first = s * each;
    if (first < count)
      threads.emplace_back(
          [&work, first, each, count] { work(first, std::min(each, count - first)); });
  }
  work(std::size_t{0}, std::min(each, count));
}

// Every block of `in` through process(block, out), which leaves the
// block's output in `out` (it may swap the block into it; on entry `out`
// holds an earlier block's output, its memory reused), written to "out".  A block is processed on other threads while the main thread
// writes the output before it and reads the one after it: the library is
// called from the main thread only.  Fatal, after the work in progress
// has ended, when the data are short or longer than declared, and when
// `process` throws (its message).
template <class Process> void run_blocks(TraceInput &in, Process process) {
  std::array<std::vector<float>, 2> blocks, outs;
  std::size_t k = 0;
  bool more = in.next(blocks[0]);
  while (more) {
    auto job = std::async(std::launch::async, [&, k] { process(blocks[k], outs[k]); });
    if (!outs[1 - k].empty()) write_floats(outs[1 - k]);
    more = in.next(blocks[1 - k]);
    try {
      job.get();
    } catch (const std::exception &e) {
      koverr("%s: %s\n", in.name().c_str(), e.what());
    }
    k = 1 - k;
  }
  if (!outs[1 - k].empty()) write_floats(outs[1 - k]);
  in.finish();
}

} // namespace kovtool

#endif
