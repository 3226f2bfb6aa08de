// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the dataset tools' description of `in` from its header, and
// kovwindow's windowing of the data it describes.
//
// The input is the header text.  It is read through the library as the
// tools read it (the header named by stdin=, opened by tag_info, looked up
// with hetch_n) and described by kovtool::describe_input.  When its data
// are a few regular files (or the data follow the header), kovwindow's own
// code takes its window and reads it; the output is not written (the link
// wraps putch and srite_raw), but every byte handed to it is read.  The
// text @DATA@ in a header stands for a data file of 64 kB that the target
// makes, so that seeds can name data that exist wherever the target runs.  A fatal error
// ends the process in a tool; here the exit is turned into an exception
// (the link wraps `exit`), so the next input starts from a closed `in`.
//
// Bytes 0x04 are dropped from the text: one ends the header of a pipe and
// makes the reader contact the writer named in its trailer, which a fuzz
// target must not do.
#include "kovtool.hpp"

#include "kovlib_internal.h"

// kovwindow's functions, its main renamed out of the way.
#define main kovwindow_main
#include "../../app/kovwindow/kovwindow.cpp" // the program, not the library's engine
#undef main

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) __builtin_trap();                                                                 \
  } while (0)

struct Exited {
  int status;
};

bool in_target = false;
int header_fd = -1;
std::string data_name;              // the file @DATA@ stands for
volatile unsigned char written = 0; // what srite_raw was given, folded

// Whether kovwindow may read the data of `desc`: a bounded amount from
// regular files or from the header's own stream, never from a device that
// has no end.
bool windowable(const kovtool::Description &desc) {
  if (desc.bytes > (std::int64_t{16} << 20)) return false;
  if (desc.location == "follow_hdr" || desc.location == "stdin") return true;
  for (const std::string &f : desc.files) {
    struct stat st {};
    if (f != "/dev/null" && (::stat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode))) return false;
  }
  return !desc.files.empty();
}

} // namespace

const char kovhelp::manual_text[] = "";

extern "C" int __wrap_putch(const char *name, const char *type, const void *) {
  CHECK(name != nullptr && type != nullptr);
  return 1;
}

extern "C" int __wrap_srite_raw(const char *, const void *buffer, int nbytes) {
  CHECK(nbytes >= 0);
  const auto *bytes = static_cast<const unsigned char *>(buffer);
  unsigned char fold = 0;
  for (int i = 0; i < nbytes; ++i) fold = static_cast<unsigned char>(fold ^ bytes[i]);
  written = fold;
  return nbytes;
}

extern "C" [[noreturn]] void __real_exit(int status);

// Every call of exit in the program comes here (-Wl,--wrap=exit).
extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (in_target) throw Exited{status};
  __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The fatal messages also go to standard output; nobody reads it here.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
  header_fd = ::memfd_create("header", 0);
  if (header_fd < 0) std::abort();
  static std::string self = "kov_header_fuzz";
  static char *argv[] = {self.data(), nullptr};
  initpar(1, argv);
  const int data_fd = ::memfd_create("data", 0);
  if (data_fd < 0) std::abort();
  std::string bytes(std::size_t{64} << 10, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  if (::pwrite(data_fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  data_name = "/proc/self/fd/" + std::to_string(data_fd);
  const std::string word = "stdin=/proc/self/fd/" + std::to_string(header_fd);
  getch_add_string(word.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; i < size; ++i)
    if (data[i] != 0x04) text.push_back(static_cast<char>(data[i]));
  // A closing newline ends a value left open, so that the scanner starts
  // the next header as it starts every one.
  text.push_back('\n');
  for (std::size_t at; (at = text.find("@DATA@")) != std::string::npos;)
    text.replace(at, 6, data_name);
  if (::ftruncate(header_fd, 0) != 0 ||
      ::pwrite(header_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
    std::abort();

  in_target = true;
  try {
    const kovtool::Description desc = kovtool::describe_input();
    CHECK(!desc.axes.empty() && desc.axes.size() <= 9);
    std::int64_t samples = 1;
    for (const kovtool::Axis &a : desc.axes) {
      CHECK(a.n > 0);
      samples *= a.n;
    }
    CHECK(desc.esize > 0);
    CHECK(desc.samples == samples && desc.bytes == samples * desc.esize);
    CHECK(!desc.location.empty() && !desc.format.empty());
    for (const std::string &f : desc.files) CHECK(!f.empty() && f.find(';') == std::string::npos);
    if (windowable(desc)) {
      Window w = window_of(desc);
      // A window chosen by the text (the whole cube for a quarter of them),
      // as f, j and n on the command line would choose it.
      std::uint64_t h = std::hash<std::string>{}(text);
      if (h % 4 != 0)
        for (int k = 0; k < kAxes; ++k) {
          const auto pick = [&](int range) {
            h = h * 6364136223846793005u + 1442695040888963407u;
            return static_cast<int>((h >> 33) % static_cast<std::uint64_t>(range));
          };
          w.fw[k] = pick(w.ng[k]);
          w.jw[k] = 1 + pick(w.ng[k]);
          w.nw[k] = 1 + pick((w.ng[k] - 1 - w.fw[k]) / w.jw[k] + 1);
        }
      for (int k = 0; k < kAxes; ++k)
        CHECK(w.nw[k] >= 1 && w.fw[k] >= 0 && w.jw[k] >= 1 &&
              w.fw[k] + std::int64_t{w.nw[k] - 1} * w.jw[k] < w.ng[k]);
      pass_samples_through(desc);
      write_axes(desc, w);
      copy_window(w, desc.esize);
    }
  } catch (const Exited &e) {
    // A fatal error (status 23), or the scanner's refusal of an over-long
    // token (status 2).
    CHECK(e.status == 23 || e.status == 2);
  }
  try {
    auxclose("in");
  } catch (const Exited &) {
    CHECK(false);
  }
  in_target = false;
  return 0;
}
