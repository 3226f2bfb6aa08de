// SPDX-License-Identifier: Apache-2.0
// kovwindow on hand-made cubes whose samples are their own linear index,
// on velmodel's output through pipes, and on windows outside the data.
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using kovtest::info_line;
using kovtest::ToolDir;

struct Axis {
  int n;
  double o, d;
};

// A dataset `name` whose sample i holds the value i.
void make_cube(const ToolDir &dir, const std::string &name, const std::vector<Axis> &axes) {
  std::string params;
  std::size_t count = 1;
  for (std::size_t k = 0; k < axes.size(); ++k) {
    const std::string i = std::to_string(k + 1);
    params += " n" + i + "=" + std::to_string(axes[k].n) + " o" + i + "=" +
              std::to_string(axes[k].o) + " d" + i + "=" + std::to_string(axes[k].d);
    count *= static_cast<std::size_t>(axes[k].n);
  }
  std::vector<float> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i);
  kovtest::write_file(dir / (name + "@"), kovtest::to_xdr(values));
  kovtest::write_file(dir / name, params + " label1=depth data_format=\"xdr_float\" esize=4 in=\"" +
                                      (dir / (name + "@")) + "\"\n");
}

struct Cut {
  int n, f, j;
};

// The samples of the window `cuts` of a cube of `axes`, each its index.
std::vector<float> expected(const std::vector<Axis> &axes, const std::vector<Cut> &cuts) {
  std::vector<float> out;
  std::array<int, 4> c{};
  for (c[3] = 0; c[3] < cuts[3].n; ++c[3])
    for (c[2] = 0; c[2] < cuts[2].n; ++c[2])
      for (c[1] = 0; c[1] < cuts[1].n; ++c[1])
        for (c[0] = 0; c[0] < cuts[0].n; ++c[0]) {
          long index = 0, stride = 1;
          for (int k = 0; k < 4; ++k) {
            index += (cuts[k].f + c[k] * cuts[k].j) * stride;
            stride *= axes[k].n;
          }
          out.push_back(static_cast<float>(index));
        }
  return out;
}

TEST(Kovwindow, CutsFourAxisCubesWithShiftedAxes) {
  ToolDir dir;
  const std::vector<Axis> axes = {{7, 0.5, 0.25}, {5, -10, 2}, {4, 100, 10}, {3, 0, 1}};
  make_cube(dir, "cube.H", axes);
  struct Case {
    std::string params;
    std::vector<Cut> cuts;
  };
  const std::vector<Case> cases = {
      {"", {{7, 0, 1}, {5, 0, 1}, {4, 0, 1}, {3, 0, 1}}},
      // n defaults to what fits from f in steps of j.
      {"f1=1 j1=3 f2=2 n2=2 j3=2 f4=1", {{2, 1, 3}, {2, 2, 1}, {2, 0, 2}, {2, 1, 1}}},
      {"n1=1 f1=6 j2=4 n3=1 f3=3 j4=2", {{1, 6, 1}, {2, 0, 4}, {1, 3, 1}, {2, 0, 2}}},
      {"n4=1 f4=2 j1=2 f1=1 n1=3", {{3, 1, 2}, {5, 0, 1}, {4, 0, 1}, {1, 2, 1}}}};
  for (const Case &c : cases) {
    ASSERT_EQ(
        dir.run("\"$kovwindow\" cube.H " + c.params + " >w.H 2>err && \"$kovinfo\" w.H >info"), 0)
        << c.params << ": " << dir.read("err") << dir.read("info");
    EXPECT_EQ(kovtest::from_xdr(dir.read("w.H@")), expected(axes, c.cuts)) << c.params;
    const std::string info = dir.read("info");
    for (std::size_t k = 0; k < 4; ++k) {
      const Cut &cut = c.cuts[k];
      const std::string i = std::to_string(k + 1);
      char want[200];
      std::snprintf(want, sizeof want, "n%s=%d o%s=%.7g d%s=%.7g", i.c_str(), cut.n, i.c_str(),
                    axes[k].o + axes[k].d * cut.f, i.c_str(), axes[k].d * cut.j);
      EXPECT_EQ(info_line(info, "axis " + i).rfind(want, 0), 0u)
          << c.params << ": " << info_line(info, "axis " + i) << " vs " << want;
    }
    EXPECT_NE(info_line(info, "axis 1").find("label1=\"depth\""), std::string::npos);
  }
  // Samples are moved as stored: the same bytes read as native floats come
  // out unchanged, and the output keeps the input's format.
  const std::string header = dir.read("cube.H");
  kovtest::write_file(dir / "native.H", header.substr(0, header.find("data_format=")) +
                                            "data_format=\"native_float\" esize=4 in=\"" +
                                            (dir / "cube.H@") + "\"\n");
  ASSERT_EQ(dir.run("\"$kovwindow\" cube.H j1=2 f3=1 >x.H 2>err && \"$kovwindow\" native.H j1=2 "
                    "f3=1 >n.H 2>>err && \"$kovinfo\" n.H >info"),
            0)
      << dir.read("err");
  EXPECT_TRUE(dir.read("x.H@") == dir.read("n.H@"));
  EXPECT_EQ(info_line(dir.read("info"), "data_format"), "native_float");
}

