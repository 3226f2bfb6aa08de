// SPDX-License-Identifier: Apache-2.0
// kovview's server as a browser sees it: windows equal to the library's
// own windowed reads of the same dataset (files, pipes, multi-file sets,
// element formats), means over the cells of windows larger than the
// output, the token and Host rules, hostile queries, many clients at once
// and the clean end on signals.
#include "guard.hpp"
#include "kovhelp.hpp"
#include "kovview_server.h"
#include "page.hpp"
#include "query.hpp"
#include "reader.hpp"
#include "test_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

using kovtest::TempDir;
using kovtest::ViewServer;
using nlohmann::json;

int shell(const TempDir &dir, const std::string &script) {
  const std::string full = "cd '" + dir.path().string() + "' && export DATAPATH='" + (dir / "") +
                           "' && velmodel='" KOV_VELMODEL "' && " + script;
  kovtest::write_file(dir / "make.sh", full + "\n");
  const int raw = std::system(("/bin/sh '" + (dir / "make.sh") + "'").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The library's windowed read of `header` (3 axes, values converted by
// its data format), as doubles in the library's order (axis 1 fastest).
std::vector<double> library_window(const std::string &header, std::array<int, 3> ng,
                                   std::array<int, 3> nw, std::array<int, 3> fw, int esize,
                                   const std::string &format) {
  static bool started = false;
  if (!started) {
    kovtest::set_args({"kovview_test", "stdin=" + header});
    started = true;
  }
  const int ndim = 3;
  std::array<int, 3> jw{1, 1, 1};
  const std::size_t count = static_cast<std::size_t>(nw[0]) * nw[1] * nw[2];
  std::vector<char> bytes(count * esize);
  EXPECT_EQ(
      sreed_window("in", &ndim, ng.data(), nw.data(), fw.data(), jw.data(), esize, bytes.data()),
      0);
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (esize == 1) {
      values[i] = static_cast<unsigned char>(bytes[i]);
    } else if (format == "xdr_int") {
      std::int32_t v;
      std::memcpy(&v, bytes.data() + 4 * i, 4);
      values[i] = v;
    } else {
      float v;
      std::memcpy(&v, bytes.data() + 4 * i, 4);
      values[i] = v;
    }
  }
  return values;
}

// The server's window as JSON: rows x cols values, across fastest.
json window_json(const ViewServer &s, const std::string &query) {
  auto r = s.get("/api/window?format=json&" + query);
  if (!r) return json{{"error", "no answer"}};
  EXPECT_EQ(r->status, 200) << query << ": " << r->body;
  return json::parse(r->body, nullptr, false);
}

// Checks a window of axes `axes` (e.g. "12") against the library.
void expect_window(const ViewServer &s, const std::string &header, std::array<int, 3> n,
                   const std::string &axes, std::array<int, 3> f, std::array<int, 3> c,
                   int esize = 4, const std::string &format = "xdr_float") {
  const int down = axes[0] - '1', across = axes[1] - '1';
  std::string q = "axes=" + axes;
  for (int k = 0; k < 3; ++k)
    q += "&f" + std::to_string(k + 1) + "=" + std::to_string(f[k]) + "&n" + std::to_string(k + 1) +
         "=" + std::to_string(c[k]);
  const json got = window_json(s, q);
  const std::vector<double> want = library_window(header, n, c, f, esize, format);
  ASSERT_EQ(got["rows"], c[down]) << q;
  ASSERT_EQ(got["cols"], c[across]) << q;
  std::array<int, 3> stride{1, c[0], c[0] * c[1]};
  for (int r = 0; r < c[down]; ++r)
    for (int k = 0; k < c[across]; ++k) {
      const double w = want[static_cast<std::size_t>(r * stride[down] + k * stride[across])];
      const json &v = got["values"][static_cast<std::size_t>(r * c[across] + k)];
      ASSERT_FALSE(v.is_null()) << q;
      ASSERT_EQ(static_cast<float>(v.get<double>()), static_cast<float>(w))
          << q << " at " << r << "," << k;
    }
}

// A cube of velmodel's samples: its n2 * n3 traces as n2 by n3.
void cube(const TempDir &dir, const std::string &name, int n1, int n2, int n3) {
  ASSERT_EQ(shell(dir, "$velmodel n1=" + std::to_string(n1) + " n2=" + std::to_string(n2 * n3) +
                           " > flat.H 2>/dev/null"),
            0);
  kovtest::write_file(dir / name, "n1=" + std::to_string(n1) + " n2=" + std::to_string(n2) +
                                      " n3=" + std::to_string(n3) +
                                      " o1=0 d1=10 label1=z o3=100 d3=10 v0=1 v1=2 v2=3 "
                                      "data_format=xdr_float esize=4 in=\"" +
                                      (dir / "flat.H@") + "\"\n");
}

TEST(KovviewServer, WindowsOfAFileEqualTheLibrarysWindowedReads) {
  TempDir dir;
  cube(dir, "vel.H", 500, 50, 4);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const std::string h = dir / "vel.H";
  expect_window(s, h, {500, 50, 4}, "12", {0, 0, 0}, {500, 50, 1});
  expect_window(s, h, {500, 50, 4}, "12", {17, 3, 2}, {40, 9, 1});
  expect_window(s, h, {500, 50, 4}, "13", {5, 7, 0}, {100, 1, 4});
  expect_window(s, h, {500, 50, 4}, "23", {61, 10, 1}, {1, 30, 3});

  // The binary answer holds the same values, little-endian floats.
  auto bin = s.get("/api/window?axes=12&f1=17&n1=40&f2=3&n2=9&f3=2");
  ASSERT_TRUE(bin);
  ASSERT_EQ(bin->status, 200);
  EXPECT_EQ(bin->get_header_value("X-Kov-Rows"), "40");
  EXPECT_EQ(bin->get_header_value("X-Kov-Cols"), "9");
  ASSERT_EQ(bin->body.size(), 40u * 9u * 4u);
  const json j = window_json(s, "axes=12&f1=17&n1=40&f2=3&n2=9&f3=2");
  for (std::size_t i = 0; i < 360; ++i) {
    std::uint32_t u;
    std::memcpy(&u, bin->body.data() + 4 * i, 4);
    u = le32toh(u);
    float v;
    std::memcpy(&v, &u, 4);
    ASSERT_EQ(v, j["values"][i].get<float>());
  }

  // The description: axes in coordinates, labels, the history.
  auto info = s.get("/api/info");
  ASSERT_TRUE(info);
  const json d = json::parse(info->body);
  EXPECT_EQ(d["n"], json({500, 50, 4}));
  EXPECT_EQ(d["axes"][2]["d"], 10.0);
  EXPECT_EQ(d["axes"][0]["label"], "z");
  EXPECT_EQ(d["unit"], "m/s");
  auto hist = s.get("/api/history");
  ASSERT_TRUE(hist);
  EXPECT_NE(hist->body.find("n1=500"), std::string::npos) << hist->body;
}

TEST(KovviewServer, APipedInputIsUnpipedOnceAndEveryViewSeeks) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=120 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "\"$velmodel\" n1=500 n2=120 2>/dev/null | exec \"$kovview\"");
  ASSERT_TRUE(s.ready()) << s.errors();
  const std::string h = dir / "vel.H";
  // Backwards and forwards through the data, in any order.
  expect_window(s, h, {500, 120, 1}, "12", {0, 100, 0}, {500, 20, 1});
  expect_window(s, h, {500, 120, 1}, "12", {3, 5, 0}, {20, 7, 1});
  expect_window(s, h, {500, 120, 1}, "12", {0, 0, 0}, {500, 120, 1});
  // The scratch copy has no name left in the datapath directory.
  for (const auto &e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename().string().find("Unpipe_"), std::string::npos);
}

TEST(KovviewServer, AMultiFileSetIsReadAcrossItsFiles) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=1000 n2=700 nfiles=3 filesize=1 > m.H 2>/dev/null"), 0);
  ASSERT_NE(kovtest::read_file(dir / "m.H").find(";"), std::string::npos);
  ViewServer s(dir, "exec \"$kovview\" < m.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  // Traces 250 to 280 straddle the end of the first file (262144 samples).
  expect_window(s, dir / "m.H", {1000, 700, 1}, "12", {0, 250, 0}, {1000, 30, 1});
  expect_window(s, dir / "m.H", {1000, 700, 1}, "12", {990, 520, 0}, {10, 60, 1});
}

// A dataset written by hand: the bytes as stored and a header.
void hand_dataset(const TempDir &dir, const std::string &name, const std::string &axes,
                  const std::string &bytes, const std::string &format, int esize) {
  kovtest::write_file(dir / (name + "@"), bytes);
  kovtest::write_file(dir / name, axes + " data_format=\"" + format +
                                      "\" esize=" + std::to_string(esize) + " in=\"" +
                                      (dir / (name + "@")) + "\"\n");
}

