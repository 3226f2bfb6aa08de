// SPDX-License-Identifier: Apache-2.0
// Whole-array transfer between a program and a dataset: one read per
// array, one write per column.  A strided array goes through a contiguous
// temporary; no transfer reaches beyond the array's storage.
#include <kov/kov.hpp>
#include <kov/kovlib.h>

#include "typed_internal.h"

#include <algorithm>
#include <climits>
#include <complex>
#include <string>
#include <vector>

namespace kov {

namespace {

using typed::c_text;
using typed::fatal;

template <class T> constexpr int default_esize() {
  if constexpr (std::is_same_v<std::remove_const_t<T>, float>)
    return 4;
  else
    return 8;
}

template <std::size_t R> using dims_t = std::array<std::optional<int>, R>;

// Bytes moved for the given sizes: the product of the dims (the extents
// where not given, 0 for negative ones) times the element size.  A count
// beyond the array's storage is fatal.
template <class T, std::size_t R>
int byte_count(const char *routine, const array_view<T, R> &a, const dims_t<R> &dims, int esize) {
  using index_type = typename array_view<T, R>::index_type;
  const long long storage = static_cast<long long>(a.size()) * static_cast<long long>(sizeof(T));
  if (esize < 0) fatal(std::string(routine) + ": negative element size " + std::to_string(esize));
  long long bytes = esize;
  bool overflow = false;
  for (std::size_t k = 0; k < R; ++k) {
    const index_type d = dims[k] ? *dims[k] : a.extent(k);
    overflow = __builtin_mul_overflow(bytes, std::max<long long>(d, 0), &bytes) || overflow;
  }
  if (overflow || bytes > storage)
    fatal(std::string(routine) + ": " + (overflow ? std::string("more") : std::to_string(bytes)) +
          " bytes asked for, the array holds " + std::to_string(storage));
  if (bytes > INT_MAX)
    fatal(std::string(routine) + ": " + std::to_string(bytes) + " bytes are too many for one call");
  return static_cast<int>(bytes);
}

// Visit the elements of a view in storage order, the first index fastest.
template <class T, std::size_t R, class F> void for_each_element(const array_view<T, R> &a, F f) {
  if (a.size() == 0) return;
  std::array<std::ptrdiff_t, R> at{};
  for (;;) {
    std::ptrdiff_t offset = 0;
    for (std::size_t k = 0; k < R; ++k) offset += at[k] * a.stride(k);
    f(a.data()[offset]);
    std::size_t k = 0;
    while (k < R && ++at[k] == a.extent(k)) at[k++] = 0;
    if (k == R) return;
  }
}

template <class T, std::size_t R>
int read_array(const char *routine, array_view<T, R> a, std::optional<std::string_view> file,
               const dims_t<R> &dims, std::optional<int> esize) {
  const std::string tag = file ? c_text(*file) : std::string("in");
  const int nbytes = byte_count(routine, a, dims, esize.value_or(default_esize<T>()));
  if (a.is_contiguous()) return sreed(tag.c_str(), a.data(), nbytes);
  // Elements the read does not reach keep their values.
  std::vector<T> temp;
  temp.reserve(static_cast<std::size_t>(a.size()));
  for_each_element(a, [&](T &x) { temp.push_back(x); });
  const int got = sreed(tag.c_str(), temp.data(), nbytes);
  auto next = temp.begin();
  for_each_element(a, [&](T &x) { x = *next++; });
  return got;
}

template <class T>
void write_column(const char *routine, array_view<const T, 1> a, const std::string &tag,
                  std::optional<int> dim, std::optional<int> esize) {
  const int nbytes = byte_count(routine, a, {dim}, esize.value_or(default_esize<T>()));
  if (a.is_contiguous()) {
    srite(tag.c_str(), a.data(), nbytes);
    return;
  }
  const std::size_t n = (static_cast<std::size_t>(nbytes) + sizeof(T) - 1) / sizeof(T);
  std::vector<T> temp(n);
  for (std::size_t i = 0; i < n; ++i) temp[i] = a(static_cast<std::ptrdiff_t>(i));
  srite(tag.c_str(), temp.data(), nbytes);
}

// One write of the first dim1 elements of each column, the second index
// running fastest; columns beyond dim2 ... dimR are not written.
template <class T, std::size_t R>
void write_columns(const char *routine, array_view<const T, R> a,
                   std::optional<std::string_view> file, const dims_t<R> &dims,
                   std::optional<int> esize) {
  const std::string tag = file ? c_text(*file, 80) : std::string("out");
  const int e = esize.value_or(default_esize<T>());
  std::array<std::ptrdiff_t, R> n{};
  for (std::size_t k = 0; k < R; ++k) {
    n[k] = std::max<std::ptrdiff_t>(dims[k] ? *dims[k] : a.extent(k), 0);
    if (k > 0 && n[k] > a.extent(k))
      fatal(std::string(routine) + ": dim" + std::to_string(k + 1) + "=" + std::to_string(n[k]) +
            " is beyond the array's extent " + std::to_string(a.extent(k)));
  }
  for (std::size_t k = 1; k < R; ++k)
    if (n[k] == 0) return;
  std::array<std::ptrdiff_t, R> at{};
  for (;;) {
    std::ptrdiff_t offset = 0;
    for (std::size_t k = 1; k < R; ++k) offset += at[k] * a.stride(k);
    const array_view<const T, 1> column(a.data() + offset, {a.extent(0)}, {a.stride(0)});
    write_column<T>(routine, column, tag, dims[0], e);
    std::size_t k = 1;
    while (k < R && ++at[k] == n[k]) at[k++] = 0;
    if (k == R) return;
  }
}

using cfloat = std::complex<float>;

} // namespace

int kov_read_1d(array_view<float, 1> array, std::optional<std::string_view> file,
                std::optional<int> dim, std::optional<int> esize) {
  return read_array<float, 1>("kov_read_1d", array, file, {dim}, esize);
}
int kov_read_2d(array_view<float, 2> array, std::optional<std::string_view> file,
                std::optional<int> dim1, std::optional<int> dim2, std::optional<int> esize) {
  return read_array<float, 2>("kov_read_2d", array, file, {dim1, dim2}, esize);
}
int kov_read_3d(array_view<float, 3> array, std::optional<std::string_view> file,
                std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                std::optional<int> esize) {
  return read_array<float, 3>("kov_read_3d", array, file, {dim1, dim2, dim3}, esize);
}
int kov_read_4d(array_view<float, 4> array, std::optional<std::string_view> file,
                std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                std::optional<int> dim4, std::optional<int> esize) {
  return read_array<float, 4>("kov_read_4d", array, file, {dim1, dim2, dim3, dim4}, esize);
}
int kov_read_5d(array_view<float, 5> array, std::optional<std::string_view> file,
                std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                std::optional<int> dim4, std::optional<int> dim5, std::optional<int> esize) {
  return read_array<float, 5>("kov_read_5d", array, file, {dim1, dim2, dim3, dim4, dim5}, esize);
}

int kov_read_complex_1d(array_view<cfloat, 1> array, std::optional<std::string_view> file,
                        std::optional<int> dim, std::optional<int> esize) {
  return read_array<cfloat, 1>("kov_read_complex_1d", array, file, {dim}, esize);
}
int kov_read_complex_2d(array_view<cfloat, 2> array, std::optional<std::string_view> file,
                        std::optional<int> dim1, std::optional<int> dim2,
                        std::optional<int> esize) {
  return read_array<cfloat, 2>("kov_read_complex_2d", array, file, {dim1, dim2}, esize);
}
int kov_read_complex_3d(array_view<cfloat, 3> array, std::optional<std::string_view> file,
                        std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                        std::optional<int> esize) {
  return read_array<cfloat, 3>("kov_read_complex_3d", array, file, {dim1, dim2, dim3}, esize);
}
int kov_read_complex_4d(array_view<cfloat, 4> array, std::optional<std::string_view> file,
                        std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                        std::optional<int> dim4, std::optional<int> esize) {
  return read_array<cfloat, 4>("kov_read_complex_4d", array, file, {dim1, dim2, dim3, dim4}, esize);
}
int kov_read_complex_5d(array_view<cfloat, 5> array, std::optional<std::string_view> file,
                        std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                        std::optional<int> dim4, std::optional<int> dim5,
                        std::optional<int> esize) {
  return read_array<cfloat, 5>("kov_read_complex_5d", array, file, {dim1, dim2, dim3, dim4, dim5},
                               esize);
}

void kov_write_1d(array_view<const float, 1> array, std::optional<std::string_view> file,
                  std::optional<int> dim, std::optional<int> esize) {
  write_column<float>("kov_write_1d", array, file ? c_text(*file) : std::string("out"), dim, esize);
}
void kov_write_2d(array_view<const float, 2> array, std::optional<std::string_view> file,
                  std::optional<int> dim1, std::optional<int> dim2, std::optional<int> esize) {
  write_columns<float, 2>("kov_write_2d", array, file, {dim1, dim2}, esize);
}
void kov_write_3d(array_view<const float, 3> array, std::optional<std::string_view> file,
                  std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                  std::optional<int> esize) {
  write_columns<float, 3>("kov_write_3d", array, file, {dim1, dim2, dim3}, esize);
}
void kov_write_4d(array_view<const float, 4> array, std::optional<std::string_view> file,
                  std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                  std::optional<int> dim4, std::optional<int> esize) {
  write_columns<float, 4>("kov_write_4d", array, file, {dim1, dim2, dim3, dim4}, esize);
}
void kov_write_5d(array_view<const float, 5> array, std::optional<std::string_view> file,
                  std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                  std::optional<int> dim4, std::optional<int> dim5, std::optional<int> esize) {
  write_columns<float, 5>("kov_write_5d", array, file, {dim1, dim2, dim3, dim4, dim5}, esize);
}

void kov_write_complex_1d(array_view<const cfloat, 1> array, std::optional<std::string_view> file,
                          std::optional<int> dim, std::optional<int> esize) {
  write_column<cfloat>("kov_write_complex_1d", array, file ? c_text(*file) : std::string("out"),
                       dim, esize);
}
void kov_write_complex_2d(array_view<const cfloat, 2> array, std::optional<std::string_view> file,
                          std::optional<int> dim1, std::optional<int> dim2,
                          std::optional<int> esize) {
  write_columns<cfloat, 2>("kov_write_complex_2d", array, file, {dim1, dim2}, esize);
}
void kov_write_complex_3d(array_view<const cfloat, 3> array, std::optional<std::string_view> file,
                          std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                          std::optional<int> esize) {
  write_columns<cfloat, 3>("kov_write_complex_3d", array, file, {dim1, dim2, dim3}, esize);
}
void kov_write_complex_4d(array_view<const cfloat, 4> array, std::optional<std::string_view> file,
                          std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                          std::optional<int> dim4, std::optional<int> esize) {
  write_columns<cfloat, 4>("kov_write_complex_4d", array, file, {dim1, dim2, dim3, dim4}, esize);
}
void kov_write_complex_5d(array_view<const cfloat, 5> array, std::optional<std::string_view> file,
                          std::optional<int> dim1, std::optional<int> dim2, std::optional<int> dim3,
                          std::optional<int> dim4, std::optional<int> dim5,
                          std::optional<int> esize) {
  write_columns<cfloat, 5>("kov_write_complex_5d", array, file, {dim1, dim2, dim3, dim4, dim5},
                           esize);
}

} // namespace kov
