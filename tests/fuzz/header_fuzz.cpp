// Fuzz target: the dataset tools' description of `in` from its header.
//
// The input is the header text.  It is read through the library as the
// tools read it (the header named by stdin=, opened by tag_info, looked up
// with hetch_n) and described by kovtool::describe_input.  A fatal error
// ends the process in a tool; here the exit is turned into an exception
// (the link wraps `exit`), so the next input starts from a closed `in`.
//
// Bytes 0x04 are dropped from the text: one ends the header of a pipe and
// makes the reader contact the writer named in its trailer, which a fuzz
// target must not do.
#include "kovtool.hpp"

#include "kovlib_internal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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

} // namespace

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
