// SPDX-License-Identifier: Apache-2.0
// Written data gathered into large system calls: what reaches files and
// pipes, and when.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::InDir;
using kovtest::read_file;
using kovtest::set_args;
using kovtest::TempDir;
using kovtest::write_file;

constexpr int kSamples = 1000;

std::vector<float> trace(int k) {
  std::vector<float> t(kSamples);
  for (int i = 0; i < kSamples; ++i) t[i] = static_cast<float>(k) * 1000.0f + 0.25f * i;
  return t;
}

// The bytes of traces 0 .. n-1 as stored in the xdr_float format.
std::string stored(int n) {
  std::string bytes;
  for (int k = 0; k < n; ++k)
    for (float v : trace(k)) {
      uint32_t w;
      std::memcpy(&w, &v, 4);
      w = htonl(w);
      bytes.append(reinterpret_cast<const char *>(&w), 4);
    }
  return bytes;
}

void write_traces(int from, int to) {
  for (int k = from; k < to; ++k) {
    const std::vector<float> t = trace(k);
    if (srite("out", t.data(), kSamples * 4) != kSamples * 4) std::abort();
  }
}

// A fatal error after N traces leaves exactly the N traces, whichever back
// end holds them.
TEST(GatherDeathTest, FatalErrorAfterTracesLeavesExactlyThoseTraces) {
  TempDir dir;
  InDir here(dir);
  const std::string h = dir / "h.H";
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + h, "datapath=" + (dir / "")});
        write_traces(0, 7);
        koverr("stopped after %d traces\n", 7);
      },
      fatal_exit(), "stopped after 7 traces");
  EXPECT_EQ(read_file(dir / "h.H@"), stored(7)) << "one data file";

  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + h, "datapath=" + (dir / ""), "nfiles=2", "filesize=1"});
        write_traces(0, 300);
        koverr("stopped after %d traces\n", 300);
      },
      fatal_exit(), "stopped after 300 traces");
  const std::string split = read_file(dir / "h.H@") + read_file(dir / "h.H@1");
  EXPECT_EQ(read_file(dir / "h.H@").size(), 1048576u) << "the first file full";
  EXPECT_EQ(split, stored(300)) << "several files";

  const std::string stream = dir / "stream";
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + h, "out=stdout"});
        if (!std::freopen(stream.c_str(), "w", stdout)) std::abort();
        write_traces(0, 5);
        koverr("stopped after %d traces\n", 5);
      },
      fatal_exit(), "stopped after 5 traces");
  // The standard output carries the data: the message goes to standard error only.
  EXPECT_EQ(read_file(stream), stored(5)) << "a stream";
  EXPECT_EXIT(
      {
        set_args({"prog", "head=" + h, "out=stdout"});
        if (!std::freopen(stream.c_str(), "w", stdout)) std::abort();
        write_traces(0, 2);
        kovwarn(0, "a warning among the traces\n");
        write_traces(2, 3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "a warning among the traces");
  EXPECT_EQ(read_file(stream), stored(3)) << "a warning never lands among the data";
}

// Data read back through another tag while the output is still open.
TEST(Gather, ReadBackThroughAnotherTagWhileWriting) {
  TempDir dir;
  InDir here(dir);
  set_args({"prog", "head=" + (dir / "h.H"), "datapath=" + (dir / ""), "back=" + (dir / "b.H")});
  write_traces(0, 3);
  write_file(dir / "b.H", "in=" + (dir / "h.H@") + "\ndata_format=xdr_float\n");
  std::vector<float> back(3 * kSamples);
  EXPECT_EQ(sreed("back", back.data(), 3 * kSamples * 4), 3 * kSamples * 4);
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(std::vector<float>(back.begin() + k * kSamples, back.begin() + (k + 1) * kSamples),
              trace(k))
        << k;
}

// Read `n` bytes from `fd`, waiting at most 10 s for each piece; fewer when
// none come.
std::string receive(int fd, std::size_t n) {
  std::string got;
  char buffer[65536];
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t k = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
    if (k <= 0) break;
    got.append(buffer, static_cast<std::size_t>(k));
  }
  return got;
}

// A writer into a pipe that waits between its traces (here for the reader's
// word to go on) has sent each trace before it waits; one that writes in
// quick succession sends everything, in order, by the time it ends.
TEST(Gather, PipeReaderGetsEachTraceWhileTheWriterWaits) {
  TempDir dir;
  int data[2], go[2];
  ASSERT_EQ(::pipe(data), 0);
  ASSERT_EQ(::pipe(go), 0);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(data[0]);
    ::close(go[1]);
    if (::dup2(data[1], STDOUT_FILENO) < 0 || !std::freopen("/dev/null", "r", stdin)) ::_exit(99);
    set_args({"prog", "head=" + (dir / "h.H"), "out=stdout"});
    for (int k = 0; k < 4; ++k) {
      write_traces(k, k + 1);
      char word = 0;
      if (::read(go[0], &word, 1) != 1) ::_exit(98);
    }
    write_traces(4, 200);
    std::exit(0);
  }
  ::close(data[1]);
  ::close(go[0]);
  const std::string all = stored(200);
  const std::size_t one = kSamples * 4;
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(receive(data[0], one), all.substr(k * one, one)) << "trace " << k;
    // The writer's next call comes well after its last one ended.
    ::usleep(5000);
    ASSERT_EQ(::write(go[1], "g", 1), 1);
  }
  EXPECT_EQ(receive(data[0], 196 * one), all.substr(4 * one)) << "the quick writes";
  EXPECT_EQ(receive(data[0], 1), "") << "nothing more";
  ::close(data[0]);
  ::close(go[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
