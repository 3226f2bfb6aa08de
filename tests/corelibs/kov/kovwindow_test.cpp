// SPDX-License-Identifier: Apache-2.0
// Windowed transfer of hypercubes: the plan (seeks and transfers a window
// costs), the values moved, the failures, cubes past 4 GiB, slices and
// snapshots, and the foreign-caller forms.
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::read_file;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

using kovtest::InDir;

// What a record asks of its back end: "s<position>" for a run of seeks
// (where the run landed), "r<bytes>" and "w<bytes>" for transfers.
std::vector<std::string> ops;
kov_read_fn real_read = nullptr;
kov_write_fn real_write = nullptr;
kov_seek_fn real_seek = nullptr;
bool seek_fails = false, write_short = false;

void note(char kind, long long value) {
  std::string op = kind + std::to_string(value);
  if (kind == 's' && !ops.empty() && ops.back()[0] == 's')
    ops.back() = op;
  else
    ops.push_back(op);
}

long logged_read(streaminf *r, void *io, char *buf, long n) {
  note('r', n);
  return real_read(r, io, buf, n);
}

long logged_write(streaminf *r, void *io, const char *buf, long n) {
  note('w', n);
  return write_short ? n - 1 : real_write(r, io, buf, n);
}

kov_off_t logged_seek(streaminf *r, void *io, kov_off_t offset, int whence) {
  if (seek_fails) return -1;
  const kov_off_t at = real_seek(r, io, offset, whence);
  note('s', at);
  return at;
}

std::string plan() {
  std::string all;
  for (const std::string &op : ops) all += (all.empty() ? "" : " ") + op;
  return all;
}

// Wrap the back end of a tag (opening its data); forget what went before.
void watch(const char *tag) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  ASSERT_NE(r, nullptr);
  if (r->ioinf == nullptr) r->open_func(r, &r->ioinf);
  ASSERT_NE(r->ioinf, nullptr);
  if (r->read_func != logged_read) {
    real_read = std::exchange(r->read_func, logged_read);
    real_write = std::exchange(r->write_func, logged_write);
    real_seek = std::exchange(r->seek_func, logged_seek);
  }
  ops.clear();
}

// An existing dataset `tag` of raw bytes: header dir/<tag>.H (or dir/<header>),
// data dir/<tag>.dat.
void make_cube(const TempDir &dir, const std::string &tag, const std::string &bytes,
               std::string header = "") {
  if (header.empty()) header = tag + ".H";
  write_file(dir / (tag + ".dat"), bytes);
  write_file(dir / header, "in=" + (dir / (tag + ".dat")) + " data_format=native_byte\n");
}

