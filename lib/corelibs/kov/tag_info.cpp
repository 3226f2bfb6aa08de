// SPDX-License-Identifier: Apache-2.0
// The stream registry: one record per tag, in order of first use, and the
// calls that give programs the datasets behind their tags.
#include "backends.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int create_file(const char *name) {
  int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
  if (fd < 0) {
    kov::detail::syserr("file()");
    koverr("file() can't create file %s\n", name);
  }
  if (::close(fd) != 0) {
    kov::detail::syserr("file()");
    koverr("file() unable to close file %s\n", name);
  }
  fd = ::open(name, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    kov::detail::syserr("file()");
    koverr("file() unable to open file %s\n", name);
  }
  return fd;
}

} // namespace

extern "C" int file(const char *name, int mode) {
  switch (mode) {
  case 0: {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      kov::detail::syserr("file()");
      koverr("file() can't open file %s\n", name);
    }
    return fd;
  }
  case 2: {
    const int fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return fd;
    return create_file(name);
  }
  case 1:
    return create_file(name);
  default:
    return -1; // no such mode: nothing is opened
  }
}

namespace {

streaminf *streamlist = nullptr;
streaminf *streamtail = nullptr;

// Caches of the standard streams and of the record of out used by hclose.
streaminf *hclose_out = nullptr;
std::FILE *input_cache = nullptr;
std::FILE *output_cache = nullptr;
std::FILE *head_cache = nullptr;

constexpr std::size_t kMaxHeaderName = 4095;

strtype entry_for(tagtype request) {
  switch (request) {
  case TAG_OUT:
    return STREAMOUT;
  case TAG_IN:
    return STREAMIN;
  case TAG_INOUT:
    return STREAMINOUT;
  case TAG_SOCKET:
    return STREAMSOCKOUT;
  case TAG_SCR:
    return STREAMSCR;
  default:
    return STREAMIN;
  }
}

std::string header_name_of(const std::string &tag, tagtype request) {
  std::optional<std::string> value;
  if (tag == "in") {
    value = kov::detail::getch_string("stdin");
    if (!value) value = "stdin";
  } else if (tag == "out") {
    value = kov::detail::getch_string("stdout");
    if (!value) value = "stdout";
  } else if (request == TAG_IN || request == TAG_INOUT) {
    value = kov::detail::getch_string(tag.c_str());
    if (!value) {
      // The input history may name the header of an auxiliary dataset.
      value = kov::detail::kovstrpar_string(tag_info("in", TAG_IN), tag.c_str());
    }
    if (!value) value = tag;
  } else {
    value = kov::detail::getch_string(tag.c_str());
    if (!value) value = tag;
  }
  if (value->size() > kMaxHeaderName) value->resize(kMaxHeaderName);
  return *value;
}

void open_header(streaminf *r) {
  switch (r->entrytype) {
  case STREAMOUT:
    kovstr_out_head(r);
    break;
  case STREAMIN:
    kovstr_in_head(r);
    break;
  case STREAMINOUT:
    kovstr_inout_head(r);
    break;
  case STREAMSCR:
    kovstr_scr_head(r);
    break;
  case STREAMSOCKOUT:
    kovstr_socket_head(r);
    break;
  }
}

// The conflict messages of the auxiliary calls, by call and existing type.
// Their wording stays as it always read ("auxilary", "temporary file file"):
// scripts match them as they stand.
enum class AuxCall { In, Out, InOut, SockOut, Scr };

const char *conflict_message(AuxCall call, strtype existing) {
  switch (call) {
  case AuxCall::In:
    switch (existing) {
    case STREAMOUT:
      return "auxin(\"%s\"): Already opened for output only\n";
    case STREAMINOUT:
      return "auxin(\"%s\"): Already opened for input/output\n";
    case STREAMSOCKOUT:
      return "auxin(\"%s\"): Already opened for socket file\n";
    case STREAMSCR:
      return "auxin(\"%s\"): Already opened for scratch file\n";
    default:
      return nullptr;
    }
  case AuxCall::Out:
    switch (existing) {
    case STREAMIN:
      return "auxout(\"%s\"): Already opened for input only\n";
    case STREAMINOUT:
      return "auxout(\"%s\"): Already opened for input/output\n";
    case STREAMSOCKOUT:
      return "auxout(\"%s\"): Already opened for socket out file\n";
    case STREAMSCR:
      return "auxout(\"%s\"): Already opened for scratch file\n";
    default:
      return nullptr;
    }
  case AuxCall::InOut:
    switch (existing) {
    case STREAMIN:
      return "auxinout(\"%s\"): Already opened for input only\n";
    case STREAMOUT:
      return "auxinout(\"%s\"): Already opened for output only\n";
    case STREAMSOCKOUT:
      return "auxinout(\"%s\"): Already opened for temporary file file\n";
    case STREAMSCR:
      return "auxinout(\"%s\"): Already opened for scratch file\n";
    default:
      return nullptr;
    }
  case AuxCall::SockOut:
    switch (existing) {
    case STREAMIN:
      return "auxiscr(\"%s\"): Already opened for input only\n";
    case STREAMOUT:
      return "auxsocket(\"%s\"): Already opened for output only\n";
    case STREAMINOUT:
      return "auxsocket(\"%s\"): Already opened for input/output\n";
    case STREAMSCR:
      return "auxsocket(\"%s\"): Already opened for scratch file \n";
    default:
      return nullptr;
    }
  case AuxCall::Scr:
    switch (existing) {
    case STREAMIN:
      return "auxiscr(\"%s\"): Already opened for input only\n";
    case STREAMOUT:
      return "auxscr(\"%s\"): Already opened for output only\n";
    case STREAMINOUT:
      return "auxscr(\"%s\"): Already opened for input/output\n";
    case STREAMSOCKOUT:
      return "auxscr(\"%s\"): Already opened as auxilary output socket \n";
    default:
      return nullptr;
    }
  }
  return nullptr;
}

streaminf *aux_record(const char *tag, tagtype request, AuxCall call) {
  if (tag == nullptr) kov::detail::assertion("aux", "null tag");
  streaminf *r = tag_info(tag, request);
  if (const char *message = conflict_message(call, r->entrytype)) koverr(message, tag);
  return r;
}

// Open the data side of a valid record whose data are not yet open.
void open_data(streaminf *r) {
  if (r->valid && r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
}

std::FILE *aux_open(const char *tag, tagtype request, AuxCall call) {
  streaminf *r = aux_record(tag, request, call);
  if (!r->valid) return nullptr;
  open_data(r);
  if (!r->valid) return nullptr;
  return r->streamfile;
}

const char *text_or_null(const std::optional<std::string> &s) { return s ? s->c_str() : "(null)"; }

} // namespace

namespace kov::detail {

void forget_stream(std::FILE *stream) {
  if (stream == nullptr) return;
  if (input_cache == stream) input_cache = nullptr;
  if (output_cache == stream) output_cache = nullptr;
  if (head_cache == stream) head_cache = nullptr;
}

void forget_record(streaminf *record) {
  if (hclose_out == record) hclose_out = nullptr;
  forget_stream(record->headfile);
  forget_stream(record->streamfile);
  forget_hetch_record(record);
  forget_putch_record(record);
}

} // namespace kov::detail

extern "C" streaminf *kovstr_head(void) { return streamlist; }

extern "C" void kovstr_addend(streaminf *r) {
  if (r == nullptr || r == streamtail) return;
  r->next = nullptr;
  r->prev = streamtail;
  if (streamtail != nullptr) streamtail->next = r;
  streamtail = r;
  if (streamlist == nullptr) streamlist = r;
}

extern "C" void kovstr_addstart(streaminf *r) {
  if (r == nullptr || r == streamlist) return;
  r->prev = nullptr;
  r->next = streamlist;
  if (streamlist != nullptr) streamlist->prev = r;
  streamlist = r;
  if (streamtail == nullptr) streamtail = r;
}

extern "C" void kovstr_del(streaminf *r) {
  if (r == nullptr) return;
  if (r->prev != nullptr) r->prev->next = r->next;
  if (r->next != nullptr) r->next->prev = r->prev;
  if (streamlist == r) streamlist = r->next;
  if (streamtail == r) streamtail = r->prev;
  r->next = r->prev = nullptr;
}

extern "C" streaminf *kovstr_new(const char *tag, tagtype request) {
  if (request == TAG_INQUIRE) koverr("Unknown tag \"%s\" \n", tag);
  auto record = std::make_unique<streaminf>();
  record->tagname = tag;
  record->entrytype = entry_for(request);
  record->headername = header_name_of(record->tagname, request);
  return record.release();
}

extern "C" streaminf *tag_info(const char *tag, tagtype request) {
  if (tag == nullptr) kov::detail::assertion("tag_info", "null tag");
  for (streaminf *r = streamlist; r != nullptr; r = r->next)
    if (r->tagname == tag) return r;
  if (request == TAG_INQUIRE) return nullptr;
  streaminf *r = kovstr_new(tag, request);
  kovstr_addend(r);
  open_header(r);
  return r;
}

namespace kov::detail {

bool stdout_carries_data() {
  const auto on_stdout = [](std::FILE *f) { return f != nullptr && ::fileno(f) == STDOUT_FILENO; };
  for (const streaminf *r = streamlist; r != nullptr; r = r->next) {
    if (!is_output_kind(r) || !r->ready_out) continue;
    if (r->streamfd == STDOUT_FILENO || on_stdout(r->streamfile)) return true;
    if (r->dataname && *r->dataname == "follow_hdr" && on_stdout(r->headfile)) return true;
  }
  return false;
}

} // namespace kov::detail

extern "C" streaminf *fd_info(int fd) {
  for (streaminf *r = streamlist; r != nullptr; r = r->next)
    if (r->streamfile != nullptr && ::fileno(r->streamfile) == fd) return r;
  koverr("fd_info(): no stream has this file descriptor-> %d \n", fd);
}

extern "C" FILE *auxin(const char *tag) { return aux_open(tag, TAG_IN, AuxCall::In); }
extern "C" FILE *auxout(const char *tag) { return aux_open(tag, TAG_OUT, AuxCall::Out); }
extern "C" FILE *auxinout(const char *tag) { return aux_open(tag, TAG_INOUT, AuxCall::InOut); }
extern "C" FILE *auxscr(const char *tag) { return aux_open(tag, TAG_SCR, AuxCall::Scr); }

extern "C" FILE *auxsockout(const char *tag) {
  return aux_record(tag, TAG_SOCKET, AuxCall::SockOut)->streamfile;
}

extern "C" FILE *auxtmp(const char *tag) {
  std::FILE *stream = aux_open(tag, TAG_SCR, AuxCall::Scr);
  if (tag_info(tag, TAG_INQUIRE)->valid) aux_unlink(tag);
  return stream;
}

extern "C" FILE *input(void) {
  if (input_cache != nullptr && kov::detail::stream_open(input_cache)) return input_cache;
  streaminf *r = tag_info("in", TAG_IN);
  if (!r->valid) return nullptr;
  open_data(r);
  if (!r->valid) return nullptr;
  input_cache = r->streamfile;
  return input_cache;
}

extern "C" FILE *output(void) {
  if (output_cache != nullptr && kov::detail::stream_open(output_cache)) return output_cache;
  streaminf *r = tag_info("out", TAG_OUT);
  if (r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
  if (!r->valid) {
    output_cache = nullptr;
    return nullptr;
  }
  output_cache = r->streamfile;
  return output_cache;
}

extern "C" FILE *kov_head(void) {
  if (head_cache != nullptr && kov::detail::stream_open(head_cache)) return head_cache;
  head_cache = tag_info("out", TAG_OUT)->headfile;
  return head_cache;
}

extern "C" int auxclose(const char *tag) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 0;
  kov::detail::forget_record(r);
  r->headerbuf.reset();
  kov::detail::drain_pending(r);
  if (r->headfile != nullptr) {
    if (r->entrytype != STREAMIN) std::fflush(r->headfile);
    // A stream shared by header and data is closed once.
    if (r->streamfile == r->headfile) r->streamfile = nullptr;
    std::fclose(r->headfile);
    r->headfile = nullptr;
  }
  if (r->close_func != nullptr) r->close_func(r, r->ioinf);
  kovstr_del(r);
  std::unique_ptr<streaminf> owned(r);
  return 0;
}

extern "C" int aux_unlink(const char *tag) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) koverr("no structure for tag(%s)\n", tag);
  if (r->dataname) {
    const std::string &names = *r->dataname;
    std::size_t start = 0;
    while (start <= names.size()) {
      auto end = names.find(';', start);
      if (end == std::string::npos) end = names.size();
      const std::string one = names.substr(start, end - start);
      if (!one.empty()) ::unlink(one.c_str());
      start = end + 1;
    }
  }
  // The data name lists the files used so far; a multi-file set also made
  // the rest of its files when it was opened.
  for (const std::string &path : kov::detail::multifd_paths(r)) ::unlink(path.c_str());
  ::unlink(r->headername.c_str());
  return 0;
}

