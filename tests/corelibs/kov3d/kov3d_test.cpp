// SPDX-License-Identifier: Apache-2.0
// Three-dimensional datasets: a written dataset read back (keys, axes,
// header values, grid windows) through files and through a pipe, copies of
// descriptions, regular grids and datasets without headers or grid, trace
// reordering against a naive copy with its read batches, and the fatal
// misuses.
#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include "streaminf.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" int kov_get_key_fmt_(const char *, const int *, char *, std::size_t, std::size_t);
extern "C" int kov_get_key_index__(const char *, const char *, int *, std::size_t, std::size_t);

namespace {

using kovtest::fatal_exit;
using kovtest::read_file;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

// Work inside `dir` with standard input from `in`.
void enter(const TempDir &dir, const std::string &in = "/dev/null") {
  std::filesystem::current_path(dir.path());
  if (!std::freopen(in.c_str(), "r", stdin)) std::abort();
}

constexpr int kN1 = 8, kTraces = 6;
const int kCells[kTraces] = {4, 6, 1, 3, 5, 2}; // grid 3 x 2, record numbers

float sample(int trace, int i) { return static_cast<float>(100 * trace + i); }

// The description of a dataset of 6 traces: keys ntr (int), sx and gx
// (float), their values, and a 3 x 2 grid.  sx is stored in the native
// format, the others in XDR; sx is written first, so the hff's records are
// raw bytes, and ntr last.
void describe_dataset() {
  const int one = 1, two = 2, three = 3, n1 = kN1, nt = kTraces, g2 = 3, g3 = 2, keys = 3;
  const float o = 0.5f, d = 0.25f;
  kov_put_data_axis_par("out", &one, &n1, &o, &d, "time");
  kov_put_data_axis_par("out", &two, &nt, &o, &d, "trace");
  kov_put_number_keys("out", &keys);
  kov_put_key("out", "ntr", "scalar_int", "xdr_int", &one);
  kov_put_key("out", "sx", "scalar_float", "native_float", &two);
  kov_put_key("out", "gx", "scalar_float", "xdr_float", &three);
  kov_put_header_axis_par("out", &two, &nt, &o, &d, "record");
  kov_put_grid_axis_par("out", &two, &g2, &o, &d, "x");
  kov_put_grid_axis_par("out", &three, &g3, &o, &d, "y");
  std::vector<int> ntr(kTraces);
  std::vector<float> sx(kTraces), gx(kTraces);
  for (int t = 0; t < kTraces; ++t) {
    ntr[static_cast<std::size_t>(t)] = 10 + t;
    sx[static_cast<std::size_t>(t)] = 1.5f * static_cast<float>(t);
    gx[static_cast<std::size_t>(t)] = -2.0f * static_cast<float>(t);
  }
  // Out of order on purpose: the key-by-key writes position themselves.
  kov_put_val_by_name("out", &one, "sx", &nt, sx.data());
  kov_put_val_by_index("out", &one, &three, &nt, gx.data());
  kov_put_val_by_name("out", &one, "ntr", &nt, ntr.data());
  const int dims = 3, ng[] = {3, 2}, f[] = {0, 0}, j[] = {1, 1};
  kov_put_grid_window("out", &dims, ng, ng, f, j, kCells);
}

void write_traces() {
  for (int t = 1; t <= kTraces; ++t) {
    std::vector<float> trace(kN1);
    for (int i = 0; i < kN1; ++i) trace[static_cast<std::size_t>(i)] = sample(t, i);
    srite("out", trace.data(), kN1 * 4);
  }
}

// The writer: the dataset through files in `dir`.
void write_dataset(const TempDir &dir) {
  enter(dir);
  set_args({"writer", "head=out.H", "datapath=" + dir.path().string() + "/"});
  describe_dataset();
  write_traces();
  kov_3d_close();
  // A file output is only closed: no socket is published.
  if (tag_info("hff_out", TAG_INQUIRE) != nullptr || tag_info("gff_out", TAG_INQUIRE) != nullptr)
    std::exit(5);
}

TEST(Kov3dRoundTrip, WrittenDatasetReadsBack) {
  TempDir dir;
  const auto writer = kovtest::run_child([&] { write_dataset(dir); });
  ASSERT_EQ(writer.status, 0) << writer.err;

  const std::string header = read_file(dir / "out.H");
  EXPECT_NE(header.find("\t \tn1=8 o1=0.5 d1=0.25 label1=\"time\" \n"), std::string::npos);
  // The names a history records are absolute.
  EXPECT_NE(header.find("hff=\"" + (dir / "out.H@@") + "\""), std::string::npos);
  EXPECT_NE(header.find("gff=\"" + (dir / "out.H@@@@") + "\""), std::string::npos);
  const std::string hff_text = read_file(dir / "out.H@@");
  EXPECT_NE(hff_text.find("\t \tn2=6 o2=0.5 d2=0.25 label2=\"record\"\n"), std::string::npos);
  EXPECT_NE(read_file(dir / "out.H@@@@")
                .find("\t \tn3_grid=2 o3_grid=0.5 d3_grid=0.25 label3_grid=\"y\"\n"),
            std::string::npos);

  // The reader.
  enter(dir, dir / "out.H");
  set_args({"reader"});
  init_3d();
  int n = 0;
  ASSERT_EQ(kov_get_number_keys("in", &n), 0);
  EXPECT_EQ(n, 3);
  const char *names[] = {"ntr", "sx", "gx"};
  for (int k = 1; k <= 3; ++k) {
    char name[KOV3D_KEY_NAME_ROOM], type[KOV3D_KEY_TYPE_ROOM], fmt[KOV3D_KEY_TYPE_ROOM];
    ASSERT_EQ(kov_get_key_name("in", &k, name), 0);
    ASSERT_EQ(kov_get_key_type("in", &k, type), 0);
    ASSERT_EQ(kov_get_key_fmt("in", &k, fmt), 0);
    EXPECT_STREQ(name, names[k - 1]);
    EXPECT_STREQ(type, k == 1 ? "scalar_int" : "scalar_float");
    EXPECT_STREQ(fmt, k == 1 ? "xdr_int" : k == 2 ? "native_float" : "xdr_float");
    int index = 0;
    EXPECT_EQ(kov_get_key_index("in", names[k - 1], &index), 0);
    EXPECT_EQ(index, k);
  }
  int index = -1, byte = -1;
  EXPECT_EQ(kov_get_key_index("in", "offset", &index), 3);
  EXPECT_EQ(index, 0);
  const int four = 4, three = 3;
  EXPECT_EQ(kov_get_key_first_byte("in", &three, &byte), 0);
  EXPECT_EQ(byte, 8);
  EXPECT_EQ(kov_get_key_first_byte("in", &four, &byte), 0);
  EXPECT_EQ(byte, 12);
  EXPECT_EQ(kov_get_header_bytes("in", &byte), 0);
  EXPECT_EQ(byte, 12);

  EXPECT_EQ(kov_get_number_data_axes("in", &n), 0);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(kov_get_number_header_axes("in", &n), 0);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(kov_get_number_grid_axes("in", &n), 0);
  EXPECT_EQ(n, 3);
  float o = 0, d = 0;
  char label[KOV3D_LABEL_ROOM];
  const int one = 1, two = 2, seven = 7;
  EXPECT_EQ(kov_get_data_axis_par("in", &one, &n, &o, &d, label), 0);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(o, 0.5f);
  EXPECT_EQ(d, 0.25f);
  EXPECT_STREQ(label, "time");
  EXPECT_EQ(kov_get_grid_axis_par("in", &two, &n, &o, &d, label), 0);
  EXPECT_EQ(n, 3);
  EXPECT_STREQ(label, "x");
  EXPECT_EQ(kov_get_data_axis_par("in", &seven, &n, &o, &d, label), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(o, 0.0f);
  EXPECT_EQ(d, 1.0f);
  EXPECT_STREQ(label, "");

  // Header values: a range by index and by name, and whole records.
  const int rec = 2, count = 3;
  int ntr[3] = {};
  float sx[3] = {}, gx[3] = {};
  EXPECT_EQ(kov_get_val_by_index("in", &rec, &one, &count, ntr), 0);
  EXPECT_EQ(kov_get_val_by_name("in", &rec, "sx", &count, sx), 0);
  EXPECT_EQ(kov_get_val_by_name("in", &rec, "gx", &count, gx), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ntr[i], 11 + i);
    EXPECT_EQ(sx[i], 1.5f * static_cast<float>(i + 1));
    EXPECT_EQ(gx[i], -2.0f * static_cast<float>(i + 1));
  }
  EXPECT_EQ(kov_get_val_by_name("in", &rec, "offset", &count, sx), 3);
  std::vector<char> records(2 * 12);
  EXPECT_EQ(kov_get_val_headers("in", &four, &two, records.data()), 0);
  float picked[2] = {};
  EXPECT_EQ(kov_extract_val_by_index("in", &two, &two, picked, records.data()), 0);
  EXPECT_EQ(picked[0], 4.5f);
  EXPECT_EQ(picked[1], 6.0f);
  float moved[2] = {7.0f, 8.0f}, back[2] = {};
  EXPECT_EQ(kov_insert_val_by_index("in", &three, &two, moved, records.data()), 0);
  EXPECT_EQ(kov_extract_val_by_index("in", &three, &two, back, records.data()), 0);
  EXPECT_EQ(back[1], 8.0f);
  EXPECT_EQ(kov_extract_val_by_index("in", &two, &two, picked, records.data()), 0);
  EXPECT_EQ(picked[1], 6.0f);

  // The whole grid and a window of it.
  const int dims = 3, ng[] = {3, 2}, f0[] = {0, 0}, j1[] = {1, 1};
  int cells[6] = {};
  EXPECT_EQ(kov_get_grid_window("in", &dims, ng, ng, f0, j1, cells), 0);
  EXPECT_EQ(std::vector<int>(cells, cells + 6), std::vector<int>(kCells, kCells + 6));
  const int nw[] = {2, 1}, fw[] = {1, 1};
  int part[2] = {};
  EXPECT_EQ(kov_get_grid_window("in", &dims, ng, nw, fw, j1, part), 0);
  EXPECT_EQ(part[0], kCells[4]);
  EXPECT_EQ(part[1], kCells[5]);

  // The traces themselves.
  std::vector<float> trace(kN1);
  ASSERT_EQ(sseek_block("in", 4, kN1 * 4, 0), 4);
  ASSERT_EQ(sreed("in", trace.data(), kN1 * 4), kN1 * 4);
  EXPECT_EQ(trace[3], sample(5, 3));
}

// ---- Through a pipe ----------------------------------------------------------

// A bounded wait for a child: its exit status, or -1 when it was killed by
// a signal or had to be killed after `seconds`.
int wait_bounded(pid_t pid, int seconds) {
  int status = 0;
  for (int tick = 0; tick < seconds * 20; ++tick) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::usleep(50000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

struct Pipeline {
  int writer, reader;
  std::string writer_err, reader_out, reader_err;
};

// Two programs joined by a pipe, the writer's standard output being the
// reader's standard input; the writer reads /dev/null, and everything else
// goes to files in `dir`.
template <class W, class R> Pipeline run_pipeline(const TempDir &dir, W writer, R reader) {
  int fds[2];
  if (::pipe(fds) != 0) std::abort();
  std::fflush(nullptr);
  const auto spawn = [&](auto body, int in_fd, const std::string &out, const std::string &err) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (::dup2(in_fd < 0 ? null_fd : in_fd, 0) < 0 || !std::freopen(err.c_str(), "w", stderr))
      ::_exit(99);
    if (out.empty() ? ::dup2(fds[1], 1) < 0 : !std::freopen(out.c_str(), "w", stdout)) ::_exit(99);
    ::close(fds[0]);
    ::close(fds[1]);
    ::close(null_fd);
    std::filesystem::current_path(dir.path());
    body();
    std::exit(0);
  };
  const pid_t w = spawn(writer, -1, "", dir / "writer.err");
  const pid_t r = spawn(reader, fds[0], dir / "reader.out", dir / "reader.err");
  ::close(fds[0]);
  ::close(fds[1]);
  const int reader_status = wait_bounded(r, 60);
  const int writer_status = wait_bounded(w, 10);
  return {writer_status, reader_status, read_file(dir / "writer.err"),
          read_file(dir / "reader.out"), read_file(dir / "reader.err")};
}

// The dataset of write_dataset, sent to a piped out: the history with the
// socket endpoints of the hff and gff goes first, the traces after it,
// whether kov_3d_close comes before the traces or after them.
void write_piped_dataset(const TempDir &dir, bool close_first = true,
                         std::initializer_list<std::string> extra = {}) {
  // The words live until exit.
  static std::vector<std::string> args;
  static std::vector<char *> argv;
  args = {"writer", "datapath=" + dir.path().string() + "/", "sockhost=127.0.0.1", "timeout=20"};
  args.insert(args.end(), extra);
  for (auto &word : args) argv.push_back(word.data());
  argv.push_back(nullptr);
  initpar(static_cast<int>(args.size()), argv.data());
  describe_dataset();
  if (close_first) kov_3d_close();
  write_traces();
  if (!close_first) kov_3d_close();
}

std::string hex(const unsigned char *bytes, std::size_t n) {
  std::string text;
  char two[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    text += two;
  }
  return text;
}

// What a reader of the dataset finds, one line per check, so the parent
// compares it; `full` adds the header values and the traces.
void summarize_input(const TempDir &dir, bool full = true) {
  std::filesystem::current_path(dir.path());
  // The grid is made seekable in a scratch file of the datapath.
  set_args({"reader", "datapath=" + dir.path().string() + "/"});
  init_3d();
  std::string seen;
  int n = 0;
  const int one = 1, rec = 2, count = 3;
  const int counted = kov_get_number_keys("in", &n);
  seen += "keys " + std::to_string(counted) + " " + std::to_string(n);
  for (int k = 1; k <= n; ++k) {
    char name[KOV3D_KEY_NAME_ROOM] = "", type[KOV3D_KEY_TYPE_ROOM] = "";
    kov_get_key_name("in", &k, name);
    kov_get_key_type("in", &k, type);
    seen += std::string(" ") + name + ":" + type;
  }
  if (full) {
    int ntr[3] = {};
    float sx[3] = {};
    seen += "\nvalues " + std::to_string(kov_get_val_by_index("in", &rec, &one, &count, ntr)) +
            " " + std::to_string(kov_get_val_by_name("in", &rec, "sx", &count, sx));
    for (int i = 0; i < 3; ++i) seen += " " + std::to_string(ntr[i]) + "/" + std::to_string(sx[i]);
    std::vector<unsigned char> records(kTraces * 12);
    seen +=
        "\nrecords " + std::to_string(kov_get_val_headers("in", &one, &kTraces, records.data()));
    seen += " " + hex(records.data(), records.size());
  }
  const int dims = 3, ng[] = {3, 2}, nw[] = {2, 2}, fw[] = {1, 0}, j1[] = {1, 1};
  int part[4] = {};
  seen += "\nwindow " + std::to_string(kov_get_grid_window("in", &dims, ng, nw, fw, j1, part));
  for (const int c : part) seen += " " + std::to_string(c);
  if (full) {
    std::vector<float> traces(kN1 * kTraces);
    const int got = sreed("in", traces.data(), kN1 * kTraces * 4);
    int wrong = 0;
    for (int t = 0; t < kTraces; ++t)
      for (int i = 0; i < kN1; ++i)
        wrong += traces[static_cast<std::size_t>(t * kN1 + i)] != sample(t + 1, i);
    seen += "\ntraces " + std::to_string(got) + " wrong " + std::to_string(wrong);
  }
  seen += "\n";
  std::printf("%s", seen.c_str());
}

// The whole records as the hff's data hold them: ntr and gx big-endian, sx
// in the native order.
std::string expected_records() {
  std::vector<unsigned char> bytes;
  const auto big_endian = [&](std::uint32_t w) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<unsigned char>(w >> shift));
  };
  for (int t = 0; t < kTraces; ++t) {
    big_endian(static_cast<std::uint32_t>(10 + t));
    const float sx = 1.5f * static_cast<float>(t);
    const auto *raw = reinterpret_cast<const unsigned char *>(&sx);
    bytes.insert(bytes.end(), raw, raw + 4);
    big_endian(std::bit_cast<std::uint32_t>(-2.0f * static_cast<float>(t)));
  }
  return hex(bytes.data(), bytes.size());
}

