// Axis counts of three-dimensional datasets.
#include <kov/kov3d.h>

#include "kovlib_internal.h"
#include "streaminf.h"

#include <optional>
#include <string>

namespace {

// Integers of a parameter of a record's history, at most `room` of them
// stored; the number stored, 0 when absent.  The record's store is built
// and checked as every header lookup does.
int history_ints(streaminf *r, const std::string &name, int *dest, long room) {
  (void)kov::detail::kovstrpar_string(r, name.c_str());
  const int found =
      kov::detail::decode(r->hetch_queue, r->hqlen, name, "i", static_cast<void *>(dest), room);
  if (found != 0) return found;
  return kov::detail::decode(r->tetch_queue, r->tqlen, name, "i", static_cast<void *>(dest), room);
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

// The name of the grid format file of an input dataset, when it has one:
// "gff_in" on the command line, else "gff" of its history; "-1" says none.
std::optional<std::string> grid_format_name(streaminf *r) {
  if (r->gridformatfile) return r->gridformatfile;
  std::optional<std::string> name;
  if (r->entrytype == STREAMIN) name = kov::detail::getch_string("gff_in");
  if (!name) name = kov::detail::kovstrpar_string(r, "gff");
  return name;
}

} // namespace

extern "C" int kov_get_number_data_axes(const char *tag, int *n_axis) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  int n1[2] = {0, 0};
  if (history_ints(r, "n1", n1, 2) != 1)
    koverr("invalid kovlib3d dataset,%s, n1 must exist and by a single integer \n", tag);
  *n_axis = highest_axis(r, 2, "");
  return 0;
}

extern "C" int kov_get_number_grid_axes(const char *tag, int *n_axis) {
  streaminf *r = tag_info(tag, TAG_INQUIRE);
  if (r == nullptr) return 1;
  if (r->entrytype != STREAMIN && r->entrytype != STREAMINOUT) return 2;
  const std::optional<std::string> gff = grid_format_name(r);
  if (!gff || gff->starts_with("-1")) return 2;
  *n_axis = highest_axis(tag_info(gff->c_str(), TAG_IN), 2, "_grid");
  return 0;
}
