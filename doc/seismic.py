#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""A seismic-style section from a velocity model of velmodel.

    seismic.py vel.H refl.H

Reads the model through the kov package (a header file, a pipe command such
as "velmodel |", or "-" for the standard input; any float format), turns it
into normal-incidence reflectivity along depth, adds a faint layering that
follows the structure of the model's sinusoidal layer, convolves each trace
with a Ricker wavelet and writes the result as a dataset of the family with
the model's axes: the header refl.H, its data where the datapath puts them.
Needs numpy and the kov package (installed, or PYTHONPATH=build/default/python).
"""
import sys

import numpy as np

import kov


def ricker(peak, step, half):
    """A Ricker wavelet of peak wavenumber `peak` (per unit of depth)."""
    z = np.arange(-half, half + 1) * step
    a = (np.pi * peak * z) ** 2
    return (1 - 2 * a) * np.exp(-a)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, target = sys.argv[1], sys.argv[2]
    with kov.open(source) as model:
        if model.ndim != 2:
            sys.exit("seismic.py: %s is not a two-dimensional model" % source)
        depth_axis, x_axis = model.axes
        vel = model.read().astype(np.float64)  # NumPy order: one trace of n1 per row
    n2, n1 = vel.shape
    d1 = depth_axis.d

    # Reflectivity at each depth step, and a faint fine layering whose depth
    # follows a slow lateral undulation, as sediments draped over structure.
    refl = np.zeros_like(vel)
    refl[:, 1:] = (vel[:, 1:] - vel[:, :-1]) / (vel[:, 1:] + vel[:, :-1])
    rng = np.random.default_rng(7)
    fine = rng.normal(0.0, 0.01, 4 * n1)
    x = x_axis.o + x_axis.d * np.arange(n2)
    shift = 12.0 * np.sin(2 * np.pi * x / 9000.0) + 6.0 * np.sin(2 * np.pi * x / 23000.0 + 1.0)
    depth = np.arange(n1)
    for j in range(n2):
        refl[j] += np.interp(depth + shift[j] + n1, np.arange(4 * n1), fine)

    wavelet = ricker(1.0 / (8 * d1), d1, 24)
    data = np.array([np.convolve(t, wavelet, mode="same") for t in refl], dtype=np.float32)
    # The model's axes, not its history: the section holds amplitudes, not
    # the velocities the model's parameters describe.
    kov.write(target, data, o=[depth_axis.o, x_axis.o], d=[depth_axis.d, x_axis.d],
              label=[depth_axis.label, x_axis.label], unit=[depth_axis.unit, x_axis.unit])


if __name__ == "__main__":
    main()