std::string float_cube(int n) {
  std::vector<float> v(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(i);
  return std::string(reinterpret_cast<const char *>(v.data()), v.size() * 4);
}

struct Window {
  std::vector<int> ng, nw, fw, jw;
  int ndim() const { return static_cast<int>(ng.size()); }
};

// Through the entry point of each mode.
int window(int mode, const char *tag, const Window &w, int esize, void *values) {
  const int n = w.ndim();
  const int *a[] = {w.ng.data(), w.nw.data(), w.fw.data(), w.jw.data()};
  if (mode > 0) return srite_window(tag, &n, a[0], a[1], a[2], a[3], esize, values);
  if (mode < 0) return sreed_window(tag, &n, a[0], a[1], a[2], a[3], esize, values);
  return kov_window(0, tag, &n, a[0], a[1], a[2], a[3], esize, values);
}

// The bytes of the window samples of `cube`, gathered one sample at a time.
std::string gather(const std::string &cube, const Window &w, int esize) {
  std::vector<int> c(w.ng.size(), 0);
  std::string out;
  for (bool more = true; more;) {
    std::size_t offset = 0, stride = static_cast<std::size_t>(esize);
    for (std::size_t d = 0; d < c.size(); ++d) {
      offset += static_cast<std::size_t>(w.fw[d] + c[d] * w.jw[d]) * stride;
      stride *= static_cast<std::size_t>(w.ng[d]);
    }
    out.append(cube, offset, static_cast<std::size_t>(esize));
    more = false;
    for (std::size_t d = 0; d < c.size() && !more; ++d) {
      if (++c[d] < w.nw[d])
        more = true;
      else
        c[d] = 0;
    }
  }
  return out;
}

// ---- Plans ---------------------------------------------------------------------

struct PlanCase {
  const char *what;
  int mode;
  Window w;
  const char *expect;
};

TEST(WindowPlan, SeeksAndTransfersOfEachForm) {
  const PlanCase cases[] = {
      {"whole cube", -1, {{100, 50}, {100, 50}, {0, 0}, {1, 1}}, "s0 r20000"},
      {"whole cube written", 1, {{100, 50}, {100, 50}, {0, 0}, {1, 1}}, "s0 w20000"},
      {"contiguous run beyond the buffer",
       -1,
       {{100, 50}, {100, 10}, {0, 5}, {1, 1}},
       "s2000 r4000"},
      {"the same written", 1, {{100, 50}, {100, 10}, {0, 5}, {1, 1}}, "s2000 w4000"},
      {"strided axis read through the buffer", -1, {{10}, {5}, {0}, {2}}, "s0 r40"},
      {"the same written", 1, {{10}, {5}, {0}, {2}}, "s0 w4 s8 w4 s16 w4 s24 w4 s32 w4"},
      {"contiguous run inside the buffer", -1, {{10, 20}, {10, 4}, {0, 3}, {1, 1}}, "s0 r800"},
      {"buffer ends where the next axis would not fit",
       -1,
       {{10, 20, 300}, {5, 20, 2}, {1, 0, 3}, {2, 1, 4}},
       "s2400 r800 s5600 r800"},
      {"seek form with an outer axis",
       -1,
       {{100, 50, 3}, {100, 10, 2}, {0, 5, 1}, {1, 1, 1}},
       "s22000 r4000 s42000 r4000"},
      {"strided outer axis written",
       1,
       {{10, 20}, {10, 3}, {0, 2}, {1, 5}},
       "s80 w40 s280 w40 s480 w40"},
      {"a full axis that does not fit ends the buffer",
       -1,
       {{10, 2000, 6}, {5, 2000, 6}, {0, 0, 0}, {2, 1, 1}},
       "s0 r80000 s80000 r80000 s160000 r80000 s240000 r80000 s320000 r80000 s400000 r80000"},
      {"a buffer of exactly 100000 bytes", -1, {{25000}, {2}, {0}, {2}}, "s0 r100000"},
      {"four bytes more do not fit", -1, {{25001}, {2}, {0}, {2}}, "s0 r4 s8 r4"},
      {"a contiguous run at the limit is buffered", -1, {{12500}, {2}, {5}, {1}}, "s0 r50000"},
      {"single trace beyond the last relevant axis",
       -1,
       {{10, 20}, {10, 1}, {0, 7}, {1, 1}},
       "s280 r40"},
  };
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "cube=" + (dir / "cube.H")});
  const std::string original = float_cube(10 * 2000 * 6);
  make_cube(dir, "cube", original);
  auxinout("cube");
  for (const PlanCase &c : cases) {
    std::string values = gather(original, c.w, 4);
    watch("cube");
    if (c.mode < 0) values.assign(values.size(), '\0');
    ASSERT_EQ(window(c.mode, "cube", c.w, 4, values.data()), 0) << c.what;
    EXPECT_EQ(plan(), c.expect) << c.what;
    EXPECT_EQ(values, gather(original, c.w, 4)) << c.what;
  }
}

TEST(WindowPlan, PositionsOfModeZero) {
  // Nothing is transferred; the tag is not even looked at.
  int pos[4] = {};
  EXPECT_EQ(window(0, nullptr, {{3, 2}, {2, 2}, {1, 0}, {1, 1}}, 4, pos), 0);
  EXPECT_EQ(std::vector<int>(pos, pos + 4), (std::vector<int>{2, 3, 5, 6}));

  // Wider elements: each position at the start of its element, the other
  // bytes left alone.
  std::vector<unsigned char> wide(3 * 12, 0xab);
  EXPECT_EQ(window(0, nullptr, {{10}, {3}, {3}, {3}}, 12, wide.data()), 0);
  for (int k = 0; k < 3; ++k) {
    std::int32_t v;
    std::memcpy(&v, wide.data() + 12 * k, 4);
    EXPECT_EQ(v, 4 + 3 * k);
    for (int b = 4; b < 12; ++b) EXPECT_EQ(wide[static_cast<std::size_t>(12 * k + b)], 0xab);
  }
  EXPECT_EQ(tag_exists("cube"), 0);
}