// Data of one sign need no peaks with the first picture's mean: the
// server judges the sign on traces spread over the data (64 of 300 here,
// every fourth) and says so in the description; it says nothing of data
// it does not read itself.
TEST(KovviewServer, TheSignOfTheDataIsJudgedOnTracesSpreadOverThem) {
  TempDir dir;
  const auto floats = [](auto value) {
    std::string bytes;
    for (int i2 = 0; i2 < 300; ++i2)
      for (int i1 = 0; i1 < 10; ++i1) {
        const auto w = std::bit_cast<std::uint32_t>(static_cast<float>(value(i1, i2)));
        for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(w >> shift);
      }
    return bytes;
  };
  const auto one_sign = [&dir](const std::string &bytes, const std::string &format, int esize) {
    hand_dataset(dir, "s.H", "n1=10 n2=300", bytes, format, esize);
    ViewServer s(dir, "exec \"$kovview\" s.H");
    EXPECT_TRUE(s.ready()) << s.errors();
    return json::parse(s.get("/api/info")->body).value("one_sign", json());
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // Velocities with a gap, zeros and an infinity that is no sample.
  EXPECT_EQ(one_sign(floats([&](int i1, int) {
                       return i1 == 3 ? nan : i1 == 4 ? 0.0 : i1 == 5 ? -inf : 1500.0 + i1;
                     }),
                     "xdr_float", 4),
            json(true));
  EXPECT_EQ(one_sign(floats([](int, int i2) { return i2 == 8 ? -1.0 : 1.0; }), "xdr_float", 4),
            json(false));
  EXPECT_EQ(one_sign(floats([](int i1, int) { return i1 == 9 ? 2.0 : -1.0; }), "xdr_float", 4),
            json(false));
  // A trace between those judged: a hint, not a promise (the page reads a
  // view again for its peaks when its picture spans zero all the same).
  EXPECT_EQ(one_sign(floats([](int, int i2) { return i2 == 9 ? -1.0 : 1.0; }), "xdr_float", 4),
            json(true));
  EXPECT_EQ(one_sign(std::string(3000, '\xff'), "native_byte", 1), json(true));
  ViewServer piped(dir, "\"$velmodel\" n1=500 n2=120 2>/dev/null | exec \"$kovview\"");
  ASSERT_TRUE(piped.ready()) << piped.errors();
  EXPECT_FALSE(json::parse(piped.get("/api/info")->body).contains("one_sign"));
}

TEST(KovviewServer, EveryShownElementFormatEqualsTheLibrary) {
  TempDir dir;
  std::string native(4 * 6 * 5, '\0'), ints(4 * 6 * 5, '\0'), bytes(6 * 5, '\0');
  for (int i = 0; i < 30; ++i) {
    const float f = static_cast<float>(i) * 0.25f - 3.0f;
    std::memcpy(native.data() + 4 * i, &f, 4);
    const std::uint32_t v = htonl(static_cast<std::uint32_t>(i * 1000 - 7000));
    std::memcpy(ints.data() + 4 * i, &v, 4);
    bytes[static_cast<std::size_t>(i)] = static_cast<char>(i * 9);
  }
  // Each format by its own server (the library in this process reads one `in`).
  const struct {
    const char *name, *format;
    int esize;
    const std::string &data;
  } cases[] = {{"nf.H", "native_float", 4, native},
               {"xi.H", "xdr_int", 4, ints},
               {"nb.H", "native_byte", 1, bytes},
               {"xb.H", "xdr_byte", 1, bytes}};
  for (const auto &c : cases) hand_dataset(dir, c.name, "n1=6 n2=5", c.data, c.format, c.esize);
  const char *which = std::getenv("KOVVIEW_FORMAT_CASE");
  (void)which;
  for (const auto &c : cases) {
    ViewServer s(dir, std::string("exec \"$kovview\" ") + c.name);
    ASSERT_TRUE(s.ready()) << c.name << s.errors();
    const json got = window_json(s, "f1=1&n1=4&f2=1&n2=3");
    ASSERT_EQ(got["rows"], 4);
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 3; ++k) {
        const int i = (1 + k) * 6 + 1 + r;
        double want = 0.0;
        if (c.esize == 1)
          want = static_cast<unsigned char>(static_cast<char>(i * 9));
        else if (std::string(c.format) == "xdr_int")
          want = i * 1000 - 7000;
        else
          want = static_cast<float>(i) * 0.25f - 3.0f;
        EXPECT_EQ(got["values"][static_cast<std::size_t>(r * 3 + k)].get<double>(), want)
            << c.format << " " << r << "," << k;
      }
  }
  // The same windows through the library's own conversion.
  ViewServer s(dir, "exec \"$kovview\" xi.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  expect_window(s, dir / "xi.H", {6, 5, 1}, "12", {1, 1, 0}, {4, 3, 1}, 4, "xdr_int");
}

TEST(KovviewServer, AFormatItCannotShowIsRefusedByName) {
  TempDir dir;
  hand_dataset(dir, "xs.H", "n1=6 n2=5", std::string(30, 'a'), "tmc_byte", 1);
  ViewServer s(dir, "exec \"$kovview\" xs.H");
  EXPECT_EQ(s.wait(30), 23);
  EXPECT_NE(s.errors().find("cannot show data_format=tmc_byte esize=1"), std::string::npos)
      << s.errors();
  hand_dataset(dir, "short.H", "n1=6 n2=5", std::string(100, 'a'), "xdr_float", 4);
  ViewServer t(dir, "exec \"$kovview\" short.H");
  EXPECT_EQ(t.wait(30), 23);
  EXPECT_NE(t.errors().find("the data are short: the header declares 120 bytes, only 100"),
            std::string::npos)
      << t.errors();
}

TEST(KovviewServer, AWindowLargerThanTheOutputSendsTheMeanOfEachCell) {
  TempDir dir;
  std::vector<float> v(40 * 30);
  std::string bytes(v.size() * 4, '\0');
  for (std::size_t i = 0; i < v.size(); ++i) {
    v[i] = static_cast<float>((i * 7919) % 101) - 50.0f;
    if (i == 45) v[i] = NAN; // left out of its cell's mean
    std::uint32_t u;
    std::memcpy(&u, &v[i], 4);
    u = htonl(u);
    std::memcpy(bytes.data() + 4 * i, &u, 4);
  }
  hand_dataset(dir, "a.H", "n1=40 n2=30", bytes, "xdr_float", 4);
  ViewServer s(dir, "exec \"$kovview\" a.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  // 37 samples down onto 5 rows, 25 traces across onto 4 columns: cells of
  // uneven sizes, [k * n / m, (k + 1) * n / m).
  const json got = window_json(s, "f1=2&n1=37&f2=4&n2=25&rows=5&cols=4");
  ASSERT_EQ(got["rows"], 5);
  ASSERT_EQ(got["cols"], 4);
  for (int r = 0; r < 5; ++r)
    for (int k = 0; k < 4; ++k) {
      double sum = 0.0;
      int count = 0;
      for (int p = 2 + r * 37 / 5; p < 2 + (r + 1) * 37 / 5; ++p)
        for (int q = 4 + k * 25 / 4; q < 4 + (k + 1) * 25 / 4; ++q) {
          const float x = v[static_cast<std::size_t>(q * 40 + p)];
          if (std::isfinite(x)) sum += x, ++count;
        }
      EXPECT_FLOAT_EQ(got["values"][static_cast<std::size_t>(r * 4 + k)].get<float>(),
                      static_cast<float>(sum / count))
          << r << "," << k;
    }
  // The RMS and the peak (the sample of largest magnitude, its sign kept)
  // of the same cells.
  const json rms = window_json(s, "f1=2&n1=37&f2=4&n2=25&rows=5&cols=4&overview=rms");
  const json peak = window_json(s, "f1=2&n1=37&f2=4&n2=25&rows=5&cols=4&overview=peak");
  for (int r = 0; r < 5; ++r)
    for (int k = 0; k < 4; ++k) {
      double squares = 0.0, top = 0.0;
      int count = 0;
      for (int p = 2 + r * 37 / 5; p < 2 + (r + 1) * 37 / 5; ++p)
        for (int q = 4 + k * 25 / 4; q < 4 + (k + 1) * 25 / 4; ++q) {
          const float x = v[static_cast<std::size_t>(q * 40 + p)];
          if (!std::isfinite(x)) continue;
          squares += double(x) * x, ++count;
          if (std::abs(x) > std::abs(top)) top = x;
        }
      const auto at = static_cast<std::size_t>(r * 4 + k);
      EXPECT_FLOAT_EQ(rms["values"][at].get<float>(),
                      static_cast<float>(std::sqrt(squares / count)));
      EXPECT_EQ(peak["values"][at].get<float>(), static_cast<float>(top)) << r << "," << k;
    }
  // Flat events of period 5 samples: the mean of a cell of 5 hides them,
  // the RMS and the peak keep their amplitude.
  std::string waves(4 * 100 * 8, '\0');
  for (int q = 0; q < 8; ++q)
    for (int p = 0; p < 100; ++p) {
      const float x = static_cast<float>(std::sin(2 * M_PI * p / 5.0));
      std::uint32_t u;
      std::memcpy(&u, &x, 4);
      u = htonl(u);
      std::memcpy(waves.data() + 4 * (q * 100 + p), &u, 4);
    }
  hand_dataset(dir, "w.H", "n1=100 n2=8", waves, "xdr_float", 4);
  ViewServer t(dir, "exec \"$kovview\" w.H");
  ASSERT_TRUE(t.ready()) << t.errors();
  const json mean20 = window_json(t, "rows=20&cols=8");
  const json peak20 = window_json(t, "rows=20&cols=8&overview=peak");
  const json rms20 = window_json(t, "rows=20&cols=8&overview=rms");
  EXPECT_LT(std::abs(mean20["values"][8].get<double>()), 1e-5);
  EXPECT_GT(std::abs(peak20["values"][8].get<double>()), 0.9);
  EXPECT_NEAR(rms20["values"][8].get<double>(), std::sqrt(0.5), 1e-5);
}

// The first picture of data around zero asks for the mean with also=peak,
// then for the peaks of the same window: both are the overviews asked for
// alone, on either instruction set.
TEST(KovviewServer, PeaksMadeInThePassOfAMeanAreThePeakOverview) {
  TempDir dir;
  cube(dir, "big.H", 512, 3000, 1); // 6 MB: read on one thread
  ViewServer best(dir, "exec \"$kovview\" big.H");
  ViewServer plain(dir, "KOV_SIMD=plain exec \"$kovview\" big.H");
  ASSERT_TRUE(best.ready()) << best.errors();
  ASSERT_TRUE(plain.ready()) << plain.errors();
  std::vector<json> got;
  for (const ViewServer *s : {&best, &plain}) {
    const std::string q = "rows=100&cols=70&f2=10&n2=2900&client=3&view=0";
    const json mean = window_json(*s, q + "&overview=mean&seq=1");
    const json peak = window_json(*s, q + "&overview=peak&seq=2");
    EXPECT_EQ(window_json(*s, q + "&overview=mean&also=peak&seq=3"), mean);
    EXPECT_EQ(window_json(*s, q + "&overview=peak&seq=4"), peak);
    got.push_back(mean);
    got.push_back(peak);
  }
  EXPECT_EQ(got[0], got[2]);
  EXPECT_EQ(got[1], got[3]);
  auto bad = best.get("/api/window?also=rms");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  ViewServer wrong(dir, "KOV_SIMD=sse9 exec \"$kovview\" big.H");
  ASSERT_TRUE(wrong.ready()) << wrong.errors();
  EXPECT_EQ(window_json(wrong, "rows=100&cols=70&f2=10&n2=2900"), got[0]);
  EXPECT_NE(wrong.errors().find("KOV_SIMD=sse9 names no path"), std::string::npos)
      << wrong.errors();
}

TEST(KovviewServer, OnlyRequestsWithTheTokenAreAnswered) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  EXPECT_EQ(s.token().size(), 48u);
  std::string wrong = s.token();
  wrong.back() = wrong.back() == 'a' ? 'b' : 'a';
  for (const std::string &path : std::vector<std::string>{
           "/api/info", "/api/info?token=", "/api/info?token=" + wrong,
           "/api/info?token=" + s.token().substr(0, 47), "/api/info?token=" + s.token() + "0",
           std::string("/api/window?f1=0"), std::string("/"), std::string("/kovview.js"),
           std::string("/nothing")}) {
    auto r = s.client().Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 403) << path;
    EXPECT_EQ(r->body.find("vel"), std::string::npos) << path << r->body;
    EXPECT_EQ(r->body.find("n1"), std::string::npos) << path << r->body;
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty()) << path;
  }
  // The page and its files live below /<token>/; no cookie is set, so
  // nothing the browser keeps grants access to anything.
  const std::string base = "/" + s.token() + "/";
  for (const std::string &path :
       {base, base + "kovview.js", base + "kovview.css", base + "api/info", base + "api/history"}) {
    auto r = s.client().Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty()) << path;
  }
  EXPECT_NE(s.client().Get(base)->body.find("kovview.js"), std::string::npos);
  for (const std::string &path :
       {"/" + wrong + "/", "/" + wrong + "/api/info", "/" + s.token().substr(0, 47) + "/kovview.js",
        "/x/" + s.token() + "/api/info", "/" + s.token()}) {
    auto r = s.client().Get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_NE(r->status, 200) << path;
    EXPECT_EQ(r->body.find("n1"), std::string::npos) << path;
  }
  auto cookie = s.client().Get(
      "/api/info", {{"Cookie", "kovview_" + std::to_string(s.port()) + "=" + s.token()}});
  ASSERT_TRUE(cookie);
  EXPECT_EQ(cookie->status, 403);
}

