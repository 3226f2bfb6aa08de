// SPDX-License-Identifier: Apache-2.0
// Every program of the family, run with command lines and headers meant to
// break it: repeat counts far longer than a variable, lists on scalar
// names, texts of 100 kB, names of 9000 characters, values that are not
// numbers or do not fit.  Each run must end with a normal result or a clear
// message, never a signal or a sanitizer report.  The programs are the
// ones the build makes (a list written by CMake), so a program added later
// is covered without touching this file.
#include "test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using kovtest::TempDir;

std::vector<std::string> programs() {
  std::vector<std::string> list;
  std::istringstream in(kovtest::read_file(KOV_PROGRAM_LIST));
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) list.push_back(line);
  return list;
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

struct Ending {
  bool signaled = false;
  int code = 0; // exit status, or the signal number
  std::string err;
};

// Run `program` with `words` in `dir`, standard input from /dev/null and
// files larger than 64 MB refused, so that a size taken from a hostile
// value cannot fill the disk.
Ending run(const TempDir &dir, const std::string &program, const std::vector<std::string> &words) {
  std::vector<std::string> argv_words{program};
  argv_words.insert(argv_words.end(), words.begin(), words.end());
  std::vector<char *> argv;
  for (std::string &w : argv_words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string err = dir / "stderr", out = dir / "stdout";
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.path().c_str()) != 0) ::_exit(99);
    const int in = ::open("/dev/null", O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0) ::_exit(99);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    const rlimit size{64 << 20, 64 << 20};
    ::setrlimit(RLIMIT_FSIZE, &size);
    std::signal(SIGXFSZ, SIG_IGN);
    ::setenv("DATAPATH", (dir / "").c_str(), 1);
    ::execv(program.c_str(), argv.data());
    ::_exit(98);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  Ending r;
  r.signaled = WIFSIGNALED(status);
  r.code = r.signaled ? WTERMSIG(status) : WEXITSTATUS(status);
  r.err = kovtest::read_file(err);
  return r;
}

std::string shorten(const std::string &word) {
  return word.size() <= 60 ? word : word.substr(0, 40) + "...(" + std::to_string(word.size()) + ")";
}

// A normal result, or a failure with a message of the program's own.
void expect_sound(const Ending &r, const std::string &program,
                  const std::vector<std::string> &words) {
  std::string what = base_name(program);
  for (const std::string &w : words) what += " " + shorten(w);
  EXPECT_FALSE(r.signaled) << what << ": killed by signal " << r.code << "\n" << r.err;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << "\n" << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << "\n" << r.err;
  if (!r.signaled && r.code != 0) {
    EXPECT_NE(r.code, 98) << what << ": could not be started";
    EXPECT_FALSE(r.err.empty()) << what << ": status " << r.code << " without a message";
  }
}

// The names the family reads, of every conversion (numbers of each type,
// texts, flags), one of each kind where several behave alike; each run sets
// one of them to a hostile value.
const std::vector<std::string> kNames = {
    "n1",     "n2",       "d1",          "v0",  "clip",   "max",    "width",
    "height", "dscale",   "title",       "out", "in",     "stdin",  "head",
    "esize",  "datapath", "data_format", "par", "indata", "nfiles", "ignore_geometry"};

std::string list_of(int count) {
  std::string text = "1";
  for (int i = 2; i <= count; ++i) text += "," + std::to_string(i);
  return text;
}

// A hostile case: a label for the test's name and the texts it uses (one
// value per case for the command line, so that every test stays short in
// the sanitizer build).
struct Case {
  std::string label;
  std::vector<std::string> texts;
};

// Values given to every name.  Huge positive sizes are left to the headers:
// on the command line they ask velmodel for a model of that size, which is
// no fault but takes long.  The sanitized build, where every run costs
// many times more, gives the values that stress sizes and conversions (a
// fault there is an overflow the sanitizers see); the plain build gives
// them all.
std::vector<Case> word_cases() {
#ifdef KOV_SANITIZED_BUILD
  return {{"RepeatX", {"100000x7"}},
          {"List2000", {list_of(2000)}},
          {"Text100kB", {std::string(100000, 'a')}},
          {"Name9000", {std::string(9000, 'b') + ".H"}},
          {"TooLarge", {"1e400"}},
          {"BelowInt", {"-99999999999"}}};
#else
  return {{"Repeat1000", {"1000*5"}},
          {"RepeatX", {"100000x7"}},
          {"List2000", {list_of(2000)}},
          {"MixedRepeats", {"2*1,1000*2"}},
          {"Text100kB", {std::string(100000, 'a')}},
          {"Name9000", {std::string(9000, 'b') + ".H"}},
          {"Empty", {""}},
          {"NotANumber", {"abc"}},
          {"TooLarge", {"1e400"}},
          {"BelowInt", {"-99999999999"}},
          {"TrailingCharacters", {"1x"}},
          {"LoneMark", {"*"}},
          {"EmptyElements", {",,,"}}};
#endif
}

