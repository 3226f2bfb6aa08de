// SPDX-License-Identifier: Apache-2.0
// The datapath search, data file names, and the expansion and lookup of names.
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using kovtest::fatal_exit;
using kovtest::set_args;
using kovtest::write_file;

void own_stdin() {
  if (std::freopen("/dev/null", "r", stdin) == nullptr) std::_Exit(99);
}

std::string take(char *p) {
  std::string s = p != nullptr ? p : "(null)";
  std::free(p);
  return s;
}

std::vector<std::string> split(const std::string &list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1)
    parts.push_back(list.substr(start, end - start));
  parts.push_back(list.substr(start));
  return parts;
}

std::string dataname(const char *tag, tagtype request) {
  return tag_info(tag, request)->dataname.value_or("(none)");
}

// Every test works in its own directory, with HOME inside it and no DATAPATH.
class DatapathFixture : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    cwd = fs::current_path().string();
    home = cwd + "/home";
    fs::create_directory(home);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("DATAPATH");
  }
  std::string search() {
    std::vector<char> buf(4096, '\0');
    EXPECT_EQ(datapath(buf.data()), buf.data());
    return buf.data();
  }
  // Run `body` in a child whose standard output is the file "stdout" here or
  // a pipe; returns the text the body produced.
  std::string in_child(bool to_pipe, const std::function<std::string()> &body) {
    int p[2] = {-1, -1};
    if (to_pipe && ::pipe(p) != 0) return "no pipe";
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      own_stdin();
      const int fd = to_pipe ? p[1] : ::open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(99);
      write_file(cwd + "/result", body());
      ::_exit(0);
    }
    if (to_pipe) ::close(p[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (to_pipe) ::close(p[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return kovtest::read_file(cwd + "/result");
  }

  kovtest::TempDir dir;
  std::string cwd, home;
};

// Point the default datapath's root into the test's directory for a scope.
class RootHere {
public:
  explicit RootHere(std::string root) : old_(kov::detail::default_datapath_root) {
    kov::detail::default_datapath_root = std::move(root);
  }
  RootHere(const RootHere &) = delete;
  RootHere &operator=(const RootHere &) = delete;
  ~RootHere() { kov::detail::default_datapath_root = old_; }

private:
  std::string old_;
};

class DatapathFileList : public DatapathFixture {};
class DatapathSearch : public DatapathFixture {};
class DatapathNames : public DatapathFixture {};
class DatapathOutput : public DatapathFixture {};

TEST_F(DatapathFileList, NumberedRandomAndLongNames) {
  set_args({"prog", "nfiles=3"});
  EXPECT_EQ(take(makenames("/d/", "vel", 0)), "/d/vel@;/d/vel@1;/d/vel@2");
  const std::string base(4000, 'b');
  const auto longs = split(take(makenames("/d/", base.c_str(), 0)));
  ASSERT_EQ(longs.size(), 3u);
  EXPECT_EQ(longs[2], "/d/" + base + "@2");
  const auto randoms = split(take(makenames((cwd + "/").c_str(), "vel", 1)));
  ASSERT_EQ(randoms.size(), 3u);
  EXPECT_EQ(randoms[1].rfind(cwd + "/vel@1", 0), 0u);
  EXPECT_EQ(randoms[1].size(), cwd.size() + 6 + 6);
  EXPECT_EQ(std::distance(fs::directory_iterator(cwd), {}), 1) << "only home is left";
}

TEST_F(DatapathFileList, SplitOverPrefixesBySize) {
  set_args({"prog", "nfiles=3", "filesize=10", "dirsize=20"});
  EXPECT_EQ(take(makenames("/a/;/b/", "vel", 0)), "/a/vel@;/a/vel@1;/b/vel@2");
}

TEST_F(DatapathFileList, LastGivenSizeFillsLaterDirectories) {
  set_args({"prog", "nfiles=6", "filesize=10", "dirsize=10,30"});
  EXPECT_EQ(take(makenames("/a/;/b/;/c/", "v", 0)), "/a/v@;/b/v@1;/b/v@2;/b/v@3;/c/v@4;/c/v@5");
}

TEST_F(DatapathFileList, EveryPrefixGetsAFileAndRelativeOnesAreCompleted) {
  set_args({"prog"});
  EXPECT_EQ(take(makenames("run_;./x/;;/c/", "vel", 0)), cwd + "/run_vel@;./x/vel@1;/c/vel@2");
}

TEST_F(DatapathFileList, TooManyFilesIsFatal) {
  set_args({"prog", "nfiles=1001"});
  EXPECT_EXIT((own_stdin(), makenames("/d/", "v", 0)), fatal_exit(),
              "prog: nfiles to large, max 1000 \n");
}

TEST_F(DatapathSearch, ParameterFirst) {
  set_args({"prog", "datapath=/p/"});
  ::setenv("DATAPATH", "/e/", 1);
  write_file(cwd + "/.datapath", "datapath=/l/\n");
  EXPECT_EQ(search(), "/p/");
}

TEST_F(DatapathSearch, EnvironmentThenLocalThenHomeFileThenDefault) {
  set_args({"prog"});
  ::setenv("USER", "ann", 1);
  ::setenv("DATAPATH", "/e/", 1);
  write_file(cwd + "/.datapath", "datapath=/l/\n");
  write_file(home + "/.datapath", "datapath=/h/\n");
  EXPECT_EQ(search(), "/e/");
  ::unsetenv("DATAPATH");
  EXPECT_EQ(search(), "/l/");
  fs::remove(cwd + "/.datapath");
  EXPECT_EQ(search(), "/h/");
  fs::remove(home + "/.datapath");
  std::string user = std::getenv("USER");
  if (const char *l = ::getlogin(); l != nullptr && *l != '\0') user = l;
  // The default's directory is made here, not in the real /tmp.
  const RootHere root(cwd + "/t/");
  fs::create_directory(cwd + "/t");
  EXPECT_EQ(search(), cwd + "/t//" + user + "/_");
  // A per-user file name longer than 99 characters is not looked for.
  const std::string deep = home + "/" + std::string(100, 'd');
  fs::create_directory(deep);
  write_file(deep + "/.datapath", "datapath=/h/\n");
  ::setenv("HOME", deep.c_str(), 1);
  EXPECT_EQ(search(), cwd + "/t//" + user + "/_");
}

// The directory of the default is shared ground: made private when missing,
// refused when someone else could have placed it or can change it.
TEST_F(DatapathSearch, DefaultDirectoryIsMadePrivateOrRefused) {
  set_args({"prog"});
  ::setenv("USER", "ann", 1);
  std::string user = "ann";
  if (const char *l = ::getlogin(); l != nullptr && *l != '\0') user = l;
  const RootHere root(cwd + "/t/");
  const std::string mine = cwd + "/t//" + user;
  EXPECT_EXIT(search(), fatal_exit(),
              "cannot create the data directory " + mine +
                  ": No such file or directory \\(set datapath= or DATAPATH to a directory you "
                  "can write\\)\n");
  fs::create_directory(cwd + "/t");
  EXPECT_EQ(search(), mine + "/_");
  struct stat st {};
  ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(search(), mine + "/_") << "an existing private directory is used";
  ASSERT_EQ(::chmod(mine.c_str(), 0775), 0);
  EXPECT_EQ(search(), mine + "/_") << "writable by its group is the user's own business";

  const auto refused = [&](const char *reason) {
    return "refusing the data directory " + mine + ": " + reason +
           " \\(set datapath= or DATAPATH to a directory you own\\)\n";
  };
  ASSERT_EQ(::chmod(mine.c_str(), 0777), 0);
  EXPECT_EXIT(search(), fatal_exit(), refused("other users can write to it"));
  fs::remove(mine);
  fs::create_directory_symlink(cwd + "/home", mine);
  EXPECT_EXIT(search(), fatal_exit(), refused("it is a symbolic link"));
  fs::remove(mine);
  write_file(mine, "");
  EXPECT_EXIT(search(), fatal_exit(), refused("it is not a directory"));
  fs::remove(mine);
  if (user == "ann") {
    ::setenv("USER", "../etc", 1);
    EXPECT_EXIT(search(), fatal_exit(), "refusing the user name \"../etc\" for the default");
    ::setenv("USER", "ann", 1);
  }
  if (::geteuid() == 0) {
    fs::create_directory(mine);
    ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
    EXPECT_EXIT(search(), fatal_exit(), refused("it belongs to another user"));
  }
}

TEST_F(DatapathSearch, EntriesForThisHost) {
  set_args({"prog"});
  struct utsname u;
  ASSERT_EQ(::uname(&u), 0);
  const std::string node =
      std::string(u.nodename).substr(0, std::string(u.nodename).find_first_of(". "));
  write_file(home + "/.datapath", "datapath=/x/\n" + node + "x datapath=/z/\n" + node +
                                      " datapath=/y/\n\n" + node +
                                      "\n  datapath=/w/ o datapath=/v/");
  EXPECT_EQ(search(), "/w/") << "the last entry for this host wins";
  write_file(cwd + "/dp", " datapath=/x/ other.host datapath=/z/\n");
  std::FILE *f = std::fopen("dp", "r");
  const int fd = ::fileno(f);
  std::vector<char> buf(4096, '\0');
  readpath(f, buf.data());
  EXPECT_STREQ(buf.data(), "/x/");
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << "readpath closes the file";
  for (const char *text : {"path=/x/\n", "", "datapath=", "host datapath=/y/\n"}) {
    write_file(cwd + "/.datapath", text);
    EXPECT_EXIT((own_stdin(), search()), fatal_exit(), "prog:  Error reading .datapath file")
        << "file: " << text;
  }
}

TEST_F(DatapathNames, FullnmAndExpandName) {
  char a[32] = "/abs/vel", v[32] = "$DATADIR/vel";
  EXPECT_EQ(fullnm(a, 32), 0);
  EXPECT_STREQ(a, "/abs/vel");
  EXPECT_EQ(fullnm(v, 32), 0);
  EXPECT_STREQ(v, "$DATADIR/vel");
  std::vector<char> buf(4096, '\0');
  std::strcpy(buf.data(), "vel.H");
  EXPECT_EQ(fullnm(buf.data(), static_cast<int>(cwd.size()) + 5), 2) << "two characters cut";
  EXPECT_EQ(std::string(buf.data()), cwd + "/vel");
  EXPECT_EQ(take(expand_name("./x/vel@")), "./x/vel@");
  EXPECT_EQ(take(expand_name("vel@")), cwd + "/vel@");
  EXPECT_EQ(take(expand_name(std::string(5000, 'n').c_str())).size(), 4095u);
  const char *name = "/a/b/vel.H";
  EXPECT_EQ(kov_tail(name), name + 5);
  EXPECT_STREQ(kov_tail("vel"), "vel");
}

TEST_F(DatapathNames, VariablesFromEnvironmentThenParameters) {
  set_args({"prog", "PARDIR=/par", "BOTH=/par"});
  ::setenv("ENVDIR", "/env", 1);
  ::setenv("BOTH", "/env", 1);
  EXPECT_EQ(take(envhead("$DATADIR/sub/vel@")), "DATADIR");
  EXPECT_EQ(take(envhead("vel/$V")), "(null)");
  EXPECT_EQ(take(expand_info("$ENVDIR/a/vel@", nullptr)), "/env/a/vel@");
  EXPECT_EQ(take(expand_info("$BOTH", nullptr)), "/env");
  EXPECT_EQ(take(expandnm("$PARDIR/x", nullptr)), "/par/x");
  EXPECT_EQ(take(expand_info("/plain/vel@", nullptr)), "/plain/vel@");
  EXPECT_EXIT((own_stdin(), expand_info("$KOV_NO_SUCH_DIR/v", nullptr)), fatal_exit(),
              "prog: Unable to obtain pathname variable KOV_NO_SUCH_DIR\n");
}

TEST_F(DatapathNames, OpenFiles) {
  fs::create_directory("sub");
  write_file("Hvel", "x");
  write_file("sub/other", "x");
  const int here = ::open("Hvel", O_RDONLY), there = ::open("sub/other", O_RDONLY);
  char buf[64] = "junk";
  EXPECT_EQ(findnm(here, buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "Hvel");
  EXPECT_EQ(findnm(there, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(findnm(here, buf, 3), -1) << "no room for the name";
  EXPECT_EQ(isapipe(here), 0);
  ::close(there);
  EXPECT_EQ(findnm(there, buf, sizeof buf), -1);
  int p[2], s[2];
  ASSERT_EQ(::pipe(p), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, s), 0);
  EXPECT_EQ(isapipe(p[0]) + isapipe(p[1]) + isapipe(s[0]), 3);
  char r1[128], r2[128];
  mkrandom_string((cwd + "/v@").c_str(), r1);
  mkrandom_string((cwd + "/v@").c_str(), r2);
  EXPECT_EQ(std::strlen(r1), cwd.size() + 3 + 6);
  EXPECT_STRNE(r1, r2);
  EXPECT_FALSE(fs::exists(r1) || fs::exists(r2));
}

TEST_F(DatapathOutput, NamesFromTheHeaderFile) {
  fs::create_directories("sub");
  fs::create_directories("d");
  const auto out_data = [&](const std::string &header) {
    return in_child(false, [&] {
      set_args({"/bin/myprog", "stdout=" + header, "datapath=" + cwd + "/d/", "noheader=y"});
      return dataname("out", TAG_OUT);
    });
  };
  EXPECT_EQ(out_data("vel.H"), cwd + "/d/vel.H@");
  EXPECT_EQ(out_data("Hvel"), cwd + "/d/vel@") << "one leading H is dropped";
  const std::string far = out_data("sub/Hfar");
  EXPECT_EQ(far.rfind(cwd + "/d/myprog@", 0), 0u) << "header not in this directory";
  EXPECT_EQ(far.size(), cwd.size() + 10 + 6);
  EXPECT_TRUE(fs::is_empty("d"));
  set_args({"/bin/myprog", "aux=Hvel", "far=sub/Hfar", "work=sub/wk", "datapath=" + cwd + "/d/",
            "noheader=y"});
  EXPECT_EQ(dataname("aux", TAG_OUT), cwd + "/d/Hvel@") << "other outputs: the header's name";
  EXPECT_EQ(dataname("far", TAG_OUT), cwd + "/d/Hfar@");
  EXPECT_EQ(dataname("work", TAG_SCR), cwd + "/d/wk@") << "scratch data after its header";
  char buf[4096] = "";
  EXPECT_EQ(get_data_name("far", buf), 0);
  EXPECT_STREQ(buf, "Hfar");
  EXPECT_EQ(get_data_name("new", buf), 0);
  EXPECT_STREQ(buf, "new");
  EXPECT_EQ(tag_info("new", TAG_INQUIRE)->entrytype, STREAMOUT);
}

TEST_F(DatapathOutput, HeaderOnStandardOutput) {
  set_args({"prog", "datapath=/d/", "noheader=y"});
  EXPECT_EQ(in_child(false, [] { return dataname("out", TAG_OUT); }), "/d/stdout@");
  EXPECT_EQ(in_child(true, [] { return dataname("out", TAG_OUT); }), "follow_hdr");
  EXPECT_EQ(in_child(true,
                     [] {
                       char buf[8] = "keep";
                       return std::to_string(get_data_name("out", buf)) + buf;
                     }),
            "1keep");
}

TEST_F(DatapathOutput, OutParameter) {
  set_args({"prog", "out=stdout", "noheader=y", "aux=vel.H", "tmp.out=rel/data", "datapath=/d/"});
  EXPECT_EQ(in_child(false, [] { return dataname("out", TAG_OUT); }), "follow_hdr");
  EXPECT_EQ(in_child(false,
                     [] {
                       set_args({"prog", "out=stdout", "noheader=y", "stdout=vel.H"});
                       return dataname("out", TAG_OUT);
                     }),
            "stdout")
      << "header in a file";
  EXPECT_EQ(dataname("aux", TAG_OUT), "/d/vel.H@") << "out names the data of out only";
  EXPECT_EQ(dataname("tmp", TAG_SCR), "rel/data") << "taken as given";
}

TEST_F(DatapathOutput, OutNameMadeAbsoluteUnlessDotSlash) {
  EXPECT_EQ(in_child(false,
                     [] {
                       set_args({"prog", "out=rel/x", "stdout=vel.H", "noheader=y"});
                       return dataname("out", TAG_OUT);
                     }),
            cwd + "/rel/x");
  set_args({"prog", "out=./rel/x", "stdout=vel.H", "noheader=y"});
  EXPECT_EQ(dataname("out", TAG_OUT), "./rel/x");
}

TEST_F(DatapathOutput, DatapathStdoutMeansFollowHeader) {
  set_args({"prog", "datapath=stdout", "stdout=vel.H", "noheader=y"});
  EXPECT_EQ(dataname("out", TAG_OUT), "follow_hdr");
}

} // namespace
