// SPDX-License-Identifier: Apache-2.0
// Input headers: opening the header of an input, in/out or scratch tag and
// reading its text.
#include "kovlib_internal.h"
#include "kovsock.h"
#include "streaminf.h"
#include "url_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kHeaderBuffer = 8192;
constexpr char kEndOfTransmission = 4;

const char kNoHeader[] = "No input header \n";
const char kFromTty[] = "Input from a tty\n";
constexpr int kPlaceholderLength = 16;

bool is_pipe_name(const std::string &name) { return name.find('|') != std::string::npos; }
bool is_socket_name(const std::string &name) { return kov::detail::is_endpoint_name(name); }

// A header read from a socket endpoint (host:port connects, :port and
// ::path wait for the writer).
std::FILE *open_insok(streaminf *r) {
  const int fd = kov::detail::endpoint_connection(r->headername);
  if (fd < 0)
    koverr("open_insok(): connect to socket \"%s\" failed for tag \"%s\"\n", r->headername.c_str(),
           r->tagname.c_str());
  std::FILE *stream = ::fdopen(fd, "r");
  if (stream == nullptr) {
    kov::detail::syserr("kovstrhead:open_insok() ");
    ::close(fd);
    koverr("error in opening input socket \"%s\" for tag \"%s\" \n", r->headername.c_str(),
           r->tagname.c_str());
  }
  r->isapipe = 1;
  return stream;
}

void full_buffer(std::FILE *stream) { std::setvbuf(stream, nullptr, _IOFBF, kHeaderBuffer); }

// Open an existing header file for reading; null when it is absent.
std::FILE *open_input_file(streaminf *r) {
  struct stat st;
  if (::stat(r->headername.c_str(), &st) != 0) {
    if (errno == ENOENT) return nullptr;
    kov::detail::syserr("kovstrhead, openfile()");
    koverr("Bad header name '%s' for tag %s \n", r->headername.c_str(), r->tagname.c_str());
  }
  return std::fopen(r->headername.c_str(), "r");
}

void set_placeholder(streaminf *r, const char *text) {
  r->headerbuf = text;
  r->hdrlen = kPlaceholderLength;
}

// Names that cannot be a regular file of an in/out or scratch dataset.
bool not_regular_name(const std::string &name) {
  return is_pipe_name(name) || is_socket_name(name) || name == "stdin" || name == "stdout";
}

} // namespace

extern "C" void kovstr_in_head(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMIN)
    kov::detail::assertion("kovstr_in_head", "record is not an input");
  if (!(noheader() && r->tagname == "in")) {
    const std::string &name = r->headername;
    std::FILE *stream = nullptr;
    if (is_pipe_name(name)) {
      if (name.back() != '|')
        koverr("input pipe command '%s' doesn't end with '|' for tag %s \n", name.c_str(),
               r->tagname.c_str());
      const std::string command = name.substr(0, name.size() - 1);
      std::fflush(nullptr);
      stream = ::popen(command.c_str(), "r");
      if (stream == nullptr) {
        kov::detail::syserr("kovstrhead:openpipe() ");
        koverr("error in opening input pipe \"%s\" for tag \"%s\" \n", command.c_str(),
               r->tagname.c_str());
      }
      r->isapipe = 1;
    } else if (kov::detail::is_url(name)) {
      stream = kov::detail::open_url_header(name, r->tagname);
    } else if (is_socket_name(name)) {
      stream = open_insok(r);
    } else if (name == "stdin") {
      stream = stdin;
    } else {
      stream = open_input_file(r);
    }
    if (stream == nullptr) {
      r->valid = 0;
      return;
    }
    full_buffer(stream);
    r->headfile = stream;
  }
  readhdr(r);
  if (r->valid) open_instream(r);
}

