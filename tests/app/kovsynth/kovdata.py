# SPDX-License-Identifier: Apache-2.0
"""Datasets and program runs for the NumPy reference tests of kovsynth,
kovnmo and kovmute: headers written and read as plain text, samples as
big-endian floats, programs run in a temporary directory."""
from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import numpy as np


def program(name: str) -> str:
    """The built program `name`, from the environment variable of its name."""
    return os.environ[name.upper()]


def write(directory: Path, name: str, data: np.ndarray, **axes: object) -> Path:
    """Write `data` (axis 1 first) as an xdr_float dataset `name`; `axes`
    gives o1=, d1=, label1=, unit1=, ... ."""
    header = directory / name
    lines = [f"n{k + 1}={n}" for k, n in enumerate(data.shape)]
    for key, value in axes.items():
        lines.append(f'{key}="{value}"' if isinstance(value, str) else f"{key}={value!r}")
    lines += [f'in="{header}@"', 'data_format="xdr_float"', "esize=4"]
    header.write_text("\n".join(lines) + "\n")
    np.asarray(data, dtype=">f4").ravel(order="F").tofile(f"{header}@")
    return header


def params(header: Path) -> dict[str, str]:
    """The last value of every name=value of a header."""
    found: dict[str, str] = {}
    for m in re.finditer(r'(\w+)=("[^"]*"|\S+)', header.read_text()):
        found[m.group(1)] = m.group(2).strip('"')
    return found


def read(header: Path) -> tuple[np.ndarray, dict[str, str]]:
    """The samples of a dataset (axis 1 first) and its header's values."""
    p = params(header)
    shape = []
    k = 1
    while f"n{k}" in p:
        shape.append(int(p[f"n{k}"]))
        k += 1
    data = np.fromfile(p["in"], dtype=">f4").astype(np.float32)
    return data.reshape(shape, order="F"), p


def run(directory: Path, command: list[str], stdin: Path | None = None,
        stdout: Path | None = None) -> subprocess.CompletedProcess:
    """Run a program in `directory` with its datapath there."""
    env = dict(os.environ, DATAPATH=f"{directory}/")
    with open(stdin or os.devnull, "rb") as inp, open(stdout or os.devnull, "wb") as out:
        return subprocess.run(command, cwd=directory, env=env, stdin=inp, stdout=out,
                              stderr=subprocess.PIPE, text=True, check=False)