std::string expected_summary(bool full = true) {
  if (!full)
    return "keys 0 3 ntr:scalar_int sx:scalar_float gx:scalar_float\nwindow 0 " +
           std::to_string(kCells[1]) + " " + std::to_string(kCells[2]) + " " +
           std::to_string(kCells[4]) + " " + std::to_string(kCells[5]) + "\n";
  std::string text = "keys 0 3 ntr:scalar_int sx:scalar_float gx:scalar_float\nvalues 0 0";
  for (int i = 1; i <= 3; ++i)
    text += " " + std::to_string(10 + i) + "/" + std::to_string(1.5f * static_cast<float>(i));
  text += "\nrecords 0 " + expected_records();
  text += "\nwindow 0";
  for (const int c : {1, 2, 4, 5}) text += " " + std::to_string(kCells[c]);
  return text + "\ntraces " + std::to_string(kN1 * kTraces * 4) + " wrong 0\n";
}

// The dataset piped from a writer to a reader, which finds it whole.
void pipe_dataset(const TempDir &dir, bool close_first,
                  std::initializer_list<std::string> extra = {}) {
  const Pipeline run = run_pipeline(
      dir, [&] { write_piped_dataset(dir, close_first, extra); }, [&] { summarize_input(dir); });
  ASSERT_EQ(run.writer, 0) << run.writer_err;
  ASSERT_EQ(run.reader, 0) << run.reader_err;
  EXPECT_EQ(run.reader_out, expected_summary()) << run.reader_err;
}

