// SPDX-License-Identifier: Apache-2.0
// The multi-file back end: splitting by capacity, reading and seeking across
// files, and moving on when a file system fills up.
#include <kov/kovlib.h>

#include "backend_util.h"
#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/mount.h>
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

// Bytes that tell their position apart over several megabytes.
std::string pattern(std::size_t from, std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = from + i;
    s[i] = static_cast<char>((k * 131 + k / 251 + k / 65521) & 0xff);
  }
  return s;
}

TEST(Multifd, OutputSwitchesFilesAtTheirCapacity) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / ""), "nfiles=3", "filesize=1"});
  streaminf *r = opened("out", TAG_OUT);
  ASSERT_EQ(r->iotype, MULTI_FD_IO);
  const std::string f0 = dir / "h.H@", f1 = dir / "h.H@1", f2 = dir / "h.H@2";
  EXPECT_EQ(*r->dataname, f0 + ";" + f1 + ";" + f2);
  EXPECT_EQ(r->backseekable, 1);

  EXPECT_EQ(put(r, pattern(0, 1048576)), 1048576);
  EXPECT_EQ(*r->dataname, f0) << "only the files written so far";
  EXPECT_EQ(put(r, pattern(1048576, 100)), 100);
  EXPECT_EQ(put(r, pattern(1048676, 50)), 50);
  EXPECT_EQ(*r->dataname, f0 + ";" + f1);
  EXPECT_EQ(r->seek_func(r, r->ioinf, 0, 1), 1048726);
  EXPECT_EQ(r->size_func(r, r->ioinf), 1048726);

  // Rewrite across the boundary, then carry on at the end.
  EXPECT_EQ(r->seek_func(r, r->ioinf, 1048570, 0), 1048570);
  EXPECT_EQ(put(r, "0123456789AB"), 12);
  EXPECT_EQ(r->seek_func(r, r->ioinf, 1048726, 0), 1048726);
  EXPECT_EQ(r->seek_func(r, r->ioinf, -1048726 - 1, 1), -1) << "before the first file";
  auxclose("out");

  std::string expect = pattern(0, 1048726);
  expect.replace(1048570, 12, "0123456789AB");
  EXPECT_EQ(read_file(f0), expect.substr(0, 1048576));
  EXPECT_EQ(read_file(f1), expect.substr(1048576));
  EXPECT_EQ(read_file(f2), "");
}

// One write that runs on into later files lists every file it reached, and
// so aux_unlink removes them all.
TEST(Multifd, OneWriteOverSeveralFilesListsThemAll) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / ""), "nfiles=4", "filesize=1"});
  streaminf *r = opened("out", TAG_OUT);
  const std::string f0 = dir / "h.H@", f1 = dir / "h.H@1", f2 = dir / "h.H@2";
  const std::size_t n = 2 * 1048576 + 200000;
  EXPECT_EQ(put(r, pattern(0, n)), static_cast<long>(n));
  EXPECT_EQ(*r->dataname, f0 + ";" + f1 + ";" + f2);
  EXPECT_EQ(read_file(f2), pattern(2 * 1048576, 200000));
  aux_unlink("out");
  for (const std::string &name : {f0, f1, f2, dir / "h.H"})
    EXPECT_FALSE(std::filesystem::exists(name)) << name;
}

// The files a set made but never used are its files too.
TEST(Multifd, UnlinkRemovesUnusedFilesToo) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / ""), "nfiles=3", "filesize=1"});
  streaminf *r = opened("out", TAG_OUT);
  EXPECT_EQ(put(r, pattern(0, 100)), 100);
  ASSERT_TRUE(std::filesystem::exists(dir / "h.H@2")) << "every file is made at open";
  aux_unlink("out");
  for (const std::string &name : {dir / "h.H@", dir / "h.H@1", dir / "h.H@2", dir / "h.H"})
    EXPECT_FALSE(std::filesystem::exists(name)) << name;
}