TEST(WindowPlan, InvalidWindowsAndOversizedCubes) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "cube=" + (dir / "cube.H")});
  make_cube(dir, "cube", float_cube(10));
  auxin("cube");
  watch("cube");
  int values[10] = {};
  const struct {
    Window w;
    int esize;
    const char *message;
  } cases[] = {
      {{{10}, {5}, {0}, {0}}, 4, "Invalid window parameters (cube) iax=1 ng=10 nw=5 fw=0 jw=0 \n"},
      {{{4, 10}, {4, 4}, {0, 1}, {1, 3}},
       4,
       "Invalid window parameters (cube) iax=2 ng=10 nw=4 fw=1 jw=3 \n"},
      {{{10}, {2}, {-1}, {1}},
       4,
       "Invalid window parameters (cube) iax=1 ng=10 nw=2 fw=-1 jw=1 \n"},
      {{{65536, 65536}, {2, 1}, {0, 0}, {2, 1}},
       4,
       "THE NUMBER OF ELEMENTS IS TO BIG TO BE HANDLED \n"},
  };
  for (const auto &c : cases) {
    for (int mode : {-1, 0, 1}) {
      CaptureStdout();
      CaptureStderr();
      EXPECT_EQ(window(mode, "cube", c.w, c.esize, values), -2) << c.message;
      EXPECT_EQ(GetCapturedStderr(), c.message);
      EXPECT_EQ(GetCapturedStdout(), c.message);
    }
  }
  // Mode 0 stores 4-byte positions, so narrower elements are refused.
  CaptureStdout();
  EXPECT_EQ(window(0, "cube", {{10}, {5}, {0}, {1}}, 2, values), -2);
  EXPECT_NE(GetCapturedStdout(), "");
  EXPECT_EQ(plan(), "") << "nothing is transferred";
}

// ---- Failures --------------------------------------------------------------------

TEST(WindowFailure, SeekAndTransferErrorsWarnAndReturn) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "cube=" + (dir / "cube.H"), "tiny=" + (dir / "tiny.H"),
            "nodata=" + (dir / "nodata.H"), "wide=" + (dir / "wide.H")});
  make_cube(dir, "cube", float_cube(750)); // 3000 bytes
  make_cube(dir, "tiny", float_cube(5));
  write_file(dir / "nodata.H", "n1=10\n");
  auxinout("cube");
  std::vector<float> values(5000);
  const Window run{{100, 50}, {100, 10}, {0, 5}, {1, 1}};

  watch("cube");
  seek_fails = true;
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(window(-1, "cube", run, 4, values.data()), -1);
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("kovwindow, SEEK ERROR: big_block=20000 cur="), std::string::npos) << err;
  EXPECT_NE(err.find("trouble seeking(2) 5 blocks of size 400 in tag cube\n"), std::string::npos);
  EXPECT_NE(GetCapturedStdout().find("trouble seeking(2) 5 blocks of size 400 in tag cube\n"),
            std::string::npos);
  seek_fails = false;

  watch("cube");
  CaptureStdout();
  EXPECT_EQ(window(-1, "cube", run, 4, values.data()), -1) << "only 1000 of 4000 bytes";
  EXPECT_EQ(GetCapturedStdout(), "sreed error from tag cube \n");

  watch("cube");
  write_short = true;
  CaptureStdout();
  EXPECT_EQ(window(1, "cube", {{10}, {5}, {0}, {2}}, 4, values.data()), -1);
  EXPECT_EQ(GetCapturedStdout(), "srite error to tag cube \n");
  EXPECT_EQ(plan(), "s0 w4") << "the first short write ends the call";
  write_short = false;

  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(window(-1, "tiny", {{10}, {5}, {0}, {2}}, 4, values.data()), -1);
  EXPECT_EQ(GetCapturedStderr(), "mode=-1 i 0, nloop=1  nloop_buf=5 \npos 0 of elem 1  beg=0\n"
                                 "seeking 0 of size 40 \nreading 40 got=20 \n"
                                 "sreed  buffer error for tag tiny \n");
  EXPECT_EQ(GetCapturedStdout(), "sreed  buffer error for tag tiny \n");
  // Short data that hold every sample the window takes are enough.
  CaptureStderr();
  EXPECT_EQ(window(-1, "tiny", {{10}, {3}, {0}, {2}}, 4, values.data()), 0);
  EXPECT_EQ(GetCapturedStderr(), "");

  CaptureStdout();
  EXPECT_EQ(window(-1, "nodata", {{10}, {5}, {0}, {2}}, 4, values.data()), -1);
  EXPECT_EQ(GetCapturedStdout(), "sreed error from tag nodata \n");

  // The second trace lies 2^31+4 two-byte units in, and one of them is
  // 2 (2^31 - 1) bytes: more than a block seek can count.
  make_cube(dir, "wide", std::string(64, 'x'));
  std::vector<char> bytes(40);
  auxin("wide");
  watch("wide");
  CaptureStdout();
  EXPECT_EQ(window(-1, "wide", {{INT_MAX, 2}, {10, 2}, {5, 0}, {1, 1}}, 2, bytes.data()), -1);
  EXPECT_EQ(GetCapturedStdout(), "can not handle seek, blocks are to large \n");
  EXPECT_EQ(plan(), "s10 r20");
}

