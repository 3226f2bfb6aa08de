// SPDX-License-Identifier: Apache-2.0
// Throughput of converted transfers: srite of xdr_float to /dev/null and
// sreed of xdr_float from /dev/zero, next to plain writes of the same bytes.
#include <kov/kovlib.h>

#include "bench_util.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kChunk = 1 << 20;            // bytes per srite/sreed call
constexpr long kTotal = 256L * (1L << 20); // 256 MiB per iteration

// One process-wide set-up: out's header in a scratch directory, its data
// to /dev/null, and an input tag whose data are /dev/zero.
void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string &dir = kovbench::scratch_dir();
  const std::string in_header = dir + "/zero.H";
  if (std::FILE *f = std::fopen(in_header.c_str(), "w")) {
    std::fputs("in=/dev/zero data_format=xdr_float\n", f);
    std::fclose(f);
  }
  static std::vector<std::string> words = {"bench",
                                           "head=" + dir + "/h.H",
                                           "out=/dev/null",
                                           "zero=" + in_header,
                                           "file=" + dir + "/f.H",
                                           "datapath=" + dir + "/"};
  static std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  initpar(static_cast<int>(words.size()), argv.data());
}

std::vector<float> &samples() {
  static std::vector<float> v(kChunk / 4, 1.25f);
  return v;
}

void BM_SriteXdrFloat(benchmark::State &state) {
  setup();
  auto &v = samples();
  for (auto _ : state)
    for (long done = 0; done < kTotal; done += kChunk) srite("out", v.data(), kChunk);
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_SriteXdrFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SreedXdrFloat(benchmark::State &state) {
  setup();
  auto &v = samples();
  for (auto _ : state)
    for (long done = 0; done < kTotal; done += kChunk) sreed("zero", v.data(), kChunk);
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_SreedXdrFloat)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same into a file (page cache), rewritten from its start each time.
void BM_SriteXdrFloatFile(benchmark::State &state) {
  setup();
  auto &v = samples();
  srite("file", v.data(), 4); // creates the tag and opens its data
  for (auto _ : state) {
    sseek_l_l("file", 0, 0);
    for (long done = 0; done < kTotal; done += kChunk) srite("file", v.data(), kChunk);
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_SriteXdrFloatFile)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainWriteFile(benchmark::State &state) {
  setup();
  const std::string path =
      std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/kovbench_plain.bin";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto &v = samples();
  const char *bytes = reinterpret_cast<const char *>(v.data());
  for (auto _ : state) {
    ::lseek(fd, 0, SEEK_SET);
    for (long done = 0; done < kTotal; done += 16384)
      benchmark::DoNotOptimize(::write(fd, bytes, 16384));
  }
  ::close(fd);
  ::unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_PlainWriteFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// Plain writes of the same bytes in the chunk size of the converted path.
void BM_PlainWrite(benchmark::State &state) {
  const int fd = ::open("/dev/null", O_WRONLY);
  auto &v = samples();
  const char *bytes = reinterpret_cast<const char *>(v.data());
  for (auto _ : state)
    for (long done = 0; done < kTotal; done += state.range(0))
      benchmark::DoNotOptimize(::write(fd, bytes, static_cast<size_t>(state.range(0))));
  ::close(fd);
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_PlainWrite)->Arg(16380)->Arg(kChunk)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
