// SPDX-License-Identifier: Apache-2.0
// kovinfo on datasets made by velmodel and by hand, each run in a fresh
// directory that also holds the data files.
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

TEST(Kovinfo, DescribesAVelmodelFromAFileAndThroughAPipe) {
  TempDir dir;
  ASSERT_EQ(run(dir, "\"$V\" n2=40 >v.H 2>/dev/null && \"$I\" <v.H >file.txt 2>file.err\n"
                     "\"$V\" n2=40 2>/dev/null | \"$I\" >pipe.txt 2>pipe.err\n"
                     "exit ${PIPESTATUS[1]}"),
            0)
      << read_file(dir / "pipe.err");
  const std::string file = read_file(dir / "file.txt"), pipe = read_file(dir / "pipe.txt");
  for (const std::string *t : {&file, &pipe}) {
    EXPECT_EQ(line_of(*t, "axis 1"), "n1=500 o1=0 d1=10 label1=\"z\"") << *t;
    EXPECT_EQ(line_of(*t, "axis 2"), "n2=40 o2=-15000 d2=20 label2=\"cmpx\"");
    EXPECT_EQ(line_of(*t, "axis 3"), "n3=1 o3=1 d3=1 label3=\"\"");
    EXPECT_EQ(line_of(*t, "data_format"), "xdr_float");
    EXPECT_EQ(line_of(*t, "expected"), "80000 bytes");
    EXPECT_EQ(line_of(*t, "actual"), "80000 bytes");
    // The deepest layer's first sample, and the top of the model.
    EXPECT_EQ(line_of(*t, "min"), "3500 at sample (252, 1, 1): z=2510, cmpx=-15000, axis3=1");
    EXPECT_EQ(line_of(*t, "max"), "6000 at sample (1, 1, 1): z=0, cmpx=-15000, axis3=1");
  }
  EXPECT_EQ(line_of(file, "data"), dir / "v.H@");
  EXPECT_EQ(line_of(pipe, "data"), "follow the header in the same stream");
  EXPECT_EQ(line_of(file, "mean"), line_of(pipe, "mean"));
  EXPECT_EQ(line_of(file, "rms"), line_of(pipe, "rms"));
}

// kovinfo's statistics on each path the processor has, forced by KOV_SIMD.
class KovinfoPaths : public testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
    const std::string path = GetParam();
