// SPDX-License-Identifier: Apache-2.0
// Outputs on an object store (s3://bucket/key).  The data of a tag go up
// while the program writes them, as a multipart upload in parts of bounded
// size (a few in flight), so that memory stays bounded for any size; a
// header is held in a memory file.  Nothing appears before the program ends
// successfully: then the uploads are completed (an object smaller than one
// part is put at once) and the headers put, data first.  A fatal error
// aborts the uploads; a process of our own, started with the first upload,
// aborts those left when this one ends any other way (a signal, kill -9).
// Web servers are read only.
#include "backends.h"
#include "kovlib_internal.h"
#include "outputs.h"
#include "streaminf.h"
#include "url_io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kov::detail {

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
// A part of an upload: the store takes at most 10000, each but the last at
// least 5 MiB.  Parts grow after every thousand, so that objects of many
// terabytes fit while small ones take little memory.
constexpr std::size_t kFirstPartBytes = 8 * kMiB;
constexpr int kMaxParts = 10000;
// Parts sent at once; the program waits for the oldest beyond that.
constexpr std::size_t kPartsInFlight = 3;
// How long the process that aborts the uploads of a stopped program works.
constexpr unsigned kJanitorSeconds = 120;

std::size_t part_bytes(int number) { return kFirstPartBytes << std::min(6, (number - 1) / 1000); }

struct Part {
  int number = 0;
  std::vector<char> body;
  std::unique_ptr<UrlCall> call;
};

enum class Stage { Open, Committed, Dropped };

// One object of this run: the data of a tag or a header.
struct Remote {
  std::string url, tag;
  std::optional<UrlTarget> target; // the settings of its tag, taken when it was opened
  bool header = false;
  bool by_caller = false; // committed by the caller alone
  Stage stage = Stage::Open;
  bool undo = false; // committed by the commit under way: removed if it fails later

  int fd = -1; // a header: our own descriptor of its memory file

  std::vector<char> buffer; // data: the part being filled
  long long written = 0;
  std::string upload_id;
  bool completing = false; // asked to complete: the object may be there
  int next_part = 1;
  std::deque<Part> sending;
  std::vector<std::string> etags; // of the parts sent, by number - 1
};

// The outputs of this run.  The hooks at exit may run after the list is
// gone (one registered before it was made): they find it empty then.
bool remotes_gone = false;
struct Remotes {
  std::vector<std::unique_ptr<Remote>> list;
  ~Remotes() { remotes_gone = true; }
};

bool outputs_by_caller = false;

std::vector<std::unique_ptr<Remote>> &remotes() {
  static Remotes all;
  static std::vector<std::unique_ptr<Remote>> none;
  return remotes_gone ? none : all.list;
}

const char *program_name() {
  return kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr ? kovxargv[0] : "kov";
}

std::string tag_of(const Remote &o) { return o.tag.empty() ? "" : " (tag \"" + o.tag + "\")"; }

// Characters that no key of ours holds: they would break the messages to
// the janitor and the histories.
void check_name(const std::string &url, const std::string &tag) {
  if (!url.starts_with("s3://"))
    koverr("%s: cannot write there for tag \"%s\": web servers are read only\n", url.c_str(),
           tag.c_str());
  const auto slash = url.find('/', 5);
  if (slash == 5 || slash == std::string::npos || slash + 1 == url.size())
    koverr("%s: an output on a store needs a bucket and a key (s3://bucket/key) for tag \"%s\"\n",
           url.c_str(), tag.c_str());
  for (const char c : url)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      koverr("%s: a control character in the name of an output for tag \"%s\"\n", url.c_str(),
             tag.c_str());
}

std::string query_value(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out.push_back(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    }
  }
  return out;
}

std::string xml_text(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out.push_back(c);
  }
  return out;
}

std::string element(const std::string &text, const char *name) {
  const std::string open = std::string("<") + name + ">", close = std::string("</") + name + ">";
  const auto a = text.find(open);
  if (a == std::string::npos) return "";
  const auto b = text.find(close, a);
  if (b == std::string::npos) return "";
  return text.substr(a + open.size(), b - a - open.size());
}

