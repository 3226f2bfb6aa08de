// SPDX-License-Identifier: Apache-2.0
// End-to-end runs of velmodel in a fresh directory.
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cmath>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using kovtest::TempDir;

struct RunResult {
  int status;
  std::string header, err;
};

// RunResult velmodel with `args` inside `dir`, header to dir/vel.H, data placed by
// a datapath pointing into dir.
// Standard input comes from `input` (a shell redirection).
RunResult velmodel(const TempDir &dir, const std::string &args,
                   const std::string &input = "</dev/null") {
  const std::string cmd = "cd '" + dir.path().string() + "' && '" KOV_VELMODEL "' datapath='" +
                          (dir / "") + "' " + args + " " + input + " >vel.H 2>err";
  const int raw = std::system(cmd.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, kovtest::read_file(dir / "vel.H"),
          kovtest::read_file(dir / "err")};
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<float> samples(const std::string &path) {
  const std::string bytes = kovtest::read_file(path);
  std::vector<float> v(bytes.size() / 4);
  for (std::size_t i = 0; i < v.size(); ++i) {
    uint32_t w;
    std::memcpy(&w, bytes.data() + 4 * i, 4);
    w = ntohl(w);
    std::memcpy(&v[i], &w, 4);
  }
  return v;
}

// The top velocity of the gradient layer at lateral position x, in the
// generator's single-precision order of operations.
float top_velocity(float x, float v0 = 4000.0f, float alpha = 0.1f, float den = 100000.0f) {
  const float argument = x * x * 3.1415927f / 180.0f / den;
  return v0 * (1.0f + alpha * std::sin(argument));
}

TEST(Velmodel, DefaultRunHistoryAndData) {
  TempDir dir;
  const RunResult r = velmodel(dir, "");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = lines_of(r.header);
  std::vector<std::string> expected = {"", ""};
  const std::vector<std::string> after_title = {"\t\tsets next: in=\"" + (dir / "vel.H@") + "\"",
                                                "\t\tFrom par: n1=500",
                                                "\t\tFrom par: n2=3000",
                                                "\t\tFrom par: n3=1",
                                                "\t\tFrom par: d1=10",
                                                "\t\tFrom par: d2=20",
                                                "\t\tFrom par: d3=1",
                                                "\t\tFrom par: o1=0",
                                                "\t\tFrom par: o2=-15000",
                                                "\t\tFrom par: o3=1",
                                                "\t\tFrom par: den=100000",
                                                "\t\tFrom par: depth=500",
                                                "\t\tFrom par: v0=4000",
                                                "\t\tFrom par: g0=0.5",
                                                "\t\tFrom par: v1=4000",
                                                "\t\tFrom par: v2=3500",
                                                "\t\tFrom par: z1=2000",
                                                "\t\tFrom par: z2=2500",
                                                "\t\tFrom par: alpha=0.1",
                                                "\t\tn1=500",
                                                "\t\tn2=3000",
                                                "\t\tn3=1",
                                                "\t\td1=10",
                                                "\t\td2=20",
                                                "\t\td3=1",
                                                "\t\to1=0",
                                                "\t\to2=-15000",
                                                "\t\to3=1",
                                                "\t\tlabel1=\"z\"",
                                                "\t\tlabel2=\"cmpx\"",
                                                "\t\tlabel3=\"\"",
                                                "\t\tdata_format=\"xdr_float\""};
  ASSERT_EQ(lines.size(), 3 + after_title.size()) << r.header;
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "");
  EXPECT_TRUE(
      std::regex_match(lines[2], std::regex(".*velmodel:   [^ ]*@[^ ]*   [A-Z][a-z]{2} "
                                            "[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}")))
      << lines[2];
  for (std::size_t i = 0; i < after_title.size(); ++i) EXPECT_EQ(lines[3 + i], after_title[i]);

  const auto v = samples(dir / "vel.H@");
  ASSERT_EQ(v.size(), 500u * 3000u);
  for (int trace : {0, 1499, 2999}) {
    const float *t = v.data() + 500 * trace;
    const float vi = top_velocity(-15000.0f + 20.0f * static_cast<float>(trace));
    for (int k = 1; k <= 51; ++k) EXPECT_EQ(t[k - 1], 6000.0f) << k;
    EXPECT_EQ(t[51], vi + 0.5f * ((0.0f + 10.0f * 51.0f) - 500.0f)) << "first gradient sample";
    EXPECT_EQ(t[200], vi + 0.5f * ((0.0f + 10.0f * 200.0f) - 500.0f)) << "last gradient sample";
    for (int k = 202; k <= 251; ++k) EXPECT_EQ(t[k - 1], 4000.0f) << k;
    for (int k = 252; k <= 500; ++k) EXPECT_EQ(t[k - 1], 3500.0f) << k;
  }
  // Every tenth trace, in order, each line once: lines that come close
  // together go out in one write, but none is lost or repeated.
  std::string progress;
  for (int i = 10; i <= 3000; i += 10) progress += " CMP  " + std::to_string(i) + " of 3000\n";
  EXPECT_EQ(r.err, progress);
}

