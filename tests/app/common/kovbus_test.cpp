// SPDX-License-Identifier: Apache-2.0
// The bus error guard the programs that map their data share: a bus error
// inside guarded() ends that read only, the handler is there while any
// BusErrors lives, and the disposition before it comes back after the last.
#include "kovbus.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace {

volatile std::sig_atomic_t theirs = 0;
extern "C" void their_handler(int) { theirs = theirs + 1; }

struct sigaction current() {
  struct sigaction now {};
  sigaction(SIGBUS, nullptr, &now);
  return now;
}

TEST(KovBus, AGuardedBusErrorEndsTheReadAndTheLastGuardRestoresTheHandler) {
  struct sigaction before {};
  before.sa_handler = their_handler;
  sigemptyset(&before.sa_mask);
  ASSERT_EQ(sigaction(SIGBUS, &before, nullptr), 0);
  {
    kovtool::BusErrors outer;
    EXPECT_EQ(current().sa_sigaction, kovtool_on_bus_error);
    {
      kovtool::BusErrors inner; // another reader of the same program
      int reached = 0;
      EXPECT_FALSE(kovtool::guarded([&] {
        reached = 1;
        std::raise(SIGBUS);
        reached = 2;
      }));
      EXPECT_EQ(reached, 1);
      EXPECT_TRUE(kovtool::guarded([&] { reached = 3; }));
      EXPECT_EQ(reached, 3);
    }
    // Still caught, on another thread too.
    EXPECT_EQ(current().sa_sigaction, kovtool_on_bus_error);
    bool ended = true;
    std::thread([&] { ended = kovtool::guarded([] { std::raise(SIGBUS); }); }).join();
    EXPECT_FALSE(ended);
    EXPECT_EQ(theirs, 0);
  }
  EXPECT_EQ(current().sa_handler, their_handler);
  std::raise(SIGBUS);
  EXPECT_EQ(theirs, 1);
}

} // namespace
