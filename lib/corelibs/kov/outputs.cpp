// SPDX-License-Identifier: Apache-2.0
// Outputs that appear whole or not at all.  The header (when it is a named
// file) and the data files of the tag out are written under temporary names
// in their final directories; kov_commit_outputs, or an exit with status 0,
// renames them into place, data files first and the header last.  A fatal
// error, an exit with another status or a SIGINT, SIGTERM, SIGHUP or
// SIGPIPE removes them; a header on the standard output, which cannot be
// renamed, is truncated back to where it began when that is a regular file.
// A process killed outright leaves its temporaries; their names carry its
// pid, and the next write of the same name removes them once that process
// is gone.
#include "outputs.h"

#include "backends.h"
#include "kovlib_internal.h"
#include "streaminf.h"
#include "url_io.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using kov::detail::Commit;

constexpr int kFatalStatus = 23;
constexpr char kTempMark[] = ".kovtmp-";
// A final name longer than this is cut in its temporary's name, which must
// stay within the system's limit for one name.
constexpr std::size_t kMaxBaseInTemp = 200;

struct Entry {
  std::string temp, final;
  Commit when = Commit::AtEnd;
};

// The registered temporaries.  Changed only while the signals that remove
// them are blocked, so that a handler never sees the list half changed.
std::vector<Entry> entries;
std::optional<std::string> header_final;

// A header of out on the standard output that is a regular file, and the
// offset where it began.
volatile std::sig_atomic_t stdout_header = 0;
off_t stdout_start = 0;

// The process whose outputs these are: a forked child that exits or is
// stopped leaves its parent's files alone.
pid_t owner = 0;
bool exit_registered = false;
bool in_place = false;
bool in_exit_hook = false;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

class SignalBlock {
public:
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kSignals) sigaddset(&set, sig);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalBlock() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock &) = delete;
  SignalBlock &operator=(const SignalBlock &) = delete;

private:
  sigset_t old_;
};

// Only calls that are safe in a signal handler.
void discard_now() noexcept {
  if (owner != ::getpid()) return;
  for (const Entry &e : entries) ::unlink(e.temp.c_str());
  if (stdout_header != 0) {
    if (::ftruncate(STDOUT_FILENO, stdout_start) == 0)
      (void)::lseek(STDOUT_FILENO, stdout_start, SEEK_SET);
  }
}

void on_signal(int sig) {
  discard_now();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void at_exit(int status, void *) {
  if (owner != ::getpid()) return;
  if (status == 0) {
    in_exit_hook = true;
    kov_commit_outputs();
    in_exit_hook = false;
  }
  kov::detail::discard_outputs();
}

void install_hooks() {
  if (owner == ::getpid()) return;
  owner = ::getpid();
  if (!exit_registered) exit_registered = ::on_exit(at_exit, nullptr) == 0;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : kSignals) {
    // A signal that is ignored (a background job's SIGINT) stays ignored,
    // and one the program handles itself stays its own.
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) != 0 ||
        old.sa_handler != SIG_DFL)
      continue;
    ::sigaction(sig, &action, nullptr);
  }
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Removes the temporaries named `prefix`<pid>-... in `dir` whose process
// no longer runs.
void remove_stale(const std::string &dir, const std::string &prefix) {
  DIR *d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return;
  while (const dirent *e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (!name.starts_with(prefix)) continue;
    const std::string_view rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string_view::npos || dash == 0) continue;
    long pid = 0;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (ec != std::errc() || end != rest.data() + dash || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    (void)::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

std::vector<Entry>::iterator find_entry(const std::string &temp) {
  auto it = entries.begin();
  while (it != entries.end() && it->temp != temp) ++it;
  return it;
}

void forget_entry(std::vector<Entry>::iterator it) {
  SignalBlock block;
  entries.erase(it);
}

[[noreturn]] void commit_failed(const char *format, ...) KOV_PRINTF(1, 2);

void commit_failed(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = kov::detail::vformat(format, args);
  va_end(args);
  if (!in_exit_hook) koverr("%s", message.c_str());
  // Inside exit: the fatal path cannot be taken again.
  if (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr)
    std::fprintf(stderr, "%s: ", kovxargv[0]);
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  kov::detail::discard_outputs();
  ::_exit(kFatalStatus);
}

void rename_entry(const Entry &e) {
  if (std::rename(e.temp.c_str(), e.final.c_str()) != 0)
    commit_failed("cannot rename %s to %s: %s\n", e.temp.c_str(), e.final.c_str(),
                  std::strerror(errno));
}

// Data files first, the header last: a reader that finds the new header
// finds its data.
void rename_all_at_end() {
  for (const bool header : {false, true}) {
    for (std::size_t i = 0; i < entries.size();) {
      const Entry &e = entries[i];
      if (e.when != Commit::AtEnd || (header_final && e.final == *header_final) != header) {
        ++i;
        continue;
      }
      rename_entry(e);
      forget_entry(entries.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // Objects on a store, after the files of their kind.
    if (const auto failure = kov::detail::commit_url_outputs(header))
      commit_failed("%s\n", failure->c_str());
  }
}

} // namespace

namespace kov::detail {

std::string link_target(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) == target.size()) return path;
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    path = target.front() == '/' || slash == std::string::npos ? target
                                                               : path.substr(0, slash + 1) + target;
  }
  return path; // a loop: opening it reports the error
}

void set_outputs_in_place(bool value) { in_place = value; }

void commit_at_exit() {
  install_hooks();
  // Run before the static objects made so far are destroyed.
  (void)::on_exit(at_exit, nullptr);
}

int create_pending(const std::string &final, Commit when, std::string &temp) {
  if (in_place && when == Commit::AtEnd) return -2;
  const std::string target = link_target(final);
  struct stat st {};
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return -2;
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > kMaxBaseInTemp) base.resize(kMaxBaseInTemp);
  const std::string prefix = "." + base + kTempMark;
  remove_stale(dir, prefix);
  std::string name = dir + prefix + std::to_string(::getpid()) + "-XXXXXX";
  install_hooks();
  SignalBlock block;
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  (void)::fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~current_umask()));
  entries.push_back({name, target, when});
  temp = std::move(name);
  return fd;
}

