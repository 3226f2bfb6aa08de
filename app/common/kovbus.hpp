// SPDX-License-Identifier: Apache-2.0
// Reads of a mapped file that survive the file being cut meanwhile: a read
// of a page the file no longer has raises SIGBUS, which would end the
// program.  While a BusErrors object lives, a bus error met inside
// guarded() ends that read (guarded() returns false) instead; any other
// bus error gets the disposition that was there before.  Shared by the
// programs that map their data (kovinfo, kovview).
#ifndef KOV_APP_COMMON_KOVBUS_HPP
#define KOV_APP_COMMON_KOVBUS_HPP

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <mutex>

namespace kovtool::bus {

// Where a bus error on this thread lands while a guarded read runs.
inline thread_local sigjmp_buf *landing = nullptr;
// The disposition before ours, and how many BusErrors objects live.
inline struct sigaction before {};
inline std::mutex users_mutex;
inline int users = 0;

} // namespace kovtool::bus

extern "C" inline void kovtool_on_bus_error(int, siginfo_t *, void *) {
  if (kovtool::bus::landing != nullptr) siglongjmp(*kovtool::bus::landing, 1);
  // Not a read of ours: the disposition that was there before, and the
  // access that faulted is made again.
  sigaction(SIGBUS, &kovtool::bus::before, nullptr);
}

namespace kovtool {

// Bus errors of guarded reads are caught while at least one of these lives
// (any number of them, on any threads).
class BusErrors {
public:
  BusErrors() {
    std::lock_guard lock(bus::users_mutex);
    if (bus::users++ > 0) return;
    struct sigaction ours {};
    ours.sa_sigaction = kovtool_on_bus_error;
    ours.sa_flags = SA_SIGINFO | SA_NODEFER; // the signal stays unblocked after the jump
    sigemptyset(&ours.sa_mask);
    sigaction(SIGBUS, &ours, &bus::before);
  }
  ~BusErrors() {
    std::lock_guard lock(bus::users_mutex);
    if (--bus::users == 0) sigaction(SIGBUS, &bus::before, nullptr);
  }
  BusErrors(const BusErrors &) = delete;
  BusErrors &operator=(const BusErrors &) = delete;
};

// Runs `read`; false when it met a bus error (a page of a mapping that the
// file no longer has).  `read` owns nothing that the jump out of it would
// leak.
template <class Read> [[gnu::noinline]] bool guarded(const Read &read) {
  sigjmp_buf here;
  if (sigsetjmp(here, 0) != 0) {
    bus::landing = nullptr;
    return false;
  }
  bus::landing = &here;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  read();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  bus::landing = nullptr;
  return true;
}

} // namespace kovtool

#endif
