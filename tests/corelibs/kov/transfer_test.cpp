// SPDX-License-Identifier: Apache-2.0
// Element formats and transfer of samples through sreed and srite.
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <rpc/xdr.h>
#include <string>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

// Sizes of the calls a record makes to its back end.
std::vector<long> transfers;
kov_write_fn real_write = nullptr;
kov_read_fn real_read = nullptr;

long counting_write(streaminf *r, void *io, const char *buf, long n) {
  transfers.push_back(n);
  return real_write(r, io, buf, n);
}

long counting_read(streaminf *r, void *io, char *buf, long n) {
  transfers.push_back(n);
  return real_read(r, io, buf, n);
}

// An output dataset with its header in dir/h.H and its data in dir/h.H@,
// read back afterwards through the tag "back".
struct Output {
  TempDir dir;
  Output(std::initializer_list<std::string> extra = {}) {
    if (!std::freopen("/dev/null", "r", stdin)) std::abort();
    std::vector<std::string> words = {"prog", "head=" + (dir / "h.H"), "back=" + (dir / "h.H"),
                                      "datapath=" + (dir / "")};
    words.insert(words.end(), extra.begin(), extra.end());
    static std::vector<std::string> storage;
    static std::vector<char *> pointers;
    storage = words;
    pointers.clear();
    for (auto &w : storage) pointers.push_back(w.data());
    pointers.push_back(nullptr);
    kov::detail::set_outputs_in_place(true); // read back in this process
    initpar(static_cast<int>(storage.size()), pointers.data());
  }
  std::string data() const { return kovtest::read_file(dir / "h.H@"); }
  std::string header() const { return kovtest::read_file(dir / "h.H"); }
};

uint32_t big_endian_word(const std::string &bytes, std::size_t i) {
  uint32_t w;
  std::memcpy(&w, bytes.data() + 4 * i, 4);
  return ntohl(w);
}

TEST(FormatNames, NumbersAndNames) {
  EXPECT_EQ(get_format_num("xdr_float"), 0);
  EXPECT_EQ(get_format_num("tmc_byte"), 7);
  EXPECT_EQ(get_format_num("XDR_FLOAT"), -1);
  EXPECT_EQ(get_format_num("native"), -1);
  char *name = get_format_name(3);
  EXPECT_STREQ(name, "native_float");
  std::free(name);
  EXPECT_EQ(get_format_name(-1), nullptr);
  EXPECT_EQ(get_format_name(8), nullptr);
}

TEST(Transfer, XdrFloatIsBigEndianAfterTheFormatLine) {
  Output out;
  const float v[8] = {1.0f,
                      -2.5f,
                      -0.0f,
                      3.0e8f,
                      std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::denorm_min(),
                      -1.0e-38f};
  EXPECT_EQ(srite("out", v, 32), 32);
  hclose();
  const std::string data = out.data();
  ASSERT_EQ(data.size(), 32u);
  for (int i = 0; i < 8; ++i) {
    uint32_t bits;
    std::memcpy(&bits, &v[i], 4);
    EXPECT_EQ(big_endian_word(data, i), bits) << i;
  }
  EXPECT_NE(out.header().find("\t\tdata_format=\"xdr_float\"\n"), std::string::npos);
}

// Writes convert through the fixed buffer; reads go to the back end whole
// and convert in the caller's buffer.
TEST(Transfer, ConvertedWritesInFixedChunksReadsWhole) {
  Output out;
  std::vector<float> v(20000);
  std::iota(v.begin(), v.end(), 0.5f);
  streaminf *r = tag_info("out", TAG_OUT);
  ASSERT_NE(output(), nullptr);
  real_write = r->write_func;
  r->write_func = counting_write;
  EXPECT_EQ(srite("out", v.data(), 80000), 80000);
  EXPECT_EQ(transfers, (std::vector<long>{16380, 16380, 16380, 16380, 14480}));
  hclose();
  auxclose("out");

  streaminf *in = tag_info("back", TAG_IN);
  ASSERT_EQ(in->format_num, 0);
  std::vector<float> back(20000);
  ASSERT_NE(auxin("back"), nullptr);
  real_read = in->read_func;
  in->read_func = counting_read;
  transfers.clear();
  EXPECT_EQ(sreed("back", back.data(), 80000), 80000);
  EXPECT_EQ(transfers, (std::vector<long>{80000}));
  EXPECT_EQ(back, v);
  EXPECT_EQ(sreed("back", back.data(), 400), 0) << "end of the data";
}

