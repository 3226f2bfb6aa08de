#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of kovnmo against NumPy.

Writes gathers of random samples (n1=1000 times of 4 ms, 48 offsets of
50 m, GATHERS midpoints: 192 MiB for the default 1000) and an RMS velocity
per midpoint to a scratch directory, then in the same run, alternating,
several times each:
  kovnmo velocity=v.H < g.H > o.H                  (8-point windowed sinc)
  python3 nmo_numpy.py                              (NumPy: read, per trace
      the moveout times and numpy.interp, the stretch mute, write)
and prints each pair, the medians and their ratio (goal: at most 0.5).

Usage: kovnmo_bench.py PATH/TO/kovnmo [REPEATS] [GATHERS] [DIRECTORY]
"""
import os
import sys
import tempfile

import numpy as np

from bench_common import compare, remove

NUMPY_NMO = r'''
import numpy as np
nt, noff, ng, dt, dh = 1000, 48, {ng}, 0.004, 50.0
data = np.fromfile("g.H@", dtype=">f4").astype(np.float32).reshape(ng, noff, nt)
vel = np.fromfile("v.H@", dtype=">f4").astype(np.float64).reshape(ng, nt)
t0 = np.arange(nt) * dt
out = np.empty_like(data)
for g in range(ng):
    v2 = vel[g] * vel[g]
    for j in range(noff):
        h = dh * j
        t = np.sqrt(t0 * t0 + h * h / v2)
        moved = np.interp(t, t0, data[g, j], left=0.0, right=0.0)
        if h != 0:
            moved[~((t0 > 0) & (t - t0 <= 0.5 * t0))] = 0.0
        out[g, j] = moved
out.astype(">f4").tofile("o.bin")
'''


def main():
    kovnmo = os.path.abspath(sys.argv[1])
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
        v = 1800.0 + 1.5 * np.arange(nt)[None, :] + 10.0 * np.arange(ng)[:, None] % 300
        v.astype(">f4").tofile(os.path.join(d, "v.H@"))
        with open(os.path.join(d, "v.H"), "w") as f:
            f.write(f'n1={nt} o1=0 d1=0.004 n2={ng}\nin="{d}/v.H@" data_format="xdr_float" esize=4\n')
        with open(os.path.join(d, "nmo_numpy.py"), "w") as f:
            f.write(NUMPY_NMO.format(ng=ng))
        size = os.path.getsize(os.path.join(d, "g.H@"))
        print(f"gathers: {ng} of {noff} traces of {nt} samples, {size / 2**20:.0f} MiB", flush=True)
        compare("kovnmo", f"'{kovnmo}' velocity=v.H < g.H > o.H datapath='{d}/'",
                f"'{sys.executable}' nmo_numpy.py", d, repeats,
                before=lambda: remove(os.path.join(d, "o.H@"), os.path.join(d, "o.bin")),
                goal=0.5)


if __name__ == "__main__":
    main()
