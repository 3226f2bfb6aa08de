// SPDX-License-Identifier: Apache-2.0
// History writing and the output header life cycle.
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::run_child;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

const char kTitlePattern[] = "prog:   [^@ ]*@[^ ]*   [A-Z][a-z][a-z] [A-Z][a-z][a-z] [ 0-9][0-9] "
                             "[0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]{4}";

TEST(HistoryLines, EveryCodeAndTheQuoteRule) {
  char buf[KOV_LINE_MAX];
  const int n = 100, yes = 1, no = 0;
  const float f = 0.004f;
  const double g = 0.1;
  putch_format(buf, "nt", "d", &n);
  EXPECT_STREQ(buf, "\t\tnt=100\n");
  putch_format(buf, "d1", "f", &f);
  EXPECT_STREQ(buf, "\t\td1=0.004\n");
  putch_format(buf, "d2", "g", &g);
  EXPECT_STREQ(buf, "\t\td2=0.1\n");
  const double third = 1.0 / 3.0;
  putch_format(buf, "d3", "g", &third);
  EXPECT_STREQ(buf, "\t\td3=0.333333333333333\n");
  putch_format(buf, "on", "1", &yes);
  EXPECT_STREQ(buf, "\t\ton=yes\n");
  putch_format(buf, "off", "l", &no);
  EXPECT_STREQ(buf, "\t\toff=no\n");
  putch_format(buf, "label", "s", "a b");
  EXPECT_STREQ(buf, "\t\tlabel=\"a b\"\n");
  putch_format(buf, "label", "s", "\"x\"");
  EXPECT_STREQ(buf, "\t\tlabel=\"x\"\n");
}

TEST(HistoryLinesDeathTest, UnknownCodeAndOverlongLine) {
  char buf[KOV_LINE_MAX];
  const int n = 1;
  EXPECT_EXIT(putch_format(buf, "nt", "x", &n), fatal_exit(),
              "putch_format\\(\\): unknown conversion type 120\nnt\nx\n");
  const std::string huge(KOV_LINE_MAX, 'v');
  EXPECT_EXIT(putch_format(buf, huge.c_str(), "d", &n), fatal_exit(),
              "putch_format\\(\\): the line for parameter v+ needs");
}

// A text is written so that the scanner gives back exactly that text: a
// quote inside is doubled, and only one complete quoted token is written as
// it stands.
TEST(HistoryLines, TextsReadBackAsThemselves) {
  char buf[KOV_LINE_MAX];
  putch_format(buf, "label1", "s", "t\"\tin=\"/some/other/file\"\tn1=2");
  EXPECT_STREQ(buf, "\t\tlabel1=\"t\"\"\tin=\"\"/some/other/file\"\"\tn1=2\"\n");
  putch_format(buf, "label", "s", "\"x\" n1=7");
  EXPECT_STREQ(buf, "\t\tlabel=\"\"\"x\"\" n1=7\"\n");
  putch_format(buf, "label", "s", "\"a\"\"b\"");
  EXPECT_STREQ(buf, "\t\tlabel=\"a\"\"b\"\n") << "one complete quoted token";

  TempDir dir;
  const std::vector<std::string> texts = {"t\"\tin=\"/some/other/file\"\tn1=2",
                                          "\"x\" n1=7",
                                          "/tmp/x\" n1=7 y/v.H@",
                                          "a\"",
                                          "\"",
                                          "\"\"\"",
                                          "\"open",
                                          "'q'",
                                          "it''s",
                                          "",
                                          " lead",
                                          "a\tb\r",
                                          std::string(8189, 'w')};
  const auto child = run_child([&] {
    set_args({"prog", "t=" + (dir / "t.H"), "datapath=" + (dir / "")});
    for (std::size_t i = 0; i < texts.size(); ++i)
      auxputch(("v" + std::to_string(i)).c_str(), "s", texts[i].c_str(), "t");
    auxclose("t");
    std::vector<char> got(16384);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      std::fill(got.begin(), got.end(), '\0');
      if (auxpar(("v" + std::to_string(i)).c_str(), "s", got.data(), "t") != 1 ||
          std::string(got.data()) != texts[i]) {
        std::printf("v%zu read back as [%s]\n", i, got.data());
        std::exit(7);
      }
    }
    // Nothing inside a text became a parameter of its own.
    int n1 = 0;
    std::exit(auxpar("n1", "d", &n1, "t") == 0 && auxpar("in", "s", got.data(), "t") == 0 ? 0 : 8);
  });
  EXPECT_EQ(child.status, 0) << child.out << kovtest::read_file(dir / "t.H");
}

