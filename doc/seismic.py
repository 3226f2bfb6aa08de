#!/usr/bin/env python3
"""A seismic-style section from a velocity model of velmodel.

    seismic.py vel.H refl.H

Reads the model (its header and its XDR float data file), turns it into
normal-incidence reflectivity along depth, adds a faint layering that follows
the structure of the model's sinusoidal layer, convolves each trace with a
Ricker wavelet and writes the result as a dataset of the family: the header
refl.H and the data refl.H@ beside it.  Only numpy is needed.
"""
import re
import sys

import numpy as np


def header_values(text):
    """The last value of each name=value in a history header."""
    values = {}
    for name, quoted, plain in re.findall(r'(\w+)=(?:"([^"]*)"|(\S+))', text):
        values[name] = quoted if quoted else plain
    return values


def ricker(peak, step, half):
    """A Ricker wavelet of peak wavenumber `peak` (per unit of depth)."""
    z = np.arange(-half, half + 1) * step
    a = (np.pi * peak * z) ** 2
    return (1 - 2 * a) * np.exp(-a)


def main():
    source, target = sys.argv[1], sys.argv[2]
    h = header_values(open(source).read())
    n1, n2 = int(h["n1"]), int(h["n2"])
    d1, d2, o1, o2 = (float(h[k]) for k in ("d1", "d2", "o1", "o2"))
    vel = np.fromfile(h["in"], dtype=">f4").reshape(n2, n1).astype(np.float64)

    # Reflectivity at each depth step, and a faint fine layering whose depth
    # follows a slow lateral undulation, as sediments draped over structure.
    refl = np.zeros_like(vel)
    refl[:, 1:] = (vel[:, 1:] - vel[:, :-1]) / (vel[:, 1:] + vel[:, :-1])
    rng = np.random.default_rng(7)
    fine = rng.normal(0.0, 0.01, 4 * n1)
    x = o2 + d2 * np.arange(n2)
    shift = 12.0 * np.sin(2 * np.pi * x / 9000.0) + 6.0 * np.sin(2 * np.pi * x / 23000.0 + 1.0)
    depth = np.arange(n1)
    for j in range(n2):
        refl[j] += np.interp(depth + shift[j] + n1, np.arange(4 * n1), fine)

    wavelet = ricker(1.0 / (8 * d1), d1, 24)
    data = np.array([np.convolve(t, wavelet, mode="same") for t in refl], dtype=">f4")
    data.tofile(target + "@")
    with open(target, "w") as out:
        out.write("\n\nseismic.py: reflectivity of %s convolved with a Ricker wavelet\n" % source)
        out.write('\t\tn1=%d n2=%d n3=1\n\t\to1=%g d1=%g o2=%g d2=%g\n' % (n1, n2, o1, d1, o2, d2))
        out.write('\t\tlabel1="%s" label2="%s" barlabel="amplitude"\n' % (h.get("label1", ""), h.get("label2", "")))
        out.write('\t\tin="%s@" data_format="xdr_float" esize=4\n' % target)


if __name__ == "__main__":
    main()