TEST(KovviewPage, TheDigestOfTheFirstScriptIsSha256) {
  // Standard vectors, and the lengths at which the padding takes a second block.
  EXPECT_EQ(kovview::sha256_base64(""), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
  EXPECT_EQ(kovview::sha256_base64("abc"), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
  EXPECT_EQ(kovview::sha256_base64(std::string(56, 'a')),
            "s1Q5pKxvCUi21vnjxq8PX1kM4g8b3nCQ73lwaG7Gc4o=");
  EXPECT_EQ(kovview::sha256_base64(std::string(64, 'a')),
            "/+BU/nrgy23GXDr5th1SCfQ5hR20PQulmXM33xVGaOs=");
}

TEST(KovviewPage, TheDescriptionCannotEndItsBlockAndOnlyTheFirstScriptAndStyleApply) {
  const std::string index = "<style>@KOVVIEW_STYLE@</style>"
                            "<script type=\"application/json\">@KOVVIEW_INFO@</script>"
                            "<script>@KOVVIEW_FIRST@</script>";
  // A title of the dataset that would end the block, or that holds a mark.
  const std::string info =
      R"({"title":"</script><script>alert(1)</script> @KOVVIEW_FIRST@ @KOVVIEW_STYLE@"})";
  auto made = kovview::make_page(index, info, "go();", "p{}");
  ASSERT_TRUE(std::holds_alternative<kovview::Page>(made)) << std::get<std::string>(made);
  const kovview::Page &page = std::get<kovview::Page>(made);
  EXPECT_EQ(page.html, "<style>p{}</style><script type=\"application/json\">{\"title\":\"\\u003c/"
                       "script>\\u003cscript>alert(1)\\u003c/script> @KOVVIEW_FIRST@ "
                       "@KOVVIEW_STYLE@\"}</script><script>go();</script>");
  EXPECT_NE(page.policy.find("script-src 'self' 'sha256-" + kovview::sha256_base64("go();") + "'"),
            std::string::npos)
      << page.policy;
  EXPECT_NE(page.policy.find("style-src 'self' 'sha256-" + kovview::sha256_base64("p{}") + "'"),
            std::string::npos)
      << page.policy;
  EXPECT_EQ(page.policy.find("unsafe"), std::string::npos) << page.policy;
  // A script or style that would end its own element or holds a mark, or a
  // page without its marks.
  for (const auto &[first, style] :
       std::vector<std::pair<std::string, std::string>>{{"a('</SCRIPT>')", ""},
                                                        {"", "p{}</Style><script>"},
                                                        {"", "<!--"},
                                                        {"a('@KOVVIEW_STYLE@')", ""},
                                                        {"", "/* @KOVVIEW_INFO@ */"}})
    EXPECT_TRUE(std::holds_alternative<std::string>(kovview::make_page(index, "{}", first, style)))
        << first << style;
  EXPECT_TRUE(std::holds_alternative<std::string>(
      kovview::make_page("<style>@KOVVIEW_STYLE@</style><script></script>", "{}", "", "")));
  EXPECT_TRUE(std::holds_alternative<std::string>(
      kovview::make_page(index + "@KOVVIEW_INFO@", "{}", "go();", "")));
  EXPECT_TRUE(std::holds_alternative<std::string>(kovview::make_page(
      "<script type=\"application/json\">@KOVVIEW_INFO@</script><script>@KOVVIEW_FIRST@</script>",
      "{}", "go();", "")));
}

TEST(KovviewServer, ThePageHoldsTheDescriptionAndNamesItsOneInlineScript) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  auto page = s.client().Get("/" + s.token() + "/");
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  const std::string &html = page->body;
  const std::string open = "<script type=\"application/json\" id=\"kovview-info\">";
  const std::size_t at = html.find(open);
  ASSERT_NE(at, std::string::npos);
  const std::size_t end = html.find("</script>", at);
  EXPECT_EQ(nlohmann::json::parse(html.substr(at + open.size(), end - at - open.size())),
            nlohmann::json::parse(s.get("/api/info")->body));
  const std::size_t script = html.find("<script>", end);
  ASSERT_NE(script, std::string::npos);
  const std::size_t stop = html.find("</script>", script);
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("'sha256-" +
                        kovview::sha256_base64(html.substr(script + 8, stop - script - 8)) + "'"),
            std::string::npos)
      << policy;
  EXPECT_EQ(policy.find("unsafe"), std::string::npos) << policy;
  EXPECT_EQ(html.find("<script>", stop), std::string::npos);
  // The style sheet is in the page, named by its hash; the page needs no
  // other file to be laid out.
  const std::size_t style = html.find("<style>");
  ASSERT_NE(style, std::string::npos);
  const std::size_t style_end = html.find("</style>", style);
  EXPECT_EQ(html.substr(style + 7, style_end - style - 7),
            s.client().Get("/" + s.token() + "/kovview.css")->body);
  EXPECT_NE(policy.find("style-src 'self' 'sha256-" +
                        kovview::sha256_base64(html.substr(style + 7, style_end - style - 7)) +
                        "'"),
            std::string::npos)
      << policy;
  EXPECT_EQ(html.find("stylesheet"), std::string::npos);
}

