// SPDX-License-Identifier: Apache-2.0
// kovview's connection guard; see guard.hpp.
#include "guard.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kovview {

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `ms` for `events` on `fd`; false on time-out or error.
bool wait_for(int fd, short events, std::chrono::milliseconds ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(0, ms.count())));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

std::chrono::milliseconds left(Clock::time_point until) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
}

const char *reason(int status) {
  switch (status) {
  case 400:
    return "Bad Request";
  case 405:
    return "Method Not Allowed";
  case 408:
    return "Request Timeout";
  case 413:
    return "Payload Too Large";
  case 431:
    return "Request Header Fields Too Large";
  case 503:
    return "Service Unavailable";
  default:
    return "Error";
  }
}

std::string address_of(int fd, bool peer, int &port) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  port = 0;
  const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&ss), &len)
                     : ::getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
  if (r != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (ss.ss_family == AF_INET) {
    const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (ss.ss_family == AF_INET6) {
    const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  return text;
}

// The library's view of a connection whose head was read already: the
// bytes held are served first, then the socket's, each wait bounded.
class HeldStream : public httplib::Stream {
public:
  HeldStream(int fd, std::string &held, std::chrono::milliseconds read,
             std::chrono::milliseconds write)
      : fd_(fd), held_(held), read_(read), write_(write) {}
  bool is_readable() const override { return at_ < held_.size() || wait_for(fd_, POLLIN, read_); }
  bool is_writable() const override { return wait_for(fd_, POLLOUT, write_); }
  ssize_t read(char *ptr, size_t size) override {
    if (at_ < held_.size()) {
      const std::size_t n = std::min(size, held_.size() - at_);
      std::memcpy(ptr, held_.data() + at_, n);
      at_ += n;
      return static_cast<ssize_t>(n);
    }
    if (!wait_for(fd_, POLLIN, read_)) return -1;
    for (;;) {
      const ssize_t r = ::recv(fd_, ptr, size, 0);
      if (r < 0 && errno == EINTR) continue;
      return r;
    }
  }
  ssize_t write(const char *ptr, size_t size) override {
    std::size_t sent = 0;
    while (sent < size) {
      if (!wait_for(fd_, POLLOUT, write_)) return sent > 0 ? static_cast<ssize_t>(sent) : -1;
      const ssize_t r = ::send(fd_, ptr + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (r < 0) return sent > 0 ? static_cast<ssize_t>(sent) : -1;
      sent += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(sent);
  }
  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    ip = address_of(fd_, true, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    ip = address_of(fd_, false, port);
  }
  socket_t socket() const override { return fd_; }
  // The bytes held that the library did not read (a next request's).
  std::string rest() const { return held_.substr(std::min(at_, held_.size())); }

private:
  int fd_;
  std::string &held_;
  std::size_t at_ = 0;
  std::chrono::milliseconds read_, write_;
};

// A header's value in a head (case-insensitive name), or nothing.
std::optional<std::string> header(std::string_view head, std::string_view name) {
  std::size_t at = head.find('\n');
  while (at != std::string_view::npos && at + 1 < head.size()) {
    const std::size_t start = at + 1;
    const std::size_t end = std::min(head.find('\n', start), head.size());
    std::string_view line = head.substr(start, end - start);
    if (line.size() > name.size() && line[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      std::string_view v = line.substr(name.size() + 1);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == '\r' || v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
      return std::string(v);
    }
    at = end;
  }
  return std::nullopt;
}

} // namespace

std::size_t head_end(std::string_view text, std::size_t &lines) {
  lines = 0;
  std::size_t start = 0;
  bool first = true;
  for (;;) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) return 0;
    const std::size_t length = nl - start - (nl > start && text[nl - 1] == '\r' ? 1 : 0);
    if (length == 0 && !first) return nl + 1;
    if (length == 0 && first) {
      // Blank lines before a request line are ignored.
      start = nl + 1;
      continue;
    }
    if (!first) ++lines;
    first = false;
    start = nl + 1;
  }
}

Head read_head(int fd, std::string &buffer, std::size_t &end, const HeadLimits &limits,
               std::chrono::milliseconds first_byte) {
  const Clock::time_point until = Clock::now() + limits.deadline;
  const Clock::time_point first_until = Clock::now() + std::min(first_byte, limits.deadline);
  std::array<char, 4096> chunk{};
  for (;;) {
    std::size_t lines = 0;
    end = head_end(buffer, lines);
    if (lines > limits.lines) return Head::TooLarge;
    if (end != 0) return end > limits.bytes ? Head::TooLarge : Head::Complete;
    if (buffer.size() > limits.bytes) return Head::TooLarge;
    const bool empty = buffer.find_first_not_of("\r\n") == std::string::npos;
    if (!wait_for(fd, POLLIN, left(empty ? first_until : until)))
      return empty ? Head::Idle : Head::Late;
    const std::size_t want = std::min(chunk.size(), limits.bytes + 1 - buffer.size());
    const ssize_t r = ::recv(fd, chunk.data(), want, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return empty ? Head::Idle : Head::Cut;
    buffer.append(chunk.data(), static_cast<std::size_t>(r));
  }
}

void refuse(int fd, int status, std::string_view message) {
  const std::string body = nlohmann::json{{"error", message}}.dump();
  const std::string text =
      "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
  std::size_t sent = 0;
  while (sent < text.size() && wait_for(fd, POLLOUT, std::chrono::milliseconds(1000))) {
    const ssize_t r =
        ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) break;
    sent += static_cast<std::size_t>(r);
  }
  ::shutdown(fd, SHUT_WR);
  // What the peer sends meanwhile is read and dropped for a moment, so
  // that closing does not reset the connection before the answer is read.
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(300);
  std::array<char, 16384> sink{};
  std::size_t drained = 0;
  while (drained < (std::size_t{8} << 20) && wait_for(fd, POLLIN, left(until))) {
    const ssize_t r = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) break;
    drained += static_cast<std::size_t>(r);
  }
  ::close(fd);
}

bool Clients::take(const std::string &address) {
  std::lock_guard lock(mutex_);
  int &n = held_[address];
  if (n >= most_) {
    if (n == 0) held_.erase(address);
    return false;
  }
  ++n;
  return true;
}

void Clients::give(const std::string &address) {
  std::lock_guard lock(mutex_);
  const auto it = held_.find(address);
  if (it != held_.end() && --it->second <= 0) held_.erase(it);
}

int Clients::held(const std::string &address) {
  std::lock_guard lock(mutex_);
  const auto it = held_.find(address);
  return it == held_.end() ? 0 : it->second;
}

bool GuardedServer::set_backlog(int backlog) {
  const socket_t sock = svr_sock_;
  return sock != INVALID_SOCKET && ::listen(sock, backlog) == 0;
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  // An answer goes out as soon as it is written: its head and body are
  // separate writes, and waiting for the client's acknowledgement of the
  // head (delayed by the client) would hold every small answer ~40 ms.
  const int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  int port = 0;
  const std::string peer = address_of(sock, true, port);
  if (!clients_.take(peer)) {
    refuse(sock, 503, "busy: too many connections from this address");
    return true;
  }
  std::string held;
  for (std::size_t count = 0; count < keep_alive_max_count_; ++count) {
    std::size_t end = 0;
    const Head got = read_head(sock, held, end, limits_, count == 0 ? limits_.deadline : idle_);
    if (got == Head::Idle || got == Head::Cut) break;
    if (got == Head::Late) {
      clients_.give(peer);
      refuse(sock, 408, "the request head did not arrive in time");
      return true;
    }
    if (got == Head::TooLarge) {
      clients_.give(peer);
      refuse(sock, 431, "the request head is too large");
      return true;
    }
    const std::string_view head(held.data(), end);
    const std::string_view method = head.substr(head.find_first_not_of("\r\n"), 8);
    if (!method.starts_with("GET ") && !method.starts_with("HEAD ")) {
      clients_.give(peer);
      refuse(sock, 405, "only GET and HEAD requests are answered");
      return true;
    }
    const auto length = header(head, "Content-Length");
    if (header(head, "Transfer-Encoding") || (length && *length != "0")) {
      clients_.give(peer);
      refuse(sock, 413, "requests carry no body here");
      return true;
    }
    HeldStream stream(sock, held, read_, write_);
    bool closed = false;
    const bool last = count + 1 == keep_alive_max_count_;
    const bool ok = process_request(stream, last, closed, {});
    held = stream.rest();
    if (!ok || closed || last) break;
  }
  clients_.give(peer);
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}

// The names a Host header may give for a server listening on `host`
// beyond loopback: the address itself, the machine's host names and, for
// a wildcard address, every address of the machine.
std::vector<std::string> machine_names(const std::string &host) {
  std::vector<std::string> names;
  const auto add = [&](std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.find(':') != std::string::npos && !name.starts_with('[')) name = "[" + name + "]";
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  };
  add(host);
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) == 0) {
    add(name.data());
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.data(), nullptr, &hints, &found) == 0) {
      if (found->ai_canonname != nullptr) add(found->ai_canonname);
      ::freeaddrinfo(found);
    }
  }
  if (host == "0.0.0.0" || host == "::") {
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) == 0) {
      for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr) continue;
        std::array<char, NI_MAXHOST> text{};
        const int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (::getnameinfo(i->ifa_addr, len, text.data(), text.size(), nullptr, 0, NI_NUMERICHOST) ==
            0) {
          std::string t = text.data();
          if (const auto pct = t.find('%'); pct != std::string::npos) t.erase(pct);
          add(t);
        }
      }
      ::freeifaddrs(list);
    }
  }
  return names;
}

} // namespace kovview