TEST(Multifd, InputReadsAndSeeksAcrossFiles) {
  TempDir dir;
  InDir here(dir);
  const std::string data = pattern(0, 30);
  write_file(dir / "a", data.substr(0, 10));
  write_file(dir / "b", data.substr(10));
  write_file(dir / "in.H", "in=" + (dir / "a") + ";" + (dir / "b") + "\n");
  set_args({"prog", "stdin=" + (dir / "in.H")});
  streaminf *r = opened("in", TAG_IN);
  ASSERT_EQ(r->iotype, MULTI_FD_IO);
  EXPECT_EQ(r->size_func(r, r->ioinf), 30);
  EXPECT_EQ(get(r, 25), data.substr(0, 25));
  EXPECT_EQ(get(r, 100), data.substr(25)) << "the bytes delivered before the end count";
  EXPECT_EQ(get(r, 100), "");

  EXPECT_EQ(r->seek_func(r, r->ioinf, 5, 0), 5);
  EXPECT_EQ(get(r, 10), data.substr(5, 10));
  EXPECT_EQ(r->seek_func(r, r->ioinf, -8, 1), 7);
  EXPECT_EQ(get(r, 4), data.substr(7, 4));
  EXPECT_EQ(r->seek_func(r, r->ioinf, -25, 2), 5);
  EXPECT_EQ(get(r, 2), data.substr(5, 2));
  EXPECT_EQ(r->seek_func(r, r->ioinf, 31, 0), -1);
  EXPECT_EXIT(r->seek_func(r, r->ioinf, -31, 2), fatal_exit(),
              "multifd_seek\\(\\): seeking past start of all available files for tag \"in\"");
}

TEST(Multifd, ScratchReadsBackWhatItWrote) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "scr=" + (dir / "s.H"), "datapath=" + (dir / ""), "nfiles=2", "filesize=1"});
  streaminf *r = opened("scr", TAG_SCR);
  ASSERT_EQ(r->iotype, MULTI_FD_IO);
  EXPECT_NE(auxscr("scr"), nullptr);
  const std::string data = pattern(0, 1048576 + 5000);
  EXPECT_EQ(put(r, data), static_cast<long>(data.size()));
  EXPECT_EQ(sseek_l_l("scr", 0, 0), 0);
  EXPECT_EQ(get(r, static_cast<long>(data.size()) + 10), data);
  EXPECT_EQ(sseek_l_l("scr", 1048000, 0), 1048000);
  EXPECT_EQ(get(r, 1000), data.substr(1048000, 1000));
}

