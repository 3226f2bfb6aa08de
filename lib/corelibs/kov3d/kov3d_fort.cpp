// SPDX-License-Identifier: Apache-2.0
// Foreign-caller entry points of the three-dimensional layer, in the
// spellings with one and with two trailing underscores: texts blank-padded
// with hidden lengths, numbers by reference, text results copied back into
// the caller's field, padded with blanks.
#include <kov/kov3d.h>

#include "kovfort.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using kov::fort::TextIn;

namespace {

// A text result into a blank-padded field.
void pad_out(const char *text, char *field, std::size_t len) {
  const std::size_t n = std::min(std::strlen(text), len);
  std::memcpy(field, text, n);
  std::memset(field + n, ' ', len - n);
}

template <class F> int text_result(F get, std::size_t room, char *field, std::size_t len) {
  std::vector<char> text(room, '\0');
  const int code = get(text.data());
  if (code == 0) pad_out(text.data(), field, len);
  return code;
}

} // namespace

#define KOV3D_BOTH(ret, name, params, body)                                                        \
  extern "C" ret name##_ params body extern "C" ret name##__ params body

KOV3D_BOTH(void, init_3d, (void), { init_3d(); })

KOV3D_BOTH(int, kov_put_number_keys, (const char *tag, const int *n, std::size_t tl),
           { return kov_put_number_keys(TextIn(tag, tl), n); })
KOV3D_BOTH(int, kov_get_number_keys, (const char *tag, int *n, std::size_t tl),
           { return kov_get_number_keys(TextIn(tag, tl), n); })
KOV3D_BOTH(int, kov_put_key,
           (const char *tag, const char *name, const char *type, const char *fmt, const int *index,
            std::size_t tl, std::size_t nl, std::size_t yl, std::size_t fl),
           {
             return kov_put_key(TextIn(tag, tl), TextIn(name, nl), TextIn(type, yl),
                                TextIn(fmt, fl), index);
           })
KOV3D_BOTH(int, kov_get_key_index,
           (const char *tag, const char *name, int *index, std::size_t tl, std::size_t nl),
           { return kov_get_key_index(TextIn(tag, tl), TextIn(name, nl), index); })
KOV3D_BOTH(int, kov_get_key_name,
           (const char *tag, const int *index, char *name, std::size_t tl, std::size_t nl), {
             const TextIn t(tag, tl);
             return text_result([&](char *b) { return kov_get_key_name(t, index, b); },
                                KOV3D_KEY_NAME_ROOM, name, nl);
           })
KOV3D_BOTH(int, kov_get_key_type,
           (const char *tag, const int *index, char *type, std::size_t tl, std::size_t yl), {
             const TextIn t(tag, tl);
             return text_result([&](char *b) { return kov_get_key_type(t, index, b); },
                                KOV3D_KEY_TYPE_ROOM, type, yl);
           })
KOV3D_BOTH(int, kov_get_key_fmt,
           (const char *tag, const int *index, char *fmt, std::size_t tl, std::size_t fl), {
             const TextIn t(tag, tl);
             return text_result([&](char *b) { return kov_get_key_fmt(t, index, b); },
                                KOV3D_KEY_TYPE_ROOM, fmt, fl);
           })
KOV3D_BOTH(int, kov_get_key_first_byte,
           (const char *tag, const int *index, int *byte, std::size_t tl),
           { return kov_get_key_first_byte(TextIn(tag, tl), index, byte); })
KOV3D_BOTH(int, kov_get_header_bytes, (const char *tag, int *n, std::size_t tl),
           { return kov_get_header_bytes(TextIn(tag, tl), n); })
KOV3D_BOTH(int, kov_put_header_format_tag,
           (const char *tag, const char *name, std::size_t tl, std::size_t nl),
           { return kov_put_header_format_tag(TextIn(tag, tl), TextIn(name, nl)); })
KOV3D_BOTH(int, kov_put_grid_format_tag,
           (const char *tag, const char *name, std::size_t tl, std::size_t nl),
           { return kov_put_grid_format_tag(TextIn(tag, tl), TextIn(name, nl)); })
KOV3D_BOTH(int, kov_get_header_format_tag,
           (const char *tag, char *name, std::size_t tl, std::size_t nl), {
             const TextIn t(tag, tl);
             return text_result([&](char *b) { return fget_header_format_tag(t, b); },
                                KOV3D_TAG_ROOM, name, nl);
           })
KOV3D_BOTH(int, kov_get_grid_format_tag,
           (const char *tag, char *name, std::size_t tl, std::size_t nl), {
             const TextIn t(tag, tl);
             return text_result([&](char *b) { return fget_grid_format_tag(t, b); }, KOV3D_TAG_ROOM,
                                name, nl);
           })

