#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of kovmute against NumPy.

Writes gathers of random samples (n1=1000 times of 4 ms, 48 offsets of
50 m, GATHERS midpoints: 192 MiB for the default 1000) to a scratch
directory, then in the same run, alternating, several times each:
  kovmute tmute=0.05 vmute=1800 ntaper=10 < g.H > o.H
  python3 mute_numpy.py        (NumPy: read, the weights of every offset
      applied to all gathers at once, write)
and prints each pair, the medians and their ratio.

Usage: kovmute_bench.py PATH/TO/kovmute [REPEATS] [GATHERS] [DIRECTORY]
"""
import os
import sys
import tempfile

import numpy as np

from bench_common import compare, remove

NUMPY_MUTE = r'''
import numpy as np
nt, noff, ng, dt, dh = 1000, 48, {ng}, 0.004, 50.0
data = np.fromfile("g.H@", dtype=">f4").astype(np.float64).reshape(ng, noff, nt)
t = np.arange(nt) * dt
s = (t[None, :] - (0.05 + dh * np.arange(noff)[:, None] / 1800.0)) / dt
w = np.where(s < 0, 0.0, np.where(s < 10, 0.5 * (1 - np.cos(np.pi * s / 10)), 1.0))
(data * w[None, :, :]).astype(">f4").tofile("o.bin")
'''


def main():
    kovmute = os.path.abspath(sys.argv[1])
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    ng = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    base = sys.argv[4] if len(sys.argv) > 4 else None
    nt, noff = 1000, 48
    with tempfile.TemporaryDirectory(dir=base) as d:
        rng = np.random.default_rng(1)
        for g0 in range(0, ng, 100):
            block = rng.standard_normal((min(100, ng - g0), noff, nt)).astype(">f4")
            with open(os.path.join(d, "g.H@"), "ab") as f:
                block.tofile(f)
        with open(os.path.join(d, "g.H"), "w") as f:
            f.write(f'n1={nt} o1=0 d1=0.004 n2={noff} o2=0 d2=50 n3={ng}\n'
                    f'in="{d}/g.H@" data_format="xdr_float" esize=4\n')
        with open(os.path.join(d, "mute_numpy.py"), "w") as f:
            f.write(NUMPY_MUTE.format(ng=ng))
        size = os.path.getsize(os.path.join(d, "g.H@"))
        print(f"gathers: {ng} of {noff} traces of {nt} samples, {size / 2**20:.0f} MiB", flush=True)
        compare("kovmute", f"'{kovmute}' tmute=0.05 vmute=1800 ntaper=10 < g.H > o.H datapath='{d}/'",
                f"'{sys.executable}' mute_numpy.py", d, repeats,
                before=lambda: remove(os.path.join(d, "o.H@"), os.path.join(d, "o.bin")))


if __name__ == "__main__":
    main()