TEST(Velmodel, SameBitsOnEveryRun) {
  TempDir a, b;
  ASSERT_EQ(velmodel(a, "n2=200 alpha=0.3 den=5000").status, 0);
  ASSERT_EQ(velmodel(b, "n2=200 alpha=0.3 den=5000").status, 0);
  EXPECT_EQ(kovtest::read_file(a / "vel.H@"), kovtest::read_file(b / "vel.H@"));
}

TEST(Velmodel, EqualReflectorsAndIndexAtTheBottom) {
  TempDir dir;
  // depth = z1: no gradient layer; z2/d1 + 1.5 = 100 = n1 still passes.
  const RunResult r = velmodel(dir, "n1=100 n2=3 depth=900 z1=900 z2=985");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto v = samples(dir / "vel.H@");
  ASSERT_EQ(v.size(), 300u);
  for (int k = 1; k <= 91; ++k) EXPECT_EQ(v[k - 1], 6000.0f) << k;
  for (int k = 92; k <= 100; ++k) EXPECT_EQ(v[k - 1], 4000.0f) << k;
}

TEST(Velmodel, ReflectorChecksAreFatalBeforeAnyData) {
  struct Case {
    const char *args, *message;
  } cases[] = {
      {"n1=100 depth=100 z1=500 z2=995", "Reflector 3 is deeper than the maximum depth"},
      {"n1=100 depth=2000", "Reflector 1 is deeper than the maximum depth"},
      {"depth=2100", "Reflector 1 is deeper than Reflector 2"},
      {"z1=2600", "Reflector 2 is deeper than Reflector 3"},
      {"d1=0", "d1 must not be zero"},
      {"depth=-100 z1=-50 z2=-20", "Reflector 1 is above the first sample"},
      {"depth=1e38 d1=1e-30", "Reflector 1 is deeper than the maximum depth"},
  };
  for (const Case &c : cases) {
    TempDir dir;
    const RunResult r = velmodel(dir, c.args);
    EXPECT_EQ(r.status, 23) << c.args;
    EXPECT_NE(r.err.find(std::string("velmodel: ") + c.message), std::string::npos)
        << c.args << ": " << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "vel.H@")) << c.args;
  }
}

// Parameters that leave the model undefined (non-finite samples, axes no
// reader of the family accepts) are refused by name, and nothing is left
// that reads as a dataset.
TEST(Velmodel, RefusesParametersThatLeaveTheModelUndefined) {
  struct Case {
    const char *args, *message;
  } cases[] = {
      {"den=0", "den=0: "},
      {"v0=nan", "v0=nan: "},
      {"n2=0", "n2=0: "},
      {"n1=0", "n1=0: "},
      {"o1=nan", "o1=nan: "},
      {"d1=inf", "d1=inf: "},
      {"o2=inf", "o2=inf: "},
      {"d2=1e308", "d2=inf: "},
      {"d2=1e36", "o2=-15000 d2=1e+36 n2=3000: the last trace position"},
      {"v0=3e38", "v0=3e+38: the top layer's velocity"},
      {"alpha=1e38 den=1e-30", "the second layer's velocity is not a finite number at trace"},
      {"g0=1e38 o1=-1e38", "the second layer's velocity is not a finite number at trace 1 "},
  };
  for (const Case &c : cases) {
    TempDir dir;
    const RunResult r = velmodel(dir, c.args);
    EXPECT_EQ(r.status, 23) << c.args;
    EXPECT_NE(r.err.find(std::string("velmodel: ") + c.message), std::string::npos)
        << c.args << ": " << r.err;
    EXPECT_EQ(r.header.find("n1="), std::string::npos) << c.args;
    EXPECT_FALSE(std::filesystem::exists(dir / "vel.H@")) << c.args;
  }
}

