// SPDX-License-Identifier: Apache-2.0
// The output header life cycle: open, history copy, title, data location,
// readiness for data, close.
#include "kovlib_internal.h"
#include "kovsock.h"
#include "outputs.h"
#include "streaminf.h"
#include "url_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kFollowHeader[] = "follow_hdr";

kov::detail::ReadyHook ready_hook = nullptr;

void require_output(const streaminf *r, const char *routine) {
  if (r == nullptr) kov::detail::assertion(routine, "null record");
  if (!kov::detail::is_output_kind(r)) kov::detail::assertion(routine, "tag is not an output");
}

std::FILE *open_outpipe(streaminf *r, const std::string &name) {
  if (name.empty() || name[0] != '|')
    koverr("output pipe command '%s' doesn't start with | for tag %s\n", name.c_str(),
           r->tagname.c_str());
  const std::string command = name.substr(1);
  std::fflush(nullptr);
  std::FILE *stream = ::popen(command.c_str(), "w");
  if (stream == nullptr) {
    kov::detail::syserr("kovstrhead:openpipe() ");
    koverr("error in opening output pipe %s for tag %s \n", command.c_str(), r->tagname.c_str());
  }
  r->isapipe = 1;
  return stream;
}

// A header sent through a socket endpoint (host:port connects, :port and
// ::path wait for the reader).
std::FILE *open_outsok(streaminf *r, const std::string &name) {
  const int fd = kov::detail::endpoint_connection(name);
  if (fd < 0)
    koverr("open_outsok(): open socket \"%s\" failed for tag \"%s\"\n", name.c_str(),
           r->tagname.c_str());
  std::FILE *stream = ::fdopen(fd, "w");
  if (stream == nullptr) {
    kov::detail::syserr("kovstrhead:open_outsok() ");
    ::close(fd);
    koverr("error in opening output socket \"%s\" for tag \"%s\" \n", name.c_str(),
           r->tagname.c_str());
  }
  r->isapipe = 1;
  return stream;
}

// Whether the command line gives a parameter with an empty value (the
// scanner keeps such a name without a value).
bool given_empty(const char *name) {
  if (kov::detail::getch_string(name)) return false; // also fills the store
  if (getch_queue == nullptr) return false;
  const hash_item *item =
      getpar_hash_lookup(getch_queue, getch_queue_size, name, static_cast<int>(std::strlen(name)));
  return item != nullptr && item->val == nullptr;
}

std::FILE *open_outfile(streaminf *r, const std::string &name) {
  struct stat st;
  if (::stat(name.c_str(), &st) != 0 && errno != ENOENT) {
    kov::detail::syserr("kovstrhead, openfile()");
    koverr("Bad header name '%s' for tag %s \n", name.c_str(), r->tagname.c_str());
  }
  // The header of out is written under a temporary name and put in place
  // when the program ends successfully.
  if (r->tagname == "out" && r->entrytype == STREAMOUT) {
    std::string temp;
    const int fd = kov::detail::create_pending(name, kov::detail::Commit::AtEnd, temp);
    if (fd >= 0) {
      std::FILE *stream = ::fdopen(fd, "w+");
      if (stream == nullptr) {
        const int error = errno;
        ::close(fd);
        kov::detail::discard_pending(temp);
        errno = error;
        return nullptr;
      }
      kov::detail::set_pending_header_name(name);
      return stream;
    }
    if (fd == -1) return nullptr;
  }
  // Read-write, so that a trailing line can be read back and replaced.
  std::FILE *stream = std::fopen(name.c_str(), "w+");
  if (stream == nullptr) stream = std::fopen(name.c_str(), "w");
  return stream;
}

// Pipe, socket or file, by the form of the name.
std::FILE *open_named(streaminf *r, const std::string &name) {
  if (name.find('|') != std::string::npos) return open_outpipe(r, name);
  if (kov::detail::is_endpoint_name(name)) return open_outsok(r, name);
  if (kov::detail::is_url(name)) return kov::detail::open_url_output_header(r, name);
  return open_outfile(r, name);
}

std::string user_name() {
  std::string user;
  if (const char *login = ::getlogin(); login != nullptr && *login != '\0') {
    user = login;
  } else if (const passwd *pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr) {
    user = pw->pw_name;
  }
  if (user.size() > 31) user.resize(31);
  return user;
}

std::string host_name() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return host;
}

