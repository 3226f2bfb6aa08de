// SPDX-License-Identifier: Apache-2.0
// The programs' outputs appear whole or not at all: a write that fails at
// some point (a file-size limit, a full device, a close that reports an
// error), a signal or kill -9 leave either the previous dataset or nothing
// that a reader takes for a dataset, and no temporary that outlives its
// process for long.
#include "tool_runs.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using kovtest::ToolDir;

// `limited KB cmd...` runs cmd with a file-size limit (the signal ignored,
// so that the write fails with EFBIG); `temporaries` lists what the
// programs write under temporary names; `not_dataset H` fails unless
// neither kovinfo nor the Python package reads H as a dataset;
// `failing_close TEXT cmd...` runs cmd with close() failing on files whose
// name contains TEXT.
const std::string kHelpers = std::string(R"sh(
limited() { local kb=$1; shift; ( trap '' XFSZ; ulimit -f "$kb"; "$@" ); }
temporaries() { find . -name '*.kovtmp-*' | sort; }
pyread() {
  [ -n "$pypath" ] || return 1
  PYTHONPATH="$pypath" "$python" -c 'import kov, sys; kov.open(sys.argv[1]).read()' "$1" 2>/dev/null
}
not_dataset() {
  if "$kovinfo" "$1" >/dev/null 2>&1; then echo "kovinfo reads $1"; return 1; fi
  if pyread "$1"; then echo "python reads $1"; return 1; fi
}
failing_close() {
  local text=$1; shift
  KOV_FAIL_CLOSE="$text" LD_PRELOAD="$shim" ASAN_OPTIONS="verify_asan_link_order=0:${ASAN_OPTIONS:-}" "$@"
}
shim=')sh") + KOV_FAIL_SHIM + "'\npypath='" +
                             KOV_PYTHON_PACKAGE + "'\n" + "kovpng='" + KOV_KOVPNG + "'\nset -u\n";

int run(const ToolDir &dir, const std::string &script) { return dir.run(kHelpers + script); }

TEST(AtomicOutputs, AFailedWriteKeepsTheOldDatasetAndLeavesNoTemporary) {
  ToolDir dir;
  // Over a named header and its data file, over a multi-file set, and a
  // header on the standard output (emptied).
  ASSERT_EQ(run(dir, R"sh(
exec 2>err
"$velmodel" n1=500 n2=600 head=v.H && cp v.H v.old && cp v.H@ v.old@ || exit 1
limited 64 "$velmodel" n1=500 n2=900 head=v.H; [ $? = 23 ] || exit 2
cmp v.H v.old && cmp v.H@ v.old@ || exit 3
"$kovinfo" v.H >/dev/null || exit 4
"$velmodel" n1=500 n2=1000 head=m.H nfiles=3 filesize=1 || exit 5
[ -s m.H@ ] && [ -s m.H@1 ] && [ -e m.H@2 ] || exit 6
for f in m.H m.H@ m.H@1 m.H@2; do cp $f $f.old; done
limited 512 "$velmodel" n1=500 n2=800 head=m.H nfiles=3 filesize=1; [ $? = 23 ] || exit 7
for f in m.H m.H@ m.H@1 m.H@2; do cmp $f $f.old || exit 8; done
limited 64 "$velmodel" n1=500 n2=900 > s.H; [ $? = 23 ] || exit 9
[ ! -s s.H ] && [ ! -e s.H@ ] || exit 10
[ -z "$(temporaries)" ] || exit 11
)sh"),
            0)
      << dir.read("err");
  EXPECT_NE(dir.read("err").find("File too large"), std::string::npos) << dir.read("err");
}

TEST(AtomicOutputs, AFilterThatFailsLeavesNoDescriptionOfItsInput) {
  ToolDir dir;
  // kovwindow's header starts with its input's history: cut short, it would
  // describe the input.  A file-size limit and a full device; segy2kov's
  // data file too, also when it is named after the program.
  ASSERT_EQ(run(dir, R"sh(
exec 2>err
"$velmodel" n1=300 n2=1000 > in.H || exit 1
limited 64 "$kovwindow" n2=900 < in.H > w.H; [ $? = 23 ] || exit 2
not_dataset w.H && [ ! -e w.H@ ] || exit 3
"$kovwindow" n2=900 out=/dev/full < in.H > f.H; [ $? = 23 ] || exit 4
not_dataset f.H || exit 5
"$kov2segy" in.H out=in.sgy || exit 6
limited 256 "$segy2kov" in.sgy > s.H; [ $? = 23 ] || exit 7
not_dataset s.H && [ ! -e s.H@ ] || exit 8
mkdir sub
limited 256 "$segy2kov" in.sgy > sub/s.H; [ $? = 23 ] || exit 9
not_dataset sub/s.H || exit 10
[ -z "$(find . -name 'segy2kov@*')" ] && [ -z "$(temporaries)" ] || exit 11
)sh"),
            0)
      << dir.read("err");
  EXPECT_NE(dir.read("err").find("No space left on device"), std::string::npos) << dir.read("err");
}

TEST(AtomicOutputs, SignalsRemoveTemporariesAndStaleOnesGoWithTheNextWrite) {
  ToolDir dir;
  // kovwindow waits for the rest of its input (a pipe) with its output
  // begun; it is stopped there.
  ASSERT_EQ(run(dir, R"sh(
exec 2>err
"$velmodel" n1=300 n2=400 out=stdout > full || exit 1
"$velmodel" n1=300 n2=400 head=h.H && cp h.H h.old && cp h.H@ h.old@ || exit 2
begun() {  # wait until the output has begun
  for i in $(seq 200); do eval "$1" && return 0; sleep 0.05; done; return 1
}
stalled() {  # stalled SIGNAL CONDITION ARGS...: start kovwindow, stop it once CONDITION holds
  local sig=$1 cond=$2; shift 2
  rm -f p; mkfifo p
  "$kovwindow" n2=300 "$@" < p & pid=$!
  exec 3>p; head -c 200000 full >&3
  begun "$cond" || { echo "never began"; kill -KILL $pid; return 1; }
  kill -$sig $pid; wait $pid; status=$?; exec 3>&-
}
stalled TERM '[ -s w.H ]' > w.H || exit 3
[ $status = 143 ] && not_dataset w.H && [ -z "$(temporaries)" ] || exit 4
stalled TERM '[ -n "$(temporaries)" ]' head=h.H || exit 5
[ $status = 143 ] && [ -z "$(temporaries)" ] && cmp h.H h.old && cmp h.H@ h.old@ || exit 6
stalled KILL '[ -n "$(temporaries)" ]' head=h.H || exit 7
[ $status = 137 ] && cmp h.H h.old && cmp h.H@ h.old@ || exit 8
killed=$pid
[ -n "$(temporaries | grep "kovtmp-$killed-")" ] || exit 9
: > .h.H.kovtmp-$$-alive   # a process that still runs (this shell)
"$kovwindow" n2=300 head=h.H < full || exit 10
[ "$(temporaries)" = "./.h.H.kovtmp-$$-alive" ] || { temporaries; exit 11; }
"$kovinfo" h.H | grep -q 'n2=300' || exit 12
)sh"),
            0)
      << dir.read("err");
}

TEST(CheckedClose, AnErrorReportedAtCloseFailsTheRun) {
  ToolDir dir;
  ASSERT_EQ(run(dir, R"sh(
exec 2>err
"$velmodel" n1=300 n2=100 > in.H || exit 1
failing_close v.H@ "$velmodel" n1=300 n2=100 > v.H; [ $? = 23 ] || exit 2
not_dataset v.H && [ ! -e v.H@ ] || exit 3
failing_close h.H "$velmodel" n1=300 n2=100 head=h.H; [ $? = 23 ] || exit 4
[ ! -e h.H ] && [ ! -e h.H@ ] || exit 5
failing_close w.H@ "$kovwindow" n2=50 < in.H > w.H; [ $? = 23 ] || exit 6
not_dataset w.H && [ ! -e w.H@ ] || exit 7
"$kov2segy" in.H out=in.sgy || exit 8
failing_close s.H@ "$segy2kov" in.sgy > s.H; [ $? = 23 ] || exit 9
not_dataset s.H && [ ! -e s.H@ ] || exit 10
failing_close o.sgy "$kov2segy" in.H out=o.sgy; [ $? = 23 ] || exit 11
[ ! -e o.sgy ] && [ -z "$(temporaries)" ] || exit 12
)sh"),
            0)
      << dir.read("err");
  const std::string err = dir.read("err");
  EXPECT_NE(
      err.find("velmodel: cannot close the data file " + (dir / "v.H@") + ": Input/output error"),
      std::string::npos)
      << err;
  EXPECT_NE(err.find("kov2segy: cannot write o.sgy: Input/output error"), std::string::npos) << err;
}

TEST(CheckedClose, KovpngNamesTheSystemsReason) {
  if (std::string(KOV_KOVPNG).empty()) GTEST_SKIP() << "kovpng not built";
  ToolDir dir;
  ASSERT_EQ(run(dir, R"sh(
exec 2>err
"$velmodel" n1=300 n2=100 > in.H || exit 1
"$kovpng" in.H out=/dev/full; [ $? = 23 ] || exit 2
failing_close p.png "$kovpng" in.H out=p.png; [ $? = 23 ] || exit 3
[ ! -e p.png ] && [ -z "$(temporaries)" ] || exit 4
)sh"),
            0)
      << dir.read("err");
  const std::string err = dir.read("err");
  EXPECT_NE(err.find("kovpng: cannot write /dev/full: No space left on device"), std::string::npos)
      << err;
  EXPECT_NE(err.find("kovpng: cannot write p.png: Input/output error"), std::string::npos) << err;
}

} // namespace
