// SPDX-License-Identifier: Apache-2.0
// kovtool: the input dataset's description and block reads, and output
// files that appear only once they are complete.
#include "kovtool.hpp"
#include "backends.h"
#include "streaminf.h"

#include "outputs.h"

#include <kov/kovlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
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

namespace {

// Lookups in the header of an auxiliary input, through the signature of
// the others.
std::string &aux_tag() {
  static std::string tag;
  return tag;
}
int aux_lookup(const char *name, const char *type, void *dest, std::size_t room) {
  return auxpar_n(name, type, dest, room, aux_tag().c_str());
}

// The description of `tag` through `lookup`; `prefix` starts every fatal
// message (empty for `in`, whose header the messages need not name).
Description describe_with(const std::string &tag, Lookup lookup, const std::string &prefix) {
  Description desc;
  desc.tag = tag;
  const char *p = prefix.c_str();
  int n1 = 0;
  if (!number(lookup, "n1", n1)) koverr("%sthe input header has no n1: not a dataset\n", p);
  std::vector<kov_axis> axes(9);
  char why[512];
  const int count = kov_header_axes(tag.c_str(), 9, axes.data(), why, sizeof why);
  if (count < 0) koverr("%s%s\n", p, why);
  for (int i = 0; i < count; ++i)
    desc.axes.push_back({axes[i].n, axes[i].o, axes[i].d, axes[i].label, axes[i].unit});
  number(lookup, "esize", desc.esize);
  if (desc.esize <= 0) koverr("%sesize=%d must be positive\n", p, desc.esize);
  const std::string format = text(lookup, "data_format").value_or("");
  if (!format.empty()) desc.format = format;
  desc.samples = 1;
  for (const Axis &a : desc.axes) {
    if (desc.samples > std::numeric_limits<std::int64_t>::max() / a.n)
      koverr("%sthe axis lengths multiply to more samples than can be addressed\n", p);
    desc.samples *= a.n;
  }
  if (desc.samples > std::numeric_limits<std::int64_t>::max() / desc.esize)
    koverr("%sthe dataset is larger than can be addressed\n", p);
  desc.bytes = desc.samples * desc.esize;

  if (tag == "in") {
    if (auto in = text(getch_n, "in"))
      desc.location = *in;
    else
      desc.location = kov::detail::history_name(tag_info("in", TAG_INQUIRE), header_text("in"));
  } else if (auto in = text(lookup, "in")) {
    desc.location = kov::detail::history_name(tag_info(tag.c_str(), TAG_INQUIRE), *in);
  }
  if (desc.location.empty()) koverr("%sthe input header names no data (no in=)\n", p);
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
        koverr("%sdata file %s is missing: %s\n", p, f.c_str(), std::strerror(errno));
    }
  }
  return desc;
}

} // namespace

Description describe_input() { return describe_with("in", hetch_n, ""); }

Description describe(const std::string &tag) {
  if (tag == "in") return describe_input();
  const std::string name = text(getch_n, tag.c_str()).value_or(tag);
  require_readable(name);
  aux_tag() = tag;
  return describe_with(tag, aux_lookup, name + ": ");
}

std::string name_of(const Description &desc) {
  if (desc.tag == "in") {
    if (auto name = text(getch_n, "stdin")) return *name;
    return "standard input";
  }
  return text(getch_n, desc.tag.c_str()).value_or(desc.tag);
}

namespace {
// The header an auxiliary input's messages name, with ": "; nothing for in.
std::string where(const std::string &tag) {
  return tag == "in" ? std::string() : text(getch_n, tag.c_str()).value_or(tag) + ": ";
}
} // namespace

void data_short(std::int64_t declared, std::int64_t found) { data_short("in", declared, found); }
void data_longer(std::int64_t declared, std::int64_t more) { data_longer("in", declared, more); }

void data_short(const std::string &tag, std::int64_t declared, std::int64_t found) {
  const std::string prefix = where(tag);
  data_short_of(prefix.empty() ? prefix : prefix.substr(0, prefix.size() - 2), declared, found);
}