TEST(KovviewServer, RequestsForAnotherHostAreRefused) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const std::string path = "/api/info?token=" + s.token();
  for (const char *host : {"evil.example", "evil.example:8765", "127.0.0.1.evil.example",
                           "localhost.evil.example", "", "[::2]:80", "127.0.0.2"}) {
    auto r = s.client().Get(path, {{"Host", host}});
    ASSERT_TRUE(r) << host;
    EXPECT_EQ(r->status, 403) << host;
    EXPECT_EQ(r->body.find("axes"), std::string::npos) << host;
  }
  // A forwarded port may differ from the one listened on.
  for (const char *host : {"127.0.0.1:9999", "localhost:8765", "LOCALHOST", "[::1]:8765"}) {
    auto r = s.client().Get(path, {{"Host", host}});
    ASSERT_TRUE(r) << host;
    EXPECT_EQ(r->status, 200) << host;
  }
}

TEST(KovviewServer, HostileQueriesGet400WithAMessageAndTheServerGoesOn) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 n3=2 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const std::string ignore_case_long(3000, 'x');
  for (const std::string &q : std::vector<std::string>{"f1=-1",
                                                       "f1=500",
                                                       "n1=0",
                                                       "n1=-5",
                                                       "n1=501",
                                                       "f1=250&n1=251",
                                                       "f2=20",
                                                       "n2=99999999999",
                                                       "f1=abc",
                                                       "f1=1.5",
                                                       "f1=",
                                                       "f1=0x10",
                                                       "f1=1e3",
                                                       "n1=%31%30%30%30",
                                                       "f1=99999999999999999999",
                                                       "rows=0",
                                                       "rows=-1",
                                                       "rows=4097",
                                                       "cols=100000",
                                                       "axes=21",
                                                       "axes=14",
                                                       "axes=",
                                                       "n3=2",
                                                       "f3=2",
                                                       "format=xml",
                                                       "overview=max",
                                                       "view=16",
                                                       "view=-1",
                                                       "seq=-1",
                                                       "file=/etc/passwd",
                                                       "in=vel.H",
                                                       "f1=1&f1=2",
                                                       "f1=%zz",
                                                       "f1=%4",
                                                       ignore_case_long}) {
    auto r = s.get("/api/window?" + q);
    ASSERT_TRUE(r) << q;
    EXPECT_EQ(r->status, 400) << q << ": " << r->body;
    const json j = json::parse(r->body, nullptr, false);
    ASSERT_TRUE(j.is_object()) << q << ": " << r->body;
    EXPECT_TRUE(j["error"].is_string()) << q;
  }
  // Every check leaves the server answering.
  auto ok = s.get("/api/window?format=json&n1=2&n2=2");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200);
  // No path names a file.
  auto file = s.get("/../../etc/passwd");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->status, 404);
}

