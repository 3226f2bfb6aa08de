#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Speed of the Python package kov against plain NumPy, and of Dask.

In the same run, alternating, several times each, with 1 GiB of xdr_float
samples (the data in the page cache):
  read:  kov.open(h).read()            vs  numpy.fromfile(f, ">f4").astype("<f4")
         (goal: at most 1.2 times the time)
  write: kov.write(h, a)               vs  a.astype(">f4").tofile(f) plus a header
         (goal: at most 1.2 times the time)
  dask:  to_dask(chunks={2: 65536}).mean() (four blocks of 256 MiB) on a
         LocalCluster of two worker processes
         vs one process doing kov.open(h).read().mean()
         (goal: at least 1.3 times faster)
Prints every run, the medians and their ratios.  Scratch files go to a new
directory under the system's temporary directory (or under the directory
given), removed at the end.

Each kov write stays atomic (temporary names, renamed when complete).

Usage: PYTHONPATH=build/default/python python3 bench/python_bench.py [SCRATCH] [REPEATS] [PARTS]
PARTS: a comma-separated choice of read, write, dask (default all).
"""
import os
import platform
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

import kov

N1, N2 = 1024, 262144  # 2^28 samples: 1 GiB


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def alternate(label_a, a, label_b, b, repeats, settle=lambda: None):
    """Run a and b alternately, `settle` untimed after each; their medians."""
    ta, tb = [], []
    for rep in range(repeats):
        ta.append(timed(a))
        settle()
        tb.append(timed(b))
        settle()
        print(f"  run {rep + 1}: {label_a} {ta[-1]:.3f} s, {label_b} {tb[-1]:.3f} s", flush=True)
    return statistics.median(ta), statistics.median(tb)


def _model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    base = sys.argv[1] if len(sys.argv) > 1 and sys.argv[1] else tempfile.gettempdir()
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    parts = set(sys.argv[3].split(",")) if len(sys.argv) > 3 else {"read", "write", "dask"}
    print(f"machine: {os.cpu_count()} CPUs, {_model()}, {platform.platform()}")
    os.makedirs(base, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="python-bench-", dir=base)
    try:
        os.chdir(scratch)
        data = np.random.default_rng(3).standard_normal((N2, N1)).astype(np.float32)
        kov.write("big.H", data, datapath=scratch + "/")
        with kov.open("big.H") as ds:
            ds.read()  # into the page cache
        print(f"1 GiB of xdr_float ({N2} x {N1}) in {scratch}")

        if "read" in parts:
            read_pairs(repeats)
        if "write" in parts:
            write_pairs(data, scratch, repeats)
        del data
        if "dask" in parts:
            dask_pairs(repeats, scratch)
    finally:
        os.chdir("/")
        shutil.rmtree(scratch, ignore_errors=True)


def read_pairs(repeats):
    raw = os.getcwd() + "/big.H@"
    print("read")

    def kov_read():
        with kov.open("big.H") as ds:
            ds.read()

    def numpy_read():
        np.fromfile(raw, ">f4").astype("<f4")

    k, n = alternate("kov read", kov_read, "numpy fromfile+astype", numpy_read, repeats)
    print(f"read: kov {k:.3f} s, numpy {n:.3f} s, ratio {k / n:.2f} (goal: at most 1.20)")


def write_pairs(data, scratch, repeats):
    """Each pair writes over the dataset of the pair before, as a pipeline
    rewriting its output does."""
    print("write")

    def kov_write():
        kov.write("w.H", data, datapath=scratch + "/")

    def numpy_write():
        data.astype(">f4").tofile(scratch + "/n.H@")
        with open("n.H", "w") as f:
            f.write(f'n1={N1} n2={N2} esize=4 in="{scratch}/n.H@" data_format="xdr_float"\n')

    k, n = alternate("kov write", kov_write, "numpy astype+tofile", numpy_write, repeats)
    print(f"write: kov {k:.3f} s, numpy {n:.3f} s, ratio {k / n:.2f} (goal: at most 1.20)")
    for name in ("w.H@", "n.H@"):
        os.unlink(name)


def dask_pairs(repeats, scratch):
    print("dask mean")
    from dask.distributed import Client, LocalCluster
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None, local_directory=scratch) as cluster, \
            Client(cluster) as client:
        def cluster_mean():
            with kov.open("big.H") as ds:
                ds.to_dask(chunks={2: 65536}).mean().compute()

        def one_process_mean():
            with kov.open("big.H") as ds:
                ds.read().mean()

        def settle():
            # Until the scheduler has forgotten the last run: a run that
            # starts earlier takes its result instead of computing.
            while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
                time.sleep(0.05)

        cluster_mean()  # workers warm: modules imported
        settle()
        c, o = alternate("two workers", cluster_mean, "one process", one_process_mean,
                         repeats, settle)
    print(f"dask mean: two workers {c:.3f} s, one process {o:.3f} s, speed-up {o / c:.2f} "
          f"(goal: at least 1.30)")


if __name__ == "__main__":
    main()
