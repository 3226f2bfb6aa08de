#!/usr/bin/env python3
"""The three bulk data paths of the family against what this machine can do
at best, measured in the same run.

  file:   velmodel n1=2048 n2=131072 > vel.H  (1 GiB of data to a file)
          against  dd if=/dev/zero of=F bs=1M count=1024             goal <= 1.30
  pipe:   velmodel n1=2048 n2=65536 | kov_reader  (512 MiB read trace by trace)
          against  dd if=/dev/zero bs=1M count=512 | dd of=/dev/null bs=1M
                                                                     goal <= 1.18
  scan:   kovinfo < vel.H  on the 1 GiB dataset
          against  cat vel.H@ > /dev/null                            goal <= 1.50

Each pair runs alternately (the order flips from one repeat to the next) and
the ratio is that of the medians.  Then the peak resident memory of velmodel
for n2=3000 and n2=300000 (it must not grow with n2).

Usage: limits_bench.py VELMODEL KOVINFO KOV_READER [REPEATS] [SCRATCH_PARENT]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time


def timed(script, cwd=None):
    """Run a bash script (pipefail) in `cwd`; return the seconds it took."""
    start = time.perf_counter()
    subprocess.run(["bash", "-o", "pipefail", "-c", script], cwd=cwd, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def compare(name, kov, limit, cwd, repeats, before=lambda: None, goal=None):
    """Time `kov` and `limit` alternately; print each pair and the medians.
    `before` runs untimed ahead of every single run.  Returns the ratio of
    the medians."""
    mine, best = [], []
    for rep in range(repeats):
        order = [(kov, mine), (limit, best)]
        if rep % 2:
            order.reverse()
        for script, times in order:
            before()
            times.append(timed(script, cwd))
        print(f"  {name} run {rep + 1}: kov {mine[-1]:.3f} s, limit {best[-1]:.3f} s, "
              f"ratio {mine[-1] / best[-1]:.2f}", flush=True)
    ratio = statistics.median(mine) / statistics.median(best)
    target = f" (goal <= {goal:.2f})" if goal is not None else ""
    print(f"{name}: median kov {statistics.median(mine):.3f} s, median limit "
          f"{statistics.median(best):.3f} s, ratio {ratio:.2f}{target}", flush=True)
    return ratio


def remove(*paths):
    for p in paths:
        try:
            os.remove(p)
        except FileNotFoundError:
            pass


def peak_rss(script, cwd):
    """Peak resident memory in KiB of the processes of one shell script."""
    probe = ("import resource,subprocess,sys;"
             "subprocess.run(['bash','-c',sys.argv[1]],check=True,stdin=subprocess.DEVNULL);"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", probe, script], cwd=cwd, check=True,
                         capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return int(out.stdout.strip())


def file_ratio(velmodel, d, repeats):
    data = os.path.join(d, "vel.H@")
    plain = os.path.join(d, "plain.bin")
    return compare("file",
                   f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                   f"dd if=/dev/zero of='{plain}' bs=1M count=1024 2>/dev/null", d, repeats,
                   before=lambda: remove(data, plain), goal=1.30)


def pipe_ratio(velmodel, reader, d, repeats):
    return compare("pipe",
                   f"'{velmodel}' n1=2048 n2=65536 sockhost=127.0.0.1 2>/dev/null | '{reader}'",
                   "dd if=/dev/zero bs=1M count=512 2>/dev/null | dd of=/dev/null bs=1M 2>/dev/null",
                   d, repeats, goal=1.18)


def scan_ratio(velmodel, kovinfo, d, repeats):
    subprocess.run(f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                   shell=True, cwd=d, check=True, stdin=subprocess.DEVNULL)
    return compare("scan", f"'{kovinfo}' < vel.H", "cat vel.H@ > /dev/null", d, repeats, goal=1.50)


def memory(velmodel, d):
    small = peak_rss(f"'{velmodel}' n1=500 n2=3000 datapath='{d}/' > rss.H 2>/dev/null", d)
    large = peak_rss(f"'{velmodel}' n1=500 n2=300000 datapath='{d}/' > rss.H 2>/dev/null", d)
    print(f"memory: peak RSS n2=3000 {small} KiB, n2=300000 {large} KiB, "
          f"difference {large - small} KiB (goal: within 1024)", flush=True)
    remove(os.path.join(d, "rss.H"), os.path.join(d, "rss.H@"))


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
