// SPDX-License-Identifier: Apache-2.0
// kovinfo's scan of a data file through memory mappings, on the processors
// the program may run on.
//
// Summing the samples takes about as long as copying them out of the page
// cache, so a scan that copies and sums on one thread is bound to take
// longer than a copy alone.  Mapped, the file is not copied, and the blocks
// are summed on several threads at once: each thread maps a window of its
// own, the block totals wait for every thread of the round, and one thread
// then adds them to the statistics in order, so the figures are those of a
// scan on one thread, bit for bit.
#ifndef KOV_APP_KOVINFO_SCAN_HPP
#define KOV_APP_KOVINFO_SCAN_HPP

#include "stats.hpp"

#include <cstdint>

namespace kovinfo {

// The number of processors this process may run on, at most `limit`.
int scan_threads(int limit = 8);

struct MappedScan {
  // Shrank: the file ended before the bytes did (it was cut while it was
  // read; the bus error that a read of a page past its end raises is
  // caught).  Unmapped: a window could not be mapped, for the reason
  // `error`.  Either way the statistics are incomplete.
  enum Outcome { Done, Shrank, Unmapped } outcome = Done;
  int error = 0;
};

// Whether the file open on `fd` can be mapped for reading at all (some file
// systems cannot map files; their data are read instead).
bool mappable(int fd);

// Adds to `stats` the `bytes` bytes at `offset` of the regular file open on
// `fd` (a data file of samples of kind `sample`, big-endian when
// `big_endian`), in blocks of kBlockBytes from `offset`, on up to `threads`
// threads.
MappedScan scan_mapped(int fd, std::int64_t offset, std::int64_t bytes, Sample sample,
                       bool big_endian, int threads, Statistics &stats);

} // namespace kovinfo

#endif
