// SPDX-License-Identifier: Apache-2.0
// Throughput of the parameter scanner and of lookups.
#include <kov/kovlib.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string history_text(int lines) {
  std::string text = "\n";
  for (int i = 0; i < lines; ++i)
    text += "\tn" + std::to_string(i) + "=" + std::to_string(i * 7) + "\tlabel" +
            std::to_string(i) + "=\"depth in metres\"\n";
  return text;
}

void BM_ScanHistory(benchmark::State &state) {
  std::string text = history_text(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    hash_item **queue = new_queue(KOV_HETCH_QUEUE_SIZE);
    getpar_push_input(text.data(), 0);
    getpar_scan(queue, KOV_HETCH_QUEUE_SIZE);
    benchmark::DoNotOptimize(queue);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ScanHistory)->Arg(100)->Arg(10000);

void BM_DecodeList(benchmark::State &state) {
  std::string text = "\nlist=" + std::string("1.5,2*3.25,") + "7\nn1=1000\n";
  hash_item **queue = new_queue(KOV_HETCH_QUEUE_SIZE);
  getpar_push_input(text.data(), 0);
  getpar_scan(queue, KOV_HETCH_QUEUE_SIZE);
  float values[8];
  for (auto _ : state) {
    benchmark::DoNotOptimize(getpar_decode(queue, KOV_HETCH_QUEUE_SIZE, "n2 list", "f", values));
  }
}
BENCHMARK(BM_DecodeList);

} // namespace