// Lines added to a valid header (the last one of a name counts).
std::vector<Case> header_cases() {
  return {{"Repeats",
           {"n1=3*5", "n1=1000*5", "n2=1000*5", "o1=1000*5 d1=3*5 o2=9*1", "esize=1000*5",
            "n1=30,30,30"}},
          {"Sizes", {"n1=-5", "n1=0", "esize=0", "n1=abc", "n2=1e400"}},
          {"HugeSizes", {"n1=99999999999", "n1=2147483647 n2=2147483647", "n1=2147483647"}},
          {"Texts",
           {"in=", "in=;;;", "in=\"", "n1='", "label1=" + std::string(100000, 'l'),
            "data_format=" + std::string(9000, 'f'), "in=" + std::string(100000, 'i'),
            std::string(9000, 'k') + "=1"}}};
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.label; }

using Param = std::tuple<std::string, Case>;

class Hostile : public ::testing::TestWithParam<Param> {
protected:
  // A small valid model, the input of the tools.
  void SetUp() override {
    const Ending made = run(dir_, velmodel(), {"n1=300", "n2=20"});
    ASSERT_FALSE(made.signaled);
    ASSERT_EQ(made.code, 0) << made.err;
    std::filesystem::rename(dir_ / "stdout", dir_ / "vel.H");
  }

  static std::string velmodel() {
    for (const std::string &p : programs())
      if (base_name(p) == "velmodel") return p;
    return {};
  }

  const std::string &program() const { return std::get<0>(GetParam()); }
  const Case &hostile() const { return std::get<1>(GetParam()); }

  // Run the program once for every name with `value`, after a command line
  // that keeps its work small.
  void every_name(const std::string &value) {
    for (const std::string &name : kNames) {
      const std::vector<std::string> words{"stdin=vel.H", "n1=300",     "n2=20",
                                           "width=240",   "height=160", name + "=" + value};
      expect_sound(run(dir_, program(), words), program(), words);
    }
  }

  // Run the program with header `text` as its input, and unless the header
  // asks for a huge dataset, as its `indata`.
  void header(const std::string &text, const std::string &label, bool huge) {
    kovtest::write_file(dir_ / "h.H", text);
    for (const char *word : {"stdin=h.H", "indata=h.H"}) {
      if (huge && word[0] == 'i') continue;
      const std::vector<std::string> words{word, "n1=300", "n2=20", "width=240", "height=160"};
      expect_sound(run(dir_, program(), words), program(), {word, "(header with " + label + ")"});
    }
  }

  TempDir dir_;
};

class HostileWord : public Hostile {};
class HostileHeader : public Hostile {};

TEST_P(HostileWord, OnEveryName) {
  for (const std::string &value : hostile().texts) every_name(value);
  if (hostile().label == "Name9000") {
    const std::vector<std::string> words{std::string(9000, 'n') + "=1", "stdin=vel.H"};
    expect_sound(run(dir_, program(), words), program(), words);
  }
}

TEST_P(HostileHeader, AsInputAndAsIndata) {
  const std::string valid = kovtest::read_file(dir_ / "vel.H");
  const bool huge = hostile().label == "HugeSizes";
  for (const std::string &tail : hostile().texts)
    header(valid + "\n" + tail + "\n", shorten(tail), huge);
  if (hostile().label == "Texts") {
    header("", "nothing", false);
    header("n1=3*5\n", "only n1=3*5", false);
    header(std::string("n1=30 n2=20 in=vel.H@\0n1=5\n", 28), "a NUL byte", false);
  }
}

// Values that are not clean numbers are taken as before and told on
// standard error; the history on standard output holds the values taken.
TEST(VelmodelParameters, ValuesThatAreNotNumbersAreToldOnStandardErrorOnly) {
  std::string velmodel;
  for (const std::string &p : programs())
    if (base_name(p) == "velmodel") velmodel = p;
  TempDir dir;
  // d3 is read and not used (the model is 2-D): an infinite o2 or d2 would
  // make the model undefined, which is refused.
  const std::vector<std::string> words{"n1=300.9", "n2=10", "v2=abc", "d3=1e400"};
  const Ending r = run(dir, velmodel, words);
  ASSERT_FALSE(r.signaled);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string history = kovtest::read_file(dir / "stdout");
  EXPECT_NE(history.find("From par: n1=300\n"), std::string::npos) << history;
  EXPECT_NE(history.find("From par: v2=0\n"), std::string::npos) << history;
  EXPECT_EQ(history.find("warning"), std::string::npos) << history;
  for (const char *told : {"parameter n1: \"300.9\" has characters after the number; taking 300",
                           "parameter v2: \"abc\" is not a number; taking 0",
                           "parameter d3: \"1e400\" is out of range; taking inf"})
    EXPECT_NE(r.err.find(told), std::string::npos) << told << " in\n" << r.err;
}

std::string test_name(const ::testing::TestParamInfo<Param> &info) {
  return base_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).label;
}

INSTANTIATE_TEST_SUITE_P(Programs, HostileWord,
                         ::testing::Combine(::testing::ValuesIn(programs()),
                                            ::testing::ValuesIn(word_cases())),
                         test_name);
INSTANTIATE_TEST_SUITE_P(Programs, HostileHeader,
                         ::testing::Combine(::testing::ValuesIn(programs()),
                                            ::testing::ValuesIn(header_cases())),
                         test_name);

} // namespace
