// SPDX-License-Identifier: Apache-2.0
// kovview's trace headers: the key values of the traces of a dataset that
// carries a header record per trace (a header format file), read through
// the library in pages, sorted by a key on the server so that a table of a
// million traces shows any page at once.
#ifndef KOV_APP_KOVVIEW_HEADERS_HPP
#define KOV_APP_KOVVIEW_HEADERS_HPP

#include "query.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kovview {

// How the four bytes of a key's value are stored (its hdrfmt).
enum class KeyFormat { XdrInt, XdrFloat, NativeInt, NativeFloat, Unknown };
KeyFormat key_format(std::string_view fmt);

struct Key {
  std::string name, type, fmt;
  KeyFormat format = KeyFormat::Unknown;
};

class TraceHeaders {
public:
  // Binds the trace headers of `in` when its history names a header format
  // file: nothing (and no keys) otherwise.  `library` guards every call of
  // the library; `traces` is the number of traces of the data.  Messages
  // about headers that cannot be read go to standard error; the data are
  // still shown.
  TraceHeaders(std::mutex &library, std::int64_t traces);
  ~TraceHeaders();
  TraceHeaders(const TraceHeaders &) = delete;
  TraceHeaders &operator=(const TraceHeaders &) = delete;

  const std::vector<Key> &keys() const { return keys_; }
  std::int64_t records() const { return records_; }
  const std::string &file() const { return hff_; }
  const std::string &problem() const { return problem_; }

  // The decoded values of the page asked for: one row per trace, the trace
  // number then the keys' values (NaN for a trace without a header record
  // or a key of a format not understood); an error text when the records
  // cannot be read.
  struct Page {
    std::int64_t total = 0;
    std::vector<std::int64_t> traces;
    std::vector<double> values; // traces.size() rows of keys().size() values
    std::vector<char> present;  // per row: whether the trace has a header record
  };
  std::variant<Page, std::string> page(const HeaderRequest &r);

  // The value of key `k` (0-based) in the record bytes `record`.
  double decode(std::size_t k, const char *record) const;

  // Value `v` of key `k` as text: an integer, the shortest text that
  // reads back as the same 4-byte float, or nan, inf, -inf; in JSON
  // (`json`) the non-finite ones as the strings "NaN", "Infinity",
  // "-Infinity" and a key of a format not understood as null.
  std::string text(std::size_t k, double v, bool json) const;

private:
  // Reads records [first, first + count) (0-based) of the header data.
  bool read_records(std::int64_t first, std::int64_t count, std::vector<char> &into);
  // The order of the traces of the range by the key asked for.
  std::variant<std::shared_ptr<const std::vector<std::uint32_t>>, std::string>
  order(const HeaderRequest &r);

  std::mutex &library_;
  std::int64_t traces_ = 0;
  std::string hff_, problem_;
  std::vector<Key> keys_;
  std::int64_t records_ = 0;
  int record_bytes_ = 0;
  int fd_ = -1; // the header data file read directly, or -1

  // The last order computed, kept for the pages that follow.
  struct Sorted {
    std::int64_t first = -1, count = 0;
    int sort = 0;
    bool descending = false;
    std::shared_ptr<const std::vector<std::uint32_t>> order;
  };
  std::mutex sorted_mutex_;
  Sorted sorted_;
  // The last order (sorted_.order) and the one before, to be written over
  // by the next sort when nothing else holds it.
  std::shared_ptr<std::vector<std::uint32_t>> current_, spare_;
  std::mutex scratch_mutex_; // one sort at a time, in these buffers
  std::vector<std::uint64_t> ranks_, other_;
  std::vector<char> block_;
};

} // namespace kovview

#endif
