// Helpers shared by the test suites.
#ifndef KOV_TESTS_TEST_UTIL_H
#define KOV_TESTS_TEST_UTIL_H

#include <kov/kovlib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace kovtest {

// Capture a command line for the library; the words live for the process.
inline void set_args(std::initializer_list<std::string> words) {
  static std::vector<std::string> storage;
  static std::vector<char *> pointers;
  storage.assign(words.begin(), words.end());
  pointers.clear();
  for (auto &w : storage) pointers.push_back(w.data());
  pointers.push_back(nullptr);
  initpar(static_cast<int>(storage.size()), pointers.data());
}

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
public:
  TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/kovtest.XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    path_ = templ;
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path &path() const { return path_; }
  std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

inline void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Exit status 23 for gtest death tests.
inline auto fatal_exit() { return ::testing::ExitedWithCode(23); }

} // namespace kovtest

#endif
