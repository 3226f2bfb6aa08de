// SPDX-License-Identifier: Apache-2.0
// The page-aligned buffer of the library and the programs.
#include "page_block.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

using kov::detail::PageBlock;

TEST(PageBlock, StartsOnAPageAndHoldsWhatItSays) {
  for (const std::size_t bytes : {std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                                  std::size_t{4097}, std::size_t{1} << 20}) {
    const PageBlock block(bytes);
    ASSERT_TRUE(block);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data()) % 4096, 0u) << bytes;
    EXPECT_EQ(block.size(), bytes);
    EXPECT_EQ(block.span().data(), block.data());
    EXPECT_EQ(block.span().size(), bytes);
    std::memset(block.data(), 0x5a, bytes); // all of it is there (ASan checks)
  }
}

TEST(PageBlock, EmptyAndMovedFromHoldNothing) {
  PageBlock none;
  EXPECT_FALSE(none);
  EXPECT_EQ(none.size(), 0u);
  EXPECT_TRUE(none.span().empty());
  PageBlock zero(0);
  EXPECT_TRUE(zero); // a page is taken even for no bytes
  EXPECT_EQ(zero.size(), 0u);
  PageBlock a(100);
  char *const held = a.data();
  PageBlock b = std::move(a);
  EXPECT_EQ(b.data(), held);
  EXPECT_FALSE(a); // NOLINT(bugprone-use-after-move): moved-from is empty
  EXPECT_EQ(a.size(), 0u);
}

} // namespace