// From another directory, through standard input or a named header, with
// the absolute names of today's histories and the relative names of older
// ones (resolved against the header's own directory).
TEST(Kov3dRoundTrip, ReadsFromAnotherDirectoryWithAbsoluteOrRelativeNames) {
  TempDir dir, elsewhere;
  const auto writer = kovtest::run_child([&] { write_dataset(dir); });
  ASSERT_EQ(writer.status, 0) << writer.err;
  std::filesystem::create_directory(dir / "old");
  for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    const std::string old = dir / ("old/" + name);
    if (name != "out.H" && name != "out.H@@" && name != "out.H@@@@") {
      std::filesystem::copy_file(entry.path(), old);
      continue;
    }
    std::string text = read_file(entry.path().string());
    for (std::size_t at; (at = text.find(dir / "")) != std::string::npos;)
      text.erase(at, (dir / "").size());
    write_file(old, text);
  }
  ASSERT_EQ(read_file(dir / "old/out.H").find('/'), std::string::npos);
  for (const std::string &header : {dir / "out.H", dir / "old/out.H"}) {
    for (const bool redirected : {true, false}) {
      const auto reader = kovtest::run_child([&] {
        enter(elsewhere, redirected ? header : "/dev/null");
        if (redirected)
          set_args({"reader"});
        else
          set_args({"reader", "stdin=" + header});
        init_3d();
        int n = 0, ntr[3] = {};
        const int rec = 2, one = 1, count = 3;
        if (kov_get_number_keys("in", &n) != 0 || n != 3) std::exit(2);
        if (kov_get_val_by_index("in", &rec, &one, &count, ntr) != 0 || ntr[2] != 13) std::exit(3);
        std::vector<float> trace(kN1);
        if (sreed("in", trace.data(), kN1 * 4) != kN1 * 4 || trace[1] != sample(1, 1)) std::exit(4);
        std::exit(0);
      });
      EXPECT_EQ(reader.status, 0) << header << " " << redirected << ": " << reader.err;
    }
  }
}

