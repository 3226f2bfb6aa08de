// SPDX-License-Identifier: Apache-2.0
// Private interfaces shared by the source files of the core library.
#ifndef KOV_KOVLIB_INTERNAL_H
#define KOV_KOVLIB_INTERNAL_H

#include "sibling_api.h"
#include <kov/kovlib.h>

#include "getpar_limits.h"
#include "page_block.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kov::detail {

// Unlimited destination room for the decoder (the public calls know no sizes).
inline constexpr long kUnbounded = LONG_MAX;

// Decode one store lookup.  `room` bounds what is written: for code `s` the
// number of bytes of `dest` (the text is cut to room-1 characters and
// terminated), for list codes the number of elements.  Otherwise as
// getpar_decode.  Returns the number of values stored (at most `room`);
// `held`, when given, receives the number of values the text holds.
KOV_SIBLING_API int decode(hash_item **queue, int qlen, std::string_view names, const char *type,
                           void *dest, long room, long *held = nullptr);

// getch with a bounded destination (see decode).
KOV_SIBLING_API int getch_bounded(const char *name, const char *type, void *dest, long room,
                                  long *held = nullptr);

// The room of a public bounded lookup as the decoder takes it.
inline long room_of(size_t room) {
  return room > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(room);
}

// A held count as the public bounded lookups return it.
inline int held_count(long held) { return held > INT_MAX ? INT_MAX : static_cast<int>(held); }

// The value of the latest-given of the blank-separated names in a store,
// or nothing when none is found or its value is empty.
KOV_SIBLING_API std::optional<std::string> lookup_string(hash_item **queue, int qlen,
                                                         std::string_view names);

// Command-line lookup of a text parameter.
KOV_SIBLING_API std::optional<std::string> getch_string(const char *name);

// printf into a string of the exact length.
std::string vformat(const char *format, va_list args);
KOV_SIBLING_API std::string format(const char *format, ...) KOV_PRINTF(1, 2);

// Push a text of known length (may hold NUL bytes) as the scanner's next
// input; `source` names it in the scanner's messages ("header x.H"), and
// `line_offset` lines at its start are not counted in them.
void push_input(std::string text, std::string source = {}, int line_offset = 0);

// Print "prefix: <system error text>" on standard error, as perror does.
KOV_SIBLING_API void syserr(const char *prefix);
// A notice for standard error only, or for the embedding caller's warning
// handler when there is one.
void note(const std::string &text);

// The directory in which the default datapath puts each user's directory:
// "/tmp/" (the tests point it into their own directories).
extern std::string default_datapath_root;

// The memory of one dataset's parameter store.  Parameter memory is taken
// from the permanent chain and kept until exit, except while a
// StoreMemoryScope is open: then it is chained here and released with this
// object, when the record that owns the store is closed.
struct StoreMemory {
  void *chain = nullptr;
  char *block = nullptr;
  int used = SMALLBLOCK;
  StoreMemory() = default;
  StoreMemory(StoreMemory &&other) noexcept
      : chain(std::exchange(other.chain, nullptr)), block(std::exchange(other.block, nullptr)),
        used(std::exchange(other.used, SMALLBLOCK)) {}
  StoreMemory &operator=(StoreMemory &&) = delete;
  ~StoreMemory();
};

// Sends the store allocations made during its life to `memory`.
class StoreMemoryScope {
public:
  explicit StoreMemoryScope(StoreMemory &memory);
  ~StoreMemoryScope();
  StoreMemoryScope(const StoreMemoryScope &) = delete;
  StoreMemoryScope &operator=(const StoreMemoryScope &) = delete;

private:
  StoreMemory *saved_;
};

} // namespace kov::detail

#endif
