// SPDX-License-Identifier: Apache-2.0
// Writing parameter lines and free-form lines to history headers.  Every
// line is written so that the parameter scanner reads it back as the same
// name and value, and is flushed at once.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

streaminf *putch_out = nullptr; // the record of out, looked up once

streaminf *out_record() {
  if (putch_out == nullptr) putch_out = tag_info("out", TAG_OUT);
  return putch_out;
}

using kov::detail::format;

// Scan a line written to an in/out or scratch header into its store, so
// that later lookups on the tag see it.
void scan_into_store(streaminf *r, const std::string &line) {
  if ((r->entrytype == STREAMINOUT || r->entrytype == STREAMSCR) && r->hetch_queue != nullptr) {
    const kov::detail::StoreMemoryScope scope(r->store_memory);
    kov::detail::push_input(line, "header " + r->headername);
    getpar_scan(r->hetch_queue, r->hqlen);
  }
}

void check_writable(streaminf *r, const char *routine, const void *val, const char *type) {
  if (r == nullptr || !kov::detail::is_output_kind(r))
    kov::detail::assertion(routine, "tag is not an output dataset");
  if (val == nullptr || type == nullptr) kov::detail::assertion(routine, "null value or type");
}

// The header of an output whose data follow it in the same stream ends when
// it is made ready (at the first data operation or at its close): a line
// written after that would land among the data, so it is refused.
void refuse_after_header_end(streaminf *r, const char *routine, const char *what) {
  if (r->ready_out && r->dataname && *r->dataname == "follow_hdr")
    koverr("%s: parameter %s for tag %s comes after the end of its header: the data follow it "
           "in the same stream\n",
           routine, what, r->tagname.c_str());
}

[[noreturn]] void header_io_error(streaminf *r, const char *prefix, const char *format) {
  kov::detail::syserr(prefix);
  koverr(format, r->headername.c_str(), r->tagname.c_str());
}

// Whether a text is one complete double-quoted token of the scanner.
bool is_quoted_token(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  const std::string_view inside = text.substr(1, text.size() - 2);
  for (std::size_t i = 0; i < inside.size(); ++i) {
    if (inside[i] == '\n') return false;
    if (inside[i] != '"') continue;
    // Inside the quotes a quote stands only doubled.
    if (i + 1 >= inside.size() || inside[i + 1] != '"') return false;
    ++i;
  }
  return true;
}

} // namespace

namespace kov::detail {

void forget_putch_record(streaminf *record) {
  if (putch_out == record) putch_out = nullptr;
}

std::string history_text(const char *name, std::string_view text) {
  // The scanner ends a quoted value at a newline, and the reader of a
  // header stops at an end-of-transmission byte: no text holding either
  // can be read back.
  if (const auto bad = text.find_first_of("\n\004"); bad != std::string_view::npos)
    koverr("the text of parameter %s holds %s, which a history cannot hold\n", name,
           text[bad] == '\n' ? "a newline" : "an end-of-transmission byte (4)");
  std::string token;
  if (is_quoted_token(text)) {
    token = text; // already quoted: written as it stands
  } else {
    token.reserve(text.size() + 2);
    token += '"';
    for (const char c : text) {
      token += c;
      if (c == '"') token += '"'; // a doubled quote reads back as one
    }
    token += '"';
  }
  if (token.size() > static_cast<std::size_t>(YYLMAX - 1))
    koverr("the text of parameter %s needs %zu characters in a history, more than the %d that "
           "can be read back\n",
           name, token.size(), YYLMAX - 1);
  return token;
}

// Two tabs, name=value: the layout every history header on disk has, which
// older readers of the family expect.
std::string format_line(const char *name, const char *type, const void *val) {
  std::string line;
  switch (type[0]) {
  case 'd':
  case 'i':
    line = format("\t\t%s=%d\n", name, *static_cast<const int *>(val));
    break;
  case 'f':
  case 'r':
    line = format("\t\t%s=%g\n", name, static_cast<double>(*static_cast<const float *>(val)));
    break;
  case 'g':
    line = format("\t\t%s=%.15g\n", name, *static_cast<const double *>(val));
    break;
  case '1':
  case 'l':
    line = format("\t\t%s=%s\n", name, *static_cast<const int *>(val) ? "yes" : "no");
    break;
  case 's':
    line = std::string("\t\t") + name + "=" + history_text(name, static_cast<const char *>(val)) +
           "\n";
    break;
  default:
    koverr("putch_format(): unknown conversion type %d\n%s\n%s\n", type[0], name, type);
  }
  if (line.size() + 1 > KOV_LINE_MAX)
    koverr("putch_format(): the line for parameter %s needs %zu bytes, more than %d\n", name,
           line.size() + 1, KOV_LINE_MAX);
  return line;
}

} // namespace kov::detail

extern "C" int putch_format(char *buffer, const char *name, const char *type, const void *val) {
  const std::string line = kov::detail::format_line(name, type, val);
  std::memcpy(buffer, line.c_str(), line.size() + 1);
  return 0;
}

