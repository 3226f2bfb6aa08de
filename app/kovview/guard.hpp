// SPDX-License-Identifier: Apache-2.0
// kovview's connection guard: what the HTTP library does not bound by
// itself.  Every request head is read here first, whole, within one
// deadline and within a size and a line count; a request with a body is
// refused before the body is read; each client address holds at most a
// few connections at once.  Only a complete, bounded head is handed to the
// library, which parses and answers it.
#ifndef KOV_APP_KOVVIEW_GUARD_HPP
#define KOV_APP_KOVVIEW_GUARD_HPP

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kovview {

struct HeadLimits {
  std::chrono::milliseconds deadline{4000}; // the whole head, from its first wait
  std::size_t bytes = 16384;                // request line and header lines
  std::size_t lines = 100;                  // header lines
};

enum class Head {
  Complete, // `buffer` holds the head (and maybe more)
  Idle,     // nothing came, or the peer closed before a byte
  Cut,      // the peer closed or failed in the middle of the head
  Late,     // the deadline passed in the middle of the head
  TooLarge, // more bytes or more lines than the limits
};

// Reads from `fd` into `buffer` (which may hold bytes already) until it
// holds a whole request head: the deadline counts from the call, and the
// first byte may take at most `first_byte`.  `end` is then the length of
// the head, blank line included.
Head read_head(int fd, std::string &buffer, std::size_t &end, const HeadLimits &limits,
               std::chrono::milliseconds first_byte);

// The end of the head in `text` (after its blank line), 0 when it is not
// complete; `lines` counts the header lines seen (without the request
// line).
std::size_t head_end(std::string_view text, std::size_t &lines);

// Writes a short answer with a JSON error, closes the sending side and
// reads what the peer still sends for a moment (so that the answer is not
// lost to a reset), then closes `fd`.
void refuse(int fd, int status, std::string_view message);

// The names a Host header may give for a server listening on `host`: the
// address itself, the machine's host names and, for a wildcard address
// (0.0.0.0, ::), every address of the machine; lower case, IPv6 addresses
// in brackets.
std::vector<std::string> machine_names(const std::string &host);

// Connections held per client address.
class Clients {
public:
  explicit Clients(int most) : most_(most) {}
  bool take(const std::string &address);
  void give(const std::string &address);
  int held(const std::string &address);

private:
  int most_;
  std::mutex mutex_;
  std::map<std::string, int> held_;
};

// The library's server with the guard in front of its request handling.
class GuardedServer : public httplib::Server {
public:
  GuardedServer(HeadLimits limits, int per_client) : limits_(limits), clients_(per_client) {}
  // A listen backlog of `backlog` for the socket bound already.
  bool set_backlog(int backlog);
  // The deadlines of the connection once a head was read.
  void set_stream_timeouts(std::chrono::milliseconds read, std::chrono::milliseconds write,
                           std::chrono::milliseconds idle) {
    read_ = read, write_ = write, idle_ = idle;
  }

private:
  bool process_and_close_socket(socket_t sock) override;
  HeadLimits limits_;
  Clients clients_;
  std::chrono::milliseconds read_{5000}, write_{10000}, idle_{2000};
};

} // namespace kovview

#endif
