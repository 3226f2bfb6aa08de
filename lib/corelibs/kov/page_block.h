// SPDX-License-Identifier: Apache-2.0
// The one page-aligned buffer of the code base: bulk reads and writes of the
// library and of the programs go through memory that starts on a page
// boundary.  The kernel copies to and from such memory markedly faster than
// to and from memory that starts a few bytes into a page, where the allocator
// puts its large blocks (on some processors a read takes half as long again).
// Header-only, so that the programs' shared code uses it without reaching
// into the library's symbols.
#ifndef KOV_PAGE_BLOCK_H
#define KOV_PAGE_BLOCK_H

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <utility>

namespace kov::detail {

inline constexpr std::size_t kPageAlign = 4096;

// `bytes` bytes (not cleared) starting on a page boundary; an empty block
// holds nothing and converts to false.
class PageBlock {
public:
  PageBlock() = default;
  explicit PageBlock(std::size_t bytes) : size_(bytes) {
    const std::size_t rounded = (bytes + kPageAlign - 1) / kPageAlign * kPageAlign;
    void *p = std::aligned_alloc(kPageAlign, rounded == 0 ? kPageAlign : rounded);
    if (p == nullptr) throw std::bad_alloc();
    store_.reset(static_cast<char *>(p));
  }
  PageBlock(PageBlock &&other) noexcept
      : store_(std::move(other.store_)), size_(std::exchange(other.size_, 0)) {}
  PageBlock &operator=(PageBlock &&other) noexcept {
    store_ = std::move(other.store_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  char *data() const { return store_.get(); }
  std::size_t size() const { return size_; }
  std::span<char> span() const { return {store_.get(), size_}; }
  explicit operator bool() const { return store_ != nullptr; }

private:
  struct Free {
    void operator()(char *p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char[], Free> store_;
  std::size_t size_ = 0;
};

} // namespace kov::detail

#endif
