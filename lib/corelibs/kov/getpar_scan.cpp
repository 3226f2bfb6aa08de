// SPDX-License-Identifier: Apache-2.0
// The parameter scanner: turns name=value text from command-line words,
// parameter files and history headers into store entries.
//
// The scanner takes, at every point, the longest text that one of its rules
// matches (a rule with a trailing condition counts the condition's character
// but consumes only what comes before it); between equally long matches the
// earlier rule wins.  Rules, in order:
//   1, 2  (value state) a quoted value, '' or "" standing for one quote,
//         ended by the closing quote or by a newline
//   3     (value state) a non-quote character and the run of non-blanks after it
//   4     (line start) name= followed by a non-blank: enter the value state
//   5     blank name= followed by a non-blank: enter the value state
//   6     (line start) name= followed by a blank or newline: name, no value
//   7     blank name= followed by a blank or newline: name, no value
//   8     (line start) # and the rest of the line: comment
//   9, 10 any other character, or a newline: skipped
#include "kovlib_internal.h"
#include "streaminf.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMaxDepth = 10;
constexpr long kMaxToken = YYLMAX - 1;

struct Input {
  std::string text;
  std::string source;  // what the text is, for messages: a file, the command line
  int line_offset = 0; // subtracted from the counted line (a par file's leading newline)
  std::size_t pos = 0;
  bool at_line_start = true;
  char *release = nullptr; // caller's buffer to free when this input is done
};

// Process-wide scanner state.  The normal/value state survives between
// inputs and scans.
std::vector<Input> inputs;
bool value_state = false;
std::string pending_name;

// Forget every pending input and the state between them, so that the next
// scan starts clean whatever ended this one.
void reset_scanner() {
  for (Input &in : inputs) std::free(in.release);
  inputs.clear();
  value_state = false;
  pending_name.clear();
}

// A token longer than the scanner takes: fatal, naming where it stands.
[[noreturn]] void token_too_long(const Input &in, std::size_t at) {
  const long line = 1 +
                    static_cast<long>(std::count(in.text.begin(),
                                                 in.text.begin() + static_cast<long>(at), '\n')) -
                    in.line_offset;
  const std::string source = in.source.empty() ? std::string("the parameters") : in.source;
  reset_scanner();
  koverr("token too long in %s, line %ld: more than %ld characters\n", source.c_str(), line,
         kMaxToken);
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_letter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_blank_or_newline(char c) { return is_blank(c) || c == '\n'; }

std::size_t name_run(const std::string &t, std::size_t p) {
  if (p >= t.size() || !is_letter(t[p])) return 0;
  std::size_t q = p + 1;
  while (q < t.size() && is_name_char(t[q])) ++q;
  return q - p;
}

// Length of the quoted value starting at t[p] == quote, terminator included;
// 0 when neither a closing quote nor a newline ends it.
std::size_t quoted_length(const std::string &t, std::size_t p, char quote) {
  std::size_t best = 0;
  std::size_t i = p + 1;
  while (i < t.size()) {
    const char c = t[i];
    if (c == '\n') return i + 1 - p;
    if (c == quote) {
      best = i + 1 - p;
      if (i + 1 < t.size() && t[i + 1] == quote) {
        i += 2;
        continue;
      }
      return best;
    }
    ++i;
  }
  return best;
}

enum class Rule { None, Quote1, Quote2, Value, NameValue, BlankNameValue, Name, BlankName, Skip };

struct Match {
  Rule rule = Rule::None;
  std::size_t length = 0;   // matched, trailing condition included
  std::size_t consumed = 0; // taken from the input
  std::size_t name_start = 0;
  std::size_t name_len = 0;
};

void consider(Match &best, Rule rule, std::size_t length, std::size_t consumed,
              std::size_t name_start = 0, std::size_t name_len = 0) {
  if (length > best.length) best = Match{rule, length, consumed, name_start, name_len};
}

Match longest_match(const Input &in) {
  const std::string &t = in.text;
  const std::size_t p = in.pos;
  const char c = t[p];
  Match best;
  if (value_state) {
    if (c == '\'') consider(best, Rule::Quote1, quoted_length(t, p, '\''), 0);
    if (c == '"') consider(best, Rule::Quote2, quoted_length(t, p, '"'), 0);
    if (c != '\'' && c != '"') {
      std::size_t q = p + 1;
      while (q < t.size() && !is_blank_or_newline(t[q])) ++q;
      consider(best, Rule::Value, q - p, 0);
    }
  }
  // name= forms: at line start (rules 4 and 6) or after a blank (5 and 7).
  auto name_forms = [&](std::size_t start, Rule with_value, Rule without_value) {
    const std::size_t n = name_run(t, start);
    if (n == 0) return;
    const std::size_t eq = start + n;
    if (eq + 1 >= t.size() || t[eq] != '=') return; // the condition needs a character
    const std::size_t matched = eq + 2 - p;
    if (!is_blank_or_newline(t[eq + 1]))
      consider(best, with_value, matched, matched - 1, start, n);
    else
      consider(best, without_value, matched, matched - 1, start, n);
  };
  if (in.at_line_start) name_forms(p, Rule::NameValue, Rule::Name);
  if (is_blank(c)) name_forms(p + 1, Rule::BlankNameValue, Rule::BlankName);
  if (in.at_line_start && c == '#') {
    const auto nl = t.find('\n', p);
    consider(best, Rule::Skip, (nl == std::string::npos ? t.size() : nl) - p, 0);
  }
  consider(best, Rule::Skip, 1, 0);
  if (best.consumed == 0) best.consumed = best.length;
  return best;
}

char *copy_bytes(const char *bytes, std::size_t len) {
  char *copy = suballoc(static_cast<int>(len + 1));
  std::memcpy(copy, bytes, len);
  copy[len] = '\0';
  return copy;
}

struct Pair {
  char *name;
  int name_len;
  char *value; // null: name given without a value
  int value_len;
};

// The next name/value pair of the pushed inputs; false once all are exhausted.
bool next_pair(Pair &out) {
  while (!inputs.empty()) {
    Input &in = inputs.back();
    if (in.pos >= in.text.size()) {
      std::free(in.release);
      inputs.pop_back();
      continue;
    }
    const Match m = longest_match(in);
    if (static_cast<long>(m.length) > kMaxToken) token_too_long(in, in.pos);
    const std::size_t p = in.pos;
    in.pos += m.consumed;
    in.at_line_start = in.text[in.pos - 1] == '\n';
    switch (m.rule) {
    case Rule::Quote1:
    case Rule::Quote2: {
      const char quote = m.rule == Rule::Quote1 ? '\'' : '"';
      const int inner = static_cast<int>(m.length - 2);
      char *value = suballoc(inner + 1);
      const int len = massage(in.text.data() + p + 1, value, inner, quote);
      value[len] = '\0';
      value_state = false;
      out = {copy_bytes(pending_name.data(), pending_name.size()),
             static_cast<int>(pending_name.size()), value, len};
      return true;
    }
    case Rule::Value:
      value_state = false;
      out = {copy_bytes(pending_name.data(), pending_name.size()),
             static_cast<int>(pending_name.size()), copy_bytes(in.text.data() + p, m.length),
             static_cast<int>(m.length)};
      return true;
    case Rule::NameValue:
    case Rule::BlankNameValue:
      pending_name.assign(in.text, m.name_start, m.name_len);
      value_state = true;
      break;
    case Rule::Name:
    case Rule::BlankName:
      out = {copy_bytes(in.text.data() + m.name_start, m.name_len), static_cast<int>(m.name_len),
             nullptr, 0};
      return true;
    case Rule::Skip:
    case Rule::None:
      break;
    }
  }
  return false;
}

} // namespace

