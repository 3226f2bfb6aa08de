#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Every public routine has a section-3 manual page, man renders them, and
no page names a path of the machine that built it.

Usage: man_pages_test.py <reference dir (holding man/ and html/)> <source dir>
                         <public header>...
"""
import os
import pathlib
import re
import subprocess
import sys

reference = pathlib.Path(sys.argv[1])
man_dir = reference / "man"
source_dir = sys.argv[2]
headers = [pathlib.Path(h) for h in sys.argv[3:]]

DECLARATION = re.compile(
    r"^(?:KOV_NORETURN\s+)?(?:const\s+)?"
    r"(?:void|int|long|double|bool|char|FILE|streaminf|hash_item|kov_off_t|kov_file_size_t|std::string)"
    r"\s*\**\s*(\w+)\(", re.M)


def routines(path):
    text = re.sub(r"/\*.*?\*/", "", path.read_text(), flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    return DECLARATION.findall(text)


names = [name for header in headers for name in routines(header)]
failures = []
if len(names) < 300:
    failures.append("only %d routines found in the headers" % len(names))
missing = [n for n in names if not (man_dir / "man3" / (n + ".3")).is_file()]
if missing:
    failures.append("routines without a manual page: " + " ".join(missing))

env = dict(os.environ, MANPATH=str(man_dir), MANWIDTH="100", MANPAGER="cat", PAGER="cat",
           LC_ALL="C.UTF-8")


def render(args, cwd=None):
    done = subprocess.run(["man"] + args, capture_output=True, text=True, env=env, cwd=cwd,
                          stdin=subprocess.DEVNULL)
    return done.returncode, done.stdout, done.stderr


# A routine of each header, through the manual path and as a file.
for name, phrase in [("getch", "Look a name up on the command line"),
                     ("kov_put_key", "Describe key *key_index"),
                     ("from_param_int", "Fetch a 32-bit integer from getch()"),
                     ("kov_read_2d", "Read a rank-2 array of 32-bit floats")]:
    status, out, err = render(["3", name])
    flat = " ".join(out.split())
    if status != 0 or phrase not in flat or name not in flat:
        failures.append("man 3 %s: status %d, %r missing\n%s%s" % (name, status, phrase,
                                                                   out[:800], err))
status, out, err = render(["-l", "man3/getch.3"], cwd=man_dir)
if status != 0 or "Look a name up on the command line" not in " ".join(out.split()):
    failures.append("man -l man3/getch.3: status %d\n%s%s" % (status, out[:800], err))

# A routine's page is its own: whatis names the routine, and the page says
# what to include and link, what it returns, how it fails and where to look
# next.  (The group pages that Doxygen writes stay as overviews.)
for name, header, link in [("getch", "kov/kovlib.h", "-lkov"),
                           ("sreed", "kov/kovlib.h", "-lkov"),
                           ("kov_put_key", "kov/kov3d.h", "-lkov3d"),
                           ("from_param_int", "kov/kov.hpp", "-lkovtyped")]:
    page = man_dir / "man3" / (name + ".3")
    done = subprocess.run(["lexgrog", str(page)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    if not done.stdout.split(":", 1)[-1].strip().strip('"').startswith(name + " - "):
        failures.append("whatis %s: lexgrog says %r" % (name, done.stdout.strip()))
    status, out, err = render(["-l", str(page)])
    flat = " ".join(out.split())
    for wanted in ("SYNOPSIS", "#include <%s>" % header, "Link with %s" % link,
                   "DESCRIPTION", "RETURN VALUE", "ERRORS", "SEE ALSO", "COPYRIGHT"):
        if wanted not in flat:
            failures.append("man 3 %s: no %r\n%s" % (name, wanted, out[:600]))
    if len(out.splitlines()) > 200:
        failures.append("man 3 %s: %d lines, not a page of one routine" % (name, len(out.splitlines())))

# Installed pages must not carry the build machine's paths.
pages = [p for d in ("man", "html") for p in (reference / d).rglob("*") if p.is_file()]
for page in sorted(pages):
    if source_dir.encode() in page.read_bytes():
        failures.append("%s names the source directory %s" % (page, source_dir))

print("%d routines, each with a page" % len(names))
if failures:
    print("\n".join(failures), file=sys.stderr)
    sys.exit(1)
