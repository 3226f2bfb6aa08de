// SPDX-License-Identifier: Apache-2.0
// The stream registry and input headers.
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using kovtest::fatal_exit;
using kovtest::run_child;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

using kovtest::InDir;

TEST(Registry, HeaderNamesOfNewRecords) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "vel.H", "n1=5\n");
  set_args({"prog", "stdin=" + (dir / "vel.H"), "datapath=" + (dir / "")});
  streaminf *in = tag_info("in", TAG_IN);
  EXPECT_EQ(in->headername, dir / "vel.H");
  EXPECT_EQ(in->entrytype, STREAMIN);
  streaminf *aux = tag_info("indata", TAG_IN);
  EXPECT_EQ(aux->headername, "indata");
  EXPECT_EQ(aux->valid, 0) << "an absent file gives an invalid record, no error";
  EXPECT_EQ(kovstr_head(), in);
  EXPECT_EQ(in->next, aux);
  EXPECT_EQ(aux->prev, in);
}

TEST(Registry, AuxHeaderNamedByTheInputHistory) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "model.H", "n1=3\n");
  write_file(dir / "in.H", "velocity=" + (dir / "model.H") + "\n");
  set_args({"prog", "stdin=" + (dir / "in.H")});
  streaminf *aux = tag_info("velocity", TAG_IN);
  EXPECT_EQ(aux->headername, dir / "model.H");
  int n1 = 0;
  EXPECT_EQ(auxpar("n1", "d", &n1, "velocity"), 1);
  EXPECT_EQ(n1, 3);
}

TEST(Registry, SameRecordWhateverTheRequest) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "n1=1\n");
  set_args({"prog", "a=" + (dir / "a.H")});
  streaminf *first = tag_info("a", TAG_IN);
  EXPECT_EQ(tag_info("a", TAG_OUT), first);
  EXPECT_EQ(tag_info("a", TAG_INQUIRE), first);
  EXPECT_EQ(first->entrytype, STREAMIN);
  EXPECT_EQ(tag_info("nothing", TAG_INQUIRE), nullptr);
  EXPECT_EQ(kovstr_head(), first);
  EXPECT_EQ(first->next, nullptr) << "an inquiry registers nothing";
}

TEST(RegistryDeathTest, ConflictingReuseOfATag) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "n1=1\n");
  set_args({"prog", "a=" + (dir / "a.H"), "datapath=" + (dir / "")});
  auxin("a");
  EXPECT_EXIT(auxout("a"), fatal_exit(), "auxout\\(\"a\"\\): Already opened for input only\n");
  EXPECT_EXIT(auxinout("a"), fatal_exit(), "auxinout\\(\"a\"\\): Already opened for input only");
  EXPECT_EXIT(auxscr("a"), fatal_exit(), "auxiscr\\(\"a\"\\): Already opened for input only");
  auxout("b");
  EXPECT_EXIT(auxin("b"), fatal_exit(), "auxin\\(\"b\"\\): Already opened for output only");
  EXPECT_EXIT(auxtmp("b"), fatal_exit(), "auxscr\\(\"b\"\\): Already opened for output only");
  EXPECT_EXIT(kovstr_new("x", TAG_INQUIRE), fatal_exit(), "Unknown tag \"x\" \n");
  EXPECT_EXIT(debug_tag("zz"), fatal_exit(), "debug_tag request on an unintialized tag=zz \n");
  EXPECT_EXIT(aux_unlink("zz"), fatal_exit(), "no structure for tag\\(zz\\)");
  EXPECT_EXIT(fd_info(12345), fatal_exit(),
              "fd_info\\(\\): no stream has this file descriptor-> 12345 \n");
}

