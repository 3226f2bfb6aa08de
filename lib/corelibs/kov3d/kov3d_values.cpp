// SPDX-License-Identifier: Apache-2.0
// Header values of three-dimensional datasets: key by key in the hff's
// data, whole records, and between records in memory and one key's values.
#include <kov/kov3d.h>

#include "kov3d_internal.h"
#include "streaminf.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// Where key `k` sits in the records of a tag's hff.
struct KeyPlace {
  std::string hff;
  std::string fmt;
  int record = 0; // record length R
  int first = 0;  // F(k)
  int size = 0;   // F(k + 1) - F(k)
};

int place_of(const char *tag, int k, KeyPlace &p, bool with_format) {
  if (const int code = kov3d::find_hff(tag, p.hff); code != 0) return code;
  if (with_format) {
    std::vector<char> fmt(KOV3D_KEY_TYPE_ROOM, '\0');
    if (const int code = kov_get_key_fmt(tag, &k, fmt.data()); code != 0) return code;
    p.fmt = fmt.data();
  }
  if (const int code = kov_get_header_bytes(tag, &p.record); code != 0) return code;
  int next = 0;
  const int after = k + 1;
  if (const int code = kov_get_key_first_byte(tag, &k, &p.first); code != 0) return code;
  if (const int code = kov_get_key_first_byte(tag, &after, &next); code != 0) return code;
  p.size = next - p.first;
  return 0;
}

int by_index(bool put, const char *tag, int r, int k, int n, char *values) {
  KeyPlace p;
  if (const int code = place_of(tag, k, p, true); code != 0) return code;
  char *at = values;
  for (int i = 0; i < n; ++i, at += p.size) {
    const kov_off_t byte =
        p.first + (static_cast<kov_off_t>(r) + i - 1) * static_cast<kov_off_t>(p.record);
    bool ok = sseek_l_l(p.hff.c_str(), byte, 0) == byte;
    if (ok)
      ok = (put ? srite2(p.hff.c_str(), at, p.size, p.fmt.c_str())
                : sreed2(p.hff.c_str(), at, p.size, p.fmt.c_str())) == p.size;
    if (!ok) koverr("sseek error seek_byte=%d\n", static_cast<int>(byte));
  }
  return 0;
}

// The put forms never write through the pointer they are given.
char *writable(const void *values) { return const_cast<char *>(static_cast<const char *>(values)); }

int index_of(const char *tag, const char *name, int &k) {
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  return kov_get_key_index(tag, name, &k);
}

} // namespace

extern "C" int kov_put_val_by_index(const char *tag, const int *record_number, const int *key_index,
                                    const int *n_values, const void *values) {
  return by_index(true, tag, *record_number, *key_index, *n_values, writable(values));
}

extern "C" int kov_get_val_by_index(const char *tag, const int *record_number, const int *key_index,
                                    const int *n_values, void *values) {
  return by_index(false, tag, *record_number, *key_index, *n_values, static_cast<char *>(values));
}

extern "C" int kov_put_val_by_name(const char *tag, const int *record_number, const char *key_name,
                                   const int *n_values, const void *values) {
  int k = 0;
  if (const int code = index_of(tag, key_name, k); code != 0) return code;
  return by_index(true, tag, *record_number, k, *n_values, writable(values));
}

extern "C" int kov_get_val_by_name(const char *tag, const int *record_number, const char *key_name,
                                   const int *n_values, void *values) {
  int k = 0;
  if (const int code = index_of(tag, key_name, k); code != 0) return code;
  return by_index(false, tag, *record_number, k, *n_values, static_cast<char *>(values));
}

extern "C" int kov_get_val_headers(const char *tag, const int *record_number, const int *n_headers,
                                   void *header_values) {
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  int record = 0;
  if (const int code = kov_get_header_bytes(tag, &record); code != 0) return code;
  if (*n_headers <= 0) return 0;
  const int at = sseek_block(hff.c_str(), *record_number - 1, record, 0);
  if (at != *record_number - 1)
    koverr("kov_get_val_headers: sseek error seek_byte=%d\n", (*record_number - 1) * record);
  const int nbytes = *n_headers * record;
  if (sreed(hff.c_str(), header_values, nbytes) != nbytes)
    koverr("kov_get_val_headers: sreed error \n");
  return 0;
}

extern "C" int kov_put_val_headers(const char *tag, const int *record_number, const int *n_headers,
                                   const void *header_values) {
  (void)record_number; // records are written in sequence
  std::string hff;
  if (const int code = kov3d::find_hff(tag, hff); code != 0) return code;
  int record = 0;
  if (const int code = kov_get_header_bytes(tag, &record); code != 0) return code;
  if (*n_headers <= 0) return 0;
  const int nbytes = *n_headers * record;
  if (srite(hff.c_str(), header_values, nbytes) != nbytes)
    koverr("kov_put_val_headers: srite error \n");
  return 0;
}

extern "C" int kov_extract_val_by_index(const char *tag, const int *key_index, const int *n_values,
                                        void *values, const void *all_values) {
  KeyPlace p;
  if (const int code = place_of(tag, *key_index, p, false); code != 0) return code;
  auto *to = static_cast<char *>(values);
  const auto *from = static_cast<const char *>(all_values);
  for (int i = 0; i < *n_values; ++i)
    std::memcpy(to + static_cast<std::size_t>(i) * p.size,
                from + static_cast<std::size_t>(i) * p.record + p.first,
                static_cast<std::size_t>(p.size));
  return 0;
}

extern "C" int kov_insert_val_by_index(const char *tag, const int *key_index, const int *n_values,
                                       const void *values, void *all_values) {
  KeyPlace p;
  if (const int code = place_of(tag, *key_index, p, false); code != 0) return code;
  const auto *from = static_cast<const char *>(values);
  auto *to = static_cast<char *>(all_values);
  for (int i = 0; i < *n_values; ++i)
    std::memcpy(to + static_cast<std::size_t>(i) * p.record + p.first,
                from + static_cast<std::size_t>(i) * p.size, static_cast<std::size_t>(p.size));
  return 0;
}
