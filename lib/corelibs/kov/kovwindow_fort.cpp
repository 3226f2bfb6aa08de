// SPDX-License-Identifier: Apache-2.0
// Entry points for callers that pass blank-padded texts with hidden lengths:
// windowed transfer, slices and snapshots.  The conversions are those of
// kovfort.h; a data buffer passed as a character argument brings a hidden
// length of its own after the tag's, which is ignored.
#include "kovfort.h"
#include "kovlib_internal.h"

using kov::fort::TextIn;
using kov::fort::TextInOut;

extern "C" int srite_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                             const int *f_wind, const int *j_wind, const int *esize,
                             const void *values, std::size_t tag_len) {
  return srite_window(TextIn(tag, tag_len), ndim, n_cube, n_wind, f_wind, j_wind, *esize, values);
}

extern "C" int srite_window__(const char *tag, const int *ndim, const int *n_cube,
                              const int *n_wind, const int *f_wind, const int *j_wind,
                              const int *esize, const void *values, std::size_t tag_len) {
  return srite_window_(tag, ndim, n_cube, n_wind, f_wind, j_wind, esize, values, tag_len);
}

extern "C" int sreed_window_(const char *tag, const int *ndim, const int *n_cube, const int *n_wind,
                             const int *f_wind, const int *j_wind, const int *esize, void *values,
                             std::size_t tag_len) {
  return sreed_window(TextIn(tag, tag_len), ndim, n_cube, n_wind, f_wind, j_wind, *esize, values);
}

extern "C" int sreed_window__(const char *tag, const int *ndim, const int *n_cube,
                              const int *n_wind, const int *f_wind, const int *j_wind,
                              const int *esize, void *values, std::size_t tag_len) {
  return sreed_window_(tag, ndim, n_cube, n_wind, f_wind, j_wind, esize, values, tag_len);
}

// The name is an in/out text: the routine works on a copy without trailing
// blanks, which is copied back into the field afterwards.
extern "C" int slice_(char *name, const int *esize, const int *n1, const int *n2, const void *data,
                      std::size_t name_len) {
  TextInOut text(name, name_len);
  return slice(text.data(), *esize, *n1, *n2, data);
}

extern "C" int snap_(const char *name, const int *n1, const int *n2, const void *data,
                     std::size_t name_len) {
  return snap(TextIn(name, name_len), *n1, *n2, data);
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(slice_)
KOV_PUBLIC_NAME(snap_)
KOV_PUBLIC_NAME(sreed_window_)
KOV_PUBLIC_NAME(sreed_window__)
KOV_PUBLIC_NAME(srite_window_)
KOV_PUBLIC_NAME(srite_window__)