TEST(Velmodel, ProgressEveryTenth) {
  TempDir some;
  const RunResult r = velmodel(some, "n1=10 n2=25 d1=100 depth=100 z1=200 z2=300");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, " CMP  10 of 25\n CMP  20 of 25\n");
  EXPECT_EQ(std::filesystem::file_size(some / "vel.H@"), 25u * 10u * 4u);
}

TEST(Velmodel, DimensionsFromIndata) {
  TempDir dir;
  kovtest::write_file(dir / "grid.H", "n1=20 n2=5 n3=7 d1=4 d2=8 o1=2 o2=-10 d3=3 o3=9\n");
  const RunResult r = velmodel(dir, "indata=grid.H depth=20 z1=40 z2=60");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.header.find("From par: n1"), std::string::npos);
  EXPECT_NE(r.header.find("From par: depth=20"), std::string::npos);
  EXPECT_NE(r.header.find("\t\tn1=20\n\t\tn2=5\n\t\tn3=1\n\t\td1=4\n\t\td2=8\n\t\td3=1\n\t\to1=2\n"
                          "\t\to2=-10\n\t\to3=1\n"),
            std::string::npos)
      << r.header;
  EXPECT_EQ(std::filesystem::file_size(dir / "vel.H@"), 20u * 5u * 4u);

  kovtest::write_file(dir / "bad.H", "n2=5 d1=4 d2=8 o1=0 o2=0\n");
  const RunResult bad = velmodel(dir, "indata=bad.H");
  EXPECT_EQ(bad.status, 23);
  EXPECT_NE(bad.err.find("missing history value: n1 from file: indata"), std::string::npos)
      << bad.err;
}

// Job supervisors start programs with standard input closed: a program that
// never reads `in` runs as with an empty one, its header on standard output
// or in a file.
TEST(Velmodel, ClosedStandardInputRunsAsAnEmptyOne) {
  for (const std::string head : {"", "head=q.H"}) {
    TempDir closed, empty;
    const RunResult a = velmodel(closed, "n1=300 n2=10 " + head, "<&-");
    const RunResult b = velmodel(empty, "n1=300 n2=10 " + head, "</dev/null");
    ASSERT_EQ(a.status, 0) << head << a.err;
    ASSERT_EQ(b.status, 0) << head << b.err;
    EXPECT_EQ(a.err, b.err);
    const std::string header = head.empty() ? "vel.H" : "q.H";
    const auto without_title = [&](const TempDir &dir) {
      auto lines = lines_of(kovtest::read_file(dir / header));
      std::erase_if(lines, [](const std::string &l) { return l.starts_with(KOV_VELMODEL ":"); });
      for (auto &l : lines)
        if (const auto at = l.find(dir.path().string()); at != std::string::npos)
          l.replace(at, dir.path().string().size(), "DIR");
      return lines;
    };
    EXPECT_EQ(without_title(closed), without_title(empty)) << head;
    EXPECT_EQ(kovtest::read_file(closed / (header + "@")),
              kovtest::read_file(empty / (header + "@")))
        << head;
    EXPECT_EQ(std::filesystem::file_size(closed / (header + "@")), 300u * 10u * 4u) << head;
  }
}

// velmodel | reader of the family: the handshake ends the writer's wait at
// once and the reader gets the model bit for bit.
TEST(Velmodel, ReadBackThroughAPipe) {
  TempDir dir;
  ASSERT_EQ(velmodel(dir, "n2=40").status, 0);
  const std::string cmd = "cd '" + dir.path().string() +
                          "' && bash -c '\"" KOV_VELMODEL
                          "\" n2=40 sockhost=127.0.0.1 timeout=2 2>w.err | \"" KOV_READER
                          "\" dump=piped.bin > summary; echo ${PIPESTATUS[@]} > status' </dev/null";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  EXPECT_EQ(kovtest::read_file(dir / "status"), "0 0\n") << kovtest::read_file(dir / "w.err");
  EXPECT_NE(kovtest::read_file(dir / "summary").find("traces=40 bytes=80000 "), std::string::npos);
  EXPECT_NE(kovtest::read_file(dir / "summary").find("handshake=1"), std::string::npos);
  const std::string piped = kovtest::read_file(dir / "piped.bin");
  const auto expected = samples(dir / "vel.H@");
  ASSERT_EQ(piped.size(), expected.size() * 4);
  EXPECT_EQ(std::memcmp(piped.data(), expected.data(), piped.size()), 0);
}

} // namespace