extern "C" int copy_history(const char *from, const char *to) {
  kovstr_copyh(tag_info(from, TAG_IN), tag_info(to, TAG_OUT));
  return 0;
}

extern "C" int tag_exists(const char *tag) {
  if (tag == nullptr) return 0;
  if (tag_info(tag, TAG_INQUIRE) != nullptr) return 1;
  std::string name(tag);
  if (name.size() > 255) name.resize(255);
  if (auto value = kov::detail::getch_string(name.c_str())) name = *value;
  if (name.size() > 255) name.resize(255);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ::close(fd);
  return 1;
}

extern "C" int hclose(void) {
  if (hclose_out == nullptr) hclose_out = tag_info("out", TAG_OUT);
  kov::detail::drain_pending(hclose_out);
  return kovstr_hclose(hclose_out);
}

extern "C" int auxhclose(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("auxhclose", "null tag");
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 0;
  kov::detail::drain_pending(r);
  return kovstr_hclose(r);
}

extern "C" void print_streaminf(streaminf *r) {
  static const char *const entry_names[] = {"STREAMIN", "STREAMOUT", "STREAMINOUT", "STREAMSOCKOUT",
                                            "STREAMSCR"};
  static const char *const io_names[] = {"FD_IO",     "FILE_IO",     "CM_SDA_IO",
                                         "CM_REG_IO", "MULTI_FD_IO", "URL_IO"};
  std::FILE *e = stderr;
  std::fprintf(e, " tag: %s \n", r->tagname.c_str());
  std::fprintf(e, " entrytype: %s \n", entry_names[r->entrytype]);
  std::fprintf(e, " headername: %s \n", r->headername.c_str());
  std::fprintf(e, " headerlen: %d \n", r->hdrlen);
  std::fprintf(e, " headerbuf: %s \n", text_or_null(r->headerbuf));
  std::fprintf(e, " headerformatfile: %s \n", text_or_null(r->headerformatfile));
  std::fprintf(e, " gridformatfile: %s \n", text_or_null(r->gridformatfile));
  std::fprintf(e, " distribformatfile: %s \n", text_or_null(r->distribformatfile));
  std::fprintf(e, " backseekable: %d \n", r->backseekable);
  std::fprintf(e, " header_title: %d \n", r->header_title);
  std::fprintf(e, " ready_out: %d \n", r->ready_out);
  std::fprintf(e, " isapipe: %d \n", r->isapipe);
  std::fprintf(e, " dataname: %s \n", text_or_null(r->dataname));
  std::fprintf(e, " iotype: %s \n", io_names[r->iotype]);
  char *format = get_format_name(r->format_num);
  std::fprintf(e, " format: %s \n", format != nullptr ? format : "(null)");
  std::free(format);
  std::fflush(e);
}

