// SPDX-License-Identifier: Apache-2.0
// Lookup with conversion codes, and access to the raw arguments.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

namespace {

using kovtest::set_args;

TEST(Decode, ListsAndRepeatCounts) {
  set_args({"prog", "a=3*2.5", "b=2,3*4", "c=1,2", "d=2x7,1", "e=0*9,5", "f=1,", "g=,", "h=-3*5"});
  float f[4] = {};
  EXPECT_EQ(getch("a", "f", f), 3);
  EXPECT_EQ(f[0], 2.5f);
  EXPECT_EQ(f[2], 2.5f);
  int i[6] = {-1, -1, -1, -1, -1, -1};
  EXPECT_EQ(getch("b", "d", i), 4);
  EXPECT_EQ(i[0], 2);
  EXPECT_EQ(i[3], 4);
  EXPECT_EQ(i[4], -1) << "nothing beyond the list";
  EXPECT_EQ(getch("c", "i", i), 2);
  EXPECT_EQ(getch("d", "d", i), 3);
  EXPECT_EQ(i[1], 7);
  EXPECT_EQ(i[2], 1);
  i[0] = -1;
  EXPECT_EQ(getch("e", "d", i), 1) << "a repeat count of 0 stores nothing for its element";
  EXPECT_EQ(i[0], 5);
  EXPECT_EQ(getch("f", "d", i), 1);
  EXPECT_EQ(getch("g", "d", i), 1);
  i[0] = -1;
  EXPECT_EQ(getch("h", "d", i), 0) << "a negative repeat count stores nothing";
  EXPECT_EQ(i[0], -1);
}

TEST(Decode, ConversionCodes) {
  set_args({"prog", "big=1e300", "y=yes", "t=true", "one=1", "cap=Yes", "n= -12abc", "s=a,b",
            "junk=abc", "dbl=0.1"});
  double g = 0;
  float f = 0;
  EXPECT_EQ(getch("big", "g", &g), 1);
  EXPECT_EQ(g, 1e300);
  EXPECT_EQ(getch("big", "f", &f), 1);
  EXPECT_TRUE(std::isinf(f) && f > 0);
  EXPECT_EQ(getch("dbl", "r", &f), 1);
  EXPECT_EQ(f, 0.1f);
  int flag = -1;
  EXPECT_EQ(getch("y", "1", &flag), 1);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(getch("t", "l", &flag), 1);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(getch("one", "logical", &flag), 1) << "only the first character of the type counts";
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(getch("cap", "1", &flag), 1);
  EXPECT_EQ(flag, 1);
  int n = 0;
  EXPECT_EQ(getch("n", "d", &n), 1);
  EXPECT_EQ(n, -12);
  EXPECT_EQ(getch("junk", "d", &n), 1);
  EXPECT_EQ(n, 0) << "no digits convert to 0";
  char s[16];
  EXPECT_EQ(getch("s", "s", s), 1);
  EXPECT_STREQ(s, "a,b");
}

TEST(Decode, LastGivenOfSeveralNamesWins) {
  set_args({"prog", "n1=1", "nx=2", "n1=3", "e=5", "e="});
  int v = 0;
  EXPECT_EQ(getch("nx n1", "d", &v), 1);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(getch("  n1   nx ", "d", &v), 1);
  EXPECT_EQ(v, 3);
  v = 42;
  EXPECT_EQ(getch("e", "d", &v), 0) << "an empty value hides an earlier one";
  EXPECT_EQ(getch("missing", "d", &v), 0);
  EXPECT_EQ(v, 42) << "destination untouched when nothing is found";
  EXPECT_EQ(getch("", "d", &v), 0);
}

TEST(Decode, StoreWithoutBucketsFindsNothing) {
  int v = 7;
  EXPECT_EQ(getpar_decode(nullptr, 0, "n1", "d", &v), 0);
  EXPECT_EQ(v, 7);
}

TEST(DecodeDeathTest, UnknownConversionCode) {
  set_args({"./prog", "n1=5"});
  int v;
  EXPECT_EXIT(getch("n1", "q", &v), kovtest::fatal_exit(),
              "^\\./prog: getpar\\(\\) unknown conversion type q\n");
}

TEST(GetchAddString, ActsAsALaterArgument) {
  set_args({"prog", "n1=5", "n2=1"});
  EXPECT_EQ(getch_add_string("n1=9"), 0);
  std::string quoted = "t='a b'";
  EXPECT_EQ(getch_add_string(quoted.c_str()), 0);
  quoted = "overwritten"; // the library keeps a copy
  int v = 0;
  EXPECT_EQ(getch("n1", "d", &v), 1);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(getch("n2", "d", &v), 1);
  char t[16];
  EXPECT_EQ(getch("t", "s", t), 1);
  EXPECT_STREQ(t, "a b");
}

TEST(GetchAddStringDeathTest, NeedsACapturedCommandLine) {
  EXPECT_EXIT(getch_add_string("n1=1"), kovtest::fatal_exit(),
              "Must call initpar\\(\\) at the start of your program");
}

TEST(Getch, BeforeCaptureFindsNothing) {
  int v = 3;
  EXPECT_EQ(getch("n1", "d", &v), 0);
  EXPECT_EQ(v, 3);
}

TEST(Arguments, KovargAndKovProg) {
  set_args({"/usr/bin/tool", "n1=5"});
  char buf[64];
  EXPECT_EQ(kovarg(0, buf), 0);
  EXPECT_STREQ(buf, "/usr/bin/tool");
  EXPECT_EQ(kovarg(1, buf), 0);
  EXPECT_STREQ(buf, "n1=5");
  EXPECT_EQ(kovarg(2, buf), 1);
  EXPECT_EQ(kovarg(-1, buf), 1);
  EXPECT_EQ(kov_prog(buf), 0);
  EXPECT_STREQ(buf, "tool");
  set_args({"plain"});
  EXPECT_EQ(kov_prog(buf), 0);
  EXPECT_STREQ(buf, "plain");
}

} // namespace

