// segy2kov on files written by kov2segy and by Debian's segyio Python
// module, and on files that are not SEG-Y or are damaged.
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using kovtest::info_line;
using kovtest::ToolDir;

bool built() { return !std::string(KOV_SEGY2KOV).empty(); }

TEST(Segy2kov, GivesBackWhatKov2segyWroteBitForBit) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  ASSERT_EQ(dir.run("set -o pipefail\n"
                    "\"$velmodel\" n2=120 o1=100 o2=-150.25 d2=12.5 >v.H 2>/dev/null\n"
                    "\"$kov2segy\" v.H out=v.sgy 2>err && \"$segy2kov\" v.sgy >w.H 2>>err\n"
                    "\"$kovinfo\" v.H >v.info && \"$kovinfo\" w.H >w.info\n"
                    "\"$segy2kov\" segy=v.sgy 2>>err | \"$kovinfo\" >p.info"),
            0)
      << dir.read("err");
  EXPECT_EQ(dir.read("err"), "");
  EXPECT_TRUE(dir.read("v.H@") == dir.read("w.H@")) << "samples differ";
  const std::string v = dir.read("v.info"), w = dir.read("w.info"), p = dir.read("p.info");
  EXPECT_EQ(info_line(w, "axis 1"), "n1=500 o1=100 d1=10 label1=\"z\"") << w;
  for (const char *key : {"axis 1", "axis 2", "actual", "mean", "rms"}) {
    EXPECT_EQ(info_line(w, key), info_line(v, key)) << key;
    EXPECT_EQ(info_line(p, key), info_line(v, key)) << key;
  }
  // The history names the file it came from.
  EXPECT_NE(dir.read("w.H").find("segy=\"" + (dir / "v.sgy") + "\""), std::string::npos);

  // A single trace keeps its spacing too, from what kov2segy recorded.
  ASSERT_EQ(dir.run("\"$velmodel\" n2=1 d2=12.5 >one.H 2>/dev/null && \"$kov2segy\" one.H "
                    "out=one.sgy 2>err && \"$segy2kov\" one.sgy 2>>err | \"$kovinfo\" >one.info && "
                    "\"$kovinfo\" one.H >v.info"),
            0)
      << dir.read("err");
  EXPECT_EQ(info_line(dir.read("one.info"), "axis 2"), info_line(dir.read("v.info"), "axis 2"));
  EXPECT_EQ(info_line(dir.read("one.info"), "mean"), info_line(dir.read("v.info"), "mean"));
}

// Writes, with segyio: vol.sgy, a 3-D volume sorted by inline (inlines
// 10, 12, 14; crosslines 20 to 24) of 40000 IBM float samples every 2 ms
// from 100 ms; line.sgy, a line of 7 traces of 300 IEEE float samples
// every 4 ms from 8 ms, along y from 1000.5 in steps of 2.5 (coordinate
// scalar -10); and the samples of both, as big-endian floats, in *.ref.
constexpr char kWriteFiles[] = R"(
import numpy as np, segyio
from types import SimpleNamespace as Layout
vol = Layout(format=1, sorting=2, iline=189, xline=193, ilines=[10, 12, 14],
             xlines=list(range(20, 25)), offsets=[1], samples=100.0 + np.arange(40000) * 2.0,
             endian='big')
ref = []
with segyio.create('vol.sgy', vol) as f:
    tr = 0
    for il in vol.ilines:
        for xl in vol.xlines:
            f.header[tr] = {189: il, 193: xl, 109: 100, 115: 40000, 117: 2000}
            # whole numbers below 2^20 are exact in IBM floats
            v = np.round(np.sin(np.arange(40000) * 0.01 + tr) * 1000).astype(np.float32)
            f.trace[tr] = v
            ref.append(v)
            tr += 1
    f.bin.update(hdt=2000, hns=40000, format=1)
np.concatenate(ref).astype('>f4').tofile('vol.ref')

line = Layout(format=5, tracecount=7, samples=8.0 + np.arange(300) * 4.0, endian='big',
              iline=189, xline=193)
