// SPDX-License-Identifier: Apache-2.0
// kovview's query parser; see query.hpp.
#include "query.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>

namespace kovview {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%') {
      if (i + 2 >= s.size()) return std::nullopt;
      const int hi = hex_digit(s[i + 1]), lo = hex_digit(s[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// A text fit to quote in a message: printable ASCII, at most 40 bytes.
std::string shown(std::string_view s) {
  std::string out;
  for (const char c : s.substr(0, 40))
    out += (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') ? c : '?';
  if (s.size() > 40) out += "...";
  return out;
}

// A decimal integer, all of the text; nothing for anything else.
std::optional<std::int64_t> integer(std::string_view s) {
  std::int64_t v = 0;
  if (s.empty() || s.size() > 20) return std::nullopt;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

} // namespace

std::variant<Items, std::string> split_query(std::string_view query) {
  if (query.size() > kMaxQuery) return std::string("the query is too long");
  Items items;
  while (!query.empty()) {
    const std::size_t amp = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, amp);
    query.remove_prefix(std::min(amp + 1, query.size()));
    if (pair.empty()) continue;
    if (items.size() == kMaxItems) return std::string("the query has too many parameters");
    const std::size_t eq = std::min(pair.find('='), pair.size());
    auto name = decode(pair.substr(0, eq));
    auto value = decode(eq < pair.size() ? pair.substr(eq + 1) : std::string_view{});
    if (!name || !value) return "broken %-escape in \"" + shown(pair) + "\"";
    for (const auto &item : items)
      if (item.first == *name) return "parameter " + shown(*name) + " given twice";
    items.emplace_back(std::move(*name), std::move(*value));
  }
  return items;
}

std::variant<WindowRequest, std::string> parse_window(std::string_view query,
                                                      const std::array<std::int64_t, 3> &n) {
  auto split = split_query(query);
  if (auto *error = std::get_if<std::string>(&split)) return *error;
  const Items &items = std::get<Items>(split);

  WindowRequest w;
  std::array<std::optional<std::int64_t>, 3> first, count;
  std::optional<std::int64_t> rows, cols;
  for (const auto &item : items) {
    const std::string &name = item.first, &value = item.second;
    if (name == "token") continue;
    if (name == "axes") {
      if (value == "12")
        w.down = 0, w.across = 1, w.third = 2;
      else if (value == "13")
        w.down = 0, w.across = 2, w.third = 1;
      else if (value == "23")
        w.down = 1, w.across = 2, w.third = 0;
      else
        return "axes=" + shown(value) + ": give 12, 13 or 23";
      continue;
    }
    if (name == "format") {
      if (value == "json")
        w.json = true;
      else if (value == "bin")
        w.json = false;
      else
        return "format=" + shown(value) + ": give bin or json";
      continue;
    }
    if (name == "overview") {
      if (value == "mean")
        w.overview = Overview::Mean;
      else if (value == "rms")
        w.overview = Overview::Rms;
      else if (value == "peak")
        w.overview = Overview::Peak;
      else
        return "overview=" + shown(value) + ": give mean, rms or peak";
      continue;
    }
    if (name == "also") {
      if (value != "peak") return "also=" + shown(value) + ": give peak";
      w.also_peak = true;
      continue;
    }
    const auto v = integer(value);
    const auto need_number = [&]() { return name + "=" + shown(value) + ": not a whole number"; };
    if (name.size() == 2 && (name[0] == 'f' || name[0] == 'n') && name[1] >= '1' &&
        name[1] <= '3') {
      if (!v) return need_number();
      (name[0] == 'f' ? first : count)[static_cast<std::size_t>(name[1] - '1')] = *v;
    } else if (name == "rows" || name == "cols") {
      if (!v) return need_number();
      (name == "rows" ? rows : cols) = *v;
    } else if (name == "view") {
      if (!v) return need_number();
      if (*v < 0 || *v >= kViews)
        return "view=" + shown(value) + ": give 0 to " + std::to_string(kViews - 1);
      w.view = static_cast<int>(*v);
    } else if (name == "client") {
      if (!v) return need_number();
      if (*v < 0 || *v > 4294967295) return "client=" + shown(value) + ": give 0 to 4294967295";
      w.client = static_cast<std::uint32_t>(*v);
    } else if (name == "seq") {
      if (!v) return need_number();
      if (*v < 0) return "seq=" + shown(value) + ": must not be negative";
      w.seq = static_cast<std::uint64_t>(*v);
    } else {
      return "unknown parameter " + shown(name);
    }
  }

  for (int a = 0; a < 3; ++a) {
    const auto k = static_cast<std::size_t>(a);
    const std::string i = std::to_string(a + 1);
    const bool cut = a == w.third;
    const std::int64_t f = first[k].value_or(0);
    if (f < 0 || f >= n[k])
      return "f" + i + "=" + std::to_string(f) + ": outside the data (n" + i + "=" +
             std::to_string(n[k]) + ": indices 0 to " + std::to_string(n[k] - 1) + ")";
    const std::int64_t c = count[k].value_or(cut ? 1 : n[k] - f);
    if (cut && c != 1)
      return "n" + i + "=" + std::to_string(c) + ": the cut axis " + i + " takes one index";
    if (c < 1) return "n" + i + "=" + std::to_string(c) + ": the window needs at least one sample";
    if (c > n[k] - f)
      return "n" + i + "=" + std::to_string(c) + " f" + i + "=" + std::to_string(f) +
             ": the window ends outside the data (n" + i + "=" + std::to_string(n[k]) + ")";
    w.first[k] = f;
    w.count[k] = c;
  }
  const auto side = [](const std::optional<std::int64_t> &asked, std::int64_t count,
                       const char *name) -> std::variant<int, std::string> {
    const std::int64_t s = asked.value_or(std::min<std::int64_t>(count, kMaxSide));
    if (s < 1 || s > kMaxSide)
      return std::string(name) + "=" + std::to_string(s) + ": give 1 to " +
             std::to_string(kMaxSide);
    return static_cast<int>(s);
  };
  const auto r = side(rows, w.count[static_cast<std::size_t>(w.down)], "rows");
  if (auto *e = std::get_if<std::string>(&r)) return *e;
  const auto c = side(cols, w.count[static_cast<std::size_t>(w.across)], "cols");
  if (auto *e = std::get_if<std::string>(&c)) return *e;
  w.rows = std::get<int>(r);
  w.cols = std::get<int>(c);
  const std::int64_t out = cells(w.count[static_cast<std::size_t>(w.down)], w.rows) *
                           cells(w.count[static_cast<std::size_t>(w.across)], w.cols);
  if (out > kMaxPixels)
    return "rows=" + std::to_string(w.rows) + " cols=" + std::to_string(w.cols) +
           ": more samples than a screen shows (at most " + std::to_string(kMaxPixels) + ")";
  if (w.json && out > kMaxJson)
    return "format=json answers at most " + std::to_string(kMaxJson) + " samples; use format=bin";
  return w;
}

std::variant<HeaderRequest, std::string> parse_headers(std::string_view query, std::int64_t traces,
                                                       int keys, bool whole) {
  auto split = split_query(query);
  if (auto *error = std::get_if<std::string>(&split)) return *error;
  HeaderRequest r;
  std::optional<std::int64_t> count, limit;
  for (const auto &[name, value] : std::get<Items>(split)) {
    if (name == "token") continue;
    if (name == "order") {
      if (value != "asc" && value != "desc") return "order=" + shown(value) + ": give asc or desc";
      r.descending = value == "desc";
      continue;
    }
    const auto v = integer(value);
    if (name != "first" && name != "count" && name != "offset" && name != "limit" && name != "sort")
      return "unknown parameter " + shown(name);
    if (!v) return name + "=" + shown(value) + ": not a whole number";
    if (name == "first")
      r.first = *v;
    else if (name == "count")
      count = *v;
    else if (name == "offset")
      r.offset = *v;
    else if (name == "limit")
      limit = *v;
    else if (*v < 0 || *v > keys)
      return "sort=" + shown(value) + ": give 0 (the traces' order) to " + std::to_string(keys);
    else
      r.sort = static_cast<int>(*v);
  }
  if (r.first < 0 || r.first >= traces)
    return "first=" + std::to_string(r.first) + ": outside the traces (0 to " +
           std::to_string(traces - 1) + ")";
  r.count = count.value_or(traces - r.first);
  if (r.count < 1 || r.count > traces - r.first)
    return "count=" + std::to_string(r.count) + ": give 1 to " + std::to_string(traces - r.first);
  if (r.offset < 0) return "offset=" + std::to_string(r.offset) + ": must not be negative";
  const std::int64_t most = whole ? r.count : kMaxHeaderRows;
  const std::int64_t l = limit.value_or(whole ? r.count : 100);
  if (l < 1 || l > most)
    return "limit=" + std::to_string(l) + ": give 1 to " + std::to_string(most);
  r.limit = l;
  if (r.sort != 0 && r.count > kMaxSorted)
    return "sorting " + std::to_string(r.count) + " traces: sort at most " +
           std::to_string(kMaxSorted) + " at once (zoom in)";
  return r;
}

bool same_token(std::string_view given, std::string_view expected) {
  // Every byte of the expected token is compared, whatever the given
  // length, so the time tells nothing of a matching prefix.
  unsigned diff = given.size() == expected.size() ? 0u : 1u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return diff == 0;
}

bool host_allowed(std::string_view host, std::string_view listening,
                  const std::vector<std::string> &names) {
  std::string_view name = host;
  if (name.starts_with('[')) {
    const std::size_t close = name.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
    name = name.substr(0, close + 1);
  } else if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
    name = name.substr(0, colon);
  }
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.empty()) return false;
  return lower == "localhost" || lower == "127.0.0.1" || lower == "[::1]" ||
         (!listening.empty() && lower == listening) ||
         std::find(names.begin(), names.end(), lower) != names.end();
}

} // namespace kovview