TEST(HistoryLinesDeathTest, TextsAHistoryCannotHold) {
  char buf[KOV_LINE_MAX];
  EXPECT_EXIT(putch_format(buf, "title", "s", "two\nlines"), fatal_exit(),
              "the text of parameter title holds a newline, which a history cannot hold");
  EXPECT_EXIT(putch_format(buf, "title", "s", "end\004here"), fatal_exit(),
              "the text of parameter title holds an end-of-transmission byte");
  // A line holds at most KOV_LINE_MAX bytes, doubled quotes counted.
  const std::string long_text(KOV_LINE_MAX, 'w');
  EXPECT_EXIT(putch_format(buf, "title", "s", long_text.c_str()), fatal_exit(),
              "the line for parameter title needs [0-9]+ bytes, more than 16374");
  const std::string doubled(KOV_LINE_MAX / 2, '"');
  EXPECT_EXIT(putch_format(buf, "title", "s", doubled.c_str()), fatal_exit(),
              "the line for parameter title needs [0-9]+ bytes");
}

// A small program of the family: writes parameters to out and closes it,
// with the header on its standard output.
void write_some_history() {
  const int n1 = 100;
  const float d1 = 4.0f;
  putch("n1", "d", &n1);
  putch("d1", "f", &d1);
  putch("label1", "s", "depth in m");
  putlin("free text");
  hclose();
}

TEST(OutputHeader, LayoutWithHeaderOnStandardOutput) {
  TempDir dir;
  const auto o = run_child([&] {
    std::filesystem::current_path(dir.path());
    set_args({"prog", "datapath=" + (dir / "")});
    write_some_history();
  });
  ASSERT_EQ(o.status, 0) << o.err;
  // Standard output went to a file outside the current directory, so the
  // data file gets a unique name made from the program's name.
  const auto lines = lines_of(o.out);
  ASSERT_EQ(lines.size(), 10u) << o.out;
  EXPECT_EQ(lines[0], "") << "the input history of /dev/null is empty";
  EXPECT_EQ(lines[1], "");
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(kTitlePattern))) << lines[2];
  EXPECT_TRUE(
      std::regex_match(lines[3], std::regex("\t\tsets next: in=\"" + (dir / "prog@") + "......\"")))
      << lines[3];
  EXPECT_EQ(lines[4], "\t\tn1=100");
  EXPECT_EQ(lines[5], "\t\td1=4");
  EXPECT_EQ(lines[6], "\t\tlabel1=\"depth in m\"");
  EXPECT_EQ(lines[7], "\tfree text");
  EXPECT_EQ(lines[8], "\t\tdata_format=\"xdr_float\"");
  EXPECT_EQ(lines[9], "") << "the final newline of the close";
}

TEST(OutputHeader, HeaderFileNamesTheDataAndCopiesTheInputHistory) {
  TempDir dir;
  write_file(dir / "in.H", "n1=5 data_format=native_float\n");
  const auto o = run_child(
      [&] {
        std::filesystem::current_path(dir.path());
        if (!std::freopen((dir / "Hvel").c_str(), "w", stdout)) std::exit(98);
        set_args({"prog", "datapath=" + (dir / "d_")});
        write_some_history();
      },
      dir / "in.H");
  ASSERT_EQ(o.status, 0) << o.err;
  const auto lines = lines_of(kovtest::read_file(dir / "Hvel"));
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "n1=5 data_format=native_float");
  EXPECT_EQ(lines[4], "\t\tsets next: in=\"" + (dir / "d_vel@") + "\"")
      << "a leading H is dropped from the base name";
  EXPECT_EQ(lines[lines.size() - 2], "\t\tdata_format=\"native_float\"")
      << "the output inherits the input's format";
}

TEST(OutputHeader, TitleSuppressedAndHeaderToStandardError) {
  TempDir dir;
  const auto o = run_child([&] {
    std::filesystem::current_path(dir.path());
    set_args({"prog", "out.write_title=0", "head=stderr", "datapath=" + (dir / "")});
    const int n = 3;
    putch("n", "d", &n);
    hclose();
  });
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err.find("prog:"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("\t\tn=3\n"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("\t\tsets next: in=\""), std::string::npos) << o.err;
}

// head= given empty keeps the header on standard output and does not treat
// it as a pipe: a piped header then ends with the plain end mark, with no
// trailer and no wait for a reader.
TEST(OutputHeader, EmptyHeadKeepsStandardOutputAsNoPipe) {
  TempDir dir;
  const auto o = run_child([&] {
    std::FILE *reader = ::popen(("cat > " + (dir / "sink")).c_str(), "w");
    if (reader == nullptr || ::dup2(::fileno(reader), STDOUT_FILENO) < 0) std::exit(3);
    set_args({"prog", "head=", "noheader=y", "timeout=1"});
    streaminf *out = tag_info("out", TAG_OUT);
    hclose();
    const bool ok = out->headfile == stdout && out->isapipe == 0 && out->sockfd == 0;
    std::fflush(stdout);
    ::close(STDOUT_FILENO);
    ::pclose(reader);
    std::exit(ok ? 0 : 4);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  const std::string text = kovtest::read_file(dir / "sink");
  EXPECT_TRUE(text.ends_with("\t\tdata_format=\"xdr_float\"\n\n\f\f\004")) << text;
  EXPECT_EQ(text.find("PIPE"), std::string::npos);
}

TEST(OutputHeader, SecondCloseOnlyWarns) {
  TempDir dir;
  const auto o = run_child([&] {
    set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / "")});
    hclose();
    hclose();
  });
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "WARNING: Multiple closes of output header with tag \"out\"\n or close called "
                   "after first write\n");
  const std::string text = kovtest::read_file(dir / "h.H");
  EXPECT_EQ(text.substr(text.size() - 3), "\"\n\n") << "one final newline";
}