TEST(KovviewServer, ManyClientsAtOnceAreServedOrDroppedNeverQueuedWithoutBound) {
  TempDir dir;
  cube(dir, "vel.H", 500, 400, 4);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const json full = window_json(s, "f3=1&rows=50&cols=40");
  std::atomic<int> good{0}, dropped{0}, wrong{0}, lost{0};
  std::atomic<int> max_threads{0};
  std::atomic<bool> done{false};
  std::thread watch([&] {
    while (!done) {
      std::ifstream st("/proc/" + std::to_string(s.pid()) + "/task/../status");
      (void)st;
      int threads = 0;
      for (const auto &e : std::filesystem::directory_iterator(
               "/proc/" + std::to_string(s.pid()) + "/task",
               std::filesystem::directory_options::skip_permission_denied))
        (void)e, ++threads;
      max_threads = std::max(max_threads.load(), threads);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::thread> clients;
  for (int c = 0; c < 24; ++c)
    clients.emplace_back([&, c] {
      for (int k = 0; k < 8; ++k) {
        const std::string seq = std::to_string(c * 100 + k + 1);
        auto r =
            s.get("/api/window?format=json&f3=1&rows=50&cols=40&view=" + std::to_string(c % 4) +
                  "&seq=" + seq);
        if (!r) {
          ++lost;
          continue;
        }
        if (r->status == 409 || r->status == 503) {
          ++dropped;
          continue;
        }
        if (r->status == 200 && json::parse(r->body) == full)
          ++good;
        else
          ++wrong;
      }
    });
  for (std::thread &t : clients) t.join();
  done = true;
  watch.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_GT(good, 0);
  EXPECT_EQ(good + dropped, 24 * 8);
  // The main thread, the signal thread, the reader's helper and the fixed
  // pool.
  EXPECT_LE(max_threads, 28);
  auto after = s.get("/api/info");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

TEST(KovviewServer, AnOverTakenRequestOfAViewIsDroppedButNotThoseOfAnotherPage) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const auto status = [&](const std::string &q) {
    auto r = s.get("/api/window?format=json&n1=3&n2=3&" + q);
    return r ? r->status : -1;
  };
  EXPECT_EQ(status("client=7&view=0&seq=10"), 200);
  EXPECT_EQ(status("client=7&view=0&seq=5"), 409);
  EXPECT_EQ(status("client=7&view=0&seq=11"), 200);
  // A page opened again counts from 1, as does another view of the page.
  EXPECT_EQ(status("client=8&view=0&seq=1"), 200);
  EXPECT_EQ(status("client=7&view=1&seq=1"), 200);
  EXPECT_EQ(status("client=4294967296&seq=1"), 400);
}

// A window of another view (a zoom) is answered while an overview is
// being read, and a newer request of the overview's view ends the older
// read with 409.  The server holds its first window (KOVVIEW_HOLD) until
// the test lets it go, so nothing here depends on timing.
TEST(KovviewServer, AZoomIsAnsweredWhileAnOverviewIsReadAndANewerRequestEndsIt) {
  TempDir dir;
  cube(dir, "big.H", 512, 3000, 1);
  const std::string go = dir / "go";
  ViewServer s(dir, "KOVVIEW_HOLD='" + go + "' exec \"$kovview\" big.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const std::string q = "/api/window?format=json&rows=50&cols=50&client=5&";
  std::atomic<int> first{0};
  std::thread overview([&] {
    auto r = s.get(q + "view=0&seq=1");
    first = r ? r->status : -1;
  });
  for (int i = 0; i < 60000 && !std::filesystem::exists(go + ".held"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(std::filesystem::exists(go + ".held"));
  auto zoom = s.get(q + "view=1&seq=2&f2=100&n2=200");
  ASSERT_TRUE(zoom);
  EXPECT_EQ(zoom->status, 200) << zoom->body;
  EXPECT_EQ(first, 0); // still held
  auto newer = s.get(q + "view=0&seq=3");
  ASSERT_TRUE(newer);
  EXPECT_EQ(newer->status, 200) << newer->body;
  kovtest::write_file(go, ""); // in case the held read still waits
  overview.join();
  EXPECT_EQ(first, 409);
}

TEST(KovviewServer, EndsCleanlyOnEachSignal) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    ViewServer s(dir, "exec \"$kovview\" vel.H");
    ASSERT_TRUE(s.ready()) << s.errors();
    ASSERT_TRUE(s.get("/api/info"));
    ::kill(s.pid(), sig);
    EXPECT_EQ(s.wait(20), 0) << sig << s.errors();
  }
}

TEST(KovviewServer, TheParametersAreChecked) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  for (const char *p :
       {"port=-1", "port=65536", "port=99999999999999999999", "port=abc", "browser=maybe"}) {
    ViewServer s(dir, std::string("exec \"$kovview\" vel.H ") + p);
    EXPECT_EQ(s.wait(30), 23) << p;
    EXPECT_NE(s.errors().find(std::string(p).substr(0, std::string(p).find('='))),
              std::string::npos)
        << p << s.errors();
  }
  // A port given is the one listened on; taken already, it is an error.
  ViewServer a(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(a.ready());
  ViewServer b(dir, "exec \"$kovview\" vel.H port=" + std::to_string(a.port()));
  EXPECT_EQ(b.wait(30), 23);
  EXPECT_NE(b.errors().find("cannot listen on 127.0.0.1 port " + std::to_string(a.port())),
            std::string::npos)
      << b.errors();
}

TEST(KovviewServer, HelpPrintsTheManualPageAndNothingElse) {
  TempDir dir;
  kovtest::write_file(dir / "help.sh", "'" KOV_KOVVIEW "' --help > help.txt 2> err.txt\n");
  const int raw =
      std::system(("cd '" + dir.path().string() + "' && /bin/sh help.sh </dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  EXPECT_EQ(kovtest::read_file(dir / "help.txt"),
            kovhelp::render(kovtest::read_file(KOVVIEW_MANUAL)));
  EXPECT_EQ(kovtest::read_file(dir / "err.txt"), "");
}

TEST(KovviewQuery, TheTokenComparisonAndTheHostRule) {
  EXPECT_TRUE(kovview::same_token("abc", "abc"));
  EXPECT_FALSE(kovview::same_token("abd", "abc"));
  EXPECT_FALSE(kovview::same_token("ab", "abc"));
  EXPECT_FALSE(kovview::same_token("abcd", "abc"));
  EXPECT_FALSE(kovview::same_token("", "abc"));
  EXPECT_TRUE(kovview::host_allowed("localhost:1", "127.0.0.1"));
  EXPECT_TRUE(kovview::host_allowed("10.1.2.3:8765", "10.1.2.3"));
  EXPECT_FALSE(kovview::host_allowed("10.1.2.3:8765", "127.0.0.1"));
  EXPECT_FALSE(kovview::host_allowed("[::1", "127.0.0.1"));
  EXPECT_FALSE(kovview::host_allowed("[::1]x", "127.0.0.1"));
}

// Listening on every address, the server answers a Host naming the machine
// (its host name, its addresses) and still refuses foreign names.
TEST(KovviewQuery, AWildcardAddressAcceptsTheMachinesOwnNames) {
  std::array<char, 256> name{};
  ASSERT_EQ(::gethostname(name.data(), name.size() - 1), 0);
  const std::vector<std::string> names = kovview::machine_names("0.0.0.0");
  std::string lower(name.data());
  for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_TRUE(kovview::host_allowed(lower + ":8765", "0.0.0.0", names));
  EXPECT_TRUE(kovview::host_allowed(std::string(name.data()), "0.0.0.0", names));
  EXPECT_TRUE(kovview::host_allowed("127.0.0.1:8765", "0.0.0.0", names));
  EXPECT_NE(std::find(names.begin(), names.end(), "127.0.0.1"), names.end());
  for (const std::string &foreign : {std::string("evil.example"), std::string("evil.example:8765"),
                                     std::string(), std::string(":8765"), lower + ".evil.example"})
    EXPECT_FALSE(kovview::host_allowed(foreign, "0.0.0.0", names)) << foreign;
  // A given address: itself and the host names, not the other addresses.
  const std::vector<std::string> one = kovview::machine_names("10.1.2.3");
  EXPECT_TRUE(kovview::host_allowed("10.1.2.3:1", "10.1.2.3", one));
  EXPECT_TRUE(kovview::host_allowed(lower, "10.1.2.3", one));
  EXPECT_FALSE(kovview::host_allowed("10.1.2.4", "10.1.2.3", one));
}

// ---- the connection guard ---------------------------------------------------

using namespace std::chrono_literals;

TEST(KovviewGuard, TheHeadEndsAtItsBlankLineAndIsBoundedWhole) {
  std::size_t lines = 0;
  EXPECT_EQ(kovview::head_end("GET / HTTP/1.1\r\nA: b\r\n\r\nbody", lines), 24u);
  EXPECT_EQ(lines, 1u);
  EXPECT_EQ(kovview::head_end("GET / HTTP/1.1\nA: b\nC: d\n\n", lines), 26u);
  EXPECT_EQ(lines, 2u);
  EXPECT_EQ(kovview::head_end("\r\nGET / HTTP/1.1\r\n\r\n", lines), 20u);
  EXPECT_EQ(kovview::head_end("GET / HTTP/1.1\r\nA: b\r\n", lines), 0u);

  const auto pair = [] {
    std::array<int, 2> fd{};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd.data()), 0);
    return fd;
  };
  const kovview::HeadLimits limits{400ms, 256, 4};
  std::size_t end = 0;
  {
    auto fd = pair();
    const std::string head = "GET / HTTP/1.1\r\nHost: x\r\n\r\nGET";
    ASSERT_EQ(::write(fd[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
    std::string buffer;
    EXPECT_EQ(kovview::read_head(fd[0], buffer, end, limits, 400ms), kovview::Head::Complete);
    EXPECT_EQ(buffer.substr(end), "GET");
    ::close(fd[0]), ::close(fd[1]);
  }
  // Lines or bytes beyond the limits, whether the blank line came or not.
  for (const std::string &head :
       {std::string("GET / HTTP/1.1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\nA: 1\r\n\r\n"),
        std::string("GET / HTTP/1.1\r\nA: ") + std::string(300, 'x'), std::string(20000, 'x')}) {
    auto fd = pair();
    std::thread writer([&] { (void)!::write(fd[1], head.data(), head.size()); });
    std::string buffer;
    EXPECT_EQ(kovview::read_head(fd[0], buffer, end, limits, 400ms), kovview::Head::TooLarge)
        << head.size();
    EXPECT_LE(buffer.size(), 257u);
    ::close(fd[0]);
    writer.join();
    ::close(fd[1]);
  }
  // A byte every 100 ms: the deadline is the head's, not the byte's.
  {
    auto fd = pair();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      while (!stop) {
        (void)!::write(fd[1], "G", 1);
        std::this_thread::sleep_for(100ms);
      }
    });
    std::string buffer;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kovview::read_head(fd[0], buffer, end, limits, 400ms), kovview::Head::Late);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    stop = true;
    writer.join();
    ::close(fd[0]), ::close(fd[1]);
  }
  // Nothing at all, or a peer that hangs up before a byte: idle.
  {
    auto fd = pair();
    std::string buffer;
    EXPECT_EQ(kovview::read_head(fd[0], buffer, end, limits, 100ms), kovview::Head::Idle);
    ::close(fd[1]);
    EXPECT_EQ(kovview::read_head(fd[0], buffer, end, limits, 100ms), kovview::Head::Idle);
    ::close(fd[0]);
  }
  kovview::Clients clients(2);
  EXPECT_TRUE(clients.take("a"));
  EXPECT_TRUE(clients.take("a"));
  EXPECT_FALSE(clients.take("a"));
  EXPECT_TRUE(clients.take("b"));
  clients.give("a");
  EXPECT_TRUE(clients.take("a"));
  EXPECT_EQ(clients.held("a"), 2);
}

// Texts that are not UTF-8 (a Latin-1 unit, label and file name) are sent
// with the invalid bytes replaced, never a 500 or an exception's text.
TEST(KovviewServer, TextsThatAreNotUtf8AreSentWithTheirBytesReplaced) {
  TempDir dir;
  const std::string name = "caf\xe9.H";
  kovtest::write_file(dir / (name + "@"), std::string(6 * 5 * 4, '\0'));
  kovtest::write_file(dir / name, "n1=6 n2=5 label1=\"Stra\xdf"
                                  "e\" unit1=\"\xb5s\" "
                                  "data_format=\"native_float\" esize=4 in=\"" +
                                      (dir / (name + "@")) + "\"\n");
  ViewServer s(dir, "exec \"$kovview\" '" + name + "'");
  ASSERT_TRUE(s.ready()) << s.errors();
  auto info = s.get("/api/info");
  ASSERT_TRUE(info);
  ASSERT_EQ(info->status, 200) << info->body;
  const json j = json::parse(info->body, nullptr, false);
  ASSERT_TRUE(j.is_object()) << info->body;
  EXPECT_EQ(j["axes"][0]["unit"], "\xef\xbf\xbds");
  EXPECT_EQ(j["axes"][0]["label"], "Stra\xef\xbf\xbd"
                                   "e");
  EXPECT_EQ(j["title"], "caf\xef\xbf\xbd.H");
  for (const auto &[key, value] : info->headers)
    EXPECT_EQ(value.find("exception"), std::string::npos);
  auto history = s.get("/api/history");
  ASSERT_TRUE(history);
  EXPECT_EQ(history->status, 200);
  EXPECT_NE(history->body.find("\xb5s"), std::string::npos);
  EXPECT_EQ(window_json(s, "n1=2&n2=2")["rows"], 2);
}

// A dataset replaced on disk (a rename over its header or data file) is
// not shown as the old one: window requests are answered with a message.
TEST(KovviewServer, ADatasetReplacedOnDiskIsReported) {
  for (const char *which : {"d.H@", "d.H"}) {
    TempDir dir;
    hand_dataset(dir, "d.H", "n1=6 n2=5", std::string(120, '\0'), "native_float", 4);
    ViewServer s(dir, "exec \"$kovview\" d.H");
    ASSERT_TRUE(s.ready()) << s.errors();
    EXPECT_EQ(window_json(s, "n1=2&n2=2")["rows"], 2);
    const std::string old = kovtest::read_file(dir / which);
    kovtest::write_file(dir / "new", old);
    ASSERT_EQ(std::rename((dir / "new").c_str(), (dir / which).c_str()), 0);
    auto r = s.get("/api/window?format=json&n1=2&n2=2");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 410) << which;
    EXPECT_EQ(json::parse(r->body)["error"], "the dataset changed on disk \u2014 reload");
  }
}

// A raw connection to the server from `from` (any 127.x.y.z address).
int connect_raw(int port, const char *from = "127.0.0.1") {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void send_text(int fd, const std::string &text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t r = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return;
    sent += static_cast<std::size_t>(r);
  }
}

// What the server sends within `wait` (until it closes or `wait` passes).
std::string answer(int fd, std::chrono::milliseconds wait, std::size_t enough = 1 << 16) {
  std::string got;
  const auto until = std::chrono::steady_clock::now() + wait;
  std::array<char, 8192> chunk{};
  while (got.size() < enough) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t r = ::recv(fd, chunk.data(), chunk.size(), 0);
    if (r <= 0) break;
    got.append(chunk.data(), static_cast<std::size_t>(r));
  }
  return got;
}

std::string request(const ViewServer &s, const std::string &path, const std::string &more = "") {
  return "GET /" + s.token() + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
}

TEST(KovviewServer, SlowSendersAreCutOffAndOthersServed) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  // Ten connections sending their head one byte every 300 ms.
  std::vector<int> slow;
  for (int i = 0; i < 10; ++i) slow.push_back(connect_raw(s.port()));
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    const std::string head = request(s, "/api/info");
    for (std::size_t k = 0; k < head.size() - 2 && !stop; ++k) {
      for (const int fd : slow) send_text(fd, head.substr(k, 1));
      std::this_thread::sleep_for(300ms);
    }
  });
  std::this_thread::sleep_for(200ms);
  // Others are answered meanwhile, from the same address or another.
  for (const char *from : {"127.0.0.1", "127.0.0.2"}) {
    const int fd = connect_raw(s.port(), from);
    ASSERT_GE(fd, 0) << from;
    send_text(fd, request(s, "/api/info", "Connection: close\r\n"));
    EXPECT_TRUE(answer(fd, 3s).starts_with("HTTP/1.1 200")) << from;
    ::close(fd);
  }
  // The slow ones are cut off when their head is late, however steady
  // their bytes.
  for (const int fd : slow) {
    EXPECT_TRUE(answer(fd, 8s).starts_with("HTTP/1.1 408"));
    ::close(fd);
  }
  stop = true;
  sender.join();

  // One address holds a few connections at once; beyond, a quick 503,
  // while another address is served.
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(connect_raw(s.port()));
  std::this_thread::sleep_for(200ms);
  const int over = connect_raw(s.port());
  send_text(over, request(s, "/api/info"));
  EXPECT_TRUE(answer(over, 2s).starts_with("HTTP/1.1 503"));
  ::close(over);
  const int other = connect_raw(s.port(), "127.0.0.3");
  send_text(other, request(s, "/api/info", "Connection: close\r\n"));
  EXPECT_TRUE(answer(other, 2s).starts_with("HTTP/1.1 200"));
  ::close(other);
  for (const int fd : idle) ::close(fd);
}

