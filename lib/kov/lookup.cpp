// SPDX-License-Identifier: Apache-2.0
// How the typed layer reaches the parameter database: texts passed the way
// fixed-length callers pass them, and lookups bounded by the caller's
// variable so that a list longer than the variable never overruns it.
#include "typed_internal.h"

#include <kov/kovlib.h>

#include "kovlib_internal.h"
#include "streaminf.h"

namespace kov::typed {

std::string c_text(std::string_view text) {
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    return std::string(text.substr(0, nul));
  const auto last = text.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string c_text(std::string_view text, std::size_t length) {
  return c_text(text.substr(0, length));
}

void fatal(std::string_view message) { erexit(c_text(message).c_str()); }

namespace {

streaminf *in_record() { return tag_info("in", TAG_IN); }

// The lookup kovstrpar makes in one record, bounded: the header store and
// then the supplementary store.  The text lookup applies kovstrpar's checks
// and builds the record's store on first use.
int header_values(streaminf *r, const std::string &name, const char *code, void *dest, long room) {
  (void)kov::detail::kovstrpar_string(r, name.c_str());
  const int found = kov::detail::decode(r->hetch_queue, r->hqlen, name, code, dest, room);
  if (found != 0) return found;
  return kov::detail::decode(r->tetch_queue, r->tqlen, name, code, dest, room);
}

} // namespace

int lookup_values(Source source, std::string_view file, const std::string &name, const char *code,
                  void *dest, long room) {
  switch (source) {
  case Source::command_line:
    return kov::detail::getch_bounded(name.c_str(), code, dest, room);
  case Source::history:
    return header_values(in_record(), name, code, dest, room);
  case Source::either: {
    const int found = kov::detail::getch_bounded(name.c_str(), code, dest, room);
    if (found > 0) return found;
    return header_values(in_record(), name, code, dest, room);
  }
  case Source::old: {
    const int found = kov::detail::getch_bounded(name.c_str(), code, dest, room);
    if (found != 0) return found;
    streaminf *r = in_record();
    return kov::detail::decode(r->tetch_queue, r->tqlen, name, code, dest, room);
  }
  case Source::aux:
    return header_values(tag_info(c_text(file).c_str(), TAG_IN), name, code, dest, room);
  }
  return 0;
}

std::optional<std::string> lookup_text(Source source, std::string_view file,
                                       const std::string &name) {
  switch (source) {
  case Source::command_line:
    return kov::detail::getch_string(name.c_str());
  case Source::history:
    return kov::detail::kovstrpar_string(in_record(), name.c_str());
  case Source::either:
    if (auto value = kov::detail::getch_string(name.c_str())) return value;
    return kov::detail::kovstrpar_string(in_record(), name.c_str());
  case Source::old: {
    if (auto value = kov::detail::getch_string(name.c_str())) return value;
    streaminf *r = in_record();
    return kov::detail::lookup_string(r->tetch_queue, r->tqlen, name);
  }
  case Source::aux:
    return kov::detail::kovstrpar_string(tag_info(c_text(file).c_str(), TAG_IN), name.c_str());
  }
  return std::nullopt;
}

} // namespace kov::typed
