// SPDX-License-Identifier: Apache-2.0
// Typed fetches: sources, defaults, echo into the output history, the echo
// switches, missing values, and the start of a program.
#include <kov/kov.hpp>

#include "typed_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::Program;

TEST(TypedFetch, FoundAndDefaultValuesAreEchoed) {
  Program prog({"n1=7", "list=3,4,5", "verbose=y"});
  float den = 0;
  kov::from_param_real("den", den, 100000.0f);
  EXPECT_EQ(den, 100000.0f);
  int n1 = 0;
  kov::from_param_int("n1   ", n1, 500); // trailing blanks do not belong to the name
  EXPECT_EQ(n1, 7);
  // A list given for a scalar fills the scalar only.
  std::array<int, 2> guard{0, -1};
  kov::from_par_int("list", guard[0]);
  EXPECT_EQ(guard, (std::array<int, 2>{3, -1}));
  bool verbose = false;
  kov::from_param_bool("verbose", verbose);
  EXPECT_TRUE(verbose);
  EXPECT_TRUE(prog.has("\t\tFrom par: den=100000\n\t\tFrom par: n1=7\n\t\tFrom par: list=3\n"
                       "\t\tFrom par: verbose=yes\n"));
}

TEST(TypedFetch, EchoSwitchesAndAlternateTarget) {
  Program prog({"a=1", "b=2", "c=3", "d=4"});
  const std::string aux = prog.path("aux.H");
  int v = 0;
  kov::set_no_putch();
  kov::from_param_int("a", v);
  kov::to_history_int("quiet", 1);
  kov::to_history_int("tagged", 2, "out"); // a named target ignores the switch
  kov::set_yes_putch();
  kov::from_param_int("b", v);
  kov::set_alternate_putch(aux);
  kov::from_param_int("c", v);
  kov::to_history_int("plain", 5); // untagged writes still go to out
  kov::set_yes_putch();            // does not switch the alternate target off
  kov::from_param_int("d", v);

  const std::string out = prog.header();
  EXPECT_EQ(out.find("From par: a="), std::string::npos);
  EXPECT_EQ(out.find("quiet"), std::string::npos);
  EXPECT_NE(out.find("\t\ttagged=2\n\t\tFrom par: b=2\n\t\tplain=5\n"), std::string::npos);
  const std::string alt = kovtest::read_file(aux);
  EXPECT_NE(alt.find("\t\tFrom par: c=3\n\t\tFrom par: d=4\n"), std::string::npos);
  EXPECT_EQ(out.find("From par: c="), std::string::npos);
}

TEST(TypedFetch, TextsAreCutToTheVariable) {
  Program prog({"title=abcdefgh", "empty="});
  std::string s;
  kov::from_param_char("title", s, std::nullopt, 4);
  EXPECT_EQ(s, "abcd");
  kov::from_param_char("empty", s, "defaultvalue", 7); // an empty value is no value
  EXPECT_EQ(s, "default");
  kov::to_history_char("label3", " ");
  EXPECT_TRUE(prog.has("\t\tFrom par: title=\"abcd\"\n\t\tFrom par: empty=\"default\"\n"
                       "\t\tlabel3=\"\"\n"));
}

TEST(TypedFetch, CommandLineHistoryAndAuxiliarySources) {
  Program prog({"n1=9", "indata={dir}/aux.H"},
               "\t\tn1=100\n\t\tn2=50\n\t\tlabel1=\"depth\"\n\t\tflag=yes\n");
  kovtest::write_file(prog.path("aux.H"), "\t\tn1=33\n\t\tok=1\n\t\tname=\"x y\"\n");
  int v = 0;
  kov::from_either_int("n1", v);
  EXPECT_EQ(v, 9);
  kov::from_either_int("n2", v);
  EXPECT_EQ(v, 50);
  kov::from_history_int("n1", v);
  EXPECT_EQ(v, 100);
  kov::from_old_int("n1", v);
  EXPECT_EQ(v, 9);
  std::string label;
  kov::from_history_char("label1", label);
  EXPECT_EQ(label, "depth");
  kov::from_aux_int("indata", "n1", v);
  EXPECT_EQ(v, 33);
  bool ok = false;
  kov::from_aux_bool("indata", "ok", ok);
  EXPECT_TRUE(ok);
  kov::from_aux_char("indata", "name", label);
  EXPECT_EQ(label, "x y");
  EXPECT_TRUE(prog.has("\t\tFrom either: n1=9\n\t\tFrom either: n2=50\n"));
  EXPECT_EQ(prog.header().find("From par"), std::string::npos);
}

