// SPDX-License-Identifier: Apache-2.0
// kovhelp: the manual renderer (see kovhelp.hpp).
#include "kovhelp.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kovhelp {

namespace {

constexpr std::size_t kWidth = 78;    // the longest line of filled text
constexpr std::size_t kBody = 7;      // the indentation of a section's text
constexpr std::size_t kTag = 7;       // the extra indentation under a .TP tag
constexpr char kUnbreakable = '\x01'; // a blank that does not separate words

// The escapes of one line of roff, resolved to plain text.
std::string unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    switch (c) {
    case 'f': // font change: \fB, \fI, \fR, \fP, \f(XX
      if (i + 1 < s.size()) i += s[i + 1] == '(' ? 3 : 1;
      break;
    case '(': { // two-character special
      const std::string_view name = s.substr(i + 1, 2);
      i += 2;
      if (name == "mu")
        out += '*';
      else if (name == "*p")
        out += "pi";
      else if (name == "em" || name == "en")
        out += "--";
      else if (name == "bu")
        out += 'o';
      else if (name == "aq")
        out += '\'';
      else if (name == "dq")
        out += '"';
      else if (name == "<=")
        out += "<=";
      else if (name == ">=")
        out += ">=";
      else
        out += name;
      break;
    }
    case '-':
      out += '-';
      break;
    case 'e':
    case '\\':
      out += '\\';
      break;
    case '&':
    case '%':
      break;
    case ' ':
    case '~':
      out += kUnbreakable;
      break;
    default:
      out += c;
    }
  }
  return out;
}

// The arguments of a request line, separated by blanks; a double-quoted
// argument may hold blanks.
std::vector<std::string> arguments(std::string_view s) {
  std::vector<std::string> args;
  std::size_t i = 0;
  while (true) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i == s.size()) break;
    std::string arg;
    if (s[i] == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) arg += s[i];
      ++i;
    } else {
      for (; i < s.size() && s[i] != ' '; ++i) {
        arg += s[i];
        if (s[i] == '\\' && i + 1 < s.size()) arg += s[++i];
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

// Accumulates words and breaks them into lines of at most kWidth columns.
class Page {
public:
  void word(std::string_view w) {
    if (line_.empty())
      line_.assign(indent_, ' ');
    else if (line_.size() + 1 + w.size() > kWidth && line_.size() > indent_) {
      flush();
      line_.assign(indent_, ' ');
    } else if (line_.size() > indent_)
      line_ += ' ';
    line_ += w;
  }
  void words(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
      const std::size_t start = text.find_first_not_of(" \t", i);
      if (start == std::string_view::npos) break;
      const std::size_t end = std::min(text.find_first_of(" \t", start), text.size());
      word(text.substr(start, end - start));
      i = end;
    }
  }
  // A line as it stands (no-fill mode).
  void verbatim(std::size_t indent, std::string_view text) {
    flush();
    line_.assign(indent, ' ');
    line_ += text;
    flush();
    if (text.empty()) out_ += '\n';
  }
  // A section heading: the text under it follows without an empty line.
  void heading(std::size_t indent, std::string_view text) {
    gap();
    verbatim(indent, text);
    after_heading_ = true;
  }
  // A tag at column `at` before a paragraph indented further: the
  // paragraph starts on the tag's line when the tag ends before it.
  void hang(std::size_t at, std::string_view tag) {
    flush();
    line_.assign(at, ' ');
    line_ += tag;
    if (line_.size() < indent_)
      line_.resize(indent_, ' ');
    else
      flush();
  }
  void flush() {
    while (!line_.empty() && line_.back() == ' ') line_.pop_back();
    if (!line_.empty()) {
      std::replace(line_.begin(), line_.end(), kUnbreakable, ' ');
      out_ += line_ + '\n';
      after_heading_ = false;
    }
    line_.clear();
  }
  // One empty line between paragraphs: none at the top or under a
  // heading, never two.
  void gap() {
    flush();
    if (!out_.empty() && !after_heading_ && !out_.ends_with("\n\n")) out_ += '\n';
  }
  void set_indent(std::size_t n) {
    flush();
    indent_ = n;
  }
  std::string finish() {
    flush();
    while (out_.size() > 1 && out_.ends_with("\n\n")) out_.pop_back();
    return out_;
  }

private:
  std::string out_, line_;
  std::size_t indent_ = kBody;
  bool after_heading_ = false;
};

} // namespace

// The manual page `roff` as plain text.
std::string render(std::string_view roff) {
  Page page;
  bool fill = true;
  bool tag_next = false; // the next text line is a .TP tag
  std::size_t body = kBody, paragraph = kBody;
  while (!roff.empty()) {
    const std::size_t eol = std::min(roff.find('\n'), roff.size());
    std::string_view line = roff.substr(0, eol);
    roff.remove_prefix(std::min(eol + 1, roff.size()));
    if (line.starts_with(".\\\"") || line.starts_with("'\\\"") || line == ".") continue;

    std::string text; // what the line contributes to the page
    if (line.starts_with('.')) {
      const std::size_t space = std::min(line.find(' '), line.size());
      const std::string_view request = line.substr(1, space - 1);
      const std::vector<std::string> args = arguments(line.substr(space));
      if (request == "TH") continue;
      if (request == "SH" || request == "SS") {
        std::string heading;
        for (const std::string &a : args) heading += (heading.empty() ? "" : " ") + unescape(a);
        page.heading(request == "SH" ? 0 : 3, heading);
        body = paragraph = kBody;
        page.set_indent(body);
        tag_next = false;
        continue;
      }
      if (request == "PP" || request == "P" || request == "LP") {
        page.gap();
        paragraph = body;
        page.set_indent(paragraph);
        continue;
      }
      if (request == "TP") {
        page.gap();
        page.set_indent(body);
        paragraph = body + kTag;
        tag_next = true;
        continue;
      }
      if (request == "IP") {
        page.gap();
        const std::size_t width =
            args.size() > 1 ? std::strtoul(args[1].c_str(), nullptr, 10) : kTag;
        paragraph = body + (width > 0 ? width : kTag);
        page.set_indent(paragraph);
        if (!args.empty()) page.hang(body, unescape(args[0]));
        continue;
      }
      if (request == "nf") {
        page.flush();
        fill = false;
        continue;
      }
      if (request == "fi") {
        fill = true;
        continue;
      }
      if (request == "br" || request == "sp") {
        if (request == "sp")
          page.gap();
        else
          page.flush();
        continue;
      }
      if (request == "RS" || request == "RE" || request == "in" || request == "ad" ||
          request == "na" || request == "hy" || request == "nh" || request == "ne")
        continue;
      if (request.size() == 1 && (request == "B" || request == "I" || request == "R")) {
        for (const std::string &a : args) text += (text.empty() ? "" : " ") + unescape(a);
      } else if (request.size() == 2 && std::strchr("BIR", request[0]) &&
                 std::strchr("BIR", request[1])) {
        for (const std::string &a : args) text += unescape(a); // alternating fonts, no blanks
      } else {
        continue; // a request this renderer does not know: leave it out
      }
    } else {
      text = unescape(line);
    }

    if (tag_next) {
      page.set_indent(paragraph);
      page.hang(body, text);
      tag_next = false;
    } else if (!fill) {
      page.verbatim(paragraph, text);
    } else {
      page.words(text);
    }
  }
  return page.finish();
}

} // namespace kovhelp
