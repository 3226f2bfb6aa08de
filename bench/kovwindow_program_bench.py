#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of the kovwindow program (not the windowed engine
alone: see kovwindow_engine_bench.cpp) against cat.

Writes a dataset of 1 GiB with velmodel (n1=1024 n2=262144, 4 KiB traces)
to a scratch directory, reads it once to warm the page cache, then in the
same run, alternating, several times each:
  kovwindow vel.H j2=2 out=/dev/null > /dev/null   (every other trace: the
      window read through the windowed transfer, the samples converted and
      written to /dev/null)
  cat vel.H@ > /dev/null                           (the whole file)
and prints each run's time and speed (bytes of the file per second), the
medians, and the ratio of the medians (the goal is at least 0.5).  With
`j2=` (e.g. j2=8) another step is measured instead of 2.

Also prints the peak resident memory of kovwindow for the window of the
1 GiB file and for a window of a 64 MiB one (it must not grow with the
data).

Usage: kovwindow_program_bench.py PATH/TO/velmodel PATH/TO/kovwindow [REPEATS] [DIRECTORY] [j2=N]
"""
import os
import statistics
import subprocess
import sys
import tempfile

from bench_common import peak_rss, timed

MIB = 1024 * 1024


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("j2=")]
    step = next((a for a in sys.argv[1:] if a.startswith("j2=")), "j2=2")
    velmodel = os.path.abspath(args[0])
    kovwindow = os.path.abspath(args[1])
    repeats = int(args[2]) if len(args) > 2 else 5
    base = args[3] if len(args) > 3 else None
    n1, n2 = 1024, 262144
    with tempfile.TemporaryDirectory(dir=base) as d:
        model = (f"'{velmodel}' n1={n1} n2={{n2}} d1=1 depth=100 z1=500 z2=800 datapath='{d}/' "
                 f"> {{name}} 2>/dev/null")
        subprocess.run(model.format(n2=n2, name="vel.H"), shell=True, check=True, cwd=d,
                       stdin=subprocess.DEVNULL)
        subprocess.run(model.format(n2=n2 // 16, name="small.H"), shell=True, check=True, cwd=d,
                       stdin=subprocess.DEVNULL)
        size = os.path.getsize(os.path.join(d, "vel.H@"))
        window = f"'{kovwindow}' vel.H {step} out=/dev/null > /dev/null"
        plain = "cat vel.H@ > /dev/null"
        timed(plain, d)  # the file in the page cache, as for every run below

        windowed, whole = [], []
        for rep in range(repeats):
            t_window = timed(window, d)
            t_cat = timed(plain, d)
            windowed.append(size / MIB / t_window)
            whole.append(size / MIB / t_cat)
            print(f"run {rep + 1}: kovwindow {step} in {t_window:.3f} s "
                  f"({windowed[-1]:.0f} MiB/s of the file); cat {size} bytes in {t_cat:.3f} s "
                  f"({whole[-1]:.0f} MiB/s)")
        med_w, med_c = statistics.median(windowed), statistics.median(whole)
        print(f"kovwindow {step}: best {max(windowed):.0f} MiB/s, median {med_w:.0f} MiB/s")
        print(f"cat:              best {max(whole):.0f} MiB/s, median {med_c:.0f} MiB/s")
        print(f"ratio of the medians: {med_w / med_c:.2f} (goal: at least 0.50)")

        big = peak_rss(window, d)
        small = peak_rss(f"'{kovwindow}' small.H {step} out=/dev/null > /dev/null", d)
        print(f"peak memory: {big} KiB for the 1 GiB file, {small} KiB for a 64 MiB one")


if __name__ == "__main__":
    main()
