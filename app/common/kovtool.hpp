// SPDX-License-Identifier: Apache-2.0
// kovtool: what the dataset tools (kovinfo, kovwindow, kovpng, kov2segy,
// segy2kov) share: the description of the input dataset `in`, its data read
// in blocks with the size checked against the header, and output files that
// appear only once they are complete.  Built as the library kov_tool
// (app/common/kovtool.cpp).
#ifndef KOV_APP_KOVTOOL_HPP
#define KOV_APP_KOVTOOL_HPP

#include <kov/kovlib.h>

#include "kovaligned.hpp"
#include "page_block.h"

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
#include <new>
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
std::optional<std::string> text(Lookup lookup, const char *name);

// One number of parameter `name` (type "d" into an int, "g" into a double)
// into `value`, left alone when the name is not found.  A list stores its
// first element.  Returns whether the name was found.
bool number(Lookup lookup, const char *name, int &value);
bool number(Lookup lookup, const char *name, double &value);

// The header file names given as plain words (without `=`).
std::vector<std::string> plain_arguments(int argc, char **argv);

// Fatal, naming the file and the system's reason, when the input header
// `name` is a file that cannot be read (a pipe command, a socket endpoint
// or a standard stream is left to the library).
void require_readable(const std::string &name);

// Capture the command line; a single plain word names the input header.
// Returns the name under which the input header is known.
std::string start(int argc, char **argv);

struct Axis {
  int n = 1;
  double o = 0.0, d = 1.0;
  std::string label;
  std::string unit;
};

struct Description {
  std::string tag = "in"; // the dataset's tag
  std::vector<Axis> axes; // axis 1 first, up to the last one the header names
  int esize = 4;
  std::string format = "xdr_float";
  std::string location;           // the `in` entry of the header
  std::vector<std::string> files; // the data files; empty when the data follow the header
  std::int64_t samples = 0;       // product of the axis lengths
  std::int64_t bytes = 0;         // samples * esize
};

std::string header_text(const char *name);

// The unit of the input's samples as its history gives it: its own
// barlabel=, or m/s for a velocity model (its layer velocities recorded);
// empty when neither.
std::string unit_of_values();

// The description of `in` from its header (and an `in=` on the command line,
// which overrides the header's as it does for the library).  Fatal when n1
// is missing or an axis length is not positive.
Description describe_input();

// The same for the auxiliary input `tag` (its header named by the
// parameter of that name); describe("in") is describe_input().  Fatal
// messages name the header.
Description describe(const std::string &tag);

// The name under which the dataset `desc` is known in messages: its header
// file, or "standard input".
std::string name_of(const Description &desc);

// Memory for bulk reads that starts on a page boundary, the same buffer the
// library reads and writes through.
using kov::detail::PageBlock;

// Fatal: data of `found` bytes where the header declares `declared`.
[[noreturn]] void data_short(std::int64_t declared, std::int64_t found);
[[noreturn]] void data_longer(std::int64_t declared, std::int64_t more);
// The same for the input `tag`, naming its header when it is not in.
[[noreturn]] void data_short(const std::string &tag, std::int64_t declared, std::int64_t found);
[[noreturn]] void data_longer(const std::string &tag, std::int64_t declared, std::int64_t more);
// The same message starting with `file` (a header the caller names itself).
[[noreturn]] void data_short_of(const std::string &file, std::int64_t declared, std::int64_t found);

// Reads the data of `in` in blocks and checks their amount against the
// header: fewer or more bytes than declared are fatal.
class BlockReader {
public:
  // `raw`: the bytes as stored, without the conversion of the data format.
  explicit BlockReader(const Description &desc, bool raw = false);

  // Fill `block` with the next bytes; returns how many (0 at the declared
  // end).  Fatal when the data end early.
  std::size_t next(std::span<char> block);

  // As next(), but data that end early are not fatal yet: the block is
  // shorter than asked, the next one empty, and expect_end() fails.
  std::size_t fill(std::span<char> block);

  // After the declared bytes: fatal when they were not all there or more
  // data follow.
  void expect_end();

  std::int64_t done() const { return done_; }

  // The first `bytes` were taken by other means (a windowed read, a seek):
  // the next block starts after them.
  void taken(std::int64_t bytes) { done_ = bytes; }

private:
  std::string tag_;
  std::int64_t expected_;
  int (*read_)(const char *, void *, int);
  std::int64_t done_ = 0;
  bool short_ = false;
  std::int64_t stored_ = -1; // bytes of the data files when all are regular files
};

// Whether the data of the output `tag` go to one regular file of their own,
// so that they can be written in any order (placed with sseek_l_l, offsets
// from the start of the data).  Opens the data file as a first write
// would; false for data that follow the header, standard output, pipes,
// sets of files and remote data.
bool data_placeable(const char *tag);

// The descriptor of that file when data_placeable(tag), the bytes the
// library still holds for it handed to the system first; -1 otherwise.
// For positioned writes (pwrite) of raw bytes, from any thread, while the
// library is not asked to write that output itself.
int data_descriptor(const char *tag);

// Fatal, naming the dataset, unless the samples are 4-byte floats.
void require_floats(const Description &desc);

// Fatal unless the axes after the first `axes` all have length 1 and axis
// 2 has at least `min_n2` samples.
void require_axes(const Description &desc, std::size_t axes, int min_n2);

// Slice `index` of a float dataset cut into slices of `slice` samples
// (axis 1 fastest).  The data before and after it are read and dropped,
// so that their amount is still checked while memory holds one slice.  The
// memory grows with the data read, so a header that declares more than is
// there ends with the short-data message, not with an allocation of its
// declared size.
std::vector<float> read_slice(const Description &desc, std::int64_t slice, std::int64_t index);

// The file a path names after following symbolic links, also a link whose
// target does not exist yet; the path itself when it is not a link.
std::string link_target(std::string path);

// An output file written under a temporary name in the same directory and
// renamed to its name by commit(); removed when not committed, also when
// the program ends through a fatal error or is stopped by SIGINT, SIGTERM,
// SIGHUP or SIGPIPE (the core's pending outputs, which also remove stale
// temporaries of processes that no longer run).  A name that is a symbolic link is written through
// to its target, the link left as it is; a name that exists and is not a regular file (a device, a
// pipe) is written directly.
class OutputFile {
public:
  explicit OutputFile(std::string path);
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  ~OutputFile() { discard(); }

  // The name to write to now.
  const std::string &path() const { return temp_; }
  const std::string &final_path() const { return path_; }

  void commit();

  // Remove the temporary file (also from a fatal-error path, before exit).
  void discard();

private:
  std::string path_, target_, temp_;
  bool direct_ = false;
  bool committed_ = false;
};

} // namespace kovtool

#endif
