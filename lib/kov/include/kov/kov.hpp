// SPDX-License-Identifier: Apache-2.0
/**
 * \file kov.hpp
 * kov: typed access to parameters, histories and whole datasets.
 *
 * Every accessor fetches one named value (or one array) from one source,
 * falls back to the caller's default when the name is absent, and ends the
 * program with a fixed message when there is neither.  The command-line
 * families record the value they settled on in the output history as a
 * "From par: " (or "From either: ") entry.
 *
 * Conventions of every routine below (exceptions are marked where they
 * occur):
 * - kov_init() comes first; every other routine relies on the captured
 *   command line.
 * - Inputs come before outputs; results are written into the caller's
 *   variables (references, spans, array views) or returned.
 * - Nothing here returns an error: every failure, a missing value without
 *   a default included, prints the program name and the message on
 *   standard error and standard output and ends the process with status
 *   23.  The messages are those of the core library (kovlib.h) for
 *   failures beneath this layer.
 * - Names, tags and texts are passed as `std::string_view`; they reach the
 *   core library up to their first NUL, with trailing blanks removed.
 *   Datasets are named by their history tag: "in" is the input, "out" the
 *   output, any other word an auxiliary dataset.
 * - State is per process and kept by the core library: the registry of
 *   datasets, their histories, and the echo switches of this layer.
 *   Nothing here is safe to call from two threads.
 */
#ifndef KOV_KOV_HPP
#define KOV_KOV_HPP

#if defined(__cplusplus) && __cplusplus < 202002L
#error "<kov/kov.hpp> needs C++20 (for example -std=c++20)"
#else

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