extern "C" int kov_history(const char *tag, const char **text) {
  streaminf *r = tag != nullptr ? tag_info(tag, TAG_INQUIRE) : nullptr;
  if (r == nullptr || !r->headerbuf) return -1;
  if (text != nullptr) *text = r->headerbuf->c_str();
  return static_cast<int>(r->headerbuf->size());
}

extern "C" int debug_tag(const char *tag) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  // Message kept as it always read ("unintialized"): scripts match it as it stands.
  if (r == nullptr) koverr("debug_tag request on an unintialized tag=%s \n", tag);
  print_streaminf(r);
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(aux_unlink)
KOV_PUBLIC_NAME(auxclose)
KOV_PUBLIC_NAME(auxhclose)
KOV_PUBLIC_NAME(auxin)
KOV_PUBLIC_NAME(auxinout)
KOV_PUBLIC_NAME(auxout)
KOV_PUBLIC_NAME(auxscr)
KOV_PUBLIC_NAME(auxsockout)
KOV_PUBLIC_NAME(auxtmp)
KOV_PUBLIC_NAME(copy_history)
KOV_PUBLIC_NAME(debug_tag)
KOV_PUBLIC_NAME(fd_info)
KOV_PUBLIC_NAME(file)
KOV_PUBLIC_NAME(hclose)
KOV_PUBLIC_NAME(input)
KOV_PUBLIC_NAME(kov_head)
KOV_PUBLIC_NAME(kov_history)
KOV_PUBLIC_NAME(kovstr_addend)
KOV_PUBLIC_NAME(kovstr_addstart)
KOV_PUBLIC_NAME(kovstr_del)
KOV_PUBLIC_NAME(kovstr_head)
KOV_PUBLIC_NAME(kovstr_new)
KOV_PUBLIC_NAME(output)
KOV_PUBLIC_NAME(print_streaminf)
KOV_PUBLIC_NAME(tag_exists)
KOV_PUBLIC_NAME(tag_info)
