// SPDX-License-Identifier: Apache-2.0
// Entry points for callers that pass blank-padded texts with hidden lengths:
// the conversions, parameters and history lines, errors and exit, checked
// allocation and job status.  The dataset and transfer entry points are in
// kovfort_io.cpp.
#include "kovfort.h"
#include "kovlib_internal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace kov::fort {

namespace {

// Length of the first `len` bytes of a text up to its first NUL, without
// the trailing blanks.
std::size_t text_length(const char *field, std::size_t len) {
  std::size_t n = 0;
  while (n < len && field[n] != '\0') ++n;
  while (n > 0 && field[n - 1] == ' ') --n;
  return n;
}

} // namespace

TextIn::TextIn(const char *field, std::size_t len) {
  if (field == nullptr) return;
  if (len >= 4 && field[0] == '\0' && field[1] == '\0' && field[2] == '\0' && field[3] == '\0')
    return;
  if (std::memchr(field, '\0', len) != nullptr) {
    text_ = field;
    return;
  }
  copy_.assign(field, text_length(field, len));
  text_ = copy_.c_str();
}

FieldText::FieldText(const char *field, std::size_t len) {
  if (field != nullptr) text_.assign(field, text_length(field, len));
}

TextInOut::TextInOut(char *field, std::size_t len, std::size_t room)
    : field_(field), len_(field != nullptr ? len : 0) {
  buffer_.assign(std::max(len_, room) + 1, '\0');
  if (field_ != nullptr) std::memcpy(buffer_.data(), field_, text_length(field_, len_));
}

TextInOut::~TextInOut() {
  if (field_ == nullptr) return;
  const std::size_t n = ::strnlen(buffer_.data(), buffer_.size());
  if (n < len_) {
    std::memcpy(field_, buffer_.data(), n);
    std::memset(field_ + n, ' ', len_ - n);
  } else {
    std::memcpy(field_, buffer_.data(), len_);
  }
}

int descriptor(std::FILE *stream) { return stream != nullptr ? ::fileno(stream) : -1; }

} // namespace kov::fort

using kov::fort::FieldText;
using kov::fort::TextIn;
using kov::fort::TextInOut;

namespace {

// The value of putch_ and auxputch_: a text field, copied like the name,
// or else the caller's variable itself.
class PutValue {
public:
  PutValue(bool text, const void *value, std::size_t len)
      : text_(text ? static_cast<const char *>(value) : nullptr, len),
        value_(text ? static_cast<const void *>(text_) : value) {}
  operator const void *() const { return value_; }

private:
  FieldText text_;
  const void *value_;
};

// Room for a copy of an argument of the captured command line.
std::size_t argument_room(int i) {
  if (kovxargv == nullptr || i < 0 || i >= kovxargc || kovxargv[i] == nullptr) return 0;
  return std::strlen(kovxargv[i]) + 1;
}

} // namespace

// ---- Argument capture and lookups -------------------------------------------

extern "C" void initpar_(void) { finitpar(); }

// A text destination's own hidden length, passed after the type's, is
// ignored: the lookup writes a terminated text without blank padding.
extern "C" int getch_(const char *name, const char *type, void *value, std::size_t name_len,
                      std::size_t type_len) {
  return getch(TextIn(name, name_len), TextIn(type, type_len), value);
}

extern "C" int fetch_(const char *name, const char *type, void *value, std::size_t name_len,
                      std::size_t type_len) {
  return fetch(TextIn(name, name_len), TextIn(type, type_len), value);
}

extern "C" int hetch_(const char *name, const char *type, void *value, std::size_t name_len,
                      std::size_t type_len) {
  return hetch(TextIn(name, name_len), TextIn(type, type_len), value);
}

extern "C" int tetch_(const char *name, const char *type, void *value, std::size_t name_len,
                      std::size_t type_len) {
  return tetch(TextIn(name, name_len), TextIn(type, type_len), value);
}

extern "C" int getch_add_string_(const char *word, std::size_t len) {
  getch_add_string(TextIn(word, len));
  return 0;
}
extern "C" int getch_add_string__(const char *word, std::size_t len) {
  return getch_add_string_(word, len);
}

extern "C" int auxpar_(const char *name, const char *type, void *value, const char *tag,
                       std::size_t name_len, std::size_t type_len, ...) {
  const FieldText n(name, name_len), t(type, type_len);
  va_list rest;
  va_start(rest, type_len);
  if (t[0] == 's') (void)va_arg(rest, std::size_t); // the destination's length
  const std::size_t tag_len = va_arg(rest, std::size_t);
  va_end(rest);
  return auxpar(n, t, value, FieldText(tag, tag_len));
}

extern "C" int kovarg_(const int *i, char *text, std::size_t len) {
  TextInOut buffer(text, len, argument_room(*i));
  return kovarg(*i, buffer.data());
}

extern "C" int kov_prog_(char *text, std::size_t len) {
  TextInOut buffer(text, len, argument_room(0));
  kov_prog(buffer.data());
  return 0;
}
extern "C" int kov_prog__(char *text, std::size_t len) { return kov_prog_(text, len); }

// ---- History lines ----------------------------------------------------------

// The number of hidden lengths of putch_, puthed_, auxputch_ and auxpar_
// depends on the type, so the lengths after the type's are taken as variable
// arguments.  Callers pass them as a fixed argument list; on the x86-64 and
// AArch64 Linux conventions a variadic callee finds integer arguments just
// where such a caller puts them.

extern "C" int putch_(const char *name, const char *type, const void *value, std::size_t name_len,
                      std::size_t type_len, ...) {
  const FieldText n(name, name_len), t(type, type_len);
  std::size_t value_len = 0;
  if (t[0] == 's') {
    va_list rest;
    va_start(rest, type_len);
    value_len = va_arg(rest, std::size_t);
    va_end(rest);
  }
  return putch(n, t, PutValue(t[0] == 's', value, value_len));
}

