// The dataset tools run on datasets made by velmodel and by hand, each run
// in a fresh directory that also holds the data files.
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

#ifdef KOV_HAVE_CAIRO
#include <cairo.h>
#endif

namespace {

using kovtest::read_file;
using kovtest::TempDir;

// Run a bash script in `dir` with standard input from /dev/null; $V, $I,
// $P and $S name velmodel, kovinfo, kovpng and kov2segy, and DATAPATH
// points into the directory.  Returns the script's exit status.
int run(const TempDir &dir, const std::string &script) {
  kovtest::write_file(dir / "run.sh", "cd '" + dir.path().string() + "'\nexport DATAPATH='" +
                                          (dir / "") +
                                          "'\nV='" KOV_VELMODEL "'\nI='" KOV_KOVINFO
                                          "'\nP='" KOV_KOVPNG "'\nS='" KOV_KOV2SEGY "'\n" +
                                          script);
  const int raw = std::system(("bash '" + (dir / "run.sh") + "' </dev/null").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// A hand-made dataset: header `name` with `params`, its samples in name@,
// big-endian unless the format is a native one.
void make_dataset(const TempDir &dir, const std::string &name, const std::string &params,
                  const std::vector<float> &values, const std::string &format = "xdr_float") {
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    uint32_t w;
    std::memcpy(&w, &values[i], 4);
    if (!format.starts_with("native_")) w = htonl(w);
    std::memcpy(bytes.data() + 4 * i, &w, 4);
  }
  kovtest::write_file(dir / (name + "@"), bytes);
  kovtest::write_file(dir / name, params + " data_format=\"" + format + "\" esize=4 in=\"" +
                                      (dir / (name + "@")) + "\"\n");
}

std::string line_of(const std::string &text, const std::string &key) {
  const std::size_t at = text.find("\n" + key + " ");
  if (at == std::string::npos) return "";
  const std::size_t begin = text.find_first_not_of(' ', at + 1 + key.size());
  return text.substr(begin, text.find('\n', begin) - begin);
}

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

TEST(Tools, AnUnreadableHeaderIsNamedWithTheSystemsReason) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir.H");
  for (const char *tool : {"$I", "$P", "$S"}) {
    if (std::string(tool) == "$P" && std::string(KOV_KOVPNG).empty()) continue;
    if (std::string(tool) == "$S" && std::string(KOV_KOV2SEGY).empty()) continue;
    for (const std::string args : {"nothere.H", "stdin=nothere.H", "adir.H"}) {
      EXPECT_EQ(run(dir, std::string("\"") + tool + "\" " + args + " >out 2>err"), 23) << tool;
      const std::string err = read_file(dir / "err");
      const std::string want = args == "adir.H" ? ": adir.H: Is a directory\n"
                                                : ": nothere.H: No such file or directory\n";
      EXPECT_TRUE(err.ends_with(want)) << tool << " " << args << ": " << err;
    }
  }
}

// The names in `dir` that an output `name` may have left behind.
std::vector<std::string> leftovers(const TempDir &dir, const std::string &name) {
  std::vector<std::string> found;
  for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
    const std::string n = e.path().filename().string();
    if (n == name || n.rfind("." + name + ".", 0) == 0) found.push_back(n);
  }
  return found;
}

// Bad input to a tool writing `name`: status 23, the message, no file.
void expect_refused(const TempDir &dir, const std::string &command, const std::string &name,
                    const std::string &message) {
  EXPECT_EQ(run(dir, command + " >out 2>err"), 23) << command;
  EXPECT_NE(read_file(dir / "err").find(message), std::string::npos)
      << command << ": " << read_file(dir / "err");
  EXPECT_TRUE(leftovers(dir, name).empty()) << command << ": " << leftovers(dir, name).front();
}

// Datasets no writing tool accepts, next to a good one.
void make_bad_inputs(const TempDir &dir) {
  make_dataset(dir, "good.H", "n1=4 n2=3 o2=0.25 d2=0.5", std::vector<float>(12, 1.0f));
  make_dataset(dir, "line.H", "n1=4", {1, 2, 3, 4});
  make_dataset(dir, "short.H", "n1=4 n2=3", {1, 2, 3, 4, 5, 6, 7, 8});
  make_dataset(dir, "cube.H", "n1=2 n2=2 n3=2", std::vector<float>(8, 1.0f));
}

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

