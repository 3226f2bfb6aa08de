#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmark of kovsynth against NumPy.

Makes a model with velmodel (n1=500 depths of 10 m, MIDPOINTS positions,
default 20), then in the same run, alternating, several times each:
  kovsynth nt=1000 dt=0.004 fpeak=25 noff=48 doff=50 < model.H > g.H
  python3 synth_numpy.py     (NumPy: the same formulas, the wavelet of every
      reflection evaluated at every sample in one matrix product per gather)
and prints each pair, the medians and their ratio.

Usage: kovsynth_bench.py PATH/TO/velmodel PATH/TO/kovsynth [REPEATS] [MIDPOINTS] [DIRECTORY]
"""
import os
import subprocess
import sys
import tempfile

from bench_common import compare, remove

NUMPY_SYNTH = r'''
import re
import numpy as np
text = open("model.H").read()
p = dict((m.group(1), m.group(2).strip('"')) for m in re.finditer(r'(\w+)=("[^"]*"|\S+)', text))
nz, nx, dz = int(p["n1"]), int(p["n2"]), float(p["d1"])
model = np.fromfile(p["in"], dtype=">f4").astype(np.float64).reshape(nx, nz)
nt, dt, f, offsets = 1000, 0.004, 25.0, 50.0 * np.arange(48)
t = np.arange(nt) * dt
out = np.empty((nx, len(offsets), nt), dtype=">f4")
for x in range(nx):
    v = model[x]
    top = np.concatenate(([0.0], np.cumsum(2 * dz / v)))
    v2t = np.concatenate(([0.0], np.cumsum(2 * dz * v)))
    k = np.nonzero(v[1:] != v[:-1])[0] + 1
    r = (v[k] - v[k - 1]) / (v[k] + v[k - 1])
    t0, vrms = top[k], np.sqrt(v2t[k] / top[k])
    for j, h in enumerate(offsets):
        a = (np.pi * f * (t[:, None] - np.sqrt(t0 ** 2 + h * h / vrms ** 2)[None, :])) ** 2
        out[x, j] = ((1 - 2 * a) * np.exp(-a)) @ r
out.tofile("o.bin")
'''


def main():
    velmodel, kovsynth = (os.path.abspath(a) for a in sys.argv[1:3])
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    nx = int(sys.argv[4]) if len(sys.argv) > 4 else 20
    base = sys.argv[5] if len(sys.argv) > 5 else None
    with tempfile.TemporaryDirectory(dir=base) as d:
        subprocess.run(f"'{velmodel}' n1=500 n2={nx} datapath='{d}/' > model.H 2>/dev/null",
                       shell=True, check=True, cwd=d, stdin=subprocess.DEVNULL)
        with open(os.path.join(d, "synth_numpy.py"), "w") as f:
            f.write(NUMPY_SYNTH)
        print(f"model: 500 depths x {nx} positions; output {nx} gathers of 48 x 1000", flush=True)
        compare("kovsynth", f"'{kovsynth}' nt=1000 dt=0.004 fpeak=25 noff=48 doff=50 < model.H "
                f"> g.H datapath='{d}/'", f"'{sys.executable}' synth_numpy.py", d, repeats,
                before=lambda: remove(os.path.join(d, "g.H@"), os.path.join(d, "o.bin")))


if __name__ == "__main__":
    main()
