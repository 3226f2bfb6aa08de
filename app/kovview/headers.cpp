// SPDX-License-Identifier: Apache-2.0
// kovview's trace headers; see headers.hpp.
#include "headers.hpp"
#include "kovtool.hpp"

#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kovview {

namespace {

// Bytes of records read at once.
constexpr std::int64_t kChunk = std::int64_t{4} << 20;

} // namespace

KeyFormat key_format(std::string_view fmt) {
  if (fmt == "xdr_int") return KeyFormat::XdrInt;
  if (fmt == "xdr_float") return KeyFormat::XdrFloat;
  if (fmt == "native_int") return KeyFormat::NativeInt;
  if (fmt == "native_float") return KeyFormat::NativeFloat;
  return KeyFormat::Unknown;
}

TraceHeaders::~TraceHeaders() {
  if (fd_ >= 0) ::close(fd_);
}

TraceHeaders::TraceHeaders(std::mutex &library, std::int64_t traces)
    : library_(library), traces_(traces) {
  std::lock_guard lock(library_);
  std::array<char, 4096> name{};
  const bool named_in = getch_n("hff_in", "s", name.data(), name.size()) > 0;
  if (!named_in && hetch_n("hff", "s", name.data(), name.size()) <= 0) return;
  if (std::strncmp(name.data(), "-1", 2) == 0) return;
  init_3d();
  char *tag = nullptr;
  if (kov_get_header_format_tag("in", &tag) != 0 || tag == nullptr) return;
  hff_ = tag;
  std::free(tag);
  int n_keys = 0;
  if (kov_get_number_keys("in", &n_keys) != 0 || n_keys <= 0) {
    problem_ = hff_ + ": the trace headers' keys are not described";
    return;
  }
  if (kov_get_header_bytes("in", &record_bytes_) != 0 || record_bytes_ != 4 * n_keys) {
    problem_ = hff_ + ": the trace header records are not of 4 bytes a key";
    return;
  }
  for (int k = 1; k <= n_keys; ++k) {
    std::array<char, KOV3D_KEY_NAME_ROOM> key{};
    std::array<char, KOV3D_KEY_TYPE_ROOM> type{}, fmt{};
    Key description;
    if (kov_get_key_name("in", &k, key.data()) == 0) description.name = key.data();
    if (kov_get_key_type("in", &k, type.data()) == 0) description.type = type.data();
    if (kov_get_key_fmt("in", &k, fmt.data()) == 0) description.fmt = fmt.data();
    if (description.name.empty()) description.name = "key" + std::to_string(k);
    description.format = key_format(description.fmt);
    keys_.push_back(std::move(description));
  }
  // The records the header axes declare, as far as the header data hold them.
  int axes = 1;
  kov_get_number_header_axes("in", &axes);
  std::int64_t declared = 1;
  for (int i = 2; i <= std::max(axes, 2); ++i) {
    int n = 1;
    float o = 0, d = 1;
    kov_get_header_axis_par("in", &i, &n, &o, &d, nullptr);
    if (n < 1) n = 1;
    declared *= n;
    if (declared > (std::int64_t{1} << 40)) break;
  }
  const kov_off_t stored = sseek_l_l(hff_.c_str(), 0, SEEK_END);
  if (stored < 0) {
    problem_ = hff_ + ": the trace header data cannot be read at will (not a file)";
    keys_.clear();
    return;
  }
  records_ = std::min<std::int64_t>(declared, stored / record_bytes_);
  // Header data in a file of their own, from its first byte, are read
  // from it directly, without the library's lock.
  const kovtool::Description d = kovtool::describe(hff_);
  if (d.files.size() == 1 && kov_is_url(d.files[0].c_str()) == 0) {
    fd_ = ::open(d.files[0].c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ >= 0 &&
        (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < records_ * record_bytes_)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (records_ < declared)
    problem_ = hff_ + ": the header data hold " + std::to_string(records_) + " records, not the " +
               std::to_string(declared) + " declared";
  else if (records_ < traces_)
    problem_ = hff_ + ": " + std::to_string(records_) + " header records for " +
               std::to_string(traces_) + " traces";
}

double TraceHeaders::decode(std::size_t k, const char *record) const {
  std::uint32_t w;
  std::memcpy(&w, record + 4 * k, 4);
  const KeyFormat f = keys_[k].format;
  if constexpr (std::endian::native == std::endian::little)
    if (f == KeyFormat::XdrInt || f == KeyFormat::XdrFloat) w = __builtin_bswap32(w);
  switch (f) {
  case KeyFormat::XdrInt:
  case KeyFormat::NativeInt:
    return std::bit_cast<std::int32_t>(w);
  case KeyFormat::XdrFloat:
  case KeyFormat::NativeFloat:
    return std::bit_cast<float>(w);
  case KeyFormat::Unknown:
    break;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

std::string TraceHeaders::text(std::size_t k, double v, bool json) const {
  const KeyFormat f = keys_[k].format;
  if (f == KeyFormat::Unknown) return json ? "null" : "";
  std::array<char, 32> buffer{};
  if (f == KeyFormat::XdrInt || f == KeyFormat::NativeInt) {
    const auto end = std::to_chars(buffer.begin(), buffer.end(), static_cast<std::int32_t>(v)).ptr;
    return std::string(buffer.data(), end);
  }
  if (std::isnan(v)) return json ? "\"NaN\"" : "nan";
  if (std::isinf(v))
    return v > 0 ? (json ? "\"Infinity\"" : "inf") : (json ? "\"-Infinity\"" : "-inf");
  const auto end = std::to_chars(buffer.begin(), buffer.end(), static_cast<float>(v)).ptr;
  return std::string(buffer.data(), end);
}

bool TraceHeaders::read_records(std::int64_t first, std::int64_t count, std::vector<char> &into) {
  into.resize(static_cast<std::size_t>(count * record_bytes_));
  if (fd_ >= 0) {
    const off_t at = static_cast<off_t>(first * record_bytes_);
    for (std::size_t got = 0; got < into.size();) {
      const ssize_t r =
          ::pread(fd_, into.data() + got, into.size() - got, at + static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      got += static_cast<std::size_t>(r);
    }
    return true;
  }
  std::lock_guard lock(library_);
  const kov_off_t at = first * record_bytes_;
  if (sseek_l_l(hff_.c_str(), at, SEEK_SET) != at) return false;
  for (std::int64_t got = 0; got < std::ssize(into);) {
    const int want = static_cast<int>(std::min<std::int64_t>(kChunk, std::ssize(into) - got));
    const int r = sreed_raw(hff_.c_str(), into.data() + got, want);
    if (r <= 0) return false;
    got += r;
  }
  return true;
}

std::variant<std::shared_ptr<const std::vector<std::uint32_t>>, std::string>
TraceHeaders::order(const HeaderRequest &r) {
  {
    std::lock_guard lock(sorted_mutex_);
    if (sorted_.order && sorted_.first == r.first && sorted_.count == r.count &&
        sorted_.sort == r.sort && sorted_.descending == r.descending)
      return sorted_.order;
  }
  // One number per trace whose order is the table's: a flag for a value
  // missing or not a number (last either way), the key's value as an
  // unsigned number of the same order (its bits reversed downwards), the
  // trace's place in the range (ties in the traces' order).
  // The buffers are kept from one sort to the next: memory the system
  // gives anew costs more here than the sort.
  static_assert(kMaxSorted <= (std::int64_t{1} << 24));
  constexpr std::uint64_t missing = std::uint64_t{1} << 56;
  std::lock_guard scratch(scratch_mutex_);
  std::vector<std::uint64_t> &ranks = ranks_, &other = other_;
  std::vector<char> &block = block_;
  ranks.resize(static_cast<std::size_t>(r.count));
  other.resize(ranks.size());
  for (std::size_t i = 0; i < ranks.size(); ++i) ranks[i] = missing | i;
  const std::int64_t have = std::clamp<std::int64_t>(records_ - r.first, 0, r.count);
  const std::int64_t step = std::max<std::int64_t>(1, kChunk / record_bytes_);
  const auto k = static_cast<std::size_t>(r.sort - 1);
  const KeyFormat f = keys_[k].format;
  const bool swap = std::endian::native == std::endian::little &&
                    (f == KeyFormat::XdrInt || f == KeyFormat::XdrFloat);
  const bool integer = f == KeyFormat::XdrInt || f == KeyFormat::NativeInt;
  for (std::int64_t i = 0; i < have && f != KeyFormat::Unknown; i += step) {
    const std::int64_t n = std::min(step, have - i);
    if (!read_records(r.first + i, n, block))
      return hff_ + ": the trace header records cannot be read";
    const char *at = block.data() + 4 * k;
    for (std::int64_t j = 0; j < n; ++j, at += record_bytes_) {
      std::uint32_t w;
      std::memcpy(&w, at, 4);
      if (swap) w = __builtin_bswap32(w);
      std::uint32_t u;
      if (integer) {
        u = w ^ 0x80000000u;
      } else {
        if ((w & 0x7fffffffu) > 0x7f800000u) continue; // not a number
        if (w == 0x80000000u) w = 0;                   // -0 is 0
        u = (w & 0x80000000u) ? ~w : (w | 0x80000000u);
      }
      if (r.descending) u = ~u;
      const auto place = static_cast<std::uint64_t>(i + j);
      ranks[static_cast<std::size_t>(i + j)] = (static_cast<std::uint64_t>(u) << 24) | place;
    }
  }
  // Sorted by the flag and the value (bits 24 to 56) in three stable
  // passes of 11 bits: the places, in order already, stay in order.
  for (int shift = 24; shift < 57; shift += 11) {
    std::array<std::size_t, 2048> start{};
    for (const std::uint64_t x : ranks) ++start[(x >> shift) & 2047u];
    if (std::find(start.begin(), start.end(), ranks.size()) != start.end()) continue;
    std::size_t sum = 0;
    for (std::size_t &c : start) sum += std::exchange(c, sum);
    for (const std::uint64_t x : ranks) other[start[(x >> shift) & 2047u]++] = x;
    ranks.swap(other);
  }
  // The order's memory: that of the order before the last when no page
  // holds it any more (memory the system gives anew costs more than the
  // sort, its pages entered one by one).
  std::shared_ptr<std::vector<std::uint32_t>> sorted;
  {
    std::lock_guard lock(sorted_mutex_);
    if (spare_ && spare_.use_count() == 1) sorted = std::move(spare_);
    spare_.reset();
  }
  if (!sorted) sorted = std::make_shared<std::vector<std::uint32_t>>();
  sorted->resize(ranks.size());
  for (std::size_t i = 0; i < ranks.size(); ++i)
    (*sorted)[i] = static_cast<std::uint32_t>(ranks[i] & 0xffffffu);
  std::lock_guard lock(sorted_mutex_);
  spare_ = std::move(current_);
  current_ = sorted;
  sorted_ = {r.first, r.count, r.sort, r.descending, sorted};
  return sorted_.order;
}

std::variant<TraceHeaders::Page, std::string> TraceHeaders::page(const HeaderRequest &r) {
  Page p;
  p.total = r.count;
  const std::int64_t from = std::min(r.offset, r.count);
  const std::int64_t rows = std::min<std::int64_t>(r.limit, r.count - from);
  const std::size_t nk = keys_.size();
  p.traces.resize(static_cast<std::size_t>(rows));
  p.values.assign(static_cast<std::size_t>(rows) * nk, std::numeric_limits<double>::quiet_NaN());
  p.present.assign(static_cast<std::size_t>(rows), 0);
  if (r.sort == 0) {
    for (std::int64_t i = 0; i < rows; ++i)
      p.traces[static_cast<std::size_t>(i)] = r.first + from + i;
  } else {
    auto sorted = order(r);
    if (auto *e = std::get_if<std::string>(&sorted)) return *e;
    const auto &o = *std::get<0>(sorted);
    for (std::int64_t i = 0; i < rows; ++i)
      p.traces[static_cast<std::size_t>(i)] = r.first + o[static_cast<std::size_t>(from + i)];
  }
  // The records of the page: one read of the span they lie in when it is
  // short, else one read per record.
  std::vector<char> block;
  const auto fill = [&](std::size_t i, const char *record) {
    p.present[i] = 1;
    for (std::size_t k = 0; k < nk; ++k) p.values[i * nk + k] = decode(k, record);
  };
  if (rows == 0) return p;
  const auto [lo, hi] = std::minmax_element(p.traces.begin(), p.traces.end());
  const std::int64_t span_lo = *lo, span_hi = std::min(*hi + 1, records_);
  if (span_hi > span_lo && span_hi - span_lo <= std::max<std::int64_t>(4 * rows, 4096)) {
    if (!read_records(span_lo, span_hi - span_lo, block))
      return hff_ + ": the trace header records cannot be read";
    for (std::size_t i = 0; i < p.traces.size(); ++i)
      if (p.traces[i] < records_)
        fill(i, block.data() + static_cast<std::size_t>((p.traces[i] - span_lo) * record_bytes_));
  } else {
    for (std::size_t i = 0; i < p.traces.size(); ++i) {
      if (p.traces[i] >= records_) continue;
      if (!read_records(p.traces[i], 1, block))
        return hff_ + ": the trace header records cannot be read";
      fill(i, block.data());
    }
  }
  return p;
}

} // namespace kovview
