// SPDX-License-Identifier: Apache-2.0
// kov2segy on datasets made by velmodel and by hand: its files read back by
// segyio, each run in a fresh directory.
#include "tool_scripts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <vector>

#include <cstdio>

namespace {

using kovtest::expect_refused;
using kovtest::leftovers;
using kovtest::line_of;
using kovtest::make_bad_inputs;
using kovtest::make_dataset;
using kovtest::read_file;
using kovtest::run;
using kovtest::TempDir;

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
    expect_refused(dir, "\"$S\" a.H out=a.sgy", "a.sgy", first + ": not a finite number");
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

} // namespace