TEST(KovviewServer, HeaderLinesAndHeadSizeAreCapped) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  std::string many;
  for (int i = 0; i < 200; ++i) many += "X-Line-" + std::to_string(i) + ": 1\r\n";
  // Endless lines: the server answers once the cap is passed and closes.
  std::string endless;
  for (int i = 0; i < 100000; ++i) endless += "X-More: " + std::string(40, 'y') + "\r\n";
  for (const std::string &more :
       {many,
        "X-Big: " + std::string(7000, 'z') + "\r\nX-Big2: " + std::string(7000, 'z') +
            "\r\nX-Big3: " + std::string(7000, 'z') + "\r\n",
        endless}) {
    const int fd = connect_raw(s.port());
    std::thread writer([&] { send_text(fd, request(s, "/api/info", more)); });
    const std::string got = answer(fd, 5s);
    ::shutdown(fd, SHUT_RDWR);
    writer.join();
    ::close(fd);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 431")) << got.substr(0, 80);
  }
  // A head of usual size is answered.
  const int fd = connect_raw(s.port());
  std::string usual;
  for (int i = 0; i < 30; ++i) usual += "X-Line-" + std::to_string(i) + ": 1\r\n";
  send_text(fd, request(s, "/api/info", usual));
  EXPECT_TRUE(answer(fd, 3s).starts_with("HTTP/1.1 200"));
  ::close(fd);
}

TEST(KovviewServer, ABurstOfConnectionsIsAnsweredOrQuicklyRefused) {
  TempDir dir;
  ASSERT_EQ(shell(dir, "$velmodel n1=500 n2=20 > vel.H 2>/dev/null"), 0);
  ViewServer s(dir, "exec \"$kovview\" vel.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  constexpr int kBurst = 200;
  std::vector<pollfd> fds;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(s.port()));
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  for (int i = 0; i < kBurst; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    (void)::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    fds.push_back({fd, POLLOUT, 0});
  }
  std::vector<std::string> got(kBurst);
  std::vector<bool> sent(kBurst, false), done(kBurst, false);
  const std::string head = request(s, "/api/info", "Connection: close\r\n");
  const auto until = std::chrono::steady_clock::now() + 10s;
  int finished = 0;
  while (finished < kBurst && std::chrono::steady_clock::now() < until) {
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (int i = 0; i < kBurst; ++i) {
      pollfd &p = fds[static_cast<std::size_t>(i)];
      if (done[i] || p.revents == 0) continue;
      if (!sent[i] && (p.revents & POLLOUT)) {
        send_text(p.fd, head);
        sent[i] = true;
        p.events = POLLIN;
        continue;
      }
      std::array<char, 4096> chunk{};
      const ssize_t r = ::recv(p.fd, chunk.data(), chunk.size(), 0);
      if (r > 0) got[i].append(chunk.data(), static_cast<std::size_t>(r));
      if (r <= 0 && errno != EAGAIN) {
        done[i] = true;
        ++finished;
        p.events = 0;
      }
    }
  }
  int served = 0, refused = 0;
  for (int i = 0; i < kBurst; ++i) {
    if (got[i].starts_with("HTTP/1.1 200")) ++served;
    if (got[i].starts_with("HTTP/1.1 503")) ++refused;
    ::close(fds[static_cast<std::size_t>(i)].fd);
  }
  EXPECT_EQ(served + refused, kBurst) << served << " served, " << refused << " refused";
  EXPECT_GT(served, 0);
}

TEST(KovviewServer, ASlowReaderBlocksNobodyAndABodyIsRefusedAtOnce) {
  TempDir dir;
  // 2048 traces of 4096 samples: a window of the whole is 32 MiB.
  hand_dataset(dir, "big.H", "n1=4096 n2=2048", std::string(std::size_t{4096} * 2048 * 4, '\0'),
               "native_float", 4);
  ViewServer s(dir, "exec \"$kovview\" big.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  std::vector<int> readers;
  for (const char *from : {"127.0.0.2", "127.0.0.3"}) {
    const int fd = connect_raw(s.port(), from);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    send_text(fd, request(s, "/api/window?rows=4096&cols=2048"));
    readers.push_back(fd);
  }
  // Both answers were read and their sending began.
  for (const int fd : readers) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 60000), 1);
  }
  httplib::Client c("127.0.0.1", s.port());
  c.set_read_timeout(3);
  auto r = c.Get("/" + s.token() + "/api/window?format=json&n1=10&n2=10");
  ASSERT_TRUE(r) << "no answer within 3 s while two clients do not read";
  EXPECT_EQ(r->status, 200);
  // A POST with a body of 100 MB is answered before its body is sent.
  const int post = connect_raw(s.port());
  send_text(post, "POST /" + s.token() +
                      "/api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\n" +
                      std::string(65536, 'p'));
  const std::string got = answer(post, 2s);
  EXPECT_TRUE(got.starts_with("HTTP/1.1 405") || got.starts_with("HTTP/1.1 413"))
      << got.substr(0, 60);
  ::close(post);
  for (const int fd : readers) ::close(fd);
}

} // namespace