TEST(Transfer, ShortReadAtTheEndAndRawFormats) {
  Output out;
  std::vector<char> bytes(100);
  std::iota(bytes.begin(), bytes.end(), 0);
  EXPECT_EQ(srite2("out", bytes.data(), 100, "native_float"), 100);
  hclose();
  EXPECT_EQ(out.data(), std::string(bytes.begin(), bytes.end())) << "written unchanged";
  EXPECT_NE(out.header().find("data_format=\"native_float\""), std::string::npos);
  auxclose("out");

  std::vector<char> back(400, 'z');
  EXPECT_EQ(sreed("back", back.data(), 400), 100);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));
  EXPECT_EQ(back[100], 'z');
  char *format = get_format("back");
  EXPECT_STREQ(format, "native_float");
  std::free(format);
}

TEST(Transfer, IntsBytesAndPartialElementsRoundTrip) {
  Output out({"data_format=xdr_int"});
  const int ints[3] = {-1, 7, 1 << 30};
  EXPECT_EQ(srite("out", ints, 12), 12);
  const char bytes[7] = {'a', 'b', 'c', 'd', 'e', 'f', 'g'};
  EXPECT_EQ(srite2("out", bytes, 7, "xdr_byte"), 7);
  const float tail[2] = {1.5f, 2.5f};
  EXPECT_EQ(srite2("out", tail, 6, "xdr_float"), 6) << "a partial element is counted";
  hclose();
  const std::string data = out.data();
  ASSERT_EQ(data.size(), 25u);
  EXPECT_EQ(big_endian_word(data, 0), 0xffffffffu);
  EXPECT_EQ(big_endian_word(data, 2), 1u << 30);
  EXPECT_EQ(data.substr(12, 7), "abcdefg") << "bytes are stored as they are";
  EXPECT_NE(out.header().find("data_format=\"xdr_int\""), std::string::npos)
      << "the format line names the format of the first write";
  auxclose("out");

  int iback[3] = {};
  EXPECT_EQ(sreed("back", iback, 12), 12);
  EXPECT_EQ(iback[2], 1 << 30);
  char bback[8] = {};
  EXPECT_EQ(sreed2("back", bback, 7, "xdr_byte"), 7);
  EXPECT_STREQ(bback, "abcdefg");
  float fback[2] = {};
  EXPECT_EQ(sreed2("back", fback, 6, "xdr_float"), 6);
  EXPECT_EQ(fback[0], 1.5f);
}

// On each path of the byte-order conversion (KOV_SIMD) the processor has.
class TransferPaths : public testing::TestWithParam<const char *> {
protected:
  void SetUp() override {
#if defined(__x86_64__)
    if (std::string(GetParam()) == "avx2" && !__builtin_cpu_supports("avx2"))
      GTEST_SKIP() << "this processor has no AVX2";
#endif
    setenv("KOV_SIMD", GetParam(), 1);
  }
  void TearDown() override { unsetenv("KOV_SIMD"); }
};

INSTANTIATE_TEST_SUITE_P(Simd, TransferPaths, testing::Values("plain", "avx2"),
                         [](const testing::TestParamInfo<const char *> &p) {
                           return std::string(p.param);
                         });

