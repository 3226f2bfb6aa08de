// SPDX-License-Identifier: Apache-2.0
// The descriptor and stream back ends, seeking by tag and in blocks.
#include <kov/kovlib.h>

#include "backend_util.h"
#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::read_file;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

using kovtest::InDir;

using kovtest::get;
using kovtest::opened;
using kovtest::put;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

// Every seek a record's back end receives.
kov_seek_fn real_seek = nullptr;
std::vector<std::pair<kov_off_t, int>> seeks;
kov_off_t counting_seek(streaminf *r, void *ioinf, kov_off_t offset, int whence) {
  seeks.emplace_back(offset, whence);
  return real_seek(r, ioinf, offset, whence);
}

TEST(Backend, BackEndFollowsTheDataName) {
  const std::pair<const char *, IOtyp> cases[] = {{"stdin", FILE_IO},
                                                  {"follow_hdr", FILE_IO},
                                                  {"stdout", FILE_IO},
                                                  {"/d/a@;/d/a@1", MULTI_FD_IO},
                                                  {"/d/a@", FD_IO}};
  for (const auto &[name, type] : cases) {
    streaminf r;
    r.entrytype = STREAMIN;
    r.dataname = name;
    init_io(&r);
    EXPECT_EQ(r.iotype, type) << name;
    EXPECT_TRUE(r.open_func && r.close_func && r.read_func && r.write_func && r.seek_func &&
                r.size_func)
        << name;
  }
}

TEST(BackendDeathTest, InOutDataCannotBeTheHeaderOrFollowIt) {
  for (const char *name : {"follow_hdr", "/d/x.H"}) {
    streaminf r;
    r.tagname = "work";
    r.entrytype = STREAMINOUT;
    r.headername = "/d/x.H";
    r.dataname = name;
    EXPECT_EXIT(init_io(&r), fatal_exit(),
                "tag \"work\" in/out dataset cannot be a pipe or the same file as the header");
  }
}

TEST(Backend, DescriptorOutputWritesSeeksAndSizes) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / "")});
  streaminf *r = opened("out", TAG_OUT);
  ASSERT_EQ(r->iotype, FD_IO);
  EXPECT_EQ(*r->dataname, dir / "h.H@");
  EXPECT_EQ(r->backseekable, 1);
  ASSERT_NE(r->streamfile, nullptr);
  EXPECT_EQ(::fileno(r->streamfile), r->streamfd);

  const std::string data = pattern(40000); // more than one 16384-byte piece
  EXPECT_EQ(put(r, data), 40000);
  EXPECT_EQ(r->seek_func(r, r->ioinf, 0, 1), 40000);
  EXPECT_EQ(r->seek_func(r, r->ioinf, 100, 0), 100);
  EXPECT_EQ(put(r, "XY"), 2);
  EXPECT_EQ(r->seek_func(r, r->ioinf, -10, 2), 39990) << "end-relative: the new position";
  EXPECT_EQ(r->size_func(r, r->ioinf), 40000);

  testing::internal::CaptureStderr();
  EXPECT_EQ(r->seek_func(r, r->ioinf, 5, 7), 39990);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "unknown seek type requested\n");

  auxclose("out");
  std::string expect = data;
  expect.replace(100, 2, "XY");
  EXPECT_EQ(read_file(dir / "h.H@"), expect);
}

TEST(Backend, ShortInputThenEnd) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "d", pattern(40));
  write_file(dir / "in.H", "in=" + (dir / "d") + "\n");
  set_args({"prog", "stdin=" + (dir / "in.H")});
  streaminf *r = opened("in", TAG_IN);
  EXPECT_EQ(get(r, 100), pattern(40));
  EXPECT_EQ(get(r, 100), "");
}

TEST(BackendDeathTest, InputWithoutDataOrInvalidTag) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "none.H", "in=-1\n");
  write_file(dir / "bare.H", "n1=1\n");
  set_args({"prog", "none=" + (dir / "none.H"), "bare=" + (dir / "bare.H")});
  streaminf *none = opened("none", TAG_IN);
  EXPECT_EQ(none->streamfd, -1) << "nothing is opened";
  EXPECT_EXIT(get(none, 4), fatal_exit(), "Invalid dataset \"-1\" for tag \"none\"");
  tag_info("bare", TAG_IN);
  EXPECT_EXIT(sseek("bare", 0, 0), fatal_exit(), "sseek\\(\\): invalid tag bare");
  EXPECT_EXIT(sseek_l_l("never", 0, 0), fatal_exit(), "assertion failed");
}