TEST(Kov3dRoundTrip, PipedDatasetReachesItsReaderWithHeadersAndGrid) {
  TempDir dir;
  pipe_dataset(dir, true);
}

TEST(Kov3dRoundTrip, PipedDatasetSurvivesCloseAfterTheTraces) {
  TempDir dir;
  pipe_dataset(dir, false);
}

// Description files named on the command line travel like generated ones
// and stay where the user put them, complete.
TEST(Kov3dRoundTrip, NamedDescriptionFilesArePipedAndKept) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(pipe_dataset(dir, false, {"hff=my.hff", "gff=my.gff"}));
  ASSERT_TRUE(std::filesystem::exists(dir / "my.hff"));
  ASSERT_TRUE(std::filesystem::exists(dir / "my.gff"));
  EXPECT_NE(read_file(dir / "my.hff").find("hdrkey3=\"gx\""), std::string::npos);
  EXPECT_NE(read_file(dir / "my.gff").find("n3_grid=2"), std::string::npos);
  write_file(dir / "named.H", "\t\tn1=8 n2=6 hff=\"my.hff\" gff=\"my.gff\" in=\"/dev/null\"\n");
  const auto again = kovtest::run_child([&] { summarize_input(dir, false); }, dir / "named.H");
  EXPECT_EQ(again.out, expected_summary(false)) << again.err;
}

// ---- Copies and flags -------------------------------------------------------

TEST(Kov3dCopy, DescriptionsPassOnAndTheGridIsCopied) {
  TempDir dir;
  const auto writer = kovtest::run_child([&] { write_dataset(dir); });
  ASSERT_EQ(writer.status, 0) << writer.err;
  // out shares in's traces and header values and gets its own copy of the
  // grid; o2 gets the key descriptions and shares in's grid.
  const auto copier = kovtest::run_child(
      [&] {
        enter(dir, dir / "out.H");
        set_args({"copier", "head=c.H", "o2=c2.H", "datapath=" + dir.path().string() + "/"});
        init_3d();
        tag_info("out", TAG_OUT); // the copies need both records
        if (kov_copy_data_pointer("in", "out") != 0 || kov_copy_hff("in", "out") != 0 ||
            kov_copy_grid("in", "out") != 0)
          std::exit(3);
        auxout("o2");
        if (kov_copy_header_keys("in", "o2") != 0 || kov_copy_gff("in", "o2") != 0) std::exit(4);
        char *gff_in = nullptr, *gff_out = nullptr;
        kov_get_grid_format_tag("in", &gff_in);
        kov_get_grid_format_tag("out", &gff_out);
        std::printf("\nGRIDS:%s|%s\n", tag_info(gff_in, TAG_INQUIRE)->dataname->c_str(),
                    tag_info(gff_out, TAG_INQUIRE)->dataname->c_str());
        std::free(gff_in);
        std::free(gff_out);
        kov_3d_close();
        auxclose("o2");
      },
      dir / "out.H");
  ASSERT_EQ(copier.status, 0) << copier.err;
  const std::string grids = copier.out.substr(copier.out.rfind("GRIDS:") + 6);
  const std::string grid_in = grids.substr(0, grids.find('|'));
  const std::string grid_out =
      grids.substr(grids.find('|') + 1, grids.find('\n') - grids.find('|') - 1);
  EXPECT_NE(grid_in, grid_out);
  EXPECT_EQ(read_file(grid_out), read_file(grid_in));
  EXPECT_EQ(read_file(grid_out).size(), 6u * 4u);

  const auto files = kovtest::run_child([&] { summarize_input(dir); }, dir / "out.H");
  EXPECT_EQ(files.out, expected_summary()) << files.err;
  const auto copy = kovtest::run_child([&] { summarize_input(dir); }, dir / "c.H");
  EXPECT_EQ(copy.out, expected_summary()) << copy.err;
  const auto keys_only = kovtest::run_child([&] { summarize_input(dir, false); }, dir / "c2.H");
  EXPECT_EQ(keys_only.out, expected_summary(false)) << keys_only.err;
}