// A pipe cannot skip ahead while writing: the window warns and returns.
TEST(WindowFailure, StridedWriteOntoAPipeWarnsAndReturns) {
  TempDir dir;
  const auto o = kovtest::run_child([&] {
    set_args({"prog", "head=| cat > " + (dir / "sink"), "isoutstream=y", "noheader=y",
              "data_format=native_byte"});
    const int ndim = 1, n = 10, nw = 5, fw = 0, jw = 2;
    const int status = srite_window("out", &ndim, &n, &nw, &fw, &jw, 1, "ABCDE");
    ::pclose(tag_info("out", TAG_INQUIRE)->headfile); // wait for the reader
    std::exit(status == -1 ? 0 : 4);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("trouble seeking(2) 2 blocks of size 1 in tag out\n"), std::string::npos)
      << o.err;
  const std::string sink = read_file(dir / "sink");
  const auto end = sink.find('\004');
  EXPECT_TRUE(end == std::string::npos || end + 1 == sink.size()) << "not a byte of the window";

  // One run from the current position is what a pipe can take.
  const auto run = kovtest::run_child([&] {
    set_args({"prog", "head=| cat > " + (dir / "sink2"), "isoutstream=y", "noheader=y",
              "data_format=native_byte"});
    const int ndim = 2, n[] = {4, 3}, nw[] = {4, 2}, fw[] = {0, 0}, jw[] = {1, 1};
    const int status = srite_window("out", &ndim, n, nw, fw, jw, 1, "abcdefgh");
    ::pclose(tag_info("out", TAG_INQUIRE)->headfile);
    std::exit(status == 0 ? 0 : 4);
  });
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(read_file(dir / "sink2").ends_with("\004abcdefgh"));
}

// ---- Values ---------------------------------------------------------------------

// Random cubes of up to five axes and random windows: reading returns the
// window's samples, writing changes them and nothing else.
TEST(WindowProperty, RandomWindowsMoveExactlyTheirSamples) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog"});
  std::mt19937 rng(20240611);
  const auto uniform = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
  };
  const int sizes[] = {1, 2, 4, 8, 12};
  for (int t = 0; t < 300; ++t) {
    const int esize = sizes[uniform(0, 4)];
    const int ndim = uniform(1, 5);
    const long budget = uniform(0, 2) == 0 ? 300000 : 20000; // sometimes past the buffer
    Window w;
    long samples = 1;
    for (int d = 0; d < ndim; ++d) {
      const long room = std::max<long>(1, budget / esize / samples);
      const int ng = uniform(1, static_cast<int>(std::min<long>(room, d == 0 ? 400 : 40)));
      samples *= ng;
      int fw = 0, nw = ng, jw = 1;
      switch (uniform(0, 3)) {
      case 0: // full axis
        break;
      case 1: // one sample
        fw = uniform(0, ng - 1);
        nw = 1;
        break;
      default:
        jw = uniform(1, 3);
        fw = uniform(0, ng - 1);
        nw = uniform(1, (ng - 1 - fw) / jw + 1);
      }
      w.ng.push_back(ng);
      w.nw.push_back(nw);
      w.fw.push_back(fw);
      w.jw.push_back(jw);
    }
    std::string cube(static_cast<std::size_t>(samples * esize), '\0');
    for (char &c : cube) c = static_cast<char>(uniform(0, 255));
    const std::string tag = "c" + std::to_string(t);
    make_cube(dir, tag, cube, tag);
    ASSERT_NE(auxinout(tag.c_str()), nullptr);
    std::string expect = gather(cube, w, esize);
    SCOPED_TRACE(tag);

    std::string got(expect.size(), '\0');
    ASSERT_EQ(window(-1, tag.c_str(), w, esize, got.data()), 0);
    EXPECT_EQ(got, expect);

    if (esize >= 4) {
      std::vector<char> positions(expect.size());
      ASSERT_EQ(window(0, nullptr, w, esize, positions.data()), 0);
      std::string picked;
      for (std::size_t k = 0; k < positions.size(); k += static_cast<std::size_t>(esize)) {
        std::int32_t p;
        std::memcpy(&p, positions.data() + k, 4);
        picked.append(cube, static_cast<std::size_t>(p - 1) * static_cast<std::size_t>(esize),
                      static_cast<std::size_t>(esize));
      }
      EXPECT_EQ(picked, expect) << "mode 0 positions";
    }

    std::string fresh(expect.size(), '\0');
    for (char &c : fresh) c = static_cast<char>(uniform(0, 255));
    ASSERT_EQ(window(1, tag.c_str(), w, esize, fresh.data()), 0);
    std::string after(cube.size(), '\0');
    sseek_l_l(tag.c_str(), 0, 0);
    ASSERT_EQ(sreed(tag.c_str(), after.data(), static_cast<int>(after.size())),
              static_cast<int>(after.size()));
    EXPECT_EQ(gather(after, w, esize), fresh);
    // Outside the window: put the old samples back and compare everything.
    ASSERT_EQ(window(1, tag.c_str(), w, esize, expect.data()), 0);
    sseek_l_l(tag.c_str(), 0, 0);
    sreed(tag.c_str(), after.data(), static_cast<int>(after.size()));
    EXPECT_EQ(after, cube);
    auxclose(tag.c_str());
  }
}

