// SPDX-License-Identifier: Apache-2.0
// The fetch families: one named value or array from one source, with the
// caller's default, a fixed message when there is neither, and for the
// command-line families an echo of the value into the output history.
#include <kov/kov.hpp>
#include <kov/kovlib.h>

#include "typed_internal.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace kov {

namespace {

using typed::c_text;
using typed::Source;

struct Family {
  Source source;
  const char *missing; // prefix of the fatal message
  const char *echo;    // prefix of the echo entry, or null for no echo
  bool file_in_message;
};

constexpr Family kParam{Source::command_line, "missing parameter value: ", "From par: ", false};
constexpr Family kEither{Source::either, "missing either value: ", "From either: ", false};
constexpr Family kHistory{Source::history, "missing history value: ", nullptr, false};
constexpr Family kOld{Source::old, "missing old value: ", nullptr, false};
constexpr Family kAux{Source::aux, "missing history value: ", nullptr, true};
constexpr Family kAuxText{Source::aux, "missing history value: ", nullptr, false};

// The echo switches.  The echo is off exactly when putch_no reads
// "no putch"; echoes go to the dataset altfile once alt_putch begins with
// "YeS".  Nothing switches the alternate target off again.
struct Switches {
  std::string putch_no;
  std::string alt_putch;
  std::string altfile;
};

Switches &switches() {
  static Switches state;
  return state;
}

[[noreturn]] void missing(const Family &family, std::string_view file, std::string_view name) {
  std::string message = family.missing + c_text(name);
  if (family.file_in_message) message += " from file: " + c_text(file);
  typed::fatal(message);
}

void echo(const Family &family, std::string_view name, const char *code, const void *value) {
  if (family.echo == nullptr || typed::echo_off()) return;
  const std::string entry = c_text(family.echo + c_text(name));
  const Switches &s = switches();
  if (s.alt_putch.starts_with("YeS"))
    auxputch(entry.c_str(), code, value, s.altfile.c_str());
  else
    putch(entry.c_str(), code, value);
}

template <class T> constexpr const char *code_of() {
  if constexpr (std::is_same_v<T, int>)
    return "i";
  else
    return "r";
}

template <class T>
void fetch_number(const Family &family, std::string_view file, std::string_view name, T &value,
                  std::optional<T> def) {
  T found{};
  if (typed::lookup_values(family.source, file, c_text(name), code_of<T>(), &found, 1) != 0)
    value = found;
  else if (def)
    value = *def;
  else
    missing(family, file, name);
  echo(family, name, code_of<T>(), &value);
}

void fetch_flag(const Family &family, std::string_view file, std::string_view name, bool &value,
                std::optional<bool> def, const char *code) {
  int found = 0;
  if (typed::lookup_values(family.source, file, c_text(name), code, &found, 1) != 0)
    value = found != 0;
  else if (def)
    value = *def;
  else
    missing(family, file, name);
  const int flag = value ? 1 : 0;
  echo(family, name, "l", &flag);
}

void fetch_text(const Family &family, std::string_view file, std::string_view name,
                std::string &value, std::optional<std::string_view> def,
                std::optional<std::size_t> length) {
  if (auto found = typed::lookup_text(family.source, file, c_text(name)))
    value = std::move(*found);
  else if (def)
    value = *def;
  else
    missing(family, file, name);
  if (length && value.size() > *length) value.resize(*length);
  const std::string text = c_text(value);
  echo(family, name, "s", text.c_str());
}

// A whole list under the name, else element by element under name1,
// name2, ...; a found list of the command-line families is echoed as one
// line.
template <class T>
void fetch_array(const Family &family, std::string_view file, std::string_view name,
                 std::span<T> value, std::optional<std::span<const T>> def) {
  const std::string key = c_text(name);
  if (!value.empty() && typed::lookup_values(family.source, file, key, code_of<T>(), value.data(),
                                             static_cast<long>(value.size())) > 0) {
    if (family.echo != nullptr) {
      if constexpr (std::is_same_v<T, int>)
        to_history_int_array(family.echo + key, value);
      else
        to_history_real_array(family.echo + key, value);
    }
    return;
  }
  // Element numbers take as many digits as they need.
  for (std::size_t i = 0; i < value.size(); ++i) {
    std::optional<T> element_def;
    if (def && i < def->size()) element_def = (*def)[i];
    fetch_number(family, file, key + std::to_string(i + 1), value[i], element_def);
  }
}

} // namespace

namespace typed {

bool echo_off() { return c_text(switches().putch_no) == "no putch"; }

} // namespace typed

void set_yes_putch() { switches().putch_no = "yes it"; }
void set_no_putch() { switches().putch_no = "no putch"; }

void set_alternate_putch(std::string_view tag) {
  switches().alt_putch = "YeS";
  switches().altfile = c_text(tag, 256);
}

bool exist_file(std::string_view name) {
  return typed::lookup_text(Source::command_line, {}, c_text(name)).has_value();
}

// ---- Scalars ---------------------------------------------------------------

void from_param_int(std::string_view name, int &value, std::optional<int> def) {
  fetch_number(kParam, {}, name, value, def);
}
void from_param_real(std::string_view name, float &value, std::optional<float> def) {
  fetch_number(kParam, {}, name, value, def);
}
void from_param_bool(std::string_view name, bool &value, std::optional<bool> def) {
  fetch_flag(kParam, {}, name, value, def, "l");
}
void from_param_char(std::string_view name, std::string &value, std::optional<std::string_view> def,
                     std::optional<std::size_t> length) {
  fetch_text(kParam, {}, name, value, def, length);
}

