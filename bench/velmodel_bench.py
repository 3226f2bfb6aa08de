#!/usr/bin/env python3
"""Whole-program benchmark of velmodel.

1. Writes a model of about 1 GiB (n1=2000 n2=131072) to a file and, in the
   same run, the same number of bytes to the same file system with a plain
   `head -c`, and prints both times and their ratio.
2. Measures the peak resident memory of velmodel for n2=3000 and n2=300000
   at n1=500 (it must not grow with n2).

Usage: velmodel_bench.py PATH/TO/velmodel [DIRECTORY]
"""
import os
import resource
import subprocess
import sys
import tempfile
import time


def run(cmd, cwd):
    """Run a shell command; return (seconds, peak RSS of the child in KiB)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    subprocess.run(cmd, shell=True, cwd=cwd, check=True, stdin=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    # ru_maxrss of children is the largest of any child so far.
    after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return seconds, max(before, after)


def peak_rss(velmodel, args, cwd):
    """Peak RSS in KiB of one velmodel run, measured in a fresh process."""
    probe = (
        "import resource,subprocess,sys;"
        "subprocess.run(sys.argv[1],shell=True,check=True,stdin=subprocess.DEVNULL);"
        "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
    )
    cmd = f"'{velmodel}' datapath='{cwd}/' {args} > rss.H 2>/dev/null"
    out = subprocess.run([sys.executable, "-c", probe, cmd], cwd=cwd, check=True,
                         capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return int(out.stdout.strip())


def main():
    velmodel = os.path.abspath(sys.argv[1])
    base = sys.argv[2] if len(sys.argv) > 2 else None
    with tempfile.TemporaryDirectory(dir=base) as d:
        n1, n2 = 2000, 131072
        nbytes = n1 * n2 * 4
        for rep in range(2):
            t_model, _ = run(f"'{velmodel}' n1={n1} n2={n2} depth=5000 z1=10000 z2=15000 "
                             f"datapath='{d}/' > vel.H 2>/dev/null", d)
            size = os.path.getsize(os.path.join(d, "vel.H@"))
            os.remove(os.path.join(d, "vel.H@"))
            t_head, _ = run(f"head -c {nbytes} /dev/zero > plain.bin", d)
            os.remove(os.path.join(d, "plain.bin"))
            print(f"run {rep + 1}: velmodel {size} bytes in {t_model:.3f} s, "
                  f"head -c {nbytes} bytes in {t_head:.3f} s, ratio {t_model / t_head:.3f}")
        small = peak_rss(velmodel, "n1=500 n2=3000", d)
        large = peak_rss(velmodel, "n1=500 n2=300000", d)
        print(f"peak RSS: n2=3000 {small} KiB, n2=300000 {large} KiB, "
              f"difference {large - small} KiB")


if __name__ == "__main__":
    main()