// Forwards to putch; a text value is converted as by putch_ (its hidden
// length follows the type's), since a blank-padded field has no terminator
// of its own.
extern "C" int puthed_(const char *name, const char *type, const void *value, std::size_t name_len,
                       std::size_t type_len, ...) {
  const TextIn n(name, name_len), t(type, type_len);
  std::size_t value_len = 0;
  const bool text = t != nullptr && t[0] == 's';
  if (text) {
    va_list rest;
    va_start(rest, type_len);
    value_len = va_arg(rest, std::size_t);
    va_end(rest);
  }
  return putch(n, t, PutValue(text, value, value_len));
}

extern "C" int auxputch_(const char *name, const char *type, const void *value, const char *tag,
                         std::size_t name_len, std::size_t type_len, ...) {
  const FieldText n(name, name_len), t(type, type_len);
  va_list rest;
  va_start(rest, type_len);
  const bool text = t[0] == 's';
  const std::size_t value_len = text ? va_arg(rest, std::size_t) : 0;
  const std::size_t tag_len = va_arg(rest, std::size_t);
  va_end(rest);
  return auxputch(n, t, PutValue(text, value, value_len), FieldText(tag, tag_len));
}

extern "C" int putlin_(const char *line, std::size_t len) {
  putlin(TextIn(line, len));
  return 0;
}

extern "C" int auxputlin_(const char *tag, const char *line, std::size_t tag_len,
                          std::size_t line_len) {
  const TextIn text(line, line_len);
  auxputhead(TextIn(tag, tag_len), "%s\n", static_cast<const char *>(text));
  return 0;
}

// ---- Errors, warnings, exit and allocation ------------------------------------

extern "C" void koverr_(const char *message, std::size_t len) { erexit(TextIn(message, len)); }

extern "C" void erexit_(const char *message, std::size_t len) { erexit(TextIn(message, len)); }

// The text is printed as it stands: callers in other languages do not
// write conversion specifications, and there are no values to convert.
extern "C" int kovwarn_(const int *code, const char *message, std::size_t len) {
  const TextIn text(message, len);
  const char *shown = text;
  return kovwarn(*code, "%s", shown != nullptr ? shown : "");
}

extern "C" void exit_(const int *status) { fexit(*status); }

extern "C" long fortalloc_(char *base, const int *len) { return fortalloc(base, *len); }

extern "C" int fortfree_(char *buf) { return fortfree(buf); }

extern "C" char *fsbrk_(const int *nbytes) { return fsbrk(*nbytes); }

extern "C" int noieeeinterupt_(void) { return noieeeinterupt(); }

extern "C" long kovloc_(const void *variable) {
  return static_cast<long>(reinterpret_cast<std::intptr_t>(variable));
}

// ---- Job status ---------------------------------------------------------------

extern "C" int kov_begin_prog_(void) { return kov_begin_prog(); }
extern "C" int kov_begin_prog__(void) { return kov_begin_prog(); }

extern "C" int kov_end_prog_(void) { return kov_end_prog(); }
extern "C" int kov_end_prog__(void) { return kov_end_prog(); }

extern "C" int kov_progress_prog_(const char *text, std::size_t len) {
  return kov_progress_prog(TextIn(text, len));
}
extern "C" int kov_progress_prog__(const char *text, std::size_t len) {
  return kov_progress_prog_(text, len);
}

extern "C" int kov_prog_stat_(const char *msg, const int *i, const int *n, const int *isend,
                              std::size_t len) {
  return kov_prog_stat(TextIn(msg, len), *i, *n, *isend);
}
extern "C" int kov_prog_stat__(const char *msg, const int *i, const int *n, const int *isend,
                               std::size_t len) {
  return kov_prog_stat_(msg, i, n, isend, len);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(auxpar_)
KOV_PUBLIC_NAME(auxputch_)
KOV_PUBLIC_NAME(auxputlin_)
KOV_PUBLIC_NAME(erexit_)
KOV_PUBLIC_NAME(exit_)
KOV_PUBLIC_NAME(fetch_)
KOV_PUBLIC_NAME(fortalloc_)
KOV_PUBLIC_NAME(fortfree_)
KOV_PUBLIC_NAME(fsbrk_)
KOV_PUBLIC_NAME(getch_)
KOV_PUBLIC_NAME(getch_add_string_)
KOV_PUBLIC_NAME(getch_add_string__)
KOV_PUBLIC_NAME(hetch_)
KOV_PUBLIC_NAME(initpar_)
KOV_PUBLIC_NAME(kov_begin_prog_)
KOV_PUBLIC_NAME(kov_begin_prog__)
KOV_PUBLIC_NAME(kov_end_prog_)
KOV_PUBLIC_NAME(kov_end_prog__)
KOV_PUBLIC_NAME(kov_prog_)
KOV_PUBLIC_NAME(kov_prog__)
KOV_PUBLIC_NAME(kov_prog_stat_)
KOV_PUBLIC_NAME(kov_prog_stat__)
KOV_PUBLIC_NAME(kov_progress_prog_)
KOV_PUBLIC_NAME(kov_progress_prog__)
KOV_PUBLIC_NAME(kovarg_)
KOV_PUBLIC_NAME(koverr_)
KOV_PUBLIC_NAME(kovloc_)
KOV_PUBLIC_NAME(kovwarn_)
KOV_PUBLIC_NAME(noieeeinterupt_)
KOV_PUBLIC_NAME(putch_)
KOV_PUBLIC_NAME(puthed_)
KOV_PUBLIC_NAME(putlin_)
KOV_PUBLIC_NAME(tetch_)
