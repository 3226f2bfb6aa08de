// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the source files of the three-dimensional layer.
#ifndef KOV_KOV3D_INTERNAL_H
#define KOV_KOV3D_INTERNAL_H

#include <kov/kovlib.h>

#include "kovlib_internal.h"
#include "streaminf.h"

#include <optional>
#include <string>

namespace kov3d {

// A lookup in a record's history store (built on first use), at most
// `room` elements (bytes for code "s") stored; the number of values found.
int lookup(streaminf *r, const std::string &name, const char *type, void *dest, long room);

// A text parameter of a record's history.
std::optional<std::string> lookup_text(streaminf *r, const std::string &name);

// The hff and gff of a history tag, found or created; a result code.
int find_hff(const char *tag, std::string &name);
int find_gff(const char *tag, std::string &name);

// Whether the hff (or gff) `name` is the one named by the command line:
// such a file is the user's and is never removed.
bool named_by_user(bool grid, const std::string &name);

// Have a piped out hand its description files to the reader when its
// history ends (at its first data write or at kov_3d_close).
void watch_output();

// Fatal when `tag` is a piped out whose history has ended already: a
// description file set now could never reach the reader.
void require_open_history(const char *tag, bool grid);

// A key attribute as described by kov_put_key in this process, or nothing.
std::optional<std::string> written_key(const std::string &hff, int index, int attribute);
void remember_key(const std::string &hff, int index, const std::string &name,
                  const std::string &type, const std::string &fmt);

// Copy a text into a caller's buffer of `room` bytes, cut to fit.
void copy_out(const std::string &text, char *dest, std::size_t room);

// printf into a std::string.
using kov::detail::format;

} // namespace kov3d

#endif