// The current-environment line of a data name headed by a variable.  A
// variable that is not set is said so in words that the parameter scanner
// does not read as a value, so a reader resolves it in its own environment.
std::string environment_line(const std::string &dataname) {
  char *var = envhead(dataname.c_str());
  if (var == nullptr) return {};
  std::string name(var);
  std::free(var);
  std::optional<std::string> value;
  if (const char *env = std::getenv(name.c_str())) value = env;
  if (!value) value = kov::detail::getch_string(name.c_str());
  if (!value) return "\t\t current environment " + name + " is not set\n";
  return "\t\t current environment " + name + "=" +
         kov::detail::history_text(name.c_str(), *value) + "\n";
}

} // namespace

namespace kov::detail {

void set_ready_hook(ReadyHook hook) { ready_hook = hook; }

std::string make_title() {
  const char *program =
      (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr) ? kovxargv[0] : "";
  const std::time_t now = std::time(nullptr);
  char date[32] = {};
  ::ctime_r(&now, date);
  return std::string("\n\n") + program + ":   " + user_name() + "@" + host_name() + "   " + date;
}

} // namespace kov::detail

extern "C" int noheader(void) {
  const auto value = kov::detail::getch_string("noheader");
  return value && !value->empty() && (*value)[0] == 'y';
}

extern "C" char *maketitle(char *buffer) {
  const std::string title = kov::detail::make_title();
  std::memcpy(buffer, title.c_str(), title.size() + 1);
  return buffer;
}

extern "C" void kovstr_out_head(streaminf *r) {
  require_output(r, "kovstr_out_head");
  std::FILE *stream = nullptr;
  const std::string name = r->headername;
  if (name.find('|') != std::string::npos) {
    stream = open_outpipe(r, name);
  } else if (kov::detail::is_endpoint_name(name)) {
    stream = open_outsok(r, name);
  } else if (name == "stdout") {
    const auto head = kov::detail::getch_string("head");
    if ((head && head->empty()) || given_empty("head")) {
      stream = stdout; // given but empty: standard output, isapipe left alone
    } else {
      if (!head || *head == "stdout") {
        stream = stdout;
      } else if (*head == "stderr") {
        stream = stderr;
      } else {
        r->headername = *head;
        stream = open_named(r, *head);
      }
      if (stream == stdout || stream == stderr) r->isapipe = isapipe(::fileno(stream));
    }
  } else if (kov::detail::is_url(name)) {
    stream = kov::detail::open_url_output_header(r, name);
  } else {
    stream = open_outfile(r, name);
  }
  if (stream == nullptr) {
    r->valid = 0;
    return;
  }
  r->headfile = stream;
  if (stream == stdout && r->tagname == "out") kov::detail::header_on_stdout();

  r->format_num = 0;
  if (r->tagname == "out") {
    char format[KOV_LINE_MAX];
    if (kov::detail::getch_bounded("data_format", "s", format, sizeof format) > 0 ||
        hetch_n("data_format", "s", format, sizeof format) > 0) {
      r->format_num = get_format_num(format);
      if (r->format_num < 0)
        koverr("unknown data format: %s \n %s \n", format,
               "known types are xdr..., native.., cm..., and drawl");
    }
  }
  open_outstream(r);
  if (r->tagname == "out") kovstr_copyh(tag_info("in", TAG_IN), r);
}

extern "C" void write_title(streaminf *r) {
  require_output(r, "write_title");
  const std::string parameter = r->tagname + ".write_title";
  int wanted = 1;
  if (kov::detail::getch_bounded(parameter.c_str(), "d", &wanted, 1) == 0) wanted = 1;
  if (wanted == 1 && r->headfile != nullptr) {
    const std::string title = kov::detail::make_title();
    if (std::fputs(title.c_str(), r->headfile) < 0 || std::fflush(r->headfile) != 0) {
      kov::detail::syserr("write_title");
      koverr("write_title: unable to write to output header %s for tag %s\n", r->headername.c_str(),
             r->tagname.c_str());
    }
  }
  r->header_title = 1;
}

