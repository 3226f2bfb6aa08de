// SPDX-License-Identifier: Apache-2.0
// The end of a header whose data follow it in the same stream, and the
// handshake between the writer and the reader of a piped header.
//
// Into a file, or when asked for with isoutstream=y, the writer ends the
// header with a newline, two form feeds and an end-of-transmission byte.
// Into a pipe or socket it ends it instead with the trailer
// "PIPE host port 000001234" and the end-of-transmission byte, listens on
// that port and waits (at most `timeout` seconds) for the reader: a reader
// of the family connects and sends "GOTIT", the writer answers "ACK", and
// both carry on at once.  A reader outside the family never connects; the
// writer then goes on after the time-out and the trailer stays in the text.
#include "kovlib_internal.h"
#include "kovsock.h"
#include "streaminf.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

constexpr char kEndOfTransmission = 4;
constexpr int kDefaultTimeout = 5;
constexpr std::size_t kPidDigits = 9;
constexpr std::size_t kTrailerSearch = 300;

constexpr char kGotIt[] = "GOTIT"; // sent with its NUL: 6 bytes
constexpr char kAck[] = "ACK";     // 4 bytes

int timeout_seconds() {
  int secs = kDefaultTimeout;
  if (kov::detail::getch_bounded("timeout", "d", &secs, 1) == 0) secs = kDefaultTimeout;
  return secs;
}

void header_written(streaminf *r, bool ok) {
  if (ok && std::fflush(r->headfile) == 0) return;
  kov::detail::syserr("kovstrput()");
  koverr("kovstrput() I/O error on output header %s for tag %s\n", r->headername.c_str(),
         r->tagname.c_str());
}

// Keep the text up to `len` characters.
void cut_header(streaminf *r, std::size_t len) {
  r->headerbuf->resize(len);
  r->hdrlen = static_cast<int>(len);
}

bool all_digits(const std::string &text, std::size_t from, std::size_t n) {
  for (std::size_t i = from; i < from + n; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// The first two blank-separated words after `from`, as a scan of
// "PIPE %s %s " reads them; nothing unless both are there and fit.
bool host_and_port(const std::string &text, std::size_t from, std::string &host,
                   std::string &port) {
  std::string words[2];
  std::size_t at = from;
  for (std::string &word : words) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    const std::size_t start = at;
    while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    word = text.substr(start, at - start);
    if (word.empty()) return false;
  }
  if (words[0].size() > kov::detail::kMaxHostName || words[1].size() > kov::detail::kMaxPortText)
    return false;
  host = words[0];
  port = words[1];
  return true;
}

// Blocks SIGALRM from before the trailer is out until the wait for the
// reader unblocks it, so that a reader's signal (which ends the wait) is
// neither lost nor fatal.  One that comes in after the wait, while still
// blocked, was meant for the wait and is dropped.
class AlarmBlocked {
public:
  AlarmBlocked() {
    sigemptyset(&alarm_);
    sigaddset(&alarm_, SIGALRM);
    ::sigprocmask(SIG_BLOCK, &alarm_, &saved_);
  }
  AlarmBlocked(const AlarmBlocked &) = delete;
  AlarmBlocked &operator=(const AlarmBlocked &) = delete;
  ~AlarmBlocked() {
    if (!sigismember(&saved_, SIGALRM)) {
      const timespec now{0, 0};
      while (::sigtimedwait(&alarm_, nullptr, &now) == SIGALRM) {
      }
    }
    ::sigprocmask(SIG_SETMASK, &saved_, nullptr);
  }

private:
  sigset_t alarm_;
  sigset_t saved_;
};

} // namespace

extern "C" void syncout(streaminf *r) {
  if (r == nullptr) kov::detail::assertion("syncout", "null record");
  if (r->headfile == nullptr) return;
  int isoutstream = 0;
  if (kov::detail::getch_bounded("isoutstream", "1", &isoutstream, 1) == 0) isoutstream = 0;
  if (!r->isapipe || isoutstream) {
    header_written(r, std::fputs("\n\f\f\004", r->headfile) >= 0);
    return;
  }

  const AlarmBlocked blocked;
  char port[16] = "";
  // The listener lives only for the wait.
  kov::detail::UniqueFd listener(opensock1(port, 0));
  const auto host = kov::detail::advertised_host();
  if (!host) koverr("syncout(): getting hostname\n");
  header_written(r, std::fprintf(r->headfile, "PIPE %s %s %09d%c", host->c_str(), port,
                                 static_cast<int>(::getpid()), kEndOfTransmission) > 0);

  const int secs = timeout_seconds();
  r->sockfd = socklisten(listener.get(), secs);
  listener.reset();
  if (r->sockfd == -1) return;

  // A peer that connects but never speaks is not waited for without end.
  kov::detail::limit_io(r->sockfd, secs);
  char got[sizeof kGotIt] = {};
  if (!kov::detail::read_exactly(r->sockfd, got, sizeof got) ||
      std::memcmp(got, kGotIt, sizeof kGotIt) != 0)
    koverr("syncout(): pipe synch failed!\n");
  // A reader that is gone by now meets the data's broken pipe instead.
  (void)kov::detail::write_exactly(r->sockfd, kAck, sizeof kAck);
}

extern "C" void syncin(streaminf *r) {
  if (r == nullptr || !r->headerbuf) return;
  std::string &text = *r->headerbuf;
  std::size_t len = std::min(static_cast<std::size_t>(std::max(r->hdrlen, 0)), text.size());

  // The normal end: the text keeps the newline before the form feeds.
  if (len >= 2 && text[len - 1] == '\f' && text[len - 2] == '\f') {
    cut_header(r, len - 2);
    return;
  }
  if (len <= kPidDigits) return;
  const std::size_t blank = len - kPidDigits - 1;
  if (text[blank] != ' ' || !all_digits(text, blank + 1, kPidDigits)) return;
  const pid_t writer = static_cast<pid_t>(std::stol(text.substr(blank + 1, kPidDigits)));

  std::size_t found = std::string::npos;
  for (std::size_t i = 0; i < kTrailerSearch && i <= blank; ++i) {
    if (text.compare(blank - i, 4, "PIPE") == 0) {
      found = blank - i;
      break;
    }
  }
  if (found == std::string::npos) {
    // Not a trailer this reader can use: end the writer's wait at once.
    // Process ids 0 and 1 are never a writer (0 would be our own group).
    if (writer > 1) ::kill(writer, SIGALRM);
    cut_header(r, blank + 1);
    return;
  }

  std::string host, port;
  if (host_and_port(text, found + 4, host, port)) {
    r->sockfd = opensock2(host.c_str(), port.c_str());
    if (r->sockfd >= 0) {
      kov::detail::limit_io(r->sockfd, timeout_seconds());
      char got[sizeof kAck] = {};
      if (!kov::detail::write_exactly(r->sockfd, kGotIt, sizeof kGotIt) ||
          !kov::detail::read_exactly(r->sockfd, got, sizeof got) ||
          std::memcmp(got, kAck, sizeof kAck) != 0)
        koverr("syncin() sync err\n");
    }
  }
  // The trailer is never header text.
  cut_header(r, found);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(syncin)
KOV_PUBLIC_NAME(syncout)
