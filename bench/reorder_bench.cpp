// SPDX-License-Identifier: Apache-2.0
// Reordering 1 GiB of 4 KiB traces into reverse order: kov_reorder_data_fast
// with a 64 MiB budget next to kov_reorder_data, and next to reading the
// input once sequentially.  Input and output live in the page cache; the
// output is rewritten from its start in every run.
#include <kov/kov3d.h>
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

constexpr int kTraceBytes = 4096;
constexpr int kTraces = 262144;
constexpr long kTotal = static_cast<long>(kTraceBytes) * kTraces; // 1 GiB
constexpr int kBudgetMegabytes = 64;
constexpr const char *kIn = "reorder_in";
constexpr const char *kOut = "reorder_out";

// Write the input once, open it and an output whose data go to a file of
// the same scratch directory.
void setup() {
  static bool done = false;
  if (done) return;
  done = true;
  const std::string &dir = kovbench::scratch_dir();
  const std::string data = dir + "/traces.dat", header = dir + "/traces.H";
  const int fd = ::open(data.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char> trace(kTraceBytes);
  for (int t = 0; t < kTraces; ++t) {
    for (int i = 0; i < kTraceBytes; i += 4)
      trace[static_cast<std::size_t>(i)] = static_cast<char>(t);
    if (::write(fd, trace.data(), kTraceBytes) != kTraceBytes) {
      std::perror("reorder_bench: writing the input");
      std::exit(1);
    }
  }
  ::close(fd);
  if (std::FILE *f = std::fopen(header.c_str(), "w")) {
    std::fprintf(f, "n1=%d n2=%d esize=1 in=%s data_format=native_byte\n", kTraceBytes, kTraces,
                 data.c_str());
    std::fclose(f);
  }
  kovbench::ensure_command_line();
  getch_add_string((std::string(kIn) + "=" + header).c_str());
  getch_add_string((std::string(kOut) + "=" + dir + "/reversed.H").c_str());
  getch_add_string(("datapath=" + dir + "/").c_str());
  auxin(kIn);
  auxout(kOut);
  set_format(kOut, "native_byte");
  // Fill the output once, so that no run pays for growing the file.
  std::vector<char> chunk(1 << 20);
  for (long done = 0; done < kTotal; done += static_cast<long>(chunk.size()))
    srite(kOut, chunk.data(), static_cast<int>(chunk.size()));
}

const std::vector<int> &reversed() {
  static const std::vector<int> order = [] {
    std::vector<int> v(kTraces);
    for (int i = 0; i < kTraces; ++i) v[static_cast<std::size_t>(i)] = kTraces - i;
    return v;
  }();
  return order;
}

void BM_ReorderFastReverse(benchmark::State &state) {
  setup();
  for (auto _ : state) {
    sseek_l_l(kOut, 0, 0);
    kov_reorder_data_fast(kIn, kOut, kTraces, kTraceBytes, reversed().data(), kBudgetMegabytes);
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_ReorderFastReverse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_ReorderReverse(benchmark::State &state) {
  setup();
  for (auto _ : state) {
    sseek_l_l(kOut, 0, 0);
    kov_reorder_data(kIn, kOut, kTraces, kTraceBytes, reversed().data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_ReorderReverse)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The floor: the input read once from its start, 1 MiB at a time.
void BM_ReadInputSequentially(benchmark::State &state) {
  setup();
  constexpr int kChunk = 1 << 20;
  std::vector<char> buffer(kChunk);
  for (auto _ : state) {
    sseek_l_l(kIn, 0, 0);
    for (long done = 0; done < kTotal; done += kChunk) sreed(kIn, buffer.data(), kChunk);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}
BENCHMARK(BM_ReadInputSequentially)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
