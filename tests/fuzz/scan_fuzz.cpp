// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the parameter scanner and the lookups over what it stored.
//
// Input layout: byte 0 picks how the text is fed, byte 1 the destination
// room of the bounded lookups, the rest is the text.
//   mode 0  one input of known length (NUL bytes kept)
//   mode 1  laid out as a parameter file is: newline, text, newline
//   mode 2  a terminated text through getpar_push_input, released afterwards
//   mode 3  NUL-separated command-line words through getpar_string_store
//   mode 4  NUL-separated texts pushed together (at most ten), scanned once
//
// Texts that would name a parameter file are skipped (the target reads no
// files), and the size is kept below the scanner's longest token so that no
// input ends the process on purpose.
#include "kovlib_internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxText = 7900;
constexpr int kQueueLen = 61;
constexpr long kBigRoom = 512;

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) __builtin_trap();                                                                 \
  } while (0)

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-'; }

bool scanner_name(const hash_item *item) {
  if (item->tlen <= 0 || !is_letter(item->tag[0])) return false;
  for (int i = 1; i < item->tlen; ++i)
    if (!is_name_char(item->tag[i])) return false;
  return true;
}

// The scanner's normal/value state outlives a scan; a lone newline brings it
// back to normal (as a value it is delivered, otherwise skipped), so that
// every input starts alike.
void reset_scanner_state() {
  static hash_item **scratch = new_queue(1);
  kov::detail::push_input("\n");
  getpar_scan(scratch, 1);
  scratch[0] = nullptr;
}

template <class T>
void check_list(hash_item **queue, std::string_view names, const char *type, long room,
                const hash_item *item) {
  std::vector<T> big(kBigRoom);
  const int all = kov::detail::decode(queue, kQueueLen, names, type, big.data(), kBigRoom);
  CHECK(all >= 0 && all <= kBigRoom);
  // Exactly `room` elements on the heap: any write beyond is caught.
  T *bounded = new T[static_cast<std::size_t>(room)];
  const int got = kov::detail::decode(queue, kQueueLen, names, type, bounded, room);
  CHECK(got == (all < room ? all : room));
  CHECK(got == 0 ||
        std::memcmp(bounded, big.data(), sizeof(T) * static_cast<std::size_t>(got)) == 0);
  delete[] bounded;
  if (item == nullptr || item->val == nullptr) {
    CHECK(all == 0);
    return;
  }
  // Without repeat marks the count is bounded by the commas, so the public
  // decoder can be given an exact destination.
  const std::string_view value(item->val, static_cast<std::size_t>(item->vlen));
  if (value.find_first_of("*x") != std::string_view::npos) return;
  std::size_t slots = 1;
  for (char c : value)
    if (c == ',') ++slots;
  T *exact = new T[slots];
  const std::string terminated(names);
  CHECK(getpar_decode(queue, kQueueLen, terminated.c_str(), type, exact) == all);
  delete[] exact;
}

// Look `names` up with every conversion code.  `item` is the item that the
// lookup must find (null: nothing).
void check_lookup(hash_item **queue, std::string_view names, long room, const hash_item *item) {
  if (names.find('\0') != std::string_view::npos) return;
  const std::string terminated(names);
  static char text[2 * YYLMAX];
  const int s = getpar_decode(queue, kQueueLen, terminated.c_str(), "s", text);
  if (item == nullptr || item->val == nullptr) {
    CHECK(s == 0);
  } else {
    CHECK(s == 1);
    CHECK(std::memcmp(text, item->val, static_cast<std::size_t>(item->vlen)) == 0);
    CHECK(text[item->vlen] == '\0');
    char *cut = new char[static_cast<std::size_t>(room) + 1];
    CHECK(kov::detail::decode(queue, kQueueLen, names, "s", cut, room + 1) == 1);
    CHECK(std::strlen(cut) <= static_cast<std::size_t>(room));
    delete[] cut;
  }
  check_list<int>(queue, names, "d", room, item);
  check_list<float>(queue, names, "f", room, item);
  check_list<double>(queue, names, "g", room, item);
  check_list<int>(queue, names, "1", room, item);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 2 || size - 2 > kMaxText) return 0;
  const int mode = data[0] % 5;
  const long room = data[1] % 40;
  const std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
  if (text.find("par=") != std::string::npos) return 0;

  reset_scanner_state();
  // One store for all inputs, emptied each time: stores are never released.
  static hash_item **queue = new_queue(kQueueLen);
  std::fill(queue, queue + kQueueLen, nullptr);
  std::vector<std::string> words; // command-line words are stored in place
  switch (mode) {
  case 0:
    kov::detail::push_input(text);
    getpar_scan(queue, kQueueLen);
    break;
  case 1:
    kov::detail::push_input("\n" + text + "\n");
    getpar_scan(queue, kQueueLen);
    break;
  case 2: {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    getpar_push_input(copy, 1);
    getpar_scan(queue, kQueueLen);
    break;
  }
  case 3:
  case 4: {
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\0', start);
      if (end == std::string::npos) end = text.size();
      words.emplace_back(text, start, end - start);
      start = end + 1;
    }
    if (mode == 3) {
      for (auto &w : words) getpar_string_store(queue, kQueueLen, w.data());
    } else {
      if (words.size() > 10) words.resize(10);
      for (auto &w : words) kov::detail::push_input(w);
      getpar_scan(queue, kQueueLen);
    }
    break;
  }
  }

  // Walk the store: every item must be found again where it lies, and what
  // the scanner copied is a name of the grammar and a terminated value.
  std::vector<const hash_item *> items;
  for (int b = 0; b < kQueueLen; ++b) {
    for (const hash_item *item = queue[b]; item != nullptr; item = item->next) {
      CHECK(items.size() <= size);
      CHECK(getpar_hash_lookup(queue, kQueueLen, item->tag, item->tlen) == item);
      CHECK(item->vlen >= 0 && (item->val != nullptr || item->vlen == 0));
      if (mode != 3) {
        CHECK(scanner_name(item));
        CHECK(item->val == nullptr || item->val[item->vlen] == '\0');
      }
      items.push_back(item);
    }
  }

  // Each name alone, then the names together: the one given last wins.
  std::string joined = " ";
  const hash_item *latest = nullptr;
  for (const hash_item *item : items) {
    const std::string_view name(item->tag, static_cast<std::size_t>(item->tlen));
    if (name.empty() || name.find(' ') != std::string_view::npos) continue;
    check_lookup(queue, name, room, item);
    if (joined.size() < 512) {
      joined.append(name).append("  ");
      if (latest == nullptr || item->timestamp > latest->timestamp) latest = item;
    }
  }
  check_lookup(queue, joined, room, latest);

  // Words of the text that may or may not be names.
  std::size_t p = 0;
  for (int n = 0; n < 16 && p < text.size(); ++n) {
    const std::size_t q = std::min(text.find_first_of(" \t\n=", p), text.size());
    const std::string_view word(text.data() + p, q - p);
    p = q + 1;
    if (word.empty() || word.size() > 64) continue;
    check_lookup(queue, word, room,
                 getpar_hash_lookup(queue, kQueueLen, word.data(), static_cast<int>(word.size())));
  }

  return 0;
}