rng = np.random.default_rng(7)
ref = rng.standard_normal((7, 300)).astype(np.float32)
with segyio.create('line.sgy', line) as f:
    for i in range(7):
        f.header[i] = {71: -10, 181: 500, 185: 10005 + 25 * i, 109: 8, 115: 300, 117: 4000}
        f.trace[i] = ref[i]
    f.bin.update(hdt=4000, hns=300, format=5)
ref.astype('>f4').tofile('line.ref')
)";

TEST(Segy2kov, ReadsVolumesAndLinesWrittenBySegyio) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  kovtest::write_file(dir / "make.py", kWriteFiles);
  ASSERT_EQ(dir.run("\"$python\" make.py >err 2>&1 && \"$segy2kov\" vol.sgy >vol.H 2>>err && "
                    "\"$segy2kov\" line.sgy dscale=1000000 >line.H 2>>err && "
                    "\"$kovinfo\" vol.H >vol.info && \"$kovinfo\" line.H >line.info"),
            0)
      << dir.read("err");
  EXPECT_TRUE(dir.read("vol.H@") == dir.read("vol.ref")) << "volume samples differ";
  EXPECT_TRUE(dir.read("line.H@") == dir.read("line.ref")) << "line samples differ";
  const std::string vol = dir.read("vol.info"), line = dir.read("line.info");
  EXPECT_EQ(info_line(vol, "axis 1"), "n1=40000 o1=100 d1=2 label1=\"time\"") << vol;
  EXPECT_EQ(info_line(vol, "axis 2"), "n2=5 o2=20 d2=1 label2=\"crossline\"");
  EXPECT_EQ(info_line(vol, "axis 3"), "n3=3 o3=10 d3=2 label3=\"inline\"");
  EXPECT_EQ(info_line(line, "axis 1"), "n1=300 o1=0.008 d1=0.004 label1=\"time\"") << line;
  EXPECT_EQ(info_line(line, "axis 2"), "n2=7 o2=1000.5 d2=2.5 label2=\"cdp_y\"");
}

TEST(Segy2kov, BadInputIsRefusedAndLeavesNoDataset) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  ASSERT_EQ(dir.run("\"$velmodel\" n2=20 2>/dev/null | \"$kov2segy\" out=good.sgy 2>err"), 0)
      << dir.read("err");
  const std::string good = dir.read("good.sgy");
  kovtest::write_file(dir / "short.sgy", good.substr(0, 100));
  kovtest::write_file(dir / "cut.sgy", good.substr(0, good.size() - 1000));
  kovtest::write_file(dir / "text.sgy", std::string(5000, 'x'));
  std::string code7 = good;
  code7[3224] = 0;
  code7[3225] = 7;
  kovtest::write_file(dir / "code7.sgy", code7);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"nothere.sgy", "nothere.sgy: No such file or directory"},
      {"short.sgy", "short.sgy: not a SEG-Y file: 100 bytes, fewer than"},
      {"cut.sgy", "cut.sgy: truncated: 43800 bytes of traces are not a whole number of "
                  "2240-byte traces of 500 samples"},
      {"text.sgy", "text.sgy: unknown or unsupported sample format code 30840"},
      {"code7.sgy", "code7.sgy: unknown or unsupported sample format code 7"}};
  for (const auto &[file, message] : cases) {
    EXPECT_EQ(dir.run("\"$segy2kov\" " + file + " >out.H 2>err"), 23) << file;
    EXPECT_NE(dir.read("err").find("segy2kov: " + message), std::string::npos)
        << file << ": " << dir.read("err");
    EXPECT_EQ(dir.read("out.H").find("n1="), std::string::npos)
        << file << ": " << dir.read("out.H");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.H@")) << file;
  }
  // A pipe cannot be positioned: refused before anything is read.
  EXPECT_EQ(dir.run("\"$segy2kov\" <(cat good.sgy) >out.H 2>err"), 23);
  EXPECT_NE(dir.read("err").find(": not a regular file"), std::string::npos) << dir.read("err");
}

} // namespace
