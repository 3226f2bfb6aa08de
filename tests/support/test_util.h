// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the test suites.
#ifndef KOV_TESTS_TEST_UTIL_H
#define KOV_TESTS_TEST_UTIL_H

#include <kov/kovlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kov::detail {
void set_outputs_in_place(bool in_place); // outputs.h
} // namespace kov::detail
namespace kovtest {

// Capture `words` as the command line for the library; the words live for
// the process.  Outputs are written in place: these
// tests read back what they wrote inside the same process; outputs under
// temporary names are tested through the programs
// (tests/app/common/outputs_test.cpp).
inline void set_args(std::initializer_list<std::string> words) {
  kov::detail::set_outputs_in_place(true);
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

// Run a test body inside `dir` with standard input from /dev/null, so that
// nothing lands outside the directory and no terminal is read.
class InDir {
public:
  explicit InDir(const TempDir &dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir.path());
    if (!std::freopen("/dev/null", "r", stdin)) std::abort();
  }
  InDir(const InDir &) = delete;
  InDir &operator=(const InDir &) = delete;
  ~InDir() { std::filesystem::current_path(old_); }

private:
  std::filesystem::path old_;
};

inline void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// What a child process left on its standard streams, and how it ended.
struct Outcome {
  int status; // exit status, or -1 when killed by a signal
  std::string out, err;
};

// Run `body` in a child process with standard input from `in_path` and
// standard output and error sent to files; the child exits 0 after `body`.
template <class F> Outcome run_child(F body, const std::string &in_path = "/dev/null") {
  TempDir dir;
  const std::string out = dir / "out", err = dir / "err";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen(in_path.c_str(), "r", stdin) || !std::freopen(out.c_str(), "w", stdout) ||
        !std::freopen(err.c_str(), "w", stderr))
      ::_exit(99);
    body();
    std::exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

// Exit status 23 for gtest death tests.
inline auto fatal_exit() { return ::testing::ExitedWithCode(23); }

} // namespace kovtest

#endif