// A read-write data set ends where its data end, not where the capacity of
// its files does.
TEST(Multifd, ReadWriteSetsEndAtTheEndOfTheirData) {
  TempDir dir;
  InDir here(dir);
  const std::string data = pattern(0, 80);
  const std::string a = dir / "a", b = dir / "b";
  write_file(a, data.substr(0, 40));
  write_file(b, data.substr(40));
  write_file(dir / "w.H", "in=" + a + ";" + b + "\n");
  set_args({"prog", "w=" + (dir / "w.H"), "movie=" + (dir / "m.H"), "datapath=" + (dir / ""),
            "nfiles=2", "filesize=1"});
  streaminf *r = opened("w", TAG_INOUT);
  ASSERT_EQ(r->iotype, MULTI_FD_IO);
  EXPECT_EQ(sseek_l_l("w", 0, 2), 80);
  EXPECT_EQ(sseek_l_l("w", -10, 2), 70);
  EXPECT_EQ(get(r, 100), data.substr(70));
  EXPECT_EQ(sseek_l_l("w", -50, 2), 30) << "back into the first file";
  EXPECT_EQ(get(r, 20), data.substr(30, 20));
  EXPECT_EQ(sseek_l_l("w", 0, 2), 80);
  EXPECT_EQ(put(r, "tail"), 4);
  EXPECT_EQ(sseek_l_l("w", 0, 2), 84);
  auxclose("w");
  EXPECT_EQ(read_file(b), data.substr(40) + "tail");

  // A new multi-file set grows slice by slice from its start.
  const int v[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  ASSERT_EQ(slice("movie", 4, 3, 2, v), 0);
  ASSERT_EQ(slice("movie", 4, 3, 2, v + 6), 0);
  ASSERT_EQ(sseek_l_l("movie", 0, 0), 0);
  int back[12] = {};
  EXPECT_EQ(sreed2("movie", back, sizeof back, "xdr_int"), static_cast<int>(sizeof back));
  EXPECT_TRUE(std::equal(v, v + 12, back));
  EXPECT_EQ(sseek_l_l("movie", 0, 2), 48);
  auxclose("movie");
  EXPECT_EQ(read_file(dir / "m.H@").size(), 48u);
}

TEST(MultifdDeathTest, RefusedNamesAndMissingFiles) {
  TempDir dir;
  InDir here(dir);
  streaminf out;
  out.tagname = "out";
  out.entrytype = STREAMOUT;
  out.dataname = (dir / "a") + ";stdout";
  init_io(&out);
  EXPECT_EXIT(out.open_func(&out, &out.ioinf), fatal_exit(),
              "stdout is invalid for file descriptor I/O for tag \"out\"");
  streaminf in;
  in.tagname = "in";
  in.entrytype = STREAMIN;
  in.dataname = (dir / "absent") + ";" + (dir / "b");
  init_io(&in);
  EXPECT_EXIT(in.open_func(&in, &in.ioinf), fatal_exit(),
              "unable to obtain input file \".*absent\" for tag \"in\"");
  streaminf sock;
  sock.tagname = "s";
  sock.entrytype = STREAMSOCKOUT;
  sock.dataname = "x;y";
  init_io(&sock);
  EXPECT_EXIT(sock.open_func(&sock, &sock.ioinf), fatal_exit(),
              "Stream socket can not be broken into multiple files");
}

// A 1-megabyte file system as the first datapath directory.
class SmallMount {
public:
  explicit SmallMount(const std::string &dir) : dir_(dir) {
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=1m") == 0;
  }
  SmallMount(const SmallMount &) = delete;
  SmallMount &operator=(const SmallMount &) = delete;
  ~SmallMount() {
    // Files still open (after a failed assertion) must not keep it mounted.
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

private:
  std::string dir_;
  bool mounted_ = false;
};

TEST(Multifd, FullDeviceMovesOnToTheNextDirectory) {
  TempDir dir;
  const std::string small = dir / "small", big = dir / "big";
  std::filesystem::create_directory(small);
  std::filesystem::create_directory(big);
  SmallMount mount(small);
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + small + "/;" + big + "/", "nfiles=2",
            "dirsize=1"});
  streaminf *r = opened("out", TAG_OUT);
  const std::string f0 = small + "/h.H@", f1 = big + "/h.H@1";
  ASSERT_EQ(*r->dataname, f0 + ";" + f1);

  constexpr std::size_t kPiece = 100000, kPieces = 30;
  for (std::size_t i = 0; i < kPieces; ++i)
    ASSERT_EQ(put(r, pattern(i * kPiece, kPiece)), static_cast<long>(kPiece)) << "piece " << i;
  EXPECT_EQ(*r->dataname, f0 + ";" + f1);
  EXPECT_EQ(r->size_func(r, r->ioinf), static_cast<kov_file_size_t>(kPiece * kPieces));
  auxclose("out");

  const std::string first = read_file(f0), second = read_file(f1);
  EXPECT_GT(first.size(), 0u);
  EXPECT_LE(first.size(), 1048576u);
  EXPECT_EQ(first.size() % kPiece, 0u) << "the first file ends where the failing call began";
  EXPECT_TRUE(first + second == pattern(0, kPiece * kPieces)) << "every byte once, in order";
}

} // namespace
