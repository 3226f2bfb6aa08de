// SPDX-License-Identifier: Apache-2.0
// Runs of the dataset tools (velmodel, kovinfo, kovpng, kov2segy) from a bash
// script in a fresh directory, hand-made datasets, and the checks that a
// refused run leaves no output behind.
#ifndef KOV_TESTS_SUPPORT_TOOL_SCRIPTS_H
#define KOV_TESTS_SUPPORT_TOOL_SCRIPTS_H

#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace kovtest {

// Run a bash script in `dir` with standard input from /dev/null; $V, $I,
// $P and $S name velmodel, kovinfo, kovpng and kov2segy, and DATAPATH
// points into the directory.  Returns the script's exit status.
inline int run(const TempDir &dir, const std::string &script) {
  kovtest::write_file(dir / "run.sh", "cd '" + dir.path().string() + "'\nexport DATAPATH='" +
                                          (dir / "") +
                                          "'\nV='" KOV_VELMODEL "'\nI='" KOV_KOVINFO
                                          "'\nP='" KOV_KOVPNG "'\nS='" KOV_KOV2SEGY "'\n" +
                                          script);
  const int raw = std::system(("bash '" + (dir / "run.sh") + "' </dev/null").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A hand-made dataset: header `name` with `params`, its samples in name@,
// big-endian unless the format is a native one.
inline void make_dataset(const TempDir &dir, const std::string &name, const std::string &params,
                         const std::vector<float> &values,
                         const std::string &format = "xdr_float") {
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    uint32_t w;
    std::memcpy(&w, &values[i], 4);
    if (!format.starts_with("native_")) w = htonl(w);
    std::memcpy(bytes.data() + 4 * i, &w, 4);
  }
  kovtest::write_file(dir / (name + "@"), bytes);
  kovtest::write_file(dir / name, params + " data_format=\"" + format + "\" esize=4 in=\"" +
                                      (dir / (name + "@")) + "\"\n");
}

inline std::string line_of(const std::string &text, const std::string &key) {
  const std::size_t at = text.find("\n" + key + " ");
  if (at == std::string::npos) return "";
  const std::size_t begin = text.find_first_not_of(' ', at + 1 + key.size());
  return text.substr(begin, text.find('\n', begin) - begin);
}

// The names in `dir` that an output `name` may have left behind.
inline std::vector<std::string> leftovers(const TempDir &dir, const std::string &name) {
  std::vector<std::string> found;
  for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
    const std::string n = e.path().filename().string();
    if (n == name || n.rfind("." + name + ".", 0) == 0) found.push_back(n);
  }
  return found;
}

// Bad input to a tool writing `name`: status 23, the message, no file.
inline void expect_refused(const TempDir &dir, const std::string &command, const std::string &name,
                           const std::string &message) {
  EXPECT_EQ(run(dir, command + " >out 2>err"), 23) << command;
  EXPECT_NE(read_file(dir / "err").find(message), std::string::npos)
      << command << ": " << read_file(dir / "err");
  EXPECT_TRUE(leftovers(dir, name).empty()) << command << ": " << leftovers(dir, name).front();
}

// Datasets no writing tool accepts, next to a good one.
inline void make_bad_inputs(const TempDir &dir) {
  make_dataset(dir, "good.H", "n1=4 n2=3 o2=0.25 d2=0.5", std::vector<float>(12, 1.0f));
  make_dataset(dir, "line.H", "n1=4", {1, 2, 3, 4});
  make_dataset(dir, "short.H", "n1=4 n2=3", {1, 2, 3, 4, 5, 6, 7, 8});
  make_dataset(dir, "cube.H", "n1=2 n2=2 n3=2", std::vector<float>(8, 1.0f));
}

} // namespace kovtest

#endif
