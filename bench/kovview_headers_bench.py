#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovview's trace header table of a dataset of a million traces, in
headless Chromium: the time from asking for a page to the page drawn.

Writes a dataset of 1,048,576 traces of 8 samples, each with a header
record of 8 keys (32 MiB of header data), starts kovview on it and opens
the table of the whole section.  For each repeat it prints, alternating
with `cat` of the header data file (the machine's time to read what a
sort reads):
  page: a page of 50 rows at a different place in the traces' order;
  sorted: the first page sorted by a key not sorted by before (the server
      reads the key of every trace and sorts them);
  next: the following page of that order (the order is kept);
  server: the first page sorted by yet another key asked for without the
      browser (urllib on the same machine): the server's part of "sorted";
then the medians.  The goal is 200 ms for a page.

Usage: kovview_headers_bench.py PATH/TO/kovview [REPEATS] [DIRECTORY]
"""
import os
import statistics
import sys
import tempfile
import time
import urllib.request

import numpy as np

from bench_common import timed
from kovview_bench import browser, cpu, start

TRACES = 1 << 20
KEYS = 8


def write(d):
    data = os.path.join(d, "k.H@")
    with open(data, "wb") as f:
        f.truncate(TRACES * 8 * 4)
    t = np.arange(TRACES, dtype=np.int64)
    rng = np.random.default_rng(1)
    rec = np.empty((TRACES, KEYS), dtype=">i4")
    rec[:, 0] = t + 1
    for k in range(1, KEYS):
        rec[:, k] = rng.integers(-100000, 100000, TRACES)
    rec.tofile(os.path.join(d, "k.H@@@"))
    with open(os.path.join(d, "k.H@@"), "w") as f:
        f.write(f"n1={KEYS} n2={TRACES}\n")
        for k in range(KEYS):
            f.write(f'\t hdrkey{k + 1}="key{k + 1}" hdrtype{k + 1}="scalar_int" '
                    f'hdrfmt{k + 1}="xdr_int"\n')
        f.write(f'data_format=xdr_float esize=4 in="{d}/k.H@@@"\n')
    with open(os.path.join(d, "k.H"), "w") as f:
        f.write(f'n1=8 n2={TRACES} hff="{d}/k.H@@" data_format=xdr_float esize=4 '
                f'in="{data}"\n')


ASK = """
const done = arguments[arguments.length - 1], h = window.kovview.headers, t = h.table;
const what = arguments[0];
if (what.sort !== undefined) { t.sort = what.sort; t.order = what.order; }
t.offset = what.offset;
h.refresh().then(() => done(t.took));
"""


def main():
    kovview = os.path.abspath(sys.argv[1])
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 7
    base = sys.argv[3] if len(sys.argv) > 3 else None
    print("cpu:", cpu())
    with tempfile.TemporaryDirectory(dir=base) as d:
        write(d)
        plain = "cat k.H@@@ > /dev/null"
        timed(plain, d)
        driver = browser(os.path.join(d, "chrome"))
        proc, url = start(kovview, "k.H", d)
        try:
            driver.get(url)
            driver.execute_async_script(
                "const done = arguments[arguments.length - 1];"
                "(function wait() { const k = window.kovview;"
                " if (k && k.ready && k.pending === 0) done(); else setTimeout(wait, 20); })()")
            driver.execute_script("document.querySelector('#headers-panel summary').click()")
            pages, sorts, nexts, cats, servers = [], [], [], [], []
            for rep in range(repeats):
                order = [("cat", None), ("kov", None)]
                if rep % 2:
                    order.reverse()
                for which, _ in order:
                    if which == "cat":
                        cats.append(timed(plain, d) * 1000)
                        continue
                    where = (rep * 7919 % 997) * 1000
                    pages.append(driver.execute_async_script(
                        ASK, {"offset": where, "sort": 0, "order": "asc"}))
                    key = 2 + rep % (KEYS - 1)
                    direction = "desc" if rep // (KEYS - 1) % 2 else "asc"
                    sorts.append(driver.execute_async_script(
                        ASK, {"offset": 0, "sort": key, "order": direction}))
                    nexts.append(driver.execute_async_script(ASK, {"offset": 50}))
                    other = 2 + (rep + 3) % (KEYS - 1)
                    t0 = time.perf_counter()
                    with urllib.request.urlopen(
                            f"{url}api/headers?first=0&count={TRACES}&sort={other}"
                            f"&order={direction}&offset=0&limit=50", timeout=60) as r:
                        r.read()
                    servers.append((time.perf_counter() - t0) * 1000)
                print(f"run {rep + 1}: page {pages[-1]:.0f} ms, sorted {sorts[-1]:.0f} ms, "
                      f"next {nexts[-1]:.0f} ms, server {servers[-1]:.0f} ms; "
                      f"cat of the header data {cats[-1]:.0f} ms",
                      flush=True)
        finally:
            proc.kill()
            proc.wait()
            driver.quit()
        print(f"median: page {statistics.median(pages):.0f} ms, first sorted page "
              f"{statistics.median(sorts):.0f} ms, next sorted page "
              f"{statistics.median(nexts):.0f} ms (goal 200), its server part "
              f"{statistics.median(servers):.0f} ms; cat of 32 MiB "
              f"{statistics.median(cats):.0f} ms")
        print("load average:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
