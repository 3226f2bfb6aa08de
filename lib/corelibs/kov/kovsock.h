// SPDX-License-Identifier: Apache-2.0
// Helpers shared by the socket primitives, the socket headers and the pipe
// handshake.
#ifndef KOV_KOVSOCK_H
#define KOV_KOVSOCK_H

#include "sibling_api.h"
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace kov::detail {

// One descriptor, closed when it goes out of scope unless released.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd &) = delete;
  UniqueFd &operator=(const UniqueFd &) = delete;
  UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd &operator=(UniqueFd &&other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

private:
  int fd_ = -1;
};

// Longest host name and port text of an endpoint or a pipe trailer.
inline constexpr std::size_t kMaxHostName = 254;
inline constexpr std::size_t kMaxPortText = 255;

// Whether a header or data name is a socket endpoint: "host:port" with a
// decimal port, "unix:path", ":port" or "::path" (a trailing newline or
// blanks aside).  Any other name, colons or not, is a file.
bool is_endpoint_name(std::string_view name);

// A connected descriptor for a header endpoint: "host:port" (or
// "unix:path") connects, ":port" and "::path" listen and accept one peer.
// -1 when no peer was found.
int endpoint_connection(const std::string &name);

// The host that a peer uses to reach a listener of this process: the
// `sockhost` parameter when given, else the system's host name; nothing
// when the host name cannot be had.
std::optional<std::string> advertised_host();

// Bound the blocking reads and writes on a connection to `secs` seconds
// (no bound for 0 or less).
KOV_SIBLING_API void limit_io(int fd, int secs);

// Move exactly `n` bytes; false when the peer went away, an error happened
// or the bound of limit_io ran out.
bool read_exactly(int fd, char *buffer, std::size_t n);
bool write_exactly(int fd, const char *buffer, std::size_t n);

} // namespace kov::detail

#endif
