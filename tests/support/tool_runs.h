// SPDX-License-Identifier: Apache-2.0
// Runs of the built programs from a bash script in a fresh directory, and
// the XDR samples and kovinfo descriptions the tests compare.
#ifndef KOV_TESTS_APP_TOOL_RUNS_H
#define KOV_TESTS_APP_TOOL_RUNS_H

#include "test_util.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kovtest {

// A directory of one test, where `run` executes scripts with standard
// input from /dev/null and DATAPATH pointing into the directory.  The
// programs are $velmodel, $kovinfo, $kovwindow, $kov2segy, $segy2kov and
// $python (Debian's, with segyio).
class ToolDir : public TempDir {
public:
  int run(const std::string &script) const {
    write_file(*this / "run.sh", "cd '" + path().string() + "'\nexport DATAPATH='" + (*this / "") +
                                     "'\n" + programs() + script);
    const int raw = std::system(("bash '" + (*this / "run.sh") + "' </dev/null").c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  std::string read(const std::string &name) const { return read_file(*this / name); }

private:
  static std::string programs() {
    std::string text;
    for (const auto &[name, path] :
         std::initializer_list<std::pair<const char *, const char *>>{{"velmodel", KOV_VELMODEL},
                                                                      {"kovinfo", KOV_KOVINFO},
                                                                      {"kovwindow", KOV_KOVWINDOW},
                                                                      {"kov2segy", KOV_KOV2SEGY},
                                                                      {"segy2kov", KOV_SEGY2KOV},
                                                                      {"python", KOV_PYTHON}})
      text += std::string(name) + "='" + path + "'\n";
    return text;
  }
};

inline std::string to_xdr(const std::vector<float> &values) {
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t w;
    std::memcpy(&w, &values[i], 4);
    w = htonl(w);
    std::memcpy(bytes.data() + 4 * i, &w, 4);
  }
  return bytes;
}

inline std::vector<float> from_xdr(const std::string &bytes) {
  std::vector<float> values(bytes.size() / 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint32_t w;
    std::memcpy(&w, bytes.data() + 4 * i, 4);
    w = ntohl(w);
    std::memcpy(&values[i], &w, 4);
  }
  return values;
}

// The text after "key" and its padding on a line of kovinfo's output.
inline std::string info_line(const std::string &text, const std::string &key) {
  const std::size_t at = text.find("\n" + key + " ");
  if (at == std::string::npos) return "";
  const std::size_t begin = text.find_first_not_of(' ', at + 1 + key.size());
  return text.substr(begin, text.find('\n', begin) - begin);
}

} // namespace kovtest

#endif