TEST(Registry, AuxcloseForgetsAndTheTagStartsAfresh) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "n1=1\n");
  write_file(dir / "b.H", "n1=2\n");
  set_args({"prog", "a=" + (dir / "a.H"), "b=" + (dir / "b.H")});
  streaminf *a = tag_info("a", TAG_IN);
  streaminf *b = tag_info("b", TAG_IN);
  EXPECT_EQ(auxclose("a"), 0);
  EXPECT_EQ(auxclose("never"), 0);
  EXPECT_EQ(kovstr_head(), b);
  streaminf *again = tag_info("a", TAG_IN);
  EXPECT_EQ(b->next, again) << "a new record at the tail";
  int n1 = 0;
  EXPECT_EQ(auxpar("n1", "d", &n1, "a"), 1);
  EXPECT_EQ(n1, 1);
  (void)a;
}

TEST(Registry, TagExistsRegistersNothing) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "there.H", "x=1\n");
  set_args({"prog", "named=" + (dir / "there.H")});
  EXPECT_EQ(tag_exists("nosuch"), 0);
  EXPECT_EQ(tag_exists("named"), 1);
  EXPECT_EQ(tag_exists(std::string(300, 'q').c_str()), 0);
  EXPECT_EQ(kovstr_head(), nullptr);
}

TEST(Registry, AuxtmpLeavesNoFilesBehind) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "scr=" + (dir / "scr.H"), "datapath=" + (dir / "")});
  auxtmp("scr");
  streaminf *r = tag_info("scr", TAG_INQUIRE);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->entrytype, STREAMSCR);
  EXPECT_FALSE(std::filesystem::exists(dir / "scr.H"));
  EXPECT_EQ(r->dataname, dir / "scr.H@");
}

TEST(Registry, PrintStreaminfShowsNullAsNull) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "n1=1\n");
  set_args({"prog", "a=" + (dir / "a.H")});
  tag_info("a", TAG_IN);
  testing::internal::CaptureStderr();
  debug_tag("a");
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find(" tag: a \n entrytype: STREAMIN \n headername: " + (dir / "a.H") +
                      " \n headerlen: 5 \n headerbuf: n1=1\n \n headerformatfile: (null) \n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" dataname: (null) \n iotype: FILE_IO \n format: (null) \n"),
            std::string::npos)
      << text;
}

TEST(InputHeaders, PipeCommandAndEndOfTransmission) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "h", "n1=5\nin=\"/data/x@\"\n\x04"
                        "binary");
  set_args({"prog", "a=cat " + (dir / "h") + " |"});
  streaminf *r = tag_info("a", TAG_IN);
  ASSERT_TRUE(r->headerbuf);
  EXPECT_EQ(*r->headerbuf, "n1=5\nin=\"/data/x@\"\n");
  EXPECT_EQ(r->hdrlen, 19);
  EXPECT_EQ(r->dataname, "/data/x@");
  EXPECT_EQ(r->iotype, FD_IO);
  char rest[16] = {};
  ASSERT_EQ(std::fread(rest, 1, 6, r->headfile), 6u) << "the data stay in the stream";
  EXPECT_STREQ(rest, "binary");
}

TEST(InputHeadersDeathTest, BadNames) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "a=ls | wc", "c=" + (dir / "")});
  EXPECT_EXIT(tag_info("a", TAG_IN), fatal_exit(),
              "input pipe command 'ls \\| wc' doesn't end with '\\|' for tag a \n");
  write_file(dir / "f", "x=1\n");
  set_args({"prog", "d=" + (dir / "f") + "/sub"});
  EXPECT_EXIT(tag_info("d", TAG_IN), fatal_exit(),
              "kovstrhead, openfile\\(\\): Not a directory\n(.|\n)*Bad header name");
}