TEST(Kov3dFlags, NoHeadersNoGridAndRegularGridReachTheReader) {
  TempDir dir;
  const auto writer = kovtest::run_child([&] {
    enter(dir);
    set_args({"writer", "head=r.H", "datapath=" + dir.path().string() + "/"});
    const int two = 2, three = 3, g2 = 3, g3 = 2;
    const float o = 0, d = 1;
    kov_put_grid_axis_par("out", &two, &g2, &o, &d, "x");
    kov_put_grid_axis_par("out", &three, &g3, &o, &d, "y");
    kov_set_no_headers("out");
    kov_set_regular_grid("out");
    kov_3d_close();
  });
  ASSERT_EQ(writer.status, 0) << writer.err;
  const auto bare = kovtest::run_child([&] {
    enter(dir);
    set_args({"writer", "head=n.H", "datapath=" + dir.path().string() + "/"});
    kov_set_no_headers("out");
    kov_set_no_grid("out");
    kov_3d_close();
  });
  ASSERT_EQ(bare.status, 0) << bare.err;

  const auto regular = kovtest::run_child(
      [&] {
        enter(dir, dir / "r.H");
        set_args({"reader", "datapath=" + dir.path().string() + "/"});
        init_3d();
        int n = -1;
        const int dims = 3, ng[] = {3, 2}, f0[] = {0, 0}, j1[] = {1, 1};
        int cells[6] = {};
        const int keys = kov_get_number_keys("in", &n);
        std::printf("\nRESULT:%d %d", keys,
                    kov_get_grid_window("in", &dims, ng, ng, f0, j1, cells));
        for (const int c : cells) std::printf(" %d", c);
      },
      dir / "r.H");
  EXPECT_EQ(regular.out.substr(regular.out.rfind("RESULT:")), "RESULT:2 0 1 2 3 4 5 6")
      << regular.err;
  const auto none = kovtest::run_child(
      [&] {
        enter(dir, dir / "n.H");
        set_args({"reader"});
        init_3d();
        char *name = nullptr;
        const int dims = 3, ng[] = {3, 2}, f0[] = {0, 0}, j1[] = {1, 1};
        int cells[6] = {};
        const int hff = kov_get_header_format_tag("in", &name);
        const int gff = kov_get_grid_format_tag("in", &name);
        std::printf("\nRESULT:%d %d %d", hff, gff,
                    kov_get_grid_window("in", &dims, ng, ng, f0, j1, cells));
      },
      dir / "n.H");
  EXPECT_EQ(none.out.substr(none.out.rfind("RESULT:")), "RESULT:2 2 2") << none.err;
}

// A dataset described by hand: data, an optional hff and a gff.
void describe(const TempDir &dir, const std::string &extra) {
  write_file(dir / "d.H", "\t\tn1=4 n2=6 gff=\"g.H\" " + extra + "\n");
  write_file(dir / "g.H", "\t\tn2_grid=3 n3_grid=2 in=\"-1\"\n");
  write_file(dir / "h.H", "\t\tn1=2 hdrkey1=\"a\" hdrtype1=\"scalar_int\" hdrfmt1=\"xdr_int\"\n"
                          "\t\thdrkey2=\"b\" hdrtype2=\"vector\" hdrfmt2=\"xdr_int\"\n");
}

TEST(Kov3dRegularGrid, WindowYieldsGridPositions) {
  TempDir dir;
  describe(dir, "hff=-1");
  enter(dir, dir / "d.H");
  set_args({"prog"});
  init_3d();
  const int dims = 3, ng[] = {3, 2}, nw[] = {2, 2}, fw[] = {1, 0}, jw[] = {1, 1};
  int cells[4] = {};
  EXPECT_EQ(kov_get_grid_window("in", &dims, ng, nw, fw, jw, cells), 0);
  EXPECT_EQ(std::vector<int>(cells, cells + 4), (std::vector<int>{2, 3, 5, 6}));
  // Without headers every key and value operation says so.
  int n = -1, r = 1, k = 1, byte = 0;
  char *name = nullptr;
  EXPECT_EQ(kov_get_header_format_tag("in", &name), 2);
  EXPECT_EQ(kov_get_number_keys("in", &n), 2);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(kov_get_key_index("in", "a", &k), 2);
  EXPECT_EQ(kov_get_val_by_index("in", &r, &k, &r, cells), 2);
  EXPECT_EQ(kov_get_val_headers("in", &r, &r, cells), 2);
  EXPECT_EQ(kov_get_key_first_byte("in", &k, &byte), 2);
  EXPECT_EQ(kov_get_number_header_axes("in", &n), 2);
}

