// SPDX-License-Identifier: Apache-2.0
// The axes of a dataset from its history, as the programs and the Python
// package read them.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The axes of a header holding `text`, or the reason they are refused.
std::string axes_of(const std::string &text, int max_axes = KOV_MAX_AXES) {
  kovtest::TempDir dir;
  kovtest::write_file(dir / "h.H", text + "\n");
  const kovtest::Outcome r = kovtest::run_child([&] {
    kovtest::set_args({"prog", "aux=" + (dir / "h.H")});
    std::vector<kov_axis> axes(KOV_MAX_AXES);
    char why[200];
    const int count = kov_header_axes("aux", max_axes, axes.data(), why, sizeof why);
    if (count < 0) {
      std::printf("refused: %s", why);
    } else {
      for (int i = 0; i < count; ++i)
        std::printf("(%d %g %g %s %s)", axes[i].n, axes[i].o, axes[i].d, axes[i].label,
                    axes[i].unit);
    }
  });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

TEST(HeaderAxes, ReadWithDefaultsUpToTheLastLengthAcrossGaps) {
  EXPECT_EQ(axes_of("n1=500 o1=0 d1=10 label1=z unit1=m n2=3 d2=2.5d1 o3=4 n5=7"),
            "(500 0 10 z m)(3 0 25  )(1 4 1  )(1 0 1  )(7 0 1  )");
  EXPECT_EQ(axes_of("n1=2 n2=2 n4=2", 3), "refused: n4=2: more than 3 axes");
  EXPECT_EQ(axes_of("n1=2 n2=2 n4=1 n9=1", 3), "(2 0 1  )(2 0 1  )(1 0 1  )");
  EXPECT_EQ(axes_of("n1=2 n2=2 n4=2", 3), "refused: n4=2: more than 3 axes");
  EXPECT_EQ(axes_of("n1=+4 o1=\" -1.5 \""), "(4 -1.5 1  )");
}

TEST(HeaderAxes, RefusedWithTheParameterNamed) {
  EXPECT_EQ(axes_of("n2=4"), "refused: n1 is not in the history");
  EXPECT_EQ(axes_of("n1=abc"),
            "refused: n1=abc: an axis length must be a whole number from 1 to 2147483647");
  for (const char *bad : {"n1=0", "n1=-5", "n1=1e3", "n1=3*5", "n1=2147483648", "n1=4,4"})
    EXPECT_NE(axes_of(bad).find(std::string("refused: ") + bad + ": "), std::string::npos) << bad;
  EXPECT_EQ(axes_of("n1=4 o1=west"), "refused: o1=west: not a finite number");
  EXPECT_EQ(axes_of("n1=4 d1=1e999"), "refused: d1=1e999: not a finite number");
  EXPECT_EQ(axes_of("n1=2 n2=2 n3=2", 2), "refused: n3=2: more than 2 axes");
  EXPECT_EQ(axes_of("n1=2 label1=" + std::string(300, 'l')),
            "refused: label1: longer than 255 characters");
  EXPECT_EQ(axes_of("n1=2", 0), "refused: kov_header_axes(): bad arguments");
}

} // namespace