TEST(Kovwindow, WindowsLargerThanOnePieceComeOutWhole) {
  // Traces longer than the megabyte read at a time; a window of more
  // one-sample traces than fit in one piece; and traces far enough apart
  // to be sought one by one, thinned inside each trace.
  ToolDir dir;
  const std::vector<Axis> tall = {{1200000, 0, 1}, {3, 0, 1}, {1, 0, 1}, {1, 0, 1}};
  const std::vector<Axis> wide = {{1, 0, 1}, {2300000, 0, 1}, {1, 0, 1}, {1, 0, 1}};
  const std::vector<Axis> apart = {{20000, 0, 1}, {160, 0, 1}, {1, 0, 1}, {1, 0, 1}};
  make_cube(dir, "tall.H", {tall[0], tall[1]});
  make_cube(dir, "wide.H", {wide[0], wide[1]});
  make_cube(dir, "apart.H", {apart[0], apart[1]});
  ASSERT_EQ(dir.run("\"$kovwindow\" tall.H f1=5 f2=1 >t.H 2>err && "
                    "\"$kovwindow\" <wide.H f2=3 j2=2 >w.H 2>>err && "
                    "\"$kovwindow\" apart.H f1=3 j1=2 j2=3 >a.H 2>>err"),
            0)
      << dir.read("err");
  EXPECT_EQ(kovtest::from_xdr(dir.read("t.H@")),
            expected(tall, {{1199995, 5, 1}, {2, 1, 1}, {1, 0, 1}, {1, 0, 1}}));
  EXPECT_EQ(kovtest::from_xdr(dir.read("w.H@")),
            expected(wide, {{1, 0, 1}, {1149999, 3, 2}, {1, 0, 1}, {1, 0, 1}}));
  EXPECT_EQ(kovtest::from_xdr(dir.read("a.H@")),
            expected(apart, {{9999, 3, 2}, {54, 0, 3}, {1, 0, 1}, {1, 0, 1}}));
}

TEST(Kovwindow, WorksInPipelinesAsOnFiles) {
  ToolDir dir;
  ASSERT_EQ(dir.run("set -o pipefail\n"
                    "\"$velmodel\" n2=300 2>/dev/null | \"$kovwindow\" f2=100 n2=50 j1=2 | "
                    "\"$kovinfo\" >pipe 2>err\n"
                    "\"$velmodel\" n2=300 >v.H 2>/dev/null && \"$kovwindow\" v.H f2=100 n2=50 "
                    "j1=2 >w.H 2>>err && \"$kovinfo\" w.H >file 2>>err"),
            0)
      << dir.read("err");
  const std::string pipe = dir.read("pipe"), file = dir.read("file");
  EXPECT_EQ(info_line(pipe, "axis 1"), "n1=250 o1=0 d1=20 label1=\"z\"") << pipe;
  EXPECT_EQ(info_line(pipe, "axis 2"), "n2=50 o2=-13000 d2=20 label2=\"cmpx\"");
  for (const char *key : {"axis 1", "axis 2", "axis 3", "actual", "min", "max", "mean", "rms"})
    EXPECT_EQ(info_line(pipe, key), info_line(file, key)) << key;

  // Pieces read from a pipe, the data following the header: the same
  // samples as from the file, and the writer ends normally.
  ASSERT_EQ(dir.run("set -o pipefail\n"
                    "\"$velmodel\" n1=1100000 d1=0.01 n2=3 >big.H 2>/dev/null\n"
                    "\"$kovwindow\" big.H f1=7 j1=3 f2=1 >a.H 2>err\n"
                    "\"$velmodel\" n1=1100000 d1=0.01 n2=3 2>/dev/null | "
                    "\"$kovwindow\" f1=7 j1=3 f2=1 >b.H 2>>err"),
            0)
      << dir.read("err");
  EXPECT_EQ(dir.read("a.H@").size(), 366665u * 2 * 4);
  EXPECT_TRUE(dir.read("a.H@") == dir.read("b.H@"));
}

