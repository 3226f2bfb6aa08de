#!/usr/bin/env python3
"""The three bulk data paths of the family against what this machine can do
at best, measured in the same run.

  file:   velmodel n1=2048 n2=131072 > vel.H  (1 GiB of data to a file)
          against  dd if=/dev/zero of=F bs=1M count=1024             goal <= 1.30
  pipe:   velmodel n1=2048 n2=65536 | sreed_reader  (512 MiB read in 1 MiB sreeds)
          against  dd if=/dev/zero bs=1M count=512 | dd of=/dev/null bs=1M
                                                                     goal <= 1.18
  scan:   kovinfo < vel.H  on the 1 GiB dataset
          against  cat vel.H@ > /dev/null                            goal <= 1.50

Each pair runs alternately (the order flips from one repeat to the next) and
the ratio is that of the medians.  Then the peak resident memory of velmodel
for n2=3000 and n2=300000 (it must not grow with n2).

Usage: limits_bench.py VELMODEL KOVINFO SREED_READER [REPEATS] [SCRATCH_PARENT]
"""
import os
import subprocess
import sys
import tempfile

from bench_common import compare, file_ratio, memory


def pipe_ratio(velmodel, reader, d, repeats):
    return compare("pipe",
                   f"'{velmodel}' n1=2048 n2=65536 sockhost=127.0.0.1 2>/dev/null | '{reader}'",
                   "dd if=/dev/zero bs=1M count=512 2>/dev/null | dd of=/dev/null bs=1M 2>/dev/null",
                   d, repeats, goal=1.18)


def scan_ratio(velmodel, kovinfo, d, repeats):
    subprocess.run(f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                   shell=True, cwd=d, check=True, stdin=subprocess.DEVNULL)
    return compare("scan", f"'{kovinfo}' < vel.H", "cat vel.H@ > /dev/null", d, repeats, goal=1.50)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    velmodel, kovinfo, reader = (os.path.abspath(p) for p in sys.argv[1:4])
    repeats = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    parent = sys.argv[5] if len(sys.argv) > 5 else None
    with tempfile.TemporaryDirectory(dir=parent) as d:
        ratios = [file_ratio(velmodel, d, repeats), pipe_ratio(velmodel, reader, d, repeats),
                  scan_ratio(velmodel, kovinfo, d, repeats)]
        memory(velmodel, d)
    print("ratios: file {:.2f} (<= 1.30), pipe {:.2f} (<= 1.18), scan {:.2f} (<= 1.50)"
          .format(*ratios))


if __name__ == "__main__":
    main()
