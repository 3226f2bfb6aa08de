// SPDX-License-Identifier: Apache-2.0
// Capture of the program's command line.
#include "kovlib_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" {
int kovxargc = 0;
char **kovxargv = nullptr;
}

namespace {

// The run time's view of the arguments: on Linux the NUL-separated words of
// /proc/self/cmdline, entry 0 being the program name.
std::vector<std::string> runtime_arguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::string::size_type start = 0;
  while (start < all.size()) {
    auto end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    args.emplace_back(all, start, end - start);
    start = end + 1;
  }
  if (args.empty()) args.emplace_back();
  return args;
}

// One argument as a fixed 256-byte blank-filled field delivers it: at most
// 255 characters, trailing blanks and NUL characters stripped.
char *field_copy(const std::string &arg) {
  constexpr std::size_t kField = 256;
  char field[kField];
  std::memset(field, ' ', kField);
  std::memcpy(field, arg.data(), std::min(arg.size(), kField));
  std::size_t len = kField - 1;
  while (len > 0 && (field[len - 1] == ' ' || field[len - 1] == '\0')) --len;
  auto *copy = static_cast<char *>(std::calloc(len + 1, 1));
  if (copy == nullptr) koverr("finitpar: calloc failed\n");
  std::memcpy(copy, field, len);
  return copy;
}

// A program started with its standard input closed reads it as an empty
// one.  The descriptor is taken at once: otherwise the next file opened
// would get it and be read, or closed, as the standard input.
void hold_standard_input() {
  if (::fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF) return;
  // The lowest free descriptor, so descriptor 0.
  const int fd = ::open("/dev/null", O_RDONLY);
  if (fd > STDIN_FILENO) ::close(fd);
}

} // namespace

extern "C" void initpar(int argc, char **argv) {
  hold_standard_input();
  kovxargc = argc;
  kovxargv = argv;
}

extern "C" void finitpar(void) {
  const auto args = runtime_arguments();
  const std::size_t n = args.size() - 1; // arguments after the program name
  auto **array = static_cast<char **>(std::calloc(n + 2, sizeof(char *)));
  if (array == nullptr) koverr("finitpar: calloc failed\n");
  for (std::size_t i = 0; i <= n; ++i) array[i] = field_copy(args[i]);
  array[n + 1] = nullptr;
  initpar(static_cast<int>(n + 1), array);
}

extern "C" const char *kov_version(void) { return KOV_VERSION_STRING; }

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(finitpar)
KOV_PUBLIC_NAME(initpar)
KOV_PUBLIC_NAME(kov_version)
