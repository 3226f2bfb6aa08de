// SPDX-License-Identifier: Apache-2.0
// Parameter lookup in the headers of datasets.
#include "kovlib_internal.h"
#include "streaminf.h"

#include <algorithm>
#include <cstdarg>
#include <vector>

namespace {

streaminf *hetch_in = nullptr; // the record of in, looked up once

streaminf *in_record() {
  if (hetch_in == nullptr) hetch_in = tag_info("in", TAG_IN);
  return hetch_in;
}

// Build the header store of a record on its first lookup.
void ensure_store(streaminf *r, const char *name) {
  if (r->entrytype != STREAMIN && r->entrytype != STREAMINOUT && r->entrytype != STREAMSCR)
    koverr("kovstrpar(): parameter %s asked of output tag %s\n", name, r->tagname.c_str());
  if (r->entrytype == STREAMIN && !r->headerbuf && !r->header_error.empty())
    koverr("Attempt to get parameter %s from tag %s: its header %s cannot be read: %s\n", name,
           r->tagname.c_str(), r->headername.c_str(), r->header_error.c_str());
  if (r->entrytype == STREAMIN && !r->headerbuf)
    koverr("Attempt to get parameter %s from tag %s which is not a valid description file \n", name,
           r->tagname.c_str());
  if (r->hetch_queue != nullptr) return;
  if (kovxargv == nullptr) koverr("Must call initpar() at the start of your program\n");
  if (r->headerbuf && !r->headerbuf->empty()) {
    const kov::detail::StoreMemoryScope scope(r->store_memory);
    r->hqlen = KOV_HETCH_QUEUE_SIZE;
    r->hetch_queue = new_queue(r->hqlen);
    kov::detail::push_input(*r->headerbuf, "header " + r->headername);
    getpar_scan(r->hetch_queue, r->hqlen);
  }
}

} // namespace

namespace kov::detail {

void forget_hetch_record(streaminf *record) {
  if (hetch_in == record) hetch_in = nullptr;
}

std::optional<std::string> kovstrpar_string(streaminf *r, const char *name) {
  ensure_store(r, name);
  if (auto value = lookup_string(r->hetch_queue, r->hqlen, name)) return value;
  return lookup_string(r->tetch_queue, r->tqlen, name);
}

} // namespace kov::detail

extern "C" int kovstrpar(streaminf *r, const char *name, const char *type, void *dest) {
  if (r == nullptr) kov::detail::assertion("kovstrpar", "null record");
  ensure_store(r, name);
  if (r->hetch_queue != nullptr) {
    const int found = getpar_decode(r->hetch_queue, r->hqlen, name, type, dest);
    if (found != 0) return found;
  }
  return getpar_decode(r->tetch_queue, r->tqlen, name, type, dest);
}

namespace {

// kovstrpar with a bounded destination: the number of values the text held.
int kovstrpar_n(streaminf *r, const char *name, const char *type, void *dest, size_t room) {
  if (r == nullptr) kov::detail::assertion("kovstrpar", "null record");
  ensure_store(r, name);
  const long bound = kov::detail::room_of(room);
  long held = 0;
  kov::detail::decode(r->hetch_queue, r->hqlen, name != nullptr ? name : "", type, dest, bound,
                      &held);
  if (held == 0)
    kov::detail::decode(r->tetch_queue, r->tqlen, name != nullptr ? name : "", type, dest, bound,
                        &held);
  return kov::detail::held_count(held);
}

} // namespace

extern "C" int hetch_n(const char *name, const char *type, void *dest, size_t room) {
  return kovstrpar_n(in_record(), name, type, dest, room);
}

extern "C" int fetch_n(const char *name, const char *type, void *dest, size_t room) {
  const int found = getch_n(name, type, dest, room);
  if (found > 0) return found;
  return hetch_n(name, type, dest, room);
}

extern "C" int auxpar_n(const char *name, const char *type, void *dest, size_t room,
                        const char *tag) {
  return kovstrpar_n(tag_info(tag, TAG_IN), name, type, dest, room);
}

extern "C" int hetch(const char *name, const char *type, void *dest) {
  return kovstrpar(in_record(), name, type, dest);
}

extern "C" int fetch(const char *name, const char *type, void *dest) {
  const int found = getch(name, type, dest);
  if (found > 0) return found;
  return hetch(name, type, dest);
}

extern "C" int auxpar(const char *name, const char *type, void *dest, const char *tag) {
  return kovstrpar(tag_info(tag, TAG_IN), name, type, dest);
}

extern "C" int tetch(const char *name, const char *type, ...) {
  va_list args;
  va_start(args, type);
  void *dest = va_arg(args, void *);
  va_end(args);
  const int found = getch(name, type, dest);
  if (found != 0) return found;
  streaminf *r = in_record();
  return getpar_decode(r->tetch_queue, r->tqlen, name, type, dest);
}

extern "C" int kov_history_params(const char *tag, kov_param_visitor each, void *data) {
  if (tag == nullptr) kov::detail::assertion("kov_history_params", "null tag");
  streaminf *r = tag_info(tag, TAG_IN);
  ensure_store(r, "");
  std::vector<const hash_item *> items;
  for (int b = 0; b < r->hqlen && r->hetch_queue != nullptr; ++b)
    for (const hash_item *item = r->hetch_queue[b]; item != nullptr; item = item->next)
      items.push_back(item);
  std::sort(items.begin(), items.end(),
            [](const hash_item *a, const hash_item *b) { return a->timestamp < b->timestamp; });
  if (each != nullptr)
    for (const hash_item *item : items) each(item->tag, item->tlen, item->val, item->vlen, data);
  return static_cast<int>(items.size());
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(auxpar)
KOV_PUBLIC_NAME(auxpar_n)
KOV_PUBLIC_NAME(fetch)
KOV_PUBLIC_NAME(fetch_n)
KOV_PUBLIC_NAME(hetch)
KOV_PUBLIC_NAME(hetch_n)
KOV_PUBLIC_NAME(kov_history_params)
KOV_PUBLIC_NAME(kovstrpar)
KOV_PUBLIC_NAME(tetch)