// Written bytes may wait in the back end until the data are next used or
// the program ends; a full device is fatal then, whichever comes first.
TEST(BackendDeathTest, FullDeviceIsFatalNeverShort) {
  TempDir dir;
  InDir here(dir);
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + (dir / "h.H"), "out=/dev/full"});
        put(opened("out", TAG_OUT), "abcd");
        std::exit(0);
      },
      fatal_exit(),
      "info_rite\\(\\): .*\n.*info_rite\\(\\) : I/O error writing /dev/full, tag \"out\"");
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + (dir / "h.H"), "out=/dev/full"});
        streaminf *r = opened("out", TAG_OUT);
        put(r, "abcd");
        r->seek_func(r, r->ioinf, 0, 1);
        std::exit(0);
      },
      fatal_exit(), "info_rite\\(\\) : I/O error writing /dev/full, tag \"out\"");
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + (dir / "h.H"), "out=stdout"});
        if (!std::freopen("/dev/full", "w", stdout)) std::abort();
        streaminf *r = opened("out", TAG_OUT);
        if (r->iotype != FILE_IO) std::abort();
        put(r, "abcd");
        std::exit(0);
      },
      fatal_exit(), "file_write\\(\\) : I/O error writing stdout, tag \"out\"");
}

TEST(Backend, SparseDataPastFourGigabytes) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "scr=" + (dir / "s.H"), "datapath=" + (dir / "")});
  streaminf *r = opened("scr", TAG_SCR);
  ASSERT_EQ(r->iotype, FD_IO);
  EXPECT_NE(auxscr("scr"), nullptr) << "scratch data come with a stream";
  const kov_off_t far = 5LL << 30;
  EXPECT_EQ(sseek_l_l("scr", far, 0), far);
  EXPECT_EQ(put(r, "tail"), 4);
  EXPECT_EQ(r->size_func(r, r->ioinf), far + 4);
  EXPECT_EQ(sseek_l_l("scr", far, 0), far);
  EXPECT_EQ(get(r, 10), "tail");

  int blocks = 0, rest = 0;
  EXPECT_EQ(file_position("scr", 1, &blocks, &rest), 1) << "more blocks than an int holds";
  EXPECT_EQ(blocks, INT_MAX);
  EXPECT_EQ(sseek_l_l("scr", 1300, 0), 1300);
  EXPECT_EQ(file_position("scr", 512, &blocks, &rest), 0);
  EXPECT_EQ(blocks, 2);
  EXPECT_EQ(rest, 276);

  struct stat st;
  ASSERT_EQ(::stat(r->dataname->c_str(), &st), 0);
  EXPECT_LT(st.st_blocks, 1024) << "the file stays sparse";
}

TEST(Backend, BlockSeeksStayWithin32Bits) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "scr=" + (dir / "s.H"), "datapath=" + (dir / "")});
  streaminf *r = opened("scr", TAG_SCR);
  real_seek = r->seek_func;
  r->seek_func = counting_seek;

  EXPECT_EQ(sseek_block_d("scr", 1000000000, 4, 0), 1000000000.0);
  const std::vector<std::pair<kov_off_t, int>> forward = {{2147483647, 0},
                                                          {4000000000LL - 2147483647, 1}};
  EXPECT_EQ(seeks, forward) << "the position is not asked";

  seeks.clear();
  EXPECT_EQ(sseek_block("scr", 25, 4, 0), 25) << "back to byte 100";
  EXPECT_EQ(seeks, (std::vector<std::pair<kov_off_t, int>>{{100, 0}})) << "one seek";

  seeks.clear();
  EXPECT_EQ(sseek_block_d("scr", 600000000, 4, 1), 600000025.0) << "relative, far on";
  const std::vector<std::pair<kov_off_t, int>> relative = {{2147483647, 1},
                                                           {2400000000LL - 2147483647, 1}};
  EXPECT_EQ(seeks, relative);
  EXPECT_EQ(sseek_l_l("scr", 0, 1), 2400000100LL);
}

// A header from a pipe, with the data behind it in the same stream.
TEST(Backend, PipeEmulatesForwardSeeks) {
  TempDir dir;
  InDir here(dir);
  const std::string data = pattern(30000);
  write_file(dir / "piped", "n1=1\nin=stdin\n\f\f\004" + data);
  set_args({"prog", "stdin=cat " + (dir / "piped") + " |"});
  streaminf *r = opened("in", TAG_IN);
  ASSERT_EQ(r->iotype, FILE_IO);
  EXPECT_EQ(r->headfile, nullptr) << "the data stream took the header stream over";
  EXPECT_EQ(r->backseekable, 0);
  EXPECT_EQ(sseekable("in"), 1);
  EXPECT_EQ(r->size_func(r, r->ioinf), 0);

  EXPECT_EQ(get(r, 10), data.substr(0, 10));
  EXPECT_EQ(sseek_l_l("in", 10010, 0), 10010) << "drops 10000 bytes";
  EXPECT_EQ(get(r, 5), data.substr(10010, 5));
  EXPECT_EQ(sseek_l_l("in", 0, 1), 10015);
  EXPECT_EQ(sseek_l_l("in", 10015, 0), 10015);
  EXPECT_EQ(sseek_l_l("in", 20000, 1), 30000) << "stops at the end of the stream";

  testing::internal::CaptureStderr();
  EXPECT_EQ(sseek_l_l("in", 5, 0), -1);
  EXPECT_EQ(sseek_l_l("in", -1, 1), -1);
  EXPECT_EQ(sseek_l_l("in", 0, 2), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "backwards absolute seek on stream device \n"
                                                    "backwards relative seek on stream device \n"
                                                    "seek relative to end on stream device \n");
}

