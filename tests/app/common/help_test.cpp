// SPDX-License-Identifier: Apache-2.0
// `--help`: the manual page rendered to plain text, and every program
// answering with it instead of running.
#include "kovhelp.hpp"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kovtest::read_file;
using kovtest::TempDir;

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(HelpRender, SectionsFillAndWrapTheText) {
  std::string long_paragraph;
  for (int i = 0; i < 40; ++i) long_paragraph += "word" + std::to_string(i) + " ";
  const std::string text = kovhelp::render(".TH X 1 \"date\"\n"
                                           ".\\\" a comment\n"
                                           ".SH NAME\n"
                                           "x \\- does \\fBthings\\fR\n"
                                           ".SH \"SEE ALSO\"\n" +
                                           long_paragraph +
                                           "\n.PP\n"
                                           "second\n"
                                           "paragraph\n");
  const std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 7u) << text;
  EXPECT_EQ(lines[0], "NAME");
  EXPECT_EQ(lines[1], "       x - does things");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "SEE ALSO");
  std::string words;
  std::size_t i = 4;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    EXPECT_LE(lines[i].size(), 78u) << lines[i];
    EXPECT_EQ(lines[i].rfind("       word", 0), 0u) << lines[i];
    words += lines[i].substr(7) + " ";
  }
  EXPECT_EQ(words, long_paragraph);
  EXPECT_GT(i, 6u) << "the long paragraph is broken over several lines";
  ASSERT_EQ(i + 2, lines.size()) << text;
  EXPECT_EQ(lines[i + 1], "       second paragraph");
}

TEST(HelpRender, TagsFontsNoFillAndEscapes) {
  const std::string text = kovhelp::render(".SH PARAMETERS\n"
                                           ".TP\n"
                                           ".BR n1 \"=500, \" n2 =3000\n"
                                           "samples and traces.\n"
                                           ".IP 1. 4\n"
                                           "a velocity of 1.5\\(muv0 in \\fIm/s\\fP;\n"
                                           ".SH EXAMPLE\n"
                                           ".nf\n"
                                           "velmodel  n2=10 | kovinfo\n"
                                           "echo \"a\\e b\"\n"
                                           ".fi\n"
                                           "joined\\ words and \\&.dots\n");
  EXPECT_EQ(text, "PARAMETERS\n"
                  "       n1=500, n2=3000\n"
                  "              samples and traces.\n"
                  "\n"
                  "       1.  a velocity of 1.5*v0 in m/s;\n"
                  "\n"
                  "EXAMPLE\n"
                  "       velmodel  n2=10 | kovinfo\n"
                  "       echo \"a\\ b\"\n"
                  "       joined words and .dots\n");
}

struct Program {
  const char *name, *path;
};

// Every program answers --help and -h with its rendered manual page on
// standard output, exit 0, and writes nothing else (no dataset, no data
// file under the datapath, no picture or SEG-Y file).
TEST(Help, EveryProgramPrintsItsManualAndWritesNothing) {
  const std::vector<Program> programs = {
      {"velmodel", KOV_VELMODEL},  {"kovinfo", KOV_KOVINFO},     {"kovpng", KOV_KOVPNG},
      {"kov2segy", KOV_KOV2SEGY},  {"kovwindow", KOV_KOVWINDOW}, {"segy2kov", KOV_SEGY2KOV},
      {"kovmath", KOV_KOVMATH},    {"kovstack", KOV_KOVSTACK},   {"kovcat", KOV_KOVCAT},
      {"kovtransp", KOV_KOVTRANSP}, {"kovsynth", KOV_KOVSYNTH},   {"kovnmo", KOV_KOVNMO},
      {"kovmute", KOV_KOVMUTE},    {"kovgain", KOV_KOVGAIN},     {"kovbandpass", KOV_KOVBANDPASS},
      {"kovspectra", KOV_KOVSPECTRA}};
  for (const Program &p : programs) {
    if (std::string(p.path).empty()) continue; // not built here
    // A program's page lies in its own folder, or beside the others.
    const std::string app = std::string(KOV_APP_SOURCE_DIR) + "/";
    const std::string own = app + p.name + "/" + p.name + ".1";
    const std::string manual =
        kovhelp::render(read_file(std::filesystem::exists(own) ? own : app + p.name + ".1"));
    ASSERT_EQ(manual.rfind(std::string("NAME\n       ") + p.name + " - ", 0), 0u) << manual;
    for (const char *flag : {"--help", "-h"}) {
      TempDir dir;
      const std::string work = dir / "work";
      std::filesystem::create_directory(work);
      const std::string command = "cd '" + work + "' && DATAPATH='" + work + "/' '" + p.path +
                                  "' " + flag + " >'" + (dir / "out") + "' 2>'" + (dir / "err") +
                                  "' </dev/null";
      const int raw = std::system(command.c_str());
      ASSERT_TRUE(WIFEXITED(raw)) << p.name << " " << flag;
      EXPECT_EQ(WEXITSTATUS(raw), 0) << p.name << " " << flag << ": " << read_file(dir / "err");
      EXPECT_EQ(read_file(dir / "out"), manual) << p.name << " " << flag;
      EXPECT_EQ(read_file(dir / "err"), "") << p.name << " " << flag;
      EXPECT_TRUE(std::filesystem::is_empty(work)) << p.name << " " << flag;
    }
  }
}

} // namespace