// Opens the SEG-Y file with segyio as any reader would (its geometry from
// the inline and crossline fields) and compares it with the XDR samples of
// the source dataset; prints "ok" or what differs.
constexpr char kReadBack[] = R"(
import sys, numpy as np, segyio
sgy, data = sys.argv[1], sys.argv[2]
n1, n2, o1, d1, o2, d2, system = [float(a) for a in sys.argv[3:]]
n1, n2 = int(n1), int(n2)
src = np.fromfile(data, dtype='>f4').reshape(n2, n1)
with segyio.open(sgy) as f:
    assert f.bin[segyio.BinField.Format] == 5, 'format'
    assert f.bin[segyio.BinField.MeasurementSystem] == system, 'measurement system'
    assert list(f.ilines) == [1], 'inlines %s' % list(f.ilines)
    assert list(f.xlines) == list(range(1, n2 + 1)), 'crosslines'
    assert f.tracecount == n2 and len(f.samples) == n1, 'counts'
    assert np.array_equal(f.samples, o1 + np.arange(n1) * d1), 'depths %s' % f.samples[:3]
    assert np.array_equal(f.iline[1], src), 'the line'
    for i in range(n2):
        assert np.array_equal(f.trace[i], src[i]), 'trace %d' % i
        h = f.header[i]
        s = h[segyio.TraceField.SourceGroupScalar]
        x = h[segyio.TraceField.CDP_X] * (s if s > 0 else 1.0 / -s)
        assert abs(x - (o2 + d2 * i)) < 1e-9, 'x of trace %d: %g' % (i, x)
        assert h[segyio.TraceField.GroupX] == h[segyio.TraceField.SourceX] == h[segyio.TraceField.CDP_X]
print('ok')
)";

TEST(Kov2segy, SegyioOpensTheFileAndReadsBackEverySampleAndPosition) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  kovtest::write_file(dir / "check.py", kReadBack);
  ASSERT_EQ(run(dir, "\"$V\" n2=120 o1=100 o2=-150.25 d2=12.5 >v.H 2>/dev/null && \"$S\" <v.H "
                     "out=v.sgy 2>err && '" KOV_PYTHON "' check.py v.sgy v.H@ 500 120 100 10 "
                     "-150.25 12.5 1 >check.out 2>&1"),
            0)
      << read_file(dir / "err") << read_file(dir / "check.out");
  EXPECT_EQ(read_file(dir / "check.out"), "ok\n");
  EXPECT_EQ(read_file(dir / "err"), "") << "whole numbers: no warning";
  // Through a pipe, the same file.
  ASSERT_EQ(run(dir, "\"$V\" n2=120 o1=100 o2=-150.25 d2=12.5 2>/dev/null | \"$S\" out=p.sgy "
                     "2>err"),
            0)
      << read_file(dir / "err");
  const std::string a = read_file(dir / "v.sgy"), b = read_file(dir / "p.sgy");
  ASSERT_EQ(a.size(), 3600u + 120u * (240u + 2000u));
  EXPECT_EQ(a.substr(3200), b.substr(3200)) << "all but the textual header, which names the input";
  // A single trace in feet.
  ASSERT_EQ(run(dir, "\"$V\" n1=40 n2=1 o2=3 depth=50 z1=100 z2=200 >one.H 2>/dev/null && \"$S\" "
                     "one.H out=one.sgy unit=ft 2>err && '" KOV_PYTHON "' check.py one.sgy one.H@ "
                     "40 1 0 10 3 20 2 >check.out 2>&1"),
            0)
      << read_file(dir / "err") << read_file(dir / "check.out");
  EXPECT_EQ(read_file(dir / "check.out"), "ok\n");
}

// The textual header as 40 lines of 80 characters (EBCDIC in the file).
std::string textual_header(const std::string &path) {
  std::FILE *p =
      ::popen(("dd if='" + path + "' bs=3200 count=1 conv=ascii 2>/dev/null").c_str(), "r");
  std::string text(3200, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), p));
  ::pclose(p);
  return text;
}

