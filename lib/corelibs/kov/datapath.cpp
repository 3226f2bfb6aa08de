// SPDX-License-Identifier: Apache-2.0
// Where the binary data of output datasets go: the datapath, the names of
// data files and multi-file data sets, and the expansion of names that start
// with an environment variable or are relative to the current directory.
#include "kovlib_internal.h"
#include "outputs.h"
#include "streaminf.h"
#include "url_io.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <new>
#include <optional>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

// Longest path text held anywhere here, terminator excluded.
constexpr std::size_t kMaxPath = 4095;
// Longest host name of a datapath file item.
constexpr std::size_t kMaxHost = 254;
// Longest name of the per-user datapath file.
constexpr std::size_t kMaxHomeName = 99;
// Largest number of files of a multi-file data set.
constexpr int kMaxFiles = 1000;
// Default sizes of multi-file data sets, in megabytes.
constexpr int kDefaultFileSize = 999999;
constexpr int kDefaultDirSize = 9999000;

// The datapath used when data names are decided.
char datpth[kMaxPath + 1] = "";

struct FileCloser {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct DirCloser {
  void operator()(DIR *d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

void cut(std::string &text, std::size_t max) {
  if (text.size() > max) text.resize(max);
}

// Copy a text into a caller's buffer of kMaxPath + 1 bytes.
void copy_out(const std::string &text, char *buffer) {
  const std::size_t n = std::min(text.size(), kMaxPath);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

std::string_view tail_of(std::string_view name) {
  const auto slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// --- the datapath file ------------------------------------------------------

std::vector<std::string> words_of(std::FILE *file) {
  std::vector<std::string> words;
  std::string word;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word.push_back(static_cast<char>(c));
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// Read "datapath=<path>" at word `at`; as with a scanned "%s" after the
// literal, a bare "datapath=" takes the following word as the path.
std::optional<std::string> path_item(const std::vector<std::string> &words, std::size_t &at) {
  constexpr std::string_view key = "datapath=";
  if (at >= words.size() || words[at].compare(0, key.size(), key) != 0) return std::nullopt;
  std::string path = words[at].substr(key.size());
  ++at;
  if (path.empty()) {
    if (at >= words.size()) return std::nullopt;
    path = words[at++];
  }
  cut(path, kMaxPath);
  return path;
}

std::string short_node_name() {
  struct utsname host;
  if (::uname(&host) != 0) {
    kov::detail::syserr("trying to get hostname");
    koverr(" Error calling uname ");
  }
  std::string node = host.nodename;
  const auto end = node.find_first_of(". ");
  if (end != std::string::npos) node.resize(end);
  return node;
}

// The path of a datapath file: its first item, replaced by the path of every
// later item for this machine.  Closes the file.
std::string read_datapath_file(std::FILE *file) {
  if (file == nullptr) koverr(" Error reading .datapath file");
  std::vector<std::string> words;
  {
    FilePtr owned(file);
    words = words_of(owned.get());
  }
  std::size_t at = 0;
  std::optional<std::string> path = path_item(words, at);
  if (!path) koverr(" Error reading .datapath file");
  const std::string node = short_node_name();
  while (at < words.size()) {
    const std::string &host = words[at++];
    std::optional<std::string> item = path_item(words, at);
    if (!item) break; // not a "host datapath=path" item: the rest is not read
    if (host.size() <= kMaxHost && host == node) path = std::move(item);
  }
  return *path;
}

std::optional<std::string> user_name() {
  if (const char *login = ::getlogin(); login != nullptr && *login != '\0') return login;
  if (const char *user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
  if (const struct passwd *pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
    return pw->pw_name;
  return std::nullopt;
}

// The directory of the default datapath: "/tmp/" and the user, with the
// usual doubled slash.  Made when missing, private to the user; refused when
// another user could have put it there or could change what is in it, since
// /tmp is shared.
void prepare_default_directory(const std::string &dir) {
  const auto refuse = [&](const char *reason) {
    koverr("refusing the data directory %s: %s (set datapath= or DATAPATH to a directory you "
           "own)\n",
           dir.c_str(), reason);
  };
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) ||
        ::lstat(dir.c_str(), &st) != 0)
      koverr("cannot create the data directory %s: %s (set datapath= or DATAPATH to a directory "
             "you can write)\n",
             dir.c_str(), std::strerror(errno));
  }
  if (S_ISLNK(st.st_mode)) refuse("it is a symbolic link");
  if (!S_ISDIR(st.st_mode)) refuse("it is not a directory");
  if (st.st_uid != ::geteuid()) refuse("it belongs to another user");
  if ((st.st_mode & S_IWOTH) != 0) refuse("other users can write to it");
}

// The datapath by its search order; nothing when no user name is found.
// The directory of the default is made ready for use.
std::optional<std::string> find_datapath() {
  if (auto param = kov::detail::getch_string("datapath")) return param;
  if (const char *env = std::getenv("DATAPATH"); env != nullptr && *env != '\0')
    return std::string(env);
  if (std::FILE *local = std::fopen("./.datapath", "re")) return read_datapath_file(local);
  if (const char *home = std::getenv("HOME"); home != nullptr) {
    // A name too long to build is not looked for.
    const std::string name = std::string(home) + "/.datapath";
    if (name.size() <= kMaxHomeName) {
      if (std::FILE *own = std::fopen(name.c_str(), "re")) return read_datapath_file(own);
    }
  }
  // "%s/%s/_" of "/tmp/" and the user: the doubled slash is the usual form.
  if (auto user = user_name()) {
    // A name that is not one plain word would lead out of /tmp.
    if (user->find('/') != std::string::npos || *user == "." || *user == "..")
      koverr("refusing the user name \"%s\" for the default datapath (set datapath= or "
             "DATAPATH)\n",
             user->c_str());
    const std::string dir = kov::detail::default_datapath_root + "/" + *user;
    prepare_default_directory(dir);
    return dir + "/_";
  }
  return std::nullopt;
}

// Fill datpth and return it.
const char *current_datapath() {
  if (auto path = find_datapath()) copy_out(*path, datpth);
  return datpth;
}

// --- names --------------------------------------------------------------------

std::string current_directory() {
  std::vector<char> dir(kMaxPath + 1, '\0');
  if (::getcwd(dir.data(), dir.size()) == nullptr) {
    kov::detail::syserr("fullnm:");
    koverr("fullnm(): %d, %s\n", static_cast<int>(dir.size()), dir.data());
  }
  std::string_view text(dir.data());
  if (text.starts_with("/tmp_mnt")) text.remove_prefix(8); // automounter prefix
  return std::string(text);
}

// The name with the current directory in front, unless it is absolute or
// starts with a variable; cut to kMaxPath characters.
std::string absolute_name(std::string name) {
  cut(name, kMaxPath);
  if (name.starts_with("./") || name.starts_with('/') || name.starts_with('$') ||
      kov::detail::is_url(name))
    return name;
  std::string full = current_directory() + "/" + name;
  cut(full, kMaxPath);
  return full;
}

std::string random_name(const std::string &in) {
  std::string name = in + "XXXXXX";
  if (kov::detail::is_url(in)) {
    // An object: nothing to reserve, six random letters as a file would get.
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[6] = {};
    if (::getentropy(random, sizeof random) != 0)
      for (unsigned char &c : random) c = static_cast<unsigned char>(std::rand());
    for (std::size_t i = 0; i < sizeof random; ++i)
      name[in.size() + i] = kLetters[random[i] % (sizeof kLetters - 1)];
    return name;
  }
  // The file is made only to reserve a unique name; when the directory is
  // unusable the name keeps what the generator left, and opening the data
  // there reports the trouble.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    ::unlink(name.c_str());
  }
  return name;
}

// A list of integers from the command line: given values, then the last of
// them (or the default) for every later position.
class SizeList {
public:
  SizeList(const char *name, int fallback) : values_(kMaxFiles, fallback) {
    const int n = kov::detail::getch_bounded(name, "d", values_.data(), kMaxFiles);
    given_ = std::clamp(n, 0, kMaxFiles);
    fill_ = given_ > 0 ? values_[given_ - 1] : fallback;
  }
  long long operator[](int i) const { return i < given_ ? values_[i] : fill_; }

private:
  std::vector<int> values_;
  int given_ = 0;
  int fill_ = 0;
};

std::vector<std::string> prefixes_of(std::string_view path) {
  std::vector<std::string> prefixes;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find(';', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) prefixes.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  // An empty datapath puts the data in the current directory.
  if (prefixes.empty()) prefixes.emplace_back();
  return prefixes;
}

std::string make_names(std::string_view path, std::string_view base, int randit) {
  int nfiles = 1;
  (void)kov::detail::getch_bounded("nfiles", "d", &nfiles, 1);
  // Message kept as it always read ("to large"): scripts match it as it stands.
  if (nfiles > kMaxFiles) koverr("nfiles to large, max %d \n", kMaxFiles);
  const SizeList dirsize("dirsize", kDefaultDirSize);
  const SizeList filesize("filesize", kDefaultFileSize);

  std::string list;
  int i = 0;
  int k = 0;
  for (const std::string &prefix : prefixes_of(path)) {
    long long used = 0;
    do {
      std::string name = prefix;
      name += base;
      name += '@';
      if (i != 0) name += std::to_string(i);
      name = absolute_name(std::move(name));
      if (randit == 1) name = random_name(name);
      if (!list.empty()) list += ';';
      list += name;
      used += filesize[i];
      ++i;
    } while (used < dirsize[k] && i < nfiles);
    ++k;
  }
  return list;
}

std::optional<std::string> env_head(std::string_view name) {
  if (!name.starts_with('$')) return std::nullopt;
  name.remove_prefix(1);
  return std::string(name.substr(0, name.find('/')));
}

std::string expand(std::string_view name, streaminf *record) {
  const std::optional<std::string> var = env_head(name);
  if (!var) return std::string(name);
  std::optional<std::string> value;
  if (const char *env = std::getenv(var->c_str()); env != nullptr) value = env;
  if (!value) value = kov::detail::getch_string(var->c_str());
  if (!value && record != nullptr) value = kov::detail::kovstrpar_string(record, var->c_str());
  if (!value) koverr("Unable to obtain pathname variable %s\n", var->c_str());
  cut(*value, kMaxPath);
  const std::size_t rest = 1 + var->size();
  return *value + std::string(name.substr(rest));
}

// The name of the open file in the current directory: its length, 0 when
// it is not there, -1 on error.
int name_in_cwd(int fd, std::string &found) {
  found.clear();
  struct stat file_st;
  struct stat dir_st;
  if (::fstat(fd, &file_st) != 0 || ::stat(".", &dir_st) != 0) {
    kov::detail::syserr("findnm");
    return -1;
  }
  if (file_st.st_dev != dir_st.st_dev) return 0;
  DirPtr dir(::opendir("."));
  if (!dir) return -1;
  while (const struct dirent *entry = ::readdir(dir.get())) {
    if (entry->d_ino == file_st.st_ino) {
      found = entry->d_name;
      return static_cast<int>(found.size());
    }
  }
  return 0;
}

// Whether the directory of a file name is the current directory.
bool in_cwd(const std::string &name) {
  const auto slash = name.rfind('/');
  if (slash == std::string::npos) return true;
  const std::string dir = slash == 0 ? "/" : name.substr(0, slash);
  struct stat dir_st;
  struct stat cwd_st;
  return ::stat(dir.c_str(), &dir_st) == 0 && ::stat(".", &cwd_st) == 0 &&
         dir_st.st_dev == cwd_st.st_dev && dir_st.st_ino == cwd_st.st_ino;
}

std::optional<std::string> header_base(streaminf *record) {
  std::optional<std::string> name;
  if (auto final = kov::detail::pending_header_name(); final && record->tagname == "out") {
    // A header written under a temporary name: named as it will be.
    if (auto head = kov::detail::getch_string("head"))
      name = std::move(head);
    else if (in_cwd(*final))
      name = std::move(final);
  } else if (auto head = kov::detail::getch_string("head")) {
    struct stat st;
    if (kov::detail::is_url(*head) || (::stat(head->c_str(), &st) == 0 && S_ISREG(st.st_mode)))
      name = std::move(head);
  }
  if (!name && !kov::detail::pending_header_name()) {
    std::string found;
    if (name_in_cwd(::fileno(record->headfile), found) > 0) name = std::move(found);
  }
  if (!name) return std::nullopt;
  std::string base(tail_of(*name));
  if (base.starts_with('H')) base.erase(0, 1);
  return base;
}

// Wrap the work of a routine that hands out a new string: running out of
// memory on the way is fatal with the routine's message.
template <class F> auto or_fatal(const char *message, F work) {
  try {
    return work();
  } catch (const std::bad_alloc &) {
    koverr("%s", message);
  }
}

} // namespace

namespace {

// A name that stands for a file relative to some directory: not absolute,
// not headed by a variable, not a stream, an endpoint or "none" (-1).
bool is_relative_file(std::string_view name) {
  if (name.empty() || name.starts_with('/') || name.starts_with('$') || name == "stdin" ||
      name == "follow_hdr" || name == "stdout" || name == "-1" ||
      name.find('|') != std::string_view::npos || kov::detail::is_url(name))
    return false;
  return kov_is_socket_name(std::string(name).c_str()) == 0;
}

// Apply `each` to every part of a list of names separated by ';'.
template <class F> std::string each_part(std::string_view list, F each) {
  std::string out;
  for (;;) {
    const std::size_t end = std::min(list.find(';'), list.size());
    out += each(list.substr(0, end));
    if (end == list.size()) return out;
    out += ';';
    list.remove_prefix(end + 1);
  }
}

// The directory of the record's header file ("" for the current one), or
// nothing when the header is a pipe or a socket.  A standard input
// redirected from a file is that file.
std::optional<std::string> header_directory(const streaminf *record) {
  const std::string &header = record->headername;
  // A header behind a URL: names relative to it are objects beside it.
  if (kov::detail::is_url(header)) return header.substr(0, header.rfind('/') + 1);
  if (header == "stdin") {
    const int fd = record->headfile != nullptr ? ::fileno(record->headfile) : 0;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::vector<char> target(kMaxPath + 1, '\0');
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t len = ::readlink(link.c_str(), target.data(), target.size() - 1);
    if (len <= 0 || target[0] != '/') return std::nullopt;
    const std::string path(target.data(), static_cast<std::size_t>(len));
    return path.substr(0, path.rfind('/') + 1);
  }
  if (!is_relative_file(header) && !header.starts_with('/')) return std::nullopt;
  const std::size_t slash = header.rfind('/');
  return slash == std::string::npos ? std::string() : header.substr(0, slash + 1);
}

bool exists(const std::string &name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0;
}

} // namespace

namespace kov::detail {
std::string default_datapath_root = "/tmp/";

std::string written_name(std::string_view name) {
  return each_part(name, [](std::string_view part) {
    // The name is kept whole after the directory ("/d/./x@"): a caller that
    // looks for the name it gave in the header still finds it.
    if (!is_relative_file(part)) return std::string(part);
    return current_directory() + "/" + std::string(part);
  });
}

std::string history_name(const streaminf *record, std::string_view name) {
  const std::optional<std::string> dir = record != nullptr ? header_directory(record) : "";
  if (!dir || dir->empty()) return std::string(name);
  return each_part(name, [&](std::string_view part) {
    if (!is_relative_file(part)) return std::string(part);
    std::string beside = *dir + std::string(part);
    if (kov::detail::is_url(beside)) return beside;
    // A file written before names were absolute, from the directory the
    // reader is in, stays readable from there.
    if (!exists(beside) && exists(std::string(part))) return std::string(part);
    return beside;
  });
}
} // namespace kov::detail

extern "C" char *datapath(char *buffer) {
  if (buffer == nullptr) return nullptr;
  if (auto path = find_datapath()) copy_out(*path, buffer);
  return buffer;
}

extern "C" void readpath(FILE *file, char *buffer) {
  const std::string path = read_datapath_file(file);
  if (buffer != nullptr) copy_out(path, buffer);
}

extern "C" char *makenames(const char *path, const char *base, int randit) {
  return kov::detail::heap_copy(
      make_names(path != nullptr ? path : "", base != nullptr ? base : "", randit));
}

extern "C" void open_outstream(streaminf *record) {
  if (record == nullptr) kov::detail::assertion("open_outstream", "null record");
  if (record->entrytype != STREAMOUT)
    kov::detail::assertion("open_outstream", "record is not an output");
  if (record->headfile == nullptr)
    kov::detail::assertion("open_outstream", "output header not open");

  // The parameters out and head name the data of the tag out only; other
  // outputs are named from their own header, so that two outputs never
  // share one data file.
  if (record->tagname != "out") {
    outname(record);
    init_io(record);
    return;
  }
  const int headfd = ::fileno(record->headfile);
  if (auto out = kov::detail::getch_string("out")) {
    if (*out != "stdout")
      record->dataname = absolute_name(std::move(*out));
    else
      record->dataname = headfd == STDOUT_FILENO ? "follow_hdr" : "stdout";
  } else if (record->isapipe || isapipe(headfd)) {
    record->dataname = "follow_hdr";
  } else if (std::string beside; kov::detail::url_default_datapath(record->headername, beside)) {
    // A header on a store keeps its data beside it unless told otherwise.
    record->dataname = make_names(beside, tail_of(record->headername), 0);
  } else if (const std::string path = current_datapath(); path == "stdout") {
    record->dataname = "follow_hdr";
  } else if (auto base = header_base(record)) {
    record->dataname = make_names(path, *base, 0);
  } else {
    // A header file that cannot be named from here: unique names after the
    // program.
    const char *prog =
        (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr) ? kovxargv[0] : "";
    record->dataname = make_names(path, tail_of(prog), 1);
  }
  init_io(record);
}

extern "C" void outname(streaminf *record) {
  if (record == nullptr) kov::detail::assertion("outname", "null record");
  const std::string param = record->tagname + ".out";
  if (auto given = kov::detail::getch_string(param.c_str())) {
    record->dataname = std::move(given);
  } else if (record->isapipe) {
    record->dataname = "follow_hdr";
  } else if (std::string beside; kov::detail::url_default_datapath(record->headername, beside)) {
    record->dataname = make_names(beside, tail_of(record->headername), 0);
  } else {
    const std::string path = current_datapath();
    record->dataname = make_names(path, tail_of(record->headername), 0);
  }
}

extern "C" char *expand_name(const char *name) {
  return kov::detail::heap_copy(absolute_name(name != nullptr ? name : ""));
}

extern "C" int fullnm(char *string, int maxlen) {
  if (string == nullptr) return 0;
  const std::string dir = current_directory();
  if (string[0] == '/' || string[0] == '$') return 0;
  if (maxlen <= 0) return static_cast<int>(std::strlen(string));
  const std::string full = dir + "/" + string;
  const std::size_t keep = std::min(full.size(), static_cast<std::size_t>(maxlen) - 1);
  std::memcpy(string, full.data(), keep);
  string[keep] = '\0';
  return static_cast<int>(full.size() - keep);
}

extern "C" char *envhead(const char *name) {
  if (name == nullptr) return nullptr;
  return or_fatal("envhead() unable to allocate work buffer", [&]() -> char * {
    const auto var = env_head(name);
    return var ? kov::detail::heap_copy(*var) : nullptr;
  });
}

extern "C" char *expand_info(const char *name, streaminf *record) {
  if (name == nullptr) return nullptr;
  return or_fatal("expandnm() unable to allocate work buffer",
                  [&] { return kov::detail::heap_copy(expand(name, record)); });
}

extern "C" char *expandnm(const char *name, const char *tag) {
  streaminf *record = tag != nullptr ? tag_info(tag, TAG_IN) : nullptr;
  if (name == nullptr || record == nullptr) return expand_info(name, record);
  return expand_info(kov::detail::history_name(record, name).c_str(), record);
}

extern "C" int findnm(int fd, char *buffer, int maxlen) {
  if (maxlen > 0) buffer[0] = '\0';
  std::string found;
  const int len = name_in_cwd(fd, found);
  if (len < 0) return -1;
  if (maxlen <= 0) return len == 0 ? 0 : -1;
  // At most maxlen bytes are written, the terminator included.
  const std::size_t keep = std::min(found.size(), static_cast<std::size_t>(maxlen) - 1);
  std::memcpy(buffer, found.data(), keep);
  buffer[keep] = '\0';
  return keep < found.size() ? -1 : len;
}

extern "C" int isapipe(int fd) {
  const int saved = errno;
  const bool unseekable = ::lseek(fd, 0, SEEK_CUR) == -1 && errno == ESPIPE;
  errno = saved;
  return unseekable ? 1 : 0;
}

extern "C" const char *kov_tail(const char *name) {
  if (name == nullptr) return nullptr;
  const char *slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

extern "C" int get_data_name(const char *tag, char *buffer) {
  streaminf *record = tag_info(tag, TAG_INQUIRE);
  if (record == nullptr) record = tag_info(tag, TAG_OUT);
  const std::string &header = record->headername;
  if (header.find('|') != std::string::npos || kov_is_socket_name(header.c_str()) ||
      header == "stdout")
    return 1;
  const std::string full = absolute_name(header);
  copy_out(std::string(tail_of(full)), buffer);
  return 0;
}

extern "C" void mkrandom_string(const char *in, char *out) {
  const std::string name = random_name(in != nullptr ? in : "");
  std::memcpy(out, name.c_str(), name.size() + 1);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(datapath)
KOV_PUBLIC_NAME(envhead)
KOV_PUBLIC_NAME(expand_info)
KOV_PUBLIC_NAME(expand_name)
KOV_PUBLIC_NAME(expandnm)
KOV_PUBLIC_NAME(findnm)
KOV_PUBLIC_NAME(fullnm)
KOV_PUBLIC_NAME(get_data_name)
KOV_PUBLIC_NAME(isapipe)
KOV_PUBLIC_NAME(kov_tail)
KOV_PUBLIC_NAME(makenames)
KOV_PUBLIC_NAME(mkrandom_string)
KOV_PUBLIC_NAME(open_outstream)
KOV_PUBLIC_NAME(outname)
KOV_PUBLIC_NAME(readpath)
