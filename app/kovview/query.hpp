// SPDX-License-Identifier: Apache-2.0
// kovview's query parser: the text after `?` of a request, split into
// names and values and checked against the dataset's shape.  Nothing here
// touches the data or the network, so every request can be checked (and
// fuzzed) before anything is read.
#ifndef KOV_APP_KOVVIEW_QUERY_HPP
#define KOV_APP_KOVVIEW_QUERY_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kovview {

// Limits of one request.
inline constexpr std::size_t kMaxQuery = 2048;                    // bytes of the query text
inline constexpr std::size_t kMaxItems = 24;                      // name=value pairs
inline constexpr int kMaxSide = 4096;                             // output samples along one axis
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 23; // output samples in all (8 Mi)
inline constexpr std::int64_t kMaxJson = 65536;                   // output samples answered as JSON
inline constexpr int kViews = 16;                                 // distinct view slots of a page

using Items = std::vector<std::pair<std::string, std::string>>;

// The name=value pairs of a query, percent-decoded ("+" is a blank);
// an error text when the query is too long, has too many pairs, a broken
// escape or a name given twice.
std::variant<Items, std::string> split_query(std::string_view query);

// A window of the cube (axes 1 to 3; a cube of fewer axes has length 1 on
// the others) shown as a section: `down` and `across` are the axes of the
// picture (0-based, down < across), the third axis is cut at first[third].
// What a value stands for where a cell covers many samples: their mean,
// their RMS, or the sample of the largest absolute value (its sign kept).
enum class Overview { Mean, Rms, Peak };

struct WindowRequest {
  int down = 0, across = 1, third = 2;
  std::array<std::int64_t, 3> first{}, count{};
  int rows = 0, cols = 0; // output samples along down and across
  bool json = false;
  Overview overview = Overview::Mean;
  // The peak overview of the same window wanted next (also=peak): made in
  // the same pass and kept for the request that asks for it.
  bool also_peak = false;
  int view = 0;
  std::uint32_t client = 0; // a number the page chose for itself
  std::uint64_t seq = 0;
};

// The window a query asks for on a cube of lengths `n` (axes 1 to 3), or
// an error text for the 400 answer.  Names: axes=12|13|23, f1 n1 f2 n2 f3
// n3 (first index and count; by default the whole axis of the picture, the
// first index of the cut axis), rows, cols (the output size; by default the
// window's counts, at most kMaxSide), format=bin|json, overview=mean|rms|
// peak, also=peak, view, client, seq, token.
std::variant<WindowRequest, std::string> parse_window(std::string_view query,
                                                      const std::array<std::int64_t, 3> &n);

// The output length along an axis: the count, or fewer cells when the
// count exceeds the pixels asked for.
inline std::int64_t cells(std::int64_t count, int pixels) {
  return count < pixels ? count : pixels;
}

// The first sample of output cell k of `cells` over `count` samples (cell
// k covers [start(k), start(k + 1))).
inline std::int64_t cell_start(std::int64_t k, std::int64_t cells, std::int64_t count) {
  return k * count / cells;
}

// A request for rows of the table: traces [first, first + count) of the
// data (0-based, axis 2 fastest), ordered by key `sort` (1-based; 0: by
// trace), rows [offset, offset + limit) of that order.
struct HeaderRequest {
  std::int64_t first = 0, count = 0, offset = 0, limit = 100;
  int sort = 0;
  bool descending = false;
};

inline constexpr int kMaxHeaderRows = 1000; // rows of one page
// Traces sorted at once: a larger range is shown in the traces' order only.
inline constexpr std::int64_t kMaxSorted = std::int64_t{1} << 24;

// The request of a query (first, count, offset, limit, sort, order,
// token) for a dataset of `traces` traces and `keys` keys, or the error
// text of a 400 answer.  `limit` may exceed kMaxHeaderRows only when
// `whole` (an export, which takes every row).
std::variant<HeaderRequest, std::string> parse_headers(std::string_view query, std::int64_t traces,
                                                       int keys, bool whole = false);

// Checks the token given against the server's in time independent of
// where they differ.
bool same_token(std::string_view given, std::string_view expected);

// Whether a Host header names this server: `localhost`, 127.0.0.1, [::1],
// `listening` (the address the server listens on) or one of `names` (the
// machine's own addresses and host names, lower case, IPv6 ones in
// brackets), with any port.
bool host_allowed(std::string_view host, std::string_view listening,
                  const std::vector<std::string> &names = {});

} // namespace kovview

#endif