TEST_P(TransferPaths, SameBytesAsTheXdrElementRoutines) {
  Output out;
  std::vector<float> v(5000);
  uint32_t seed = 12345;
  for (float &x : v) {
    seed = seed * 1664525u + 1013904223u;
    std::memcpy(&x, &seed, 4); // every bit pattern: NaNs, infinities, denormals
  }
  ASSERT_EQ(srite("out", v.data(), 20000), 20000);
  hclose();
  const std::string data = out.data();
  ASSERT_EQ(data.size(), 20000u);

  std::vector<char> expected(20000);
  XDR xdrs;
  xdrmem_create(&xdrs, expected.data(), 20000, XDR_ENCODE);
  ASSERT_TRUE(xdr_vector(&xdrs, reinterpret_cast<char *>(v.data()), 5000, sizeof(float),
                         reinterpret_cast<xdrproc_t>(xdr_float)));
  EXPECT_EQ(std::memcmp(data.data(), expected.data(), 20000), 0);

  std::vector<uint32_t> back(5000), decoded(5000);
  ASSERT_EQ(sreed("back", back.data(), 20000), 20000);
  xdrmem_create(&xdrs, const_cast<char *>(data.data()), 20000, XDR_DECODE);
  ASSERT_TRUE(xdr_vector(&xdrs, reinterpret_cast<char *>(decoded.data()), 5000, sizeof(float),
                         reinterpret_cast<xdrproc_t>(xdr_float)));
  EXPECT_EQ(back, decoded);
}

TEST_P(TransferPaths, XdrWordsInUnevenCallsAcrossTheGatheredMegabyte) {
  // 1.2 MB of ints in three calls, more than the back end gathers at once;
  // the last call ends two bytes into a word, which are stored as given.
  Output out({"data_format=xdr_int"});
  std::vector<uint32_t> words(300000);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = 0x9e3779b9u * (i + 1);
  const char *bytes = reinterpret_cast<const char *>(words.data());
  ASSERT_EQ(srite("out", bytes, 399996), 399996);
  ASSERT_EQ(srite("out", bytes + 399996, 600004), 600004);
  ASSERT_EQ(srite("out", bytes + 1000000, 199998), 199998);
  hclose();
  const std::string data = out.data();
  ASSERT_EQ(data.size(), 1199998u);
  for (std::size_t i = 0; i < 299999; ++i)
    ASSERT_EQ(big_endian_word(data, i), words[i]) << "word " << i;
  EXPECT_EQ(data.substr(1199996), std::string(bytes + 1199996, 2));
}

TEST(Transfer, ASecondProcessReadsEveryFormatBitForBit) {
  for (const char *format : {"xdr_float", "xdr_int", "native_float", "native_byte"}) {
    TempDir dir;
    std::vector<uint32_t> words(3000);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = 0x9e3779b9u * (i + 1);
    const auto writer = kovtest::run_child([&] {
      set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / ""),
                std::string("data_format=") + format});
      srite("out", words.data(), 12000);
      hclose();
    });
    ASSERT_EQ(writer.status, 0) << format << writer.err;
    const auto reader = kovtest::run_child(
        [&] {
          set_args({"prog"});
          std::vector<uint32_t> back(3000);
          const bool ok = sreed("in", back.data(), 12000) == 12000 && back == words &&
                          sreed("in", back.data(), 4) == 0;
          std::exit(ok ? 0 : 9);
        },
        dir / "h.H");
    EXPECT_EQ(reader.status, 0) << format << reader.err;
  }
}

TEST(TransferDeathTest, BadFormatsAndInvalidTags) {
  TempDir dir;
  if (!std::freopen("/dev/null", "r", stdin)) std::abort();
  write_file(dir / "nodata.H", "n1=5\n");
  set_args({"prog", "a=" + (dir / "nodata.H"), "head=" + (dir / "h.H"), "datapath=" + (dir / "")});
  float f[4];
  EXPECT_EXIT(sreed("a", f, 16), fatal_exit(), "sreed\\(\\): invalid input tag a\n");
  EXPECT_EXIT(sreed2("a", f, 16, "floats"), fatal_exit(),
              "sreed2\\(\\): Unknown format name \"floats\" for tag \"a\" \n");
  EXPECT_EXIT(srite2("out", f, 16, "floats"), fatal_exit(),
              "srite2\\(\\): Unknown format name \"floats\" for tag \"out\" \n");
  EXPECT_EXIT(set_format("out", "bad"), fatal_exit(),
              "set_format\\( out , bad \\): unknown format ");
  EXPECT_EQ(sreed("a", f, 0), 0);
  EXPECT_EQ(srite("out", f, 0), 0) << "nothing is opened for an empty write";
  EXPECT_EQ(tag_info("out", TAG_INQUIRE), nullptr);
}

} // namespace
