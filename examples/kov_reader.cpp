// kov_reader: a reader of the family for the pipeline tests and benchmarks.
//
// Reads the n1 x n2 samples of `in` trace by trace with sreed and prints one
// line on standard output:
//   n1=<n1> n2=<n2> traces=<traces read whole> bytes=<bytes> sum=<hex> handshake=<0|1>
// where sum is the sum of the samples' bit patterns (mod 2^64) and handshake
// tells whether the end-of-header handshake reached the writer.
// Parameters: dump=<file> also writes the samples (native floats) there;
// die_after=<k> ends the process abruptly after k traces (a reader that
// dies mid-stream).
#include <kov/kovlib.h>

#include "streaminf.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv) {
  initpar(argc, argv);
  int n1 = 0, n2 = 1, die_after = -1;
  if (hetch_n("n1", "d", &n1, 1) == 0 || n1 <= 0) koverr("kov_reader: need n1 > 0 in the input\n");
  hetch_n("n2", "d", &n2, 1);
  getch_n("die_after", "d", &die_after, 1);
  char dump_name[4096] = "";
  std::FILE *dump = nullptr;
  if (getch_n("dump", "s", dump_name, sizeof dump_name) > 0) {
    dump = std::fopen(dump_name, "wb");
    if (dump == nullptr) koverr("kov_reader: cannot create %s\n", dump_name);
  }
  const streaminf *in = tag_info("in", TAG_IN);
  const int handshake = in->sockfd > 0 ? 1 : 0;

  std::vector<float> trace(static_cast<std::size_t>(n1));
  const int nbytes = n1 * 4;
  long long bytes = 0;
  int traces = 0;
  uint64_t sum = 0;
  for (int i = 0; i < n2; ++i) {
    if (traces == die_after) ::_exit(3);
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
  std::printf("n1=%d n2=%d traces=%d bytes=%lld sum=%016llx handshake=%d\n", n1, n2, traces, bytes,
              static_cast<unsigned long long>(sum), handshake);
  return 0;
}