// A sparse cube of 4200 traces of 1 MiB: windows past the 4 GiB mark, read
// and written, as bytes (seek counts beyond 31 bits) and as floats (block
// seeks in four-byte units).
TEST(WindowProperty, CubePastFourGigabytes) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "big=" + (dir / "big.H")});
  constexpr long kTrace = 1L << 20;
  constexpr int kTraces = 4200;
  const std::string data = dir / "big.dat";
  write_file(dir / "big.H", "in=" + data + " data_format=native_byte\n");
  {
    const int fd = ::open(data.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kTrace * kTraces), 0);
    for (int t = 4090; t < kTraces; ++t) {
      char mark[16];
      for (int j = 0; j < 16; ++j) mark[j] = static_cast<char>(t * 7 + j);
      ASSERT_EQ(::pwrite(fd, mark, 16, kTrace * t), 16);
    }
    ::close(fd);
  }
  const auto mark = [](int t, int j) { return static_cast<char>(t * 7 + j); };
  const auto at = [&](long trace, long byte) {
    return "s" + std::to_string(trace * kTrace + byte);
  };
  ASSERT_NE(auxinout("big"), nullptr);

  watch("big");
  std::string bytes(24, '\0');
  ASSERT_EQ(window(-1, "big", {{1 << 20, kTraces}, {8, 3}, {3, 4097}, {1, 50}}, 1, bytes.data()),
            0);
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 8; ++j)
      EXPECT_EQ(bytes[static_cast<std::size_t>(8 * k + j)], mark(4097 + 50 * k, 3 + j));
  EXPECT_EQ(plan(), at(4097, 3) + " r8 " + at(4147, 3) + " r8 " + at(4197, 3) + " r8");

  watch("big");
  std::vector<float> floats(4);
  ASSERT_EQ(window(-1, "big", {{1 << 18, kTraces}, {2, 2}, {1, 4100}, {2, 1}}, 4, floats.data()),
            0);
  const char *raw = reinterpret_cast<const char *>(floats.data());
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(raw[4 * k + j], mark(4100 + k / 2, 4 + 8 * (k % 2) + j));
  EXPECT_EQ(plan(), at(4100, 4) + " r4 " + at(4100, 12) + " r4 " + at(4101, 4) + " r4 " +
                        at(4101, 12) + " r4");

  // Two-byte samples, the data left at an odd byte by the caller.
  sseek_l_l("big", 1, 0);
  watch("big");
  ASSERT_EQ(window(-1, "big", {{1 << 19, kTraces}, {4, 1}, {2, 4098}, {1, 1}}, 2, bytes.data()), 0);
  for (int j = 0; j < 8; ++j) EXPECT_EQ(bytes[static_cast<std::size_t>(j)], mark(4098, 4 + j));
  EXPECT_EQ(plan(), at(4098, 4) + " r8");

  watch("big");
  std::string fresh = "WXYZwxyz";
  ASSERT_EQ(window(1, "big", {{1 << 20, kTraces}, {4, 2}, {0, 4150}, {1, 20}}, 1, fresh.data()), 0);
  EXPECT_EQ(plan(), at(4150, 0) + " w4 " + at(4170, 0) + " w4");
  auxclose("big");
  const int fd = ::open(data.c_str(), O_RDONLY);
  char back[6];
  ASSERT_EQ(::pread(fd, back, 6, kTrace * 4150), 6);
  EXPECT_EQ(std::string(back, 6), std::string("WXYZ") + mark(4150, 4) + mark(4150, 5));
  ASSERT_EQ(::pread(fd, back, 4, kTrace * 4170), 4);
  EXPECT_EQ(std::string(back, 4), "wxyz");
  ::close(fd);
}

