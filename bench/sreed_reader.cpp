// sreed_reader: the reading end of the pipe benchmark.  Reads the data of
// `in` with sreed in pieces of 1 MiB until they end and prints the number
// of bytes read.
#include <kov/kovlib.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv) {
  initpar(argc, argv);
  std::vector<char> piece(std::size_t{1} << 20);
  long long bytes = 0;
  for (int got; (got = sreed("in", piece.data(), static_cast<int>(piece.size()))) > 0;)
    bytes += got;
  std::printf("bytes=%lld\n", bytes);
  return 0;
}
