// Parameter stores: bucket arrays of items, the store clock and the
// small-object allocator they are cut from.
#include "kovlib_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

// One process-wide clock shared by all stores: a larger timestamp means
// given later.
int store_clock = 0;

// The current block of the small-object allocator.  The first word of every
// block links to the previous one, so that all blocks stay reachable.
char *current_block = nullptr;
int block_used = SMALLBLOCK;
constexpr int kLinkBytes = 8;

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
  auto **queue = static_cast<hash_item **>(std::calloc(len > 0 ? len : 1, sizeof(hash_item *)));
  if (queue == nullptr) koverr("unable to allocate space for hetch_queue \n");
  return queue;
}

extern "C" char *suballoc(int size) {
  if (size < 0) size = 0;
  const long rounded = (static_cast<long>(size) + 7) / 8 * 8;
  if (rounded > SMALLBLOCK) return static_cast<char *>(alloc(static_cast<size_t>(rounded)));
  if (block_used + rounded > SMALLBLOCK) {
    auto *block = static_cast<char *>(alloc(SMALLBLOCK + kLinkBytes));
    std::memcpy(block, &current_block, sizeof current_block);
    current_block = block;
    block_used = 0;
  }
  char *p = current_block + kLinkBytes + block_used;
  block_used += static_cast<int>(rounded);
  return p;
}

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
