// SPDX-License-Identifier: Apache-2.0
// The outputs of tag out under temporary names (outputs.cpp): nothing under
// the final names before kov_commit_outputs, everything after it; stale
// temporaries of processes that no longer run removed, live ones kept; a
// fatal error leaves the earlier dataset.  (The other in-process tests write
// in place; the programs' runs are in tests/app/common/outputs_test.cpp.)
#include "outputs.h"
#include "test_util.h"

#include <kov/kovlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using kovtest::read_file;
using kovtest::TempDir;
using kovtest::write_file;

std::vector<std::string> temporaries(const TempDir &dir) {
  std::vector<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir.path()))
    if (e.path().filename().string().find(".kovtmp-") != std::string::npos)
      names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The command line of a writer of out with its header `h.H` in `dir`.
void start(const TempDir &dir) {
  static std::vector<std::string> words;
  static std::vector<char *> argv;
  words = {"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / "")};
  argv.clear();
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  kov::detail::set_outputs_in_place(false);
  initpar(static_cast<int>(words.size()), argv.data());
}

void write_samples(int n) {
  const std::vector<float> v(static_cast<std::size_t>(n), 1.5f);
  putch("n1", "d", &n);
  ASSERT_EQ(srite("out", const_cast<float *>(v.data()), n * 4), n * 4);
}

pid_t dead_pid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

TEST(Commit, NothingUnderTheFinalNamesBeforeTheCommit) {
  TempDir dir;
  kovtest::InDir here(dir);
  const std::string dead = std::to_string(dead_pid());
  const std::string live = std::to_string(::getpid());
  write_file(dir / (".h.H@.kovtmp-" + dead + "-abcdef"), "stale");
  write_file(dir / (".h.H.kovtmp-" + live + "-keep"), "mine");
  write_file(dir / ".h.H.kovtmp-notapid", "other");
  start(dir);
  write_samples(300);
  EXPECT_FALSE(std::filesystem::exists(dir / "h.H"));
  EXPECT_FALSE(std::filesystem::exists(dir / "h.H@"));
  EXPECT_EQ(temporaries(dir).size(), 4u) << "header, data, and the two that are not stale";
  EXPECT_EQ(kov_commit_outputs(), 0);
  EXPECT_EQ(temporaries(dir),
            (std::vector<std::string>{".h.H.kovtmp-" + live + "-keep", ".h.H.kovtmp-notapid"}));
  const std::string header = read_file(dir / "h.H");
  EXPECT_NE(header.find("sets next: in=\"" + (dir / "h.H@") + "\""), std::string::npos) << header;
  EXPECT_EQ(std::filesystem::file_size(dir / "h.H@"), 1200u);
  char name[257] = {};
  kov_headername("out", name);
  EXPECT_EQ(std::string(name), dir / "h.H");
}

TEST(CommitDeathTest, AFatalErrorLeavesTheEarlierDataset) {
  TempDir dir;
  kovtest::InDir here(dir);
  write_file(dir / "h.H", "old header");
  write_file(dir / "h.H@", "old data");
  EXPECT_EXIT(
      {
        start(dir);
        write_samples(300);
        koverr("stopped\n");
      },
      kovtest::fatal_exit(), "stopped");
  EXPECT_EQ(read_file(dir / "h.H"), "old header");
  EXPECT_EQ(read_file(dir / "h.H@"), "old data");
  EXPECT_TRUE(temporaries(dir).empty());
}

TEST(CommitDeathTest, AnExitWithStatusZeroCommits) {
  TempDir dir;
  kovtest::InDir here(dir);
  EXPECT_EXIT(
      {
        start(dir);
        write_samples(10);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(std::filesystem::file_size(dir / "h.H@"), 40u);
  EXPECT_NE(read_file(dir / "h.H").find("n1=10"), std::string::npos);
  EXPECT_TRUE(temporaries(dir).empty());
}

} // namespace