TEST(Kovwindow, AWindowOutsideTheDataIsAnError) {
  ToolDir dir;
  make_cube(dir, "cube.H", {{7, 0, 1}, {5, 0, 1}});
  make_cube(dir, "short.H", {{7, 0, 1}, {5, 0, 1}});
  std::filesystem::resize_file(dir / "short.H@", 4 * 7 * 3);
  make_cube(dir, "six.H", {{2, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {2, 0, 1}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"cube.H f2=5", "f2=5: the window starts outside the data (n2=5: indices 0 to 4)"},
      {"cube.H f2=-1", "f2=-1: the window starts outside the data"},
      {"cube.H f1=2 n1=4 j1=2",
       "n1=4 f1=2 j1=2: the window ends at index 8, outside the data (n1=7: indices 0 to 6)"},
      {"cube.H n2=6", "n2=6 f2=0 j2=1: the window ends at index 5"},
      {"cube.H j1=0", "j1=0: the step must be at least 1"},
      {"cube.H n1=0", "n1=0: the window needs at least one sample"},
      {"cube.H f3=1", "f3=1: the window starts outside the data (n3=1: indices 0 to 0)"},
      {"six.H", "n6=2: only the first 5 axes can be windowed"},
      {"cube.H data_format=native_float",
       "data_format=native_float: the window keeps the input's format (xdr_float)"},
      {"short.H f2=3", "the data are short: the header declares 140 bytes, only 84 are there"},
      {"short.H n2=1", "the data are short: the header declares 140 bytes, only 84 are there"}};
  for (const auto &[params, message] : cases) {
    EXPECT_EQ(dir.run("\"$kovwindow\" " + params + " >w.H 2>err"), 23) << params;
    EXPECT_NE(dir.read("err").find("kovwindow: " + message), std::string::npos)
        << params << ": " << dir.read("err");
    EXPECT_FALSE(std::filesystem::exists(dir / "w.H@")) << params;
  }
}

// Data longer than the header says are refused as the other tools refuse
// them, from a file (before anything is written) and from a pipe, also
// when the window ends before the data do.
TEST(Kovwindow, DataLongerThanTheHeaderSaysAreFatal) {
  ToolDir dir;
  make_cube(dir, "cube.H", {{7, 0, 1}, {5, 0, 1}});
  make_cube(dir, "long.H", {{7, 0, 1}, {5, 0, 1}});
  kovtest::write_file(dir / "long.H", "n1=7 n2=4 data_format=\"xdr_float\" esize=4 in=\"" +
                                          (dir / "long.H@") + "\"\n");
  const std::string message = "kovwindow: the data are longer than the header says: 112 bytes "
                              "declared, ";
  for (const std::string params : {"", " n2=1", " f1=6 f2=3"}) {
    EXPECT_EQ(dir.run("\"$kovwindow\" long.H" + params + " >w.H 2>err"), 23) << params;
    EXPECT_NE(dir.read("err").find(message), std::string::npos) << params << dir.read("err");
    EXPECT_FALSE(std::filesystem::exists(dir / "w.H@")) << params;
    EXPECT_EQ(dir.run("set -o pipefail\n"
                      "(\"$kovwindow\" cube.H n2=4 && head -c 28 /dev/zero) | \"$kovwindow\"" +
                      params + " >p.H 2>err"),
              23)
        << params;
    EXPECT_NE(dir.read("err").find(message), std::string::npos) << params << dir.read("err");
  }
}

} // namespace
