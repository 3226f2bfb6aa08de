// SPDX-License-Identifier: Apache-2.0
// Bad input to the parameter scanner and the decoder: overlong tokens, broken
// quotes, NUL bytes, unreadable or self-naming parameter files, high bytes in
// names and unbounded repeat counts.
//
// Token lengths count what the scanner matched, including the one character
// that a name= rule looks at after the `=`: in a file, the longest name is
// therefore YYLMAX-3 characters and the longest unquoted value YYLMAX-1.
#include <kov/kovlib.h>

#include "kovlib_internal.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using kovtest::TempDir;
using kovtest::write_file;

constexpr int kToken = YYLMAX - 1; // longest token the scanner accepts
const char *const kTooLong = "token too long in ";

// Death-test children read nothing from the terminal.
void own_stdin() {
  if (std::freopen("/dev/null", "r", stdin) == nullptr) std::_Exit(99);
}

// Value of `name` on the command line, NUL bytes included; nullopt if absent.
std::optional<std::string> value_of(const std::string &name) {
  std::vector<char> buf(200000, '#');
  if (getch(name.c_str(), "s", buf.data()) == 0) return std::nullopt;
  const hash_item *item =
      getpar_hash_lookup(getch_queue, getch_queue_size, name.data(), static_cast<int>(name.size()));
  EXPECT_EQ(buf[static_cast<std::size_t>(item->vlen)], '\0');
  return std::string(buf.data(), static_cast<std::size_t>(item->vlen));
}

// A command line whose one word names a parameter file holding `text`.
class BadInputFile : public ::testing::Test {
protected:
  void use_file(const std::string &text) {
    write_file(path_, text);
    kovtest::set_args({"prog", "par=" + path_});
  }
  TempDir dir_;
  const std::string path_ = dir_ / "params";
};
using BadInputFileDeathTest = BadInputFile;

TEST_F(BadInputFile, LongestTokensThatFit) {
  const std::string name(kToken - 2, 'n'), value(kToken, 'v'), quoted(kToken - 2, 'q');
  use_file(name + "=1\nv=" + value + "\nq='" + quoted + "'\n#" + std::string(kToken - 1, 'c') +
           "\n" + name.substr(1) + "e= n1=5\n");
  EXPECT_EQ(value_of(name), "1");
  EXPECT_EQ(value_of("v"), value);
  EXPECT_EQ(value_of("q"), quoted);
  EXPECT_EQ(value_of("n1"), "5") << "a long comment line is still only a comment";
  const std::string empty = name.substr(1) + "e";
  EXPECT_NE(getpar_hash_lookup(getch_queue, getch_queue_size, empty.data(), kToken - 2), nullptr);
}

TEST_F(BadInputFile, WordsWithoutEqualsAreSkippedAtAnyLength) {
  use_file(std::string(100000, 'a') + "\n" + std::string(100000, ' ') + "n1=5\n");
  EXPECT_EQ(value_of("n1"), "5");
}

TEST_F(BadInputFileDeathTest, OneCharacterTooManyIsFatalNamingFileAndLine) {
  const std::vector<std::string> texts = {
      std::string(kToken - 1, 'n') + "=1\n",     std::string(kToken, 'n') + "=1\n",
      std::string(kToken + 1, 'n') + "=1\n",     std::string(100000, 'n') + "=1\n",
      std::string(kToken - 1, 'n') + "= n2=1\n", "v=" + std::string(kToken + 1, 'v') + "\n",
      "v=" + std::string(100000, 'v') + "\n",    "q='" + std::string(kToken - 1, 'q') + "'\n",
      "#" + std::string(kToken, 'c') + "\n"};
  for (const auto &text : texts) {
    use_file("n0=1\n\n" + text);
    EXPECT_EXIT((own_stdin(), value_of("n2")), kovtest::fatal_exit(),
                std::string(kTooLong) + "parameter file " + path_ + ", line 3: more than " +
                    std::to_string(kToken) + " characters")
        << text.substr(0, 8) << "... of " << text.size();
  }
}