TEST(Backend, DataBehindAHeaderFileCountFromTheirFirstByte) {
  TempDir dir;
  InDir here(dir);
  const std::string head = "n1=4\nin=stdin\n\f\f\004";
  write_file(dir / "v.H", head + "0123456789");
  set_args({"prog", "v=" + (dir / "v.H")});
  streaminf *r = opened("v", TAG_IN);
  ASSERT_EQ(*r->dataname, "follow_hdr");
  EXPECT_EQ(r->backseekable, 1);
  EXPECT_EQ(sseekable("v"), 0);
  EXPECT_EQ(r->size_func(r, r->ioinf), 10);
  EXPECT_EQ(get(r, 3), "012");
  EXPECT_EQ(sseek_l_l("v", 7, 0), 7);
  EXPECT_EQ(get(r, 2), "78");
  EXPECT_EQ(sseek_l_l("v", -4, 2), 6);
  EXPECT_EQ(sseek_l_l("v", -2, 1), 4);
  EXPECT_EQ(get(r, 100), "456789");
}

// The header text and the data of an output whose data follow it in the same
// regular file: the end-of-header marks split them.
std::pair<std::string, std::string> header_and_data(const std::string &path) {
  const std::string text = read_file(path);
  const auto end = text.find("\f\f\004");
  if (end == std::string::npos) return {text, ""};
  return {text.substr(0, end), text.substr(end + 3)};
}

// Whatever the first data operation on such an output is, the header is
// complete before the data start is fixed.
TEST(Backend, DataBehindTheirOwnHeaderFileStartAfterTheCompleteHeader) {
  TempDir dir;
  const std::string header = dir / "q.H";
  const auto run = [&](auto body) {
    return kovtest::run_child([&] {
      set_args(
          {"prog", "head=" + header, "datapath=stdout", "data_format=native_byte", "noheader=y"});
      if (output() == nullptr) std::exit(4);
      body();
    });
  };
  const auto expect_complete = [](const std::string &text) {
    EXPECT_TRUE(text.ends_with("\t\tdata_format=\"native_byte\"\n\n")) << text;
    EXPECT_EQ(text.find('\0'), std::string::npos) << "no data bytes inside the header";
  };

  // A seek first, then a position query, then a rewrite of the first bytes.
  auto ran = run([] {
    if (sseek_l_l("out", 100, 0) != 100 || srite("out", "abcd", 4) != 4 ||
        sseek_l_l("out", 0, 1) != 104 || sseek_l_l("out", 0, 0) != 0 ||
        srite("out", "WXYZ", 4) != 4)
      std::exit(3);
  });
  ASSERT_EQ(ran.status, 0) << ran.err;
  auto [text, data] = header_and_data(header);
  expect_complete(text);
  EXPECT_EQ(data, "WXYZ" + std::string(96, '\0') + "abcd");

  // A position query alone, then data.
  ran = run([] {
    if (sseek_l_l("out", 0, 1) != 0 || srite("out", "xy", 2) != 2) std::exit(3);
  });
  ASSERT_EQ(ran.status, 0) << ran.err;
  std::tie(text, data) = header_and_data(header);
  expect_complete(text);
  EXPECT_EQ(data, "xy");

  // A strided window as the very first operation.
  ran = run([] {
    const int ndim = 1, n = 10, nw = 5, fw = 0, jw = 2;
    if (srite_window("out", &ndim, &n, &nw, &fw, &jw, 1, "ABCDE") != 0) std::exit(3);
  });
  ASSERT_EQ(ran.status, 0) << ran.err;
  std::tie(text, data) = header_and_data(header);
  expect_complete(text);
  EXPECT_EQ(data, std::string("A\0B\0C\0D\0E", 9));
}

TEST(Backend, FileStatusHelpers) {
  TempDir dir;
  write_file(dir / "f", "12345");
  EXPECT_EQ(isordinary((dir / "f").c_str()), 1);
  EXPECT_EQ(isordinary(dir.path().c_str()), 0);
  EXPECT_EQ(isordinary((dir / "absent").c_str()), 0);
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  EXPECT_EQ(fdordinary(p[0]), 0);
  EXPECT_EQ(fsize(p[1] + 100), -1);
  ::close(p[0]);
  ::close(p[1]);
  const int fd = ::open((dir / "f").c_str(), O_RDONLY);
  EXPECT_EQ(fdordinary(fd), 1);
  EXPECT_EQ(fsize(fd), 5);
  std::FILE *stream = ::fdopen(fd, "r");
  EXPECT_EQ(isclosed(stream), 0);
  ::close(fd); // the descriptor goes away under the stream
  EXPECT_EQ(isclosed(stream), 1);
  std::fclose(stream);
}

} // namespace