#if defined(__x86_64__)
    if ((path == "avx2" && !__builtin_cpu_supports("avx2")) ||
        (path == "avx512" &&
         !(__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"))))
      GTEST_SKIP() << "this processor cannot run the " << path << " path";
#else
    if (path != "plain") GTEST_SKIP() << "no " << path << " path here";
#endif
  }
  // kovinfo on this path.
  std::string kovinfo() const { return std::string("KOV_SIMD=") + GetParam() + " \"$I\""; }
};

INSTANTIATE_TEST_SUITE_P(Simd, KovinfoPaths, testing::Values("plain", "avx2", "avx512"),
                         [](const testing::TestParamInfo<const char *> &p) {
                           return std::string(p.param);
                         });

TEST_P(KovinfoPaths, StatisticsOverSeveralBlocks) {
  // 3 x 400000 samples (4.8 MB, several read blocks): the extremes lie in
  // later blocks; non-finite samples, one in the first block and one in a
  // block that holds no extreme, are counted apart.
  TempDir dir;
  std::vector<float> v(1200000, 1.0f);
  v[300002] = 9.0f;   // (3, 100001)
  v[1199999] = -3.0f; // (3, 400000)
  v[5] = std::nanf("");
  v[900001] = -std::nanf("");
  make_dataset(dir, "a.H", "n1=3 n2=400000 o2=100 d2=0.5 label2=x", v);
  ASSERT_EQ(run(dir, kovinfo() + " a.H >out.txt 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(read_file(dir / "err"), "");
  const std::string t = read_file(dir / "out.txt");
  EXPECT_EQ(line_of(t, "max"), "9 at sample (3, 100001): axis1=2, x=50100") << t;
  EXPECT_EQ(line_of(t, "min"), "-3 at sample (3, 400000): axis1=2, x=200099.5");
  EXPECT_EQ(line_of(t, "non-finite"), "2 samples (left out below)");
  const double n = 1199998.0, sum = 1199996.0 + 9.0 - 3.0, sumsq = 1199996.0 + 81.0 + 9.0;
  EXPECT_NEAR(std::stod(line_of(t, "mean")), sum / n, 1e-8);
  EXPECT_NEAR(std::stod(line_of(t, "rms")), std::sqrt(sumsq / n), 1e-8);
}

TEST_P(KovinfoPaths, ExtremesInAnyLaneAndInTheTailOfFloatsAndInts) {
  // 37 samples: the vector lanes hold 32 of them, the last 5 are summed one
  // by one.  The maximum appears twice (the first one counts), the minimum
  // lies in the tail; the sums are exact.
  TempDir dir;
  std::vector<int> ints(37);
  for (int i = 0; i < 37; ++i) ints[static_cast<std::size_t>(i)] = i % 5 - 2;
  ints[9] = 40;
  ints[26] = 40;
  ints[35] = -70;
  std::vector<float> floats(ints.begin(), ints.end()), words(ints.size());
  std::memcpy(words.data(), ints.data(), ints.size() * 4);
  make_dataset(dir, "f.H", "n1=37", floats);
  make_dataset(dir, "i.H", "n1=37", words, "xdr_int");
  make_dataset(dir, "n.H", "n1=37", floats, "native_float");
  double sum = 0, sumsq = 0;
  for (const int v : ints) sum += v, sumsq += double(v) * v;
  char mean[40], rms[40];
  std::snprintf(mean, sizeof mean, "%.9g", sum / 37);
  std::snprintf(rms, sizeof rms, "%.9g", std::sqrt(sumsq / 37));
  for (const char *header : {"f.H", "i.H", "n.H"}) {
    ASSERT_EQ(run(dir, kovinfo() + " " + header + " >out.txt 2>err"), 0) << read_file(dir / "err");
    const std::string t = read_file(dir / "out.txt");
    EXPECT_EQ(line_of(t, "max"), "40 at sample (10): axis1=9") << header << t;
    EXPECT_EQ(line_of(t, "min"), "-70 at sample (36): axis1=35") << header;
    EXPECT_EQ(line_of(t, "mean"), mean) << header;
    EXPECT_EQ(line_of(t, "rms"), rms) << header;
  }
}

TEST_P(KovinfoPaths, PrintsTheSameBytesAsThePlainPath) {
  // 600,007 samples of every magnitude (several blocks and a tail), floats in
  // both byte orders and ints.
  TempDir dir;
  std::vector<float> floats(600007), words(floats.size());
  std::uint32_t seed = 21;
  for (std::size_t i = 0; i < floats.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    floats[i] = std::ldexp(static_cast<float>(seed >> 8) - 8388608.0f, int(seed % 60) - 30);
    std::memcpy(&words[i], &seed, 4);
  }
  make_dataset(dir, "x.H", "n1=600007", floats);
  make_dataset(dir, "n.H", "n1=600007", floats, "native_float");
  make_dataset(dir, "i.H", "n1=600007", words, "xdr_int");
  // The figures as kovinfo has always printed them for these samples.
  const std::string floats_seen[] = {"-4.50356527e+15 at sample (506430): axis1=506429",
                                     "4.50127444e+15 at sample (208530): axis1=208529",
                                     "6.61489932e+11", "3.86795026e+14"};
  const std::string ints_seen[] = {"-2.14748298e+09 at sample (129181): axis1=129180",
                                   "2.1474657e+09 at sample (405443): axis1=405442", "-4333039.51",
                                   "1.23914422e+09"};
  for (const char *header : {"x.H", "n.H", "i.H"}) {
    ASSERT_EQ(run(dir, kovinfo() + " " + header + " >mine 2>err && KOV_SIMD=plain \"$I\" " +
                           header + " >plain 2>>err"),
              0)
        << read_file(dir / "err");
    const std::string mine = read_file(dir / "mine");
    EXPECT_EQ(mine, read_file(dir / "plain")) << header;
    const std::string *seen = std::string(header) == "i.H" ? ints_seen : floats_seen;
    const char *keys[] = {"min", "max", "mean", "rms"};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(line_of(mine, keys[k]), seen[k]) << header << keys[k];
  }
}

TEST(Kovinfo, AVectorPathThatCannotRunIsWarnedAbout) {
  TempDir dir;
  make_dataset(dir, "a.H", "n1=40", std::vector<float>(40, 2.0f));
  ASSERT_EQ(run(dir, "KOV_SIMD=sse9 \"$I\" a.H >out 2>err"), 0);
  EXPECT_NE(read_file(dir / "err")
                .find("kovinfo: warning: KOV_SIMD=sse9 names no path (plain, avx2 or avx512)"),
            std::string::npos)
      << read_file(dir / "err");
  EXPECT_EQ(line_of(read_file(dir / "out"), "mean"), "2");
}

TEST(Kovinfo, BadDataAreFatalWithAClearMessage) {
  TempDir dir;
  make_dataset(dir, "good.H", "n1=4 n2=2", {1, 2, 3, 4, 5, 6, 7, 8});
  make_dataset(dir, "short.H", "n1=4 n2=3", {1, 2, 3, 4, 5, 6, 7, 8});
  make_dataset(dir, "long.H", "n1=4 n2=1", {1, 2, 3, 4, 5});
  make_dataset(dir, "gone.H", "n1=4", {1, 2, 3, 4});
  std::filesystem::remove(dir / "gone.H@");
  kovtest::write_file(dir / "non1.H", "n2=4 in=\"" + (dir / "good.H@") + "\"\n");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"short.H", "the data are short: the header declares 48 bytes, only 32 are there"},
      {"long.H", "the data are longer than the header says: 16 bytes declared, 4 more follow"},
      {"gone.H", "data file " + (dir / "gone.H@") + " is missing"},
      {"non1.H", "the input header has no n1"}};
  for (const auto &[header, message] : cases) {
    EXPECT_EQ(run(dir, "\"$I\" stdin=" + header + " >out 2>err"), 23) << header;
    EXPECT_NE(read_file(dir / "err").find("kovinfo: " + message), std::string::npos)
        << header << ": " << read_file(dir / "err");
  }
  // Several headers: each is described, the status is the first failure's.
  EXPECT_EQ(run(dir, "\"$I\" good.H short.H good.H >out 2>err"), 23);
  const std::string out = read_file(dir / "out");
  EXPECT_EQ(out.find("header       good.H"), 0u) << out;
  EXPECT_NE(out.find("header       short.H"), std::string::npos);
  EXPECT_NE(out.rfind("max          8 at sample (4, 2)"), out.find("max          8"));
}

} // namespace