TEST(WindowProperty, HelixIndexAndCoordinates) {
  const int n[3] = {3, 4, 5};
  for (int h = 0; h < 60; ++h) {
    int c[3];
    h2c(h, n, 3, c);
    EXPECT_EQ(c[0] + 3 * (c[1] + 4 * c[2]), h);
    EXPECT_TRUE(c[0] < 3 && c[1] < 4 && c[2] < 5);
    int back = -1;
    c2h(&back, n, 3, c);
    EXPECT_EQ(back, h);
  }
}

// ---- Slices and snapshots -------------------------------------------------------

float xdr_value(const std::string &bytes, std::size_t i) {
  uint32_t w;
  std::memcpy(&w, bytes.data() + 4 * i, 4);
  w = ntohl(w);
  float f;
  std::memcpy(&f, &w, 4);
  return f;
}

TEST(Slice, VectorsAndPlanesGrowTheCube) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "movie=" + (dir / "m.H"), "frames=" + (dir / "f.H"), "old=" + (dir / "o.H"),
            "datapath=" + (dir / "")});
  std::vector<float> v(200);
  for (int i = 0; i < 200; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(i);
  EXPECT_EQ(slice("movie", 4, 1, 200, v.data()), 0);
  v[0] = -1;
  EXPECT_EQ(slice("movie", 4, 1, 200, v.data()), 0);
  EXPECT_EQ(slice("frames", 4, 3, 2, v.data()), 0);
  EXPECT_EQ(slice("frames", 4, 3, 2, v.data() + 6), 0);
  EXPECT_EQ(slice("frames", 4, 3, 2, v.data() + 12), 0);
  auxclose("movie");
  auxclose("frames");

  const std::string movie = read_file(dir / "m.H");
  for (const char *line : {"\t\tn1=200\n", "\t\tesize=4\n", "\t\tn3=1\n", "putlast: n2=2\n"})
    EXPECT_NE(movie.find(line), std::string::npos) << line << movie;
  EXPECT_EQ(movie.find("putlast: n2=1\n"), std::string::npos) << "the count is replaced";
  const std::string mdata = read_file(dir / "m.H@");
  ASSERT_EQ(mdata.size(), 1600u);
  EXPECT_EQ(xdr_value(mdata, 0), 0.0f);
  EXPECT_EQ(xdr_value(mdata, 200), -1.0f);
  EXPECT_EQ(xdr_value(mdata, 399), 199.0f);

  const std::string frames = read_file(dir / "f.H");
  for (const char *line : {"\t\tn1=3\n", "\t\tn2=2\n", "putlast: n3=3\n"})
    EXPECT_NE(frames.find(line), std::string::npos) << line << frames;
  const std::string fdata = read_file(dir / "f.H@");
  ASSERT_EQ(fdata.size(), 72u);
  EXPECT_EQ(xdr_value(fdata, 17), 17.0f);

  // An existing cube grows from the counts of its header.
  write_file(dir / "o.dat", std::string(24, 'a'));
  write_file(dir / "o.H",
             "n1=2 n2=3 n3=1 esize=1 in=" + (dir / "o.dat") + " data_format=native_byte\n");
  EXPECT_EQ(slice("old", 1, 2, 3, "bcdefg"), 0);
  EXPECT_EQ(slice("old", 1, 2, 3, "hijklm"), 0);
  auxclose("old");
  EXPECT_EQ(read_file(dir / "o.dat"), std::string(24, 'a') + "bcdefghijklm");
  EXPECT_NE(read_file(dir / "o.H").find("putlast: n3=3\n"), std::string::npos);
}

