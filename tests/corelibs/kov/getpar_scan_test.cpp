// SPDX-License-Identifier: Apache-2.0
// The parameter scanner and the stores it fills.
#include <kov/kovlib.h>

#include "getpar_limits.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

namespace {

using kovtest::TempDir;
using kovtest::write_file;

// Scan a text as a parameter file's contents would be scanned.
hash_item **scan_text(const std::string &text) {
  hash_item **queue = new_queue(KOV_HETCH_QUEUE_SIZE);
  std::string buffer = text;
  getpar_push_input(buffer.data(), 0);
  getpar_scan(queue, KOV_HETCH_QUEUE_SIZE);
  return queue;
}

std::optional<std::string> value_of(hash_item **queue, const std::string &name) {
  char buf[1024] = {};
  if (getpar_decode(queue, KOV_HETCH_QUEUE_SIZE, name.c_str(), "s", buf) == 0) return std::nullopt;
  return std::string(buf);
}

bool has_name(hash_item **queue, const std::string &name) {
  return getpar_hash_lookup(queue, KOV_HETCH_QUEUE_SIZE, name.c_str(),
                            static_cast<int>(name.size())) != nullptr;
}

TEST(ScannerSyntax, PairsQuotesAndComments) {
  hash_item **q = scan_text("\nn1=5 n2=3\nx='it''s' y=\"a b\"\n#c n3=7\nn4=8\n");
  EXPECT_EQ(value_of(q, "n1"), "5");
  EXPECT_EQ(value_of(q, "n2"), "3");
  EXPECT_EQ(value_of(q, "x"), "it's");
  EXPECT_EQ(value_of(q, "y"), "a b");
  EXPECT_FALSE(has_name(q, "n3")) << "a comment line hides the rest of its line";
  EXPECT_EQ(value_of(q, "n4"), "8");
}

TEST(ScannerSyntax, NamesOnlyAtLineStartOrAfterBlank) {
  hash_item **q = scan_text("\na,n1=5\nn2=5 # n3=3\n1a=3 _b=4 -c=5\na.b=1\n\tt=9\n");
  EXPECT_FALSE(has_name(q, "n1"));
  EXPECT_EQ(value_of(q, "n2"), "5");
  EXPECT_EQ(value_of(q, "n3"), "3") << "a # inside a line is one skipped character";
  EXPECT_FALSE(has_name(q, "a"));
  EXPECT_FALSE(has_name(q, "b"));
  EXPECT_FALSE(has_name(q, "c"));
  EXPECT_FALSE(has_name(q, "a.b"));
  EXPECT_EQ(value_of(q, "t"), "9") << "a tab is a blank";
}

TEST(ScannerSyntax, UnquotedValuesRunToTheNextBlank) {
  hash_item **q = scan_text("\nq=a=b'c title=my plot\nr=\"ab\"cd e=1\ncr=v\r\n");
  EXPECT_EQ(value_of(q, "q"), "a=b'c");
  EXPECT_EQ(value_of(q, "title"), "my");
  EXPECT_FALSE(has_name(q, "plot"));
  EXPECT_EQ(value_of(q, "r"), "ab") << "text after a closing quote is skipped";
  EXPECT_EQ(value_of(q, "e"), "1");
  EXPECT_EQ(value_of(q, "cr"), "v\r") << "a carriage return is an ordinary character";
}

TEST(ScannerSyntax, EmptyValuesAndUnterminatedQuotes) {
  hash_item **q = scan_text("\nn1= n2=4\ns='open text\nn5=6\nlast=");
  hash_item *n1 = getpar_hash_lookup(q, KOV_HETCH_QUEUE_SIZE, "n1", 2);
  ASSERT_NE(n1, nullptr);
  EXPECT_EQ(n1->val, nullptr);
  EXPECT_EQ(value_of(q, "n1"), std::nullopt);
  EXPECT_EQ(value_of(q, "n2"), "4");
  EXPECT_EQ(value_of(q, "s"), "open text") << "an unterminated quote ends at the line's end";
  EXPECT_EQ(value_of(q, "n5"), "6");
  EXPECT_FALSE(has_name(q, "last")) << "name= at the very end of an input yields nothing";
}

TEST(ScannerSyntax, LaterValueReplacesInPlaceWithNewerTimestamp) {
  hash_item **q = scan_text("\nn1=5 n2=3\nn1=7\n");
  hash_item *n1 = getpar_hash_lookup(q, KOV_HETCH_QUEUE_SIZE, "n1", 2);
  hash_item *n2 = getpar_hash_lookup(q, KOV_HETCH_QUEUE_SIZE, "n2", 2);
  ASSERT_NE(n1, nullptr);
  ASSERT_NE(n2, nullptr);
  EXPECT_EQ(std::string(n1->val, n1->vlen), "7");
  EXPECT_GT(n1->timestamp, n2->timestamp);
}

TEST(ScannerMassage, DoubledQuotesBecomeOne) {
  char out[16] = {};
  EXPECT_EQ(massage("a''b'", out, 5, '\''), 4);
  EXPECT_EQ(std::string(out, 4), "a'b'");
  EXPECT_EQ(massage("''''", out, 4, '\''), 2);
  EXPECT_EQ(std::string(out, 2), "''");
}

TEST(HashStore, BucketsClockAndHighBytes) {
  hash_item **q = new_queue(7);
  char a[] = "abcdefghijXYZ", b[] = "abcdefghijQRS", v1[] = "1", v2[] = "2";
  // Same first ten characters: same bucket, but distinct names.
  getpar_hash_store(q, 7, a, v1, 13, 1);
  getpar_hash_store(q, 7, b, v2, 13, 1);
  ASSERT_NE(getpar_hash_lookup(q, 7, a, 13), nullptr);
  EXPECT_EQ(getpar_hash_lookup(q, 7, b, 13)->val[0], '2');
  EXPECT_EQ(getpar_hash_lookup(q, 7, a, 10), nullptr) << "length counts";
  EXPECT_EQ(getpar_hash_lookup(q, 7, "ABCDEFGHIJXYZ", 13), nullptr) << "case counts";
  // Bytes above 127 count as negative; the item must land inside the store.
  char high[] = "\xff\xfe\xfd", v3[] = "3";
  getpar_hash_store(q, 7, high, v3, 3, 1);
  ASSERT_NE(getpar_hash_lookup(q, 7, high, 3), nullptr);
  int found = 0;
  for (int i = 0; i < 7; ++i)
    for (hash_item *it = q[i]; it != nullptr; it = it->next) ++found;
  EXPECT_EQ(found, 3);
}

TEST(Suballoc, RoundsToEightAndCutsFromBlocks) {
  char *p1 = suballoc(1);
  char *p2 = suballoc(9);
  char *p3 = suballoc(3);
  EXPECT_EQ(p2 - p1, 8);
  EXPECT_EQ(p3 - p2, 16);
  char *big = suballoc(SMALLBLOCK + 1); // a block of its own
  std::memset(big, 'x', SMALLBLOCK + 1);
  EXPECT_EQ(suballoc(8) - p3, 8) << "the current block goes on after a large request";
}

TEST(ParameterFiles, NestingOrderAndLastLine) {
  TempDir dir;
  write_file(dir / "inner", "deep=1\nshared=inner");
  write_file(dir / "outer", "a=1 par=" + (dir / "inner") + " after=2\nshared=outer");
  hash_item **q = scan_text("\npar=" + (dir / "outer") + "\n");
  EXPECT_EQ(value_of(q, "deep"), "1") << "a file without a final newline delivers its last line";
  EXPECT_EQ(value_of(q, "after"), "2");
  EXPECT_EQ(value_of(q, "shared"), "outer") << "a nested file is finished before the rest";
  EXPECT_EQ(value_of(q, "par"), dir / "inner");
}

TEST(ParameterFilesDeathTest, MissingAndSelfNamingFiles) {
  TempDir dir;
  const std::string self = dir / "self";
  write_file(self, "par=" + self + "\n");
  EXPECT_EXIT(scan_text("\npar=" + self + "\n"), kovtest::fatal_exit(),
              "too many nested par files");
  EXPECT_EXIT(scan_text("\npar=" + (dir / "nope") + "\n"), kovtest::fatal_exit(),
              "file\\(\\): No such file or directory\n(.|\n)*file\\(\\) can't open file .*nope");
}

TEST(ParameterFilesDeathTest, TenInputsDeepIsTheLimit) {
  TempDir dir;
  // A chain of files f0 -> f1 -> ... each naming the next.
  for (int i = 0; i < 12; ++i)
    write_file(dir / ("f" + std::to_string(i)),
               "v" + std::to_string(i) + "=1 par=" + (dir / ("f" + std::to_string(i + 1))) + "\n");
  write_file(dir / "f8", "v8=1\n"); // the text and nine files: ten inputs
  hash_item **q = scan_text("\npar=" + (dir / "f0") + "\n");
  EXPECT_EQ(value_of(q, "v8"), "1");
  write_file(dir / "f8", "v8=1 par=" + (dir / "f9") + "\n");
  EXPECT_EXIT(scan_text("\npar=" + (dir / "f0") + "\n"), kovtest::fatal_exit(),
              "too many nested par files");
}

TEST(CommandLineWords, StoredWithoutScanningUnlessQuoted) {
  TempDir dir;
  write_file(dir / "f", "n1=7\ntitle=my plot\n");
  std::string words[] = {"a.b=1", "title=my plot", "=x", "noequals", "q='x y'z", "e="};
  hash_item **q = new_queue(KOV_GETCH_QUEUE_SIZE);
  for (auto &w : words) getpar_string_store(q, KOV_GETCH_QUEUE_SIZE, w.data());
  char buf[64];
  EXPECT_EQ(getpar_decode(q, KOV_GETCH_QUEUE_SIZE, "a.b", "s", buf), 1);
  EXPECT_STREQ(buf, "1");
  EXPECT_EQ(getpar_decode(q, KOV_GETCH_QUEUE_SIZE, "title", "s", buf), 1);
  EXPECT_STREQ(buf, "my plot");
  EXPECT_EQ(getpar_decode(q, KOV_GETCH_QUEUE_SIZE, "q", "s", buf), 1);
  EXPECT_STREQ(buf, "x y");
  EXPECT_EQ(getpar_decode(q, KOV_GETCH_QUEUE_SIZE, "e", "s", buf), 0);
  EXPECT_NE(getpar_hash_lookup(q, KOV_GETCH_QUEUE_SIZE, "e", 1), nullptr);
  EXPECT_EQ(getpar_hash_lookup(q, KOV_GETCH_QUEUE_SIZE, "", 0), nullptr);
}

TEST(CommandLineWords, ParFileTakesThePlaceOfItsWord) {
  TempDir dir;
  const std::string f = dir / "f";
  write_file(f, "n1=7\n");
  kovtest::set_args({"prog", "par=" + f, "n1=5"});
  int n1 = 0;
  EXPECT_EQ(getch("n1", "d", &n1), 1);
  EXPECT_EQ(n1, 5);
}

TEST(CommandLineWords, ParFileAfterWordOverrides) {
  TempDir dir;
  const std::string f = dir / "f";
  write_file(f, "n1=7\n");
  kovtest::set_args({"prog", "n1=5", "par=" + f});
  int n1 = 0;
  EXPECT_EQ(getch("n1", "d", &n1), 1);
  EXPECT_EQ(n1, 7);
  char name[256];
  EXPECT_EQ(getch("par", "s", name), 1);
  EXPECT_EQ(name, f);
}

TEST(Capture, FinitparReadsTheRunTimeArguments) {
  finitpar();
  ASSERT_NE(kovxargv, nullptr);
  EXPECT_GE(kovxargc, 1);
  EXPECT_EQ(kovxargv[kovxargc], nullptr);
  EXPECT_NE(std::string(kovxargv[0]).find("kov_core_tests"), std::string::npos);
  for (int i = 0; i < kovxargc; ++i) EXPECT_LE(std::strlen(kovxargv[i]), 255u);
}

TEST(Capture, RunTimeArgumentsAreCutAndStripped) {
  kovtest::TempDir dir;
  const std::string longarg = "v=" + std::string(300, 'a');
  const std::string out = dir / "out";
  const std::string cmd =
      std::string(KOV_ARGS_PROBE) + " '" + longarg + "' 'b=1   ' '   ' n1=5 </dev/null >" + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(kovtest::read_file(out), "[" + longarg.substr(0, 255) + "]\n[b=1]\n[]\n[n1=5]\n");
}

} // namespace
