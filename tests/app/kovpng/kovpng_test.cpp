// SPDX-License-Identifier: Apache-2.0
// kovpng on datasets made by velmodel and by hand, each run in a fresh
// directory that also holds the data files.
#include "tool_scripts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef KOV_HAVE_CAIRO
#include <cairo.h>
#endif

namespace {

using kovtest::expect_refused;
using kovtest::leftovers;
using kovtest::line_of;
using kovtest::make_bad_inputs;
using kovtest::make_dataset;
using kovtest::read_file;
using kovtest::run;
using kovtest::TempDir;

#ifdef KOV_HAVE_CAIRO
struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};

// The colour at (x, y) of a PNG file, as 0xRRGGBB.
uint32_t pixel(cairo_surface_t *png, int x, int y) {
  const unsigned char *data = cairo_image_surface_get_data(png);
  uint32_t p;
  std::memcpy(&p, data + y * cairo_image_surface_get_stride(png) + 4 * x, 4);
  return p & 0xffffff;
}

// Two colours that differ by at most 3 in each channel.
bool near(uint32_t a, uint32_t b) {
  for (int shift : {0, 8, 16})
    if (std::abs(static_cast<int>((a >> shift) & 0xff) - static_cast<int>((b >> shift) & 0xff)) > 3)
      return false;
  return true;
}
#endif

TEST(Kovpng, RendersAModelFromAPipeWithTheColourMapTheRightWayUp) {
#ifndef KOV_HAVE_CAIRO
  GTEST_SKIP() << "kovpng not built";
#else
  TempDir dir;
  ASSERT_EQ(run(dir, "\"$V\" n2=100 2>/dev/null | \"$P\" out=m.png width=400 height=300 2>err"), 0)
      << read_file(dir / "err");
  std::unique_ptr<cairo_surface_t, SurfaceDeleter> png(
      cairo_image_surface_create_from_png((dir / "m.png").c_str()));
  ASSERT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(png.get()), 400);
  EXPECT_EQ(cairo_image_surface_get_height(png.get()), 300);
  cairo_surface_flush(png.get());
  // The plot spans x 80..290, y 50..245: the top layer (6000, the maximum)
  // is the yellow end of the map, the deepest (3500, the minimum) the
  // purple end; the colour bar runs from yellow at the top to purple.
  EXPECT_EQ(pixel(png.get(), 185, 52), 0xfde725u);
  EXPECT_EQ(pixel(png.get(), 185, 243), 0x440154u);
  EXPECT_TRUE(near(pixel(png.get(), 318, 50), 0xfde725u)) << pixel(png.get(), 318, 50);
  EXPECT_TRUE(near(pixel(png.get(), 318, 244), 0x440154u)) << pixel(png.get(), 318, 244);
  EXPECT_EQ(pixel(png.get(), 5, 5), 0xffffffu) << "white margins";
  // A fixed range: 6000 above max is clipped to the top colour, the
  // deepest layer (3500 against min=2000) well inside the map.
  ASSERT_EQ(run(dir, "\"$V\" n2=100 2>/dev/null | \"$P\" out=c.png width=400 height=300 "
                     "min=2000 max=5000 2>err"),
            0);
  png.reset(cairo_image_surface_create_from_png((dir / "c.png").c_str()));
  cairo_surface_flush(png.get());
  EXPECT_EQ(pixel(png.get(), 185, 52), 0xfde725u);
  EXPECT_NE(pixel(png.get(), 185, 243), 0x440154u);
#endif
}

#ifdef KOV_HAVE_CAIRO
using Png = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

Png load_png(const std::string &path) {
  Png png(cairo_image_surface_create_from_png(path.c_str()));
  EXPECT_EQ(cairo_surface_status(png.get()), CAIRO_STATUS_SUCCESS) << path;
  cairo_surface_flush(png.get());
  return png;
}

// The grey level of a pixel of a gray picture (its three channels alike).
int grey(cairo_surface_t *png, int x, int y) {
  const uint32_t p = pixel(png, x, y);
  EXPECT_TRUE(near(p, (p & 0xff) * 0x010101u)) << x << "," << y << ": " << p;
  return static_cast<int>(p & 0xff);
}
#endif

