// Stream registry: opening the files behind tags.
#include "kovlib_internal.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

int create_file(const char *name) {
  int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
  if (fd < 0) {
    kov::detail::syserr("file()");
    koverr("file() can't create file %s\n", name);
  }
  if (::close(fd) != 0) {
    kov::detail::syserr("file()");
    koverr("file() unable to close file %s\n", name);
  }
  fd = ::open(name, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    kov::detail::syserr("file()");
    koverr("file() unable to open file %s\n", name);
  }
  return fd;
}

} // namespace

extern "C" int file(const char *name, int mode) {
  switch (mode) {
  case 0: {
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      kov::detail::syserr("file()");
      koverr("file() can't open file %s\n", name);
    }
    return fd;
  }
  case 2: {
    const int fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd >= 0) return fd;
    return create_file(name);
  }
  case 1:
    return create_file(name);
  default:
    return -1; // no such mode: nothing is opened
  }
}
