// SPDX-License-Identifier: Apache-2.0
// Argument conversions shared by the foreign-caller entry points.
//
// Callers in other languages pass every argument by reference and every
// character argument as a fixed-length, blank-padded field; the length of
// each field follows as an extra hidden argument after all the ordinary
// ones, in the order of the character arguments.  GNU Fortran passes these
// hidden lengths as size_t (since GCC 8; int before), so every entry point
// declares them with that type.
#ifndef KOV_KOVFORT_H
#define KOV_KOVFORT_H

#include "sibling_api.h"
#include <cstddef>
#include <cstdio>
#include <string>

namespace kov::fort {

// A text argument as the routine receives it: no text at all (a null
// pointer) for a field of at least four bytes that begins with four NUL
// bytes; the field itself when it holds a NUL within its length; otherwise
// a terminated copy with the trailing blanks removed, released with the
// object.
class KOV_SIBLING_API TextIn {
public:
  TextIn(const char *field, std::size_t len);
  TextIn(const TextIn &) = delete;
  TextIn &operator=(const TextIn &) = delete;
  operator const char *() const { return text_; }

private:
  std::string copy_;
  const char *text_ = nullptr;
};

// A field copied with its length (the copy stops early at a NUL) into a
// terminated text without trailing blanks; never null.  The names, types
// and tags of putch_, auxputch_ and auxpar_ and their text values are
// converted this way.
class FieldText {
public:
  FieldText(const char *field, std::size_t len);
  FieldText(const FieldText &) = delete;
  FieldText &operator=(const FieldText &) = delete;
  operator const char *() const { return text_.c_str(); }

private:
  std::string text_;
};

// An in/out text: the routine works on a terminated copy of the field
// without its trailing blanks, in a buffer of at least `room` bytes; when
// the object goes, the routine's text is copied back into the field, the
// rest of the field filled with blanks, or cut to the field's length.
class TextInOut {
public:
  TextInOut(char *field, std::size_t len, std::size_t room = 0);
  TextInOut(const TextInOut &) = delete;
  TextInOut &operator=(const TextInOut &) = delete;
  ~TextInOut();
  char *data() { return buffer_.data(); }

private:
  char *field_;
  std::size_t len_;
  std::string buffer_;
};

// The descriptor of a stream result, -1 when there is no stream.
int descriptor(std::FILE *stream);

} // namespace kov::fort

#endif