TEST(Kov3dRegularGrid, CommandLineHffWinsAndKeyDescriptionsAreChecked) {
  TempDir dir;
  describe(dir, "hff=-1");
  enter(dir, dir / "d.H");
  set_args({"prog", "hff_in=h.H"});
  init_3d();
  char *name = nullptr;
  ASSERT_EQ(kov_get_header_format_tag("in", &name), 0);
  EXPECT_STREQ(name, "h.H");
  std::free(name);
  int n = 0;
  // Key 2 has a type the layer does not know.
  EXPECT_EQ(kov_get_number_keys("in", &n), -1);
  const int two = 2;
  char fmt[KOV3D_KEY_TYPE_ROOM];
  EXPECT_EQ(kov_get_key_fmt("in", &two, fmt), 0);
  EXPECT_STREQ(fmt, "xdr_int");
  // The foreign-caller forms: blank-padded texts both ways.
  char field[10];
  EXPECT_EQ(kov_get_key_fmt_("in  ", &two, field, 4, sizeof field), 0);
  EXPECT_EQ(std::string(field, sizeof field), "xdr_int   ");
  int index = 0;
  EXPECT_EQ(kov_get_key_index__("in", "b   ", &index, 2, 4), 0);
  EXPECT_EQ(index, 2);
  const int three = 3;
  EXPECT_EQ(kov_get_key_name("in", &three, fmt), -1);
}

