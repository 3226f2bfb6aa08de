// SPDX-License-Identifier: Apache-2.0
// Element formats and the set-up of the data side of input, in/out and
// scratch datasets.
#include "kovlib_internal.h"
#include "streaminf.h"
#include "url_io.h"

#include <cstring>
#include <string>

namespace {

// Eight names in fixed slots; a format's number is its slot.
constexpr char str_fmt_names[8][13] = {"xdr_float",   "xdr_int", "xdr_byte",  "native_float",
                                       "native_byte", "drawl",   "tmc_float", "tmc_byte"};

} // namespace

extern "C" int get_format_num(const char *name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < 8; ++i)
    if (std::strcmp(name, str_fmt_names[i]) == 0) return i;
  return -1;
}

extern "C" char *get_format_name(int number) {
  if (number < 0 || number > 7) return nullptr;
  return kov::detail::heap_copy(str_fmt_names[number]);
}

extern "C" void open_instream(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMIN || !r->headerbuf)
    kov::detail::assertion("open_instream", "record is not an input with a header");
  std::optional<std::string> location;
  if (r->tagname == "in") location = kov::detail::getch_string("in");
  if (!location) {
    location = kov::detail::kovstrpar_string(r, "in");
    if (location) location = kov::detail::history_name(r, *location);
  }
  if (!location) {
    r->format_num = -1;
    r->valid = 0;
    return;
  }
  if (*location == "stdin")
    r->dataname = r->tagname == "in" ? "stdin" : "follow_hdr";
  else
    r->dataname = kov::detail::resolve_data_location(r->headername, *location);
  init_io(r);
  const auto format = kov::detail::kovstrpar_string(r, "data_format");
  if (!format) {
    r->format_num = 0;
    return;
  }
  r->format_num = get_format_num(format->c_str());
  if (r->format_num < 0)
    koverr("unknown data format: %s \n %s \n", format->c_str(),
           "known types are xdr..., native.., cm..., and drawl");
}

extern "C" void open_inoutstream(streaminf *r) {
  if (r == nullptr || (r->entrytype != STREAMINOUT && r->entrytype != STREAMSCR))
    kov::detail::assertion("open_inoutstream", "record is not an in/out or scratch dataset");
  std::optional<std::string> location;
  if (r->headerbuf) location = kov::detail::kovstrpar_string(r, "in");
  if (location) location = kov::detail::history_name(r, *location);
  if (location && *location != "-1")
    r->dataname = *location;
  else
    outname(r);
  init_io(r);
}

extern "C" void open_scrstream(streaminf *r) {
  if (r == nullptr || (r->entrytype != STREAMINOUT && r->entrytype != STREAMSCR))
    kov::detail::assertion("open_scrstream", "record is not an in/out or scratch dataset");
  outname(r);
  init_io(r);
}

extern "C" int set_format(const char *tag, const char *name) {
  if (tag == nullptr || name == nullptr) kov::detail::assertion("set_format", "null tag or name");
  streaminf *r = tag_info(tag, TAG_OUT);
  const int number = get_format_num(name);
  if (number < 0) koverr("set_format( %s , %s ): unknown format ", tag, name);
  r->format_num = number;
  return 0;
}

extern "C" int set_output_data_format(const char *name) { return set_format("out", name); }

extern "C" char *get_format(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("get_format", "null tag");
  return get_format_name(tag_info(tag, TAG_IN)->format_num);
}

extern "C" void open_socketstream(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMSOCKOUT)
    kov::detail::assertion("open_socketstream", "record is not a socket output");
  r->dataname = "follow_hdr";
  init_io(r);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(get_format)
KOV_PUBLIC_NAME(get_format_name)
KOV_PUBLIC_NAME(get_format_num)
KOV_PUBLIC_NAME(open_inoutstream)
KOV_PUBLIC_NAME(open_instream)
KOV_PUBLIC_NAME(open_scrstream)
KOV_PUBLIC_NAME(open_socketstream)
KOV_PUBLIC_NAME(set_format)
KOV_PUBLIC_NAME(set_output_data_format)