#define KOV3D_AXIS(name)                                                                           \
  KOV3D_BOTH(                                                                                      \
      int, kov_put_##name##_axis_par,                                                              \
      (const char *tag, const int *i, const int *n, const float *o, const float *d,                \
       const char *label, std::size_t tl, std::size_t ll),                                         \
      { return kov_put_##name##_axis_par(TextIn(tag, tl), i, n, o, d, TextIn(label, ll)); })       \
  KOV3D_BOTH(int, kov_get_##name##_axis_par,                                                       \
             (const char *tag, const int *i, int *n, float *o, float *d, char *label,              \
              std::size_t tl, std::size_t ll),                                                     \
             {                                                                                     \
               const TextIn t(tag, tl);                                                            \
               return text_result(                                                                 \
                   [&](char *b) { return kov_get_##name##_axis_par(t, i, n, o, d, b); },           \
                   KOV3D_LABEL_ROOM, label, ll);                                                   \
             })                                                                                    \
  KOV3D_BOTH(int, kov_get_number_##name##_axes, (const char *tag, int *n, std::size_t tl),         \
             { return kov_get_number_##name##_axes(TextIn(tag, tl), n); })

KOV3D_AXIS(data)
KOV3D_AXIS(header)
KOV3D_AXIS(grid)

KOV3D_BOTH(int, kov_put_val_by_index,
           (const char *tag, const int *r, const int *k, const int *n, const void *v,
            std::size_t tl),
           { return kov_put_val_by_index(TextIn(tag, tl), r, k, n, v); })
KOV3D_BOTH(int, kov_get_val_by_index,
           (const char *tag, const int *r, const int *k, const int *n, void *v, std::size_t tl),
           { return kov_get_val_by_index(TextIn(tag, tl), r, k, n, v); })
KOV3D_BOTH(int, kov_put_val_by_name,
           (const char *tag, const int *r, const char *key, const int *n, const void *v,
            std::size_t tl, std::size_t kl),
           { return kov_put_val_by_name(TextIn(tag, tl), r, TextIn(key, kl), n, v); })
KOV3D_BOTH(int, kov_get_val_by_name,
           (const char *tag, const int *r, const char *key, const int *n, void *v, std::size_t tl,
            std::size_t kl),
           { return kov_get_val_by_name(TextIn(tag, tl), r, TextIn(key, kl), n, v); })
KOV3D_BOTH(int, kov_put_val_headers,
           (const char *tag, const int *r, const int *n, const void *v, std::size_t tl),
           { return kov_put_val_headers(TextIn(tag, tl), r, n, v); })
KOV3D_BOTH(int, kov_get_val_headers,
           (const char *tag, const int *r, const int *n, void *v, std::size_t tl),
           { return kov_get_val_headers(TextIn(tag, tl), r, n, v); })
KOV3D_BOTH(int, kov_extract_val_by_index,
           (const char *tag, const int *k, const int *n, void *v, const void *all, std::size_t tl),
           { return kov_extract_val_by_index(TextIn(tag, tl), k, n, v, all); })
KOV3D_BOTH(int, kov_insert_val_by_index,
           (const char *tag, const int *k, const int *n, const void *v, void *all, std::size_t tl),
           { return kov_insert_val_by_index(TextIn(tag, tl), k, n, v, all); })

#define KOV3D_TWO_TAGS(name)                                                                       \
  KOV3D_BOTH(int, name, (const char *a, const char *b, std::size_t al, std::size_t bl),            \
             { return name(TextIn(a, al), TextIn(b, bl)); })
#define KOV3D_ONE_TAG(name)                                                                        \
  KOV3D_BOTH(int, name, (const char *a, std::size_t al), { return name(TextIn(a, al)); })

KOV3D_TWO_TAGS(kov_copy_data_pointer)
KOV3D_ONE_TAG(kov_set_no_headers)
KOV3D_ONE_TAG(kov_set_no_grid)
KOV3D_ONE_TAG(kov_set_regular_grid)
KOV3D_TWO_TAGS(kov_copy_header_keys)
KOV3D_TWO_TAGS(kov_copy_hff)
KOV3D_TWO_TAGS(kov_copy_gff)
KOV3D_TWO_TAGS(kov_copy_grid)

KOV3D_BOTH(int, kov_get_grid_window,
           (const char *tag, const int *nd, const int *ng, const int *nw, const int *fw,
            const int *jw, int *h, std::size_t tl),
           { return kov_get_grid_window(TextIn(tag, tl), nd, ng, nw, fw, jw, h); })
KOV3D_BOTH(int, kov_put_grid_window,
           (const char *tag, const int *nd, const int *ng, const int *nw, const int *fw,
            const int *jw, const int *h, std::size_t tl),
           { return kov_put_grid_window(TextIn(tag, tl), nd, ng, nw, fw, jw, h); })
KOV3D_BOTH(int, kov_reorder_data,
           (const char *in, const char *out, const int *n2h, const int *tsize, const int *order,
            std::size_t il, std::size_t ol),
           { return kov_reorder_data(TextIn(in, il), TextIn(out, ol), *n2h, *tsize, order); })
KOV3D_BOTH(int, kov_reorder_data_fast,
           (const char *in, const char *out, const int *n2h, const int *tsize, const int *order,
            const int *megabyte, std::size_t il, std::size_t ol),
           {
             return kov_reorder_data_fast(TextIn(in, il), TextIn(out, ol), *n2h, *tsize, order,
                                          *megabyte);
           })
KOV3D_BOTH(void, kov_3d_close, (void), { kov_3d_close(); })
