// SPDX-License-Identifier: Apache-2.0
// segy2kov on files written by kov2segy and by Debian's segyio Python
// module, and on files that are not SEG-Y or are damaged.
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
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

  // Also at position 0: the coordinate of the file, not "no coordinate".
  ASSERT_EQ(dir.run("\"$velmodel\" n2=1 o2=0 d2=12.5 >zero.H 2>/dev/null && \"$kov2segy\" "
                    "zero.H out=zero.sgy 2>err && \"$segy2kov\" zero.sgy 2>>err | \"$kovinfo\" "
                    ">zero.info && \"$kovinfo\" zero.H >v.info"),
            0)
      << dir.read("err");
  EXPECT_EQ(info_line(dir.read("zero.info"), "axis 2"), info_line(dir.read("v.info"), "axis 2"));
  EXPECT_NE(info_line(dir.read("zero.info"), "axis 2").find("o2=0 "), std::string::npos)
      << dir.read("zero.info");
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
  code7[3225] = 13;
  kovtest::write_file(dir / "code7.sgy", code7);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"nothere.sgy", "nothere.sgy: No such file or directory"},
      {"short.sgy", "short.sgy: not a SEG-Y file: 100 bytes, fewer than"},
      {"cut.sgy", "cut.sgy: truncated: 43800 bytes of traces are not a whole number of "
                  "2240-byte traces of 500 samples"},
      {"text.sgy", "text.sgy: unknown or unsupported sample format code 30840"},
      {"code7.sgy", "code7.sgy: unknown or unsupported sample format code 13"}};
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

// A writer of SEG-Y files byte by byte, for what segyio does not write:
// every sample format in both byte orders, any header values.  write()
// takes the samples as a list of traces; `ref` files hold what segy2kov
// must give back.
constexpr char kWriter[] = R"(
import struct, warnings, numpy as np
warnings.simplefilter('ignore')
DTYPES = {2: 'i4', 3: 'i2', 5: 'f4', 6: 'f8', 8: 'i1', 9: 'i8', 10: 'u4', 11: 'u2', 12: 'u8',
          16: 'u1'}
def encode(code, row, e):
    if code in (7, 15):
        return b''.join((int(v) & 0xffffff).to_bytes(3, 'little' if e == '<' else 'big')
                        for v in row)
    return np.asarray(row, dtype=e + DTYPES[code]).tobytes()
def write(path, code, traces, little=False, bin_dt=4000, tr_dt=4000, lines=None, ext=0,
          records=(), order_word=False, ns=None):
    e = '<' if little else '>'
    binh = bytearray(400)
    ns = len(traces[0]) if ns is None else ns
    for byte, v in ((3217, bin_dt), (3221, ns), (3225, code), (3505, ext)):
        struct.pack_into(e + 'h', binh, byte - 3201, v)
    if order_word:
        struct.pack_into(e + 'I', binh, 3297 - 3201, 0x01020304)
    out = bytearray(b'C 1 written by the tests'.ljust(3200) + binh)
    for r in records:
        out += r.ljust(3200)
    for i, row in enumerate(traces):
        h = bytearray(240)
        struct.pack_into(e + 'hh', h, 114, len(row), tr_dt)
        if lines:
            struct.pack_into(e + 'ii', h, 188, *lines[i])
        out += h + encode(code, row, e)
    open(path, 'wb').write(out)
)";

