// SPDX-License-Identifier: Apache-2.0
// Parameter stores: bucket arrays of items, the store clock and the
// small-object allocator they are cut from.
#include "kovlib_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// One process-wide clock shared by all stores: a larger timestamp means
// given later.
int store_clock = 0;

// Parameter memory is never released.  Every allocation made for it is
// chained from one process-wide head, so that it stays reachable until exit.
void *permanent_head = nullptr;
constexpr std::size_t kLinkBytes = 16; // keeps the memory after the link aligned

// The store memory of a closable record while a scope is open; null: the
// permanent chain.
kov::detail::StoreMemory *scoped = nullptr;

void *&chain_head() { return scoped != nullptr ? scoped->chain : permanent_head; }

// Link a fresh allocation into the current chain; returns the usable part.
char *chained(char *base) {
  void *&head = chain_head();
  std::memcpy(base, &head, sizeof head);
  head = base;
  return base + kLinkBytes;
}

void *permanent(std::size_t size) { return chained(static_cast<char *>(alloc(size + kLinkBytes))); }

// The current block of the small-object allocator (outside any scope).
char *current_block = nullptr;
int block_used = SMALLBLOCK;

constexpr int kPrimes[10] = {31, 29, 23, 19, 17, 13, 11, 7, 5, 3};

int bucket_of(const char *tag, int tlen, int qlen) {
  long h = 0;
  const int n = tlen < 10 ? tlen : 10;
  for (int i = 0; i < n; ++i) h += static_cast<signed char>(tag[i]) * kPrimes[i];
  // Bytes above 127 count as negative: bring the sum into range.
  long b = h % qlen;
  if (b < 0) b += qlen;
  return static_cast<int>(b);
}

bool same_name(const hash_item *item, const char *tag, int tlen) {
  return item->tlen == tlen && (tlen == 0 || std::memcmp(item->tag, tag, tlen) == 0);
}

} // namespace

extern "C" hash_item **new_queue(int len) {
  if (len < 0) len = 0;
  const std::size_t bytes = static_cast<std::size_t>(len > 0 ? len : 1) * sizeof(hash_item *);
  auto *base = static_cast<char *>(std::calloc(bytes + kLinkBytes, 1));
  if (base == nullptr) koverr("unable to allocate space for hetch_queue \n");
  return reinterpret_cast<hash_item **>(chained(base));
}

extern "C" char *suballoc(int size) {
  if (size < 0) size = 0;
  const long rounded = (static_cast<long>(size) + 7) / 8 * 8;
  if (rounded > SMALLBLOCK)
    return static_cast<char *>(permanent(static_cast<std::size_t>(rounded)));
  char *&block = scoped != nullptr ? scoped->block : current_block;
  int &used = scoped != nullptr ? scoped->used : block_used;
  if (used + rounded > SMALLBLOCK) {
    // The old block's remainder is abandoned.
    block = static_cast<char *>(permanent(SMALLBLOCK));
    used = 0;
  }
  char *p = block + used;
  used += static_cast<int>(rounded);
  return p;
}

namespace kov::detail {

StoreMemory::~StoreMemory() {
  while (chain != nullptr) {
    void *next = nullptr;
    std::memcpy(&next, chain, sizeof next);
    std::free(chain);
    chain = next;
  }
}

StoreMemoryScope::StoreMemoryScope(StoreMemory &memory) : saved_(scoped) { scoped = &memory; }

StoreMemoryScope::~StoreMemoryScope() { scoped = saved_; }

} // namespace kov::detail

extern "C" void getpar_hash_store(hash_item **queue, int qlen, char *tag, char *val, int tlen,
                                  int vlen) {
  if (queue == nullptr || qlen <= 0) return;
  hash_item **link = &queue[bucket_of(tag, tlen, qlen)];
  for (; *link != nullptr; link = &(*link)->next) {
    if (same_name(*link, tag, tlen)) {
      (*link)->val = val;
      (*link)->vlen = vlen;
      (*link)->timestamp = store_clock++;
      return;
    }
  }
  auto *item = reinterpret_cast<hash_item *>(suballoc(sizeof(hash_item)));
  item->next = nullptr;
  item->tag = tag;
  item->tlen = tlen;
  item->val = val;
  item->vlen = vlen;
  item->timestamp = store_clock++;
  *link = item;
}

extern "C" hash_item *getpar_hash_lookup(hash_item **queue, int qlen, const char *tag, int tlen) {
  if (queue == nullptr || qlen <= 0) return nullptr;
  for (hash_item *item = queue[bucket_of(tag, tlen, qlen)]; item != nullptr; item = item->next)
    if (same_name(item, tag, tlen)) return item;
  return nullptr;
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(getpar_hash_lookup)
KOV_PUBLIC_NAME(getpar_hash_store)
KOV_PUBLIC_NAME(new_queue)
KOV_PUBLIC_NAME(suballoc)