TEST(Kov3dAxes, DataAxisCountStopsAtTheFirstAbsentLength) {
  TempDir dir;
  write_file(dir / "a.H", "\t\tn1=100 n2=1 n3=7\n");
  write_file(dir / "b.H", "\t\tn1=100 n2=1\n");
  enter(dir);
  set_args({"prog", "a=a.H", "b=b.H"});
  auxin("a");
  auxin("b");
  int n = 0;
  EXPECT_EQ(kov_get_number_data_axes("a", &n), 0);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(kov_get_number_data_axes("b", &n), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(kov_get_number_data_axes("never", &n), 1);
  EXPECT_EQ(kov_copy_data_pointer("a", "never"), -1);
}

TEST(Kov3dOutput, PipedOutputNamesItsFilesInTheDatapath) {
  TempDir dir;
  const std::string path = dir.path().string() + "/";
  const auto child = kovtest::run_child([&] {
    enter(dir);
    set_args({"prog", "datapath=" + path});
    // Standard output of the child is a file elsewhere: pretend a pipe.
    tag_info("out", TAG_OUT)->isapipe = 1;
    char *hff = nullptr, *gff = nullptr;
    if (kov_get_header_format_tag("out", &hff) != 0 || kov_get_grid_format_tag("out", &gff) != 0)
      std::exit(3);
    std::printf("\nNAMES:%s %s\n", hff, gff);
    std::exit(0);
  });
  ASSERT_EQ(child.status, 0) << child.err;
  const std::string names = child.out.substr(child.out.rfind("NAMES:") + 6);
  EXPECT_EQ(names.rfind(path + "hff_", 0), 0u) << names;
  EXPECT_NE(names.find(" " + path + "gff_"), std::string::npos) << names;
}

TEST(Kov3dDeath, MisusesAreFatal) {
  TempDir dir;
  describe(dir, "hff=h.H");
  enter(dir);
  set_args({"prog", "head=o.H", "datapath=" + dir.path().string() + "/"});
  const int zero = 0, one = 1, four = 4, n = 3;
  const float o = 0, d = 1;
  tag_info("out", TAG_OUT);
  EXPECT_EXIT(kov_put_key("out", "a", "scalar_int", "xdr_int", &one), fatal_exit(),
              "kov_put_key:must call kov_put_number_keys before kov_put_key\n");
  EXPECT_EXIT(
      {
        kov_put_number_keys("out", &n);
        kov_put_key("out", "a", "scalar_int", "xdr_int", &four);
      },
      fatal_exit(), "invalid key number \\(outside 1 < key_index\\[4\\] < n_key\\[3\\]\\)");
  EXPECT_EXIT(
      {
        kov_put_number_keys("out", &n);
        kov_put_key("out", "a", "scalar_int", "xdr_int", &zero);
      },
      fatal_exit(), "key_index\\[0\\]");
  EXPECT_EXIT(
      {
        kov_put_number_keys("out", &n);
        kov_put_key("out", "a", "vector", "xdr_int", &one);
      },
      fatal_exit(), "put_key:Unrecognized key_type=vector keyname=a \n");
  EXPECT_EXIT(kov_put_header_axis_par("out", &one, &n, &o, &d, ""), fatal_exit(),
              "kov_put_header_axis_par i_axis == 1 is not legal --- Use kov_put_number_keys");
  EXPECT_EXIT(kov_put_grid_axis_par("out", &one, &n, &o, &d, ""), fatal_exit(),
              "kov_put_grid_axis_par i_axis == 1 is not legal");
  EXPECT_EXIT(
      {
        enter(dir, dir / "d.H");
        auxin("x");
        kov_put_header_format_tag("x", "x@@");
      },
      fatal_exit(), "Can not call kov_put_header_format_tag for STREAMIN tag \n");
}

// Each child reopens the input history: children share the file offset.
TEST(Kov3dDeath, InputBindingMisusesAreFatal) {
  TempDir dir;
  describe(dir, "hff=h.H");
  enter(dir);
  set_args({"prog"});
  const int four = 4;
  EXPECT_EXIT(
      {
        char *name = nullptr;
        enter(dir, dir / "d.H");
        tag_info("in", TAG_IN);
        kov_get_header_format_tag("in", &name);
      },
      fatal_exit(), "must call init_3d at the begining of your kov3d program");
  EXPECT_EXIT(
      {
        enter(dir, dir / "d.H");
        init_3d();
        int k = 0;
        kov_get_number_keys("in", &k);
        kov_get_key_first_byte("in", &four, &k);
      },
      fatal_exit(), "kov_get_key_first_byte key_index > n_keys");
  EXPECT_EXIT(
      {
        enter(dir, dir / "d.H");
        init_3d();
        init_3d();
      },
      fatal_exit(), "headerformatfile already set in structure init_3d should be the first call");
}

// A piped out (its record marked so; the header itself is a file here).
TEST(Kov3dDeath, PipedCloseNeedsOpenDescriptionsAndAReader) {
  TempDir dir;
  enter(dir);
  set_args({"prog", "head=o.H", "datapath=" + dir.path().string() + "/", "sockhost=127.0.0.1",
            "timeout=1"});
  const auto piped_out_with_hff = [] {
    tag_info("out", TAG_OUT)->isapipe = 1;
    char *hff = nullptr;
    kov_get_header_format_tag("out", &hff);
    std::free(hff);
    return std::string(*tag_info("out", TAG_INQUIRE)->headerformatfile);
  };
  EXPECT_EXIT(
      {
        auxclose(piped_out_with_hff().c_str());
        kov_3d_close();
      },
      fatal_exit(),
      "Can not call auxclose on the headers \\(most likely by writing out the headers\\) before "
      "kov_3d_close if you wish to pipe\n");
  // Nobody reads: the wait ends after the time-out.
  EXPECT_EXIT(
      {
        piped_out_with_hff();
        kov_3d_close();
      },
      fatal_exit(), "kov_3d_close\\(\\): pipe synch failed for hff\n");
  // Once out's history has ended, a description file set up now could not
  // reach the reader, and its name would land among the data.
  EXPECT_EXIT(
      {
        tag_info("out", TAG_OUT)->isapipe = 1;
        const std::vector<float> trace(kN1, 1.0f);
        srite("out", trace.data(), kN1 * 4);
        char *hff = nullptr;
        kov_get_header_format_tag("out", &hff);
      },
      fatal_exit(),
      "kov_put_header_format_tag\\(\\): out goes to a pipe and its history has ended; set the "
      "header format file before the first data write or kov_3d_close\n");
}

// ---- Reordering ---------------------------------------------------------------

// Transfers asked of a record's back end: "r<bytes>" and "w<bytes>".
std::vector<std::string> ops;
kov_read_fn real_read = nullptr;
kov_write_fn real_write = nullptr;

long logged_read(streaminf *r, void *io, char *buf, long n) {
  ops.push_back("r" + std::to_string(n));
  return real_read(r, io, buf, n);
}

long logged_write(streaminf *r, void *io, const char *buf, long n) {
  ops.push_back("w" + std::to_string(n));
  return real_write(r, io, buf, n);
}

void watch(const char *tag, bool reads) {
  streaminf *r = tag_info(tag, reads ? TAG_IN : TAG_OUT);
  if (r->ioinf == nullptr) r->open_func(r, &r->ioinf);
  if (reads)
    real_read = std::exchange(r->read_func, logged_read);
  else
    real_write = std::exchange(r->write_func, logged_write);
}

struct Reorder {
  TempDir dir;
  int tsize;
  std::string input;

  Reorder(int traces, int size) : tsize(size) {
    std::mt19937 gen(7);
    input.resize(static_cast<std::size_t>(traces) * static_cast<std::size_t>(size));
    for (char &c : input) c = static_cast<char>(gen());
    write_file(dir / "t.dat", input);
    write_file(dir / "t.H", "\t\tin=\"" + (dir / "t.dat") + "\" data_format=\"native_byte\"\n");
    enter(dir, dir / "t.H");
    set_args(
        {"prog", "head=o.H", "data_format=native_byte", "datapath=" + dir.path().string() + "/"});
    watch("in", true);
    tag_info("out", TAG_OUT);
    watch("out", false);
    ops.clear();
  }
  std::string expected(const std::vector<int> &order) const {
    std::string out;
    for (const int t : order)
      out.append(input, static_cast<std::size_t>(t - 1) * static_cast<std::size_t>(tsize),
                 static_cast<std::size_t>(tsize));
    return out;
  }
  std::string written() {
    hclose();
    return read_file(*tag_info("out", TAG_INQUIRE)->dataname);
  }
  std::string plan() const {
    std::string all;
    for (const auto &op : ops) all += (all.empty() ? "" : " ") + op;
    return all;
  }
};

std::vector<int> random_order(int traces, int count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> pick(1, traces);
  std::vector<int> order(static_cast<std::size_t>(count));
  for (int &t : order) t = pick(gen);
  // Some runs of consecutive traces among the random picks.
  for (std::size_t i = 10; i + 3 < order.size(); i += 40)
    for (std::size_t j = 1; j < 4; ++j)
      order[i + j] = std::min(order[i] + static_cast<int>(j), traces);
  return order;
}

TEST(Kov3dReorder, RunsAreReadOnceAndWrittenInOneBatch) {
  Reorder job(10, 8);
  const std::vector<int> order{5, 6, 7, 2};
  ASSERT_EQ(kov_reorder_data("in", "out", 4, 8, order.data()), 0);
  EXPECT_EQ(job.plan(), "r24 r8 w32");
  EXPECT_EQ(job.written(), job.expected(order));
}

TEST(Kov3dReorder, LongListsGoInBatchesOfTenThousand) {
  Reorder job(25000, 4);
  std::vector<int> order(25000);
  for (int i = 0; i < 25000; ++i) order[static_cast<std::size_t>(i)] = i + 1;
  ASSERT_EQ(kov_reorder_data("in", "out", 25000, 4, order.data()), 0);
  EXPECT_EQ(job.plan(), "r40000 w40000 r40000 w40000 r20000 w20000");
  EXPECT_EQ(job.written(), job.expected(order));
}

TEST(Kov3dReorder, RandomOrdersWithRepeatsEqualANaiveCopy) {
  Reorder job(300, 12);
  const std::vector<int> order = random_order(300, 700, 11);
  ASSERT_EQ(kov_reorder_data("in", "out", 700, 12, order.data()), 0);
  EXPECT_EQ(job.written(), job.expected(order));
}

TEST(Kov3dReorder, FastFormWorksInBlocksOfTheBudget) {
  Reorder job(800, 1000);
  std::vector<int> order = random_order(800, 1200, 5);
  order[3] = order[2]; // one trace named twice in a row
  ASSERT_EQ(kov_reorder_data_fast("in", "out", 1200, 1000, order.data(), 1), 0);
  std::vector<std::string> writes;
  for (const auto &op : ops)
    if (op[0] == 'w') writes.push_back(op);
  EXPECT_EQ(writes, (std::vector<std::string>{"w500000", "w500000", "w200000"}));
  EXPECT_EQ(job.written(), job.expected(order));
}

TEST(Kov3dReorder, FastFormReadsEachBlockInAscendingRuns) {
  Reorder job(10, 1000);
  // Sorted: 1, 5, 5, 6, 7, 9; the repeated 5 starts a run of its own.
  const std::vector<int> order{7, 5, 6, 5, 9, 1};
  ASSERT_EQ(kov_reorder_data_fast("in", "out", 6, 1000, order.data(), 1), 0);
  EXPECT_EQ(job.plan(), "r1000 r1000 r3000 r1000 w6000");
  EXPECT_EQ(job.written(), job.expected(order));
}

TEST(Kov3dReorder, FastFormReadsAReversedBlockInOnePiece) {
  Reorder job(1000, 1000);
  std::vector<int> order(1000);
  for (int i = 0; i < 1000; ++i) order[static_cast<std::size_t>(i)] = 1000 - i;
  ASSERT_EQ(kov_reorder_data_fast("in", "out", 1000, 1000, order.data(), 1), 0);
  EXPECT_EQ(job.plan(), "r500000 w500000 r500000 w500000");
  EXPECT_EQ(job.written(), job.expected(order));
}

// Entries that name no trace of the input and trace sizes below 1 end the
// program before anything is read or written.
TEST(Kov3dReorder, EntriesOutsideTheInputAndBadTraceSizesAreFatal) {
  Reorder job(10, 8);
  const std::vector<int> zero{3, 0, 2}, past{11}, negative{2, -1}, good{1, 2};
  EXPECT_EXIT(kov_reorder_data("in", "out", 3, 8, zero.data()), fatal_exit(),
              "kov_reorder_data: order entry 0 at position 2 is outside 1\\.\\.10 \\(the traces "
              "of tag in\\)\n");
  EXPECT_EXIT(kov_reorder_data("in", "out", 1, 8, past.data()), fatal_exit(),
              "order entry 11 at position 1 is outside 1\\.\\.10");
  EXPECT_EXIT(kov_reorder_data("in", "out", 2, 8, negative.data()), fatal_exit(),
              "order entry -1 at position 2 is outside");
  EXPECT_EXIT(kov_reorder_data_fast("in", "out", 3, 8, zero.data(), 1), fatal_exit(),
              "kov_reorder_data_fast: order entry 0 at position 2 is outside 1\\.\\.10");
  EXPECT_EXIT(kov_reorder_data_fast("in", "out", 1, 8, past.data(), 1), fatal_exit(),
              "order entry 11 at position 1 is outside 1\\.\\.10");
  // With 4-byte traces the same input holds 20 of them.
  EXPECT_EXIT(kov_reorder_data("in", "out", 1, 4, std::vector<int>{21}.data()), fatal_exit(),
              "order entry 21 at position 1 is outside 1\\.\\.20");
  for (const int size : {0, -4}) {
    EXPECT_EXIT(kov_reorder_data("in", "out", 2, size, good.data()), fatal_exit(),
                "kov_reorder_data: trace size " + std::to_string(size) + " is below 1\n");
    EXPECT_EXIT(kov_reorder_data_fast("in", "out", 2, size, good.data(), 1), fatal_exit(),
                "kov_reorder_data_fast: trace size " + std::to_string(size) + " is below 1\n");
  }
}

// The address space a process may still take: what it has plus `extra`.
void limit_memory(std::size_t extra) {
  std::size_t pages = 0;
  if (std::FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t limit = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + extra;
  const rlimit bound{limit, limit};
  if (pages == 0 || ::setrlimit(RLIMIT_AS, &bound) != 0) std::abort();
}

// Two traces of 100 kB take about that much memory, not a batch of 10000
// traces; a batch that cannot be had ends with the library's message.
TEST(Kov3dReorder, MemoryFollowsTheJob) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit an address-space limit";
#endif
  constexpr int kSize = 100000;
  Reorder job(2, kSize);
  const std::vector<int> swap{2, 1}, many(10000, 1);
  constexpr std::size_t kRoom = 256u << 20;
  EXPECT_EXIT(
      {
        limit_memory(kRoom);
        const int moved = kov_reorder_data("in", "out", 2, kSize, swap.data());
        std::exit(moved == 0 && job.written() == job.expected(swap) ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        limit_memory(kRoom);
        kov_reorder_data("in", "out", 10000, kSize, many.data());
      },
      fatal_exit(), "alloc\\(kov\\):can't allocate 1000000000 bytes");
  EXPECT_EXIT(
      {
        limit_memory(kRoom);
        kov_reorder_data_fast("in", "out", 10000, kSize, many.data(), 2000);
      },
      fatal_exit(), "alloc\\(kov\\):can't allocate 1000000000 bytes");
}

} // namespace
