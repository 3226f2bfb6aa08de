#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""scale.py: multiplies every sample of a dataset by a factor, in Python.

    velmodel > model.H
    python3 scale.py model.H scaled.H 2

The output keeps the input's history and axes (like=); its data go where the
datapath rules say, as for any program of the family.
"""
import sys

import kov


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: scale.py IN.H OUT.H FACTOR")
    source, target, factor = sys.argv[1], sys.argv[2], float(sys.argv[3])
    with kov.open(source) as dataset:
        data = dataset.read()  # a NumPy array, axis 1 last
        kov.write(target, data * factor, like=dataset)
    print(f"{target}: {data.shape} samples scaled by {factor}")


if __name__ == "__main__":
    main()