// A caller that carries on after a fatal error (as the Python package does)
// finds the scanner empty: nothing of the bad header reaches the next one.
TEST(BadInputHeader, TooLongTokenLeavesNothingForTheNextHeader) {
  TempDir dir;
  write_file(dir / "bad.H",
             "n1=1\nlabel1=" + std::string(kToken + 1, 'x') + "\nn1=3 label1=evil\n");
  write_file(dir / "good.H", "n1=5 label1=good\n");
  kovtest::set_args({"prog", "bad=" + (dir / "bad.H"), "good=" + (dir / "good.H")});
  struct Fatal {
    std::string message;
  };
  kov_set_fatal_handler([](const char *message, void *) { throw Fatal{message}; }, nullptr);
  int n1 = 0;
  try {
    auxpar("n1", "d", &n1, "bad");
    ADD_FAILURE() << "a token too long went through";
  } catch (const Fatal &f) {
    EXPECT_EQ(f.message, "token too long in header " + (dir / "bad.H") + ", line 2: more than " +
                             std::to_string(kToken) + " characters\n");
  }
  std::vector<char> label(100);
  EXPECT_EQ(auxpar("n1", "d", &n1, "good"), 1);
  EXPECT_EQ(n1, 5);
  EXPECT_EQ(auxpar("label1", "s", label.data(), "good"), 1);
  EXPECT_STREQ(label.data(), "good");
  kov_set_fatal_handler(nullptr, nullptr);
}

TEST(BadInputCommandLine, UnquotedWordsAreStoredWhole) {
  const std::string n1(kToken, 'a'), n2(kToken + 1, 'b'), n3(100000, 'c');
  const std::string v1(kToken, '1'), v2(kToken + 1, '2'), v3(100000, '3');
  kovtest::set_args({"prog", n1 + "=" + v1, n2 + "=" + v2, n3 + "=" + v3,
                     "r=\"" + std::string(kToken - 2, 'r') + "\""});
  EXPECT_EQ(value_of(n1), v1);
  EXPECT_EQ(value_of(n2), v2);
  EXPECT_EQ(value_of(n3), v3);
  EXPECT_EQ(value_of("r"), std::string(kToken - 2, 'r')) << "quoted: the longest token";
}

TEST(BadInputCommandLineDeathTest, QuotedWordsAreScanned) {
  for (const std::string &word :
       {"q='" + std::string(kToken - 1, 'q') + "'", "q='" + std::string(100000, 'q') + "'",
        std::string(kToken - 1, 'n') + "='x'"}) {
    kovtest::set_args({"prog", word});
    EXPECT_EXIT((own_stdin(), value_of("q")), kovtest::fatal_exit(),
                std::string(kTooLong) + "the command line, line 1");
  }
}

TEST_F(BadInputFile, UnterminatedQuotesEndAtTheLine) {
  use_file("s=\"ab\"\"\nt='x y\nn1=5");
  EXPECT_EQ(value_of("s"), "ab\"") << "a doubled quote, then the end of the line";
  EXPECT_EQ(value_of("t"), "x y");
  EXPECT_EQ(value_of("n1"), "5");
}

TEST(BadInputCommandLine, UnterminatedQuoteInAWord) {
  // Without a line end the quote opens nothing: it is skipped and the value
  // runs to the blank.  A word ending right after the quote leaves the
  // scanner waiting for a value, which the next scanned word then gives.
  kovtest::set_args({"prog", "u='x y", "w='", "n1=5", "z='1'"});
  EXPECT_EQ(value_of("u"), "x");
  EXPECT_EQ(value_of("n1"), "5");
  EXPECT_EQ(value_of("w"), "z='1'");
  EXPECT_EQ(value_of("z"), std::nullopt);
}

TEST_F(BadInputFile, NulIsAnOrdinaryCharacter) {
  const char raw[] = "n1=5\0\0\nn2=7 \0 n3=9\n\0n4=1\nn5=x\0y\n\0";
  use_file(std::string(raw, sizeof raw - 1));
  EXPECT_EQ(value_of("n1"), std::string("5\0\0", 3));
  int v = 0;
  EXPECT_EQ(getch("n1", "d", &v), 1);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(value_of("n2"), "7");
  EXPECT_EQ(value_of("n3"), "9");
  EXPECT_EQ(value_of("n4"), std::nullopt) << "a NUL is not a blank: n4 does not start a name";
  EXPECT_EQ(value_of("n5"), std::string("x\0y", 3));
}