void commit_pending(const std::string &temp) {
  const auto it = find_entry(temp);
  if (it == entries.end()) return;
  rename_entry(*it);
  forget_entry(it);
}

void discard_pending(const std::string &temp) {
  const auto it = find_entry(temp);
  if (it == entries.end()) return;
  ::unlink(it->temp.c_str());
  forget_entry(it);
}

void header_on_stdout() {
  if (in_place) return;
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::fflush(stdout);
  const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
  const off_t here = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
  if (here < 0) return;
  install_hooks();
  stdout_start = (flags >= 0 && (flags & O_APPEND) != 0) ? st.st_size : here;
  stdout_header = 1;
}

std::optional<std::string> pending_header_name() { return header_final; }

void set_pending_header_name(const std::string &final) { header_final = link_target(final); }

void discard_outputs() noexcept {
  if (owner != ::getpid()) return;
  // Bytes still held for the standard output would land after the cut.
  if (stdout_header != 0) std::fflush(stdout);
  {
    SignalBlock block;
    discard_now();
    entries.clear();
    stdout_header = 0;
  }
  discard_url_outputs();
}

} // namespace kov::detail

extern "C" int kov_commit_outputs(void) {
  kov::detail::drain_all_gathers();
  streaminf *out = tag_info("out", TAG_INQUIRE);
  if (out != nullptr && out->entrytype == STREAMOUT) {
    const std::string data = out->dataname.value_or("");
    if (out->ioinf != nullptr && out->close_func != nullptr &&
        (out->iotype == FD_IO || out->iotype == MULTI_FD_IO)) {
      errno = 0;
      if (out->close_func(out, out->ioinf) != 0)
        commit_failed("cannot close the data file %s: %s\n", data.c_str(), std::strerror(errno));
      out->ioinf = nullptr;
    }
    if (out->headfile != nullptr) {
      std::FILE *head = out->headfile;
      const bool own = header_final.has_value() && head != stdout && head != stderr;
      errno = 0;
      if (std::fflush(head) != 0 || std::ferror(head) != 0)
        commit_failed("cannot write the output header %s: %s\n", out->headername.c_str(),
                      std::strerror(errno != 0 ? errno : EIO));
      if (own) {
        kov::detail::forget_stream(head);
        out->headfile = nullptr;
        if (std::fclose(head) != 0)
          commit_failed("cannot close the output header %s: %s\n", out->headername.c_str(),
                        std::strerror(errno));
      }
    }
  }
  rename_all_at_end();
  stdout_header = 0;
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kov_commit_outputs)