// Pictures are 400 x 300 below: the plot spans x 80..290 and y 50..245.
TEST(Kovpng, DenseDataAreAveragedNotAliased) {
#ifndef KOV_HAVE_CAIRO
  GTEST_SKIP() << "kovpng not built";
#else
  // 2000 traces alternating +1 and -1 on 210 pixels: every pixel averages
  // about as many of each, the middle grey; picking samples would give a
  // pattern of black and white stripes.
  TempDir dir;
  std::vector<float> v(4 * 2000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = (i / 4) % 2 == 0 ? 1.0f : -1.0f;
  make_dataset(dir, "stripes.H", "n1=4 n2=2000", v);
  ASSERT_EQ(run(dir, "\"$P\" stripes.H out=s.png width=400 height=300 color=gray 2>err"), 0)
      << read_file(dir / "err");
  const Png png = load_png(dir / "s.png");
  for (int x = 81; x < 289; ++x) EXPECT_NEAR(grey(png.get(), x, 150), 128, 14) << x;
#endif
}

TEST(Kovpng, ColourMapsAndClips) {
#ifndef KOV_HAVE_CAIRO
  GTEST_SKIP() << "kovpng not built";
#else
  // 100 traces of the values -50 ... 49, 2.1 pixels each.
  TempDir dir;
  std::vector<float> v;
  for (int j = 0; j < 100; ++j) v.insert(v.end(), {j - 50.0f, j - 50.0f});
  make_dataset(dir, "ramp.H", "n1=2 n2=100", v);
  const auto x_of = [](int value) { return 80 + static_cast<int>((value + 50.5) * 2.1); };
  // Diverging, pclip=50: symmetric about 0 up to the median magnitude, 25.
  ASSERT_EQ(run(dir, "\"$P\" ramp.H out=d.png width=400 height=300 color=bwr pclip=50 2>err"), 0)
      << read_file(dir / "err");
  Png png = load_png(dir / "d.png");
  EXPECT_EQ(pixel(png.get(), x_of(0), 150), 0xffffffu) << "0 is white";
  EXPECT_EQ(pixel(png.get(), x_of(-40), 150), 0x053061u) << "clipped to the dark blue end";
  EXPECT_EQ(pixel(png.get(), x_of(40), 150), 0x67001fu) << "clipped to the dark red end";
  EXPECT_NE(pixel(png.get(), x_of(-20), 150), 0x053061u);
  // The same with clip=25.
  ASSERT_EQ(run(dir, "\"$P\" ramp.H out=c.png width=400 height=300 color=bwr clip=25 2>err"), 0);
  EXPECT_EQ(pixel(load_png(dir / "c.png").get(), x_of(-40), 150), 0x053061u);
  // Gray, pclip=80: from the 10th to the 90th percentile, about -40 to 39.
  ASSERT_EQ(run(dir, "\"$P\" ramp.H out=g.png width=400 height=300 color=gray pclip=80 2>err"), 0);
  png = load_png(dir / "g.png");
  EXPECT_EQ(grey(png.get(), x_of(-44), 150), 0);
  EXPECT_EQ(grey(png.get(), x_of(43), 150), 255);
  EXPECT_NEAR(grey(png.get(), x_of(0), 150), 128, 6);
  // Without pclip, the whole range: -44 is not black yet.
  ASSERT_EQ(run(dir, "\"$P\" ramp.H out=f.png width=400 height=300 color=gray 2>err"), 0);
  EXPECT_NEAR(grey(load_png(dir / "f.png").get(), x_of(-44), 150), 16, 6);

  make_bad_inputs(dir);
  expect_refused(dir, "\"$P\" ramp.H out=p.png color=jet", "p.png",
                 "color=jet: give viridis, gray or bwr");
  expect_refused(dir, "\"$P\" ramp.H out=p.png pclip=0", "p.png",
                 "pclip=0 must be above 0 and at most 100");
#endif
}

TEST(Kovpng, PicksASliceOfACube) {
#ifndef KOV_HAVE_CAIRO
  GTEST_SKIP() << "kovpng not built";
#else
  // Three slices of 4 x 3 samples, slice k all k.
  TempDir dir;
  std::vector<float> v;
  for (int k = 0; k < 3; ++k) v.insert(v.end(), 12, static_cast<float>(k));
  make_dataset(dir, "cube.H", "n1=4 n2=3 n3=3", v);
  for (const auto &[i3, level] :
       std::vector<std::pair<std::string, int>>{{"", 0}, {"i3=1", 128}, {"i3=2", 255}}) {
    ASSERT_EQ(run(dir, "\"$P\" cube.H out=c.png width=400 height=300 color=gray min=0 max=2 " + i3 +
                           " 2>err"),
              0)
        << i3 << ": " << read_file(dir / "err");
    EXPECT_NEAR(grey(load_png(dir / "c.png").get(), 185, 150), level, 1) << i3;
  }
  expect_refused(dir, "\"$P\" cube.H out=p.png i3=3", "p.png",
                 "i3=3: the dataset has n3=3 slices, 0 to 2");
  make_dataset(dir, "four.H", "n1=4 n2=3 n3=1 n4=2", std::vector<float>(24, 1.0f));
  expect_refused(dir, "\"$P\" four.H out=p.png", "p.png",
                 "needs at most 3 axes longer than 1; this one has n4=2");
#endif
}

TEST(Kovpng, TheColourBarNamesTheUnitOfVelocityModels) {
#ifndef KOV_HAVE_CAIRO
  GTEST_SKIP() << "kovpng not built";
#else
  // Dark pixels below the colour bar (x 310..360, y 253..268) where a unit
  // is written.
  const auto labelled = [](cairo_surface_t *png) {
    for (int y = 253; y < 268; ++y)
      for (int x = 310; x < 360; ++x)
        if ((pixel(png, x, y) & 0xff) < 128) return true;
    return false;
  };
  TempDir dir;
  make_bad_inputs(dir);
  const std::string size = " width=400 height=300 2>err";
  ASSERT_EQ(run(dir, "\"$V\" n2=50 2>/dev/null | \"$P\" out=v.png" + size), 0);
  EXPECT_TRUE(labelled(load_png(dir / "v.png").get())) << "m/s for a velocity model";
  ASSERT_EQ(run(dir, "\"$V\" n2=50 2>/dev/null | \"$P\" out=e.png barlabel=' '" + size), 0);
  EXPECT_FALSE(labelled(load_png(dir / "e.png").get())) << "barlabel=' ': none";
  ASSERT_EQ(run(dir, "\"$P\" good.H out=g.png" + size), 0);
  EXPECT_FALSE(labelled(load_png(dir / "g.png").get())) << "no unit known";
  ASSERT_EQ(run(dir, "\"$P\" good.H out=b.png barlabel=Pa" + size), 0);
  EXPECT_TRUE(labelled(load_png(dir / "b.png").get()));
#endif
}

TEST(Kovpng, BadInputLeavesNoPicture) {
  if (std::string(KOV_KOVPNG).empty()) GTEST_SKIP() << "kovpng not built";
  TempDir dir;
  make_bad_inputs(dir);
  expect_refused(dir, "\"$P\" line.H out=p.png", "p.png", "needs a two-dimensional dataset");
  expect_refused(dir, "\"$P\" short.H out=p.png", "p.png", "the data are short");
  expect_refused(dir, "\"$P\" good.H out=p.png min=2 max=1", "p.png", "min=2 is above max=1");
  expect_refused(dir, "\"$P\" good.H out=no/p.png", "p.png", "cannot create no/p.png");
  expect_refused(dir, "\"$P\" good.H out=/dev/full", "p.png", "cannot write /dev/full");
  ASSERT_EQ(run(dir, "\"$P\" good.H out=p.png 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(leftovers(dir, "p.png"), std::vector<std::string>{"p.png"});
}

// A range tiny beside its values (an axis far from 0 with a tiny step, a
// colour range of one rounding step) gives a picture.  A tick loop that
// never ends is killed after 20 s (status 137, a failure); its memory is
// capped, so that a loop collecting ticks fails before it fills the machine.
TEST(Kovpng, TinyRangesBesideLargeValuesStillGiveAPicture) {
  if (std::string(KOV_KOVPNG).empty()) GTEST_SKIP() << "kovpng not built";
  TempDir dir;
  std::vector<float> v(4 * 3);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i);
  make_dataset(dir, "down.H", "n1=4 n2=3 o1=1e10 d1=2e-6", v);
  make_dataset(dir, "across.H", "n1=4 n2=3 o2=1e10 d2=1e-6", v);
  make_dataset(dir, "ramp.H", "n1=4 n2=3", v);
#if defined(__SANITIZE_ADDRESS__)
  const std::string cap; // the sanitiser's shadow memory needs the address space
#else
  const std::string cap = "ulimit -v 4000000\n";
#endif
  for (const std::string args : {"down.H", "across.H", "ramp.H min=1e10 max=1.0000000000000002e10",
                                 "down.H min=-1e10 max=-9999999999.999999"}) {
    std::filesystem::remove(dir / "p.png");
    EXPECT_EQ(run(dir, cap + "timeout -s KILL 20 \"$P\" " + args + " out=p.png 2>err"), 0)
        << args << ": " << read_file(dir / "err");
    EXPECT_TRUE(std::filesystem::exists(dir / "p.png")) << args;
  }
}

TEST(Kovpng, AnAxisWithoutAStepIsNamed) {
  if (std::string(KOV_KOVPNG).empty()) GTEST_SKIP() << "kovpng not built";
  TempDir dir;
  make_dataset(dir, "flat2.H", "n1=4 n2=3 d2=0", std::vector<float>(12, 1.0f));
  make_dataset(dir, "flat1.H", "n1=4 n2=3 d1=0", std::vector<float>(12, 1.0f));
  make_dataset(dir, "good.H", "n1=4 n2=3", std::vector<float>(12, 1.0f));
  expect_refused(dir, "\"$P\" flat2.H out=p.png", "p.png",
                 "kovpng: d2=0: the sample interval of axis 2 must be a number other than 0");
  expect_refused(dir, "\"$P\" flat1.H out=p.png", "p.png",
                 "kovpng: d1=0: the sample interval of axis 1 must be a number other than 0");
  expect_refused(dir, "\"$P\" good.H out=p.png min=nan", "p.png",
                 "the ends of the colour range must be numbers");
}

} // namespace
