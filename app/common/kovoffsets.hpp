// SPDX-License-Identifier: Apache-2.0
// kovoffsets: the offset of every trace of `in` for the programs that work
// on gathers (kovnmo, kovmute): the trace header key `offset` when the
// dataset has trace headers (a header format file) with that key, else
// the coordinate of axis 2.  Read from the trace driver's workers
// (kovtraces.hpp).  Header only; the program links kov::kov3d.
#ifndef KOV_APP_KOVOFFSETS_HPP
#define KOV_APP_KOVOFFSETS_HPP

#include "kovtraces.hpp"

#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kovoffsets {

class Offsets {
public:
  // `n2`, `o2`, `d2`: axis 2 of the data.  Binds the trace headers of `in`
  // (init_3d) when its history names a header format file.
  Offsets(const std::string &file, int n2, double o2, double d2)
      : file_(file), n2_(n2), o2_(o2), d2_(d2) {
    std::array<char, 4096> hff{};
    if (hetch_n("hff", "s", hff.data(), hff.size()) == 0 || std::strcmp(hff.data(), "-1") == 0)
      return;
    init_3d();
    if (kov_get_key_index("in", "offset", &key_) != 0) {
      key_ = 0;
      return;
    }
    std::array<char, KOV3D_KEY_TYPE_ROOM> type{};
    kov_get_key_type("in", &key_, type.data());
    if (std::strcmp(type.data(), "scalar_int") == 0)
      integer_ = true;
    else if (std::strcmp(type.data(), "scalar_float") != 0)
      koverr("%s: the trace header key offset is of type %s, not scalar_int or scalar_float\n",
             file_.c_str(), type.data());
  }

  // Whether the offsets come from the trace headers.
  bool from_headers() const { return key_ != 0; }

  // The offsets of out.size() traces from trace `first` (0-based) into
  // `out`.  From several threads at once; the trace headers are read under
  // the library's lock.  Throws std::runtime_error for a header that cannot
  // be read or an offset that is not a finite number.
  void of(std::int64_t first, std::span<double> out) const {
    const std::size_t count = out.size();
    if (key_ == 0) {
      for (std::size_t j = 0; j < count; ++j)
        out[j] = o2_ + d2_ * static_cast<double>((first + static_cast<std::int64_t>(j)) % n2_);
      return;
    }
    if (first + static_cast<std::int64_t>(count) > 2147483647)
      throw std::runtime_error("more traces than trace headers can number");
    std::vector<std::uint32_t> raw(count);
    const int record = static_cast<int>(first + 1), n = static_cast<int>(count);
    int key = key_;
    int status = 0;
    {
      const std::lock_guard lock(kovtool::library_lock());
      status = kov_get_val_by_index("in", &record, &key, &n, raw.data());
    }
    if (status != 0)
      throw std::runtime_error("the trace header key offset of traces " + std::to_string(record) +
                               " to " + std::to_string(record + n - 1) + " cannot be read");
    for (std::size_t j = 0; j < count; ++j) {
      if (integer_) {
        std::int32_t v;
        std::memcpy(&v, &raw[j], 4);
        out[j] = v;
      } else {
        float v;
        std::memcpy(&v, &raw[j], 4);
        if (!std::isfinite(v))
          throw std::runtime_error("the trace header key offset of trace " +
                                   std::to_string(first + static_cast<std::int64_t>(j) + 1) +
                                   " is not a finite number");
        out[j] = v;
      }
    }
  }

private:
  std::string file_;
  int n2_;
  double o2_, d2_;
  int key_ = 0;
  bool integer_ = false;
};

} // namespace kovoffsets

#endif
