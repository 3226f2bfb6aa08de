// Helpers shared by the benchmarks.
#ifndef KOV_BENCH_UTIL_H
#define KOV_BENCH_UTIL_H

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kovbench {

// A scratch directory under /tmp, made on first use and removed at exit.
inline const std::string &scratch_dir() {
  static const std::string dir = [] {
    char templ[] = "/tmp/kovbench.XXXXXX";
    const char *made = ::mkdtemp(templ);
    if (made == nullptr) std::abort();
    return std::string(made);
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

} // namespace kovbench

#endif
