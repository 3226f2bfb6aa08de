// SPDX-License-Identifier: Apache-2.0
// Job status reports: messages to a monitoring master over TCP.
//
// Every test uses its own command line (the command-line store is filled once
// per process; ctest runs each test in its own process).  Death tests set the
// command line inside the death-test statement when the child needs a port
// that only exists there.
#include <gtest/gtest.h>

#include "status_master.h"
#include "test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kovtest::fatal_exit;
using kovtest::Master;
using kovtest::refused_port;
using kovtest::set_args;
using kovtest::TempDir;

const std::string kNul(1, '\0');

int open_fds() {
  int n = 0;
  for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// The full job configuration j7/m1 for a master on `port`, plus `extra`.
void set_job(int port, std::initializer_list<std::string> extra = {}) {
  std::vector<std::string> w{"status_test", "kov.jobid=j7", "kov.mach_label=m1",
                             "kov.master_ip=127.0.0.1", "kov.master_port=" + std::to_string(port)};
  w.insert(w.end(), extra.begin(), extra.end());
  static std::vector<std::string> storage;
  static std::vector<char *> pointers;
  storage = w;
  pointers.clear();
  for (auto &s : storage) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  initpar(static_cast<int>(storage.size()), pointers.data());
}

// A received block: 1024 bytes, the text, the marker and (when it fits) a NUL.
void expect_block(const std::string &block, const std::string &text) {
  ASSERT_EQ(block.size(), 1024u) << text;
  if (text.size() + 5 < 1024)
    EXPECT_EQ(block.substr(0, text.size() + 6), text + "EnDiT" + kNul);
  else
    EXPECT_EQ(block.substr(0, text.size() + 5), text + "EnDiT");
}

// While alive, no new descriptor can be opened: RLIMIT_NOFILE is lowered to
// the lowest free descriptor number.
class NoNewDescriptors {
public:
  NoNewDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const int probe = ::open("/dev/null", O_RDONLY);
    ::close(probe);
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(probe);
    ::setrlimit(RLIMIT_NOFILE, &low);
  }
  ~NoNewDescriptors() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
  rlimit saved_{};
};

// Every operation returns 0 without any socket (creating one would fail and
// turn into a fatal error or a return of 1); kov_prog_stat still prints.
void expect_all_silent_without_socket() {
  const int before = open_fds();
  testing::internal::CaptureStderr();
  {
    NoNewDescriptors guard;
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_LT(s, 0) << "the descriptor limit does not bite";
    if (s >= 0) ::close(s);
    EXPECT_EQ(kov_begin_prog(), 0);
    EXPECT_EQ(kov_progress_prog("halfway"), 0);
    EXPECT_EQ(kov_exit_prog(), 0);
    EXPECT_EQ(kov_err_prog(), 0);
    EXPECT_EQ(kov_end_prog(), 0);
    EXPECT_EQ(kov_send_msg("record", "none"), 0);
    EXPECT_EQ(kov_send_msg("error", "none"), 0);
    EXPECT_EQ(kov_prog_stat("migration", 3, 10, 1), 0);
    EXPECT_EQ(kov_prog_stat("migration", 3, 10, 0), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "migration finished=3 of 10\nmigration finished=3 of 10\n");
  EXPECT_EQ(open_fds(), before);
}

// ---- A master that records the block and answers 5 bytes ------------------

TEST(StatusSend, BeginBlockIsExactly1024BytesWithMarkerAndNul) {
  Master master;
  set_job(master.port(), {"kov.begin_par=1"});
  EXPECT_EQ(kov_begin_prog(), 0);
  const auto got = master.stop();
  ASSERT_EQ(got.size(), 1u);
  expect_block(got[0], "record:j7:m1:none");
  EXPECT_EQ(got[0].substr(0, 23), std::string("record:j7:m1:noneEnDiT") + kNul);
}

TEST(StatusSend, EachOperationSendsItsStatusWord) {
  Master master;
  set_job(master.port(), {"kov.begin_par=1", "kov.end_par=1"});
  EXPECT_EQ(kov_begin_prog(), 0);
  EXPECT_EQ(kov_progress_prog("halfway"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(kov_prog_stat("migration", 3, 10, 1), 0);
  EXPECT_EQ(kov_prog_stat("migration", 3, 10, 0), 0); // printed, not sent
  EXPECT_EQ(kov_prog_stat("migration", 3, 10, 2), 0); // only 1 sends
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "migration finished=3 of 10\nmigration finished=3 of 10\nmigration finished=3 of 10\n");
  EXPECT_EQ(kov_exit_prog(), 0);
  EXPECT_EQ(kov_err_prog(), 0);
  EXPECT_EQ(kov_end_prog(), 0);
  EXPECT_EQ(kov_send_msg("errors", "x"), 0);
  const auto got = master.stop();
  const std::vector<std::string> want{
      "record:j7:m1:none", "progress:j7:m1:halfway", "progress:j7:m1:migration finished=3 of 10",
      "exit:j7:m1:none",   "error:j7:m1:none",       "finish:j7:m1:none",
      "errors:j7:m1:x"};
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) expect_block(got[i], want[i]);
}

TEST(StatusSend, TextOf1019BytesFillsTheBlockWithoutNul) {
  Master master;
  set_job(master.port());
  const std::string extra(1019 - std::string("progress:j7:m1:").size(), 'a');
  EXPECT_EQ(kov_progress_prog(extra.c_str()), 0);
  const auto got = master.stop();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], "progress:j7:m1:" + extra + "EnDiT");
  EXPECT_EQ(got[0].find('\0'), std::string::npos);
}

