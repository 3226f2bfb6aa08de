// SPDX-License-Identifier: Apache-2.0
// Headers and data that try to mislead or stall the dataset tools: a token
// longer than the scanner takes, data that never end, a header that never
// ends.  Each ends in a fatal error that names the file.
#include "tool_scripts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kovtest::make_dataset;
using kovtest::read_file;
using kovtest::run;
using kovtest::TempDir;

// The tools that describe or read a dataset, as script words.
std::vector<std::string> readers() {
  std::vector<std::string> found = {"\"$I\"", "'" KOV_KOVWINDOW "'"};
  if (!std::string(KOV_KOVPNG).empty()) found.push_back("\"$P\" out=o.png");
  if (!std::string(KOV_KOV2SEGY).empty()) found.push_back("\"$S\" out=o.sgy");
  return found;
}

TEST(HostileInputs, ATokenTooLongIsFatalWithTheFileAndLine) {
  TempDir dir;
  make_dataset(dir, "long.H", "n1=2 n2=3", std::vector<float>(6, 1.f));
  kovtest::write_file(dir / "long.H", read_file(dir / "long.H") + "\n\tcomment=\"" +
                                          std::string(70000, 'c') + "\"\n");
  for (const std::string &tool : readers()) {
    EXPECT_EQ(run(dir, tool + " long.H >out 2>err"), 23) << tool;
    const std::string err = read_file(dir / "err");
    EXPECT_NE(err.find("token too long in header long.H, line 3"), std::string::npos)
        << tool << ": " << err;
  }
}

} // namespace

// Data that never end: each tool reads at most one element past the
// declared size, refuses, and ends (the test's time limit catches a hang).
TEST(HostileInputs, EndlessDataAreRefusedAsLongerThanDeclared) {
  TempDir dir;
  for (const char *stream : {"/dev/zero", "/dev/urandom"}) {
    kovtest::write_file(dir / "endless.H",
                        std::string("n1=4 n2=3 esize=4 data_format=xdr_float in=") + stream + "\n");
    for (const std::string &tool : readers()) {
      EXPECT_EQ(run(dir, tool + " endless.H >out 2>err"), 23) << tool << " " << stream;
      const std::string err = read_file(dir / "err");
      EXPECT_NE(err.find("the data are longer than the header says: 48 bytes declared"),
                std::string::npos)
          << tool << " " << stream << ": " << err;
    }
  }
}
