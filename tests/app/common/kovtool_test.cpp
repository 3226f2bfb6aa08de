// SPDX-License-Identifier: Apache-2.0
// What the dataset tools share (kov_tool): an unreadable input named with
// its reason, output through symbolic links, and no temporary file left by
// a stopped run.
#include "tool_scripts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using kovtest::expect_refused;
using kovtest::leftovers;
using kovtest::line_of;
using kovtest::make_bad_inputs;
using kovtest::make_dataset;
using kovtest::read_file;
using kovtest::run;
using kovtest::TempDir;

TEST(Tools, AnUnreadableHeaderIsNamedWithTheSystemsReason) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir.H");
  for (const char *tool : {"$I", "$P", "$S"}) {
    if (std::string(tool) == "$P" && std::string(KOV_KOVPNG).empty()) continue;
    if (std::string(tool) == "$S" && std::string(KOV_KOV2SEGY).empty()) continue;
    for (const std::string args : {"nothere.H", "stdin=nothere.H", "adir.H"}) {
      EXPECT_EQ(run(dir, std::string("\"") + tool + "\" " + args + " >out 2>err"), 23) << tool;
      const std::string err = read_file(dir / "err");
      const std::string want = args == "adir.H" ? ": adir.H: Is a directory\n"
                                                : ": nothere.H: No such file or directory\n";
      EXPECT_TRUE(err.ends_with(want)) << tool << " " << args << ": " << err;
    }
  }
}

TEST(Tools, OutputThroughASymbolicLinkReachesItsTarget) {
  TempDir dir;
  make_bad_inputs(dir);
  std::filesystem::create_directory(dir / "d");
  std::vector<std::pair<std::string, std::string>> tools = {};
  if (!std::string(KOV_KOV2SEGY).empty()) tools.emplace_back("$S", "sgy");
  if (!std::string(KOV_KOVPNG).empty()) tools.emplace_back("$P", "png");
  for (const auto &[tool, ext] : tools) {
    // A link to an existing file, a relative link from another directory,
    // and a link whose target does not exist yet.
    const std::string real = "real." + ext, fresh = "fresh." + ext;
    kovtest::write_file(dir / real, "old");
    std::filesystem::create_symlink(real, dir / ("l." + ext));
    std::filesystem::create_symlink("../" + real, dir / ("d/l." + ext));
    std::filesystem::create_symlink("d/" + fresh, dir / ("n." + ext));
    for (const std::string &link : {"l." + ext, "d/l." + ext, "n." + ext}) {
      ASSERT_EQ(run(dir, "\"" + tool + "\" good.H out=" + link + " 2>err"), 0)
          << link << ": " << read_file(dir / "err");
      EXPECT_TRUE(std::filesystem::is_symlink(dir / link)) << link;
    }
    EXPECT_GT(std::filesystem::file_size(dir / real), 100u) << real;
    EXPECT_EQ(read_file(dir / real), read_file(dir / ("d/" + fresh)));
    EXPECT_EQ(leftovers(dir, real), std::vector<std::string>{real});
  }
}

TEST(Tools, AStoppedRunLeavesNoTemporaryFile) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  // kov2segy has made its temporary file and waits for the rest of the
  // data from a FIFO when it is stopped.  (With job control, so that the
  // background job does not ignore SIGINT.)
  TempDir dir;
  for (const std::string signal : {"INT", "TERM", "HUP"}) {
    EXPECT_EQ(run(dir, "set -m; rm -f f; mkfifo f\n"
                       "echo \"n1=500 n2=50 data_format=xdr_float esize=4 in=$PWD/f\" >h.H\n"
                       "\"$S\" h.H out=s.sgy 2>err & pid=$!\n"
                       "exec 3>f\n"
                       "head -c 30000 /dev/zero >&3\n"
                       "for i in $(seq 1000); do ls -A | grep -q '^\\.s\\.sgy\\.' && break; "
                       "sleep 0.01; done\n"
                       "ls -A | grep -q '^\\.s\\.sgy\\.' || exit 3\n"
                       "kill -" +
                           signal +
                           " $pid; wait $pid; status=$?; exec 3>&-\n"
                           "exit $status"),
              128 + (signal == "INT"    ? 2
                     : signal == "TERM" ? 15
                                        : 1))
        << signal << ": " << read_file(dir / "err");
    EXPECT_TRUE(leftovers(dir, "s.sgy").empty())
        << signal << ": " << leftovers(dir, "s.sgy").front();
  }
}

} // namespace
