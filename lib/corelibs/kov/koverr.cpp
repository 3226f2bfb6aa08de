// SPDX-License-Identifier: Apache-2.0
// Fatal errors, warnings and exit.
#include "backends.h"
#include "kovlib_internal.h"
#include "outputs.h"
#include "streaminf.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kFatalStatus = 23;

// Set while a fatal error is being reported, so that a failure on the way
// (for instance while reporting to the job-status master) cannot loop.
bool in_fatal = false;

// The embedding caller's handlers, if any.
kov_message_handler fatal_handler = nullptr;
void *fatal_data = nullptr;
kov_message_handler warning_handler = nullptr;
void *warning_data = nullptr;

void print_fatal(std::FILE *stream, const char *format, va_list args) {
  if (kovxargv != nullptr && kovxargc > 0 && kovxargv[0] != nullptr)
    std::fprintf(stream, "%s: ", kovxargv[0]);
  std::vfprintf(stream, format, args);
  std::fflush(stream);
}

} // namespace

namespace kov::detail {

std::string vformat(const char *format, va_list args) {
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, again);
  va_end(again);
  std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

std::string format(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformat(format, args);
  va_end(args);
  return text;
}

void note(const std::string &text) {
  if (warning_handler != nullptr) {
    warning_handler(text.c_str(), warning_data);
  } else {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
  }
}

void syserr(const char *prefix) {
  const int saved = errno;
  if (warning_handler != nullptr) {
    // An embedding caller takes the system's reason with errno still set.
    const std::string text = format("%s: %s\n", prefix, std::strerror(saved));
    errno = saved;
    warning_handler(text.c_str(), warning_data);
  } else {
    std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(saved));
    std::fflush(stderr);
  }
  errno = saved;
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
  if (fatal_handler != nullptr) {
    const std::string message = kov::detail::vformat(format, args);
    in_fatal = false; // the caller carries on after the handler
    va_end(args);
    fatal_handler(message.c_str(), fatal_data);
    va_start(args, format);
  }
  va_list again;
  va_copy(again, args);
  print_fatal(stderr, format, args);
  if (!kov::detail::stdout_carries_data()) print_fatal(stdout, format, again);
  va_end(again);
  va_end(args);
  // No output that this run began is left for a reader to take as whole.
  kov::detail::discard_outputs();
  std::exit(kFatalStatus);
}

extern "C" int kovwarn(int code, const char *format, ...) {
  va_list args;
  va_start(args, format);
  if (warning_handler != nullptr) {
    const std::string message = kov::detail::vformat(format, args);
    va_end(args);
    warning_handler(message.c_str(), warning_data);
    return code;
  }
  va_list again;
  va_copy(again, args);
  std::vfprintf(stderr, format, args);
  std::fflush(stderr);
  if (!kov::detail::stdout_carries_data()) {
    std::vfprintf(stdout, format, again);
    std::fflush(stdout);
  }
  va_end(again);
  va_end(args);
  return code;
}

extern "C" void kov_set_fatal_handler(kov_message_handler handler, void *data) {
  fatal_handler = handler;
  fatal_data = data;
}

extern "C" void kov_set_warning_handler(kov_message_handler handler, void *data) {
  warning_handler = handler;
  warning_data = data;
}

extern "C" void fexit(int status) { std::exit(status); }

extern "C" void erexit(const char *message) { koverr("%s\n", message != nullptr ? message : ""); }

extern "C" int noieeeinterupt(void) { return 0; }

namespace kov::detail {

void assertion(const char *routine, const char *what) {
  koverr("%s: assertion failed: %s\n", routine, what);
}

} // namespace kov::detail

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(erexit)
KOV_PUBLIC_NAME(fexit)
KOV_PUBLIC_NAME(kov_set_fatal_handler)
KOV_PUBLIC_NAME(kov_set_warning_handler)
KOV_PUBLIC_NAME(koverr)
KOV_PUBLIC_NAME(kovwarn)
KOV_PUBLIC_NAME(noieeeinterupt)