// Every sample format but IBM floats (written by segyio above) and format
// 4, in both byte orders, with the extremes of each: integers up to 24 bits
// and 4-byte floats come back as exact floats, 32-bit integers as xdr_int,
// 8-byte samples rounded to floats when data_format=xdr_float asks for it.
TEST(Segy2kov, ReadsEverySampleFormatInBothByteOrders) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  kovtest::write_file(dir / "make.py", std::string(kWriter) + R"(
cases = {2: [-2**31, 2**31 - 1, 0, -1, 123456789], 3: [-32768, 32767, 0, -1, 1234],
         5: [np.float32(3.4e38), -1.5e-45, 0.1, np.inf, -7], 6: [1e300, 0.1, -2.5, 1e-310, 3],
         7: [-2**23, 2**23 - 1, 0, -1, 77], 8: [-128, 127, 0, -1, 5],
         9: [-2**63, 2**63 - 1, 2**53 + 1, -1, 9], 10: [2**31 - 1, 0, 1, 7, 65536],
         11: [0, 65535, 1, 2, 3], 12: [2**64 - 1, 0, 2**53 + 1, 1, 8], 15: [0, 2**24 - 1, 1, 2, 3],
         16: [0, 255, 1, 2, 3]}
for code, row in cases.items():
    traces = [row, row[::-1]]
    if code in (7, 15):
        ref = np.array(traces, dtype=np.int64)
    elif code == 6:
        ref = np.array(traces, dtype=np.float64)
    else:
        ref = np.array(traces, dtype=DTYPES[code] if code != 5 else 'f4')
    ref = ref.astype('>i4' if code in (2, 10) else '>f4')
    ref.tofile('%d.ref' % code)
    for little in (False, True):
        write('%d%s.sgy' % (code, 'le' if little else 'be'), code, traces, little=little,
              order_word=little and code % 2 == 0)
)");
  ASSERT_EQ(dir.run("\"$python\" make.py 2>err"), 0) << dir.read("err");
  for (const int code : {2, 3, 5, 6, 7, 8, 9, 10, 11, 12, 15, 16})
    for (const char *order : {"be", "le"}) {
      const std::string file = std::to_string(code) + order + ".sgy";
      const bool wide = code == 6 || code == 9 || code == 12;
      const std::string format = wide ? " data_format=xdr_float" : "";
      ASSERT_EQ(dir.run("\"$segy2kov\" " + file + format + " >out.H 2>err"), 0)
          << file << ": " << dir.read("err");
      EXPECT_TRUE(dir.read("out.H@") == dir.read(std::to_string(code) + ".ref")) << file;
      const std::string history = dir.read("out.H");
      const bool ints = code == 2 || code == 10;
      EXPECT_NE(history.find(ints ? "data_format=\"xdr_int\"" : "data_format=\"xdr_float\""),
                std::string::npos)
          << file << history;
      EXPECT_NE(history.find("n1=5"), std::string::npos) << file;
      EXPECT_EQ(dir.read("err").find("rounded") != std::string::npos, wide) << dir.read("err");
      if (wide) {
        EXPECT_EQ(dir.run("\"$segy2kov\" " + file + " >out.H 2>err"), 23) << file;
        EXPECT_NE(dir.read("err").find("give data_format=xdr_float to read them rounded"),
                  std::string::npos)
            << dir.read("err");
      }
    }
}

