#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The reference build fails on an undocumented routine or parameter.

Runs Doxygen with the project's configuration on copies of the public
headers: unchanged they pass; with one routine's comment, or one parameter's
line, removed they must fail and name what is missing.

Usage: undocumented_test.py <doxygen> <Doxyfile> <kovlib.h> <kov.hpp>
"""
import pathlib
import re
import subprocess
import sys
import tempfile

doxygen, doxyfile, kovlib_h, kov_hpp = sys.argv[1:5]
config = pathlib.Path(doxyfile).read_text()


def run(headers, work):
    """Doxygen over the given {name: text} headers; (exit status, warnings)."""
    inputs = []
    for name, text in headers.items():
        path = work / name
        path.write_text(text)
        inputs.append('"%s"' % path)
    out = work / "out"
    # The configuration of the build, output formats included: Doxygen
    # checks the parameters only while it writes pages.
    overrides = "\nINPUT = %s\nOUTPUT_DIRECTORY = \"%s\"\nSTRIP_FROM_PATH = \"%s\"\n" % (
        " ".join(inputs), out, work)
    done = subprocess.run([doxygen, "-"], input=config + overrides, capture_output=True,
                          text=True)
    return done.returncode, done.stdout + done.stderr


def without_comment(text, declaration):
    """The text with the doc comment right before `declaration` removed."""
    at = text.index(declaration)
    start = text.rindex("/**", 0, at)
    assert "*/" in text[start:at], declaration
    return text[:start] + text[at:]


def without_param(text, declaration, param):
    """The text with the line of `param` removed from the doc comment right
    before `declaration`."""
    at = text.index(declaration)
    start = text.rindex("/**", 0, at)
    comment = text[start:at]
    line = re.search(r"\n \* \\param(\[\w+\])? %s .*" % re.escape(param), comment)
    assert line, (declaration, param)
    return text[:start] + comment[:line.start()] + comment[line.end():] + text[at:]


core = pathlib.Path(kovlib_h).read_text()
typed = pathlib.Path(kov_hpp).read_text()
cases = [
    ("unchanged", {"kovlib.h": core, "kov.hpp": typed}, None),
    ("routine without comment",
     {"kovlib.h": without_comment(core, "int getch(const char *name"), "kov.hpp": typed},
     r"getch\(const char \*name.*not documented"),
    ("parameter without line",
     {"kovlib.h": without_param(core, "int getch_n(", "room"), "kov.hpp": typed},
     r"getch_n\(.*is not documented:\s*\n\s*parameter 'room'"),
    ("typed routine without comment",
     {"kovlib.h": core, "kov.hpp": without_comment(typed, "void from_param_int(")},
     r"from_param_int.*not documented"),
]

failures = []
for title, headers, expected in cases:
    if any(text is None for text in headers.values()):
        failures.append("%s: could not prepare the copy" % title)
        continue
    with tempfile.TemporaryDirectory() as tmp:
        status, log = run(headers, pathlib.Path(tmp))
    if expected is None:
        if status != 0:
            failures.append("%s: Doxygen failed (%d):\n%s" % (title, status, log[:3000]))
    elif status == 0:
        failures.append("%s: Doxygen passed" % title)
    elif not re.search(expected, log):
        failures.append("%s: no warning matching %r:\n%s" % (title, expected, log[:3000]))
    print("%s: status %d%s" % (title, status, "".join("\n  " + l for l in log.splitlines()[:3])))

if failures:
    print("\n".join(failures), file=sys.stderr)
    sys.exit(1)
