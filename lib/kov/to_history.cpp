// SPDX-License-Identifier: Apache-2.0
// Typed writes to histories: one entry per scalar, fixed layouts for
// arrays, and the blank squeezing those layouts use.
#include <kov/kov.hpp>
#include <kov/kovlib.h>

#include "getpar_limits.h"
#include "typed_internal.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kov {

namespace {

using typed::c_text;

// Longest history line of values that the header scanner reads back as one
// token.
constexpr std::size_t kLongestValueLine = YYLMAX - 1;

void write_entry(std::string_view name, const char *code, const void *value,
                 std::optional<std::string_view> file) {
  const std::string key = c_text(name);
  if (file)
    auxputch(key.c_str(), code, value, c_text(*file).c_str());
  else if (!typed::echo_off())
    putch(key.c_str(), code, value);
}

// A free-form line and an empty line after it.
void write_line(const std::string &tag, const std::string &line) {
  auxputhead(tag.c_str(), "%s\n", c_text(line).c_str());
}

// An integer right-justified in 9 characters, or nine asterisks when it
// needs more.
std::string nine_wide(int value) {
  char field[16];
  const int n = std::snprintf(field, sizeof field, "%9d", value);
  return n > 9 ? std::string(9, '*') : std::string(field);
}

// A value in exponent form with six digits after a leading "0.", 14
// characters wide: «  0.100000E+01», « -0.250000E+01».
std::string exponent_field(float value) {
  std::string text;
  if (std::isnan(value)) {
    text = "NaN";
  } else if (std::isinf(value)) {
    text = value < 0 ? "-Infinity" : "Infinity";
  } else {
    // d.ddddde±xx: the six significant digits, correctly rounded, and the
    // exponent for a mantissa in [1, 10); the leading-zero form moves the
    // point one place left.
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.5e", static_cast<double>(std::fabs(value)));
    const int exponent = value == 0.0f ? 0 : std::atoi(digits + 8) + 1;
    const int magnitude = std::abs(exponent);
    char field[32];
    if (magnitude <= 99)
      std::snprintf(field, sizeof field, "%s0.%c%.5sE%c%02d", std::signbit(value) ? "-" : "",
                    digits[0], digits + 2, exponent < 0 ? '-' : '+', magnitude);
    else
      std::snprintf(field, sizeof field, "%s0.%c%.5s%c%03d", std::signbit(value) ? "-" : "",
                    digits[0], digits + 2, exponent < 0 ? '-' : '+', magnitude);
    text = field;
  }
  if (text.size() < 14) text.insert(0, 14 - text.size(), ' ');
  return text;
}

void remove_blanks(std::string &text) {
  strip_blanks(text);
  text = c_text(text);
}

} // namespace

void strip_blanks(std::string &text) {
  std::stable_partition(text.begin(), text.end(), [](char c) { return c != ' '; });
}

void to_history_int(std::string_view name, int value, std::optional<std::string_view> file) {
  write_entry(name, "i", &value, file);
}

void to_history_real(std::string_view name, float value, std::optional<std::string_view> file) {
  write_entry(name, "r", &value, file);
}

void to_history_bool(std::string_view name, bool value, std::optional<std::string_view> file) {
  const int flag = value ? 1 : 0;
  write_entry(name, "l", &flag, file);
}

void to_history_char(std::string_view name, std::string_view value,
                     std::optional<std::string_view> file) {
  // A NUL ends a text, as in a fixed-length field; one with more text after
  // it would lose that text.
  if (const auto nul = value.find('\0');
      nul != std::string_view::npos &&
      value.find_first_not_of(std::string_view("\0 ", 2), nul) != std::string_view::npos)
    typed::fatal("to_history_char: the text of parameter " + c_text(name) +
                 " holds a NUL character, which a history cannot hold");
  const std::string text = c_text(value);
  write_entry(name, "s", text.c_str(), file);
}

void to_history_int_array(std::string_view name, std::span<const int> value,
                          std::optional<std::string_view> tag) {
  const std::string target = tag ? c_text(*tag, 128) : std::string("out");
  const std::string key = c_text(name);
  if (value.size() >= 21) {
    for (std::size_t i = 0; i < value.size(); ++i)
      to_history_int(key + std::to_string(i + 1), value[i], target);
    return;
  }
  // No elements give an empty list: «        name=».
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (i > 0) text += ',';
    text += nine_wide(value[i]);
  }
  remove_blanks(text);
  write_line(target, "        " + key + "=" + text);
}

void to_history_real_array(std::string_view name, std::span<const float> value,
                           std::optional<std::string_view> tag) {
  const std::string target = tag ? c_text(*tag, 1024) : std::string("out");
  std::string text = c_text(name) + "=";
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (i > 0) text += ',';
    text += exponent_field(value[i]);
  }
  remove_blanks(text);
  if (text.size() > kLongestValueLine)
    typed::fatal("to_history_real_array: too many values for one history line: " + c_text(name));
  write_line(target, text);
}

} // namespace kov
