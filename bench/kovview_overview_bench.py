#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovview's overview of a 1 GiB dataset: the window the first picture asks
for (every sample, 700 rows by 1000 columns, each the mean of its cell),
timed at the server, against `cat` of the data file.  The servers timed:
  avx2: the default (whole traces copied out of the data file, stacked in
      AVX2 registers where the processor has them);
  plain: the same with KOV_SIMD=plain (the instructions every x86-64
      has);
  both: the default asked for the mean and the peak overview in one pass
      (also=peak), as the first picture of data around zero asks;
  mapped: KOVVIEW_READ=map (whole traces stacked through a mapping of the
      file), with the argument "map";
  big: with the argument "gib=G", the default on a second dataset of G GiB
      (velmodel n1=2048 n2=G*131072), timed against cat of its own file in
      the same rounds ("cat big"): the medians are also given per GiB, for
      the overview of a large dataset against that of 1 GiB.  Both files
      stay in the page cache only if the machine's memory holds them: the
      bench says so when it does not.

Writes velmodel n1=2048 n2=131072 (1 GiB, xdr_float) to a scratch
directory, reads it once into the page cache, starts the servers, and
times REPEATS rounds of them and cat, their order turned each round; prints
each round and the medians.  The goal: the overview within 2x cat.

Usage: kovview_overview_bench.py PATH/TO/velmodel PATH/TO/kovview [REPEATS] [DIRECTORY] [map] [gib=G]
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


def overview(url, extra=""):
    t0 = time.perf_counter()
    with urllib.request.urlopen(url + QUERY + extra, timeout=120) as r:
        body = r.read()
    assert len(body) == 700 * 1000 * 4
    return time.perf_counter() - t0


def resident(path):
    """The share of a file's pages in the page cache (mincore of a mapping)."""
    import ctypes
    import mmap
    size = os.path.getsize(path)
    page = mmap.PAGESIZE
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
    fd = os.open(path, os.O_RDONLY)
    try:
        addr = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
        if addr in (None, ctypes.c_void_p(-1).value):
            return float("nan")
        pages = (size + page - 1) // page
        vec = ctypes.create_string_buffer(pages)
        try:
            if libc.mincore(addr, size, vec) != 0:
                return float("nan")
        finally:
            libc.munmap(addr, size)
        return sum(b & 1 for b in vec.raw) / pages
    finally:
        os.close(fd)


def main():
    velmodel = os.path.abspath(sys.argv[1])
    kovview = os.path.abspath(sys.argv[2])
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    base = sys.argv[4] if len(sys.argv) > 4 and sys.argv[4] else None
    extra = sys.argv[5:]
    with_map = "map" in extra
    gib = 0
    for a in extra:
        if a.startswith("gib="):
            gib = int(a[4:])
            if gib < 1 or gib > 64:
                sys.exit("gib=%s: give a whole number of GiB from 1 to 64" % a[4:])
        elif a != "map":
            sys.exit("unknown argument %r: give map or gib=G" % a)
    print("cpu:", cpu())
    with tempfile.TemporaryDirectory(dir=base) as d:
        subprocess.run(f"'{velmodel}' n1=2048 n2=131072 datapath='{d}/' > vel.H 2>/dev/null",
                       shell=True, check=True, cwd=d, stdin=subprocess.DEVNULL)
        plain = "cat vel.H@ > /dev/null"
        if gib:
            subprocess.run(f"'{velmodel}' n1=2048 n2={gib * 131072} datapath='{d}/' > big.H "
                           "2>/dev/null", shell=True, check=True, cwd=d, stdin=subprocess.DEVNULL)
            big = "cat big.H@ > /dev/null"
            timed(big, d)
        timed(plain, d)
        servers = {"avx2": {}, "plain": {"KOV_SIMD": "plain"}}
        if with_map:
            servers["mapped"] = {"KOVVIEW_READ": "map"}
        procs, urls = [], {}
        headers = {name: "vel.H" for name in servers}
        if gib:
            servers["big"] = {}
            headers["big"] = "big.H"
        for name, env in servers.items():
            proc, url = start(kovview, headers[name], d, env)
            procs.append(proc)
            urls[name] = url
        try:
            jobs = [(name, lambda u=url: overview(u)) for name, url in urls.items()]
            jobs.append(("both", lambda: overview(urls["avx2"], "&also=peak")))
            jobs.append(("cat", lambda: timed(plain, d)))
            if gib:
                jobs.append(("cat big", lambda: timed(big, d)))
            runs = {name: [] for name, _ in jobs}
            for rep in range(repeats):
                turn = rep % len(jobs)
                order = jobs[turn:] + jobs[:turn]
                if rep % 2:
                    order.reverse()
                for name, job in order:
                    runs[name].append(job() * 1000)
                print(f"run {rep + 1}: " + ", ".join(f"{k} {v[-1]:.0f} ms" for k, v in runs.items()),
                      flush=True)
        finally:
            for p in procs:
                p.kill()
                p.wait()
        m = {k: statistics.median(v) for k, v in runs.items()}
        print("median: " + ", ".join(f"{k} {v:.0f} ms ({v / m['cat']:.2f}x cat)"
                                     for k, v in m.items() if k not in ("big", "cat big")) +
              " (goal: within 2x cat)")
        if gib:
            print(f"per GiB: 1 GiB overview {m['avx2']:.0f} ms ({m['avx2'] / m['cat']:.2f}x its "
                  f"cat), {gib} GiB overview {m['big'] / gib:.0f} ms "
                  f"({m['big'] / m['cat big']:.2f}x its cat); cat {m['cat']:.0f} ms and "
                  f"{m['cat big'] / gib:.0f} ms; large over 1 GiB per byte "
                  f"{m['big'] / gib / m['avx2']:.2f}")
            cached = resident(os.path.join(d, "big.H@"))
            print(f"{gib} GiB file in the page cache at the end: {cached:.0%}")
        print("load average:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