extern "C" void readhdr(streaminf *r) {
  if (r == nullptr || (r->entrytype != STREAMIN && r->entrytype != STREAMINOUT))
    kov::detail::assertion("readhdr", "record is not an input or in/out dataset");
  if (noheader() && r->tagname == "in") {
    set_placeholder(r, kNoHeader);
    return;
  }
  if (r->headfile == nullptr) return;
  if (::isatty(::fileno(r->headfile))) {
    set_placeholder(r, kFromTty);
    return;
  }
  std::string text;
  text.reserve(3000);
  bool stopped_at_eot = false;
  for (;;) {
    const int c = std::getc(r->headfile);
    if (c == EOF) break;
    if (c == kEndOfTransmission) {
      stopped_at_eot = true;
      break;
    }
    if (text.size() >= kov::detail::kMaxHeaderBytes)
      koverr("the header %s of tag %s is longer than the limit of %zu MiB: not a history\n",
             r->headername.c_str(), r->tagname.c_str(), kov::detail::kMaxHeaderBytes >> 20);
    text.push_back(static_cast<char>(c));
  }
  // A header that exists but cannot be read (a directory, an I/O error) is
  // not an empty history: like an absent one it leaves the record invalid,
  // and its first lookup or transfer fails, naming the file and the reason.
  if (std::ferror(r->headfile)) {
    r->header_error = std::strerror(errno);
    std::clearerr(r->headfile);
    r->headerbuf.reset();
    r->hdrlen = 0;
    r->valid = 0;
    return;
  }
  r->hdrlen = static_cast<int>(text.size());
  r->headerbuf = std::move(text);
  if (r->hdrlen > 0 && stopped_at_eot) syncin(r);
}

extern "C" void kovstr_inout_head(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMINOUT || r->headername.empty())
    kov::detail::assertion("kovstr_inout_head", "record is not an in/out dataset");
  const std::string &name = r->headername;
  if (not_regular_name(name))
    koverr("Headername \"%s\" for tag \"%s\" cannot be opened as an in/out dataset because it "
           "is not a regular file \n",
           name.c_str(), r->tagname.c_str());
  struct stat st;
  const bool exists = ::stat(name.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) {
    kov::detail::syserr("kovstrinouthead, openfile()");
    koverr("Bad header name '%s' for tag %s \n", name.c_str(), r->tagname.c_str());
  }
  if (exists && st.st_size > 0) {
    r->headfile = std::fopen(name.c_str(), "r+");
    if (r->headfile == nullptr)
      koverr("Headername \"%s\" for tag \"%s\" cannot be opened read/write \n", name.c_str(),
             r->tagname.c_str());
    full_buffer(r->headfile);
    readhdr(r);
    if (!r->valid) return;
    std::fseek(r->headfile, 0, SEEK_END);
    const auto format = kov::detail::kovstrpar_string(r, "data_format");
    r->format_num = format ? get_format_num(format->c_str()) : 0;
  } else {
    r->headfile = std::fopen(name.c_str(), "w+");
    r->format_num = 0;
    r->hqlen = KOV_PUTCH_QUEUE_SIZE;
    const kov::detail::StoreMemoryScope scope(r->store_memory);
    r->hetch_queue = new_queue(r->hqlen);
  }
  if (r->headfile != nullptr)
    open_inoutstream(r);
  else
    r->valid = 0;
}

extern "C" void kovstr_scr_head(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMSCR)
    kov::detail::assertion("kovstr_scr_head", "record is not a scratch dataset");
  if (not_regular_name(r->headername))
    koverr("Headername \"%s\" for tag \"%s\" cannot be opened as a scratch dataset because it "
           "is not a regular file \n",
           r->headername.c_str(), r->tagname.c_str());
  r->headfile = std::fopen(r->headername.c_str(), "w+");
  r->format_num = 0;
  r->hqlen = KOV_PUTCH_QUEUE_SIZE;
  {
    const kov::detail::StoreMemoryScope scope(r->store_memory);
    r->hetch_queue = new_queue(r->hqlen);
  }
  if (r->headfile != nullptr)
    open_scrstream(r);
  else
    r->valid = 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kovstr_in_head)
KOV_PUBLIC_NAME(kovstr_inout_head)
KOV_PUBLIC_NAME(kovstr_scr_head)
KOV_PUBLIC_NAME(readhdr)