// A header that cannot be read is an invalid record, like an absent one: it
// fails at its first transfer.  A closed standard input reads as an empty
// one, and a file opened afterwards is never taken for it.
TEST(InputHeadersDeathTest, UnreadableHeadersAreInvalidRecords) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir");
  write_file(dir / "a.H", "n1=7\nin=stdin\n\f\f\004xyz");
  EXPECT_EXIT(
      {
        set_args({"prog", "e=" + (dir / "adir")});
        if (tag_info("e", TAG_IN)->valid != 0) std::exit(4);
        char c;
        sreed("e", &c, 1);
      },
      fatal_exit(), "sreed\\(\\): invalid input tag e");

  const auto closed = run_child([&] {
    ::close(STDIN_FILENO);
    set_args({"prog", "a=cat " + (dir / "a.H") + " |"});
    const streaminf *in = tag_info("in", TAG_IN);
    if (in->headerbuf != "" || in->valid != 0) std::exit(4);
    // The pipe of `a` is opened after standard input was found closed;
    // closing `in` leaves it alone.
    tag_info("a", TAG_IN);
    auxclose("in");
    char data[4] = {};
    std::exit(sreed_raw("a", data, 4) == 3 && std::string(data) == "xyz" ? 0 : 5);
  });
  EXPECT_EQ(closed.status, 0) << closed.err;
}

TEST(InputHeaders, Placeholders) {
  set_args({"prog", "noheader=yes"});
  streaminf *r = tag_info("in", TAG_IN);
  EXPECT_EQ(*r->headerbuf, "No input header \n");
  EXPECT_EQ(r->hdrlen, 16);
  EXPECT_EQ(r->headfile, nullptr);
}

TEST(InputHeaders, DataLocationAndFormatFromTheHeader) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "in=stdin data_format=native_float\n");
  write_file(dir / "b.H", "n1=1\n");
  write_file(dir / "c.H", "in=" + (dir / "c1@;") + (dir / "c2@") + "\n");
  set_args({"prog", "a=" + (dir / "a.H"), "b=" + (dir / "b.H"), "c=" + (dir / "c.H")});
  streaminf *a = tag_info("a", TAG_IN);
  EXPECT_EQ(a->dataname, "follow_hdr");
  EXPECT_EQ(a->iotype, FILE_IO);
  EXPECT_EQ(a->format_num, 3);
  streaminf *b = tag_info("b", TAG_IN);
  EXPECT_EQ(b->valid, 0) << "a header without data";
  EXPECT_EQ(b->format_num, -1);
  EXPECT_EQ(tag_info("c", TAG_IN)->iotype, MULTI_FD_IO);
}

TEST(InputHeadersDeathTest, UnknownFormatInAHeader) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "a.H", "in=/x data_format=cm_float\n");
  set_args({"prog", "a=" + (dir / "a.H")});
  EXPECT_EXIT(tag_info("a", TAG_IN), fatal_exit(),
              "unknown data format: cm_float \n known types are xdr..., native.., cm..., and "
              "drawl \n");
}

TEST(InOutHeaders, EmptyFileStartsAFreshHeaderAndLinesAreFoundAtOnce) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "io.H", "");
  set_args({"prog", "io=" + (dir / "io.H"), "datapath=" + (dir / "")});
  auxinout("io");
  streaminf *r = tag_info("io", TAG_INQUIRE);
  EXPECT_EQ(r->hqlen, KOV_PUTCH_QUEUE_SIZE);
  EXPECT_EQ(r->format_num, 0);
  EXPECT_EQ(r->dataname, dir / "io.H@");
  int n = 42;
  EXPECT_EQ(auxpar("n2", "d", &n, "io"), 0);
  auxputch("n2", "d", &n, "io");
  n = 0;
  EXPECT_EQ(auxpar("n2", "d", &n, "io"), 1);
  EXPECT_EQ(n, 42);
}

TEST(InOutHeaders, ExistingHeaderIsReadThenAppended) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "io.H", "n1=7 in=" + (dir / "io.H@") + " data_format=xdr_int\n");
  set_args({"prog", "io=" + (dir / "io.H")});
  streaminf *r = tag_info("io", TAG_INOUT);
  EXPECT_EQ(r->format_num, 1);
  EXPECT_EQ(r->dataname, dir / "io.H@");
  const int n2 = 9;
  auxputch("n2", "d", &n2, "io");
  int v = 0;
  EXPECT_EQ(auxpar("n1", "d", &v, "io"), 1);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(auxpar("n2", "d", &v, "io"), 1);
  EXPECT_EQ(v, 9);
  const std::string text = kovtest::read_file(dir / "io.H");
  EXPECT_EQ(text.rfind("n1=7 in=", 0), 0u) << text;
  EXPECT_NE(text.find("\t\tn2=9\n"), std::string::npos) << text;
}