namespace {

TEST(Decode, BoundedFormsStoreNoMoreThanTheRoom) {
  set_args({"prog", "clip=1000*5", "list=1,2,3", "one=7", "name=abcdefghij"});
  int guard[4] = {-1, -1, -1, -1};
  EXPECT_EQ(getch_n("clip", "d", guard, 1), 1000) << "the count the text held";
  EXPECT_EQ(guard[0], 5);
  EXPECT_EQ(guard[1], -1) << "nothing beyond the room";
  EXPECT_EQ(getch_n("list", "d", guard, 2), 3);
  EXPECT_EQ(guard[1], 2);
  EXPECT_EQ(guard[2], -1);
  EXPECT_EQ(getch_n("one", "d", guard, 1), 1);
  EXPECT_EQ(getch_n("nothere", "d", guard, 1), 0);
  char text[5] = {'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(getch_n("name", "s", text, 4), 1);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(text[4], 'x');
  double g = 0;
  EXPECT_EQ(fetch_n("list", "g", &g, 1), 3) << "fetch_n finds the command line first";
  EXPECT_EQ(g, 1.0);
}

} // namespace

namespace {

// Lines of a text that hold `part`.
int lines_with(const std::string &text, const std::string &part) {
  int n = 0;
  for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

TEST(Decode, TextsThatAreNotCleanNumbersWarnOnStandardErrorOnce) {
  const kovtest::Outcome r = kovtest::run_child([] {
    set_args({"prog", "v2=abc", "n1=600.9", "big=99999999999", "neg=-99999999999", "o2=1e400",
              "f=1e39", "list=1,abc,x2", "ok=5", "ok2=-3,2*1.5e3", "flag=maybe", "s=abc"});
    int i[3] = {};
    float f = 0;
    double g = 0;
    getch("v2", "f", &f);
    std::printf("v2 %g\n", static_cast<double>(f));
    getch("n1", "d", i);
    std::printf("n1 %d\n", i[0]);
    getch("big", "i", i);
    std::printf("big %d\n", i[0]);
    getch("neg", "d", i);
    std::printf("neg %d\n", i[0]);
    getch("o2", "g", &g);
    std::printf("o2 %g\n", g);
    getch("f", "r", &f);
    std::printf("f %g\n", static_cast<double>(f));
    getch_n("list", "d", i, 3);
    std::printf("list %d %d\n", i[0], i[1]);
    getch("ok", "d", i);
    double two[3];
    getch("ok2", "g", two);
    getch("flag", "1", i);
    char s[8];
    getch("s", "s", s);
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "v2 0\nn1 600\nbig 2147483647\nneg -2147483648\no2 inf\nf inf\nlist 1 0\n")
      << "the conversions are unchanged, integers clamped, and nothing on standard output";
  EXPECT_EQ(lines_with(r.err, "\n"), 7) << "one warning per faulty lookup:\n" << r.err;
  EXPECT_EQ(r.err.find('='), std::string::npos) << "nothing a scanner reads as a parameter";
  for (const char *part : {"parameter v2: \"abc\" is not a number; taking 0\n",
                           "parameter n1: \"600.9\" has characters after the number; taking 600\n",
                           "parameter big: \"99999999999\" is out of range; taking 2147483647\n",
                           "parameter neg: \"-99999999999\" is out of range; taking -2147483648\n",
                           "parameter o2: \"1e400\" is out of range; taking inf\n",
                           "parameter f: \"1e39\" is out of range; taking inf\n",
                           "parameter list: \"1,abc,x2\" is not a number; taking 0\n"})
    EXPECT_EQ(lines_with(r.err, part), 1) << part << " in\n" << r.err;
  EXPECT_EQ(r.err.find("prog: warning: "), 0u) << "named after the program";
}

TEST(Decode, HeaderLookupsWarnAlikeAndShowHostileTextsSafely) {
  kovtest::TempDir dir;
  kovtest::write_file(dir / "h.H", "n1=3.5 o1=\"a=b c\" label1=z\n");
  const kovtest::Outcome r = kovtest::run_child([&] {
    set_args({"prog", "aux=" + (dir / "h.H"), "long=" + std::string(5000, '7')});
    int n = 0;
    auxpar_n("n1", "d", &n, 1, "aux");
    float o = 1;
    auxpar("o1", "f", &o, "aux");
    char label[4];
    auxpar("label1", "s", label, "aux");
    getch_n("long", "d", &n, 1);
    std::printf("%d %g %s\n", n, static_cast<double>(o), label);
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2147483647 0 z\n");
  EXPECT_EQ(lines_with(r.err, "\n"), 3) << r.err;
  EXPECT_EQ(lines_with(r.err, "parameter n1: \"3.5\" has characters after the number; taking 3"), 1)
      << r.err;
  EXPECT_EQ(lines_with(r.err, "parameter o1: \"a\\x3db c\" is not a number; taking 0"), 1) << r.err;
  EXPECT_EQ(
      lines_with(r.err, "parameter long: \"" + std::string(64, '7') + "\"... is out of range"), 1)
      << "a long text is cut: " << r.err;
}

} // namespace
