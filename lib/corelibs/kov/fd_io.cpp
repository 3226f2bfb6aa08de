// Descriptor back end: sizes and status of open files.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <sys/stat.h>
#include <unistd.h>

extern "C" kov_file_size_t fsize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<kov_file_size_t>(st.st_size);
}

extern "C" int redin(void) { return ::isatty(STDIN_FILENO) ? 0 : 1; }

namespace kov::detail {

bool stream_open(std::FILE *stream) {
  if (stream == nullptr) return false;
  const int fd = ::fileno(stream);
  struct stat st;
  return fd >= 0 && ::fstat(fd, &st) == 0;
}

} // namespace kov::detail
