# SPDX-License-Identifier: Apache-2.0
"""What the whole-program benchmarks share: timing a shell script, timing two
scripts alternately against each other, the peak memory of a script, and
the measurements of velmodel's file writes and memory that more than one
benchmark reports.  Imported by the benchmarks in this folder (run them from
anywhere: Python puts a script's own folder on its path)."""
import os
import statistics
import subprocess
import sys
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


def memory(velmodel, d):
    small = peak_rss(f"'{velmodel}' n1=500 n2=3000 datapath='{d}/' > rss.H 2>/dev/null", d)
    large = peak_rss(f"'{velmodel}' n1=500 n2=300000 datapath='{d}/' > rss.H 2>/dev/null", d)
    print(f"memory: peak RSS n2=3000 {small} KiB, n2=300000 {large} KiB, "
          f"difference {large - small} KiB (goal: within 1024)", flush=True)
    remove(os.path.join(d, "rss.H"), os.path.join(d, "rss.H@"))
