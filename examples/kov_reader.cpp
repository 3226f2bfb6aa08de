// SPDX-License-Identifier: Apache-2.0
// kov_reader: reads a dataset of the family trace by trace and prints a
// summary line on standard output:
//
//   n1=<n1> n2=<n2> traces=<traces read whole> bytes=<bytes> sum=<hex>
//
// where sum is the sum of the samples' bit patterns (mod 2^64), a cheap
// fingerprint to compare two transfers.  dump=<file> also writes the samples
// there (native floats).
//
//   velmodel n1=2000 n2=400 | ./kov_reader
//
// Build:  c++ -std=c++20 -o kov_reader kov_reader.cpp $(pkg-config --cflags --libs kov)
#include <kov/kovlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv) {
  initpar(argc, argv);
  int n1 = 0, n2 = 1;
  if (hetch_n("n1", "d", &n1, 1) == 0 || n1 <= 0) koverr("kov_reader: need n1 > 0 in the input\n");
  hetch_n("n2", "d", &n2, 1);
  char dump_name[4096] = "";
  std::FILE *dump = nullptr;
  if (getch_n("dump", "s", dump_name, sizeof dump_name) > 0) {
    dump = std::fopen(dump_name, "wb");
    if (dump == nullptr) koverr("kov_reader: cannot create %s\n", dump_name);
  }

  std::vector<float> trace(static_cast<std::size_t>(n1));
  const int nbytes = n1 * 4;
  long long bytes = 0;
  int traces = 0;
  uint64_t sum = 0;
  for (int i = 0; i < n2; ++i) {
    const int got = sreed("in", trace.data(), nbytes);
    bytes += got > 0 ? got : 0;
    for (int k = 0; k < got / 4; ++k) {
      uint32_t w;
      std::memcpy(&w, &trace[static_cast<std::size_t>(k)], 4);
      sum += w;
    }
    if (dump != nullptr && got > 0)
      std::fwrite(trace.data(), 1, static_cast<std::size_t>(got), dump);
    if (got != nbytes) break;
    ++traces;
  }
  if (dump != nullptr && std::fclose(dump) != 0) koverr("kov_reader: cannot write %s\n", dump_name);
  std::printf("n1=%d n2=%d traces=%d bytes=%lld sum=%016llx\n", n1, n2, traces, bytes,
              static_cast<unsigned long long>(sum));
  return 0;
}
