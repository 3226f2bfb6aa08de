// SPDX-License-Identifier: Apache-2.0
// kovhelp: every program answers `--help` or `-h`, given as its only
// argument, with its manual page as plain text on standard output, and
// exits 0 without doing anything else.
//
// The manual page (app/<prog>/<prog>.1) is rendered to text when the
// program is built (kov_embed_manual in app/CMakeLists.txt, through render()
// in kovhelp.cpp) and linked in as kovhelp::manual_text; nothing is needed
// at run time.
// The renderer knows the few requests the family's pages use: .TH .SH .SS
// .PP/.P/.LP .TP .IP .nf/.fi .br .B .I and the alternating-font requests
// (.BR .IR .RB .BI ...), and the escapes \f? \- \(xx \e \& and "\ ".
#ifndef KOV_APP_KOVHELP_HPP
#define KOV_APP_KOVHELP_HPP

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace kovhelp {

// The rendered page, defined by the source file that the build generates.
extern const char manual_text[];

// The manual page `roff` as plain text.
std::string render(std::string_view roff);

// When `--help` or `-h` is the only argument: the manual on standard
// output and exit 0 (1 when it cannot be written).  Otherwise returns.
inline void answer_help(int argc, char **argv) {
  if (argc != 2 || (std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0)) return;
  const std::size_t size = std::strlen(manual_text);
  const bool written = std::fwrite(manual_text, 1, size, stdout) == size;
  if (std::fflush(stdout) != 0 || !written) {
    std::fprintf(stderr, "%s: cannot write the manual: %s\n", argv[0], std::strerror(errno));
    std::exit(1);
  }
  std::exit(0);
}

} // namespace kovhelp

#endif
