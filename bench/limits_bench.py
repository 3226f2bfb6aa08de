#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The three bulk data paths of the family against what this machine can do
at best, measured in the same run.

  file:   velmodel n1=2048 n2=131072 > vel.H  (1 GiB of data to a file)
          against  dd if=/dev/zero of=F bs=1M count=1024             goal <= 1.30
  pipe:   velmodel n1=2048 n2=65536 | kov_reader  (512 MiB read trace by trace)
          against  dd if=/dev/zero bs=1M count=512 | dd of=/dev/null bs=1M
                                                                     goal <= 1.18
  scan:   kovinfo < vel.H  on the 1 GiB dataset, on each vector path the
          processor runs (KOV_SIMD=plain, avx2, avx512; the widest is the
          default and its ratio the one summed up)
          against  cat vel.H@ > /dev/null                            goal <= 1.30

Each pair runs alternately (the order flips from one repeat to the next) and
the ratio is that of the medians.  Then the peak resident memory of velmodel
for n2=3000 and n2=300000 (it must not grow with n2).

Usage: limits_bench.py VELMODEL KOVINFO KOV_READER [REPEATS] [SCRATCH_PARENT] [scan]
(with `scan` last, the scan alone)
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


def simd_paths(kovinfo, d):
    """The vector paths of kovinfo this processor runs, narrowest first: a
    path it lacks is warned about."""
    paths = []
    for path in ("plain", "avx2", "avx512"):
        run = subprocess.run(f"KOV_SIMD={path} '{kovinfo}' < vel.H", shell=True, cwd=d,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, check=True)
        if "warning" not in run.stderr:
            paths.append(path)
    return paths


def scan_ratio(velmodel, kovinfo, d, repeats):
    """The scan on every path; returns the ratio of the widest (the default)."""
    subprocess.run(f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                   shell=True, cwd=d, check=True, stdin=subprocess.DEVNULL)
    paths = simd_paths(kovinfo, d)
    print(f"scan: paths this processor runs: {', '.join(paths)}", flush=True)
    ratio = None
    for path in paths:
        ratio = compare(f"scan [{path}]", f"KOV_SIMD={path} '{kovinfo}' < vel.H",
                        "cat vel.H@ > /dev/null", d, repeats, goal=1.30)
    return ratio, paths[-1]


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    velmodel, kovinfo, reader = (os.path.abspath(p) for p in sys.argv[1:4])
    repeats = int(sys.argv[4]) if len(sys.argv) > 4 else 5
    parent = sys.argv[5] if len(sys.argv) > 5 and sys.argv[5] else None
    with tempfile.TemporaryDirectory(dir=parent) as d:
        if sys.argv[-1] == "scan" and len(sys.argv) > 6:
            ratio, path = scan_ratio(velmodel, kovinfo, d, repeats)
            print(f"ratio: scan {ratio:.2f} on the {path} path (<= 1.30)")
            return
        ratios = [file_ratio(velmodel, d, repeats), pipe_ratio(velmodel, reader, d, repeats),
                  *scan_ratio(velmodel, kovinfo, d, repeats)]
        memory(velmodel, d)
    print("ratios: file {:.2f} (<= 1.30), pipe {:.2f} (<= 1.18), scan {:.2f} on the {} path "
          "(<= 1.30)".format(*ratios))


if __name__ == "__main__":
    main()
