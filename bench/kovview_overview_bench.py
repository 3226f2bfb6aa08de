#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovview's overview of a 1 GiB dataset: the window the first picture asks
for (every sample, 700 rows by 1000 columns, each the mean of its cell),
timed at the server, its whole traces copied out of the data file (the
default) against the same server stacking them through a mapping of it
(KOVVIEW_READ=map), and against `cat` of the data file.

Writes velmodel n1=2048 n2=131072 (1 GiB, xdr_float) to a scratch
directory, reads it once into the page cache, starts the two servers, and
times REPEATS rounds of the three, their order turned each round; prints
each round and the medians.  The goal: the overview within 2x cat.

Usage: kovview_overview_bench.py PATH/TO/velmodel PATH/TO/kovview [REPEATS] [DIRECTORY]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from bench_common import timed
from kovview_bench import cpu

QUERY = "api/window?axes=12&rows=700&cols=1000&overview=mean&format=bin"


def start(kovview, header, cwd, env):
    proc = subprocess.Popen([kovview, header], cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            env=dict(os.environ, **env))
    line = proc.stdout.readline().decode()
    assert line.startswith("kovview: open "), line
    return proc, line[len("kovview: open "):].strip()


def overview(url):
    t0 = time.perf_counter()
    with urllib.request.urlopen(url + QUERY, timeout=120) as r:
        body = r.read()
    assert len(body) == 700 * 1000 * 4
    return time.perf_counter() - t0


def main():
    velmodel = os.path.abspath(sys.argv[1])
    kovview = os.path.abspath(sys.argv[2])
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    base = sys.argv[4] if len(sys.argv) > 4 else None
    print("cpu:", cpu())
    with tempfile.TemporaryDirectory(dir=base) as d:
        subprocess.run(f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                       shell=True, check=True, cwd=d, stdin=subprocess.DEVNULL)
        plain = "cat vel.H@ > /dev/null"
        timed(plain, d)
        mapped, murl = start(kovview, "vel.H", d, {"KOVVIEW_READ": "map"})
        copied, curl = start(kovview, "vel.H", d, {})
        try:
            runs = {"mapped": [], "copied": [], "cat": []}
            jobs = [("mapped", lambda: overview(murl)), ("copied", lambda: overview(curl)),
                    ("cat", lambda: timed(plain, d))]
            for rep in range(repeats):
                order = jobs[rep % 3:] + jobs[:rep % 3]
                if rep % 2:
                    order.reverse()
                for name, job in order:
                    runs[name].append(job() * 1000)
                print(f"run {rep + 1}: mapped {runs['mapped'][-1]:.0f} ms, copied "
                      f"{runs['copied'][-1]:.0f} ms, cat {runs['cat'][-1]:.0f} ms", flush=True)
        finally:
            for p in (mapped, copied):
                p.kill()
                p.wait()
        m = {k: statistics.median(v) for k, v in runs.items()}
        print(f"median: overview mapped {m['mapped']:.0f} ms ({m['mapped'] / m['cat']:.2f}x cat), "
              f"copied {m['copied']:.0f} ms ({m['copied'] / m['cat']:.2f}x cat), "
              f"cat {m['cat']:.0f} ms (goal: within 2x cat)")
        print("load average:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