TEST(TypedFetch, ExistFileLooksAtParametersOnly) {
  Program prog({"given=x", "blank="});
  const std::string file = prog.path("indata");
  kovtest::write_file(file, "");
  EXPECT_FALSE(kov::exist_file(file));
  EXPECT_FALSE(kov::exist_file("blank"));
  EXPECT_TRUE(kov::exist_file("given"));
}

TEST(TypedFetchDeathTest, MissingValuesEndTheProgram) {
  Program prog({"indata={dir}/aux.H"}, "\t\tn1=1\n");
  kovtest::write_file(prog.path("aux.H"), "\t\tn2=1\n");
  int v = 0;
  float f = 0;
  std::string s;
  EXPECT_EXIT(kov::from_param_int("n1", v), fatal_exit(), "prog: missing parameter value: n1\n");
  EXPECT_EXIT(kov::from_either_real("d9", f), fatal_exit(), "missing either value: d9\n");
  EXPECT_EXIT(kov::from_history_int("esize", v), fatal_exit(), "missing history value: esize\n");
  EXPECT_EXIT(kov::from_old_int("x", v), fatal_exit(), "missing old value: x\n");
  EXPECT_EXIT(kov::from_aux_int("indata", "n1", v), fatal_exit(),
              "missing history value: n1 from file: indata\n");
  EXPECT_EXIT(kov::from_aux_char("indata", "label1", s), fatal_exit(),
              "missing history value: label1\n");
}

TEST(TypedArrays, ListOrOneNamePerElement) {
  Program prog({"x=4,5,6", "y1=4", "y2=5", "y3=6", "z=1,2,3,4,5", "w=2*1.5"});
  std::vector<int> x(3), y(3);
  kov::from_param_int_array("x", x);
  EXPECT_EQ(x, (std::vector<int>{4, 5, 6}));
  kov::from_param_int_array("y", y);
  EXPECT_EQ(y, (std::vector<int>{4, 5, 6}));
  // More values than the array: the rest is not stored.
  std::vector<int> z = {0, 0, 0, -1};
  kov::from_par_int_array("z", std::span<int>(z).first(3));
  EXPECT_EQ(z, (std::vector<int>{1, 2, 3, -1}));
  // Fewer: the elements beyond keep their contents, the default is unused.
  std::vector<float> w = {0, 0, 9};
  const std::vector<float> def = {7, 7, 7};
  kov::from_param_real_array("w", w, def);
  EXPECT_EQ(w, (std::vector<float>{1.5f, 1.5f, 9}));
  std::vector<float> u(2);
  kov::from_param_real_array("u", u, def);
  EXPECT_EQ(u, (std::vector<float>{7, 7}));
  EXPECT_TRUE(prog.has("\n        From par: x=4,5,6\n\n\t\tFrom par: y1=4\n\t\tFrom par: y2=5\n"
                       "\t\tFrom par: y3=6\n        From par: z=1,2,3\n\n"
                       "Frompar:w=0.150000E+01,0.150000E+01,0.900000E+01\n\n"
                       "\t\tFrom par: u1=7\n\t\tFrom par: u2=7\n"));
}

// from_history_real_array once allowed element numbers of 2 digits only.
TEST(TypedArrays, ElementNumbersTakeTheDigitsTheyNeed) {
  Program prog({}, "\t\tv100=7.5\n");
  std::vector<float> v(100);
  const std::vector<float> def(100, 1.0f);
  kov::from_history_real_array("v", v, def);
  EXPECT_EQ(v[98], 1.0f);
  EXPECT_EQ(v[99], 7.5f);
}

TEST(TypedConj, OneFromTheHistoryTheOtherRecorded) {
  Program prog({"n=9"}, "\t\tn=3\n\t\tm=0.5\n");
  int a = 0, b = 0;
  kov::from_conj_int(true, "n", a, 1, b, 2);
  EXPECT_EQ(a, 3);
  EXPECT_EQ(b, 9);
  float c = 0, d = 0;
  kov::from_conj_real(false, "m", c, 2.5f, d);
  EXPECT_EQ(c, 2.5f);
  EXPECT_EQ(d, 0.5f);
  EXPECT_TRUE(prog.has("\t\tn=9\n\t\tm=2.5\n"));
  EXPECT_EXIT(kov::from_conj_int(false, "k", a, 1, b), fatal_exit(), "missing history value: k\n");
}

TEST(TypedInit, CapturesTheRunTimeCommandLine) {
  kovtest::TempDir dir;
  const std::string cmd = std::string(KOV_TYPED_INIT_PROBE) + " n1=7 head=" + (dir / "h.H") +
                          " datapath=" + (dir / "") + " </dev/null >" + (dir / "out");
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  EXPECT_EQ(kovtest::read_file(dir / "out"), "7\n");
  EXPECT_NE(kovtest::read_file(dir / "h.H").find("\t\tFrom par: n1=7\n"), std::string::npos);
}

} // namespace