// --- the janitor ----------------------------------------------------------------------
// A process of its own (not a child: nobody waits for it) told of every
// upload begun and ended.  When this process is gone, or closed its end of
// the socket, it aborts the uploads still open and ends.

class Janitor {
public:
  void begun(const Remote &o) { say('+', o); }
  void ended(const Remote &o) { say('-', o); }

private:
  void say(char what, const Remote &o) {
    if (owner_ != ::getpid()) start();
    if (fd_ < 0) return;
    // The janitor reads no parameters and no files: it is told the
    // settings the upload was begun with.
    const std::string line =
        std::string(1, what) + o.upload_id + "\t" + o.url + "\t" + o.target->settings_line() + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return; // gone: the fatal path and the store's own rules are left
      done += static_cast<std::size_t>(n);
    }
  }

  void start();

  int fd_ = -1;
  pid_t owner_ = 0;
};

Janitor &janitor() {
  static Janitor j;
  return j;
}

// Closes every descriptor from 3 on but those in `keep` (sorted).
void close_all_but(std::vector<int> keep) {
  unsigned from = 3;
  for (const int fd : keep) {
    if (fd < 3) continue;
    if (static_cast<unsigned>(fd) > from)
      (void)::syscall(SYS_close_range, from, static_cast<unsigned>(fd) - 1, 0U);
    from = static_cast<unsigned>(fd) + 1;
  }
  (void)::syscall(SYS_close_range, from, ~0U, 0U);
}

[[noreturn]] void janitor_main(int sock, int parent) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::signal(sig, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  (void)::setsid();
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
  }
  std::vector<int> keep{sock, parent};
  std::sort(keep.begin(), keep.end());
  close_all_but(keep);
  url_forget_inherited_requests();
  std::map<std::string, std::string> open; // upload id -> URL and settings
  std::string held;
  std::vector<pollfd> fds{{sock, POLLIN, 0}};
  if (parent >= 0) fds.push_back({parent, POLLIN, 0});
  bool parent_gone = false;
  for (;;) {
    const int n = ::poll(fds.data(), fds.size(), parent_gone ? 0 : -1);
    if (n < 0 && errno == EINTR) continue;
    if (fds.size() > 1 && (fds[1].revents & POLLIN) != 0) parent_gone = true;
    char buffer[4096];
    const ssize_t got = (n > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0)
                            ? ::recv(sock, buffer, sizeof buffer, 0)
                            : (parent_gone ? ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT) : 0);
    if (got < 0 && errno == EINTR) continue;
    if (got > 0) {
      held.append(buffer, static_cast<std::size_t>(got));
      for (auto end = held.find('\n'); end != std::string::npos; end = held.find('\n')) {
        const std::string line = held.substr(0, end);
        held.erase(0, end + 1);
        const auto tab = line.find('\t');
        if (line.size() < 2 || tab == std::string::npos) continue;
        const std::string id = line.substr(1, tab - 1);
        if (line[0] == '+')
          open[id] = line.substr(tab + 1);
        else
          open.erase(id);
      }
      continue;
    }
    if (got == 0 || parent_gone || n < 0) break;
  }
  // Bounded: a store that does not answer, or a lock some thread of the
  // program held when this process was made, never keeps it for long.
  ::signal(SIGALRM, SIG_DFL);
  ::alarm(kJanitorSeconds);
  for (const auto &[id, where] : open) {
    const auto tab = where.find('\t');
    const std::string url = where.substr(0, tab);
    const UrlTarget target = UrlTarget::from_settings_line(
        url, tab == std::string::npos ? std::string() : where.substr(tab + 1));
    UrlCall abort(target, "DELETE", "uploadId=" + query_value(id), {});
    if (!abort.wait() && abort.status() != 404)
      std::fprintf(stderr, "%s: %s: the unfinished upload could not be aborted: %s\n",
                   program_name(), url.c_str(), abort.failure().c_str());
  }
  std::fflush(stderr);
  ::_exit(0);
}

