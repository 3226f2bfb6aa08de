// SPDX-License-Identifier: Apache-2.0
// Private interfaces shared by the sources of the typed access layer.
#ifndef KOV_TYPED_INTERNAL_H
#define KOV_TYPED_INTERNAL_H

#include <optional>
#include <string>
#include <string_view>

namespace kov::typed {

// A name or text as the library receives it from this layer: up to its
// first NUL when it holds one, otherwise with its trailing blanks removed
// (an all-blank text becomes empty).
std::string c_text(std::string_view text);

// The first `length` characters of a text (a fixed-length text variable),
// as the library receives them.
std::string c_text(std::string_view text, std::size_t length);

// End the program with a message (trailing blanks removed).
[[noreturn]] void fatal(std::string_view message);

// Where a lookup looks.
enum class Source {
  command_line, // getch
  history,      // hetch: the history of in
  either,       // fetch: the command line, then the history of in
  old,          // tetch: the command line, then the supplementary store of in
  aux,          // auxpar: the history of the dataset `file`
};

// Numeric lookup with conversion `code` into `dest`, storing at most `room`
// values; the number stored, 0 when not found (dest then untouched).
int lookup_values(Source source, std::string_view file, const std::string &name, const char *code,
                  void *dest, long room);

// Text lookup; nothing when not found or given with an empty value.
std::optional<std::string> lookup_text(Source source, std::string_view file,
                                       const std::string &name);

// True when the echo switch reads "no putch".
bool echo_off();

} // namespace kov::typed

#endif