extern "C" void write_outname(streaminf *r) {
  require_output(r, "write_outname");
  if (r->header_outname) return;
  if (!r->header_title) write_title(r);
  const std::string dataname = r->dataname.value_or("");
  if (dataname == kFollowHeader) {
    // A reader takes only the word before "=" (in=stdin); the words ahead of
    // it stay as every header with following data has them.
    kovstrput(r, "kovstr_ready_out() : sets next in", "s", "stdin");
  } else {
    kovstrput(r, "sets next: in", "s", kov::detail::written_name(dataname).c_str());
    if (!dataname.empty() && dataname[0] == '$') {
      const std::string line = environment_line(dataname);
      if (std::fputs(line.c_str(), r->headfile) < 0 || std::fflush(r->headfile) != 0) {
        kov::detail::syserr("kovstrput()");
        koverr("kovstrput() I/O error on output header %s for tag %s\n", r->headername.c_str(),
               r->tagname.c_str());
      }
    }
  }
  r->header_outname = 1;
}

extern "C" void kovstr_ready_out(streaminf *r) {
  require_output(r, "kovstr_ready_out");
  if (r->ready_out) kov::detail::assertion("kovstr_ready_out", "header is already ready");
  if (!r->header_title) write_title(r);
  if (!r->header_outname) write_outname(r);
  if (ready_hook != nullptr) ready_hook(r, false);
  char *format = get_format_name(r->format_num);
  if (format != nullptr) {
    kovstrput(r, "data_format", "s", format);
    std::free(format);
  }
  if (r->dataname && *r->dataname == kFollowHeader) syncout(r);
  r->ready_out = 1;
  if (ready_hook != nullptr) ready_hook(r, true);
}

extern "C" int kovstr_hclose(streaminf *r) {
  require_output(r, "kovstr_hclose");
  if (r->headfile == nullptr) {
    std::fprintf(stderr,
                 "WARNING: Multiple closes of output header with tag \"%s\"\n or close called "
                 "after first write\n",
                 r->tagname.c_str());
    std::fflush(stderr);
    return 0;
  }
  if (!r->ready_out) kovstr_ready_out(r);
  if (r->dataname && *r->dataname == kFollowHeader) return 0;
  std::FILE *head = r->headfile;
  std::fputc('\n', head);
  kov::detail::forget_stream(head);
  r->headfile = nullptr;
  const bool standard = head == stdout || head == stderr;
  errno = 0;
  const bool written = std::fflush(head) == 0 && std::ferror(head) == 0;
  const int error = errno != 0 ? errno : EIO;
  // A close of a standard stream leaves its errors to the end of the run.
  if (!standard && std::fclose(head) != 0 && written)
    koverr("cannot close the output header %s for tag %s: %s\n", r->headername.c_str(),
           r->tagname.c_str(), std::strerror(errno));
  if (standard) std::fclose(head);
  if (!written)
    koverr("cannot write the output header %s for tag %s: %s\n", r->headername.c_str(),
           r->tagname.c_str(), std::strerror(error));
  return 0;
}

extern "C" void kovstr_copyh(streaminf *in, streaminf *out) {
  require_output(out, "kovstr_copyh");
  if (out->header_title)
    koverr("cannot copy header to output tag \"%s\" after it has been used \n",
           out->tagname.c_str());
  if (!kov::detail::stream_open(out->headfile) || in == nullptr || !in->headerbuf)
    koverr(" error copying header to output history\n");
  const std::string &text = *in->headerbuf;
  const std::size_t n = static_cast<std::size_t>(in->hdrlen);
  if (std::fwrite(text.data(), 1, n, out->headfile) != n || std::fflush(out->headfile) != 0) {
    kov::detail::syserr("kovstr_copyh()");
    koverr("I/O error writing output history\n");
  }
  write_outname(out);
}

extern "C" int kov_headername(const char *tag, char *name) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) koverr("requesting headername from tag(%s) where it is undefined \n", tag);
  // A header written under a temporary name is known by the name it will have.
  const bool pending = r->tagname == "out" && r->entrytype == STREAMOUT &&
                       kov::detail::pending_header_name().has_value();
  if (r->headfile != nullptr && !pending) {
    const int found = findnm(::fileno(r->headfile), name, 256);
    if (found < 0) koverr("trouble in findnm \n");
    if (found > 0) return 0;
  }
  std::snprintf(name, 257, "%s", r->headername.c_str());
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kov_headername)
KOV_PUBLIC_NAME(kovstr_copyh)
KOV_PUBLIC_NAME(kovstr_hclose)
KOV_PUBLIC_NAME(kovstr_out_head)
KOV_PUBLIC_NAME(kovstr_ready_out)
KOV_PUBLIC_NAME(maketitle)
KOV_PUBLIC_NAME(noheader)
KOV_PUBLIC_NAME(write_outname)
KOV_PUBLIC_NAME(write_title)
