// SPDX-License-Identifier: Apache-2.0
// A fake monitoring master for the job-status tests: a TCP listener on
// 127.0.0.1 that records what each connection sends and answers as told.
#ifndef KOV_TESTS_SUPPORT_STATUS_MASTER_H
#define KOV_TESTS_SUPPORT_STATUS_MASTER_H

#include "test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovtest {

// A monitoring master on 127.0.0.1 with a port of its own.  Every connection
// is served by its own thread: it reads up to 1024 bytes, optionally writes
// them to <log_dir>/msgN and a note to stderr, answers `reply` bytes, and then
// (for a 5-byte answer) reads on until the client closes; a shorter answer is
// followed by an immediate close.  Every receive is bounded by a time-out.
class Master {
public:
  explicit Master(int reply = 5, std::string log_dir = {}, std::string note = {})
      : reply_(reply), log_dir_(std::move(log_dir)), note_(std::move(note)) {
    lfd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (lfd_ < 0 || ::bind(lfd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(lfd_, 16) != 0 ||
        ::getsockname(lfd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      std::abort();
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { serve(); });
  }
  Master(const Master &) = delete;
  Master &operator=(const Master &) = delete;
  ~Master() { stop(); }

  int port() const { return port_; }

  // Stops accepting, waits for every connection and returns what each one
  // sent, in the order the connections were accepted.
  std::vector<std::string> stop() {
    if (!stopped_) {
      stopped_ = true;
      stop_ = true;
      acceptor_.join();
      for (auto &t : handlers_) t.join();
      ::close(lfd_);
    }
    std::lock_guard<std::mutex> lock(mu_);
    return got_;
  }

private:
  void serve() {
    for (;;) {
      const bool last = stop_; // one last look at the backlog after the stop
      pollfd p{lfd_, POLLIN, 0};
      if (::poll(&p, 1, last ? 0 : 20) > 0) {
        const int fd = ::accept(lfd_, nullptr, nullptr);
        if (fd >= 0) {
          std::lock_guard<std::mutex> lock(mu_);
          got_.emplace_back();
          handlers_.emplace_back([this, fd, slot = got_.size() - 1] { handle(slot, fd); });
          continue;
        }
      }
      if (last) return;
    }
  }

  void handle(std::size_t slot, int fd) {
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string data;
    char buf[2048];
    ssize_t n = 1;
    while (data.size() < 1024 && (n = ::recv(fd, buf, 1024 - data.size(), 0)) > 0)
      data.append(buf, static_cast<std::size_t>(n));
    if (!log_dir_.empty()) kovtest::write_file(log_dir_ + "/msg" + std::to_string(slot), data);
    if (data.size() == 1024) {
      if (!note_.empty()) {
        std::fputs(note_.c_str(), stderr);
        std::fflush(stderr);
      }
      (void)::send(fd, "ACK!!", static_cast<std::size_t>(reply_), MSG_NOSIGNAL);
      if (reply_ == 5)
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
          data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::lock_guard<std::mutex> lock(mu_);
    got_[slot] = data;
  }

  int reply_;
  std::string log_dir_, note_;
  int lfd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  bool stopped_ = false;
  std::mutex mu_;
  std::vector<std::string> got_;
  std::vector<std::thread> handlers_;
  std::thread acceptor_;
};

// A port on which nobody listens: bound once, then released.
inline int refused_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
    std::abort();
  ::close(fd);
  return ntohs(addr.sin_port);
}

} // namespace kovtest

#endif