/// The typed access layer.
namespace kov {

/** \defgroup kov_view Array views
 * \details The arrays that the transfer routines read and write.
 * @{ */

/** A view of a one- to five-dimensional array: the address of the element
 * whose indices are all 0, and an extent and a stride (in elements) per
 * axis, the first index running fastest.  Without strides the storage is
 * contiguous in that order.  A section of a larger array is a view with
 * the larger array's strides.  The view does not own the elements.
 * \tparam T element type (const for views that are only read)
 * \tparam Rank number of axes, 1 to 5 */
template <class T, std::size_t Rank> class array_view {
  static_assert(Rank >= 1 && Rank <= 5, "arrays of rank 1 to 5");

public:
  using element_type = T;                            ///< Element type as viewed.
  using value_type = std::remove_cv_t<T>;            ///< Element type without const.
  using index_type = std::ptrdiff_t;                 ///< Type of indices, extents and strides.
  using extents_type = std::array<index_type, Rank>; ///< One extent or stride per axis.

  /** Number of axes.
   * \return Rank */
  static constexpr std::size_t rank() { return Rank; }

  /** An empty view: no elements, all extents 0. */
  constexpr array_view() = default;

  /** A contiguous array, the first index fastest.
   * \param data address of the first element
   * \param extents number of elements along each axis */
  constexpr array_view(T *data, const extents_type &extents) : data_(data), extents_(extents) {
    index_type step = 1;
    for (std::size_t k = 0; k < Rank; ++k) {
      strides_[k] = step;
      step *= extents_[k] > 0 ? extents_[k] : 0;
    }
  }

  /** An array with the given strides.
   * \param data address of the element whose indices are all 0
   * \param extents number of elements along each axis
   * \param strides distance in elements between neighbours along each axis */
  constexpr array_view(T *data, const extents_type &extents, const extents_type &strides)
      : data_(data), extents_(extents), strides_(strides) {}

  /** A contiguous range (std::vector, std::span, std::array) as a rank-1 view.
   * \param range the range; it must outlive the view */
  template <class R>
  requires(Rank == 1 && std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
           std::is_convertible_v<std::remove_reference_t<std::ranges::range_reference_t<R>> (*)[],
                                 T (*)[]>) constexpr array_view(R &&range)
      : array_view(std::ranges::data(range),
                   extents_type{static_cast<index_type>(std::ranges::size(range))}) {}

  /** A view of modifiable elements as a view of constant ones.
   * \param other the view */
  template <class U>
  requires(!std::is_same_v<U, T> &&
           std::is_same_v<const U, T>) constexpr array_view(const array_view<U, Rank> &other)
      : data_(other.data()), extents_(other.extents()), strides_(other.strides()) {}

  /** The address of the element whose indices are all 0.
   * \return the address */
  constexpr T *data() const { return data_; }
  /** The extents of all axes.
   * \return the extents */
  constexpr const extents_type &extents() const { return extents_; }
  /** The strides of all axes, in elements.
   * \return the strides */
  constexpr const extents_type &strides() const { return strides_; }
  /** The extent of one axis.
   * \param k axis, from 0
   * \return its extent */
  constexpr index_type extent(std::size_t k) const { return extents_[k]; }
  /** The stride of one axis.
   * \param k axis, from 0
   * \return its stride, in elements */
  constexpr index_type stride(std::size_t k) const { return strides_[k]; }

  /** Number of elements.
   * \return the product of the extents (0 when an extent is not positive) */
  constexpr index_type size() const {
    index_type n = 1;
    for (index_type e : extents_) n *= e > 0 ? e : 0;
    return n;
  }

  /** Whether the elements lie one after the other in storage order.
   * \return true for a contiguous view (and an empty one) */
  constexpr bool is_contiguous() const {
    if (size() == 0) return true;
    index_type step = 1;
    for (std::size_t k = 0; k < Rank; ++k) {
      if (extents_[k] > 1 && strides_[k] != step) return false;
      step *= extents_[k];
    }
    return true;
  }

  /** The element at the given indices, counted from 0 (not checked).
   * \param indices one index per axis
   * \return the element */
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

/** @} */
// ---- Start and end -------------------------------------------------------------

/** \defgroup kov_start Start and end
 * \details The first and the last call of a program of the typed layer.
 * @{ */

/** Capture the command line from the run time (see finitpar()); must come before any other
 * routine.  With `source` given, the program's documentation is shown and the process ends with
 * status 1 when it was started from a terminal without arguments (see doc()).
 * \param source the program's source file name, or its documentation text */
void kov_init(std::optional<std::string_view> source = std::nullopt);
/** Close the output history of "out" (hclose()): make it ready if no data were written and end
 * it.  A second close only warns. */
void kov_close();

/** @} */

// ---- Echo switches -------------------------------------------------------------

/** \defgroup kov_echo Echo switches
 * \details Where the command-line fetches record the values they settled on.
 * The switches are per process and keep their values until changed.
 * @{ */

/** Echo of fetched values into the output history on (the initial state). */
void set_yes_putch();
/** Echo off for the rest of the process, until set_yes_putch(); also silences the to_history_
 * scalar writers called without a file. */
void set_no_putch();
/** Echo into the history of the dataset `tag` instead of "out", for the rest of the process
 * (nothing switches it back).
 * \param tag tag of the dataset that receives the echoes (at most 256 characters are kept) */
void set_alternate_putch(std::string_view tag);

/** @} */

// ---- Scalar fetches ------------------------------------------------------------

/** \defgroup kov_scalar Scalar fetches
 * \details One value from one source, the default when absent, fatal when neither.
 * @{ */

/** Fetch a 32-bit integer from getch(): the command line and parameter files; echoed as "From
 * par: <name>" into the output history (see set_no_putch() and set_alternate_putch()).  Fatal
 * without value and default: "missing parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_param_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from getch(): the command line and parameter files; echoed as "From par:
 * <name>" into the output history (see set_no_putch() and set_alternate_putch()).  Fatal without
 * value and default: "missing parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_param_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
/** Fetch a flag (a value beginning with y, Y or 1 is true) from getch(): the command line and
 * parameter files; echoed as "From par: <name>" into the output history (see set_no_putch() and
 * set_alternate_putch()).  Fatal without value and default: "missing parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_param_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
/** Fetch a text (the whole value, commas included) from getch(): the command line and parameter
 * files; echoed as "From par: <name>" into the output history (see set_no_putch() and
 * set_alternate_putch()).  Fatal without value and default: "missing parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty)
 * \param length size of the caller's text variable: a longer value (found or default) is cut to
 *   it */
void from_param_char(std::string_view name, std::string &value,
                     std::optional<std::string_view> def = std::nullopt,
                     std::optional<std::size_t> length = std::nullopt);
/** Fetch a 32-bit integer from getch(): the command line and parameter files; the same as the
 * from_param_ member; echoed as "From par: <name>" into the output history (see set_no_putch()
 * and set_alternate_putch()).  Fatal without value and default: "missing parameter value:
 * <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_par_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from getch(): the command line and parameter files; the same as the
 * from_param_ member; echoed as "From par: <name>" into the output history (see set_no_putch()
 * and set_alternate_putch()).  Fatal without value and default: "missing parameter value:
 * <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_par_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
/** Fetch a flag (a value beginning with y, Y or 1 is true) from getch(): the command line and
 * parameter files; the same as the from_param_ member; echoed as "From par: <name>" into the
 * output history (see set_no_putch() and set_alternate_putch()).  Fatal without value and
 * default: "missing parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_par_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
/** Fetch a text (the whole value, commas included) from getch(): the command line and parameter
 * files; the same as the from_param_ member; echoed as "From par: <name>" into the output history
 * (see set_no_putch() and set_alternate_putch()).  Fatal without value and default: "missing
 * parameter value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty)
 * \param length size of the caller's text variable: a longer value (found or default) is cut to
 *   it */
void from_par_char(std::string_view name, std::string &value,
                   std::optional<std::string_view> def = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt);
/** Fetch a 32-bit integer from fetch(): the command line, then the history of "in"; echoed as
 * "From either: <name>" into the output history (see set_no_putch() and set_alternate_putch()).
 * Fatal without value and default: "missing either value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_either_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from fetch(): the command line, then the history of "in"; echoed as "From
 * either: <name>" into the output history (see set_no_putch() and set_alternate_putch()).  Fatal
 * without value and default: "missing either value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_either_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
/** Fetch a flag (a value beginning with y, Y or 1 is true) from fetch(): the command line, then
 * the history of "in"; echoed as "From either: <name>" into the output history (see
 * set_no_putch() and set_alternate_putch()).  Fatal without value and default: "missing either
 * value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_either_bool(std::string_view name, bool &value, std::optional<bool> def = std::nullopt);
/** Fetch a text (the whole value, commas included) from fetch(): the command line, then the
 * history of "in"; echoed as "From either: <name>" into the output history (see set_no_putch()
 * and set_alternate_putch()).  Fatal without value and default: "missing either value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty)
 * \param length size of the caller's text variable: a longer value (found or default) is cut to
 *   it */
void from_either_char(std::string_view name, std::string &value,
                      std::optional<std::string_view> def = std::nullopt,
                      std::optional<std::size_t> length = std::nullopt);
/** Fetch a 32-bit integer from hetch(): the history of "in"; not echoed.  Fatal without value and
 * default: "missing history value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_history_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from hetch(): the history of "in"; not echoed.  Fatal without value and
 * default: "missing history value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_history_real(std::string_view name, float &value,
                       std::optional<float> def = std::nullopt);
/** Fetch a text (the whole value, commas included) from hetch(): the history of "in"; not echoed.
 * Fatal without value and default: "missing history value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty)
 * \param length size of the caller's text variable: a longer value (found or default) is cut to
 *   it */
void from_history_char(std::string_view name, std::string &value,
                       std::optional<std::string_view> def = std::nullopt,
                       std::optional<std::size_t> length = std::nullopt);
/** Fetch a 32-bit integer from tetch(): the command line, then the supplementary store of "in";
 * not echoed.  Fatal without value and default: "missing old value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_old_int(std::string_view name, int &value, std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from tetch(): the command line, then the supplementary store of "in"; not
 * echoed.  Fatal without value and default: "missing old value: <name>".
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_old_real(std::string_view name, float &value, std::optional<float> def = std::nullopt);
/** Fetch a 32-bit integer from auxpar(): the history of the dataset `file`, opened as an input;
 * not echoed.  Fatal without value and default: "missing history value: <name> from file:
 * <file>".
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_aux_int(std::string_view file, std::string_view name, int &value,
                  std::optional<int> def = std::nullopt);
/** Fetch a 32-bit float from auxpar(): the history of the dataset `file`, opened as an input; not
 * echoed.  Fatal without value and default: "missing history value: <name> from file: <file>".
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_aux_real(std::string_view file, std::string_view name, float &value,
                   std::optional<float> def = std::nullopt);
/** Fetch a flag (a value beginning with y, Y or 1 is true) from auxpar(): the history of the
 * dataset `file`, opened as an input; not echoed.  Fatal without value and default: "missing
 * history value: <name> from file: <file>".
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty) */
void from_aux_bool(std::string_view file, std::string_view name, bool &value,
                   std::optional<bool> def = std::nullopt);
/** Fetch a text (the whole value, commas included) from auxpar(): the history of the dataset
 * `file`, opened as an input; not echoed.  Fatal without value and default: "missing history
 * value: <name>".
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value receives the value found, else the default
 * \param def default used when the name is absent (or given empty)
 * \param length size of the caller's text variable: a longer value (found or default) is cut to
 *   it */
void from_aux_char(std::string_view file, std::string_view name, std::string &value,
                   std::optional<std::string_view> def = std::nullopt,
                   std::optional<std::size_t> length = std::nullopt);

/** @} */

// ---- Array fetches -------------------------------------------------------------

/** \defgroup kov_array Array fetches
 * \details The whole name is looked up as a list ("x=1,2,3", "x=3*0"); values
 * beyond the array are not stored.  When the name is absent, each element
 * is fetched on its own under the name followed by its number from 1.
 * @{ */

/** Fetch an array of 32-bit integers from the command line and parameter files; a found list is
 * echoed as one free-form line "From par: <name>=..." into the history of "out", whatever the
 * echo switches say. When the name is absent each element is fetched on its own as by
 * from_param_int() under "<name>1", "<name>2", ... (fatal as that is when neither value nor
 * default exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_param_int_array(std::string_view name, std::span<int> value,
                          std::optional<std::span<const int>> def = std::nullopt);
/** Fetch an array of 32-bit floats from the command line and parameter files; a found list is
 * echoed as one free-form line "From par: <name>=..." into the history of "out", whatever the
 * echo switches say. When the name is absent each element is fetched on its own as by
 * from_param_real() under "<name>1", "<name>2", ... (fatal as that is when neither value nor
 * default exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_param_real_array(std::string_view name, std::span<float> value,
                           std::optional<std::span<const float>> def = std::nullopt);
/** Fetch an array of 32-bit integers from the command line and parameter files, as the
 * from_param_ member. When the name is absent each element is fetched on its own as by
 * from_par_int() under "<name>1", "<name>2", ... (fatal as that is when neither value nor default
 * exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_par_int_array(std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def = std::nullopt);
/** Fetch an array of 32-bit floats from the command line and parameter files, as the from_param_
 * member. When the name is absent each element is fetched on its own as by from_par_real() under
 * "<name>1", "<name>2", ... (fatal as that is when neither value nor default exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_par_real_array(std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def = std::nullopt);
/** Fetch an array of 32-bit integers from the history of "in"; not echoed. When the name is
 * absent each element is fetched on its own as by from_history_int() under "<name>1", "<name>2",
 * ... (fatal as that is when neither value nor default exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_history_int_array(std::string_view name, std::span<int> value,
                            std::optional<std::span<const int>> def = std::nullopt);
/** Fetch an array of 32-bit floats from the history of "in"; not echoed. When the name is absent
 * each element is fetched on its own as by from_history_real() under "<name>1", "<name>2", ...
 * (fatal as that is when neither value nor default exists).
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_history_real_array(std::string_view name, std::span<float> value,
                             std::optional<std::span<const float>> def = std::nullopt);
/** Fetch an array of 32-bit integers from the history of the dataset `file`; not echoed. When the
 * name is absent each element is fetched on its own as by from_aux_int() under "<name>1",
 * "<name>2", ... (fatal as that is when neither value nor default exists).
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_aux_int_array(std::string_view file, std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def = std::nullopt);
/** Fetch an array of 32-bit floats from the history of the dataset `file`; not echoed. When the
 * name is absent each element is fetched on its own as by from_aux_real() under "<name>1",
 * "<name>2", ... (fatal as that is when neither value nor default exists).
 * \param file tag of the dataset whose history is read
 * \param name parameter name
 * \param[out] value the array; elements beyond the values found keep their contents
 * \param def defaults of the elements (used only element by element) */
void from_aux_real_array(std::string_view file, std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def = std::nullopt);

/** @} */

// ---- Coupled pair --------------------------------------------------------------

/** \defgroup kov_conj Coupled pair
 * \details One value from the input history, the other from the command line.
 * @{ */

/** A coupled pair: one value from the history of "in" (required, no default), the other from the
 * command line, then the supplementary store (from_old_int()) and recorded in the output history
 * (to_history_int()). Fatal when the history lacks the name, or the other value has neither value
 * nor default.
 * \param flag true: the history gives value1; false: it gives value2
 * \param name parameter name of both values
 * \param[out] value1 first value
 * \param def1 default of value1 when it is the command-line one
 * \param[out] value2 second value
 * \param def2 default of value2 when it is the command-line one */
void from_conj_int(bool flag, std::string_view name, int &value1, std::optional<int> def1,
                   int &value2, std::optional<int> def2 = std::nullopt);
/** A coupled pair of floats: one value from the history of "in" (required, no default), the other
 * from the command line, then the supplementary store (from_old_real()) and recorded in the
 * output history (to_history_real()). Fatal when the history lacks the name, or the other value
 * has neither value nor default.
 * \param flag true: the history gives value1; false: it gives value2
 * \param name parameter name of both values
 * \param[out] value1 first value
 * \param def1 default of value1 when it is the command-line one
 * \param[out] value2 second value
 * \param def2 default of value2 when it is the command-line one */
void from_conj_real(bool flag, std::string_view name, float &value1, std::optional<float> def1,
                    float &value2, std::optional<float> def2 = std::nullopt);

/** @} */

// ---- History writers -----------------------------------------------------------

/** \defgroup kov_writers History writers
 * \details Entries written into a history; failures of the history are fatal.
 * @{ */

/** Write an integer entry "<name>=<value>" into a history: that of `file` whatever the echo
 * switches say, else that of "out" unless the echo is off (set_no_putch()).  A closed or
 * unwritable history is fatal.
 * \param name parameter name
 * \param value the value
 * \param file tag of the dataset whose history receives the entry */
void to_history_int(std::string_view name, int value,
                    std::optional<std::string_view> file = std::nullopt);
/** Write a float ("%g") entry "<name>=<value>" into a history: that of `file` whatever the echo
 * switches say, else that of "out" unless the echo is off (set_no_putch()).  A closed or
 * unwritable history is fatal.
 * \param name parameter name
 * \param value the value
 * \param file tag of the dataset whose history receives the entry */
void to_history_real(std::string_view name, float value,
                     std::optional<std::string_view> file = std::nullopt);
/** Write a flag ("yes" or "no") entry "<name>=<value>" into a history: that of `file` whatever
 * the echo switches say, else that of "out" unless the echo is off (set_no_putch()).  A closed or
 * unwritable history is fatal.
 * \param name parameter name
 * \param value the value
 * \param file tag of the dataset whose history receives the entry */
void to_history_bool(std::string_view name, bool value,
                     std::optional<std::string_view> file = std::nullopt);
/** Write a text (quoted) entry "<name>=<value>" into a history: that of `file` whatever the echo
 * switches say, else that of "out" unless the echo is off (set_no_putch()).  A closed or
 * unwritable history is fatal.
 * \param name parameter name
 * \param value the value
 * \param file tag of the dataset whose history receives the entry */
void to_history_char(std::string_view name, std::string_view value,
                     std::optional<std::string_view> file = std::nullopt);
/** Write an integer array into a history: up to 20 values as one line "        name=v1,v2,..." (a
 * value wider than 9 characters shows as nine asterisks); more as one entry per element under
 * name1, name2, ... Always written, whatever the echo switches say.
 * \param name parameter name
 * \param value the values
 * \param tag tag of the dataset whose history receives them; "out" when not given */
void to_history_int_array(std::string_view name, std::span<const int> value,
                          std::optional<std::string_view> tag = std::nullopt);
/** Write a float array into a history as one line "name=0.100000E+01,..." with every blank
 * removed (the name's too). Always written.  Fatal when the line would be too long for the
 * parameter scanner to read back.
 * \param name parameter name
 * \param value the values
 * \param tag tag of the dataset whose history receives them; "out" when not given */
void to_history_real_array(std::string_view name, std::span<const float> value,
                           std::optional<std::string_view> tag = std::nullopt);

/** @} */

// ---- Helpers -------------------------------------------------------------------

/** \defgroup kov_helpers Helpers
 * \details Small tests and text helpers.
 * @{ */

/** Whether a non-empty value for `name` is given on the command line or in a parameter file.  The
 * file system is not consulted.
 * \param name parameter name
 * \return true when a value is given */
bool exist_file(std::string_view name);
/** Move every blank to the end of `text`, the other characters keeping their order; the length is
 * unchanged.  Only the blank counts, tabs stay.
 * \param[in,out] text the text */
void strip_blanks(std::string &text);

/** @} */

// ---- Dimensions ----------------------------------------------------------------

/** \defgroup kov_dims Dimensions
 * \details Axis counts and lengths of datasets, with a check of the element size
 * ("esize") against what the caller handles.  Optional axis lengths are
 * passed by address.
 * @{ */

/** Number of data axes of a dataset (kov_get_number_data_axes()); fatal "Trouble obtaining number
 * of data axes" when it cannot be had.
 * \param file tag of the dataset; "in" when not given
 * \return the number of axes, at least 1 */
int kov_dimension(std::optional<std::string_view> file = std::nullopt);
/** Number of grid axes of a dataset (kov_get_number_grid_axes()).  Fatal "Error: No KOV history
 * file!" for a tag without stream record and "Error: KOV77, NEED KOV90!" for a dataset without
 * gff.
 * \param file tag of the dataset; "in" when not given
 * \return the number of grid axes */
int number_grid_axes(std::optional<std::string_view> file = std::nullopt);
/** The 3-character axis parameter name, blank padded: "n1 ", "n12", "o3 ".  A name that does not
 * fit 3 characters is fatal.
 * \param axis axis number, from 1
 * \param prefix parameter prefix; "n" when not given
 * \return the name */
std::string axisname(int axis, std::optional<std::string_view> prefix = std::nullopt);
/** Axis lengths and element size of "in" from its history (not echoed). n1 and "esize" are
 * required; n2, n3, n4 default to 1.
 * \param[out] n1 length of axis 1
 * \param[out] n2 length of axis 2, or null
 * \param[out] n3 length of axis 3, or null
 * \param[out] n4 length of axis 4, or null
 * \param esize element size the caller handles: 4, 8, or 48 (accept 4 or 8 and count complex
 *   samples as pairs of reals, doubling the first axis); when not given the header must say 4
 *   ("esize /= 4"); another mismatch is fatal ("esize /= 4 or 8", "wrong esize")
 * \param compress fold the axes into n1 (and n2 when passed) so that n1 stays below 2,000,000
 *   samples; a product beyond 32 bits is fatal */
void from_history_dim(int &n1, int *n2 = nullptr, int *n3 = nullptr, int *n4 = nullptr,
                      std::optional<int> esize = std::nullopt,
                      std::optional<bool> compress = std::nullopt);
/** Axis lengths of "in" from its history, one per element (default 1), and the element size
 * check.
 * \param[out] n receives n1, n2, ...
 * \param esize element size the caller handles: 4, 8, or 48 (accept 4 or 8 and count complex
 *   samples as pairs of reals, doubling the first axis); when not given the header must say 4
 *   ("esize /= 4"); another mismatch is fatal ("esize /= 4 or 8", "wrong esize") */
void from_history_dim_array(std::span<int> n, std::optional<int> esize = std::nullopt);
/** Axis lengths from the command line, then the history of "in", each echoed as "From either: ";
 * every length passed and "esize" are required.
 * \param[out] n1 length of axis 1
 * \param[out] n2 length of axis 2, or null
 * \param[out] n3 length of axis 3, or null
 * \param esize element size the caller handles; must equal the header's ("wrong esize"); when not
 *   given the header must say 4 ("esize /= 4") */
void from_either_dim(int &n1, int *n2 = nullptr, int *n3 = nullptr,
                     std::optional<int> esize = std::nullopt);
/** Axis lengths of the dataset `file` from its history: n1 and "esize" required, n2 and n3
 * default 1.
 * \param file tag of the dataset
 * \param[out] n1 length of axis 1
 * \param[out] n2 length of axis 2, or null
 * \param[out] n3 length of axis 3, or null
 * \param esize element size the caller handles; must equal the header's ("wrong esize"); when not
 *   given the header must say 4 ("esize /= 4") */
void from_aux_dim(std::string_view file, int &n1, int *n2 = nullptr, int *n3 = nullptr,
                  std::optional<int> esize = std::nullopt);
/** Axis lengths of the dataset `file`, one per element (default 1), and the element size check of
 * from_history_dim_array().
 * \param file tag of the dataset
 * \param[out] n receives n1, n2, ...
 * \param esize element size the caller handles: 4, 8, or 48 (accept 4 or 8 and count complex
 *   samples as pairs of reals, doubling the first axis); when not given the header must say 4
 *   ("esize /= 4"); another mismatch is fatal ("esize /= 4 or 8", "wrong esize") */
void from_aux_dim_array(std::string_view file, std::span<int> n,
                        std::optional<int> esize = std::nullopt);

/** @} */

// ---- Array transfer ------------------------------------------------------------

/** \defgroup kov_transfer Array transfer
 * \details Whole one- to five-dimensional arrays of floats or complex samples
 * moved between a program and a dataset, converted to and from the
 * dataset's element format.  Failures of the transfer itself are fatal
 * (see sreed() and srite()).
 * @{ */

/** Read a rank-1 array of 32-bit floats (4 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim number of elements to read; the extent when not given
 * \param esize bytes per element; 4 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_1d(array_view<float, 1> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim = std::nullopt, std::optional<int> esize = std::nullopt);
/** Read a rank-2 array of 32-bit floats (4 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param esize bytes per element; 4 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_2d(array_view<float, 2> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> esize = std::nullopt);
/** Read a rank-3 array of 32-bit floats (4 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param esize bytes per element; 4 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_3d(array_view<float, 3> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> esize = std::nullopt);
/** Read a rank-4 array of 32-bit floats (4 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param dim4 length of axis 4 to read; the extent when not given
 * \param esize bytes per element; 4 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_4d(array_view<float, 4> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                std::optional<int> esize = std::nullopt);
/** Read a rank-5 array of 32-bit floats (4 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param dim4 length of axis 4 to read; the extent when not given
 * \param dim5 length of axis 5 to read; the extent when not given
 * \param esize bytes per element; 4 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_5d(array_view<float, 5> array, std::optional<std::string_view> file = std::nullopt,
                std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);
/** Read a rank-1 array of complex samples (8 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim number of elements to read; the extent when not given
 * \param esize bytes per element; 8 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_complex_1d(array_view<std::complex<float>, 1> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim = std::nullopt,
                        std::optional<int> esize = std::nullopt);
/** Read a rank-2 array of complex samples (8 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param esize bytes per element; 8 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_complex_2d(array_view<std::complex<float>, 2> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
/** Read a rank-3 array of complex samples (8 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param esize bytes per element; 8 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_complex_3d(array_view<std::complex<float>, 3> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> dim3 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
/** Read a rank-4 array of complex samples (8 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param dim4 length of axis 4 to read; the extent when not given
 * \param esize bytes per element; 8 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_complex_4d(array_view<std::complex<float>, 4> array,
                        std::optional<std::string_view> file = std::nullopt,
                        std::optional<int> dim1 = std::nullopt,
                        std::optional<int> dim2 = std::nullopt,
                        std::optional<int> dim3 = std::nullopt,
                        std::optional<int> dim4 = std::nullopt,
                        std::optional<int> esize = std::nullopt);
/** Read a rank-5 array of complex samples (8 bytes each by default) from a dataset in one sreed()
 * call, filling the array's storage from its first element in storage order (a strided view is
 * filled through a contiguous copy).  A transfer larger than the array is fatal. Dims smaller
 * than the extents pack the values at the start of the storage, not column by column.
 * \param[out] array the array
 * \param file tag of the dataset; "in" when not given
 * \param dim1 length of axis 1 to read; the extent when not given
 * \param dim2 length of axis 2 to read; the extent when not given
 * \param dim3 length of axis 3 to read; the extent when not given
 * \param dim4 length of axis 4 to read; the extent when not given
 * \param dim5 length of axis 5 to read; the extent when not given
 * \param esize bytes per element; 8 when not given
 * \return the number of bytes read (short at the end of the data) */
int kov_read_complex_5d(
    array_view<std::complex<float>, 5> array, std::optional<std::string_view> file = std::nullopt,
    std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
    std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
    std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);
/** Write a vector of 32-bit floats (4 bytes each by default) to a dataset in one srite() call (a
 * strided view through a contiguous copy). A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim number of elements to write; the extent when not given
 * \param esize bytes per element; 4 when not given */
void kov_write_1d(array_view<const float, 1> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim = std::nullopt, std::optional<int> esize = std::nullopt);
/** Write a rank-2 array of 32-bit floats (4 bytes each by default) to a dataset, one write of the
 * first dim1 elements per column, the second index fastest; columns beyond the given dims are not
 * written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param esize bytes per element; 4 when not given */
void kov_write_2d(array_view<const float, 2> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> esize = std::nullopt);
/** Write a rank-3 array of 32-bit floats (4 bytes each by default) to a dataset, one write of the
 * first dim1 elements per column, the second index fastest; columns beyond the given dims are not
 * written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param esize bytes per element; 4 when not given */
void kov_write_3d(array_view<const float, 3> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> esize = std::nullopt);
/** Write a rank-4 array of 32-bit floats (4 bytes each by default) to a dataset, one write of the
 * first dim1 elements per column, the second index fastest; columns beyond the given dims are not
 * written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param dim4 length of axis 4 to write; the extent when not given
 * \param esize bytes per element; 4 when not given */
void kov_write_4d(array_view<const float, 4> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                  std::optional<int> esize = std::nullopt);
/** Write a rank-5 array of 32-bit floats (4 bytes each by default) to a dataset, one write of the
 * first dim1 elements per column, the second index fastest; columns beyond the given dims are not
 * written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param dim4 length of axis 4 to write; the extent when not given
 * \param dim5 length of axis 5 to write; the extent when not given
 * \param esize bytes per element; 4 when not given */
void kov_write_5d(array_view<const float, 5> array,
                  std::optional<std::string_view> file = std::nullopt,
                  std::optional<int> dim1 = std::nullopt, std::optional<int> dim2 = std::nullopt,
                  std::optional<int> dim3 = std::nullopt, std::optional<int> dim4 = std::nullopt,
                  std::optional<int> dim5 = std::nullopt, std::optional<int> esize = std::nullopt);
/** Write a vector of complex samples (8 bytes each by default) to a dataset in one srite() call
 * (a strided view through a contiguous copy). A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim number of elements to write; the extent when not given
 * \param esize bytes per element; 8 when not given */
void kov_write_complex_1d(array_view<const std::complex<float>, 1> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim = std::nullopt,
                          std::optional<int> esize = std::nullopt);
/** Write a rank-2 array of complex samples (8 bytes each by default) to a dataset, one write of
 * the first dim1 elements per column, the second index fastest; columns beyond the given dims are
 * not written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param esize bytes per element; 8 when not given */
void kov_write_complex_2d(array_view<const std::complex<float>, 2> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
/** Write a rank-3 array of complex samples (8 bytes each by default) to a dataset, one write of
 * the first dim1 elements per column, the second index fastest; columns beyond the given dims are
 * not written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param esize bytes per element; 8 when not given */
void kov_write_complex_3d(array_view<const std::complex<float>, 3> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
/** Write a rank-4 array of complex samples (8 bytes each by default) to a dataset, one write of
 * the first dim1 elements per column, the second index fastest; columns beyond the given dims are
 * not written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param dim4 length of axis 4 to write; the extent when not given
 * \param esize bytes per element; 8 when not given */
void kov_write_complex_4d(array_view<const std::complex<float>, 4> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> dim4 = std::nullopt,
                          std::optional<int> esize = std::nullopt);
/** Write a rank-5 array of complex samples (8 bytes each by default) to a dataset, one write of
 * the first dim1 elements per column, the second index fastest; columns beyond the given dims are
 * not written. A transfer larger than the array is fatal.
 * \param array the array
 * \param file tag of the dataset; "out" when not given (at most 80 characters are kept)
 * \param dim1 length of axis 1 to write; the extent when not given
 * \param dim2 length of axis 2 to write; the extent when not given
 * \param dim3 length of axis 3 to write; the extent when not given
 * \param dim4 length of axis 4 to write; the extent when not given
 * \param dim5 length of axis 5 to write; the extent when not given
 * \param esize bytes per element; 8 when not given */
void kov_write_complex_5d(array_view<const std::complex<float>, 5> array,
                          std::optional<std::string_view> file = std::nullopt,
                          std::optional<int> dim1 = std::nullopt,
                          std::optional<int> dim2 = std::nullopt,
                          std::optional<int> dim3 = std::nullopt,
                          std::optional<int> dim4 = std::nullopt,
                          std::optional<int> dim5 = std::nullopt,
                          std::optional<int> esize = std::nullopt);

/** @} */

} // namespace kov

#pragma GCC visibility pop

#endif // C++20
#endif