TEST(SliceDeathTest, MismatchesAndMissingCounts) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "movie=" + (dir / "m.H"), "old=" + (dir / "o.H"), "datapath=" + (dir / "")});
  write_file(dir / "o.H", "n2=3 n3=1 esize=4 in=" + (dir / "o.dat") + "\n");
  const float f[12] = {};
  EXPECT_EXIT(slice("old", 4, 2, 3, f), fatal_exit(),
              "slice\\(\\): n1 required in existing header for tag \"old\"\n");
  slice("movie", 4, 2, 3, f);
  EXPECT_EXIT(slice("movie", 4, 3, 3, f), fatal_exit(),
              "slice\\(\\): n1=3 doesn't match earlier n1=2 for tag \"movie\"\n");
  EXPECT_EXIT(slice("movie", 8, 2, 3, f), fatal_exit(),
              "slice\\(\\): esize=8 doesn't match earlier esize=4, tag \"movie\"\n");
  EXPECT_EXIT(slice("movie", 4, 2, 4, f), fatal_exit(),
              "slice\\(\\): n2=4 doesn't match earlier n2=3 for tag \"movie\"\n");
}

TEST(Snap, OnlyWhenTheSnapshotFileExists) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "shot=" + (dir / "s.H"), "datapath=" + (dir / "")});
  const float f[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(snap("shot", 3, 2, f), 0);
  EXPECT_EQ(tag_exists("shot"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "s.H"));

  write_file(dir / "s.H", "");
  EXPECT_EQ(snap("shot", 3, 2, f), 0);
  auxclose("shot");
  EXPECT_NE(read_file(dir / "s.H").find("putlast: n3=1\n"), std::string::npos);
  EXPECT_EQ(read_file(dir / "s.H@").size(), 24u);
}

// ---- Foreign callers --------------------------------------------------------------

TEST(WindowFortran, BlankPaddedTagsAndArgumentsByReference) {
  TempDir dir;
  InDir here(dir);
  set_args(
      {"prog", "cube=" + (dir / "cube.H"), "movie=" + (dir / "m.H"), "datapath=" + (dir / "")});
  make_cube(dir, "cube", float_cube(10));
  auxinout("cube");
  const int ndim = 1, ng = 10, nw = 5, fw = 0, jw = 2, esize = 4;
  float got[5] = {};
  EXPECT_EQ(sreed_window_("cube    ", &ndim, &ng, &nw, &fw, &jw, &esize, got, 8), 0);
  EXPECT_EQ(got[4], 8.0f);
  const float put[5] = {-1, -2, -3, -4, -5};
  EXPECT_EQ(srite_window__("cube  ", &ndim, &ng, &nw, &fw, &jw, &esize, put, 6), 0);
  EXPECT_EQ(sreed_window__("cube", &ndim, &ng, &nw, &fw, &jw, &esize, got, 4), 0);
  EXPECT_EQ(got[2], -3.0f);
  EXPECT_EQ(srite_window_("cube", &ndim, &ng, &nw, &fw, &jw, &esize, put, 4), 0);

  char name[8] = {'m', 'o', 'v', 'i', 'e', ' ', ' ', ' '};
  const int n1 = 5, n2 = 1;
  EXPECT_EQ(slice_(name, &esize, &n1, &n2, put, sizeof name), 0);
  EXPECT_EQ(std::string(name, sizeof name), "movie   ");
  EXPECT_EQ(tag_exists("movie"), 1);
  EXPECT_EQ(snap_("nosuch  ", &n1, &n2, put, 8), 0);
  EXPECT_EQ(tag_exists("nosuch"), 0);
}

} // namespace