namespace kov::detail {

void push_input(std::string text, std::string source, int line_offset) {
  if (inputs.size() >= kMaxDepth) {
    reset_scanner();
    koverr("too many nested par files\n");
  }
  Input in;
  in.text = std::move(text);
  in.source = std::move(source);
  in.line_offset = line_offset;
  inputs.push_back(std::move(in));
}

} // namespace kov::detail

extern "C" void getpar_push_input(char *text, int release) {
  kov::detail::push_input(std::string(text != nullptr ? text : ""));
  if (release) inputs.back().release = text;
}

extern "C" int massage(const char *text, char *out, int len, int quote) {
  int k = 0;
  for (int i = 0; i < len;) {
    if (i < len - 1 && text[i] == quote && text[i + 1] == quote) {
      out[k++] = static_cast<char>(quote);
      i += 2;
    } else {
      out[k++] = text[i++];
    }
  }
  return k;
}

extern "C" void getpar_stack_par(const char *name) {
  const int fd = file(name, 0);
  std::string text("\n");
  const kov_file_size_t size = fsize(fd);
  if (size > 0) text.reserve(static_cast<std::size_t>(size) + 3);
  // Read to the end rather than trusting the size, so that pipes and
  // special files work as parameter files too.
  char chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      kov::detail::syserr("getpar_stack_par");
      ::close(fd);
      koverr("file() can't read file %s\n", name);
    }
    text.append(chunk, static_cast<std::size_t>(got));
    if (text.size() > kov::detail::kMaxHeaderBytes) {
      ::close(fd);
      reset_scanner();
      koverr("the parameter file %s is longer than the limit of %zu MiB\n", name,
             kov::detail::kMaxHeaderBytes >> 20);
    }
  }
  ::close(fd);
  text.push_back('\n');
  kov::detail::push_input(std::move(text), std::string("parameter file ") + name, 1);
}

extern "C" void getpar_scan(hash_item **queue, int qlen) {
  // Whatever leaves this scan early (a fatal error an embedding caller
  // turns into an exception) leaves no input behind for the next one.
  struct ResetOnUnwind {
    int pending = std::uncaught_exceptions();
    ~ResetOnUnwind() {
      if (std::uncaught_exceptions() > pending) reset_scanner();
    }
  } guard;
  Pair pair;
  while (next_pair(pair)) {
    getpar_hash_store(queue, qlen, pair.name, pair.value, pair.name_len, pair.value_len);
    if (pair.name_len == 3 && std::memcmp(pair.name, "par", 3) == 0 && pair.value != nullptr)
      getpar_stack_par(pair.value);
  }
}

extern "C" void getpar_string_store(hash_item **queue, int qlen, char *word) {
  if (word == nullptr) return;
  if (std::strpbrk(word, "\"'") != nullptr) {
    kov::detail::push_input(std::string(word), "the command line", 0);
    getpar_scan(queue, qlen);
    return;
  }
  char *eq = std::strchr(word, '=');
  if (eq == nullptr || eq == word) return;
  const int tlen = static_cast<int>(eq - word);
  char *value = eq + 1;
  const int vlen = static_cast<int>(std::strlen(value));
  if (vlen == 0) {
    getpar_hash_store(queue, qlen, word, nullptr, tlen, 0);
    return;
  }
  getpar_hash_store(queue, qlen, word, value, tlen, vlen);
  if (tlen == 3 && std::memcmp(word, "par", 3) == 0) {
    getpar_stack_par(value);
    getpar_scan(queue, qlen);
  }
}

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(getpar_push_input)
KOV_PUBLIC_NAME(getpar_scan)
KOV_PUBLIC_NAME(getpar_stack_par)
KOV_PUBLIC_NAME(getpar_string_store)
KOV_PUBLIC_NAME(massage)
