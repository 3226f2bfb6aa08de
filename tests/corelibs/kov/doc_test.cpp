// SPDX-License-Identifier: Apache-2.0
// Self-documentation.  Documentation is due only with standard input on a
// terminal, so the runs that show it have a pseudo-terminal of their own as
// standard input, and a `more` and a `Docsieve` of the test's own first on
// PATH that record what they were fed.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kovtest::Outcome;
using kovtest::read_file;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

// Run `body` in a child process whose standard input is a pseudo-terminal
// and whose standard output and error go to files; the child exits 0 after
// `body`.  The wait is bounded: a child that hangs is killed (status -1).
template <class F> Outcome run_on_terminal(F body) {
  int master = -1, slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {-99, "", "no pty"};
  TempDir dir;
  const std::string out = dir / "out", err = dir / "err";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(master);
    if (::dup2(slave, STDIN_FILENO) < 0 || !std::freopen(out.c_str(), "w", stdout) ||
        !std::freopen(err.c_str(), "w", stderr))
      ::_exit(99);
    ::close(slave);
    body();
    std::exit(0);
  }
  ::close(slave);
  int status = 0;
  pid_t done = 0;
  for (int tries = 0; tries < 6000 && done == 0; ++tries) {
    done = ::waitpid(pid, &status, WNOHANG);
    if (done == 0) ::usleep(10000);
  }
  if (done == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ::close(master);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

void write_script(const std::string &path, const std::string &body) {
  write_file(path, "#!/bin/sh\n" + body);
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// A `more` and a `Docsieve` in `dir` that record their input in more.fed and
// docsieve.fed; `more` also says so on its standard output.
class Fakes {
public:
  explicit Fakes(const TempDir &dir) : dir_(dir) {
    write_script(dir / "more", "cat >'" + (dir / "more.fed") + "'\necho more ran\n");
    write_script(dir / "Docsieve", "cat >'" + (dir / "docsieve.fed") + "'\n");
  }
  // Call in the child.
  void first_on_path() const {
    const char *path = std::getenv("PATH");
    const std::string value = dir_.path().string() + ":" + (path != nullptr ? path : "/bin");
    ::setenv("PATH", value.c_str(), 1);
    ::unsetenv("PAGER");
    ::unsetenv("KOV_DOC_PATH");
  }
  std::string fed_to_more() const { return read_file(dir_ / "more.fed"); }
  std::string fed_to_docsieve() const { return read_file(dir_ / "docsieve.fed"); }
  bool more_ran() const { return std::filesystem::exists(dir_ / "more.fed"); }

private:
  const TempDir &dir_;
};

TEST(Doc, NotDueWithArgumentsOrWithoutATerminal) {
  TempDir dir;
  Fakes fakes(dir);
  const Outcome with_args = run_on_terminal([&] {
    fakes.first_on_path();
    set_args({"prog", "n1=5"});
    kov_add_doc_line("registered");
    std::exit(doc("C manual") == 0 ? 0 : 2);
  });
  EXPECT_EQ(with_args.status, 0);
  const Outcome redirected = kovtest::run_child([&] {
    fakes.first_on_path();
    set_args({"prog"});
    kov_add_doc_line("registered");
    std::exit(doc("C manual") == 0 ? 0 : 2);
  });
  EXPECT_EQ(redirected.status, 0);
  EXPECT_FALSE(fakes.more_ran());
}

TEST(Doc, TextSourceGoesUnchangedThroughMoreOnStandardError) {
  TempDir dir;
  Fakes fakes(dir);
  const std::string text = "C  manual of prog\nC% this is no end marker here\n";
  const Outcome o = run_on_terminal([&] {
    fakes.first_on_path();
    set_args({"prog"});
    doc(text.c_str());
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(fakes.fed_to_more(), text);
  EXPECT_EQ(o.err, "more ran\n") << "the pager writes to standard error";
  EXPECT_EQ(o.out, "");
}

// A source file's documentation ends at the first end marker, wherever it
// is; sources in the documentation markup go through the extractor first.
TEST(Doc, SourceFilesEndAtTheirMarker) {
  struct Case {
    const char *content, *shown;
    bool sieved;
  };
  const Case cases[] = {
      {"/* manual of prog\n   more */\nint main() { return 0; }\n", "/* manual of prog\n   more *",
       false},
      {"#!/bin/sh\n# manual\n#% end\necho\n", "#!/bin/sh\n# manual\n#", false},
      {"%d at the start ends nothing\nc%\nrest\n", "%d at the start ends nothing\nc", false},
      {"#$\n=head1 NAME\n\nprog\n#%\n", "#$\n=head1 NAME\n\nprog\n#", true},
      {"!!$\n=head1 NAME\n!%\n", "!!$\n=head1 NAME\n!", true},
      {"/*$\n=head1 NAME\n*/\n", "/*$\n=head1 NAME\n*", true},
  };
  for (const Case &c : cases) {
    TempDir dir;
    Fakes fakes(dir);
    write_file(dir / "prog.src", c.content);
    const Outcome o = run_on_terminal([&] {
      fakes.first_on_path();
      set_args({"prog"});
      doc((dir / "prog.src").c_str());
    });
    EXPECT_EQ(o.status, 1) << c.content;
    EXPECT_TRUE(fakes.more_ran()) << c.content;
    EXPECT_EQ(c.sieved ? fakes.fed_to_docsieve() : fakes.fed_to_more(), c.shown);
    EXPECT_EQ(std::filesystem::exists(dir / "docsieve.fed"), c.sieved) << c.content;
  }
}

TEST(Doc, RegisteredLinesWinAndGoToMore) {
  TempDir dir;
  Fakes fakes(dir);
  const Outcome o = run_on_terminal([&] {
    fakes.first_on_path();
    set_args({"prog"});
    kov_add_doc_line_("first line   ", 13);
    kov_add_doc_line__("\0\0\0\0", 4); // no text: nothing registered
    kov_add_doc_line("second");
    doc_("prog.c   ", 9);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(fakes.fed_to_more(), "first line\nsecond\n");
  EXPECT_EQ(o.err, "more ran\n");
}

TEST(Doc, PagerLongerThanTheCommandBufferIsUsedWhole) {
  TempDir dir;
  Fakes fakes(dir);
  const std::string pager = dir / "a_pager_whose_name_does_not_fit_a_small_buffer";
  ASSERT_GT(pager.size(), 32u);
  write_script(pager, "cat >'" + (dir / "pager.fed") + "'\n");
  const Outcome o = run_on_terminal([&] {
    fakes.first_on_path();
    ::setenv("PAGER", pager.c_str(), 1);
    set_args({"prog"});
    kov_add_doc_line("only line");
    doc("ignored");
  });
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(read_file(dir / "pager.fed"), "only line\n");
  EXPECT_FALSE(fakes.more_ran());
}

TEST(Doc, TypedInitHandsItsSourceToDoc) {
  TempDir dir;
  Fakes fakes(dir);
  write_file(dir / "init_probe.cpp", "/* manual of the probe */\nint main() {}\n");
  const Outcome o = run_on_terminal([&] {
    fakes.first_on_path();
    std::filesystem::current_path(dir.path());
    ::execl(KOV_TYPED_INIT_PROBE, KOV_TYPED_INIT_PROBE, static_cast<char *>(nullptr));
    ::_exit(98);
  });
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(fakes.fed_to_more(), "/* manual of the probe *");
}

TEST(Doc, Failures) {
  TempDir dir;
  Fakes fakes(dir);
  const std::string missing = dir / "missing.src";
  const Outcome not_found = run_on_terminal([&] {
    fakes.first_on_path();
    set_args({"prog"});
    doc(missing.c_str());
  });
  EXPECT_EQ(not_found.status, 23);
  EXPECT_EQ(not_found.err,
            "doc(): No such file or directory\nprog: doc() source not at  " + missing + " \n");

  // A pager that reads nothing: writing the text fails.
  write_script(dir / "more", "exit 0\n");
  const Outcome broken = run_on_terminal([&] {
    fakes.first_on_path();
    std::signal(SIGPIPE, SIG_IGN);
    set_args({"prog"});
    const std::string text = "#" + std::string(1 << 20, 'x');
    doc(text.c_str());
  });
  EXPECT_EQ(broken.status, 23);
  EXPECT_NE(broken.err.find("doc(): Broken pipe\n"), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find("prog: doc() I/O error piping to more command\n"), std::string::npos);
}

class DocPath : public ::testing::Test {
protected:
  void SetUp() override { ::unsetenv("KOV_DOC_PATH"); }
};

TEST_F(DocPath, BuiltInDirectoriesThenKovDocPath) {
  EXPECT_STREQ(get_doc_path(0), "/opt/KOV/kovlib/kovlib_base");
  EXPECT_STREQ(get_doc_path(1), "/usr/local/KOV/src/");
  EXPECT_EQ(get_doc_path(2), nullptr);
  ::setenv("KOV_DOC_PATH", "/d1:/d2", 1);
  EXPECT_STREQ(get_doc_path(2), "/d1");
  EXPECT_STREQ(get_doc_path(3), "/d2");
  EXPECT_EQ(get_doc_path(4), nullptr);
  ::setenv("KOV_DOC_PATH", "", 1);
  EXPECT_STREQ(get_doc_path(2), "");
  EXPECT_EQ(get_doc_path(3), nullptr);
}

TEST_F(DocPath, RelativeNamesAreLookedForInTheListInOrder) {
  TempDir dir;
  const std::string d1 = dir / "d1", d2 = dir / "d2";
  std::filesystem::create_directories(d1 + "/sub");
  std::filesystem::create_directories(d2);
  ::setenv("KOV_DOC_PATH", (d1 + ":" + d2).c_str(), 1);
  EXPECT_STREQ(find_doc("prog.c"), "prog.c") << "found nowhere: the name itself";
  write_file(d2 + "/prog.c", "");
  EXPECT_EQ(std::string(find_doc("prog.c")), d2 + "/prog.c");
  write_file(d1 + "/prog.c", "");
  EXPECT_EQ(std::string(find_doc("prog.c")), d1 + "/prog.c");

  // Under the base directory a name is taken relative to it.
  write_file(d1 + "/sub/tool.c", "");
  EXPECT_EQ(std::string(find_doc("/opt/KOV/kovlib/kovlib_base//sub/tool.c")), d1 + "/sub/tool.c");
  const char *absent = "/opt/KOV/kovlib/kovlib_base/sub/absent.c";
  EXPECT_EQ(find_doc(absent), absent);
  const std::string elsewhere = d1 + "/prog.c";
  EXPECT_EQ(find_doc(elsewhere.c_str()), elsewhere.c_str()) << "other absolute names unsearched";

  // An empty entry makes the candidate the root followed by the name.
  ::setenv("KOV_DOC_PATH", "", 1);
  const std::string rooted = d2 + "/prog.c";
  EXPECT_EQ(std::string(find_doc(rooted.c_str() + 1)), rooted);
}

} // namespace