void Janitor::start() {
  owner_ = ::getpid();
  fd_ = -1;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    return;
  }
  if (child == 0) {
    // Watches this process by a descriptor of its own, which tells when it
    // ends even while a child of it holds the socket.
    const int watch = static_cast<int>(::syscall(SYS_pidfd_open, parent, 0));
    ::close(pair[0]);
    const pid_t janitor = ::fork();
    if (janitor != 0) ::_exit(0);
    janitor_main(pair[1], watch);
  }
  ::close(pair[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  fd_ = pair[0];
}

// --- uploads -------------------------------------------------------------------------

[[noreturn]] void failed(const Remote &o, const UrlCall &call, const std::string &what) {
  fail_url(call.failure_code(), o.url, what + ": " + call.failure());
}

// The reason a commit failed on `call`, its kind kept for an embedding
// caller.
std::string commit_failed(const Remote &o, const UrlCall &call, const std::string &what) {
  note_url_failure(call.failure_code(), o.url);
  return o.url + ": " + what + ": " + call.failure();
}

// The same for a store that answered without what it had to give.
std::string commit_refused(const Remote &o, const std::string &what) {
  note_url_failure(EIO, o.url);
  return o.url + ": " + what;
}

void begin_upload(Remote &o) {
  UrlCall create(*o.target, "POST", "uploads=", {});
  if (!create.wait()) failed(o, create, "cannot begin the upload");
  o.upload_id = element(create.text(), "UploadId");
  if (o.upload_id.empty())
    fail_url(EIO, o.url, "cannot begin the upload: the store gave no upload id");
  janitor().begun(o);
}

void finish_part(Remote &o, Part &p) {
  if (!p.call->wait()) failed(o, *p.call, "cannot upload part " + std::to_string(p.number));
  if (p.call->etag().empty())
    fail_url(EIO, o.url,
             "cannot upload part " + std::to_string(p.number) + ": the store gave no ETag");
  if (o.etags.size() < static_cast<std::size_t>(p.number))
    o.etags.resize(static_cast<std::size_t>(p.number));
  o.etags[static_cast<std::size_t>(p.number - 1)] = p.call->etag();
}

// Sends the part being filled and starts a new one.
void send_part(Remote &o) {
  if (o.upload_id.empty()) begin_upload(o);
  if (o.next_part > kMaxParts)
    fail_url(EFBIG, o.url,
             "too large for one object of the store (" + std::to_string(kMaxParts) + " parts)" +
                 tag_of(o));
  while (o.sending.size() >= kPartsInFlight) {
    finish_part(o, o.sending.front());
    o.sending.pop_front();
  }
  Part p;
  p.number = o.next_part++;
  p.body = std::move(o.buffer);
  o.buffer = {};
  p.call = std::make_unique<UrlCall>(*o.target, "PUT",
                                     "partNumber=" + std::to_string(p.number) +
                                         "&uploadId=" + query_value(o.upload_id),
                                     std::span<const char>(p.body));
  p.call->start();
  o.sending.push_back(std::move(p));
}

// Makes the object of `o` appear; the reason when it cannot.
std::optional<std::string> commit_data(Remote &o) {
  if (o.upload_id.empty()) {
    UrlCall put(*o.target, "PUT", "", std::span<const char>(o.buffer));
    if (!put.wait()) return commit_failed(o, put, "cannot put the object");
  } else {
    if (!o.buffer.empty()) send_part(o);
    while (!o.sending.empty()) {
      Part &p = o.sending.front();
      if (!p.call->wait())
        return commit_failed(o, *p.call, "cannot upload part " + std::to_string(p.number));
      if (p.call->etag().empty())
        return commit_refused(o, "cannot upload part " + std::to_string(p.number) +
                                     ": the store gave no ETag");
      o.etags.resize(std::max(o.etags.size(), static_cast<std::size_t>(p.number)));
      o.etags[static_cast<std::size_t>(p.number - 1)] = p.call->etag();
      o.sending.pop_front();
    }
    std::string body = "<CompleteMultipartUpload>";
    for (std::size_t i = 0; i < o.etags.size(); ++i)
      body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" +
              xml_text(o.etags[i]) + "</ETag></Part>";
    body += "</CompleteMultipartUpload>";
    UrlCall complete(*o.target, "POST", "uploadId=" + query_value(o.upload_id),
                     std::span<const char>(body));
    o.completing = true;
    if (!complete.wait()) return commit_failed(o, complete, "cannot complete the upload");
    // The store may answer 200 and tell of a failure in the body.
    if (complete.text().find("<Error>") != std::string::npos) {
      const std::string code = element(complete.text(), "Code");
      return commit_refused(o, "cannot complete the upload: " + (code.empty() ? "an error" : code));
    }
    janitor().ended(o);
  }
  o.buffer = {};
  o.stage = Stage::Committed;
  o.undo = true;
  return std::nullopt;
}

std::optional<std::string> commit_header(Remote &o) {
  std::fflush(nullptr);
  std::string text;
  char chunk[65536];
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(o.fd, chunk, sizeof chunk, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      note_url_failure(error, o.url);
      return o.url + ": cannot read the header back: " + std::strerror(error);
    }
    if (n == 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  UrlCall put(*o.target, "PUT", "", std::span<const char>(text));
  if (!put.wait()) return commit_failed(o, put, "cannot put the header");
  ::close(o.fd);
  o.fd = -1;
  o.stage = Stage::Committed;
  o.undo = true;
  return std::nullopt;
}

// The first output on a store: what the commit at exit needs is made now,
// before the hook that commits is registered, so that it outlives it.
void first_output(const UrlTarget &target) {
  static bool done = false;
  if (done) return;
  done = true;
  (void)remotes();
  (void)janitor();
  { UrlCall touch(target, "HEAD", "", {}); }
  commit_at_exit();
}

Remote &add_remote(streaminf *r, const std::string &url, bool header) {
  check_name(url, r->tagname);
  UrlTarget target(url, r->tagname);
  first_output(target);
  for (const auto &o : remotes())
    if (o->url == url && o->stage == Stage::Open)
      fail_url(EEXIST, url, "written twice by this program" + tag_of(*o));
  auto o = std::make_unique<Remote>();
  o->url = url;
  o->tag = r->tagname;
  o->target = std::move(target);
  o->header = header;
  o->by_caller = outputs_by_caller;
  remotes().push_back(std::move(o));
  return *remotes().back();
}

Remote *state_of(streaminf *r, void *ioinf) {
  auto *o = static_cast<Remote *>(ioinf);
  if (o == nullptr) koverr("Invalid dataset for tag \"%s\"\n", r->tagname.c_str());
  return o;
}

int write_open(streaminf *r, void **ioinf) {
  const std::string url = r->dataname.value_or("");
  if (r->entrytype != STREAMOUT && r->entrytype != STREAMSOCKOUT)
    koverr("%s: an object of a store cannot be read and written in place (tag \"%s\")\n",
           url.c_str(), r->tagname.c_str());
  Remote &o = add_remote(r, url, false);
  r->backseekable = 0;
  r->isapipe = 0;
  r->streamfd = -1;
  r->streamfile = nullptr;
  *ioinf = &o; // owned by the list of outputs, committed or aborted at the end
  return 0;
}

int write_close(streaminf *r, void *ioinf) {
  if (r != nullptr && r->ioinf == ioinf) r->ioinf = nullptr;
  return 0;
}

long write_read(streaminf *r, void *, char *, long) {
  koverr("%s: an output on a store cannot be read back (tag \"%s\")\n",
         r->dataname.value_or("").c_str(), r->tagname.c_str());
}

long write_write(streaminf *r, void *ioinf, const char *buffer, long nbytes) {
  Remote &o = *state_of(r, ioinf);
  if (o.stage != Stage::Open)
    koverr("%s: written after the outputs were committed%s\n", o.url.c_str(), tag_of(o).c_str());
  if (nbytes <= 0) return 0;
  std::size_t done = 0;
  const auto total = static_cast<std::size_t>(nbytes);
  while (done < total) {
    const std::size_t room = part_bytes(o.next_part);
    if (o.buffer.capacity() < room) o.buffer.reserve(room);
    const std::size_t take = std::min(total - done, room - o.buffer.size());
    o.buffer.insert(o.buffer.end(), buffer + done, buffer + done + take);
    done += take;
    if (o.buffer.size() == room) send_part(o);
  }
  o.written += nbytes;
  return nbytes;
}

kov_off_t write_seek(streaminf *r, void *ioinf, kov_off_t offset, int whence) {
  Remote &o = *state_of(r, ioinf);
  long long to = offset;
  if (whence == 1 || whence == 2) to += o.written;
  if (to != o.written)
    fail_url(ESPIPE, o.url,
             "an object of a store is written in order: cannot go to byte " + std::to_string(to) +
                 " of it (at " + std::to_string(o.written) + ")" + tag_of(o));
  return static_cast<kov_off_t>(o.written);
}

kov_file_size_t write_size(streaminf *r, void *ioinf) {
  return static_cast<kov_file_size_t>(state_of(r, ioinf)->written);
}

void drop(Remote &o) noexcept {
  try {
    if (o.stage == Stage::Open && !o.header && !o.upload_id.empty()) {
      o.sending.clear(); // stops the transfers
      UrlCall abort(*o.target, "DELETE", "uploadId=" + query_value(o.upload_id), {});
      if (abort.wait() || abort.status() == 404) janitor().ended(o);
      if (o.completing) {
        UrlCall remove(*o.target, "DELETE", "", {});
        (void)remove.wait();
      }
    } else if (o.stage == Stage::Committed && o.undo) {
      UrlCall remove(*o.target, "DELETE", "", {});
      (void)remove.wait();
    }
  } catch (...) {
    // An embedding caller's fatal handler: the janitor is left to abort.
  }
  if (o.fd >= 0) ::close(o.fd);
  o.fd = -1;
  o.buffer = {};
  o.stage = Stage::Dropped;
}

} // namespace

void init_url_write_io(streaminf *r) {
  r->open_func = write_open;
  r->close_func = write_close;
  r->read_func = write_read;
  r->write_func = write_write;
  r->seek_func = write_seek;
  r->size_func = write_size;
}

std::FILE *open_url_output_header(streaminf *r, const std::string &url) {
  Remote &o = add_remote(r, url, true);
  const int fd = ::memfd_create("kov-output-header", MFD_CLOEXEC);
  if (fd < 0) koverr("%s: cannot hold the header: %s\n", url.c_str(), std::strerror(errno));
  o.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  std::FILE *stream = o.fd >= 0 ? ::fdopen(fd, "w+") : nullptr;
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    koverr("%s: cannot hold the header: %s\n", url.c_str(), std::strerror(error));
  }
  return stream;
}

