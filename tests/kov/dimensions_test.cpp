// SPDX-License-Identifier: Apache-2.0
// Dataset dimensions: the element-size check, folding of axes, axis counts
// and axis parameter names.
#include <kov/kov.hpp>

#include "typed_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::Program;

TEST(TypedDimensions, RequestFortyEightCountsComplexAsPairsOfReals) {
  Program prog({"c={dir}/c.H", "r={dir}/r.H"}, "\t\tn1=100\n\t\tn2=3\n\t\tesize=8\n");
  kovtest::write_file(prog.path("c.H"), "\t\tn1=100\n\t\tn2=3\n\t\tesize=8\n");
  kovtest::write_file(prog.path("r.H"), "\t\tn1=100\n\t\tesize=4\n");
  int n1 = 0, n2 = 0;
  kov::from_history_dim(n1, &n2, nullptr, nullptr, 48);
  EXPECT_EQ(n1, 200);
  EXPECT_EQ(n2, 3);
  std::vector<int> n(3);
  kov::from_aux_dim_array("c", n, 48);
  EXPECT_EQ(n, (std::vector<int>{200, 3, 1}));
  kov::from_aux_dim_array("r", n, 48);
  EXPECT_EQ(n, (std::vector<int>{100, 1, 1}));
  kov::from_aux_dim("c", n1, &n2, nullptr, 8);
  EXPECT_EQ(n1, 100);
}

TEST(TypedDimensionsDeathTest, ElementSizeMismatches) {
  Program prog({"c={dir}/c.H", "odd={dir}/odd.H"}, "\t\tn1=100\n\t\tesize=8\n");
  kovtest::write_file(prog.path("c.H"), "\t\tn1=100\n\t\tesize=8\n");
  kovtest::write_file(prog.path("odd.H"), "\t\tn1=100\n\t\tesize=2\n");
  int n1 = 0;
  std::vector<int> n(1);
  EXPECT_EXIT(kov::from_history_dim(n1), fatal_exit(), "esize /= 4\n");
  EXPECT_EXIT(kov::from_aux_dim_array("odd", n, 48), fatal_exit(), "esize /= 4 or 8\n");
  EXPECT_EXIT(kov::from_history_dim_array(n, 4), fatal_exit(), "wrong esize\n");
  EXPECT_EXIT(kov::from_aux_dim("c", n1, nullptr, nullptr, 48), fatal_exit(), "wrong esize\n");
  EXPECT_EXIT(kov::from_aux_dim("odd", n1), fatal_exit(), "esize /= 4\n");
}

TEST(TypedDimensionsDeathTest, MissingLengths) {
  Program prog({"e={dir}/e.H"}, "\t\tn1=100\n");
  kovtest::write_file(prog.path("e.H"), "\t\tn2=1\n\t\tesize=4\n");
  int n1 = 0, n2 = 0;
  EXPECT_EXIT(kov::from_aux_dim("e", n1), fatal_exit(), "missing history value: n1 from file: e\n");
  EXPECT_EXIT(kov::from_either_dim(n1, &n2), fatal_exit(), "missing either value: n2\n");
}

// Without an esize line the element size is 4, or 1 for byte formats, as
// every reader of the family takes it.
TEST(TypedDimensions, AMissingElementSizeFollowsTheDataFormat) {
  Program prog({"b={dir}/b.H"}, "\t\tn1=100\n\t\tn2=3\n\t\tdata_format=\"xdr_float\"\n");
  kovtest::write_file(prog.path("b.H"), "\t\tn1=7\n\t\tdata_format=\"xdr_byte\"\n");
  int n1 = 0, n2 = 0;
  kov::from_history_dim(n1, &n2);
  EXPECT_EQ(n1, 100);
  EXPECT_EQ(n2, 3);
  std::vector<int> n(2);
  kov::from_history_dim_array(n);
  EXPECT_EQ(n, (std::vector<int>{100, 3}));
  kov::from_either_dim(n1, &n2, nullptr, 4);
  EXPECT_EQ(n1, 100);
  kov::from_aux_dim("b", n1, nullptr, nullptr, 1);
  EXPECT_EQ(n1, 7);
}