extern "C" int kovstrput(streaminf *r, const char *name, const char *type, const void *val) {
  check_writable(r, "kovstrput", val, type);
  if (r->headfile == nullptr)
    koverr("kovstrput(): Attempt to putch to invalid or closed header for tag %s",
           r->tagname.c_str());
  refuse_after_header_end(r, "kovstrput()", name);
  if (!r->header_title) write_title(r);
  const std::string line = kov::detail::format_line(name, type, val);
  if (std::fputs(line.c_str(), r->headfile) < 0 || std::fflush(r->headfile) != 0)
    header_io_error(r, "kovstrput()", "kovstrput() I/O error on output header %s for tag %s\n");
  scan_into_store(r, line);
  return 0;
}

extern "C" int kovstrputlast(streaminf *r, const char *name, const char *type, const void *val) {
  check_writable(r, "kovstrputlast", val, type);
  if (r->entrytype == STREAMSOCKOUT)
    kov::detail::assertion("kovstrputlast", "tag is a socket output");
  if (r->headfile == nullptr)
    koverr("kovstrput(): Attempt to putch to invalid or closed header for tag %s",
           r->tagname.c_str());
  if (r->isapipe) kov::detail::assertion("kovstrputlast", "header is not seekable");
  refuse_after_header_end(r, "kovstrputlast()", name);
  if (!r->header_title) write_title(r);

  constexpr long kWindowMax = 256;
  const std::string key = std::string("putlast: ") + name;
  const std::string line = kov::detail::format_line(key.c_str(), type, val);
  if (key.size() + 1 > kWindowMax || line.size() + 1 > kWindowMax)
    koverr("kovstrputlast(): parameter %s does not fit a line of %ld bytes\n", name, kWindowMax);
  long window = static_cast<long>(line.size()) + 10;
  if (window > kWindowMax - 1) window = kWindowMax;

  std::FILE *f = r->headfile;
  std::fflush(f);
  bool replace = false;
  long start_of_last = 0;
  if (std::fseek(f, -window, SEEK_END) != 0) {
    std::clearerr(f);
  } else {
    const long window_start = std::ftell(f);
    std::vector<char> bytes(static_cast<std::size_t>(window));
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size())
      header_io_error(r, "kovstrputlast()",
                      "kovstrputlast() I/O error on output header %s for tag %s\n");
    for (long j = window - 2; j >= 0; --j) {
      if (bytes[static_cast<std::size_t>(j)] != '\n') continue;
      const std::string tail(bytes.data() + j + 1, static_cast<std::size_t>(window - j - 1));
      if (tail.find(key) != std::string::npos) {
        replace = true;
        start_of_last = window_start + j + 1;
      }
      break;
    }
  }
  const int positioned =
      replace ? std::fseek(f, start_of_last, SEEK_SET) : std::fseek(f, 0, SEEK_END);
  if (positioned != 0 || std::fputs(line.c_str(), f) < 0 || std::fflush(f) != 0)
    header_io_error(r, "kovstrputlast()",
                    "kovstrputlast() I/O error on output header %s for tag %s\n");
  scan_into_store(r, line);
  return 0;
}

extern "C" int putch(const char *name, const char *type, const void *val) {
  return kovstrput(out_record(), name, type, val);
}

extern "C" int auxputch(const char *name, const char *type, const void *val, const char *tag) {
  return kovstrput(tag_info(tag, TAG_OUT), name, type, val);
}

extern "C" int putlin(const char *line) {
  streaminf *r = out_record();
  if (r->headfile == nullptr) koverr("putlin() called after header is closed");
  refuse_after_header_end(r, "putlin()", line);
  if (!r->header_title) write_title(r);
  if (std::fprintf(r->headfile, "\t%s\n", line) < 0 || std::fflush(r->headfile) != 0) {
    kov::detail::syserr("putlin()");
    koverr("putlin() I/O error on output header\n");
  }
  return 0;
}

extern "C" int auxputhead(const char *tag, const char *format, ...) {
  streaminf *r = tag_info(tag, TAG_OUT);
  if (!kov::detail::is_output_kind(r))
    kov::detail::assertion("auxputhead", "tag is not an output dataset");
  if (r->headfile == nullptr)
    koverr("auxputhead(): header of tag %s is closed\n", r->tagname.c_str());
  refuse_after_header_end(r, "auxputhead()", format);
  if (!r->header_title) write_title(r);
  va_list args;
  va_start(args, format);
  const int n = std::vfprintf(r->headfile, format, args);
  va_end(args);
  if (n < 0 || std::fputc('\n', r->headfile) == EOF || std::fflush(r->headfile) != 0) {
    kov::detail::syserr("putch()");
    koverr("putch() I/O error on output header\n");
  }
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(auxputch)
KOV_PUBLIC_NAME(auxputhead)
KOV_PUBLIC_NAME(kovstrput)
KOV_PUBLIC_NAME(kovstrputlast)
KOV_PUBLIC_NAME(putch)
KOV_PUBLIC_NAME(putch_format)
KOV_PUBLIC_NAME(putlin)