TEST(Kov2segy, FieldsThatAreNotWholeNumbersAreReported) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  make_dataset(dir, "a.H", "n1=3 n2=2 o1=0.25 d1=0.0125", std::vector<float>(6, 1.0f));
  ASSERT_EQ(run(dir, "\"$S\" a.H out=a.sgy 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(read_file(dir / "err"),
            std::string(KOV_KOV2SEGY) +
                ": warning: d1 * dscale = 12.5 is not a whole number; the sample interval fields "
                "hold 13\n" +
                KOV_KOV2SEGY +
                ": warning: o1 * dscale / 1000 = 0.25 is not a whole number; the delay field "
                "holds 0\n");
  // Scaled so that both are whole: no warning, and the header says the scale.
  ASSERT_EQ(run(dir, "\"$S\" a.H out=b.sgy dscale=2e6 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(read_file(dir / "err"), "");
  const std::string text = textual_header(dir / "b.sgy");
  EXPECT_NE(text.find("C 4 sample interval (bytes 3217, 117) = d1 * 2e+06 = 25000"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("C 6 dscale=2e+06 "), std::string::npos) << text;
}

// Values that are not numbers are refused before anything is written; a
// position the coordinate fields cannot keep is reported as an inexact
// interval is.
TEST(Kov2segy, NonFiniteAxesAreRefusedAndInexactPositionsReported) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  const std::vector<float> six(6, 1.0f);
  for (const char *axes : {"d1=nan", "o1=nan", "o2=nan d2=nan", "d2=inf", "o2=-inf"}) {
    make_dataset(dir, "a.H", std::string("n1=3 n2=2 ") + axes, six);
    const std::string first(axes, std::strcspn(axes, " "));
    expect_refused(dir, "\"$S\" a.H out=a.sgy", "a.sgy", first + " is not a finite number");
  }
  make_dataset(dir, "a.H", "n1=3 n2=2 o2=0.12345 d2=1", six);
  ASSERT_EQ(run(dir, "\"$S\" a.H out=a.sgy 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(read_file(dir / "err"), std::string(KOV_KOV2SEGY) +
                                        ": warning: o2 = 0.12345 is not kept exactly by the "
                                        "coordinate scalar -10000; the coordinate fields hold "
                                        "0.1235\n");
  make_dataset(dir, "a.H", "n1=3 n2=2 o2=5 d2=0.00002", six);
  ASSERT_EQ(run(dir, "\"$S\" a.H out=a.sgy 2>err"), 0) << read_file(dir / "err");
  EXPECT_EQ(read_file(dir / "err"), std::string(KOV_KOV2SEGY) +
                                        ": warning: d2 = 2e-05 is not kept exactly by the "
                                        "coordinate scalar -10000; the coordinate fields hold "
                                        "0\n");
}

// A header that declares far more traces than its data hold ends at once
// with the short-data message, from a file and from a pipe, in little
// memory (the child is stopped after 20 s, which fails the test).
TEST(Kov2segy, AHugeDeclaredTraceCountOverShortDataEndsAtOnce) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  kovtest::write_file(dir / "big.H@", std::string(24000, '\0'));
  const std::string header = "n1=100 n2=2147483647 esize=4 data_format=\"xdr_float\" in=";
  kovtest::write_file(dir / "big.H", header + "\"" + (dir / "big.H@") + "\"\n");
  kovtest::write_file(dir / "pipe.H", header + "\"stdin\"\n\f\f\x04" + std::string(24000, '\0'));
  for (const char *command : {"timeout -s KILL 20 \"$S\" big.H out=s.sgy",
                              "cat pipe.H | timeout -s KILL 20 \"$S\" out=s.sgy"}) {
    EXPECT_EQ(run(dir, std::string("set -o pipefail; ") + command + " >out 2>err"), 23) << command;
    EXPECT_NE(read_file(dir / "err")
                  .find("the data are short: the header declares 858993458800 "
                        "bytes, only 24000 are there"),
              std::string::npos)
        << command << ": " << read_file(dir / "err");
    EXPECT_TRUE(leftovers(dir, "s.sgy").empty()) << command;
  }
  struct rusage usage {};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "kB at the peak of a child";
}

TEST(Tools, OutputThroughASymbolicLinkReachesItsTarget) {
  TempDir dir;
  make_bad_inputs(dir);
  std::filesystem::create_directory(dir / "d");
  std::vector<std::pair<std::string, std::string>> tools = {};
  if (!std::string(KOV_KOV2SEGY).empty()) tools.emplace_back("$S", "sgy");
  if (!std::string(KOV_KOVPNG).empty()) tools.emplace_back("$P", "png");
  for (const auto &[tool, ext] : tools) {
    // A link to an existing file, a relative link from another directory,
    // and a link whose target does not exist yet.
    const std::string real = "real." + ext, fresh = "fresh." + ext;
    kovtest::write_file(dir / real, "old");
    std::filesystem::create_symlink(real, dir / ("l." + ext));
    std::filesystem::create_symlink("../" + real, dir / ("d/l." + ext));
    std::filesystem::create_symlink("d/" + fresh, dir / ("n." + ext));
    for (const std::string &link : {"l." + ext, "d/l." + ext, "n." + ext}) {
      ASSERT_EQ(run(dir, "\"" + tool + "\" good.H out=" + link + " 2>err"), 0)
          << link << ": " << read_file(dir / "err");
      EXPECT_TRUE(std::filesystem::is_symlink(dir / link)) << link;
    }
    EXPECT_GT(std::filesystem::file_size(dir / real), 100u) << real;
    EXPECT_EQ(read_file(dir / real), read_file(dir / ("d/" + fresh)));
    EXPECT_EQ(leftovers(dir, real), std::vector<std::string>{real});
  }
}

TEST(Tools, AStoppedRunLeavesNoTemporaryFile) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  // kov2segy has made its temporary file and waits for the rest of the
  // data from a FIFO when it is stopped.  (With job control, so that the
  // background job does not ignore SIGINT.)
  TempDir dir;
  for (const std::string signal : {"INT", "TERM", "HUP"}) {
    EXPECT_EQ(run(dir, "set -m; rm -f f; mkfifo f\n"
                       "echo \"n1=500 n2=50 data_format=xdr_float esize=4 in=$PWD/f\" >h.H\n"
                       "\"$S\" h.H out=s.sgy 2>err & pid=$!\n"
                       "exec 3>f\n"
                       "head -c 30000 /dev/zero >&3\n"
                       "for i in $(seq 1000); do ls -A | grep -q '^\\.s\\.sgy\\.' && break; "
                       "sleep 0.01; done\n"
                       "ls -A | grep -q '^\\.s\\.sgy\\.' || exit 3\n"
                       "kill -" +
                           signal +
                           " $pid; wait $pid; status=$?; exec 3>&-\n"
                           "exit $status"),
              128 + (signal == "INT"    ? 2
                     : signal == "TERM" ? 15
                                        : 1))
        << signal << ": " << read_file(dir / "err");
    EXPECT_TRUE(leftovers(dir, "s.sgy").empty())
        << signal << ": " << leftovers(dir, "s.sgy").front();
  }
}

TEST(Kov2segy, BadInputLeavesNoFile) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  make_bad_inputs(dir);
  expect_refused(dir, "\"$S\" cube.H out=s.sgy", "s.sgy",
                 "needs a two-dimensional dataset; this one has n3=2");
  expect_refused(dir, "\"$S\" good.H out=s.sgy unit=yards", "s.sgy",
                 "unit=yards: give m (metres) or ft (feet)");
  expect_refused(dir, "\"$S\" short.H out=s.sgy", "s.sgy", "the data are short");
  expect_refused(dir, "\"$S\" good.H out=no/s.sgy", "s.sgy", "cannot create no/s.sgy");
  expect_refused(dir, "\"$S\" good.H out=/dev/full", "s.sgy",
                 "cannot write /dev/full: No space left on device");
  expect_refused(dir, "\"$S\" good.H out=s.sgy dscale=1e6", "s.sgy",
                 "d1 * dscale = 1e+06 does not fit the SEG-Y sample interval");
}

} // namespace
