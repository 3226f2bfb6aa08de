#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of velmodel.

1. Writes a model of 1 GiB (n1=2048 n2=131072) to a file and, alternately in
   the same run, the same number of bytes to the same file system with
   `dd if=/dev/zero bs=1M count=1024` (the machine's limit for large
   writes), and prints each pair, the medians and their ratio.
2. Measures the peak resident memory of velmodel for n2=3000 and n2=300000
   at n1=500 (it must not grow with n2).

Usage: velmodel_bench.py PATH/TO/velmodel [DIRECTORY] [REPEATS]
"""
import os
import sys
import tempfile

from bench_common import file_ratio, memory


def main():
    velmodel = os.path.abspath(sys.argv[1])
    base = sys.argv[2] if len(sys.argv) > 2 else None
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    with tempfile.TemporaryDirectory(dir=base) as d:
        file_ratio(velmodel, d, repeats)
        memory(velmodel, d)


if __name__ == "__main__":
    main()
