// SPDX-License-Identifier: Apache-2.0
// Dataset dimensions: axis counts, axis parameter names, and axis lengths
// with the element-size check.
#include <kov/kov.hpp>
#include <kov/kov3d.h>
#include <kov/kovlib.h>

#include "typed_internal.h"

#include <climits>
#include <string>
#include <string_view>

namespace kov {

namespace {

using typed::c_text;
using typed::fatal;

// Axes are folded into the first one while it stays below this many samples.
constexpr long long kCompressThreshold = 2000000;

int checked_product(long long a, long long b, const char *routine) {
  const long long p = a * b;
  if (p > INT_MAX || p < INT_MIN)
    fatal(std::string(routine) + ": the axis length does not fit a 32-bit integer");
  return static_cast<int>(p);
}

// The element-size check of the history and array fetches: without a
// request the header must say 4; 48 accepts 4, and 8 with the first axis
// doubled; any other request must match.
void check_esize(int esz, std::optional<int> request, int *first_axis, const char *routine) {
  if (!request) {
    if (esz != 4) fatal("esize /= 4");
  } else if (*request == 48) {
    if (esz == 8) {
      if (first_axis != nullptr) *first_axis = checked_product(*first_axis, 2, routine);
    } else if (esz != 4) {
      fatal("esize /= 4 or 8");
    }
  } else if (esz != *request) {
    fatal("wrong esize");
  }
}

// The simpler check of from_aux_dim and from_either_dim.
void check_esize_exact(int esz, std::optional<int> request) {
  if (request) {
    if (esz != *request) fatal("wrong esize");
  } else if (esz != 4) {
    fatal("esize /= 4");
  }
}

// The element size a history without an esize line has, as every reader of
// the family takes it: 1 for byte formats, 4 otherwise.
int default_esize(const std::string &tag) {
  char format[64] = {};
  if (auxpar_n("data_format", "s", format, sizeof format, tag.c_str()) == 1 &&
      std::string_view(format).ends_with("_byte"))
    return 1;
  return 4;
}

} // namespace

int kov_dimension(std::optional<std::string_view> file) {
  const std::string tag = file ? c_text(*file) : std::string("in");
  int count = 0;
  if (kov_get_number_data_axes(tag.c_str(), &count) != 0)
    fatal("Trouble obtaining number of data axes");
  return count;
}

int number_grid_axes(std::optional<std::string_view> file) {
  const std::string tag = file ? c_text(*file, 80) : std::string("in");
  int count = 0;
  const int status = kov_get_number_grid_axes(tag.c_str(), &count);
  if (status == 1) fatal("Error: No KOV history file!");
  if (status == 2) fatal("Error: KOV77, NEED KOV90!");
  return count;
}

std::string axisname(int axis, std::optional<std::string_view> prefix) {
  const std::string var = prefix ? c_text(*prefix) : std::string("n");
  std::string name = var + std::to_string(axis);
  if (axis < 0 || axis > 99 || name.size() > 3)
    fatal("axisname: no name of 3 characters for axis " + std::to_string(axis) + " with prefix \"" +
          var + "\"");
  name.resize(3, ' ');
  return name;
}

void from_history_dim(int &n1, int *n2, int *n3, int *n4, std::optional<int> esize,
                      std::optional<bool> compress) {
  from_history_int("n1", n1);
  if (n2 != nullptr) from_history_int("n2", *n2, 1);
  if (n3 != nullptr) from_history_int("n3", *n3, 1);
  if (n4 != nullptr) from_history_int("n4", *n4, 1);
  int esz = 0;
  from_history_int("esize", esz, default_esize("in"));
  check_esize(esz, esize, &n1, "from_history_dim");

  if (!compress || !*compress) return;
  if (n3 != nullptr) *n3 = 1;
  if (n2 != nullptr) *n2 = 1;
  const int count = kov_dimension("in");
  bool merging = true; // every axis so far went into n1
  for (int i = 2; i <= count; ++i) {
    int ni = 0;
    from_history_int(axisname(i), ni);
    if (n2 == nullptr) {
      n1 = checked_product(n1, ni, "from_history_dim");
    } else if (merging && static_cast<long long>(n1) * ni < kCompressThreshold) {
      n1 *= ni;
    } else {
      merging = false;
      *n2 = checked_product(*n2, ni, "from_history_dim");
    }
  }
}

void from_history_dim_array(std::span<int> n, std::optional<int> esize) {
  for (std::size_t i = 0; i < n.size(); ++i)
    from_history_int(axisname(static_cast<int>(i + 1)), n[i], 1);
  int esz = 0;
  from_history_int("esize", esz, default_esize("in"));
  check_esize(esz, esize, n.empty() ? nullptr : &n[0], "from_history_dim_array");
}

void from_either_dim(int &n1, int *n2, int *n3, std::optional<int> esize) {
  from_either_int("n1", n1);
  if (n2 != nullptr) from_either_int("n2", *n2);
  if (n3 != nullptr) from_either_int("n3", *n3);
  int esz = 0;
  from_either_int("esize", esz, default_esize("in"));
  check_esize_exact(esz, esize);
}

void from_aux_dim(std::string_view file, int &n1, int *n2, int *n3, std::optional<int> esize) {
  from_aux_int(file, "n1", n1);
  if (n2 != nullptr) from_aux_int(file, "n2", *n2, 1);
  if (n3 != nullptr) from_aux_int(file, "n3", *n3, 1);
  int esz = 0;
  from_aux_int(file, "esize", esz, default_esize(c_text(file)));
  check_esize_exact(esz, esize);
}

void from_aux_dim_array(std::string_view file, std::span<int> n, std::optional<int> esize) {
  for (std::size_t i = 0; i < n.size(); ++i)
    from_aux_int(file, axisname(static_cast<int>(i + 1)), n[i], 1);
  int esz = 0;
  from_aux_int(file, "esize", esz, default_esize(c_text(file)));
  check_esize(esz, esize, n.empty() ? nullptr : &n[0], "from_aux_dim_array");
}

} // namespace kov