TEST(OutputHeader, PipeHeaderFollowedByData) {
  TempDir dir;
  const std::string sink = dir / "sink";
  const auto o = run_child([&] {
    set_args({"prog", "head=| cat > " + sink, "isoutstream=y"});
    const int n = 4;
    putch("n", "d", &n);
    hclose();
    streaminf *out = tag_info("out", TAG_INQUIRE);
    const bool open = out->headfile != nullptr && out->dataname == "follow_hdr";
    ::pclose(out->headfile); // wait for the reader before looking at what it wrote
    std::exit(open ? 0 : 5);
  });
  EXPECT_EQ(o.status, 0) << "the header stream stays open for the data";
  const std::string text = kovtest::read_file(sink);
  EXPECT_NE(text.find("\t\tdata_format=\"xdr_float\"\n\n\f\f\x04"), std::string::npos) << text;
}

TEST(OutputHeader, EnvironmentLineForVariableDataNames) {
  TempDir dir;
  const auto run = [&](bool set) {
    return run_child([&] {
      if (set)
        ::setenv("KOVDATA", dir.path().c_str(), 1);
      else
        ::unsetenv("KOVDATA");
      set_args({"prog", "out=$KOVDATA/vel@"});
      hclose();
    });
  };
  const auto with = run(true);
  EXPECT_NE(with.out.find("\t\tsets next: in=\"$KOVDATA/vel@\"\n\t\t current environment "
                          "KOVDATA=\"" +
                          dir.path().string() + "\"\n"),
            std::string::npos)
      << with.out;
  const auto without = run(false);
  EXPECT_NE(without.out.find("\t\t current environment KOVDATA is not set\n"), std::string::npos)
      << without.out;
}

TEST(OutputHeaderDeathTest, MisuseIsFatal) {
  TempDir dir;
  set_args({"prog", "a=cat |", "datapath=" + (dir / ""), "head=" + (dir / "h.H")});
  EXPECT_EXIT(tag_info("a", TAG_OUT), fatal_exit(),
              "output pipe command 'cat \\|' doesn't start with \\| for tag a\n");
  EXPECT_EXIT(
      {
        const int n = 1;
        putch("n", "d", &n);
        copy_history("in", "out");
      },
      fatal_exit(), "cannot copy header to output tag \"out\" after it has been used \n");
  EXPECT_EXIT(
      {
        hclose();
        putlin("late");
      },
      fatal_exit(), "putlin\\(\\) called after header is closed");
  EXPECT_EXIT(
      {
        hclose();
        const int n = 1;
        putch("n", "d", &n);
      },
      fatal_exit(), "kovstrput\\(\\): Attempt to putch to invalid or closed header for tag out");
  set_args({"prog", "data_format=bogus", "head=" + (dir / "h2.H")});
  EXPECT_EXIT(hclose(), fatal_exit(), "unknown data format: bogus");
}

