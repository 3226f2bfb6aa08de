// SPDX-License-Identifier: Apache-2.0
// The entry points for callers that pass blank-padded texts with hidden
// lengths, called here as such a caller does.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using kovtest::fatal_exit;
using kovtest::Outcome;
using kovtest::read_file;
using kovtest::run_child;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

// A blank-padded field of `len` characters holding `text`.
std::string field(const std::string &text, std::size_t len) {
  std::string f(len, ' ');
  f.replace(0, std::min(text.size(), len), text.substr(0, len));
  return f;
}

using kovtest::InDir;

TEST(Binding, TextArgumentsAsTheRoutineSeesThem) {
  const Outcome o = run_child([] {
    const int code = 3;
    const std::string padded = field("careful", 12);
    EXPECT_EQ(kovwarn_(&code, padded.data(), padded.size()), 3);
    std::fputs("|", stderr);
    // A NUL inside the field: the field itself, blanks and all.
    const char with_nul[] = {'h', 'i', ' ', ' ', '\0', 'z', 'z'};
    kovwarn_(&code, with_nul, sizeof with_nul);
    std::fputs("|", stderr);
    kovwarn_(&code, "      ", 6);
    std::fputs("|", stderr);
    // Fewer than four bytes of NUL are an empty text, not a missing one.
    kovwarn_(&code, "\0\0\0", 3);
    std::fputs("|", stderr);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "careful|hi  |||");
  EXPECT_EQ(o.out, "carefulhi  ");
}

TEST(BindingDeathTest, FourNulBytesAreNoTextAtAll) {
  EXPECT_EQ(auxclose_("\0\0\0", 3), 0);
  EXPECT_EQ(auxclose_("    ", 4), 0);
  // No text reaches the registry as a null tag.
  EXPECT_EXIT(auxclose_("\0\0\0\0tag", 8), fatal_exit(), "null tag");
}

TEST(Binding, LookupsTrimTheNameAndLeaveTheDestinationUnpadded) {
  set_args({"prog", "n1=500", "label=depth"});
  const std::string name = field("n1", 20), type = field("i", 4);
  int n = 0;
  EXPECT_EQ(getch_(name.data(), type.data(), &n, name.size(), type.size()), 1);
  EXPECT_EQ(n, 500);
  n = 0;
  EXPECT_EQ(getch_("n1\0junk", "d", &n, 8, 1), 1) << "a name up to its NUL";
  EXPECT_EQ(n, 500);

  char value[10];
  std::string(10, 'x').copy(value, 10);
  EXPECT_EQ(fetch_("label ", "s", value, 6, 1), 1);
  EXPECT_EQ(std::string(value, 10), std::string("depth\0xxxx", 10));

  const std::string word = field("n7=3", 9);
  EXPECT_EQ(getch_add_string__(word.data(), word.size()), 0);
  EXPECT_EQ(getch_("n7", "i", &n, 2, 1), 1);
  EXPECT_EQ(n, 3);
}

TEST(Binding, InOutTextsArePaddedOrCut) {
  set_args({"./generator", "mode=write", "datapath=/d/"});
  char four[4], twelve[12];
  EXPECT_EQ(kov_prog_(four, sizeof four), 0);
  EXPECT_EQ(std::string(four, 4), "gene");
  EXPECT_EQ(kov_prog__(twelve, sizeof twelve), 0);
  EXPECT_EQ(std::string(twelve, 12), "generator   ");

  char arg[6];
  const int one = 1, nine = 9;
  EXPECT_EQ(kovarg_(&one, arg, sizeof arg), 0);
  EXPECT_EQ(std::string(arg, 6), "mode=w");
  char untouched[6] = {'a', 'b', '\0', 'q', 'q', 'q'};
  EXPECT_EQ(kovarg_(&nine, untouched, sizeof untouched), 1);
  EXPECT_EQ(std::string(untouched, 6), "ab    ") << "the field comes back blank-padded";

  char path[8], tiny[2];
  EXPECT_EQ(datapath_(path, sizeof path), path);
  EXPECT_EQ(std::string(path, 8), "/d/     ");
  datapath_(tiny, sizeof tiny);
  EXPECT_EQ(std::string(tiny, 2), "/d");
}

TEST(Binding, HistoryLinesOfEveryKind) {
  TempDir dir;
  const Outcome o = run_child([&] {
    InDir here(dir);
    set_args({"prog", "datapath=" + (dir / ""), "aux=" + (dir / "aux.H")});
    const int nt = 100, k = 3;
    const float f = 0.004f;
    putch_("nt  ", "d ", &nt, 4, 2);
    putch_("f", "f", &f, 1, 1);
    putch_("label", "s  ", "abc def   ", 5, 3, 10);
    puthed_("ph", "s", "x  ", 2, 1, 3);
    putlin_("plain   ", 8);
    // The tag's length comes after the value's only for a text value.
    auxputch_("v", "s", "w    ", "auxzz", 1, 1, 5, 3);
    auxputch_("k", "i", &k, "auxzz", 1, 1, 3);
    auxputlin_("aux ", "free line  ", 4, 11);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  for (const char *line :
       {"\t\tnt=100\n", "\t\tf=0.004\n", "\t\tlabel=\"abc def\"\n", "\t\tph=\"x\"\n", "\tplain\n"})
    EXPECT_NE(o.out.find(line), std::string::npos) << line << " in\n" << o.out;
  const std::string aux = read_file(dir / "aux.H");
  for (const char *line : {"\t\tv=\"w\"\n", "\t\tk=3\n", "free line\n\n"})
    EXPECT_NE(aux.find(line), std::string::npos) << line << " in\n" << aux;
}

TEST(Binding, AuxparFindsTheTagBehindATextDestination) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "io.H", "");
  set_args({"prog", "io=" + (dir / "io.H"), "datapath=" + (dir / "")});
  EXPECT_GE(auxinout_("io  ", 4), 0);
  const int n = 4;
  auxputch_("n", "i", &n, "iozz", 1, 1, 2);
  auxputch_("s", "s", "hello   ", "iozz", 1, 1, 8, 2);
  int got = 0;
  EXPECT_EQ(auxpar_("n ", "i", &got, "iozz", 2, 1, 2), 1);
  EXPECT_EQ(got, 4);
  char text[16] = {};
  EXPECT_EQ(auxpar_("s", "s", text, "iozz", 1, 1, sizeof text, 2), 1);
  EXPECT_STREQ(text, "hello");
}

TEST(Binding, TransferAndPositions) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "io.H", "");
  set_args({"prog", "io=" + (dir / "io.H"), "datapath=" + (dir / "")});
  const float written[3] = {1.5f, -2.0f, 0.25f};
  const int nbytes = sizeof written, block = 5, start = 0, whence = 0;
  ASSERT_GE(auxinout_("io", 2), 0);
  EXPECT_EQ(srite_("io ", written, &nbytes, 3), nbytes);
  int blocks = -1, remainder = -1;
  EXPECT_EQ(file_position_("io", &block, &blocks, &remainder, 2), 0);
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(remainder, 2);
  EXPECT_EQ(sseek_("io  ", &start, &whence, 4), 0);
  float back[3] = {};
  EXPECT_EQ(sreed_("io", back, &nbytes, 2), nbytes);
  EXPECT_EQ(back[1], -2.0f);
  EXPECT_EQ(sseekable_("io", 2), 0);
}

} // namespace
