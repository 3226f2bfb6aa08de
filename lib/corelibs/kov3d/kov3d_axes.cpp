// SPDX-License-Identifier: Apache-2.0
// Axes of three-dimensional datasets: the data axes in the history, the
// header axes in the hff and the grid axes in the gff.
#include <kov/kov3d.h>

#include "kov3d_internal.h"
#include "kovlib_internal.h"
#include "streaminf.h"

#include <string>
#include <vector>

namespace {

// Integers of a parameter of a record's history, at most `room` of them
// stored; the number stored, 0 when absent.
int history_ints(streaminf *r, const std::string &name, int *dest, long room) {
  return kov3d::lookup(r, name, "i", static_cast<void *>(dest), room);
}

// The highest axis from `first` on whose length n<i><suffix> differs from 1
// (at least 1), scanning up to the first length absent from the history.
int highest_axis(streaminf *r, int first, const char *suffix) {
  int count = 1;
  for (int i = first;; ++i) {
    int n = 1;
    if (history_ints(r, "n" + std::to_string(i) + suffix, &n, 1) == 0) break;
    if (n != 1) count = i;
  }
  return count;
}

// Where the axes of each kind live.
enum class Part { Data, Header, Grid };

// The record holding the axes of `part` of a tag; a result code.
int axis_record(const char *tag, Part part, streaminf *&record) {
  if (tag_info(tag, TAG_INQUIRE) == nullptr) return 1;
  if (part == Part::Data) {
    record = tag_info(tag, TAG_INQUIRE);
    return 0;
  }
  std::string name;
  const int code = part == Part::Header ? kov3d::find_hff(tag, name) : kov3d::find_gff(tag, name);
  if (code != 0) return code;
  record = tag_info(name.c_str(), TAG_IN);
  return 0;
}

int put_axis(const char *tag, Part part, int i, int n, float o, float d, const char *label) {
  std::string target = tag;
  if (part != Part::Data) {
    if (tag_info(tag, TAG_INQUIRE) == nullptr) return 1;
    const int code =
        part == Part::Header ? kov3d::find_hff(tag, target) : kov3d::find_gff(tag, target);
    if (code != 0) return code;
  }
  // The label as a history text, so that it reads back as itself.
  const std::string key = "label" + std::to_string(i) + (part == Part::Grid ? "_grid" : "");
  const std::string quoted = kov::detail::history_text(key.c_str(), label != nullptr ? label : "");
  const char *text = quoted.c_str();
  const double od = o, dd = d;
  // auxputhead ends the line itself.
  int written = 0;
  switch (part) {
  case Part::Data:
    written = auxputhead(target.c_str(), "\t \tn%d=%d o%d=%g d%d=%g label%d=%s ", i, n, i, od, i,
                         dd, i, text);
    break;
  case Part::Header:
    written = auxputhead(target.c_str(), "\t \tn%d=%d o%d=%g d%d=%g label%d=%s", i, n, i, od, i, dd,
                         i, text);
    break;
  case Part::Grid:
    written = auxputhead(target.c_str(), "\t \tn%d_grid=%d o%d_grid=%g d%d_grid=%g label%d_grid=%s",
                         i, n, i, od, i, dd, i, text);
    break;
  }
  if (written != 0) koverr("trouble writing data axis for tag %s \n", tag);
  return 0;
}

int get_axis(const char *tag, Part part, int i, int *n, float *o, float *d, char *label) {
  streaminf *r = nullptr;
  if (const int code = axis_record(tag, part, r); code != 0) return code;
  const char *suffix = part == Part::Grid ? "_grid" : "";
  *n = 1;
  *o = 0.0f;
  *d = 1.0f;
  int found = kov3d::lookup(r, "n" + std::to_string(i) + suffix, "d", n, 1);
  if (found < 0) return found;
  found = kov3d::lookup(r, "o" + std::to_string(i) + suffix, "f", o, 1);
  if (found < 0) return found;
  found = kov3d::lookup(r, "d" + std::to_string(i) + suffix, "f", d, 1);
  if (found < 0) return found;
  std::vector<char> text(KOV3D_LABEL_ROOM, '\0');
  found =
      kov3d::lookup(r, "label" + std::to_string(i) + suffix, "s", text.data(), KOV3D_LABEL_ROOM);
  if (found < 0) return found;
  if (label != nullptr) kov3d::copy_out(found > 0 ? text.data() : "", label, KOV3D_LABEL_ROOM);
  return 0;
}

} // namespace

extern "C" int kov_put_data_axis_par(const char *tag, const int *i_axis, const int *n,
                                     const float *o, const float *d, const char *label) {
  // Like every history write, the first one creates the output's record.
  return put_axis(tag, Part::Data, *i_axis, *n, *o, *d, label);
}

extern "C" int kov_get_data_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                                     char *label) {
  return get_axis(tag, Part::Data, *i_axis, n, o, d, label);
}

extern "C" int kov_put_header_axis_par(const char *tag, const int *i_axis, const int *n,
                                       const float *o, const float *d, const char *label) {
  if (*i_axis == 1)
    koverr("kov_put_header_axis_par i_axis == 1 is not legal --- Use kov_put_number_keys");
  return put_axis(tag, Part::Header, *i_axis, *n, *o, *d, label);
}

extern "C" int kov_get_header_axis_par(const char *tag, const int *i_axis, int *n, float *o,
                                       float *d, char *label) {
  return get_axis(tag, Part::Header, *i_axis, n, o, d, label);
}

extern "C" int kov_put_grid_axis_par(const char *tag, const int *i_axis, const int *n,
                                     const float *o, const float *d, const char *label) {
  if (*i_axis == 1) koverr("kov_put_grid_axis_par i_axis == 1 is not legal");
  return put_axis(tag, Part::Grid, *i_axis, *n, *o, *d, label);
}

extern "C" int kov_get_grid_axis_par(const char *tag, const int *i_axis, int *n, float *o, float *d,
                                     char *label) {
  return get_axis(tag, Part::Grid, *i_axis, n, o, d, label);
}

extern "C" int kov_get_number_data_axes(const char *tag, int *n_axis) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  int n1[2] = {0, 0};
  if (history_ints(r, "n1", n1, 2) != 1)
    // Message kept as it always read ("and by"): scripts match it as it stands.
    koverr("invalid kovlib3d dataset,%s, n1 must exist and by a single integer \n", tag);
  *n_axis = highest_axis(r, 2, "");
  return 0;
}

extern "C" int kov_get_number_header_axes(const char *tag, int *n_axis) {
  streaminf *r = nullptr;
  if (const int code = axis_record(tag, Part::Header, r); code != 0) return code;
  *n_axis = highest_axis(r, 2, "");
  return 0;
}

extern "C" int kov_get_number_grid_axes(const char *tag, int *n_axis) {
  streaminf *r = nullptr;
  if (const int code = axis_record(tag, Part::Grid, r); code != 0) return code;
  *n_axis = highest_axis(r, 2, "_grid");
  return 0;
}