// What segy2kov refuses of the sample formats, and the sample interval
// from either header, and extended textual headers of an unknown number.
TEST(Segy2kov, IntervalsFormatsAndTextualHeadersOtherReadersOpen) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  kovtest::write_file(dir / "make.py", std::string(kWriter) + R"(
import segyio
t = [[1, 2, 3], [4, 5, 6]]
write('dt.sgy', 5, t, bin_dt=2000, tr_dt=4000)
write('bindt.sgy', 5, t, bin_dt=3000, tr_dt=-4000)
write('nodt.sgy', 5, t, bin_dt=-2, tr_dt=0)
write('ext.sgy', 5, t, ext=-1, records=[b'C 1 more text', b'((SEG: EndText))'])
write('extcase.sgy', 5, t, ext=-1, records=[b'C 1 more text', b'((  seg: endTEXt  ))'])
write('ext2.sgy', 5, t, ext=2, records=[b'one', b'two'])
write('noend.sgy', 5, t, ext=-1, records=[b'C 1 more text'])
write('fmt4.sgy', 5, t)
b = bytearray(open('fmt4.sgy', 'rb').read()); b[3225] = 4; open('fmt4.sgy', 'wb').write(b)
write('u32.sgy', 10, [[1, 2**31, 3], [4, 5, 6]])
from types import SimpleNamespace as Layout
le = Layout(format=5, samples=list(range(3)), tracecount=2, endian='little', iline=189,
            xline=193)
with segyio.create('segyio-le.sgy', le) as f:
    f.bin.update(hdt=4000)
    for i in range(2):
        f.header[i] = {117: 4000}
        f.trace[i] = np.array(t[i], dtype=np.float32)
np.array(t, dtype='>f4').tofile('t.ref')
)");
  ASSERT_EQ(dir.run("\"$python\" make.py 2>err"), 0) << dir.read("err");
  const std::vector<std::tuple<std::string, std::string, std::string>> good = {
      {"dt.sgy", "d1=4",
       "warning: the sample interval of the first trace header (4000) differs "
       "from the binary header's (2000); 4000 is used"},
      {"bindt.sgy", "d1=3", ""},
      {"nodt.sgy d1=0.5", "d1=0.5", ""},
      {"ext.sgy", "d1=4", ""},
      {"extcase.sgy", "d1=4", ""},
      {"ext2.sgy", "d1=4", ""},
      {"segyio-le.sgy", "d1=4", ""}};
  for (const auto &[args, d1, warning] : good) {
    ASSERT_EQ(dir.run("\"$segy2kov\" " + args + " >out.H 2>err"), 0) << args << dir.read("err");
    EXPECT_NE(dir.read("out.H").find(d1), std::string::npos) << args << dir.read("out.H");
    EXPECT_TRUE(dir.read("out.H@") == dir.read("t.ref")) << args;
    if (warning.empty())
      EXPECT_EQ(dir.read("err"), "") << args;
    else
      EXPECT_NE(dir.read("err").find(warning), std::string::npos) << args << dir.read("err");
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"nodt.sgy", "nodt.sgy: no sample interval: the first trace header says 0 (bytes 117-118), "
                   "the binary header -2 (bytes 3217-3218); give it as d1="},
      {"noend.sgy", "noend.sgy: the extended textual headers (announced as -1, an unknown "
                    "number) end in no ((SEG: EndText)) stanza"},
      {"fmt4.sgy", "fmt4.sgy: sample format 4 (fixed point with gain, obsolete since 1983) is "
                   "not read"},
      {"u32.sgy", "u32.sgy: trace 1, sample 2: 2147483648 is more than a 32-bit integer sample "
                  "(xdr_int) holds"}};
  for (const auto &[file, message] : bad) {
    EXPECT_EQ(dir.run("\"$segy2kov\" " + file + " >out.H 2>err"), 23) << file;
    EXPECT_NE(dir.read("err").find("segy2kov: " + message), std::string::npos)
        << file << ": " << dir.read("err");
    EXPECT_EQ(dir.read("out.H").find("n1="), std::string::npos) << file;
  }
  // Rounded on request instead.
  EXPECT_EQ(dir.run("\"$segy2kov\" u32.sgy data_format=xdr_float >out.H 2>err"), 0)
      << dir.read("err");
  EXPECT_EQ(kovtest::from_xdr(dir.read("out.H@"))[1], 2147483648.0f);
}

