// SPDX-License-Identifier: Apache-2.0
// kovhelp_embed: renders a manual page to plain text at build time and
// writes it as a C++ source defining kovhelp::manual_text.
//
//   kovhelp_embed velmodel.1 velmodel_manual.cpp
#include "kovhelp.hpp"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s page.1 out.cpp\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
    return 1;
  }
  const std::string roff((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string text = kovhelp::render(roff);

  std::ostringstream src;
  src << "// Generated from " << argv[1] << " by kovhelp_embed.\n"
      << "#include \"kovhelp.hpp\"\n\nconst char kovhelp::manual_text[] =\n";
  std::string line = "    \"";
  for (const char c : text) {
    if (c == '"' || c == '\\') line += '\\';
    if (c == '\n') {
      src << line << "\\n\"\n";
      line = "    \"";
      continue;
    }
    line += c;
  }
  src << line << "\";\n";

  std::ofstream out(argv[2], std::ios::binary);
  out << src.str();
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
    return 1;
  }
  return 0;
}