TEST(StatusSend, ErrorStatusWithTextOf1020BytesReturnsOne) {
  Master master;
  set_job(master.port());
  const std::string extra(1020 - std::string("error:j7:m1:").size(), 'e');
  testing::internal::CaptureStderr();
  EXPECT_EQ(kov_send_msg("error", extra.c_str()), 1);
  EXPECT_EQ(kov_err_prog(), 0); // not fatal: the next message goes out
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const auto got = master.stop();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], ""); // connected (the length is checked after connect), nothing sent
  expect_block(got[1], "error:j7:m1:none");
}

// ---- Failures that are not fatal -------------------------------------------

TEST(StatusFailure, ShortReplyMakesErrorStatusReturnOne) {
  const int before = open_fds();
  {
    Master master(4);
    set_job(master.port());
    testing::internal::CaptureStderr();
    EXPECT_EQ(kov_err_prog(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Mismatch in number of received bytess 4!=5 ");
    const auto got = master.stop();
    ASSERT_EQ(got.size(), 1u);
    expect_block(got[0], "error:j7:m1:none");
  }
  EXPECT_EQ(open_fds(), before); // the short-reply path closed its connection
}

TEST(StatusFailure, RefusedConnectionMakesErrorStatusReturnOneWithoutLeak) {
  set_job(refused_port());
  const int before = open_fds();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kov_err_prog(), 1);
  EXPECT_EQ(kov_send_msg("error", "none"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(open_fds(), before);
}

TEST(StatusFailure, PartialParametersMakeErrorStatusReturnOneSilently) {
  set_args({"status_test", "kov.jobid=j7", "kov.master_port=1"});
  testing::internal::CaptureStderr();
  EXPECT_EQ(kov_err_prog(), 1);
  EXPECT_EQ(kov_send_msg("error", "none"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- Nothing due: switched off or not configured ---------------------------

TEST(StatusOff, NoParametersAtAll) {
  set_args({"status_test"});
  expect_all_silent_without_socket();
}

TEST(StatusOff, BeginAndEndSwitchedOnButNoMaster) {
  set_args({"status_test", "kov.begin_par=1", "kov.end_par=1"});
  expect_all_silent_without_socket();
}

TEST(StatusOff, ParJobZeroSendsNothing) {
  Master master;
  set_job(master.port(), {"kov.par_job=0", "kov.begin_par=1", "kov.end_par=1"});
  EXPECT_EQ(kov_begin_prog(), 0);
  EXPECT_EQ(kov_progress_prog("halfway"), 0);
  EXPECT_EQ(kov_exit_prog(), 0);
  EXPECT_EQ(kov_err_prog(), 0);
  EXPECT_EQ(kov_end_prog(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(kov_prog_stat("migration", 3, 10, 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "migration finished=3 of 10\n");
  EXPECT_TRUE(master.stop().empty());
}

// Without "kov.begin_par"/"kov.end_par" exactly 1 there is no record/finish;
// the exit message shows that the master itself is reachable.
void expect_no_begin_or_end(std::initializer_list<std::string> switches) {
  Master master;
  set_job(master.port(), switches);
  EXPECT_EQ(kov_begin_prog(), 0);
  EXPECT_EQ(kov_end_prog(), 0);
  EXPECT_EQ(kov_exit_prog(), 0);
  const auto got = master.stop();
  ASSERT_EQ(got.size(), 1u);
  expect_block(got[0], "exit:j7:m1:none");
}

TEST(StatusOff, BeginAndEndParAbsent) { expect_no_begin_or_end({}); }

TEST(StatusOff, BeginAndEndParTwo) { expect_no_begin_or_end({"kov.begin_par=2", "kov.end_par=2"}); }

// ---- Fatal failures ----------------------------------------------------------
// The parent never looks a parameter up, so each child may capture a command
// line of its own; listeners are started inside the child.  A child that
// must report through files of the parent's TempDir needs the "fast" style
// (a plain fork); "threadsafe" would re-run the test and make a new TempDir.

TEST(StatusDeathTest, RefusedConnectionIsFatalForNonErrorStatus) {
  const int port = refused_port();
  EXPECT_EXIT(
      {
        set_job(port, {"kov.begin_par=1"});
        kov_begin_prog();
      },
      fatal_exit(), "status_test: Failed to connect with server");
  EXPECT_EXIT(
      {
        set_job(port);
        kov_exit_prog();
      },
      fatal_exit(), "Failed to connect with server");
  // Only the whole word "error" is the error status.
  EXPECT_EXIT(
      {
        set_job(port);
        kov_send_msg("errors", "none");
      },
      fatal_exit(), "Failed to connect with server");
}

TEST(StatusDeathTest, PartialParametersAreFatalForNonErrorStatus) {
  EXPECT_EXIT(
      {
        set_args({"status_test", "kov.jobid=j7", "kov.master_port=1", "kov.begin_par=1"});
        kov_begin_prog();
      },
      fatal_exit(),
      "status_test: when running in socket mode must provide jobid,mach_label,master_ip, "
      "and master_port 1 0 0 1");
  EXPECT_EXIT(
      {
        set_args({"status_test", "kov.mach_label=m1", "kov.master_port=1"});
        kov_progress_prog("x");
      },
      fatal_exit(), "and master_port 0 1 0 1");
  EXPECT_EXIT(
      {
        set_args({"status_test", "kov.jobid=j7", "kov.mach_label=m1", "kov.master_ip=127.0.0.1",
                  "kov.end_par=1"});
        kov_end_prog();
      },
      fatal_exit(), "and master_port 1 1 1 0");
}

TEST(StatusDeathTest, TextOf1020BytesIsFatalAndReportsError) {
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir dir;
  const std::string extra(1020 - std::string("progress:j7:m1:").size(), 'a');
  EXPECT_EXIT(
      {
        Master master(5, dir.path().string());
        set_job(master.port());
        kov_progress_prog(extra.c_str());
      },
      fatal_exit(), "status_test: to long of message ");
  // The first connection stays open and empty; the fatal error routine's
  // error message is the second one.
  expect_block(kovtest::read_file(dir / "msg1"), "error:j7:m1:none");
}

TEST(StatusDeathTest, ShortReplyIsFatalForNonErrorStatus) {
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir dir;
  EXPECT_EXIT(
      {
        Master master(4, dir.path().string());
        set_job(master.port());
        kov_exit_prog();
      },
      fatal_exit(),
      "^Mismatch in number of received bytess 4!=5 Mismatch in number of received bytess 4!=5 "
      "status_test: trouble received message ");
  expect_block(kovtest::read_file(dir / "msg0"), "exit:j7:m1:none");
  expect_block(kovtest::read_file(dir / "msg1"), "error:j7:m1:none");
}

TEST(StatusDeathTest, KoverrSendsErrorBeforePrintingAndExits23) {
  GTEST_FLAG_SET(death_test_style, "fast");
  TempDir dir;
  EXPECT_EXIT(
      {
        Master master(5, dir.path().string(), "[master got a block]");
        set_job(master.port());
        koverr("boom %d\n", 7);
      },
      fatal_exit(), "\\[master got a block\\]status_test: boom 7");
  const std::string block = kovtest::read_file(dir / "msg0");
  expect_block(block, "error:j7:m1:none");
  EXPECT_FALSE(std::filesystem::exists(dir / "msg1")); // exactly one message
}

TEST(StatusDeathTest, KoverrWithUnreachableMasterStillPrintsAndExits23) {
  const int port = refused_port();
  EXPECT_EXIT(
      {
        set_job(port);
        koverr("boom %d\n", 8);
      },
      fatal_exit(), "status_test: boom 8");
  EXPECT_EXIT(
      {
        set_args({"status_test", "kov.jobid=j7"});
        koverr("boom %d\n", 9);
      },
      fatal_exit(), "status_test: boom 9");
}

} // namespace