// Axis lengths of `in` folded by from_history_dim, with or without n2.
std::pair<int, int> fold(const std::string &history, bool pass_n2) {
  Program prog({}, history);
  int n1 = 0, n2 = -1, n3 = -1, n4 = -1;
  kov::from_history_dim(n1, pass_n2 ? &n2 : nullptr, &n3, &n4, std::nullopt, true);
  EXPECT_EQ(n3, 1);
  EXPECT_EQ(n4, 1);
  return {n1, n2};
}

// 1000*3000 is not below 2,000,000: axis 2 and every later one go to n2.
TEST(TypedCompress, AnAxisOverTheThresholdSendsAllLaterOnesToN2) {
  EXPECT_EQ(fold("\t\tn1=1000\n\t\tn2=3000\n\t\tn3=2\n", true), std::make_pair(1000, 6000));
}

TEST(TypedCompress, LeadingAxesMergeWhileBelowTheThreshold) {
  EXPECT_EQ(fold("\t\tn1=500\n\t\tn2=3000\n\t\tn3=2\n", true), std::make_pair(1500000, 2));
}

TEST(TypedCompress, WithoutN2EverythingGoesToN1) {
  EXPECT_EQ(fold("\t\tn1=1000\n\t\tn2=3000\n\t\tn3=2\n", false).first, 6000000);
}

TEST(TypedDimensions, AxisCounts) {
  Program prog({"a={dir}/a.H", "b={dir}/b.H", "g={dir}/g.H"}, "\t\tn1=100\n\t\tn2=1\n\t\tn3=7\n");
  kovtest::write_file(prog.path("a.H"), "\t\tn1=100\n\t\tn2=1\n");
  kovtest::write_file(prog.path("b.H"), "\t\tn2=5\n");
  kovtest::write_file(prog.path("g.H"), "\t\tn1=10\n\t\tgff=\"" + prog.path("grid.H") + "\"\n");
  kovtest::write_file(prog.path("grid.H"), "\t\tn2_grid=5\n\t\tn3_grid=4\n\t\tn4_grid=1\n");
  int n = 0;
  kov::from_history_int("n1", n);
  EXPECT_EQ(kov::kov_dimension(), 3);
  kov::from_aux_int("a", "n1", n);
  EXPECT_EQ(kov::kov_dimension("a"), 1);
  kov::from_aux_int("g", "n1", n);
  EXPECT_EQ(kov::number_grid_axes("g"), 3);
  EXPECT_EXIT(kov::number_grid_axes("in"), fatal_exit(), "Error: KOV77, NEED KOV90!\n");
  EXPECT_EXIT(kov::number_grid_axes("never"), fatal_exit(), "Error: No KOV history file!\n");
  EXPECT_EXIT(kov::kov_dimension("never"), fatal_exit(), "Trouble obtaining number of data axes\n");
  kov::from_aux_int("b", "n2", n);
  EXPECT_EXIT(kov::kov_dimension("b"), fatal_exit(), "n1 must exist and by a single integer");
}

TEST(TypedDimensions, AxisNames) {
  EXPECT_EQ(kov::axisname(1), "n1 ");
  EXPECT_EQ(kov::axisname(10), "n10");
  EXPECT_EQ(kov::axisname(3, "o"), "o3 ");
  EXPECT_EQ(kov::axisname(3, "d  "), "d3 ");
  EXPECT_EXIT(kov::axisname(100), fatal_exit(), "axisname: no name of 3 characters for axis 100");
  EXPECT_EQ(kov::axisname(12, "o"), "o12");
  EXPECT_EXIT(kov::axisname(1, "ab1"), fatal_exit(), "axis 1 with prefix \"ab1\"");
  EXPECT_EXIT(kov::axisname(-1), fatal_exit(), "axis -1");
}

} // namespace