// Once the header of an output whose data follow it in the same stream has
// ended, a parameter line would land among the data: it is refused.
TEST(OutputHeaderDeathTest, NoLineAfterTheDataBeganInTheSameStream) {
  TempDir dir;
  const std::string file = dir / "q.H", sink = dir / "sink";
  const auto late_line = [](auto write) {
    const int n = 1;
    if (srite("out", "abcd", 4) != 4) std::exit(3);
    write(n);
  };
  EXPECT_EXIT(
      {
        set_args(
            {"prog", "head=" + file, "datapath=stdout", "data_format=native_byte", "noheader=y"});
        late_line([](int n) { putch("late", "d", &n); });
      },
      fatal_exit(), "kovstrput\\(\\): parameter late .*tag out.*same stream");
  const std::string text = kovtest::read_file(file);
  EXPECT_TRUE(text.ends_with("\n\f\f\004abcd")) << "the data stay exactly the data";

  EXPECT_EXIT(
      {
        set_args({"prog", "head=| cat > " + sink, "isoutstream=y", "data_format=native_byte",
                  "noheader=y"});
        late_line([](int n) { auxputch("late", "d", &n, "out"); });
      },
      fatal_exit(), "kovstrput\\(\\): parameter late .*tag out");
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + file, "datapath=stdout", "noheader=y"});
        late_line([](int) { putlin("late=2"); });
      },
      fatal_exit(), "putlin\\(\\): parameter late=2 .*tag out");
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + file, "datapath=stdout", "noheader=y"});
        late_line([](int) { auxputhead("out", "late=%d", 3); });
      },
      fatal_exit(), "auxputhead\\(\\): parameter late=%d .*tag out");
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + file, "datapath=stdout", "noheader=y"});
        hclose();
        const int n = 1;
        putch("late", "d", &n);
      },
      fatal_exit(), "kovstrput\\(\\): parameter late .*tag out");
}

TEST(OutputHeader, OutNamesTheDataOfOutOnly) {
  TempDir dir;
  const auto o = run_child([&] {
    set_args({"prog", "head=" + (dir / "o.H"), "out=" + (dir / "o.data"), "aux=" + (dir / "a.H"),
              "datapath=" + (dir / "p_")});
    const bool ok = tag_info("out", TAG_OUT)->dataname == dir / "o.data" &&
                    tag_info("aux", TAG_OUT)->dataname == dir / "p_a.H@";
    std::exit(ok ? 0 : 4);
  });
  EXPECT_EQ(o.status, 0) << o.err;
}

TEST(OutputHeader, PutlastKeepsOneTrailingCopy) {
  TempDir dir;
  const std::string header = dir / "w.H";
  const auto o = run_child([&] {
    set_args({"prog", "w=" + header, "datapath=" + (dir / "")});
    streaminf *w = tag_info("w", TAG_OUT);
    int v = 1;
    kovstrputlast(w, "n3", "d", &v);
    v = 22;
    kovstrputlast(w, "n3", "d", &v);
    auxputch("other", "s", "x", "w");
    v = 333;
    kovstrputlast(w, "n3", "d", &v);
    auxputhead("w", "# %s %d", "note", 5);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string text = kovtest::read_file(header);
  const auto lines = lines_of(text);
  ASSERT_GE(lines.size(), 4u) << text;
  EXPECT_EQ(lines[lines.size() - 4], "\t\tputlast: n3=22");
  EXPECT_EQ(lines[lines.size() - 3], "\t\tother=\"x\"");
  EXPECT_EQ(lines[lines.size() - 2], "\t\tputlast: n3=333");
  EXPECT_EQ(lines[lines.size() - 1], "# note 5");
  EXPECT_EQ(text.find("putlast: n3=1\n"), std::string::npos);
}

TEST(HistoryRoundTrip, WriterAndScannerAgree) {
  TempDir dir;
  const std::string header = dir / "r.H";
  const auto writer = run_child([&] {
    set_args({"prog", "head=" + header, "datapath=" + (dir / "")});
    const int i = -17, flag = 1;
    const float f = 2.5e-7f;
    const double g = 3.14159265358979;
    putch("i", "d", &i);
    putch("f", "r", &f);
    putch("g", "g", &g);
    putch("flag", "1", &flag);
    putch("text", "s", "two words");
    putch("quoted", "s", "\"already quoted\"");
    putch("n1", "d", &i);
    const int later = 99;
    putch("n1", "d", &later);
    hclose();
  });
  ASSERT_EQ(writer.status, 0) << writer.err;
  const auto reader = run_child([&] {
    set_args({"prog", "stdin=" + header, "r=" + header});
    int i = 0, flag = 0, n1 = 0;
    float f = 0;
    double g = 0;
    char text[64] = {}, quoted[64] = {}, in[256] = {};
    const bool ok = hetch("i", "d", &i) == 1 && i == -17 && fetch("f", "f", &f) == 1 &&
                    f == 2.5e-7f && auxpar("g", "g", &g, "r") == 1 && g == 3.14159265358979 &&
                    hetch("flag", "1", &flag) == 1 && flag == 1 &&
                    auxpar("text", "s", text, "r") == 1 && std::string(text) == "two words" &&
                    hetch("quoted", "s", quoted) == 1 && std::string(quoted) == "already quoted" &&
                    hetch("n1", "d", &n1) == 1 && n1 == 99 && hetch("in", "s", in) == 1 &&
                    std::string(in) == dir / "r.H@";
    std::exit(ok ? 0 : 7);
  });
  EXPECT_EQ(reader.status, 0) << kovtest::read_file(header);
}

} // namespace
