// SPDX-License-Identifier: Apache-2.0
// Socket primitives (listen, connect, wait for a peer with a time-out, move
// NUL-terminated strings), header endpoints and socket-out tags.
//
// Listening TCP sockets bind to all local addresses, unless the parameter
// `sockhost` names the one address to bind to (for instance 127.0.0.1 to
// keep a pipeline's handshake on the loopback interface); the peers of such
// a listener are then told that address instead of the host name.
#include "kovsock.h"

#include "kovlib_internal.h"
#include "streaminf.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

using kov::detail::UniqueFd;

constexpr int kBacklog = 5;
constexpr int kConnectAttempts = 30;
constexpr int kListenSeconds = 30;

// The waiting flag of socklisten; the alarm handler clears it.
volatile std::sig_atomic_t ringring = 0;

// The failures of socket creation, binding and naming are fatal, in one
// line with the system's reason: most come from a name that cannot be
// served (a port in use, a path too long or in a missing directory).
[[noreturn]] void socket_failure(const char *prefix) {
  koverr("%s: %s\n", prefix, std::strerror(errno));
}

void report_unknown_host(const char *host) {
  std::fprintf(stderr, "%s: unknown host\n", host);
  std::fflush(stderr);
}

void linger_off(int fd) {
  const linger off{0, 1};
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
}

// A decimal port; 0 for an empty, malformed or out-of-range text.
uint16_t port_of(const char *text) {
  if (text == nullptr) return 0;
  char *end = nullptr;
  errno = 0;
  const long port = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || port < 0 || port > 65535) return 0;
  return static_cast<uint16_t>(port);
}

// The first IPv4 address of a host; nothing when there is none.
std::optional<in_addr> address_of(const char *host) {
  in_addr addr{};
  if (::inet_pton(AF_INET, host, &addr) == 1) return addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
  addr = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return addr;
}

// The local address of TCP listeners.
in_addr listen_address() {
  if (auto host = kov::detail::getch_string("sockhost")) {
    const auto addr = address_of(host->c_str());
    if (!addr) koverr("%s: unknown host\n", host->c_str());
    return *addr;
  }
  in_addr any{};
  any.s_addr = htonl(INADDR_ANY);
  return any;
}

// Fill a local socket address; false when the path does not fit.
bool local_address(const char *path, sockaddr_un &addr) {
  addr = sockaddr_un{};
  addr.sun_family = AF_UNIX;
  const std::size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path, len + 1);
  return true;
}

// Endpoint names, split at the colons.
struct Endpoint {
  bool listen = false;
  bool local = false;
  std::string host;
  std::string port; // a TCP port, or the path of a local socket
};

std::string trimmed(std::string text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.pop_back();
  return text;
}

// The text from `from` up to the next colon.
std::string field(const std::string &name, std::size_t from) {
  if (from > name.size()) return {};
  const auto colon = name.find(':', from);
  return name.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
}

Endpoint parse_endpoint(const std::string &raw) {
  const std::string name = trimmed(raw);
  Endpoint e;
  if (name.starts_with("::")) {
    e.listen = e.local = true;
    e.port = name.substr(2);
  } else if (name.starts_with(':')) {
    e.listen = true;
    e.port = field(name, 1);
  } else {
    e.host = field(name, 0);
    e.port = field(name, e.host.size() + 1);
  }
  if (e.host.size() > kov::detail::kMaxHostName) e.host.resize(kov::detail::kMaxHostName);
  if (e.port.size() > kov::detail::kMaxPortText) e.port.resize(kov::detail::kMaxPortText);
  return e;
}

} // namespace

extern "C" int kov_is_socket_name(const char *name) {
  return name != nullptr && kov::detail::is_endpoint_name(name) ? 1 : 0;
}

