// SPDX-License-Identifier: Apache-2.0
// Fatal errors, warnings and exit.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using kovtest::fatal_exit;
using kovtest::set_args;

using kovtest::Outcome;
using kovtest::run_child;

TEST(Koverr, PrefixedMessageOnBothStreams) {
  const Outcome o = run_child([] {
    set_args({"./prog"});
    std::printf("header line\n");
    koverr("bad value %d\n", 7);
  });
  EXPECT_EQ(o.status, 23);
  EXPECT_EQ(o.err, "./prog: bad value 7\n");
  EXPECT_EQ(o.out, "header line\n./prog: bad value 7\n") << "buffered output is kept";
}

TEST(Koverr, NoPrefixBeforeCapture) {
  const Outcome o = run_child([] { koverr("early %s\n", "trouble"); });
  EXPECT_EQ(o.status, 23);
  EXPECT_EQ(o.err, "early trouble\n");
  EXPECT_EQ(o.out, "early trouble\n");
}

TEST(Koverr, ErexitAddsANewline) {
  const Outcome o = run_child([] {
    set_args({"prog"});
    erexit("stop");
  });
  EXPECT_EQ(o.status, 23);
  EXPECT_EQ(o.err, "prog: stop\n");
  EXPECT_EQ(o.out, "prog: stop\n");
}

TEST(Kovwarn, BothStreamsNoPrefixReturnsCode) {
  int code = -1;
  const Outcome o = run_child([&] {
    set_args({"prog"});
    code = kovwarn(3, "careful\n");
    std::exit(code);
  });
  EXPECT_EQ(o.status, 3);
  EXPECT_EQ(o.err, "careful\n");
  EXPECT_EQ(o.out, "careful\n");
}

TEST(Fexit, EndsWithTheStatus) {
  EXPECT_EXIT(fexit(5), ::testing::ExitedWithCode(5), "");
  EXPECT_EQ(noieeeinterupt(), 0);
}

TEST(KoverrDeathTest, ExitStatus23) {
  set_args({"prog"});
  EXPECT_EXIT(koverr("x=%s\n", "y"), fatal_exit(), "^prog: x=y\n$");
}

} // namespace