void from_par_int(std::string_view name, int &value, std::optional<int> def) {
  from_param_int(name, value, def);
}
void from_par_real(std::string_view name, float &value, std::optional<float> def) {
  from_param_real(name, value, def);
}
void from_par_bool(std::string_view name, bool &value, std::optional<bool> def) {
  from_param_bool(name, value, def);
}
void from_par_char(std::string_view name, std::string &value, std::optional<std::string_view> def,
                   std::optional<std::size_t> length) {
  from_param_char(name, value, def, length);
}

void from_either_int(std::string_view name, int &value, std::optional<int> def) {
  fetch_number(kEither, {}, name, value, def);
}
void from_either_real(std::string_view name, float &value, std::optional<float> def) {
  fetch_number(kEither, {}, name, value, def);
}
void from_either_bool(std::string_view name, bool &value, std::optional<bool> def) {
  fetch_flag(kEither, {}, name, value, def, "l");
}
void from_either_char(std::string_view name, std::string &value,
                      std::optional<std::string_view> def, std::optional<std::size_t> length) {
  fetch_text(kEither, {}, name, value, def, length);
}

void from_history_int(std::string_view name, int &value, std::optional<int> def) {
  fetch_number(kHistory, {}, name, value, def);
}
void from_history_real(std::string_view name, float &value, std::optional<float> def) {
  fetch_number(kHistory, {}, name, value, def);
}
void from_history_char(std::string_view name, std::string &value,
                       std::optional<std::string_view> def, std::optional<std::size_t> length) {
  fetch_text(kHistory, {}, name, value, def, length);
}

void from_old_int(std::string_view name, int &value, std::optional<int> def) {
  fetch_number(kOld, {}, name, value, def);
}
void from_old_real(std::string_view name, float &value, std::optional<float> def) {
  fetch_number(kOld, {}, name, value, def);
}

void from_aux_int(std::string_view file, std::string_view name, int &value,
                  std::optional<int> def) {
  fetch_number(kAux, file, name, value, def);
}
void from_aux_real(std::string_view file, std::string_view name, float &value,
                   std::optional<float> def) {
  fetch_number(kAux, file, name, value, def);
}
void from_aux_bool(std::string_view file, std::string_view name, bool &value,
                   std::optional<bool> def) {
  fetch_flag(kAux, file, name, value, def, "1");
}
void from_aux_char(std::string_view file, std::string_view name, std::string &value,
                   std::optional<std::string_view> def, std::optional<std::size_t> length) {
  fetch_text(kAuxText, file, name, value, def, length);
}

// ---- Arrays ----------------------------------------------------------------

void from_param_int_array(std::string_view name, std::span<int> value,
                          std::optional<std::span<const int>> def) {
  fetch_array(kParam, {}, name, value, def);
}
void from_param_real_array(std::string_view name, std::span<float> value,
                           std::optional<std::span<const float>> def) {
  fetch_array(kParam, {}, name, value, def);
}
void from_par_int_array(std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def) {
  fetch_array(kParam, {}, name, value, def);
}
void from_par_real_array(std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def) {
  fetch_array(kParam, {}, name, value, def);
}
void from_history_int_array(std::string_view name, std::span<int> value,
                            std::optional<std::span<const int>> def) {
  fetch_array(kHistory, {}, name, value, def);
}
void from_history_real_array(std::string_view name, std::span<float> value,
                             std::optional<std::span<const float>> def) {
  fetch_array(kHistory, {}, name, value, def);
}
void from_aux_int_array(std::string_view file, std::string_view name, std::span<int> value,
                        std::optional<std::span<const int>> def) {
  fetch_array(kAux, file, name, value, def);
}
void from_aux_real_array(std::string_view file, std::string_view name, std::span<float> value,
                         std::optional<std::span<const float>> def) {
  fetch_array(kAux, file, name, value, def);
}

// ---- Coupled pair ----------------------------------------------------------

namespace {

template <class T>
void fetch_conj(bool flag, std::string_view name, T &value1, std::optional<T> def1, T &value2,
                std::optional<T> def2) {
  T &from_history = flag ? value1 : value2;
  T &from_old = flag ? value2 : value1;
  const std::optional<T> old_def = flag ? def2 : def1;
  fetch_number(kHistory, {}, name, from_history, std::optional<T>{});
  fetch_number(kOld, {}, name, from_old, old_def);
  if constexpr (std::is_same_v<T, int>)
    to_history_int(name, from_old);
  else
    to_history_real(name, from_old);
}

} // namespace

void from_conj_int(bool flag, std::string_view name, int &value1, std::optional<int> def1,
                   int &value2, std::optional<int> def2) {
  fetch_conj(flag, name, value1, def1, value2, def2);
}
void from_conj_real(bool flag, std::string_view name, float &value1, std::optional<float> def1,
                    float &value2, std::optional<float> def2) {
  fetch_conj(flag, name, value1, def1, value2, def2);
}

// ---- Start and end ---------------------------------------------------------

// A documentation source goes to the self-documentation routine, which
// shows it and ends the process when the program was started from a
// terminal with no arguments.
void kov_init(std::optional<std::string_view> source) {
  finitpar();
  noieeeinterupt();
  if (source) doc(c_text(*source).c_str());
}

void kov_close() { hclose(); }

} // namespace kov