TEST(InOutHeadersDeathTest, NamesThatAreNoRegularFiles) {
  set_args({"prog", "io=cat x |", "scr=stdout"});
  EXPECT_EXIT(tag_info("io", TAG_INOUT), fatal_exit(),
              "Headername \"cat x \\|\" for tag \"io\" cannot be opened as an in/out dataset "
              "because it is not a regular file \n");
  EXPECT_EXIT(tag_info("scr", TAG_SCR), fatal_exit(),
              "cannot be opened as a scratch dataset because it is not a regular file");
}

TEST(InOutHeadersDeathTest, DataCannotBeTheHeader) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "io.H", "in=" + (dir / "io.H") + "\n");
  set_args({"prog", "io=" + (dir / "io.H")});
  EXPECT_EXIT(tag_info("io", TAG_INOUT), fatal_exit(),
              "tag \"io\" in/out dataset cannot be a pipe or the same file as the header\n");
}

TEST(HeaderLookups, FetchPrefersTheCommandLine) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "in.H", "n1=10 n2=20\n");
  set_args({"prog", "stdin=" + (dir / "in.H"), "n1=1"});
  int v = 0;
  EXPECT_EQ(fetch("n1", "d", &v), 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(hetch("n1", "d", &v), 1);
  EXPECT_EQ(v, 10);
  EXPECT_EQ(fetch("n2", "d", &v), 1);
  EXPECT_EQ(v, 20);
  EXPECT_EQ(tetch("n1", "d", &v), 1);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(tetch("n2", "d", &v), 0) << "the supplementary store is always empty";
}

TEST(HeaderLookupsDeathTest, InvalidHeadersAndParFilesInHeaders) {
  TempDir dir;
  InDir here(dir);
  write_file(dir / "in.H", "par=" + (dir / "gone") + "\n");
  set_args({"prog", "stdin=" + (dir / "missing.H")});
  int v;
  EXPECT_EXIT(hetch("n1", "d", &v), fatal_exit(),
              "Attempt to get parameter n1 from tag in which is not a valid description file \n");
  set_args({"prog", "stdin=" + (dir / "in.H")});
  EXPECT_EXIT(hetch("n1", "d", &v), fatal_exit(), "file\\(\\) can't open file .*gone");
}

// A header that cannot be read names the file and the reason; one without
// end (or beyond the size limit) is fatal, never an exhausted memory.
TEST(HeaderLookupsDeathTest, UnreadableAndEndlessHeadersNameTheFile) {
  TempDir dir;
  std::filesystem::create_directory(dir / "adir.H");
  int v;
  set_args({"prog", "stdin=" + (dir / "adir.H")});
  EXPECT_EXIT(hetch("n1", "d", &v), fatal_exit(),
              "Attempt to get parameter n1 from tag in: its header .*adir.H cannot be read: Is a "
              "directory\n");
  set_args({"prog", "stdin=/dev/zero"});
  EXPECT_EXIT(hetch("n1", "d", &v), fatal_exit(),
              "the header /dev/zero of tag in is longer than the limit of 64 MiB");
  set_args({"prog", "par=/dev/zero"});
  EXPECT_EXIT(getch("n1", "d", &v), fatal_exit(),
              "the parameter file /dev/zero is longer than the limit of 64 MiB");
}

} // namespace

namespace {

TEST(OutputHeaderDeathTest, AFailedTitleNamesTheHeaderOnALineOfItsOwn) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=/dev/full", "datapath=" + (dir / "")});
  const int v = 1;
  EXPECT_EXIT(putch("a", "d", &v), fatal_exit(),
              "write_title: unable to write to output header /dev/full for tag out\n");
}

} // namespace
