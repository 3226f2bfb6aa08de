// SPDX-License-Identifier: Apache-2.0
// Seeking by tag in bytes and in blocks, the current position in blocks,
// and file-status helpers.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <climits>
#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr kov_off_t kLargestStep = INT_MAX; // 2147483647

// The record of a registered tag with its data open.
streaminf *open_record(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("sseek", "null tag");
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) kov::detail::assertion("sseek", "unknown tag");
  if (r->valid && r->ioinf == nullptr && r->open_func != nullptr) r->open_func(r, &r->ioinf);
  if (!r->valid || r->ioinf == nullptr || r->seek_func == nullptr)
    koverr("sseek(): invalid tag %s\n", tag);
  return r;
}

kov_off_t seek(streaminf *r, kov_off_t offset, int whence) {
  return r->seek_func(r, r->ioinf, offset, whence);
}

} // namespace

extern "C" kov_off_t sseek_l_l(const char *tag, kov_off_t offset, int whence) {
  return seek(open_record(tag), offset, whence);
}

extern "C" int sseek(const char *tag, int offset, int whence) {
  return static_cast<int>(sseek_l_l(tag, offset, whence));
}

// Seeks in blocks.  Every single back-end seek stays within 32 bits, which
// the stream back end needs: longer ways are gone in steps.  The current
// position is asked only for the messages of a failure: a seek from the
// start that fits in one step is one back-end seek.
extern "C" double sseek_block_d(const char *tag, int offset, int block_size, int whence) {
  streaminf *r = open_record(tag);
  const auto current = [r] { return static_cast<double>(seek(r, 0, 1)); };
  const auto step_failed = [&] {
    kovwarn(0, "SEEK ERROR: tag=%s offset=%d whence=%d \n        current_pos=%g blocksize=%d \n ",
            tag, offset, whence, current(), block_size);
    return -1.0;
  };
  kov_off_t request = static_cast<kov_off_t>(offset) * block_size;
  int how = whence;
  if (how == 0 && request > kLargestStep) {
    // Far from the start: the first step from there, the rest onwards.
    if (seek(r, kLargestStep, 0) < 0) return step_failed();
    request -= kLargestStep;
    how = 1;
  } else if (how == 2 && (request > kLargestStep || request < -kLargestStep)) {
    // A long way from the end: go to the end first, then step from there.
    if (seek(r, 0, 2) < 0) return step_failed();
    how = 1;
  }
  while (request > kLargestStep || request < -kLargestStep) {
    const kov_off_t step = request > 0 ? kLargestStep : -kLargestStep;
    if (seek(r, step, 1) < 0) return step_failed();
    request -= step;
  }
  const kov_off_t position = seek(r, request, how);
  if (position < 0) {
    kovwarn(0,
            "SEEK ERROR(2): tag=%s offset=%d whence=%d  \n                  block=%d curent "
            "position=%g \n \n",
            tag, offset, whence, block_size, current());
    return -1;
  }
  return static_cast<double>(position) / block_size;
}

extern "C" int sseek_block(const char *tag, int offset, int block_size, int whence) {
  return static_cast<int>(sseek_block_d(tag, offset, block_size, whence));
}

extern "C" int file_position(const char *tag, int block_size, int *blocks, int *remainder) {
  if (block_size <= 0) kov::detail::assertion("file_position", "block size must be positive");
  if (blocks == nullptr || remainder == nullptr)
    kov::detail::assertion("file_position", "null destination");
  const kov_off_t position = seek(open_record(tag), 0, 1);
  if (position < 0) return static_cast<int>(position);
  kov_off_t whole = position / block_size;
  int result = 0;
  if (whole > INT_MAX) {
    // Too many blocks to count: as many as fit, the rest in the remainder.
    whole = INT_MAX;
    result = 1;
  }
  kov_off_t rest = position - whole * block_size;
  if (rest > INT_MAX) {
    kovwarn(0, "(file_position), remainder is larger than MAX_INT_SIZE\n");
    rest = INT_MAX;
  }
  *blocks = static_cast<int>(whole);
  *remainder = static_cast<int>(rest);
  return result;
}

extern "C" int sseekable(const char *tag) {
  if (tag == nullptr) kov::detail::assertion("sseekable", "null tag");
  const streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) kov::detail::assertion("sseekable", "unknown tag");
  return r->isapipe ? 1 : 0;
}

extern "C" int isclosed(FILE *stream) {
  if (stream == nullptr) return 1;
  const int fd = ::fileno(stream);
  struct stat st;
  return fd < 0 || ::fstat(fd, &st) != 0 ? 1 : 0;
}

extern "C" int fdordinary(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

extern "C" int isordinary(const char *path) {
  if (path == nullptr) return 0;
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(fdordinary)
KOV_PUBLIC_NAME(file_position)
KOV_PUBLIC_NAME(isclosed)
KOV_PUBLIC_NAME(isordinary)
KOV_PUBLIC_NAME(sseek)
KOV_PUBLIC_NAME(sseek_block)
KOV_PUBLIC_NAME(sseek_block_d)
KOV_PUBLIC_NAME(sseek_l_l)
KOV_PUBLIC_NAME(sseekable)
