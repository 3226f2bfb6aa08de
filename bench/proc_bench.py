#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of the processing programs against their anchors,
in one run, pairs alternating, medians:

  kovmath a=a.H b=b.H output="sqrt(a*a+b*b)"   against NumPy (numpy.fromfile
      of both, float64, written with tofile)          goal <= 1.5
  kovcat a.H b.H axis=2 (the slowest axis)      against cat a.H@ b.H@ > out
                                                      goal <= 1.3
  kovcat a.H b.H axis=1                         against the same cat, goal <= 2
  kovtransp plane=12 memsize=2048               against cp of the data file,
                                                      goal <= 2
  kovtransp plane=12 memsize=64                 against the same cp, goal <= 4
  kovstack axis=2                               against cat data > /dev/null,
                                                      goal <= 1.3

The full-size dataset is SIZE MiB (default 1024: velmodel n1=2048
n2=131072); a and b are each half of it.  Also prints the peak resident
memory of kovmath, kovcat and kovstack on it.  Everything goes to a scratch
directory (default: a new one under /tmp), removed at the end.  PROGRAMS
(default: all) names the programs to time, separated by commas, e.g.
kovstack alone.

Usage: proc_bench.py BIN_DIR [SIZE_MIB] [REPEATS] [DIRECTORY] [PROGRAMS]
"""
import os
import shutil
import sys
import tempfile

from bench_common import compare, peak_rss, remove, timed

NUMPY = ("import numpy as np;"
         "a=np.fromfile('{a}',dtype='>f4').astype(np.float64);"
         "b=np.fromfile('{b}',dtype='>f4').astype(np.float64);"
         "np.sqrt(a*a+b*b).astype('>f4').tofile('np.out')")


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    base = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
    timing = set(sys.argv[5].split(",")) if len(sys.argv) > 5 else {"kovmath", "kovcat", "kovtransp", "kovstack"}
    unknown = timing - {"kovmath", "kovcat", "kovtransp", "kovstack"}
    if unknown:
        sys.exit(f"proc_bench.py: no benchmark of {', '.join(sorted(unknown))}")
    work = tempfile.mkdtemp(prefix="kovproc_bench.", dir=base)
    os.environ["DATAPATH"] = work + "/"
    prog = {n: os.path.join(bin_dir, n) for n in ("velmodel", "kovmath", "kovcat", "kovtransp", "kovstack")}
    n2 = size * 1024 * 1024 // (2048 * 4)
    try:
        timed(f"{prog['velmodel']} n1=2048 n2={n2} > full.H 2>/dev/null", work)
        halves = bool(timing & {"kovmath", "kovcat"})
        if halves:
            timed(f"{prog['velmodel']} n1=2048 n2={n2 // 2} > a.H 2>/dev/null", work)
            timed(f"{prog['velmodel']} n1=2048 n2={n2 // 2} v0=3000 > b.H 2>/dev/null", work)
        timed("cat full.H@" + (" a.H@ b.H@" if halves else "") + " > /dev/null", work)  # warm the page cache
        clean = lambda: remove(*(os.path.join(work, f) for f in
                                 ("m.H", "m.H@", "c.H", "c.H@", "t.H", "t.H@", "np.out", "cat.out", "cp.out")))
        print(f"data: {size} MiB (kovmath/kovcat inputs {size // 2} MiB each), {repeats} pairs", flush=True)
        if "kovmath" in timing:
            compare("kovmath sqrt(a*a+b*b) / NumPy",
                    f"{prog['kovmath']} a=a.H b=b.H 'output=sqrt(a*a+b*b)' > m.H",
                    f"{sys.executable} -c \"{NUMPY.format(a='a.H@', b='b.H@')}\"", work, repeats, clean, 1.5)
        if "kovcat" in timing:
            compare("kovcat axis=2 / cat", f"{prog['kovcat']} a.H b.H axis=2 > c.H",
                    "cat a.H@ b.H@ > cat.out", work, repeats, clean, 1.3)
            compare("kovcat axis=1 / cat", f"{prog['kovcat']} a.H b.H axis=1 > c.H",
                    "cat a.H@ b.H@ > cat.out", work, repeats, clean, 2.0)
        if "kovtransp" in timing:
            compare("kovtransp plane=12 memsize=2048 / cp",
                    f"{prog['kovtransp']} full.H plane=12 memsize=2048 > t.H", "cp full.H@ cp.out",
                    work, repeats, clean, 2.0)
            compare("kovtransp plane=12 memsize=64 / cp",
                    f"{prog['kovtransp']} full.H plane=12 memsize=64 > t.H", "cp full.H@ cp.out",
                    work, repeats, clean, 4.0)
        if "kovstack" in timing:
            compare("kovstack axis=2 / cat", f"{prog['kovstack']} full.H axis=2 > m.H",
                    "cat full.H@ > /dev/null", work, repeats, clean, 1.3)
        for name, script in (("kovmath", f"{prog['kovmath']} a=a.H b=b.H 'output=sqrt(a*a+b*b)' > m.H"),
                             ("kovcat", f"{prog['kovcat']} a.H b.H axis=1 > c.H"),
                             ("kovstack", f"{prog['kovstack']} full.H axis=2 > m.H"),
                             ("kovtransp memsize=64", f"{prog['kovtransp']} full.H plane=12 memsize=64 > t.H")):
            if name.split()[0] not in timing:
                continue
            clean()
            print(f"peak resident memory of {name}: {peak_rss(script, work) / 1024:.1f} MiB", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
