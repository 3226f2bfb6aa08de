#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""kovview on a 1 GiB dataset behind nginx (https on loopback, a
certificate made here): its first picture against `curl` of the data file,
in the same run, pairs alternating.

  window: the windows of the first picture timed at the server (urllib):
          the mean of every sample at 700 x 1000 with its peaks (also=peak)
          and then the peaks (as the page asks for data around zero);
  page:   the first picture in headless Chromium (1280x900), from the
          opening of the page to the section drawn (goal 2 s);
  curl:   curl -s URL-of-the-data > /dev/null.

Usage: kovview_remote_bench.py PATH/TO/kovview [MIB] [REPEATS] [DIRECTORY]   (MIB default 1024)
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "remote"))
from bench_common import timed  # noqa: E402
from kovview_bench import browser, cpu, first_picture  # noqa: E402
import servers  # noqa: E402

QUERY = "api/window?axes=12&rows=700&cols=1000&format=bin&overview="


def windows(url):
    t0 = time.perf_counter()
    for overview in ("mean&also=peak", "peak"):
        with urllib.request.urlopen(url + QUERY + overview, timeout=300) as r:
            assert len(r.read()) == 700 * 1000 * 4
    return time.perf_counter() - t0


def main():
    kovview = os.path.abspath(sys.argv[1])
    mib = int(sys.argv[2]) if len(sys.argv) > 2 else 1024
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    base = sys.argv[4] if len(sys.argv) > 4 else None
    print("cpu:", cpu())
    n1 = 2048
    with tempfile.TemporaryDirectory(dir=base) as d:
        www = os.path.join(d, "www")
        os.mkdir(www)
        n2 = mib * (1 << 20) // (4 * n1) // 256 * 256
        block = np.random.default_rng(3).standard_normal((256, n1)).astype(">f4").tobytes()
        with open(os.path.join(www, "big.H@"), "wb") as f:
            for _ in range(n2 // 256):
                f.write(block)
        with open(os.path.join(www, "big.H"), "w") as f:
            f.write('bench\nn1=%d n2=%d o1=0 o2=0 d1=1 d2=1\nin="big.H@"\nesize=4 '
                    'data_format="xdr_float"\n' % (n1, n2))
        web = servers.Nginx(d, www)
        env = dict(os.environ, CURL_CA_BUNDLE=web.cert)
        plain = "curl -s --cacert %s %s > /dev/null" % (web.cert, web.url("big.H@"))
        timed(plain, d)  # the file in the page cache
        proc = subprocess.Popen([kovview, web.url("big.H")], cwd=d, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        driver = None
        try:
            line = proc.stdout.readline().decode()
            assert line.startswith("kovview: open "), line
            url = line[len("kovview: open "):].strip()
            driver = browser(os.path.join(d, "chrome"))
            runs = {"window": [], "page": [], "curl": []}
            jobs = [("window", lambda: windows(url) * 1000),
                    ("page", lambda: first_picture(driver, url)),
                    ("curl", lambda: timed(plain, d) * 1000)]
            for rep in range(repeats):
                turn = rep % len(jobs)
                order = jobs[turn:] + jobs[:turn]
                if rep % 2:
                    order.reverse()
                for name, job in order:
                    runs[name].append(job())
                print(f"run {rep + 1}: " + ", ".join(f"{k} {v[-1]:.0f} ms" for k, v in runs.items()),
                      flush=True)
        finally:
            if driver is not None:
                driver.quit()
            proc.kill()
            proc.wait()
            web.stop()
        m = {k: statistics.median(v) for k, v in runs.items()}
        print(f"median: first picture's windows {m['window']:.0f} ms "
              f"({m['window'] / m['curl']:.2f}x curl), first picture in the page "
              f"{m['page']:.0f} ms (goal 2000), curl of the {n2 * n1 * 4 >> 20} MiB data "
              f"{m['curl']:.0f} ms")
        print("load average:", open("/proc/loadavg").read().split()[:3])


if __name__ == "__main__":
    main()
