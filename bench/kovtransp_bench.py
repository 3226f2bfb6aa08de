#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovtransp alone against cp of the same data file, in one run, pairs
alternating, medians:

  kovtransp plane=12 memsize=2048   against cp full.H@, goal <= 2
  kovtransp plane=12 memsize=64     against the same cp, goal <= 4

on a velmodel dataset of SIZE MiB (default 1024: n1=2048 n2=131072), the
output's data to a file of its own.  Besides the wall-clock times it
prints the processor time (user + system, of all threads) of each side:
on a machine shared with other work the wall-clock ratio follows the
ratio of processor time, while an idle one overlaps kovtransp's reading
and writing on two cores.  Also prints kovtransp's peak resident memory.
Everything goes to a scratch directory (default: a new one under /tmp),
removed at the end.

Usage: kovtransp_bench.py BIN_DIR [SIZE_MIB] [REPEATS] [DIRECTORY]
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench_common import peak_rss, remove


def timed(script, cwd):
    """Wall-clock and processor seconds of a bash script."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(["bash", "-o", "pipefail", "-c", script], cwd=cwd, check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def compare(name, mine, limit, cwd, repeats, clean, goal):
    runs = {mine: [], limit: []}
    for rep in range(repeats):
        order = [mine, limit] if rep % 2 == 0 else [limit, mine]
        for script in order:
            clean()
            runs[script].append(timed(script, cwd))
        (kw, kc), (lw, lc) = runs[mine][-1], runs[limit][-1]
        print(f"  {name} run {rep + 1}: kov {kw:.3f} s ({kc:.3f} s cpu), limit {lw:.3f} s "
              f"({lc:.3f} s cpu), ratio {kw / lw:.2f}", flush=True)
    wall = [statistics.median(w for w, _ in runs[s]) for s in (mine, limit)]
    cpu = [statistics.median(c for _, c in runs[s]) for s in (mine, limit)]
    print(f"{name}: median kov {wall[0]:.3f} s, median limit {wall[1]:.3f} s, ratio "
          f"{wall[0] / wall[1]:.2f} (goal <= {goal:.2f}); processor time {cpu[0]:.3f} s "
          f"against {cpu[1]:.3f} s, ratio {cpu[0] / max(cpu[1], 1e-9):.2f}", flush=True)


def main():
    bin_dir = os.path.abspath(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    base = sys.argv[4] if len(sys.argv) > 4 else None
    work = tempfile.mkdtemp(prefix="kovtransp_bench.", dir=base)
    os.environ["DATAPATH"] = work + "/"
    velmodel, kovtransp = (os.path.join(bin_dir, n) for n in ("velmodel", "kovtransp"))
    n2 = size * 1024 * 1024 // (2048 * 4)
    try:
        timed(f"{velmodel} n1=2048 n2={n2} > full.H 2>/dev/null", work)
        timed("cat full.H@ > /dev/null", work)  # warm the page cache
        def clean():
            # Each run starts without the last one's output, and with the
            # written data on disk: otherwise the writeback of one side's
            # gigabyte is charged to the other.
            remove(*(os.path.join(work, f) for f in ("t.H", "t.H@", "cp.out")))
            os.sync()

        print(f"data: {size} MiB, {repeats} pairs, {os.cpu_count()} processors, load average "
              f"{' '.join('%.2f' % x for x in os.getloadavg())}", flush=True)
        for memsize, goal in ((2048, 2.0), (64, 4.0)):
            compare(f"kovtransp plane=12 memsize={memsize} / cp",
                    f"{kovtransp} full.H plane=12 memsize={memsize} > t.H", "cp full.H@ cp.out",
                    work, repeats, clean, goal)
        for memsize in (2048, 64):
            clean()
            rss = peak_rss(f"{kovtransp} full.H plane=12 memsize={memsize} > t.H", work)
            print(f"peak resident memory of kovtransp memsize={memsize}: {rss / 1024:.1f} MiB",
                  flush=True)
        print(f"load average at the end: {' '.join('%.2f' % x for x in os.getloadavg())}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
