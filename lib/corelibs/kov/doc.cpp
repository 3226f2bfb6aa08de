// SPDX-License-Identifier: Apache-2.0
// Self-documentation: a program started from a terminal with no arguments
// shows its manual through a pager on standard error and ends with status 1
// instead of running.  The manual is the text registered line by line at run
// time, a text handed over directly, or the leading comment block of the
// program's source file, looked for in the documentation directories.
#include "kovfort.h"
#include "kovlib_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDocStatus = 1;
constexpr std::size_t kPathRoom = 4096;
constexpr char kBaseDir[] = "/opt/KOV/kovlib/kovlib_base";
constexpr char kSourceDir[] = "/usr/local/KOV/src/";
constexpr char kMore[] = "more";
// Sources in the embedded documentation markup are extracted and formatted
// before paging.
constexpr char kSievedMore[] = "Docsieve | /usr/bin/pod2text | more";

// The registered documentation lines, in the order given; kept until exit.
std::vector<std::string> &registered_lines() {
  static std::vector<std::string> lines;
  return lines;
}

std::FILE *start_pager(const std::string &command) {
  std::FILE *pipe = ::popen(command.c_str(), "w");
  if (pipe == nullptr) {
    kov::detail::syserr("doc()");
    koverr("doc() unable to pipe to more command\n");
  }
  return pipe;
}

[[noreturn]] void piping_failed() {
  kov::detail::syserr("doc()");
  koverr("doc() I/O error piping to more command\n");
}

[[noreturn]] void reading_failed(const char *name) {
  kov::detail::syserr("doc()");
  koverr("doc() I/O error reading source file %s\n", name);
}

// Wait for the pager, close the source (if any) and end the process.
[[noreturn]] void finish(std::FILE *pipe, std::FILE *source = nullptr) {
  if (std::fflush(pipe) != 0) piping_failed();
  ::pclose(pipe);
  if (source != nullptr) std::fclose(source);
  std::exit(kDocStatus);
}

// Whether a documentation source is the text itself rather than a file name.
bool is_text(const char *name) {
  if (name[0] == '/' && name[1] == '*') return true;
  return name[0] == '#' || name[0] == '!' || name[0] == 'c' || name[0] == 'C';
}

// The pair that ends the documentation of a source, wherever it stands.
bool ends_documentation(int previous, int c) {
  if (c == '/') return previous == '*';
  if (c != '%') return false;
  return previous == 'C' || previous == 'c' || previous == '!' || previous == '#';
}

bool starts_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The pager writes to the terminal of standard error.
void output_onto_error() {
  std::fflush(stdout);
  if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    kov::detail::syserr("doc()");
    koverr("doc(): dup2 bomb\n");
  }
}

[[noreturn]] void show_text(const char *text) {
  output_onto_error();
  std::FILE *pipe = start_pager(kMore);
  if (std::fputs(text, pipe) == EOF) piping_failed();
  finish(pipe);
}

[[noreturn]] void show_source(const char *name) {
  std::FILE *source = std::fopen(find_doc(name), "r");
  if (source == nullptr) {
    kov::detail::syserr("doc()");
    // Message kept as it always read (two blanks after "at"): scripts match it as it stands.
    koverr("doc() source not at  %s \n", name);
  }
  char first[5] = {};
  if (std::fgets(first, sizeof first, source) == nullptr && std::ferror(source))
    reading_failed(name);
  const bool sieved =
      starts_with(first, "!!$") || starts_with(first, "#$") || starts_with(first, "/*$");
  std::rewind(source);

  std::fflush(stdout);
  (void)::dup2(STDERR_FILENO, STDOUT_FILENO);
  std::FILE *pipe = start_pager(sieved ? kSievedMore : kMore);
  int previous = ' ';
  for (int c = std::getc(source); c != EOF; previous = c, c = std::getc(source)) {
    if (ends_documentation(previous, c)) break;
    if (std::fputc(c, pipe) == EOF) piping_failed();
  }
  if (std::ferror(source)) reading_failed(name);
  finish(pipe, source);
}

} // namespace

extern "C" void kov_add_doc_line(const char *line) {
  if (line != nullptr) registered_lines().emplace_back(line);
}

extern "C" int doc(const char *name) {
  if (kovxargc != 1 || redin() != 0) return 0;
  if (!registered_lines().empty()) page_doc();
  const char *given = name != nullptr ? name : "";
  if (is_text(given)) show_text(given);
  show_source(given);
}

extern "C" const char *find_doc(const char *name) {
  if (name == nullptr) return nullptr;
  const char *relative = name;
  if (name[0] == '/') {
    const std::size_t n = std::min(std::strlen(name), sizeof kBaseDir - 1);
    if (std::strncmp(name, kBaseDir, n) != 0) return name;
    relative = name + n;
    while (*relative == '/') ++relative;
  }
  static char located[kPathRoom];
  for (int index = 0;; ++index) {
    const char *dir = get_doc_path(index);
    if (dir == nullptr) return name;
    const std::string candidate = std::string(dir) + "/" + relative;
    struct stat status {};
    if (candidate.size() < sizeof located && ::stat(candidate.c_str(), &status) == 0) {
      std::memcpy(located, candidate.c_str(), candidate.size() + 1);
      return located;
    }
  }
}

extern "C" const char *get_doc_path(int index) {
  static char list[kPathRoom];
  if (const char *extra = std::getenv("KOV_DOC_PATH"))
    std::snprintf(list, sizeof list, "%s:%s:%s", kBaseDir, kSourceDir, extra);
  else
    std::snprintf(list, sizeof list, "%s:%s", kBaseDir, kSourceDir);
  if (index < 0) return nullptr;
  char *entry = list;
  for (int i = 0; i < index; ++i) {
    char *colon = std::strchr(entry, ':');
    if (colon == nullptr) return nullptr;
    entry = colon + 1;
  }
  if (char *colon = std::strchr(entry, ':')) *colon = '\0';
  return entry;
}

extern "C" void page_doc(void) {
  // The command takes the whole PAGER value, however long it is.
  const char *pager = std::getenv("PAGER");
  const std::string command = std::string(pager != nullptr ? pager : kMore) + " 1>&2";
  std::fflush(stdout);
  std::FILE *pipe = start_pager(command);
  for (const std::string &line : registered_lines())
    if (std::fprintf(pipe, "%s\n", line.c_str()) < 0) piping_failed();
  finish(pipe);
}

// ---- Foreign-caller entry points --------------------------------------------

using kov::fort::TextIn;

extern "C" void kov_add_doc_line_(const char *line, std::size_t len) {
  kov_add_doc_line(TextIn(line, len));
}
extern "C" void kov_add_doc_line__(const char *line, std::size_t len) {
  kov_add_doc_line_(line, len);
}

extern "C" int doc_(const char *name, std::size_t len) { return doc(TextIn(name, len)); }

// Public names of the routines above (bound_names.h).
KOV_PUBLIC_NAME(doc)
KOV_PUBLIC_NAME(doc_)
KOV_PUBLIC_NAME(find_doc)
KOV_PUBLIC_NAME(get_doc_path)
KOV_PUBLIC_NAME(kov_add_doc_line)
KOV_PUBLIC_NAME(kov_add_doc_line_)
KOV_PUBLIC_NAME(kov_add_doc_line__)
KOV_PUBLIC_NAME(page_doc)
