// SPDX-License-Identifier: Apache-2.0
// Checked heap allocation.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" void *alloc(size_t size) {
  void *p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) koverr("alloc(kov):can't allocate %zu bytes\n", size);
  return p;
}

extern "C" char *fsbrk(int nbytes) {
  if (nbytes == 0) return nullptr;
  void *p = nbytes > 0 ? std::malloc(static_cast<size_t>(nbytes)) : nullptr;
  if (p == nullptr) {
    kov::detail::syserr("fsbrk");
    koverr("unable to allocate %d bytes\n", nbytes);
  }
  return static_cast<char *>(p);
}

extern "C" char *ifsbrk(int len) { return fsbrk(len); }

extern "C" long fortalloc(char *base, int len) {
  if (len < 0) return 1;
  const size_t rounded = (static_cast<size_t>(len) + 7) / 8 * 8;
  void *p = std::malloc(rounded > 0 ? rounded : 8);
  if (p == nullptr) return 1;
  // Byte positions are counted from base, 1-based; compare as integers since
  // the two addresses belong to different objects.
  return static_cast<long>(reinterpret_cast<std::uintptr_t>(p) -
                           reinterpret_cast<std::uintptr_t>(base)) +
         1;
}

extern "C" int fortfree(char *buf) {
  std::free(buf);
  return 0;
}

namespace kov::detail {

char *heap_copy(const std::string &text) {
  auto *copy = static_cast<char *>(alloc(text.size() + 1));
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

} // namespace kov::detail

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(alloc)
KOV_PUBLIC_NAME(fortalloc)
KOV_PUBLIC_NAME(fortfree)
KOV_PUBLIC_NAME(fsbrk)
KOV_PUBLIC_NAME(ifsbrk)