// The trace header table's query: a range of traces, a page of it, a key
// to sort by; everything else is refused with a message.
TEST(KovviewHeaders, TheTableQueryIsChecked) {
  const auto request = [](std::string_view q, bool whole = false) {
    return kovview::parse_headers(q, 1000, 3, whole);
  };
  const auto r = std::get<kovview::HeaderRequest>(
      request("first=10&count=20&offset=5&limit=7&sort=3&order=desc&token=x"));
  EXPECT_EQ(r.first, 10);
  EXPECT_EQ(r.count, 20);
  EXPECT_EQ(r.offset, 5);
  EXPECT_EQ(r.limit, 7);
  EXPECT_EQ(r.sort, 3);
  EXPECT_TRUE(r.descending);
  const auto all = std::get<kovview::HeaderRequest>(request("first=990"));
  EXPECT_EQ(all.count, 10);
  EXPECT_EQ(std::get<kovview::HeaderRequest>(request("", true)).limit, 1000);
  for (const char *bad : {"first=-1", "first=1000", "count=0", "first=5&count=996", "offset=-1",
                          "limit=0", "limit=1001", "sort=4", "sort=-1", "order=up", "sort=x",
                          "first=99999999999999999999999", "rows=3", "first=1&first=2"}) {
    const auto got = request(bad);
    ASSERT_TRUE(std::holds_alternative<std::string>(got)) << bad;
    EXPECT_FALSE(std::get<std::string>(got).empty()) << bad;
  }
  EXPECT_NE(std::get<std::string>(request("limit=1001")).find("1 to 1000"), std::string::npos);
  EXPECT_TRUE(std::holds_alternative<kovview::HeaderRequest>(request("limit=1000", true)));
  EXPECT_TRUE(std::holds_alternative<std::string>(
      kovview::parse_headers("sort=1", kovview::kMaxSorted + 1, 1)));
}

// Header values as the server sends them: integers, floats that read back
// as the same 4-byte floats, non-finite floats named, a key of a format
// it cannot read as null, traces without a record as null; sorted with
// those last, ties in the traces' order.
TEST(KovviewHeaders, PagesAreSortedByTheServerAndSayWhatIsMissing) {
  TempDir dir;
  const int traces = 8;
  const std::size_t records = 7;
  kovtest::write_file(dir / "k.H@", std::string(4 * 4 * traces, '\0'));
  kovtest::write_file(dir / "k.H", "n1=4 n2=" + std::to_string(traces) +
                                       " data_format=xdr_float esize=4 hff=\"" + (dir / "k.H@@") +
                                       "\" in=\"" + (dir / "k.H@") + "\"\n");
  const float inf = std::numeric_limits<float>::infinity(),
              nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> sx{2.5f, nan, -inf, 0.1f, 2.5f, inf, -3.0f};
  const std::vector<std::int32_t> offset{5, -2, 7, 5, -2147483647 - 1, 0, 2147483647};
  std::string bytes;
  const auto word = [&bytes](std::uint32_t w) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>((w >> shift) & 0xff);
  };
  for (std::size_t i = 0; i < records; ++i) {
    word(static_cast<std::uint32_t>(offset[i]));
    word(std::bit_cast<std::uint32_t>(sx[i]));
    word(1);
  }
  kovtest::write_file(dir / "k.H@@@", bytes);
  kovtest::write_file(dir / "k.H@@",
                      "n1=3 n2=" + std::to_string(records) +
                          "\n\t hdrkey1=\"offset\" hdrtype1=\"scalar_int\" hdrfmt1=\"xdr_int\"\n"
                          "\t hdrkey2=\"sx\" hdrtype2=\"scalar_float\" hdrfmt2=\"xdr_float\"\n"
                          "\t hdrkey3=\"odd\" hdrtype3=\"scalar_int\" hdrfmt3=\"xdr_short\"\n"
                          "data_format=xdr_float esize=4 in=\"" +
                          (dir / "k.H@@@") + "\"\n");
  ViewServer s(dir, "exec \"$kovview\" k.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  const json info = json::parse(s.get("/api/info")->body);
  ASSERT_EQ(info["keys"].size(), 3u);
  EXPECT_EQ(info["keys"][1]["name"], "sx");
  EXPECT_EQ(info["records"], records);
  EXPECT_NE(s.errors().find("7 header records for 8 traces"), std::string::npos) << s.errors();

  auto page = s.get("/api/headers?limit=8");
  ASSERT_EQ(page->status, 200) << page->body;
  EXPECT_EQ(page->body, "{\"total\":8,\"offset\":0,\"rows\":[[0,5,2.5,null],[1,-2,\"NaN\",null],"
                        "[2,7,\"-Infinity\",null],[3,5,0.1,null],[4,-2147483648,2.5,null],"
                        "[5,0,\"Infinity\",null],[6,2147483647,-3,null],[7,null,null,null]]}");
  const auto order = [&](const std::string &q) {
    auto r = s.get("/api/headers?" + q);
    EXPECT_EQ(r->status, 200) << r->body;
    std::vector<int> traces_seen;
    const json j = json::parse(r->body);
    for (const json &row : j["rows"]) traces_seen.push_back(row[0].get<int>());
    return traces_seen;
  };
  EXPECT_EQ(order("sort=1"), (std::vector<int>{4, 1, 5, 0, 3, 2, 6, 7}));
  EXPECT_EQ(order("sort=1&order=desc"), (std::vector<int>{6, 2, 0, 3, 5, 1, 4, 7}));
  EXPECT_EQ(order("sort=2"), (std::vector<int>{2, 6, 3, 0, 4, 5, 1, 7}));
  EXPECT_EQ(order("sort=2&order=desc"), (std::vector<int>{5, 0, 4, 3, 6, 2, 1, 7}));
  EXPECT_EQ(order("sort=2&order=desc&first=2&count=4&offset=1&limit=2"), (std::vector<int>{4, 3}));

  auto csv = s.get("/api/headers.csv?sort=2");
  ASSERT_EQ(csv->status, 200);
  EXPECT_EQ(csv->body,
            "trace,i2,i3,\"offset\",\"sx\",\"odd\"\n2,2,0,7,-inf,\n6,6,0,2147483647,-3,\n"
            "3,3,0,5,0.1,\n0,0,0,5,2.5,\n4,4,0,-2147483648,2.5,\n5,5,0,0,inf,\n"
            "1,1,0,-2,nan,\n7,7,0,,,\n");
  EXPECT_EQ(s.get("/api/headers?limit=1001")->status, 400);
  EXPECT_EQ(s.get("/api/headers?first=8")->status, 400);

  // Every answer goes out as it is, whatever the client accepts: the
  // page, its files, tables, the export and the errors.
  const httplib::Headers accepts{{"Accept-Encoding", "gzip, deflate, br"}};
  for (const std::string path : {"/", "/views.js", "/api/info", "/api/headers?limit=8",
                                 "/api/headers.csv?sort=2", "/api/headers?limit=1001"}) {
    auto plain = s.client().Get("/" + s.token() + path);
    auto asked = s.client().Get("/" + s.token() + path, accepts);
    ASSERT_TRUE(plain && asked) << path;
    EXPECT_FALSE(asked->has_header("Content-Encoding")) << path;
    EXPECT_EQ(asked->body, plain->body) << path;
  }
}

TEST(KovviewHeaders, ADatasetWithoutTraceHeadersHasNoTable) {
  TempDir dir;
  kovtest::write_file(dir / "d.H@", std::string(4 * 4 * 3, '\0'));
  kovtest::write_file(dir / "d.H", "n1=4 n2=3 hff=-1 data_format=xdr_float esize=4 in=\"" +
                                       (dir / "d.H@") + "\"\n");
  ViewServer s(dir, "exec \"$kovview\" d.H");
  ASSERT_TRUE(s.ready()) << s.errors();
  EXPECT_EQ(json::parse(s.get("/api/info")->body)["keys"], json::array());
  auto page = s.get("/api/headers");
  EXPECT_EQ(page->status, 404);
  EXPECT_NE(page->body.find("no trace headers"), std::string::npos);
}

// Whole traces copied out of the data file, or stacked through a mapping of
// it (KOVVIEW_READ=map), give the same values, for every overview.
TEST(KovviewReader, MappedAndCopiedTracesGiveTheSameWindows) {
  TempDir dir;
  cube(dir, "big.H", 2048, 2100, 1); // 17 MiB: read on several threads
  ViewServer mapped(dir, "KOVVIEW_READ=map exec \"$kovview\" big.H");
  ViewServer copied(dir, "exec \"$kovview\" big.H");
  ASSERT_TRUE(mapped.ready()) << mapped.errors();
  ASSERT_TRUE(copied.ready()) << copied.errors();
  for (const char *overview : {"mean", "rms", "peak"})
    for (const char *q : {"rows=200&cols=300", "rows=150&cols=7&f2=100&n2=1001"}) {
      const std::string query = std::string(q) + "&overview=" + overview;
      const json a = window_json(mapped, query), b = window_json(copied, query);
      ASSERT_EQ(a["values"].size(), b["values"].size()) << query;
      EXPECT_EQ(a, b) << query;
    }
  // And the mean of a cell is the mean of its samples.
  const json one = window_json(mapped, "rows=1&cols=1&f2=7&n2=3");
  const std::vector<double> all =
      library_window(dir / "big.H", {2048, 2100, 1}, {2048, 3, 1}, {0, 7, 0}, 4, "xdr_float");
  double sum = 0;
  for (const double v : all) sum += v;
  EXPECT_FLOAT_EQ(one["values"][0].get<float>(), static_cast<float>(sum / all.size()));
}

