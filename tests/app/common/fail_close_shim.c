/* SPDX-License-Identifier: Apache-2.0 */
/* Preloaded into the programs by the tests: close() and fclose() of a file
 * whose path contains the text of $KOV_FAIL_CLOSE close it and then report
 * EIO, as a file system does that reports a failed write only at close
 * (network file systems, quotas). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int names_the_file(int fd) {
  const char *want = getenv("KOV_FAIL_CLOSE");
  if (want == NULL || *want == '\0' || fd < 0) return 0;
  char link[64];
  char path[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  return strstr(path, want) != NULL;
}

int close(int fd) {
  static int (*real)(int) = NULL;
  if (real == NULL) real = (int (*)(int))dlsym(RTLD_NEXT, "close");
  const int hit = names_the_file(fd);
  const int result = real(fd);
  if (hit && result == 0) {
    errno = EIO;
    return -1;
  }
  return result;
}

int fclose(FILE *stream) {
  static int (*real)(FILE *) = NULL;
  if (real == NULL) real = (int (*)(FILE *))dlsym(RTLD_NEXT, "fclose");
  const int hit = stream != NULL && names_the_file(fileno(stream));
  const int result = real(stream);
  if (hit && result == 0) {
    errno = EIO;
    return EOF;
  }
  return result;
}
