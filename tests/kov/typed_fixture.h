// SPDX-License-Identifier: Apache-2.0
// A run of a program of the family inside a test: a command line, an
// optional input history on standard input, and the output history in a
// file of a fresh directory.
#ifndef KOV_TESTS_TYPED_FIXTURE_H
#define KOV_TESTS_TYPED_FIXTURE_H

#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kovtest {

class Program {
public:
  // `words` follow the program name, `head=` and `datapath=`; `input` is the
  // text of the input history (none: there is no input).  In both, "{dir}"
  // stands for the run's directory.  Standard input is empty; the input
  // history is named by `stdin=`, so that every death-test child reads it
  // afresh.
  explicit Program(std::vector<std::string> words = {}, const std::string &input = "") {
    if (!std::freopen("/dev/null", "r", stdin)) std::abort();
    static std::vector<std::string> storage;
    static std::vector<char *> pointers;
    storage = {"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / "")};
    if (!input.empty()) {
      write_file(dir / "in.H", in_dir(input));
      storage.push_back("stdin=" + (dir / "in.H"));
    }
    for (const std::string &w : words) storage.push_back(in_dir(w));
    pointers.clear();
    for (auto &w : storage) pointers.push_back(w.data());
    pointers.push_back(nullptr);
    kov::detail::set_outputs_in_place(true); // read back in this process
    initpar(static_cast<int>(storage.size()), pointers.data());
  }
  std::string header() const { return read_file(dir / "h.H"); }
  std::string data() const { return read_file(dir / "h.H@"); }
  std::string path(const std::string &name) const { return dir / name; }
  // True when the output history holds `text`.
  bool has(const std::string &text) const { return header().find(text) != std::string::npos; }

  TempDir dir;

private:
  std::string in_dir(std::string text) const {
    for (auto at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}"))
      text.replace(at, 5, dir.path().string());
    return text;
  }
};

} // namespace kovtest

#endif
