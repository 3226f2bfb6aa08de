#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Pipe throughput of a pipeline of the family against a raw pipe.

In the same run, alternating, several times each:
  velmodel n1=2000 n2=65536 | kov_reader        (500 MiB of samples: the
      history, the end-of-header handshake, then the data read with sreed)
  head -c 512M /dev/zero | cat > /dev/null      (512 MiB through a plain pipe)
and prints the throughput of each run, the best and the median of each, and
the ratio of the medians (the goal is at least 0.5).

Usage: pipe_bench.py PATH/TO/velmodel PATH/TO/kov_reader [REPEATS]
"""
import os
import statistics
import sys

from bench_common import timed

MIB = 1024 * 1024


def main():
    velmodel = os.path.abspath(sys.argv[1])
    reader = os.path.abspath(sys.argv[2])
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    n1, n2 = 2000, 65536
    model_bytes = n1 * n2 * 4
    raw_bytes = 512 * MIB
    model = (f"'{velmodel}' n1={n1} n2={n2} depth=5000 z1=10000 z2=15000 sockhost=127.0.0.1 "
             f"2>/dev/null | '{reader}' > /dev/null")
    raw = "head -c 512M /dev/zero | cat > /dev/null"

    pipeline, plain = [], []
    for rep in range(repeats):
        t_model = timed(model)
        t_raw = timed(raw)
        pipeline.append(model_bytes / MIB / t_model)
        plain.append(raw_bytes / MIB / t_raw)
        print(f"run {rep + 1}: velmodel | kov_reader {model_bytes} bytes in {t_model:.3f} s "
              f"({pipeline[-1]:.0f} MiB/s); head | cat {raw_bytes} bytes in {t_raw:.3f} s "
              f"({plain[-1]:.0f} MiB/s)")
    med_p, med_r = statistics.median(pipeline), statistics.median(plain)
    print(f"velmodel | kov_reader: best {max(pipeline):.0f} MiB/s, median {med_p:.0f} MiB/s")
    print(f"head -c 512M | cat:    best {max(plain):.0f} MiB/s, median {med_r:.0f} MiB/s")
    print(f"ratio of the medians: {med_p / med_r:.2f} (goal: at least 0.50)")


if __name__ == "__main__":
    main()
