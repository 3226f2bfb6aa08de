// SPDX-License-Identifier: Apache-2.0
// kovtool: the input dataset's description and block reads, and output
// files that appear only once they are complete.
#include "kovtool.hpp"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kovtool {

std::optional<std::string> text(Lookup lookup, const char *name) {
  std::string buffer(256, '\0');
  for (;;) {
    if (lookup(name, "s", buffer.data(), buffer.size()) == 0) return std::nullopt;
    const std::size_t length = std::strlen(buffer.c_str());
    if (length + 1 < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(buffer.size() * 2, '\0');
  }
}

bool number(Lookup lookup, const char *name, int &value) {
  return lookup(name, "d", &value, 1) > 0;
}
bool number(Lookup lookup, const char *name, double &value) {
  return lookup(name, "g", &value, 1) > 0;
}

std::vector<std::string> plain_arguments(int argc, char **argv) {
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i)
    if (std::strchr(argv[i], '=') == nullptr && argv[i][0] != '\0') names.emplace_back(argv[i]);
  return names;
}

void require_readable(const std::string &name) {
  if (name == "stdin" || name.find('|') != std::string::npos || kov_is_socket_name(name.c_str()) ||
      kov_is_url(name.c_str()))
    return;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) koverr("%s: %s\n", name.c_str(), std::strerror(errno));
  struct stat st {};
  const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (directory) koverr("%s: %s\n", name.c_str(), std::strerror(EISDIR));
}

std::string start(int argc, char **argv) {
  initpar(argc, argv);
  const std::vector<std::string> names = plain_arguments(argc, argv);
  if (names.size() > 1) koverr("give at most one input header\n");
  if (names.size() == 1) {
    const std::string word = "stdin=" + names.front();
    getch_add_string(word.c_str());
  }
  if (auto name = text(getch_n, "stdin")) {
    require_readable(*name);
    return *name;
  }
  if (::isatty(STDIN_FILENO) == 1)
    koverr("no input: give a header file, stdin=file.H, or a header on standard input\n");
  return "standard input";
}

std::string header_text(const char *name) { return text(hetch_n, name).value_or(""); }

std::string unit_of_values() {
  if (auto unit = text(hetch_n, "barlabel")) return *unit;
  double velocity = 0.0;
  for (const char *name : {"v0", "v1", "v2"})
    if (!number(hetch_n, name, velocity)) return "";
  return "m/s";
}

Description describe_input() {
  Description desc;
  int n1 = 0;
  if (!number(hetch_n, "n1", n1)) koverr("the input header has no n1: not a dataset\n");
  std::vector<kov_axis> axes(9);
  char why[512];
  const int count = kov_header_axes("in", 9, axes.data(), why, sizeof why);
  if (count < 0) koverr("%s\n", why);
  for (int i = 0; i < count; ++i)
    desc.axes.push_back({axes[i].n, axes[i].o, axes[i].d, axes[i].label});
  number(hetch_n, "esize", desc.esize);
  if (desc.esize <= 0) koverr("esize=%d must be positive\n", desc.esize);
  const std::string format = header_text("data_format");
  if (!format.empty()) desc.format = format;
  desc.samples = 1;
  for (const Axis &a : desc.axes) {
    if (desc.samples > std::numeric_limits<std::int64_t>::max() / a.n)
      koverr("the axis lengths multiply to more samples than can be addressed\n");
    desc.samples *= a.n;
  }
  if (desc.samples > std::numeric_limits<std::int64_t>::max() / desc.esize)
    koverr("the dataset is larger than can be addressed\n");
  desc.bytes = desc.samples * desc.esize;

  if (auto in = text(getch_n, "in"))
    desc.location = *in;
  else
    desc.location = header_text("in");
  if (desc.location.empty()) koverr("the input header names no data (no in=)\n");
  if (desc.location != "stdin" && desc.location != "follow_hdr") {
    std::string_view rest = desc.location;
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find(';'), rest.size());
      if (end > 0) desc.files.emplace_back(rest.substr(0, end));
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    // Data behind a URL, or named from a header behind one, are looked at
    // when they are opened.
    const bool remote_header = kov_is_url(text(getch_n, "stdin").value_or("").c_str()) != 0;
    for (const std::string &f : desc.files) {
      if (remote_header || kov_is_url(f.c_str())) continue;
      struct stat st {};
      if (::stat(f.c_str(), &st) != 0)
        koverr("data file %s is missing: %s\n", f.c_str(), std::strerror(errno));
    }
  }
  return desc;
}

void data_short(std::int64_t declared, std::int64_t found) {
  koverr("the data are short: the header declares %lld bytes, only %lld are there\n",
         static_cast<long long>(declared), static_cast<long long>(found));
}

void data_longer(std::int64_t declared, std::int64_t more) {
  koverr("the data are longer than the header says: %lld bytes declared, %lld more follow\n",
         static_cast<long long>(declared), static_cast<long long>(more));
}

