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

// A hand-made dataset: header `name` with `params`, its samples as XDR
// floats in name@.
void make_dataset(const TempDir &dir, const std::string &name, const std::string &params,
                  const std::vector<float> &values) {
  std::string bytes(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    uint32_t w;
    std::memcpy(&w, &values[i], 4);
    w = htonl(w);
    std::memcpy(bytes.data() + 4 * i, &w, 4);
  }
  kovtest::write_file(dir / (name + "@"), bytes);
  kovtest::write_file(dir / name, params + " data_format=\"xdr_float\" esize=4 in=\"" +
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

TEST(Kovinfo, StatisticsOverSeveralBlocks) {
  // 3 x 200000 samples (2.4 MB, more than one read block): the extremes lie
  // in the second and the last block; non-finite samples are counted apart.
  TempDir dir;
  std::vector<float> v(600000, 1.0f);
  v[300002] = 9.0f;  // (3, 100001)
  v[599999] = -3.0f; // (3, 200000)
  v[5] = std::nanf("");
  make_dataset(dir, "a.H", "n1=3 n2=200000 o2=100 d2=0.5 label2=x", v);
  ASSERT_EQ(run(dir, "\"$I\" a.H >out.txt 2>err"), 0) << read_file(dir / "err");
  const std::string t = read_file(dir / "out.txt");
  EXPECT_EQ(line_of(t, "max"), "9 at sample (3, 100001): axis1=2, x=50100") << t;
  EXPECT_EQ(line_of(t, "min"), "-3 at sample (3, 200000): axis1=2, x=100099.5");
  EXPECT_EQ(line_of(t, "non-finite"), "1 samples (left out below)");
  const double n = 599999.0, sum = 599997.0 + 9.0 - 3.0, sumsq = 599997.0 + 81.0 + 9.0;
  EXPECT_NEAR(std::stod(line_of(t, "mean")), sum / n, 1e-8);
  EXPECT_NEAR(std::stod(line_of(t, "rms")), std::sqrt(sumsq / n), 1e-8);
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

// Reads the SEG-Y file back with segyio and compares it with the XDR
// samples of the source dataset; prints "ok" or what differs.
constexpr char kReadBack[] = R"(
import sys, numpy as np, segyio
sgy, data, n1, n2, o2, d2 = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]), float(sys.argv[6])
src = np.fromfile(data, dtype='>f4').reshape(n2, n1)
with segyio.open(sgy, ignore_geometry=True) as f:
    assert f.bin[segyio.BinField.Format] == 5, 'format'
    assert f.tracecount == n2 and len(f.samples) == n1, 'counts'
    assert f.bin[segyio.BinField.Interval] == 10000, 'interval'
    assert np.array_equal(f.samples, np.arange(n1) * 10.0), 'depths'
    assert 'd1 * 1000' in bytes(f.text[0]).decode('ascii'), 'textual header'
    for i in range(n2):
        assert np.array_equal(f.trace[i], src[i]), 'trace %d' % i
        h = f.header[i]
        s = h[segyio.TraceField.SourceGroupScalar]
        x = h[segyio.TraceField.CDP_X] * (s if s > 0 else 1.0 / -s)
        assert abs(x - (o2 + d2 * i)) < 1e-9, 'x of trace %d: %g' % (i, x)
        assert h[segyio.TraceField.GroupX] == h[segyio.TraceField.SourceX] == h[segyio.TraceField.CDP_X]
        assert h[segyio.TraceField.TRACE_SAMPLE_COUNT] == n1
print('ok')
)";

TEST(Kov2segy, SegyioReadsBackEverySampleAndPosition) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  kovtest::write_file(dir / "check.py", kReadBack);
  ASSERT_EQ(run(dir, "\"$V\" n2=120 o2=-150.25 d2=12.5 >v.H 2>/dev/null && \"$S\" <v.H "
                     "out=v.sgy 2>err && '" KOV_PYTHON "' check.py v.sgy v.H@ 500 120 -150.25 "
                     "12.5 >check.out 2>&1"),
            0)
      << read_file(dir / "err") << read_file(dir / "check.out");
  EXPECT_EQ(read_file(dir / "check.out"), "ok\n");
  // Through a pipe, the same file.
  ASSERT_EQ(run(dir, "\"$V\" n2=120 o2=-150.25 d2=12.5 2>/dev/null | \"$S\" out=p.sgy 2>err"), 0)
      << read_file(dir / "err");
  const std::string a = read_file(dir / "v.sgy"), b = read_file(dir / "p.sgy");
  ASSERT_EQ(a.size(), 3600u + 120u * (240u + 2000u));
  EXPECT_EQ(a.substr(3200), b.substr(3200)) << "all but the textual header, which names the input";
}

TEST(Kov2segy, BadInputLeavesNoFile) {
  if (std::string(KOV_KOV2SEGY).empty()) GTEST_SKIP() << "kov2segy not built";
  TempDir dir;
  make_bad_inputs(dir);
  expect_refused(dir, "\"$S\" line.H out=s.sgy", "s.sgy", "needs a two-dimensional dataset");
  expect_refused(dir, "\"$S\" short.H out=s.sgy", "s.sgy", "the data are short");
  expect_refused(dir, "\"$S\" good.H out=no/s.sgy", "s.sgy", "cannot create no/s.sgy");
  expect_refused(dir, "\"$S\" good.H out=/dev/full", "s.sgy", "cannot write /dev/full");
  expect_refused(dir, "\"$S\" good.H out=s.sgy dscale=1e6", "s.sgy",
                 "d1 * dscale = 1e+06 does not fit the SEG-Y sample interval");
}

} // namespace
