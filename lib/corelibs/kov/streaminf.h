// SPDX-License-Identifier: Apache-2.0
// The stream record of a tag and the registry's internal helpers.
#ifndef KOV_STREAMINF_H
#define KOV_STREAMINF_H

#include "kovlib_internal.h"
#include <kov/kovlib.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Operations of an I/O back end.
using kov_open_fn = int (*)(streaminf *record, void **ioinf);
using kov_close_fn = int (*)(streaminf *record, void *ioinf);
using kov_read_fn = long (*)(streaminf *record, void *ioinf, char *buffer, long nbytes);
using kov_write_fn = long (*)(streaminf *record, void *ioinf, const char *buffer, long nbytes);
using kov_seek_fn = kov_off_t (*)(streaminf *record, void *ioinf, kov_off_t offset, int whence);
using kov_size_fn = kov_file_size_t (*)(streaminf *record, void *ioinf);

struct streaminf {
  streaminf *next = nullptr;
  streaminf *prev = nullptr;
  std::string tagname;
  strtype entrytype = STREAMIN;
  int valid = 1;
  std::string headername;
  std::FILE *headfile = nullptr;
  std::optional<std::string> headerformatfile;
  std::optional<std::string> gridformatfile;
  std::optional<std::string> distribformatfile;
  std::vector<std::string> tag_sect;  // reserved
  std::vector<std::string> mach_sect; // reserved
  std::optional<std::string> headerbuf;
  std::string header_error; // why the header could not be read, when it could not
  int hdrlen = 0;
  hash_item **hetch_queue = nullptr;
  int hqlen = 0;
  hash_item **tetch_queue = nullptr;
  int tqlen = 0;
  int backseekable = 0;
  int header_title = 0;
  int header_outname = 0;
  int ready_out = 0;
  std::optional<std::string> dataname;
  IOtyp iotype = FILE_IO;
  void *ioinf = nullptr;
  kov_open_fn open_func = nullptr;
  kov_close_fn close_func = nullptr;
  kov_read_fn read_func = nullptr;
  kov_write_fn write_func = nullptr;
  kov_seek_fn seek_func = nullptr;
  kov_size_fn size_func = nullptr;
  std::FILE *streamfile = nullptr;
  int streamfd = -1;
  int format_num = -1;
  int isapipe = 0;
  int sockfd = 0;
  int n_key = -1;
  std::vector<int> key_bytes;
  // Where the header store of this record lives; released with the record.
  kov::detail::StoreMemory store_memory;
};

namespace kov::detail {

// Output kinds: every entry type but STREAMIN.
inline bool is_output_kind(const streaminf *r) {
  return r->entrytype == STREAMOUT || r->entrytype == STREAMINOUT ||
         r->entrytype == STREAMSOCKOUT || r->entrytype == STREAMSCR;
}

// True once the data of an output have begun on the standard output: from
// then on messages go to standard error only, so they never mix with data.
bool stdout_carries_data();

// A fatal precondition failure naming the routine.
[[noreturn]] void assertion(const char *routine, const char *what);

// A C-heap copy of a text, for routines that hand out "new strings".
KOV_SIBLING_API char *heap_copy(const std::string &text);

// True while a status query on the stream's descriptor succeeds.
bool stream_open(std::FILE *stream);

// Lookup of a text parameter in a record's header store (as kovstrpar).
KOV_SIBLING_API std::optional<std::string> kovstrpar_string(streaminf *record, const char *name);

// Forget every cached pointer to a record or its streams (before it is
// freed or its streams closed).
void forget_record(streaminf *record);
void forget_stream(std::FILE *stream);
void forget_hetch_record(streaminf *record);
void forget_putch_record(streaminf *record);

// One formatted parameter line (fatal for unknown codes and over-long lines).
std::string format_line(const char *name, const char *type, const void *val);

// A text value as written after `name=` so that the scanner reads back
// exactly `text`: quoted, each quote inside doubled; a text that already is
// one complete double-quoted token is written as it stands.  Fatal, naming
// the parameter, for a text that no history line can carry.
KOV_SIBLING_API std::string history_text(const char *name, std::string_view text);

// A file name as a history records it: every relative name of the list
// (names separated by ';') made absolute against the current directory;
// variables, streams and endpoints stand as they are.
KOV_SIBLING_API std::string written_name(std::string_view name);

// A file name read from the record's history: every relative name of the
// list resolved against the directory of the record's header (older
// histories recorded relative names).  A name found only relative to the
// current directory, as older readers took it, stays so.
KOV_SIBLING_API std::string history_name(const streaminf *record, std::string_view name);

// The largest header a history may be (64 MiB): a longer one is fatal.
constexpr std::size_t kMaxHeaderBytes = std::size_t{64} << 20;

// The file a record's data transfers concern: its data file(s), or its
// header when the data follow the header in the same stream.
inline std::string data_file_of(const streaminf *r) {
  const std::string name = r->dataname.value_or("");
  if (name.empty() || name == "stdin" || name == "follow_hdr") return r->headername;
  return name;
}

// The title text of an output header.
std::string make_title();

// A layer above the core that must act when an output header becomes ready
// for data: called by kovstr_ready_out with `ended` false before the
// data_format line (parameters can still be written) and with `ended` true
// once the header has ended, before any data byte is written.
using ReadyHook = void (*)(streaminf *record, bool ended);
KOV_SIBLING_API void set_ready_hook(ReadyHook hook);

} // namespace kov::detail

#endif
