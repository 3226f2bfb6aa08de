// Descriptor back end: sizes and status of open files.
#include "kovlib_internal.h"

#include <sys/stat.h>

extern "C" kov_file_size_t fsize(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<kov_file_size_t>(st.st_size);
}
