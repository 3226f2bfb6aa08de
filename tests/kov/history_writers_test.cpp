// SPDX-License-Identifier: Apache-2.0
// Typed history writes: the fixed layouts of the array writers and the
// blank squeezing they use.
#include <kov/kov.hpp>

#include "typed_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::Program;

TEST(TypedStripBlanks, BlanksMoveToTheEnd) {
  std::string s = " a b  c ";
  kov::strip_blanks(s);
  EXPECT_EQ(s, "abc     ");
  s = "\ta b\t";
  kov::strip_blanks(s);
  EXPECT_EQ(s, "\tab\t ");
}

TEST(TypedHistoryArrays, IntegersOnOneLineUpToTwenty) {
  Program prog;
  kov::to_history_int_array("x", std::vector<int>{1, -2, 3});
  std::vector<int> twenty(20);
  std::iota(twenty.begin(), twenty.end(), 1);
  kov::to_history_int_array("t", twenty);
  // Nine characters hold -99999999 and 999999999; wider values do not fit.
  kov::to_history_int_array("big", std::vector<int>{999999999, 1000000000, -99999999, -100000000});
  kov::to_history_int_array("none", std::vector<int>{});
  EXPECT_TRUE(prog.has("\n        x=1,-2,3\n\n        t=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,"
                       "18,19,20\n\n        big=999999999,*********,-99999999,*********\n\n"
                       "        none=\n\n"));
}

TEST(TypedHistoryArrays, OneEntryPerElementFromTwentyOne) {
  Program prog;
  const std::string aux = prog.path("aux.H");
  std::vector<int> v(21);
  std::iota(v.begin(), v.end(), 100);
  kov::set_no_putch(); // the array writer does not consult the switch
  kov::to_history_int_array("x", v, aux);
  const std::string text = kovtest::read_file(aux);
  EXPECT_NE(text.find("\t\tx1=100\n\t\tx2=101\n"), std::string::npos);
  EXPECT_NE(text.find("\t\tx21=120\n"), std::string::npos);
  EXPECT_EQ(text.find("x="), std::string::npos);
}

TEST(TypedHistoryArrays, RealsInExponentFormWithoutBlanks) {
  Program prog;
  kov::to_history_real_array("v", std::vector<float>{1.0f, -2.5f});
  kov::to_history_real_array("From par: w", std::vector<float>{0.0f, 9.9999996f, 1.0e-3f, 3.0e38f});
  kov::to_history_real_array("e", std::vector<float>{});
  kov::to_history_real_array(
      "f", std::vector<float>{-std::numeric_limits<float>::infinity(), std::nanf("")});
  EXPECT_TRUE(prog.has("\nv=0.100000E+01,-0.250000E+01\n\n"
                       "Frompar:w=0.000000E+00,0.100000E+02,0.100000E-02,0.300000E+39\n\ne=\n\n"
                       "f=-Infinity,NaN\n\n"));
  // The longest line the header scanner reads back bounds the array.
  const std::vector<float> many(6000, 1.0f);
  EXPECT_EXIT(kov::to_history_real_array("v", many), fatal_exit(),
              "to_history_real_array: too many values for one history line: v\n");
}

} // namespace
