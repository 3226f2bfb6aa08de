// kov: typed access to parameters, histories and whole datasets.
//
// Every accessor fetches one named value (or one array) from one source,
// falls back to the caller's default when the name is absent, and ends the
// program with a fixed message when there is neither.  The command-line
// families record the value they settled on in the output history as a
// "From par: " (or "From either: ") entry.  Names and texts reach the
// library with their trailing blanks removed.  Nothing here returns an
// error: every failure is fatal (exit status 23).
#ifndef KOV_KOV_HPP
#define KOV_KOV_HPP

#include <array>
#include <complex>
#include <cstddef>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#pragma GCC visibility push(default)

namespace kov {

// A view of a one- to five-dimensional array: the address of the element
// whose indices are all 0, and an extent and a stride (in elements) per
// axis, the first index running fastest.  Without strides the storage is
// contiguous in that order.  A section of a larger array is a view with
// the larger array's strides.
template <class T, std::size_t Rank> class array_view {
  static_assert(Rank >= 1 && Rank <= 5, "arrays of rank 1 to 5");

public:
  using element_type = T;
  using value_type = std::remove_cv_t<T>;
  using index_type = std::ptrdiff_t;
  using extents_type = std::array<index_type, Rank>;

  static constexpr std::size_t rank() { return Rank; }

  constexpr array_view() = default;

  constexpr array_view(T *data, const extents_type &extents) : data_(data), extents_(extents) {
    index_type step = 1;
    for (std::size_t k = 0; k < Rank; ++k) {
      strides_[k] = step;
      step *= extents_[k] > 0 ? extents_[k] : 0;
    }
  }

  constexpr array_view(T *data, const extents_type &extents, const extents_type &strides)
      : data_(data), extents_(extents), strides_(strides) {}

  // A contiguous range (std::vector, std::span, std::array) as a rank-1 view.
  template <class R>
  requires(Rank == 1 && std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
           std::is_convertible_v<std::remove_reference_t<std::ranges::range_reference_t<R>> (*)[],
                                 T (*)[]>) constexpr array_view(R &&range)
      : array_view(std::ranges::data(range),
                   extents_type{static_cast<index_type>(std::ranges::size(range))}) {}

  // A view of modifiable elements as a view of constant ones.
  template <class U>
  requires(!std::is_same_v<U, T> &&
           std::is_same_v<const U, T>) constexpr array_view(const array_view<U, Rank> &other)
      : data_(other.data()), extents_(other.extents()), strides_(other.strides()) {}

  constexpr T *data() const { return data_; }
  constexpr const extents_type &extents() const { return extents_; }
  constexpr const extents_type &strides() const { return strides_; }
  constexpr index_type extent(std::size_t k) const { return extents_[k]; }
  constexpr index_type stride(std::size_t k) const { return strides_[k]; }

  // Number of elements (0 when an extent is not positive).
  constexpr index_type size() const {
    index_type n = 1;
    for (index_type e : extents_) n *= e > 0 ? e : 0;
    return n;
  }

  // True when the elements lie one after the other in storage order.
  constexpr bool is_contiguous() const {
    if (size() == 0) return true;
    index_type step = 1;
    for (std::size_t k = 0; k < Rank; ++k) {
      if (extents_[k] > 1 && strides_[k] != step) return false;
      step *= extents_[k];
    }
    return true;
  }

  // The element at the given indices, counted from 0.
  template <class... I>
  requires(sizeof...(I) == Rank && (std::is_convertible_v<I, index_type> && ...)) constexpr T &
  operator()(I... indices) const {
    const std::array<index_type, Rank> at{static_cast<index_type>(indices)...};
    index_type offset = 0;
    for (std::size_t k = 0; k < Rank; ++k) offset += at[k] * strides_[k];
    return data_[offset];
  }

private:
  T *data_ = nullptr;
  extents_type extents_{};
  extents_type strides_{};
};

// ---- Start and end ---------------------------------------------------------

// Capture the command line; must come before any accessor.  `source` names
// the program's documentation for the self-documentation routine.
void kov_init(std::optional<std::string_view> source = std::nullopt);
// Close the output history of `out`.
void kov_close();

// ---- Echo switches ---------------------------------------------------------

// Echo of fetched values into the output history on (the initial state).
void set_yes_putch();
// Echo off; also silences to_history_* calls without a file.
void set_no_putch();
// Echo into the history of the dataset `tag` instead of `out`, for the rest
// of the process.
void set_alternate_putch(std::string_view tag);

// ---- Scalar fetches --------------------------------------------------------
//
// `length`, when given, is the size of the caller's text variable: a longer
// value (found or default) is cut to it.

// From the command line and parameter files, echoed as "From par: <name>".
void from_param_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
void from_param_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
void from_param_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
void from_param_char(std::string_view name, std::string &value,
                     std::optional<std::string_view> def = std::nullopt,
                     std::optional<std::size_t> length = std::nullopt);

// The same as from_param_*.
void from_par_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
void from_par_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
void from_par_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
void from_par_char(std::string_view name, std::string &value,
                   std::optional<std::string_view> def = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt);

// From the command line, then the input history; echoed as "From either: ".
void from_either_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
void from_either_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
void from_either_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
void from_either_char(std::string_view name, std::string &value,
                      std::optional<std::string_view> def = std::nullopt,
                      std::optional<std::size_t> length = std::nullopt);

// From the history of `in`; no echo.
void from_history_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
void from_history_real(std::string_view name, float &value,
                       std::optional<float> def = std::nullopt);
void from_history_char(std::string_view name, std::string &value,
                       std::optional<std::string_view> def = std::nullopt,
                       std::optional<std::size_t> length = std::nullopt);

// From the command line, then the supplementary store of `in`; no echo.
void from_old_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
void from_old_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);

