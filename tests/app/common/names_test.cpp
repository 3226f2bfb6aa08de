// SPDX-License-Identifier: Apache-2.0
// Names and texts at the edges: the default datapath on a fresh machine,
// data files that cannot be made, names with colons that are files, and
// texts in histories that read back as themselves.
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kovtest::info_line;
using kovtest::ToolDir;

namespace fs = std::filesystem;

// Whether this process, run without a terminal, has no login name: the
// default datapath then takes the user from USER.
bool user_from_environment() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "r", stdin) == nullptr) ::_exit(2);
    const char *login = ::getlogin();
    ::_exit(login == nullptr || *login == '\0' ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A user name of this test alone, and its directory under /tmp removed at
// the end whatever the test left there.
class OwnUser {
public:
  explicit OwnUser(const ToolDir &dir) : name_("kovtest-" + dir.path().filename().string()) {}
  OwnUser(const OwnUser &) = delete;
  OwnUser &operator=(const OwnUser &) = delete;
  ~OwnUser() {
    std::error_code ec;
    fs::remove_all(directory(), ec);
  }
  const std::string &name() const { return name_; }
  std::string directory() const { return "/tmp/" + name_; }

private:
  std::string name_;
};

TEST(DefaultDatapath, FirstRunMakesAPrivateDirectory) {
  if (!user_from_environment()) GTEST_SKIP() << "a login name would choose the directory";
  ToolDir dir;
  OwnUser user(dir);
  const std::string env = "unset DATAPATH; export USER='" + user.name() + "' HOME=\"$PWD\"\n";
  ASSERT_EQ(dir.run(env + "\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 >vel.H 2>err"), 0)
      << dir.read("err");
  struct stat st {};
  ASSERT_EQ(::lstat(user.directory().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_NE(dir.read("vel.H").find("sets next: in=\"/tmp//" + user.name() + "/_vel.H@\""),
            std::string::npos)
      << dir.read("vel.H");
  EXPECT_EQ(fs::file_size(user.directory() + "/_vel.H@"), 60u);

  // A directory that others could have placed or could change is refused.
  fs::remove_all(user.directory());
  fs::create_directory_symlink(dir.path(), user.directory());
  EXPECT_EQ(dir.run(env + "\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 >vel.H 2>err"), 23);
  EXPECT_EQ(dir.read("err"), std::string(KOV_VELMODEL) + ": refusing the data directory /tmp//" +
                                 user.name() +
                                 ": it is a symbolic link (set datapath= or DATAPATH to a "
                                 "directory you own)\n");
}

TEST(DataFile, OneLineWhenItCannotBeCreated) {
  ToolDir dir;
  const std::string velmodel = std::string(KOV_VELMODEL) + ": ";
  EXPECT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 datapath=\"$PWD/none/\" >vel.H "
                    "2>err"),
            23);
  EXPECT_EQ(dir.read("err"), velmodel + "cannot create the data file " + (dir / "none/vel.H@") +
                                 ": No such file or directory (set datapath= or DATAPATH to a "
                                 "directory you can write)\n");
  EXPECT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 out=\"$PWD/none/v\" >vel.H "
                    "2>err"),
            23);
  EXPECT_EQ(dir.read("err"), velmodel + "cannot create the data file " + (dir / "none/v") +
                                 ": No such file or directory (set out= to a file you can "
                                 "write)\n");
  EXPECT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 nfiles=2 "
                    "filesize=1 dirsize=1 datapath=\"$PWD/;$PWD/none/\" >vel.H 2>err"),
            23);
  EXPECT_NE(dir.read("err").find("cannot create the data file " + (dir / "none/vel.H@1") +
                                 ": No such file or directory"),
            std::string::npos)
      << dir.read("err");
}

