// SPDX-License-Identifier: Apache-2.0
// The public header compiles alone as C++ and keeps C linkage.
#include <kov/kovlib.h>

#include <gtest/gtest.h>

extern "C" int kov_header_c_probe(void);

TEST(PublicHeader, CompilesAsCAndCxx) {
  static_assert(sizeof(kov_off_t) == 8, "offsets are 64-bit");
  EXPECT_EQ(kov_header_c_probe(), static_cast<int>(sizeof(kov_off_t) + sizeof(hash_item)));
}
