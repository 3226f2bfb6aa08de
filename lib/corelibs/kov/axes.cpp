// SPDX-License-Identifier: Apache-2.0
// The axes of a dataset from its history: one reading, with one set of
// limits, for the programs and for the Python package.
#include <kov/kovlib.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// The whole text of `name` in the history of `tag`; nothing when absent.
std::optional<std::string> text_of(const char *tag, const std::string &name) {
  std::vector<char> value(256);
  for (;;) {
    if (auxpar_n(name.c_str(), "s", value.data(), value.size(), tag) == 0) return std::nullopt;
    const std::size_t length = std::strlen(value.data());
    if (length + 1 < value.size() || value.size() > KOV_LINE_MAX)
      return std::string(value.data(), length);
    value.assign(value.size() * 2, '\0');
  }
}

std::string trimmed(const std::string &text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A whole number from 1 to INT_MAX written in decimal, or nothing.
std::optional<int> length_of(const std::string &text) {
  std::string t = trimmed(text);
  if (!t.empty() && t[0] == '+') t.erase(0, 1);
  if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const long long n = std::stoll(t);
  if (n < 1 || n > INT_MAX) return std::nullopt;
  return static_cast<int>(n);
}

// A finite number (a Fortran exponent letter d taken as e), or nothing.
std::optional<double> number_of(const std::string &text) {
  std::string t = trimmed(text);
  for (char &c : t)
    if (c == 'd' || c == 'D') c = 'e';
  if (t.empty()) return std::nullopt;
  char *end = nullptr;
  errno = 0;
  const double v = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
  return v;
}

} // namespace

extern "C" int kov_header_axes(const char *tag, int max_axes, kov_axis *axes, char *why,
                               size_t why_room) {
  std::string reason;
  int count = 0;
  const auto fail = [&](std::string text) {
    if (why != nullptr && why_room > 0) std::snprintf(why, why_room, "%s", text.c_str());
    return -1;
  };
  if (tag == nullptr || axes == nullptr || max_axes < 1 || max_axes > KOV_MAX_AXES)
    return fail("kov_header_axes(): bad arguments");
  // The axes run to the last n given; an axis without its n between them has
  // length 1, as every absent axis parameter takes its default.
  int last = 0;
  for (int i = KOV_MAX_AXES + 1; i >= 1 && last == 0; --i)
    if (text_of(tag, "n" + std::to_string(i))) last = i;
  for (int i = 1; i <= last; ++i) {
    const std::string key = std::to_string(i);
    const auto n = text_of(tag, "n" + key);
    if (i == 1 && !n) break;
    const std::string given = n.value_or("1");
    const auto length = length_of(given);
    if (!length)
      return fail("n" + key + "=" + given + ": an axis length must be a whole number from 1 to " +
                  std::to_string(INT_MAX));
    // Axes of length 1 beyond the caller's room change nothing.
    if (i > max_axes && *length == 1) continue;
    if (i > max_axes)
      return fail("n" + key + "=" + given + ": more than " + std::to_string(max_axes) + " axes");
    kov_axis &a = axes[i - 1];
    a.n = *length;
    a.o = 0.0;
    a.d = 1.0;
    for (auto [name, value] : {std::pair{"o", &a.o}, std::pair{"d", &a.d}}) {
      const std::string parameter = name + key;
      if (const auto t = text_of(tag, parameter); t && !trimmed(*t).empty()) {
        const auto v = number_of(*t);
        if (!v) return fail(parameter + "=" + *t + ": not a finite number");
        *value = *v;
      }
    }
    for (auto [name, value] : {std::pair{"label", a.label}, std::pair{"unit", a.unit}}) {
      const std::string parameter = name + key;
      const std::string t = text_of(tag, parameter).value_or("");
      if (t.size() >= KOV_AXIS_TEXT)
        return fail(parameter + ": longer than " + std::to_string(KOV_AXIS_TEXT - 1) +
                    " characters");
      std::memcpy(value, t.c_str(), t.size() + 1);
    }
    count = i;
  }
  if (count == 0) return fail("n1 is not in the history");
  return count;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kov_header_axes)