std::optional<std::string> commit_url_outputs(bool headers) {
  for (const auto &o : remotes()) {
    if (o->header != headers || o->stage != Stage::Open || o->by_caller) continue;
    if (auto failure = headers ? commit_header(*o) : commit_data(*o)) return failure;
  }
  // Everything is in place: nothing of it is removed any more.
  if (headers)
    for (const auto &o : remotes()) o->undo = false;
  return std::nullopt;
}

void discard_url_outputs() noexcept {
  static bool busy = false;
  if (busy) return;
  busy = true;
  for (const auto &o : remotes()) drop(*o);
  busy = false;
}

void set_url_outputs_explicit(bool value) { outputs_by_caller = value; }

namespace {

Remote *find_remote(const std::string &url) {
  for (auto it = remotes().rbegin(); it != remotes().rend(); ++it)
    if ((*it)->url == url && (*it)->stage != Stage::Dropped) return it->get();
  return nullptr;
}

} // namespace

std::optional<std::string> commit_url_output(const std::string &url) {
  Remote *o = find_remote(url);
  if (o == nullptr || o->stage != Stage::Open) return url + ": no output of this run to commit";
  auto failure = o->header ? commit_header(*o) : commit_data(*o);
  o->undo = false; // the caller undoes what it committed
  return failure;
}

void discard_url_output(const std::string &url) noexcept {
  Remote *o = find_remote(url);
  if (o == nullptr) return;
  o->undo = true;
  drop(*o);
}

bool url_default_datapath(const std::string &header, std::string &path) {
  if (!header.starts_with("s3://") || getch_string("datapath")) return false;
  if (const char *env = std::getenv("DATAPATH"); env != nullptr && *env != '\0') return false;
  path = header.substr(0, header.rfind('/') + 1);
  return true;
}

} // namespace kov::detail