extern "C" int opensock1(char *portstr, int unixdom) {
  UniqueFd sock(::socket(unixdom ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) socket_failure("opening stream socket ");
  linger_off(sock.get());
  if (unixdom) {
    sockaddr_un addr;
    if (!local_address(portstr != nullptr ? portstr : "", addr)) {
      errno = ENAMETOOLONG;
      socket_failure("binding stream socket ");
    }
    if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
      socket_failure("binding stream socket ");
  } else {
    // A port just given up by an earlier run (in TIME_WAIT) can be taken at once.
    const int one = 1;
    (void)::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = listen_address();
    addr.sin_port = htons(port_of(portstr));
    if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
      socket_failure("binding stream socket ");
    if (addr.sin_port == 0) {
      socklen_t len = sizeof addr;
      if (::getsockname(sock.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        socket_failure("getting socket name");
      if (portstr != nullptr) std::snprintf(portstr, 6, "%u", ntohs(addr.sin_port));
    }
  }
  if (::listen(sock.get(), kBacklog) != 0) socket_failure("binding stream socket ");
  return sock.release();
}

extern "C" int opensock2(const char *remhost, const char *portstr) {
  if (remhost == nullptr || portstr == nullptr) kov::detail::assertion("opensock2", "null name");
  const bool local = std::strcmp(remhost, "unix") == 0;
  sockaddr_un un{};
  sockaddr_in in{};
  const sockaddr *addr = nullptr;
  socklen_t len = 0;
  if (local) {
    if (local_address(portstr, un)) {
      addr = reinterpret_cast<const sockaddr *>(&un);
      len = sizeof un;
    }
  } else {
    // A host that cannot be found is reported like a peer that does not
    // answer.
    const auto found = address_of(remhost);
    if (!found) {
      report_unknown_host(remhost);
      return -1;
    }
    in.sin_family = AF_INET;
    in.sin_addr = *found;
    in.sin_port = htons(port_of(portstr));
    addr = reinterpret_cast<const sockaddr *>(&in);
    len = sizeof in;
  }
  UniqueFd sock(::socket(local ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) socket_failure("opening stream socket ");
  linger_off(sock.get());
  if (addr == nullptr || ::connect(sock.get(), addr, len) != 0) {
    // The socket that did not connect is closed on the way out.
    std::fprintf(stderr, " server not responding on %s \n", local ? portstr : remhost);
    std::fflush(stderr);
    return -1;
  }
  return sock.release();
}

extern "C" void catchem(int) { ringring = 0; }

extern "C" int socklisten(int sock, int secs) {
  ringring = 1;
  // The handler is installed for every wait, so that a reader's alarm ends
  // even a wait without limit instead of killing the writer; it interrupts
  // the accept (no restart).
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = catchem;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  ::sigaction(SIGALRM, &action, &previous);
  sigset_t none;
  sigset_t mask;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, &mask);
  if (secs > 0) ::alarm(static_cast<unsigned>(secs));

  // An alarm that was pending when the signals were unblocked has already
  // cleared the flag: no wait then.
  int fd = -1;
  int error = 0;
  while (ringring) {
    fd = ::accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
  }
  error = errno;

  if (secs > 0) ::alarm(0);
  ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  ::sigaction(SIGALRM, &previous, nullptr);
  if (fd < 0) {
    if (ringring) {
      errno = error;
      kov::detail::syserr("accept");
    }
    return -1;
  }
  return fd;
}

extern "C" int strget(int fd, char *buf, int cnt, const char *err) {
  // The string with its NUL takes at most cnt - 1 bytes of the buffer.
  for (int i = 0; i < cnt - 1; ++i) {
    ssize_t n;
    do {
      n = ::read(fd, buf + i, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) std::exit(1);
    if (buf[i] == '\0') return i;
  }
  std::fprintf(stderr, "%s too long\n", err != nullptr ? err : "");
  std::exit(1);
}

extern "C" int strput(int fdes, const char *buf) {
  int result = 0;
  const std::size_t n = std::strlen(buf);
  for (std::size_t i = 0; i <= n; ++i) {
    result = static_cast<int>(::write(fdes, buf + i, 1));
    if (result != 1) break;
  }
  return result;
}

extern "C" void kovstr_socket_head(streaminf *r) {
  if (r == nullptr || r->entrytype != STREAMSOCKOUT)
    kov::detail::assertion("kovstr_socket_head", "record is not a socket output");
  r->format_num = 0;
  r->hqlen = KOV_PUTCH_QUEUE_SIZE;
  r->hetch_queue = new_queue(r->hqlen);
  char port[16] = "";
  r->sockfd = opensock1(port, 0);
  const auto host = kov::detail::advertised_host();
  if (!host) koverr("kovstr_socket_head(): getting hostname\n");
  r->headername = *host + ":" + port + "\n";
  open_socketstream(r);
}

namespace kov::detail {

bool is_endpoint_name(std::string_view raw) {
  while (!raw.empty() &&
         (raw.back() == '\n' || raw.back() == ' ' || raw.back() == '\t' || raw.back() == '\r'))
    raw.remove_suffix(1);
  const auto is_port = [](std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    for (const char c : text)
      if (c < '0' || c > '9') return false;
    return std::stoi(std::string(text)) <= 65535;
  };
  if (raw.starts_with("::")) return raw.size() > 2;
  if (raw.starts_with(':')) return is_port(raw.substr(1));
  if (raw.starts_with("unix:")) return raw.size() > 5;
  const auto colon = raw.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view host = raw.substr(0, colon);
  return host.find('/') == std::string_view::npos && is_port(raw.substr(colon + 1));
}

int endpoint_connection(const std::string &name) {
  Endpoint e = parse_endpoint(name);
  // A host that cannot be found will not be found by trying again.
  if (!e.listen && e.host != "unix" && !address_of(e.host.c_str()))
    koverr("%s: unknown host\n", e.host.c_str());
  if (!e.listen) {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
      const int fd = opensock2(e.host.c_str(), e.port.c_str());
      if (fd >= 0) return fd;
      ::sleep(1);
    }
    return -1;
  }
  // Room for the port that the system chooses.
  std::string port = e.port;
  port.resize(std::max<std::size_t>(port.size(), 8) + 1, '\0');
  UniqueFd listener(opensock1(port.data(), e.local ? 1 : 0));
  const int fd = socklisten(listener.get(), kListenSeconds);
  // The path served its purpose once the peer is in (or gave up).
  if (e.local) ::unlink(e.port.c_str());
  return fd;
}

std::optional<std::string> advertised_host() {
  if (auto host = getch_string("sockhost")) {
    if (host->size() > kMaxHostName) host->resize(kMaxHostName);
    return host;
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return std::nullopt;
  return std::string(host);
}

void limit_io(int fd, int secs) {
  if (secs <= 0) return;
  const timeval bound{secs, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
}

bool read_exactly(int fd, char *buffer, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t k = ::recv(fd, buffer + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += static_cast<std::size_t>(k);
  }
  return true;
}

bool write_exactly(int fd, const char *buffer, std::size_t n) {
  std::size_t sent = 0;
  while (sent < n) {
    // A peer that went away is reported here, not by a signal.
    const ssize_t k = ::send(fd, buffer + sent, n - sent, MSG_NOSIGNAL);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    sent += static_cast<std::size_t>(k);
  }
  return true;
}

} // namespace kov::detail

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(catchem)
KOV_PUBLIC_NAME(kov_is_socket_name)
KOV_PUBLIC_NAME(kovstr_socket_head)
KOV_PUBLIC_NAME(opensock1)
KOV_PUBLIC_NAME(opensock2)
KOV_PUBLIC_NAME(socklisten)
KOV_PUBLIC_NAME(strget)
KOV_PUBLIC_NAME(strput)
