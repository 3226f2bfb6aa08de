// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the benchmarks.
#ifndef KOV_BENCH_UTIL_H
#define KOV_BENCH_UTIL_H

#include <kov/kovlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kovbench {

// A scratch directory under $TMPDIR (default /tmp), made on first use and
// removed at exit.
inline const std::string &scratch_dir() {
  static const std::string dir = [] {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/kovbench.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    return templ;
  }();
  // Registered after the name exists, so the removal runs before the name is
  // destroyed at exit.
  [[maybe_unused]] static const bool removal = [] {
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    return true;
  }();
  return dir;
}

// Capture a command line for the library unless one benchmark already did;
// benchmarks then add their parameters with getch_add_string.
inline void ensure_command_line() {
  if (kovxargv != nullptr) return;
  static char name[] = "bench";
  static char *argv[] = {name, nullptr};
  initpar(1, argv);
}

} // namespace kovbench

#endif