// From the history of the dataset `file`; no echo.
void from_aux_int(std::string_view file, std::string_view name, int &value,
                  std::optional<int> def = std::nullopt);
void from_aux_real(std::string_view file, std::string_view name, float &value,
                   std::optional<float> def = std::nullopt);
void from_aux_bool(std::string_view file, std::string_view name, bool &value,
                   std::optional<bool> def = std::nullopt);
void from_aux_char(std::string_view file, std::string_view name, std::string &value,
                   std::optional<std::string_view> def = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt);

// ---- Array fetches ---------------------------------------------------------
//
// The whole name is looked up as a list ("x=1,2,3", "x=3*0"); values beyond
// the array are not stored and elements beyond the values found keep their
// contents.  When the name is absent, each element i is fetched on its own
// under the name followed by i ("x1", "x2", ...) with element i of `def` as
// its default (elements beyond `def` have none).  The command-line members
// echo a found list as one "From par: <name>" line.

void from_param_int_array(std::string_view name, std::span<int> value,
                          std::optional<std::span<const int>> def = std::nullopt);
void from_param_real_array(std::string_view name, std::span<float> value,
                           std::optional<std::span<const float>> def = std::nullopt);
void from_par_int_array(std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def = std::nullopt);
void from_par_real_array(std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def = std::nullopt);
void from_history_int_array(std::string_view name, std::span<int> value,
                            std::optional<std::span<const int>> def = std::nullopt);
void from_history_real_array(std::string_view name, std::span<float> value,
                             std::optional<std::span<const float>> def = std::nullopt);
void from_aux_int_array(std::string_view file, std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def = std::nullopt);
void from_aux_real_array(std::string_view file, std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def = std::nullopt);

// ---- Coupled pair ----------------------------------------------------------
//
// One value from the input history (no default), the other from the command
// line (from_old_*) and recorded in the output history: with `flag` true
// the history gives value1, else value2.
void from_conj_int(bool flag, std::string_view name, int &value1, std::optional<int> def1,
                   int &value2, std::optional<int> def2 = std::nullopt);
void from_conj_real(bool flag, std::string_view name, float &value1, std::optional<float> def1,
                    float &value2, std::optional<float> def2 = std::nullopt);

// ---- History writers -------------------------------------------------------
//
// With `file` the entry goes to that dataset's history whatever the echo
// switches say; without it to `out`, unless the echo is off.

void to_history_int(std::string_view name, int value,
                    std::optional<std::string_view> file = std::nullopt);
void to_history_real(std::string_view name, float value,
                     std::optional<std::string_view> file = std::nullopt);
void to_history_bool(std::string_view name, bool value,
                     std::optional<std::string_view> file = std::nullopt);
void to_history_char(std::string_view name, std::string_view value,
                     std::optional<std::string_view> file = std::nullopt);

// Up to 20 values as one line «        name=v1,v2,...» (a value wider than 9
// characters shows as nine asterisks); more as one entry per element under
// name1, name2, ...  Always written, to `tag` or `out`.
void to_history_int_array(std::string_view name, std::span<const int> value,
                          std::optional<std::string_view> tag = std::nullopt);
// One line «name=0.100000E+01,...» with every blank removed; always
// written, to `tag` or `out`.
void to_history_real_array(std::string_view name, std::span<const float> value,
                           std::optional<std::string_view> tag = std::nullopt);

