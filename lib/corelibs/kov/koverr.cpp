// Fatal errors, warnings and exit.
#include "backends.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kFatalStatus = 23;

// Set while a fatal error is being reported, so that a failure on the way
// (for instance while reporting to the job-status master) cannot loop.
bool in_fatal = false;

void print_fatal(std::FILE *stream, const char *format, va_list args) {
  if (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr)
    std::fprintf(stream, "%s: ", kovxargv[0]);
  std::vfprintf(stream, format, args);
  std::fflush(stream);
}

} // namespace

namespace kov::detail {

void syserr(const char *prefix) {
  const int saved = errno;
  std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(saved));
  std::fflush(stderr);
}

} // namespace kov::detail

extern "C" void koverr(const char *format, ...) {
  if (!in_fatal) {
    in_fatal = true;
    const int saved = errno;
    (void)kov_err_prog();
    errno = saved;
  }
  // Data written so far go out before the message, which may share their
  // stream.
  kov::detail::drain_all_gathers();
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  print_fatal(stderr, format, args);
  print_fatal(stdout, format, again);
  va_end(again);
  va_end(args);
  std::exit(kFatalStatus);
}

extern "C" int kovwarn(int code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  std::vfprintf(stderr, format, args);
  std::fflush(stderr);
  std::vfprintf(stdout, format, again);
  std::fflush(stdout);
  va_end(again);
  va_end(args);
  return code;
}

extern "C" void fexit(int status) { std::exit(status); }

extern "C" void erexit(const char *message) { koverr("%s\n", message != nullptr ? message : ""); }

extern "C" int noieeeinterupt(void) { return 0; }

namespace kov::detail {

void assertion(const char *routine, const char *what) {
  koverr("%s: assertion failed: %s\n", routine, what);
}

} // namespace kov::detail
