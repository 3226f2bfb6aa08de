// SPDX-License-Identifier: Apache-2.0
// Whole-array transfer: one read per array, one write per column, strided
// sections, and sizes that would reach beyond the array.
#include <kov/kov.hpp>

#include "streaminf.h"
#include "typed_fixture.h"

#include <gtest/gtest.h>

#include <complex>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::Program;

std::vector<long> writes;
kov_write_fn real_write = nullptr;

long counting_write(streaminf *r, void *io, const char *buf, long n) {
  writes.push_back(n);
  return real_write(r, io, buf, n);
}

// Count the back-end writes of out from now on.
void count_writes() {
  streaminf *r = tag_info("out", TAG_OUT);
  ASSERT_NE(output(), nullptr);
  real_write = r->write_func;
  r->write_func = counting_write;
}

std::vector<float> floats_of(const std::string &bytes) {
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

// An input history whose data are native floats in {dir}/in.data.
const char kNativeInput[] = "\t\tin=\"{dir}/in.data\"\n\t\tdata_format=\"native_float\"\n";

// The floats 1, 2, ..., count as the data of that input.
void write_input(const Program &prog, int count) {
  std::vector<float> v(static_cast<std::size_t>(count));
  std::iota(v.begin(), v.end(), 1.0f);
  kovtest::write_file(prog.path("in.data"),
                      std::string(reinterpret_cast<const char *>(v.data()), v.size() * 4));
}

TEST(TypedWrite, RankTwoWritesOneColumnAtATime) {
  Program prog;
  const std::vector<float> a(500 * 3000, 1.0f);
  count_writes();
  kov::kov_write_2d(kov::array_view<const float, 2>(a.data(), {500, 3000}));
  EXPECT_EQ(writes, std::vector<long>(3000, 2000));
  kov::kov_close();
  EXPECT_EQ(prog.data().size(), 6000000u);
}

TEST(TypedWrite, DimsLimitTheColumnsAndStridedArraysAreGathered) {
  Program prog({"data_format=native_float"});
  std::vector<float> a(12);
  std::iota(a.begin(), a.end(), 0.0f);
  // Rows 0 and 1 of the first two columns of a 3 x 4 array.
  kov::kov_write_2d(kov::array_view<const float, 2>(a.data(), {3, 4}), std::nullopt, 2, 2);
  // Every other element: 0, 2, 4.
  kov::kov_write_1d(kov::array_view<const float, 1>(a.data(), {3}, {2}));
  kov::kov_write_1d(std::span<const float>(a).subspan(10)); // 10, 11
  kov::kov_close();
  EXPECT_EQ(floats_of(prog.data()), (std::vector<float>{0, 1, 3, 4, 0, 2, 4, 10, 11}));
}

TEST(TypedWrite, ComplexElementsAreEightBytes) {
  Program prog({"data_format=native_float"});
  const std::vector<std::complex<float>> c = {{1, 2}, {3, 4}, {5, 6}, {7, 8}};
  kov::kov_write_complex_2d(kov::array_view<const std::complex<float>, 2>(c.data(), {2, 2}),
                            std::nullopt, std::nullopt, 1);
  kov::kov_write_complex_1d(c, std::nullopt, 1);
  kov::kov_close();
  EXPECT_EQ(floats_of(prog.data()), (std::vector<float>{1, 2, 3, 4, 1, 2}));
}

TEST(TypedRead, SmallerDimsPackTheValuesAtTheStart) {
  Program prog({}, kNativeInput);
  write_input(prog, 6);
  std::vector<float> a(6, -1.0f);
  EXPECT_EQ(kov::kov_read_2d(kov::array_view<float, 2>(a.data(), {3, 2}), std::nullopt, 2), 16);
  EXPECT_EQ(a, (std::vector<float>{1, 2, 3, 4, -1, -1}));
}

TEST(TypedRead, StridedSectionsKeepTheElementsBetween) {
  Program prog({}, kNativeInput);
  write_input(prog, 4);
  // Rows 0 and 1 of a 3 x 2 array; row 2 is not part of the section.
  std::vector<float> a(6, -1.0f);
  kov::kov_read_2d(kov::array_view<float, 2>(a.data(), {2, 2}, {1, 3}));
  EXPECT_EQ(a, (std::vector<float>{1, 2, -1, 3, 4, -1}));
}

TEST(TypedTransferDeathTest, NothingBeyondTheArray) {
  Program prog({}, kNativeInput);
  write_input(prog, 8);
  std::vector<float> a(3);
  std::vector<std::complex<float>> c(2);
  EXPECT_EXIT(kov::kov_read_1d(a, std::nullopt, 4), fatal_exit(),
              "kov_read_1d: 16 bytes asked for, the array holds 12\n");
  EXPECT_EXIT(kov::kov_read_1d(a, std::nullopt, std::nullopt, 8), fatal_exit(),
              "kov_read_1d: 24 bytes");
  EXPECT_EXIT(kov::kov_read_complex_1d(c, std::nullopt, 3), fatal_exit(), "24 bytes");
  EXPECT_EXIT(kov::kov_write_2d(kov::array_view<const float, 2>(a.data(), {3, 1}), std::nullopt,
                                std::nullopt, 2),
              fatal_exit(), "kov_write_2d: dim2=2 is beyond the array's extent 1\n");
  EXPECT_EXIT(kov::kov_write_1d(a, std::nullopt, 1, 16), fatal_exit(), "16 bytes");
  // Within the storage a larger dim with a smaller element size is fine.
  EXPECT_EQ(kov::kov_read_1d(a, std::nullopt, 6, 2), 12);
}

} // namespace