void data_short_of(const std::string &file, std::int64_t declared, std::int64_t found) {
  koverr("%s%sthe data are short: the header declares %lld bytes, only %lld are there\n",
         file.c_str(), file.empty() ? "" : ": ", static_cast<long long>(declared),
         static_cast<long long>(found));
}

void data_longer(const std::string &tag, std::int64_t declared, std::int64_t more) {
  if (more < 0)
    koverr("%sthe data are longer than the header says: %lld bytes declared, more follow\n",
           where(tag).c_str(), static_cast<long long>(declared));
  koverr("%sthe data are longer than the header says: %lld bytes declared, %lld more follow\n",
         where(tag).c_str(), static_cast<long long>(declared), static_cast<long long>(more));
}

std::size_t BlockReader::next(std::span<char> block) {
  const std::size_t got = fill(block);
  if (short_) data_short(tag_, expected_, done_);
  return got;
}

std::size_t BlockReader::fill(std::span<char> block) {
  const std::int64_t left = expected_ - done_;
  const int want = static_cast<int>(std::min<std::int64_t>(left, std::ssize(block)));
  if (want == 0 || short_) return 0;
  int got = 0;
  while (got < want) {
    const int r = read_(tag_.c_str(), block.data() + got, want - got);
    if (r <= 0) break;
    got += r;
  }
  done_ += got;
  if (got < want) short_ = true;
  return static_cast<std::size_t>(got);
}

BlockReader::BlockReader(const Description &desc, bool raw)
    : tag_(desc.tag), expected_(desc.bytes), read_(raw ? sreed_raw : sreed) {
  std::int64_t stored = 0;
  for (const std::string &f : desc.files) {
    struct stat st {};
    if (::stat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    stored += st.st_size;
  }
  if (!desc.files.empty()) stored_ = stored;
}

void BlockReader::expect_end() {
  if (short_) data_short(tag_, expected_, done_);
  // One element past the declared end tells (the data may be an endless
  // stream); files of their own tell how much more they hold.
  std::array<char, 8> extra{};
  if (read_(tag_.c_str(), extra.data(), static_cast<int>(extra.size())) <= 0) return;
  std::int64_t more = stored_ > expected_ ? stored_ - expected_ : -1;
  if (std::FILE *data = more < 0 && tag_ == "in" ? input() : nullptr; data != nullptr) {
    struct stat st {};
    if (::fstat(::fileno(data), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > expected_)
      more = st.st_size - expected_;
  }
  data_longer(tag_, expected_, more);
}

bool data_placeable(const char *tag) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr || r->iotype != FD_IO || !r->valid) return false;
  if (r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
  return r->valid && r->ioinf != nullptr && r->backseekable != 0;
}

int data_descriptor(const char *tag) {
  if (!data_placeable(tag)) return -1;
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (!kov::detail::writes_to_descriptor(r)) return -1;
  auto *state = static_cast<kov::detail::FdState *>(r->ioinf);
  state->pending.drain();
  return state->file.fd();
}

void require_floats(const Description &desc) {
  if (desc.esize != 4 || (desc.format != "xdr_float" && desc.format != "native_float"))
    koverr("%s: needs 4-byte float samples, not data_format=%s esize=%d\n", name_of(desc).c_str(),
           desc.format.c_str(), desc.esize);
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

std::string link_target(std::string path) { return kov::detail::link_target(std::move(path)); }

// The library's pending outputs: the same temporaries, clean-up on fatal
// errors and signals, and removal of stale ones as the library's own.
OutputFile::OutputFile(std::string path) : path_(std::move(path)), target_(link_target(path_)) {
  const int fd = kov::detail::create_pending(path_, kov::detail::Commit::Explicit, temp_);
  if (fd == -2) {
    direct_ = true;
    temp_ = path_;
    return;
  }
  if (fd < 0) koverr("cannot create %s: %s\n", path_.c_str(), std::strerror(errno));
  ::close(fd);
}

void OutputFile::commit() {
  if (!direct_) kov::detail::commit_pending(temp_);
  committed_ = true;
}

void OutputFile::discard() {
  if (!committed_ && !direct_ && !temp_.empty()) kov::detail::discard_pending(temp_);
  committed_ = true;
}

} // namespace kovtool
