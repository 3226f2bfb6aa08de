// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the decoder over a store built directly from the input.
//
// The items form the one chain of a single-bucket store, with names, values
// (unterminated, any bytes) and timestamps taken from the input, so every
// lookup exercises the name splitting, the choice of the latest item and the
// list conversion with repeat counts.  Destinations are heap blocks of
// exactly the room given to the bounded decoder.
#include "kovlib_internal.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

#define CHECK(cond)                                                                                \
  do {                                                                                             \
    if (!(cond)) __builtin_trap();                                                                 \
  } while (0)

constexpr long kBigRoom = 1024;

template <class T>
void check_list(hash_item **queue, const std::string &names, const char *type, long room) {
  std::vector<T> big(kBigRoom);
  const int all = kov::detail::decode(queue, 1, names, type, big.data(), kBigRoom);
  CHECK(all >= 0 && all <= kBigRoom);
  auto bounded = std::make_unique<T[]>(static_cast<std::size_t>(room));
  const int got = kov::detail::decode(queue, 1, names, type, bounded.get(), room);
  CHECK(got == (all < room ? all : room));
  CHECK(got == 0 ||
        std::memcmp(bounded.get(), big.data(), sizeof(T) * static_cast<std::size_t>(got)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const int count = in.ConsumeIntegralInRange(0, 6);
  std::vector<std::unique_ptr<char[]>> bytes;
  std::vector<hash_item> items(static_cast<std::size_t>(count));
  for (auto &item : items) {
    const std::string name = in.ConsumeRandomLengthString(24);
    const bool empty = in.ConsumeIntegralInRange(0, 7) == 0;
    const std::string value = in.ConsumeRandomLengthString(512);
    // Exact-size copies: a read past a name or value is caught.
    bytes.push_back(std::make_unique<char[]>(name.size() + 1));
    std::memcpy(bytes.back().get(), name.data(), name.size());
    item.tag = bytes.back().get();
    item.tlen = static_cast<int>(name.size());
    if (empty) {
      item.val = nullptr;
      item.vlen = 0;
    } else {
      bytes.push_back(std::make_unique<char[]>(value.size() > 0 ? value.size() : 1));
      std::memcpy(bytes.back().get(), value.data(), value.size());
      item.val = bytes.back().get();
      item.vlen = static_cast<int>(value.size());
    }
    item.timestamp = in.ConsumeIntegral<int>();
    item.next = nullptr;
  }
  for (std::size_t i = 1; i < items.size(); ++i) items[i - 1].next = &items[i];
  hash_item *bucket = items.empty() ? nullptr : &items[0];
  hash_item **queue = &bucket;

  const long room = in.ConsumeIntegralInRange(0, 300);
  const std::string names = in.ConsumeRandomLengthString(128);

  // Text: the value and its NUL, cut to the room.
  auto text = std::make_unique<char[]>(static_cast<std::size_t>(room) + 1);
  const int s = kov::detail::decode(queue, 1, names, "s", text.get(), room + 1);
  CHECK(s == 0 || s == 1);
  if (s == 1) CHECK(std::memchr(text.get(), '\0', static_cast<std::size_t>(room) + 1) != nullptr);

  check_list<int>(queue, names, "d", room);
  check_list<int>(queue, names, "i", room);
  check_list<float>(queue, names, "f", room);
  check_list<float>(queue, names, "r", room);
  check_list<double>(queue, names, "g", room);
  check_list<int>(queue, names, "l", room);
  check_list<int>(queue, names, "1", room);

  // The public decoder, where the destination can be sized: a whole text
  // always fits the longest value; so does a list without repeat marks,
  // which holds at most one element per comma and one more.
  if (names.find('\0') == std::string::npos) {
    std::size_t longest = 0, slots = 1;
    bool repeats = false;
    for (const auto &item : items) {
      if (item.val == nullptr) continue;
      const std::string_view v(item.val, static_cast<std::size_t>(item.vlen));
      longest = std::max(longest, v.size());
      repeats = repeats || v.find_first_of("*x") != std::string_view::npos;
      std::size_t commas = 1;
      for (char c : v)
        if (c == ',') ++commas;
      slots = std::max(slots, commas);
    }
    auto whole = std::make_unique<char[]>(longest + 1);
    CHECK(getpar_decode(queue, 1, names.c_str(), "s", whole.get()) == s);
    if (!repeats) {
      auto list = std::make_unique<double[]>(slots);
      std::vector<double> big(kBigRoom);
      CHECK(getpar_decode(queue, 1, names.c_str(), "g", list.get()) ==
            kov::detail::decode(queue, 1, names, "g", big.data(), kBigRoom));
    }
  }
  return 0;
}