// A file is a volume only when every pair of inline and crossline occurs
// once on an evenly spaced grid; otherwise a line of traces in the order of
// the file, with a warning naming the first irregularity.
TEST(Segy2kov, IrregularVolumesAreReadAsLinesOfTraces) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  kovtest::write_file(dir / "make.py", std::string(kWriter) + R"(
def volume(name, pairs):
    write(name, 5, [[float(i)] * 2 for i in range(len(pairs))], lines=pairs)
volume('il124.sgy', [(il, xl) for il in (1, 2, 4) for xl in (10, 11, 12)])
volume('xl10.sgy', [(il, xl) for il in (1, 2) for xl in (10, 11, 15)])
volume('twice.sgy', [(1, 10), (1, 11), (2, 10), (2, 10)])
volume('bycrossline.sgy', [(il, xl) for xl in (30, 25, 20) for il in (1, 3)])
volume('extreme.sgy', [(il, xl) for il in (1, 2) for xl in (2**31 - 1, -2**31)])
)");
  ASSERT_EQ(dir.run("\"$python\" make.py 2>err"), 0) << dir.read("err");
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"il124.sgy", "n2=9 o2=1 d2=1 label2=\"trace\"",
       "trace 7 inline 4, crossline 10, where an evenly spaced volume has inline 3, crossline 10"},
      {"xl10.sgy", "n2=6 o2=1 d2=1 label2=\"trace\"",
       "trace 3 inline 1, crossline 15, where an evenly spaced volume has inline 1, crossline 12"},
      {"twice.sgy", "n2=4 o2=1 d2=1 label2=\"trace\"",
       "trace 4 repeats the pair of trace 3, inline 2, crossline 10, where an evenly spaced "
       "volume has inline 2, crossline 11"},
      {"bycrossline.sgy", "n2=2 o2=1 d2=2 label2=\"inline\"", ""},
      {"extreme.sgy", "n2=2 o2=2.147484e+09 d2=-4.294967e+09 label2=\"crossline\"", ""}};
  for (const auto &[file, axis2, warning] : cases) {
    ASSERT_EQ(dir.run("\"$segy2kov\" " + file + " >out.H 2>err && \"$kovinfo\" out.H >info"), 0)
        << file << dir.read("err");
    const std::string info = dir.read("info");
    EXPECT_EQ(info_line(info, "axis 2"), axis2) << file << info;
    if (warning.empty()) {
      EXPECT_EQ(dir.read("err"), "");
      if (file == "bycrossline.sgy") {
        EXPECT_EQ(info_line(info, "axis 3"), "n3=3 o3=30 d3=-5 label3=\"crossline\"") << info;
      }
    } else {
      EXPECT_NE(dir.read("err").find(warning + "; the file is read as a line of traces"),
                std::string::npos)
          << file << dir.read("err");
    }
    // Every trace where the file has it.
    const std::vector<float> v = kovtest::from_xdr(dir.read("out.H@"));
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], static_cast<float>(i / 2)) << file;
  }
}

// A sparse file whose size claims 2^31-1 one-byte traces: memory is not
// reserved for what the file claims (under a limit of 4 GB of address
// space that would abort the run); the run goes on until its output meets a
// file-size limit and then fails as any failed write does.
TEST(Segy2kov, ASparseFileClaimingBillionsOfTracesReservesNothingForThem) {
  if (!built()) GTEST_SKIP() << "segy2kov not built";
  ToolDir dir;
  kovtest::write_file(dir / "make.py", std::string(kWriter) + R"(
write('sparse.sgy', 8, [[1], [2]])
with open('sparse.sgy', 'r+b') as f:
    f.truncate(3600 + (2**31 - 1) * 241)
)");
#if defined(__SANITIZE_ADDRESS__)
  const std::string memory_limit; // the sanitizer maps more than any such limit
#else
  const std::string memory_limit = "ulimit -v 4000000; ";
#endif
  ASSERT_EQ(dir.run("\"$python\" make.py 2>err && (trap '' XFSZ; ulimit -f 256; " + memory_limit +
                    "\"$segy2kov\" sparse.sgy >out.H 2>err); echo $? >status"),
            0)
      << dir.read("err");
  EXPECT_EQ(dir.read("status"), "23\n") << dir.read("err");
  EXPECT_NE(dir.read("err").find("File too large"), std::string::npos) << dir.read("err");
  EXPECT_EQ(dir.read("out.H").find("n1="), std::string::npos);
}

} // namespace
