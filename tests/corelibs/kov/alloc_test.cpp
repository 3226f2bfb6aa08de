// SPDX-License-Identifier: Apache-2.0
// Checked allocation.
#include <kov/kovlib.h>

#include "test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>

namespace {

TEST(Alloc, CheckedAllocations) {
  EXPECT_EQ(fsbrk(0), nullptr);
  EXPECT_EQ(ifsbrk(0), nullptr);
  char *p = fsbrk(10);
  ASSERT_NE(p, nullptr);
  std::memset(p, 1, 10);
  EXPECT_EQ(fortfree(p), 0);
  void *q = alloc(0);
  EXPECT_NE(q, nullptr);
  std::free(q);
}

TEST(Alloc, FortallocIsAOneBasedPositionFromBase) {
  char base[8];
  const long pos = fortalloc(base, 5);
  ASSERT_NE(pos, 1);
  char *mem = reinterpret_cast<char *>(reinterpret_cast<std::uintptr_t>(base) + (pos - 1));
  std::memset(mem, 0, 8); // rounded up to 8 bytes
  EXPECT_EQ(fortfree(mem), 0);
  EXPECT_EQ(fortalloc(base, -1), 1);
}

TEST(AllocDeathTest, FailuresAreFatal) {
  kovtest::set_args({"prog"});
  EXPECT_EXIT(fsbrk(-5), kovtest::fatal_exit(), "fsbrk: .*\n(.|\n)*unable to allocate -5 bytes");
  EXPECT_EXIT(alloc(SIZE_MAX / 2), kovtest::fatal_exit(),
              "alloc\\(kov\\):can't allocate [0-9]+ bytes");
}

} // namespace
