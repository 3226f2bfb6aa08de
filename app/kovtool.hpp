// kovtool: what the dataset tools (kovinfo, kovpng, kov2segy) share: the
// description of the input dataset `in`, its data read in blocks with the
// size checked against the header, and output files that appear only once
// they are complete.
#ifndef KOV_APP_KOVTOOL_HPP
#define KOV_APP_KOVTOOL_HPP

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
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kovtool {

// A bounded lookup of the library: getch_n, hetch_n or fetch_n.
using Lookup = int (*)(const char *name, const char *type, void *dest, std::size_t room);

// The whole text of parameter `name` through `lookup`, however long;
// nothing when the name is not found.  The lookup cuts a text to the room
// it is given, so a text that fills the room is read again with more.
inline std::optional<std::string> text(Lookup lookup, const char *name) {
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

// One number of parameter `name` (type "d" into an int, "g" into a double)
// into `value`, left alone when the name is not found.  A list stores its
// first element.  Returns whether the name was found.
inline bool number(Lookup lookup, const char *name, int &value) {
  return lookup(name, "d", &value, 1) > 0;
}
inline bool number(Lookup lookup, const char *name, double &value) {
  return lookup(name, "g", &value, 1) > 0;
}

// The header file names given as plain words (without `=`).
inline std::vector<std::string> plain_arguments(int argc, char **argv) {
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i)
    if (std::strchr(argv[i], '=') == nullptr && argv[i][0] != '\0') names.emplace_back(argv[i]);
  return names;
}

// Fatal, naming the file and the system's reason, when the input header
// `name` is a file that cannot be read (a pipe command, a socket endpoint
// or a standard stream is left to the library).
inline void require_readable(const std::string &name) {
  if (name == "stdin" || name.find_first_of("|:") != std::string::npos) return;
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) koverr("%s: %s\n", name.c_str(), std::strerror(errno));
  struct stat st {};
  const bool directory = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
  ::close(fd);
  if (directory) koverr("%s: %s\n", name.c_str(), std::strerror(EISDIR));
}

// Capture the command line; a single plain word names the input header.
// Returns the name under which the input header is known.
inline std::string start(int argc, char **argv) {
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

struct Axis {
  int n = 1;
  double o = 0.0, d = 1.0;
  std::string label;
};

struct Description {
  std::vector<Axis> axes; // axis 1 first, up to the last one the header names
  int esize = 4;
  std::string format = "xdr_float";
  std::string location;           // the `in` entry of the header
  std::vector<std::string> files; // the data files; empty when the data follow the header
  std::int64_t samples = 0;       // product of the axis lengths
  std::int64_t bytes = 0;         // samples * esize
};

inline std::string header_text(const char *name) { return text(hetch_n, name).value_or(""); }

// The description of `in` from its header (and an `in=` on the command line,
// which overrides the header's as it does for the library).  Fatal when n1
// is missing or an axis length is not positive.
inline Description describe_input() {
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
    for (const std::string &f : desc.files) {
      struct stat st {};
      if (::stat(f.c_str(), &st) != 0)
        koverr("data file %s is missing: %s\n", f.c_str(), std::strerror(errno));
    }
  }
  return desc;
}

// Memory for bulk reads that starts on a page boundary.  The kernel copies
// into such memory markedly faster than into memory that starts a few bytes
// into a page, where the allocator puts its large blocks (on some
// processors a read takes half as long again).
class PageBlock {
public:
  explicit PageBlock(std::size_t bytes) : store_(bytes + kPage) {
    void *start = store_.data();
    std::size_t room = store_.size();
    std::align(kPage, bytes, start, room);
    block_ = {static_cast<char *>(start), bytes};
  }
  PageBlock(const PageBlock &) = delete;
  PageBlock &operator=(const PageBlock &) = delete;

  std::span<char> span() const { return block_; }
  char *data() const { return block_.data(); }
  std::size_t size() const { return block_.size(); }

private:
  static constexpr std::size_t kPage = 4096;
  std::vector<char> store_;
  std::span<char> block_;
};

// Reads the data of `in` in blocks and checks their amount against the
// header: fewer or more bytes than declared are fatal.
class BlockReader {
public:
  // `raw`: the bytes as stored, without the conversion of the data format.
  explicit BlockReader(const Description &desc, bool raw = false)
      : expected_(desc.bytes), read_(raw ? sreed_raw : sreed) {}

