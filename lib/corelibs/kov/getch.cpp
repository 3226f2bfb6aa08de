// SPDX-License-Identifier: Apache-2.0
// Parameter lookup: the decoder shared by all stores, the command-line
// store, and access to the raw arguments.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
hash_item **getch_queue = nullptr;
int getch_queue_size = 0;
}

namespace {

int first_invoke = 1;

// Fill the command-line store from the captured arguments, once.
void fill_command_line_store() {
  if (!first_invoke) return;
  first_invoke = 0; // before the scan: a fatal error inside it may look up again
  getch_queue_size = KOV_GETCH_QUEUE_SIZE;
  getch_queue = new_queue(getch_queue_size);
  for (int i = 1; i < kovxargc && kovxargv[i] != nullptr; ++i)
    getpar_string_store(getch_queue, getch_queue_size, kovxargv[i]);
}

// The item with the largest timestamp among the blank-separated names.
const hash_item *latest(hash_item **queue, int qlen, std::string_view names) {
  const hash_item *best = nullptr;
  std::size_t p = 0;
  while (p < names.size()) {
    while (p < names.size() && names[p] == ' ') ++p;
    std::size_t q = p;
    while (q < names.size() && names[q] != ' ') ++q;
    if (q > p) {
      const hash_item *item =
          getpar_hash_lookup(queue, qlen, names.data() + p, static_cast<int>(q - p));
      if (item != nullptr && (best == nullptr || item->timestamp > best->timestamp)) best = item;
    }
    p = q;
  }
  return best;
}

// What is wrong with the text of a numeric element, if anything.
enum class Fault { none, no_number, trailing, out_of_range };

// One element converted by its code, and the fault of its text.
struct Element {
  union {
    int i;
    float f;
    double g;
  } value{};
  Fault fault = Fault::none;
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Convert the element text [text, end) (the value goes on to its NUL) as
// strtol or strtod reads it.  Integers outside 32 bits are clamped, never
// wrapped.
Element convert(char code, const char *text, const char *end) {
  Element e;
  char *stop = nullptr;
  errno = 0;
  switch (code) {
  case 'd':
  case 'i': {
    const long v = std::strtol(text, &stop, 10);
    const bool range = errno == ERANGE || v > INT_MAX || v < INT_MIN;
    e.value.i = static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
    if (range) e.fault = Fault::out_of_range;
    break;
  }
  case 'f':
  case 'r': {
    const double v = std::strtod(text, &stop);
    e.value.f = static_cast<float>(v);
    if (errno == ERANGE || (std::isfinite(v) && !std::isfinite(e.value.f)) ||
        (v != 0.0 && e.value.f == 0.0f))
      e.fault = Fault::out_of_range;
    break;
  }
  case 'g':
    e.value.g = std::strtod(text, &stop);
    if (errno == ERANGE) e.fault = Fault::out_of_range;
    break;
  default: // '1', 'l': any text is a flag
    e.value.i = (text[0] == 'y' || text[0] == 'Y' || text[0] == '1') ? 1 : 0;
    return e;
  }
  if (stop == text) {
    e.fault = Fault::no_number;
    return e;
  }
  for (const char *c = stop; c < end; ++c)
    if (!blank(*c)) {
      if (e.fault == Fault::none) e.fault = Fault::trailing;
      break;
    }
  return e;
}

void store(char code, const Element &e, void *dest, long pos) {
  switch (code) {
  case 'f':
  case 'r':
    static_cast<float *>(dest)[pos] = e.value.f;
    break;
  case 'g':
    static_cast<double *>(dest)[pos] = e.value.g;
    break;
  default:
    static_cast<int *>(dest)[pos] = e.value.i;
    break;
  }
}

// A text as the warning shows it: cut to a line's worth, with anything
// that is not a plain printable character (and `=`, so that no part of the
// warning reads as a parameter) written as \xNN; quoted when asked.
std::string shown(std::string_view text, bool quoted) {
  constexpr std::size_t kShown = 64;
  const char *quote = quoted ? "\"" : "";
  std::string out = quote;
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7f || c == '=' || c == '"' || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
  if (text.size() > kShown) out += "...";
  return out;
}

// Tell on standard error (never standard output: it often carries the
// history) that a parameter's text did not convert cleanly, and what was
// taken instead.
void warn_fault(const hash_item &item, char code, const Element &e) {
  const char *why = e.fault == Fault::no_number  ? "is not a number"
                    : e.fault == Fault::trailing ? "has characters after the number"
                                                 : "is out of range";
  char taken[64];
  if (code == 'f' || code == 'r')
    std::snprintf(taken, sizeof taken, "%.9g", static_cast<double>(e.value.f));
  else if (code == 'g')
    std::snprintf(taken, sizeof taken, "%.17g", e.value.g);
  else
    std::snprintf(taken, sizeof taken, "%d", e.value.i);
  const char *program =
      (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr) ? kovxargv[0] : "kov";
  const std::string_view name(item.tag, static_cast<std::size_t>(std::max(item.tlen, 0)));
  const std::string value =
      shown(std::string_view(item.val, static_cast<std::size_t>(std::max(item.vlen, 0))), true);
  kov::detail::note(kov::detail::format("%s: warning: parameter %s: %s %s; taking %s\n", program,
                                        shown(name, false).c_str(), value.c_str(), why, taken));
}

} // namespace

namespace kov::detail {

int decode(hash_item **queue, int qlen, std::string_view names, const char *type, void *dest,
           long room, long *held) {
  if (held != nullptr) *held = 0;
  if (queue == nullptr || qlen <= 0) return 0;
  const hash_item *item = latest(queue, qlen, names);
  if (item == nullptr || item->val == nullptr) return 0;
  const char code = type != nullptr ? type[0] : '\0';
  if (code == 's') {
    if (room <= 0) return 1;
    const long n = std::min<long>(item->vlen, room - 1);
    std::memcpy(dest, item->val, static_cast<std::size_t>(n));
    static_cast<char *>(dest)[n] = '\0';
    if (held != nullptr) *held = 1;
    return 1;
  }
  if (code != 'd' && code != 'i' && code != 'f' && code != 'r' && code != 'g' && code != '1' &&
      code != 'l')
    koverr("getpar() unknown conversion type %c\n", code);

  // A terminated copy, so that the conversions never read past the value.
  const std::string value(item->val, static_cast<std::size_t>(item->vlen));
  const char *s = value.c_str();
  const std::size_t len = value.size();
  // k counts the values the text holds; only the first `room` are stored.
  long k = 0;
  std::size_t p = 0;
  bool warned = false; // once per lookup
  while (p < len) {
    const std::size_t mark = std::strcspn(s + p, ",*x") + p;
    long count = 1;
    const char *element = s + p;
    if (mark < len && (s[mark] == '*' || s[mark] == 'x')) {
      errno = 0;
      count = std::strtol(s + p, nullptr, 10);
      if (count < 0) count = 0; // a negative repeat count stores nothing
      element = s + mark + 1;
    }
    const long end = count > room - std::min(k, room) ? room : k + count;
    if (end > k) {
      const char *comma = std::strchr(element, ',');
      const Element e = convert(code, element, comma != nullptr ? comma : s + len);
      if (e.fault != Fault::none && !warned) {
        warn_fault(*item, code, e);
        warned = true;
      }
      for (long pos = k; pos < end; ++pos) store(code, e, dest, pos);
    }
    k = count > LONG_MAX - k ? LONG_MAX : k + count;
    const char *comma = std::strchr(element, ',');
    if (comma == nullptr) break;
    p = static_cast<std::size_t>(comma - s) + 1;
  }
  if (held != nullptr) *held = k;
  return static_cast<int>(std::min(k, std::min(room, static_cast<long>(INT_MAX))));
}

int getch_bounded(const char *name, const char *type, void *dest, long room, long *held) {
  if (held != nullptr) *held = 0;
  if (kovxargv == nullptr) return 0; // nothing captured: nothing to find
  fill_command_line_store();
  return decode(getch_queue, getch_queue_size, name != nullptr ? name : "", type, dest, room, held);
}

} // namespace kov::detail

extern "C" int getpar_decode(hash_item **queue, int qlen, const char *names, const char *type,
                             void *dest) {
  return kov::detail::decode(queue, qlen, names != nullptr ? names : "", type, dest,
                             kov::detail::kUnbounded);
}

extern "C" int getch(const char *name, const char *type, void *dest) {
  return kov::detail::getch_bounded(name, type, dest, kov::detail::kUnbounded);
}

extern "C" int getch_n(const char *name, const char *type, void *dest, size_t room) {
  long held = 0;
  kov::detail::getch_bounded(name, type, dest, kov::detail::room_of(room), &held);
  return kov::detail::held_count(held);
}

extern "C" int getch_add_string(const char *string) {
  if (kovxargv == nullptr) koverr("Must call initpar() at the start of your program\n");
  fill_command_line_store();
  if (string == nullptr) return 0;
  const std::size_t len = std::strlen(string);
  char *copy = suballoc(static_cast<int>(len + 1));
  std::memcpy(copy, string, len + 1);
  getpar_string_store(getch_queue, getch_queue_size, copy);
  return 0;
}

extern "C" int kovarg(int i, char *buf) {
  if (i < 0 || i >= kovxargc || kovxargv == nullptr) return 1;
  std::strcpy(buf, kovxargv[i]);
  return 0;
}

extern "C" int kov_prog(char *buf) {
  const char *name = (kovxargv != nullptr && kovxargc > 0) ? kovxargv[0] : "";
  const char *slash = std::strrchr(name, '/');
  std::strcpy(buf, slash != nullptr ? slash + 1 : name);
  return 0;
}

namespace kov::detail {

std::optional<std::string> lookup_string(hash_item **queue, int qlen, std::string_view names) {
  if (queue == nullptr || qlen <= 0) return std::nullopt;
  const hash_item *item = latest(queue, qlen, names);
  if (item == nullptr || item->val == nullptr) return std::nullopt;
  return std::string(item->val, static_cast<std::size_t>(item->vlen));
}

std::optional<std::string> getch_string(const char *name) {
  if (kovxargv == nullptr) return std::nullopt;
  fill_command_line_store();
  return lookup_string(getch_queue, getch_queue_size, name);
}

} // namespace kov::detail

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(getch)
KOV_PUBLIC_NAME(getch_add_string)
KOV_PUBLIC_NAME(getch_n)
KOV_PUBLIC_NAME(getpar_decode)
KOV_PUBLIC_NAME(kov_prog)
KOV_PUBLIC_NAME(kovarg)