std::size_t BlockReader::next(std::span<char> block) {
  const std::size_t got = fill(block);
  if (short_) data_short(expected_, done_);
  return got;
}

std::size_t BlockReader::fill(std::span<char> block) {
  const std::int64_t left = expected_ - done_;
  const int want = static_cast<int>(std::min<std::int64_t>(left, std::ssize(block)));
  if (want == 0 || short_) return 0;
  int got = 0;
  while (got < want) {
    const int r = read_("in", block.data() + got, want - got);
    if (r <= 0) break;
    got += r;
  }
  done_ += got;
  if (got < want) short_ = true;
  return static_cast<std::size_t>(got);
}

void BlockReader::expect_end() {
  if (short_) data_short(expected_, done_);
  std::array<char, 4096> extra{};
  std::int64_t more = 0;
  for (int r; (r = read_("in", extra.data(), static_cast<int>(extra.size()))) > 0;) more += r;
  if (more > 0) data_longer(expected_, more);
}

void require_floats(const Description &desc) {
  if (desc.esize != 4 || (desc.format != "xdr_float" && desc.format != "native_float"))
    koverr("needs 4-byte float samples, not data_format=%s esize=%d\n", desc.format.c_str(),
           desc.esize);
}

void require_axes(const Description &desc, std::size_t axes, int min_n2) {
  const int n2 = desc.axes.size() < 2 ? 1 : desc.axes[1].n;
  if (n2 < min_n2) koverr("needs a two-dimensional dataset; this one has n2=%d\n", n2);
  for (std::size_t k = axes; k < desc.axes.size(); ++k) {
    if (desc.axes[k].n == 1) continue;
    if (axes == 2)
      koverr("needs a two-dimensional dataset; this one has n%zu=%d\n", k + 1, desc.axes[k].n);
    koverr("needs at most %zu axes longer than 1; this one has n%zu=%d\n", axes, k + 1,
           desc.axes[k].n);
  }
}

std::vector<float> read_slice(const Description &desc, std::int64_t slice, std::int64_t index) {
  std::vector<float> values;
  const std::int64_t first = slice * index * 4, last = first + slice * 4; // in bytes
  const PageBlock block(std::size_t{1} << 20);
  BlockReader reader(desc);
  for (std::int64_t at = 0;;) {
    const std::size_t got = reader.next(block.span());
    if (got == 0) break;
    const std::int64_t lo = std::max(at, first);
    const std::int64_t hi = std::min(at + static_cast<std::int64_t>(got), last);
    if (lo < hi) {
      values.resize(static_cast<std::size_t>((hi - first + 3) / 4));
      std::memcpy(reinterpret_cast<char *>(values.data()) + (lo - first), block.data() + (lo - at),
                  static_cast<std::size_t>(hi - lo));
    }
    at += static_cast<std::int64_t>(got);
  }
  reader.expect_end();
  return values;
}

std::string link_target(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) == target.size()) return path;
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    path = target.front() == '/' || slash == std::string::npos ? target
                                                               : path.substr(0, slash + 1) + target;
  }
  return path; // a loop: opening it reports the error
}

namespace {

// The temporary file not yet committed, removed by an exit through a fatal
// error, which skips the destructors, or by a signal.  The name is set before
// `set`, so a signal handler reads it whole.
struct Pending {
  std::string name;
  volatile std::sig_atomic_t set = 0;
};

Pending &pending() {
  static Pending p;
  return p;
}

void remove_pending() {
  if (pending().set != 0) ::unlink(pending().name.c_str());
}

// Remove the file, then end as the signal would have ended the program.
void on_signal(int sig) {
  remove_pending();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

bool install_cleanup() {
  std::atexit(remove_pending);
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    // A signal the caller's shell ignores (a background job's SIGINT)
    // stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
  return true;
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

} // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)), target_(link_target(path_)) {
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    direct_ = true;
    temp_ = path_;
    return;
  }
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string templ = dir + "." + base + ".XXXXXX";
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) koverr("cannot create %s: %s\n", path_.c_str(), std::strerror(errno));
  ::fchmod(fd, 0644 & ~current_umask());
  ::close(fd);
  temp_ = templ;
  Pending &p = pending();
  p.name = temp_;
  p.set = 1;
  static const bool registered = install_cleanup();
  (void)registered;
}

void OutputFile::commit() {
  if (!direct_ && std::rename(temp_.c_str(), target_.c_str()) != 0)
    koverr("cannot rename %s to %s: %s\n", temp_.c_str(), target_.c_str(), std::strerror(errno));
  committed_ = true;
  pending().set = 0;
}

void OutputFile::discard() {
  if (!committed_ && !direct_ && !temp_.empty()) ::unlink(temp_.c_str());
  committed_ = true;
  pending().set = 0;
}

} // namespace kovtool