// ---- Helpers ---------------------------------------------------------------

// True when a non-empty value for `name` is given on the command line or in
// a parameter file.  The file system is not consulted.
bool exist_file(std::string_view name);
// Move every blank to the end of `text`, the other characters keeping their
// order; the length is unchanged.
void strip_blanks(std::string &text);

// ---- Dimensions ------------------------------------------------------------
//
// `esize` requests: 4, 8, or 48 (accept 4 or 8 and count complex samples
// as pairs of reals, doubling the first axis).  Optional axis lengths are
// passed by address.

// Number of data axes of the dataset `file` (default `in`).
int kov_dimension(std::optional<std::string_view> file = std::nullopt);
// Number of grid axes of the dataset `file` (default `in`).
int number_grid_axes(std::optional<std::string_view> file = std::nullopt);
// The 3-character axis parameter name, blank padded: «n1 », «n12», «o3 ».
std::string axisname(int axis, std::optional<std::string_view> prefix = std::nullopt);

// Axis lengths of `in`; with `compress` the axes are folded into n1 (and
// n2 when passed) so that n1 stays below 2,000,000 samples.
void from_history_dim(int &n1, int *n2 = nullptr, int *n3 = nullptr, int *n4 = nullptr,
                      std::optional<int> esize = std::nullopt,
                      std::optional<bool> compress = std::nullopt);
void from_history_dim_array(std::span<int> n, std::optional<int> esize = std::nullopt);
// Axis lengths from the command line, then `in` (echoed); all passed ones
// required.
void from_either_dim(int &n1, int *n2 = nullptr, int *n3 = nullptr,
                     std::optional<int> esize = std::nullopt);
// Axis lengths of the dataset `file`.
void from_aux_dim(std::string_view file, int &n1, int *n2 = nullptr, int *n3 = nullptr,
                  std::optional<int> esize = std::nullopt);
void from_aux_dim_array(std::string_view file, std::span<int> n,
                        std::optional<int> esize = std::nullopt);

// ---- Array transfer --------------------------------------------------------
//
// Readers move (product of dims) * esize bytes from `file` (default `in`)
// into the array's storage from its first element in storage order, in one
// read, and return the number of bytes read.  Writers write to `file`
// (default `out`): rank 1 in one write, higher ranks one write of the first
// dim1 elements per column.  A dim not given is the array's extent; esize
// defaults to 4 (8 for complex).  A transfer larger than the array is
// fatal.

int kov_read_1d(array_view<float, 1> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim = std::nullopt, std::optional<int> esize = std::nullopt);
int kov_read_2d(array_view<float, 2> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> esize = std::nullopt);
int kov_read_3d(array_view<float, 3> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> esize = std::nullopt);
int kov_read_4d(array_view<float, 4> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                std::optional<int> esize = std::nullopt);
int kov_read_5d(array_view<float, 5> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);

int kov_read_complex_1d(array_view<std::complex<float>, 1> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim = std::nullopt,
                        std::optional<int> esize = std::nullopt);
int kov_read_complex_2d(array_view<std::complex<float>, 2> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
int kov_read_complex_3d(array_view<std::complex<float>, 3> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> dim3 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
int kov_read_complex_4d(array_view<std::complex<float>, 4> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> dim3 = std::nullopt,
                        std::optional<int> dim4 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
int kov_read_complex_5d(
    array_view<std::complex<float>, 5> array, std::optional<std::string_view> file = std::nullopt,
    std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
    std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
    std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);

void kov_write_1d(array_view<const float, 1> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim = std::nullopt, std::optional<int> esize = std::nullopt);
void kov_write_2d(array_view<const float, 2> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> esize = std::nullopt);
void kov_write_3d(array_view<const float, 3> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> esize = std::nullopt);
void kov_write_4d(array_view<const float, 4> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                  std::optional<int> esize = std::nullopt);
void kov_write_5d(array_view<const float, 5> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                  std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);

void kov_write_complex_1d(array_view<const std::complex<float>, 1> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim = std::nullopt,
                          std::optional<int> esize = std::nullopt);
void kov_write_complex_2d(array_view<const std::complex<float>, 2> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
void kov_write_complex_3d(array_view<const std::complex<float>, 3> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
void kov_write_complex_4d(array_view<const std::complex<float>, 4> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> dim4 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
void kov_write_complex_5d(array_view<const std::complex<float>, 5> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> dim4 = std::nullopt,
                          std::optional<int> dim5 = std::nullopt,
                          std::optional<int> esize = std::nullopt);

} // namespace kov

#pragma GCC visibility pop

#endif