// A directory named with a date and time: every name under it is a file.
TEST(ColonNames, OnlyTheEndpointFormsAreSockets) {
  ToolDir dir;
  const std::string run = "run:2024-01-01T12:00";
  fs::create_directory(dir / run);
  ASSERT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 head='" + run +
                    "/v.H' >/dev/null 2>err && \"$kovinfo\" \"$PWD/" + run +
                    "/v.H\" >info 2>>err && \"$kovwindow\" stdin='" + run +
                    "/v.H' n2=2 >w.H 2>>err && \"$kovinfo\" w.H >winfo 2>>err"),
            0)
      << dir.read("err");
  EXPECT_EQ(info_line(dir.read("info"), "data"), dir / "v.H@");
  EXPECT_EQ(info_line(dir.read("info"), "axis 1"), "n1=5 o1=0 d1=10 label1=\"z\"");
  EXPECT_EQ(info_line(dir.read("winfo"), "axis 2"), "n2=2 o2=-15000 d2=20 label2=\"cmpx\"");

  // A missing file under such a directory is a missing file, and a socket
  // that cannot be served is fatal like any other bad name.
  EXPECT_EQ(dir.run("\"$kovinfo\" '" + run + "/none.H' 2>err"), 23);
  EXPECT_NE(dir.read("err").find(run + "/none.H: No such file or directory"), std::string::npos)
      << dir.read("err");
  EXPECT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 head=\"::$PWD/none/s\" "
                    ">/dev/null 2>err"),
            23)
      << dir.read("err");
}

// A datapath holding a quote and what looks like a parameter: the history
// still names the right data file and keeps n1.
TEST(HistoryTexts, QuotesInTheDatapathReadBack) {
  ToolDir dir;
  fs::create_directory(dir / "x\" n1=9 y");
  ASSERT_EQ(dir.run("\"$velmodel\" n2=3 depth=10 z1=20 z2=30 \"datapath=$PWD/x\\\" n1=7 y/\" "
                    ">v.H 2>err && \"$kovinfo\" v.H >v.info 2>>err && "
                    "DATAPATH=\"$PWD/x\\\" n1=9 y/\" \"$velmodel\" n1=5 n2=3 depth=10 z1=20 "
                    "z2=30 >w.H 2>>err && \"$kovinfo\" w.H >w.info 2>>err"),
            0)
      << dir.read("err") << dir.read("v.H");
  // The word with a quote is scanned: datapath is «…/x"» and n1 is 7.
  EXPECT_EQ(info_line(dir.read("v.info"), "data"), dir / "x\"v.H@");
  EXPECT_EQ(info_line(dir.read("v.info"), "axis 1"), "n1=7 o1=0 d1=10 label1=\"z\"");
  EXPECT_EQ(info_line(dir.read("w.info"), "data"), dir / "x\" n1=9 y/w.H@");
  EXPECT_EQ(info_line(dir.read("w.info"), "axis 1"), "n1=5 o1=0 d1=10 label1=\"z\"");
}

// A SEG-Y file from outside cannot choose what the readers of its dataset
// open: a label in its textual header stays a label.
TEST(HistoryTexts, SegyLabelCannotRewriteTheHistory) {
  if (std::string(KOV_SEGY2KOV).empty() || std::string(KOV_KOV2SEGY).empty())
    GTEST_SKIP() << "SEG-Y tools not built";
  ToolDir dir;
  kovtest::write_file(dir / "label.py", R"(
import segyio
with segyio.open('a.sgy', 'r+', ignore_geometry=True) as f:
    f.text[0] = (b' label1=t"\tin="/some/other/file"\tn1=2 ').ljust(3200)
)");
  ASSERT_EQ(dir.run("\"$velmodel\" n1=5 n2=3 depth=10 z1=20 z2=30 >v.H 2>err && \"$kov2segy\" "
                    "v.H out=a.sgy 2>>err && \"$python\" label.py 2>>err && \"$segy2kov\" a.sgy "
                    ">s.H 2>>err && \"$kovinfo\" s.H >s.info 2>>err"),
            0)
      << dir.read("err");
  const std::string info = dir.read("s.info");
  EXPECT_EQ(info_line(info, "data"), dir / "s.H@") << info << dir.read("s.H");
  EXPECT_EQ(info_line(info, "axis 1").substr(0, 5), "n1=5 ") << info;
  // The tabs of the textual header are blanks to segy2kov: the label is the
  // word before the first, a quote and all.
  EXPECT_EQ(info_line(info, "axis 1"), "n1=5 o1=0 d1=10 label1=\"t\"\"") << info;
}

} // namespace