TEST_F(BadInputFileDeathTest, FilesThatCannotBeUsed) {
  write_file(path_, "n1=1 par=" + path_ + "\n");
  kovtest::set_args({"prog", "par=" + path_});
  EXPECT_EXIT((own_stdin(), value_of("n1")), kovtest::fatal_exit(),
              "^prog: too many nested par files\n$");
  kovtest::set_args({"prog", "n1=1", "par=" + (dir_ / "missing")});
  EXPECT_EXIT(
      (own_stdin(), value_of("n1")), kovtest::fatal_exit(),
      "^file\\(\\): No such file or directory\nprog: file\\(\\) can't open file .*/missing\n$");
  kovtest::set_args({"prog", "par=" + dir_.path().string()});
  EXPECT_EXIT((own_stdin(), value_of("n1")), kovtest::fatal_exit(),
              "Is a directory\nprog: file\\(\\) can't read file " + dir_.path().string());
}

TEST(BadInputNames, BytesAbove127) {
  // All of the hashed bytes negative, or a mix: each name lands in a bucket
  // of the store and is found again.
  std::vector<std::string> words = {std::string(12, '\xff') + "=1", std::string(10, '\x80') + "=2",
                                    "caf\xc3\xa9=3", "\xe9=4", "a\x80=5"};
  for (int qlen : {1, 7, KOV_GETCH_QUEUE_SIZE}) {
    hash_item **q = new_queue(qlen);
    for (auto &w : words) getpar_string_store(q, qlen, w.data());
    int in_buckets = 0;
    for (int b = 0; b < qlen; ++b)
      for (hash_item *it = q[b]; it != nullptr; it = it->next) ++in_buckets;
    EXPECT_EQ(in_buckets, 5) << qlen;
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string name = words[i].substr(0, words[i].find('='));
      int v = 0;
      EXPECT_EQ(getpar_decode(q, qlen, name.c_str(), "d", &v), 1);
      EXPECT_EQ(v, static_cast<int>(i) + 1);
    }
  }
  hash_item **q = new_queue(KOV_HETCH_QUEUE_SIZE);
  std::string text = "\ncaf\xc3\xa9=3\n\xe9=4\n";
  getpar_push_input(text.data(), 0);
  getpar_scan(q, KOV_HETCH_QUEUE_SIZE);
  for (int b = 0; b < KOV_HETCH_QUEUE_SIZE; ++b)
    EXPECT_EQ(q[b], nullptr) << "in scanned text such bytes are no name characters";
}

TEST(BadInputRepeat, CountsOutOfRange) {
  std::string words[] = {"b=1,-3*5,2",     "c=-99999999999999999999x7,4",
                         "n=1000000000*7", "m=99999999999999999999x2,3",
                         "l=2,3*4,5",      "s=abcdef"};
  hash_item **q = new_queue(7);
  for (auto &w : words) getpar_string_store(q, 7, w.data());
  int v[6];
  // Negative counts store nothing for their element, and are safe unbounded.
  auto decode = [&](const char *name, long room) {
    std::fill(std::begin(v), std::end(v), -1);
    return kov::detail::decode(q, 7, name, "d", v, room);
  };
  EXPECT_EQ(decode("b", kov::detail::kUnbounded), 2);
  EXPECT_EQ(v[1], 2);
  EXPECT_EQ(v[2], -1);
  EXPECT_EQ(decode("c", kov::detail::kUnbounded), 1);
  EXPECT_EQ(v[0], 4);
  EXPECT_EQ(v[1], -1);
  // Huge counts fill the room and no more.
  EXPECT_EQ(decode("n", 4), 4);
  EXPECT_EQ(v[3], 7);
  EXPECT_EQ(v[4], -1);
  EXPECT_EQ(decode("m", 4), 4) << "the count saturates; the room still holds";
  EXPECT_EQ(v[4], -1);
  EXPECT_EQ(decode("l", 3), 3);
  EXPECT_EQ(v[2], 4);
  EXPECT_EQ(v[3], -1);
  EXPECT_EQ(decode("n", 0), 0);
  EXPECT_EQ(v[0], -1);
  char s[6] = "xxxxx";
  EXPECT_EQ(kov::detail::decode(q, 7, "s", "s", s, 3), 1);
  EXPECT_STREQ(s, "ab");
  EXPECT_EQ(s[3], 'x');
}

} // namespace
