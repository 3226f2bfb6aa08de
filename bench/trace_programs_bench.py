#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Whole-program benchmarks of kovgain, kovbandpass and kovspectra, each
against its anchor in the same run (pairs alternating, medians):

1. kovgain agc=0.5, tpow=2, scale=rms, scale=max and pclip=99, each
   against `cat data > /dev/null` (the goal), with kovgain's data
   discarded as cat's are (`out=stdout > /dev/null`): both read the same
   bytes and write nothing to disk.  For scale, kovgain agc=0.5 writing
   its output file against a copy of the data with cp (both read and
   write as many bytes; each run starts with the outputs removed).
2. kovbandpass flo=5 fhi=60 (zero phase) against a NumPy + SciPy script
   that reads the same data, filters with scipy.signal.sosfiltfilt through
   the same sections (SciPy's own Butterworth design of 3 poles each way,
   padded as kovbandpass pads) and writes the result.
3. kovspectra against a NumPy script: read, numpy.fft.rfft, abs, write.

The input is noise of n1=1000 samples at 4 ms, MIB mebibytes (default
1024).  The scripts read and write in slices of 64 MiB, so that their
memory stays bounded as the programs' does.  Peak resident memory of each
program is printed too.

Usage: trace_programs_bench.py BUILD/app (the folder of the built programs) [DIRECTORY] [REPEATS]
       [MIB] [WHAT]
WHAT: "all" (the default) or "gain", kovgain's modes against cat alone.
"""
import os
import sys
import tempfile

import numpy as np

from bench_common import compare, peak_rss, remove

N1 = 1000
SLICE = 16384  # traces per slice of the anchor scripts (64 MiB)

FILTER = f"""
import sys, numpy as np
from scipy import signal
src, dst, n1 = sys.argv[1], sys.argv[2], {N1}
sos = np.vstack([signal.butter(3, 5, "highpass", fs=250, output="sos"),
                 signal.butter(3, 60, "lowpass", fs=250, output="sos")])
with open(src, "rb") as f, open(dst, "wb") as g:
    while True:
        x = np.fromfile(f, dtype=">f4", count={SLICE} * n1)
        if x.size == 0:
            break
        y = signal.sosfiltfilt(sos, x.reshape(-1, n1).astype(np.float64), axis=-1,
                               padtype="odd", padlen=3 * (2 * len(sos) + 1 - 2))
        y.astype(">f4").tofile(g)
"""

SPECTRA = f"""
import sys, numpy as np
src, dst, n1 = sys.argv[1], sys.argv[2], {N1}
with open(src, "rb") as f, open(dst, "wb") as g:
    while True:
        x = np.fromfile(f, dtype=">f4", count={SLICE} * n1)
        if x.size == 0:
            break
        np.abs(np.fft.rfft(x.reshape(-1, n1), axis=-1)).astype(">f4").tofile(g)
"""


def machine():
    """The processors, their model and the load, printed with the figures."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(line.split(":", 1)[1].strip() for line in f
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    load = " ".join(f"{v:.2f}" for v in os.getloadavg())
    print(f"machine: nproc {os.cpu_count()}, {model}, load average {load}", flush=True)


def make_input(d, mib):
    traces = mib * (1 << 20) // (4 * N1)
    data = os.path.join(d, "in.H@")
    rng = np.random.default_rng(1)
    with open(data, "wb") as f:
        for start in range(0, traces, SLICE):
            count = min(SLICE, traces - start)
            rng.standard_normal((count, N1), dtype=np.float32).astype(">f4").tofile(f)
    with open(os.path.join(d, "in.H"), "w") as h:
        h.write(f'n1={N1} d1=0.004 o1=0 unit1="s" n2={traces}\n'
                f'esize=4 data_format="xdr_float" in="{data}"\n')


def main():
    app = os.path.abspath(sys.argv[1])
    base = sys.argv[2] if len(sys.argv) > 2 else None
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    mib = int(sys.argv[4]) if len(sys.argv) > 4 else 1024
    what = sys.argv[5] if len(sys.argv) > 5 else "all"
    if what not in ("all", "gain"):
        sys.exit(f"{sys.argv[0]}: WHAT={what}: all or gain")
    py = sys.executable
    with tempfile.TemporaryDirectory(dir=base) as d:
        make_input(d, mib)
        with open(os.path.join(d, "filter.py"), "w") as f:
            f.write(FILTER)
        with open(os.path.join(d, "spectra.py"), "w") as f:
            f.write(SPECTRA)
        env = f"DATAPATH='{d}/' "
        print(f"input: {mib} MiB, n1={N1}", flush=True)
        machine()
        for args in ("agc=0.5", "tpow=2", "scale=rms", "scale=max", "pclip=99"):
            compare(f"kovgain {args} / cat (data to /dev/null)",
                    env + f"'{app}/kovgain' {args} out=stdout < in.H > /dev/null",
                    "cat in.H@ > /dev/null", d, repeats, goal=1.5)
        if what == "gain":
            machine()
            return
        # For scale: both write a file of the same size.
        clean = lambda: remove(*(os.path.join(d, f) for f in ("g.H", "g.H@", "copy.bin")))
        compare("kovgain agc=0.5 / cp (both write a file)",
                env + f"'{app}/kovgain' agc=0.5 < in.H > g.H", "cp in.H@ copy.bin", d, repeats,
                before=clean)
        clean()
        compare("kovbandpass / scipy", env + f"'{app}/kovbandpass' flo=5 fhi=60 "
                "< in.H > b.H", f"'{py}' filter.py in.H@ b.bin", d, repeats, goal=0.25)
        compare("kovspectra / numpy", env + f"'{app}/kovspectra' < in.H > s.H",
                f"'{py}' spectra.py in.H@ s.bin", d, repeats, goal=0.25)
        for name, args in (("kovgain", "agc=0.5"), ("kovbandpass", "flo=5 fhi=60"),
                           ("kovspectra", "")):
            rss = peak_rss(env + f"'{app}/{name}' {args} < in.H > m.H", d)
            print(f"memory: {name} peak RSS {rss} KiB (goal: under 65536)", flush=True)
        machine()


if __name__ == "__main__":
    main()