// A window of many samples is shared by threads, which take columns as
// they go: every column is there, and equals the same column read alone
// (a window small enough for one thread).
TEST(KovviewReader, AWindowSharedByThreadsEqualsItsColumnsReadAlone) {
  TempDir dir;
  cube(dir, "big.H", 2048, 2100, 1); // 17 MiB: read on several threads
  for (const char *how : {"", "KOVVIEW_READ=map "}) {
    ViewServer s(dir, std::string(how) + "exec \"$kovview\" big.H");
    ASSERT_TRUE(s.ready()) << s.errors();
    const json whole = window_json(s, "rows=200&cols=300&overview=rms");
    ASSERT_EQ(whole["values"].size(), 200u * 300u);
    for (const int col : {0, 1, 9, 10, 149, 150, 151, 290, 299}) {
      const json one =
          window_json(s, "rows=200&cols=1&overview=rms&f2=" + std::to_string(col * 7) + "&n2=7");
      ASSERT_EQ(one["values"].size(), 200u);
      for (std::size_t r = 0; r < 200; ++r) {
        ASSERT_FALSE(whole["values"][r * 300 + static_cast<std::size_t>(col)].is_null())
            << how << col;
        ASSERT_EQ(whole["values"][r * 300 + static_cast<std::size_t>(col)], one["values"][r])
            << how << " column " << col << " row " << r;
      }
    }
  }
}

// A data file cut while the server reads it through a mapping: the read
// fails with a message (the bus error of the missing pages is caught).
TEST(KovviewReader, AFileCutWhileMappedFailsTheWindowNotTheServer) {
  TempDir dir;
  const std::int64_t n1 = 1024, n2 = 8192; // 32 MiB
  const std::string path = dir / "d.H@";
  kovtest::write_file(path, std::string(static_cast<std::size_t>(n1 * n2 * 4), '\x01'));
  kovview::Reader reader(kovview::Element::NativeFloat, 4, {n1, n2, 1});
  ASSERT_TRUE(reader.read_directly(path, true));
  auto parsed = kovview::parse_window("rows=100&cols=100", {n1, n2, 1});
  const auto &w = std::get<kovview::WindowRequest>(parsed);
  std::vector<float> out;
  int rows = 0, cols = 0;
  EXPECT_EQ(reader.read(w, out, rows, cols), std::nullopt);
  ASSERT_EQ(::truncate(path.c_str(), n1 * n2 * 2), 0);
  const auto failed = reader.read(w, out, rows, cols);
  ASSERT_TRUE(failed.has_value());
  EXPECT_NE(failed->find("short or unreadable"), std::string::npos) << *failed;
}

// The overview the reader's vector loops make, against the plain order of
// the sums written out here: each sample summed over the traces of its
// cell in their order (doubles), those sums over the samples of the cell
// in theirs, the peak the first sample of the largest magnitude, samples
// that are not finite left out.  Every instruction set the processor has
// gives these values bit for bit, for every element format and overview,
// and the peaks made in the pass of a mean (also=peak) equal the peak
// overview's.
TEST(KovviewReader, EveryInstructionSetGivesThePlainSumsBitForBit) {
  TempDir dir;
  const std::int64_t n1 = 203, n2 = 3001; // 2.4 MB of floats, one thread
  std::vector<double> v(static_cast<std::size_t>(n1 * n2));
  std::uint64_t x = 88172645463325252ull;
  const auto next = [&] {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    return x;
  };
  for (double &s : v)
    s = static_cast<double>(static_cast<std::int64_t>(next() % 2000001) - 1000000);
  struct Format {
    kovview::Element element;
    int esize;
  };
  for (const Format f :
       {Format{kovview::Element::XdrFloat, 4}, Format{kovview::Element::NativeFloat, 4},
        Format{kovview::Element::XdrInt, 4}, Format{kovview::Element::Byte, 1}}) {
    const bool floats = f.esize == 4 && f.element != kovview::Element::XdrInt;
    std::string bytes(v.size() * static_cast<std::size_t>(f.esize), '\0');
    std::vector<double> value(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
      std::uint32_t w = 0;
      if (f.esize == 1) {
        value[i] = static_cast<double>(next() % 256);
        bytes[i] = static_cast<char>(static_cast<unsigned char>(value[i]));
        continue;
      }
      if (floats) {
        // Values of many magnitudes (sums that round), and some that are
        // not finite, negative zeros and subnormals.
        float s = static_cast<float>(v[i] * std::ldexp(1.0, static_cast<int>(next() % 60) - 30));
        const std::uint64_t pick = next() % 97;
        if (pick == 0) s = std::numeric_limits<float>::quiet_NaN();
        if (pick == 1) s = -std::numeric_limits<float>::infinity();
        if (pick == 2) s = -0.0f;
        if (pick == 3) s = std::numeric_limits<float>::denorm_min() * 3;
        value[i] = std::isfinite(s) ? s : std::numeric_limits<double>::quiet_NaN();
        std::memcpy(&w, &s, 4);
      } else {
        const auto s = static_cast<std::int32_t>(v[i] * 2000);
        value[i] = s;
        std::memcpy(&w, &s, 4);
      }
      if (f.element != kovview::Element::NativeFloat) w = htonl(w);
      std::memcpy(bytes.data() + 4 * i, &w, 4);
    }
    const std::string path = dir / "d.H@";
    kovtest::write_file(path, bytes);
    // Cells of 12 or 13, 143, 1 and 2 traces: the traces are stacked four
    // at a time, and every count left over (0 to 3) is taken.
    for (const char *q : {"rows=60&cols=250", "rows=203&cols=7&f2=100&n2=1001", "rows=9&cols=3001",
                          "rows=1&cols=1&f1=3&n1=17&f2=5&n2=2"}) {
      auto parsed = kovview::parse_window(q, {n1, n2, 1});
      const auto &w = std::get<kovview::WindowRequest>(parsed);
      const std::int64_t np = w.count[0], nq = w.count[1];
      const std::int64_t mr = kovview::cells(np, w.rows), mc = kovview::cells(nq, w.cols);
      // The plain order.
      std::vector<float> mean(static_cast<std::size_t>(mr * mc)), rms(mean.size()),
          peak(mean.size());
      for (std::int64_t r = 0; r < mr; ++r)
        for (std::int64_t c = 0; c < mc; ++c) {
          double sum = 0, squares = 0, top = 0;
          std::int64_t count = 0;
          for (std::int64_t p = kovview::cell_start(r, mr, np);
               p < kovview::cell_start(r + 1, mr, np); ++p) {
            double s = 0, s2 = 0, t = 0;
            for (std::int64_t q = kovview::cell_start(c, mc, nq);
                 q < kovview::cell_start(c + 1, mc, nq); ++q) {
              const double y =
                  value[static_cast<std::size_t>((w.first[1] + q) * n1 + w.first[0] + p)];
              if (std::isnan(y)) continue;
              s += y, s2 += y * y, ++count;
              if (std::abs(y) > std::abs(t)) t = y;
            }
            sum += s, squares += s2;
            if (std::abs(t) > std::abs(top)) top = t;
          }
          const auto at = static_cast<std::size_t>(r * mc + c);
          const double nan = std::numeric_limits<double>::quiet_NaN();
          mean[at] = static_cast<float>(count ? sum / static_cast<double>(count) : nan);
          rms[at] =
              static_cast<float>(count ? std::sqrt(squares / static_cast<double>(count)) : nan);
          peak[at] = static_cast<float>(count ? top : nan);
        }
      const auto bits = [](const std::vector<float> &a) {
        std::vector<std::uint32_t> b(a.size());
        std::memcpy(b.data(), a.data(), a.size() * 4);
        return b;
      };
      for (const kovview::Simd simd : {kovview::Simd::Plain, kovview::Simd::Avx2}) {
        kovview::Reader reader(f.element, f.esize, {n1, n2, 1});
        ASSERT_TRUE(reader.read_directly(path));
        if (!reader.use(simd)) continue; // the processor lacks it
        const std::string what = std::string(q) + " simd " +
                                 std::to_string(static_cast<int>(simd)) + " element " +
                                 std::to_string(static_cast<int>(f.element));
        for (const auto &[o, want] :
             {std::pair{kovview::Overview::Mean, &mean}, std::pair{kovview::Overview::Rms, &rms},
              std::pair{kovview::Overview::Peak, &peak}}) {
          kovview::WindowRequest asked = w;
          asked.overview = o;
          std::vector<float> out, peaks;
          int rows = 0, cols = 0;
          ASSERT_EQ(reader.read(asked, out, rows, cols, {}, &peaks), std::nullopt) << what;
          ASSERT_EQ(rows, mr);
          ASSERT_EQ(cols, mc);
          EXPECT_EQ(bits(out), bits(*want)) << what << " overview " << static_cast<int>(o);
          if (o != kovview::Overview::Peak) {
            EXPECT_EQ(bits(peaks), bits(peak)) << what;
          }
        }
      }
    }
  }
}