  // Fill `block` with the next bytes; returns how many (0 at the declared
  // end).  Fatal when the data end early.
  std::size_t next(std::span<char> block) {
    const std::int64_t left = expected_ - done_;
    const int want = static_cast<int>(std::min<std::int64_t>(left, std::ssize(block)));
    if (want == 0) return 0;
    int got = 0;
    while (got < want) {
      const int r = read_("in", block.data() + got, want - got);
      if (r <= 0) break;
      got += r;
    }
    done_ += got;
    if (got < want) short_data();
    return static_cast<std::size_t>(got);
  }

  // After the declared bytes: fatal when more data follow.
  void expect_end() {
    std::array<char, 4096> extra{};
    std::int64_t more = 0;
    for (int r; (r = read_("in", extra.data(), static_cast<int>(extra.size()))) > 0;) more += r;
    if (more > 0)
      koverr("the data are longer than the header says: %lld bytes declared, %lld more follow\n",
             static_cast<long long>(expected_), static_cast<long long>(more));
  }

  std::int64_t done() const { return done_; }

private:
  [[noreturn]] void short_data() const {
    koverr("the data are short: the header declares %lld bytes, only %lld are there\n",
           static_cast<long long>(expected_), static_cast<long long>(done_));
  }

  std::int64_t expected_;
  int (*read_)(const char *, void *, int);
  std::int64_t done_ = 0;
};

// Fatal unless the samples are 4-byte floats.
inline void require_floats(const Description &desc) {
  if (desc.esize != 4 || (desc.format != "xdr_float" && desc.format != "native_float"))
    koverr("needs 4-byte float samples, not data_format=%s esize=%d\n", desc.format.c_str(),
           desc.esize);
}

// Fatal unless the axes after the first `axes` all have length 1 and axis
// 2 has at least `min_n2` samples.
inline void require_axes(const Description &desc, std::size_t axes, int min_n2) {
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

// Slice `index` of a float dataset cut into slices of `slice` samples
// (axis 1 fastest).  The data before and after it are read and dropped,
// so that their amount is still checked while memory holds one slice.  The
// memory grows with the data read, so a header that declares more than is
// there ends with the short-data message, not with an allocation of its
// declared size.
inline std::vector<float> read_slice(const Description &desc, std::int64_t slice,
                                     std::int64_t index) {
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

// The whole float dataset, axis 1 fastest.
inline std::vector<float> read_floats(const Description &desc) {
  return read_slice(desc, desc.samples, 0);
}

// The file a path names after following symbolic links, also a link whose
// target does not exist yet; the path itself when it is not a link.
inline std::string link_target(std::string path) {
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

// An output file written under a temporary name in the same directory and
// renamed to its name by commit(); removed when not committed, also when
// the program ends through a fatal error or is stopped by SIGINT, SIGTERM
// or SIGHUP.  A name that is a symbolic link is written through to its
// target, the link left as it is; a name that exists and is not a regular
// file (a device, a pipe) is written directly.
class OutputFile {
public:
  explicit OutputFile(std::string path) : path_(std::move(path)), target_(link_target(path_)) {
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
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile() { discard(); }

  // The name to write to now.
  const std::string &path() const { return temp_; }
  const std::string &final_path() const { return path_; }

  void commit() {
    if (!direct_ && std::rename(temp_.c_str(), target_.c_str()) != 0)
      koverr("cannot rename %s to %s: %s\n", temp_.c_str(), target_.c_str(), std::strerror(errno));
    committed_ = true;
    pending().set = 0;
  }

  // Remove the temporary file (also from a fatal-error path, before exit).
  void discard() {
    if (!committed_ && !direct_ && !temp_.empty()) ::unlink(temp_.c_str());
    committed_ = true;
    pending().set = 0;
  }

private:
  // The temporary file not yet committed, removed by an exit through a
  // fatal error, which skips the destructors, or by a signal.  The name is
  // set before `set`, so a signal handler reads it whole.
  struct Pending {
    std::string name;
    volatile std::sig_atomic_t set = 0;
  };
  static Pending &pending() {
    static Pending p;
    return p;
  }
  static void remove_pending() {
    if (pending().set != 0) ::unlink(pending().name.c_str());
  }
  // Remove the file, then end as the signal would have ended the program.
  static void on_signal(int sig) {
    remove_pending();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
  }
  static bool install_cleanup() {
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

  static mode_t current_umask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
  }

  std::string path_, target_, temp_;
  bool direct_ = false;
  bool committed_ = false;
};

} // namespace kovtool

#endif
