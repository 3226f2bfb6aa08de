// SPDX-License-Identifier: Apache-2.0
// Job status reports to a monitoring master: one short TCP exchange per
// message (connect, send one 1024-byte block, read a 5-byte reply, close).
#include "kovlib_internal.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kBlock = 1024;
constexpr int kReply = 5;
constexpr std::size_t kMaxText = kBlock - 5; // room left for the "EnDiT" marker
constexpr long kField = 1024;                // buffer of each text parameter

// Closes the connection on every path out of kov_send_msg.
class Socket {
public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

private:
  int fd_;
};

} // namespace

extern "C" int kov_send_msg(const char *status, const char *extra) {
  // The error status is sent from inside the fatal error routine: its
  // failures must never call that routine again.
  const bool fatal = std::strcmp(status, "error") != 0;
  using kov::detail::getch_bounded;

  int par_job = 1;
  if (getch_bounded("kov.par_job", "d", &par_job, 1) == 0) par_job = 1;
  if (par_job == 0) return 0;

  char jobid[kField] = "";
  char mach_label[kField] = "";
  char master_ip[kField] = "";
  int master_port = 0;
  const int has_jobid = getch_bounded("kov.jobid", "s", jobid, kField);
  const int has_label = getch_bounded("kov.mach_label", "s", mach_label, kField);
  const int has_ip = getch_bounded("kov.master_ip", "s", master_ip, kField);
  const int has_port = getch_bounded("kov.master_port", "d", &master_port, 1);
  const int found = has_jobid + has_label + has_ip + has_port;
  if (found == 0) return 0;
  if (found != 4) {
    if (fatal)
      koverr("when running in socket mode must provide jobid,mach_label,master_ip, and "
             "master_port %d %d %d %d",
             has_jobid, has_label, has_ip, has_port);
    return 1;
  }

  Socket sock(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (sock.fd() < 0) {
    if (fatal) koverr("Failed to create socket \n");
    return 1;
  }

  std::string text = std::string(status) + ':' + jobid + ':' + mach_label + ':' + extra;

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr(master_ip);
  addr.sin_port = htons(static_cast<uint16_t>(master_port & 0xffff));
  if (::connect(sock.fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    if (fatal) koverr("Failed to connect with server");
    return 1;
  }

  if (text.size() > kMaxText) {
    // Message kept as it always read ("to long"): scripts match it as it stands.
    if (fatal) koverr("to long of message ");
    return 1;
  }

  // One extra byte keeps the block printable as a text even when the
  // marker fills it to the end.
  char block[kBlock + 1] = {};
  std::memcpy(block, text.data(), text.size());
  std::memcpy(block + text.size(), "EnDiT", 5);

  const ssize_t sent = ::send(sock.fd(), block, kBlock, MSG_NOSIGNAL);
  if (sent != kBlock) {
    std::fprintf(stderr, "Mismatch in number of sent bytes %d !=%d \n", static_cast<int>(sent),
                 kBlock);
    std::fflush(stderr);
    if (fatal) koverr("trouble sending message %s \n", block);
    return 1;
  }

  const ssize_t got = ::recv(sock.fd(), block, kReply, 0);
  if (got != kReply) {
    // Message kept as it always read ("bytess"): scripts match it as it stands.
    std::fprintf(stderr, "Mismatch in number of received bytess %d!=5 ", static_cast<int>(got));
    std::fflush(stderr);
    if (fatal) koverr("trouble received message %s", block);
    return 1;
  }
  return 0;
}

extern "C" int kov_begin_prog(void) {
  int on = 0;
  if (kov::detail::getch_bounded("kov.begin_par", "d", &on, 1) == 0) on = 0;
  return on == 1 ? kov_send_msg("record", "none") : 0;
}

extern "C" int kov_end_prog(void) {
  int on = 0;
  if (kov::detail::getch_bounded("kov.end_par", "d", &on, 1) == 0) on = 0;
  return on == 1 ? kov_send_msg("finish", "none") : 0;
}

extern "C" int kov_progress_prog(const char *text) {
  return kov_send_msg("progress", text != nullptr ? text : "");
}

extern "C" int kov_exit_prog(void) { return kov_send_msg("exit", "none"); }

extern "C" int kov_err_prog(void) { return kov_send_msg("error", "none"); }

extern "C" int kov_prog_stat(const char *msg, int i, int n, int isend) {
  char line[1204];
  std::snprintf(line, sizeof line, "%s finished=%d of %d", msg != nullptr ? msg : "", i, n);
  std::fprintf(stderr, "%s\n", line);
  std::fflush(stderr);
  if (isend == 1) return kov_progress_prog(line);
  return 0;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(kov_begin_prog)
KOV_PUBLIC_NAME(kov_end_prog)
KOV_PUBLIC_NAME(kov_err_prog)
KOV_PUBLIC_NAME(kov_exit_prog)
KOV_PUBLIC_NAME(kov_prog_stat)
KOV_PUBLIC_NAME(kov_progress_prog)
KOV_PUBLIC_NAME(kov_send_msg)
