// SPDX-License-Identifier: Apache-2.0
// kovgather: what the programs that work on gathers share (kovnmo,
// kovmute): datasets read one trace at a time, and the input's traces
// read, changed and written in blocks.  Header only, on top of kov_tool.
#ifndef KOV_APP_KOVGATHER_HPP
#define KOV_APP_KOVGATHER_HPP

#include "kovtool.hpp"
#include "kovtraces.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kovgather {

// The number of traces after the first `skip` axes.
inline std::int64_t count_after(const std::vector<kovtool::Axis> &axes, std::size_t skip) {
  std::int64_t count = 1;
  for (std::size_t k = skip; k < axes.size(); ++k) count *= axes[k].n;
  return count;
}

// Reads float traces of `n` samples from dataset `tag` in order.
class TraceReader {
public:
  TraceReader(const char *tag, std::string file, std::size_t n)
      : tag_(tag), file_(std::move(file)), trace_(n) {}

  std::span<float> next() {
    const auto bytes = static_cast<int>(trace_.size() * sizeof(float));
    if (sreed(tag_, trace_.data(), bytes) != bytes)
      koverr("%s: the data are short: trace %lld could not be read\n", file_.c_str(),
             static_cast<long long>(done_ + 1));
    ++done_;
    return trace_;
  }

private:
  const char *tag_;
  std::string file_;
  std::vector<float> trace_;
  std::int64_t done_ = 0;
};

// Fatal unless dataset `tag` holds 4-byte float samples.
inline void require_float_tag(const char *tag, const std::string &file) {
  int esize = 4;
  auxpar_n("esize", "d", &esize, 1, tag);
  std::string format = "xdr_float";
  std::vector<char> room(64, '\0');
  if (auxpar_n("data_format", "s", room.data(), room.size(), tag) > 0) format = room.data();
  if (esize != 4 || (format != "xdr_float" && format != "native_float"))
    koverr("%s: needs 4-byte float samples, not data_format=%s esize=%d\n", file.c_str(),
           format.c_str(), esize);
}

// The traces of `in`, read and written in blocks of whole traces of about
// a megabyte: `work(first, block)` is called with the index of the block's
// first trace and its samples as floats (whatever the input's real element
// format), changed in place, which are then written to `out` as xdr_float.
// The amount of data is checked against the header.
template <class Work>
void each_block(const kovtool::Description &desc, const std::string &name, std::size_t n1,
                Work work) {
  kovtool::TraceInput input(name, desc, std::int64_t{1} << 20);
  set_format("out", "xdr_float");
  std::vector<float> block;
  std::int64_t first = 0;
  while (input.next(block)) {
    work(first, std::span<float>(block));
    const auto bytes = static_cast<int>(block.size() * sizeof(float));
    if (srite("out", block.data(), bytes) != bytes) koverr("cannot write the output data\n");
    first += static_cast<std::int64_t>(block.size() / n1);
  }
  input.finish();
}

} // namespace kovgather

#endif
