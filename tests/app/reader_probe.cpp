// SPDX-License-Identifier: Apache-2.0
// Test hooks for examples/kov_reader, linked into the test build of it with
// the link option --wrap=sreed, so that the example stays a plain user's
// program:
//   - at exit it prints "handshake=<0|1>": whether the end-of-header
//     handshake reached the writer (the record of `in` holds the socket);
//   - die_after=<k> ends the process abruptly before the read of trace k+1
//     (a reader that dies mid-stream).
#include <kov/kovlib.h>

#include "streaminf.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

extern "C" int __real_sreed(const char *tag, void *buffer, int nbytes);

namespace {
int handshake = -1;
int die_after = -1;
int reads = 0;

void report() { std::printf("handshake=%d\n", handshake); }
} // namespace

extern "C" int __wrap_sreed(const char *tag, void *buffer, int nbytes) {
  if (handshake < 0) {
    const streaminf *in = tag_info("in", TAG_IN);
    handshake = in->sockfd > 0 ? 1 : 0;
    getch_n("die_after", "d", &die_after, 1);
    std::atexit(report);
  }
  if (reads++ == die_after) ::_exit(3);
  return __real_sreed(tag, buffer, nbytes);
}
