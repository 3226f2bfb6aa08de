// SPDX-License-Identifier: Apache-2.0
// The input read through a mapping of its data file (app/common/kovmapped):
// which inputs map, and a file cut short under the mapping ending with the
// short-data message rather than a bus error.
#include "kovmapped.hpp"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kovtest::InDir;
using kovtest::TempDir;

constexpr int kN1 = 1024, kN2 = 64; // 256 KiB of floats

// a.H and its data a.H@ in `dir`; `location`: the header's in= (its data
// file when empty).
void write_dataset(const TempDir &dir, const std::string &location = "") {
  std::ofstream(dir / "a.H@", std::ios::binary)
      << std::string(static_cast<std::size_t>(kN1) * kN2 * 4, '\1');
  std::ofstream(dir / "a.H") << "n1=" << kN1 << " n2=" << kN2
                             << " esize=4 data_format=xdr_float in=\""
                             << (location.empty() ? dir / "a.H@" : location) << "\"\n";
}

// The library started on a.H in `dir`, and its input's mapping.
std::unique_ptr<kovtool::MappedInput> open_input(const TempDir &dir) {
  static std::string word;
  word = "stdin=" + (dir / "a.H");
  static char name[] = "kovmapped_test";
  static char *argv[3]; // kept by the library for its messages
  argv[0] = name;
  argv[1] = word.data();
  kovtool::start(2, argv);
  return kovtool::MappedInput::open(kovtool::describe_input());
}

TEST(MappedInput, AFileCutShortUnderTheMappingEndsWithTheShortDataMessage) {
  TempDir dir;
  InDir here(dir);
  ::setenv("DATAPATH", (dir.path().string() + "/").c_str(), 1);
  write_dataset(dir);
  const auto in = open_input(dir);
  ASSERT_NE(in, nullptr);
  ASSERT_EQ(in->data().size(), static_cast<std::size_t>(kN1) * kN2 * 4);
  unsigned total = 0;
  in->prefetch(0, 8192);
  EXPECT_TRUE(kovtool::guarded([&] {
    for (const std::byte b : in->data()) total += static_cast<unsigned>(b);
  }));
  EXPECT_EQ(total, static_cast<unsigned>(kN1) * kN2 * 4);
  in->release(0, static_cast<std::int64_t>(in->data().size()));
  ASSERT_EQ(::truncate((dir / "a.H@").c_str(), 4096), 0);
  volatile unsigned last = 0;
  EXPECT_FALSE(kovtool::guarded([&] { last = static_cast<unsigned>(in->data()[200000]); }));
  EXPECT_EXIT(in->cut_short(), testing::ExitedWithCode(23),
              "the data are short: the header declares 262144 bytes, only 4096");
}

TEST(MappedInput, OnlyADataFileOfItsOwnMapsAndTheEnvironmentCanTurnItOff) {
  TempDir dir;
  InDir here(dir);
  ::setenv("DATAPATH", (dir.path().string() + "/").c_str(), 1);
  ::setenv("KOV_MAP", "0", 1);
  EXPECT_FALSE(kovtool::MappedInput::allowed());
  write_dataset(dir);
  EXPECT_EQ(open_input(dir), nullptr);
  ::setenv("KOV_MAP", "1", 1);
  EXPECT_TRUE(kovtool::MappedInput::allowed());
}

TEST(MappedInput, DataOfAnotherSizeThanDeclaredAreFatalAtOnce) {
  TempDir dir;
  InDir here(dir);
  ::setenv("DATAPATH", (dir.path().string() + "/").c_str(), 1);
  write_dataset(dir);
  ASSERT_EQ(::truncate((dir / "a.H@").c_str(), 1000), 0);
  EXPECT_EXIT(open_input(dir), testing::ExitedWithCode(23),
              "the data are short: the header declares 262144 bytes, only 1000");
  ASSERT_EQ(::truncate((dir / "a.H@").c_str(), 262150), 0);
  EXPECT_EXIT(open_input(dir), testing::ExitedWithCode(23),
              "the data are longer than the header says: 262144 bytes declared, 6 more");
}

} // namespace
