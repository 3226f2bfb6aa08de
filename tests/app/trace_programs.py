# SPDX-License-Identifier: Apache-2.0
"""Runs of the trace-processing programs (kovgain, kovbandpass,
kovspectra) on hand-made datasets, for the tests beside this file.

The programs' paths come from the environment (KOVGAIN, KOVBANDPASS,
KOVSPECTRA); every run happens in a fresh temporary directory with DATAPATH
inside it and standard input from a file or /dev/null."""
from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import numpy as np


def program(name: str) -> str:
    """The built program `name`, from the environment."""
    path = os.environ.get(name.upper(), "")
    if not path:
        raise FileNotFoundError(f"{name.upper()} names no program")
    return path


# The element formats the programs read, as NumPy stores them.
FORMATS = {"xdr_float": ">f4", "native_float": "<f4", "xdr_int": ">i4", "xdr_byte": "u1",
           "native_byte": "u1"}


def write_dataset(directory: Path, name: str, data: np.ndarray,
                  axes: list[dict] | None = None, fmt: str = "xdr_float") -> Path:
    """A header `name` and its data file for `data` (axis 1 last in NumPy's
    order, as the library stores it): `axes` holds o, d, label, unit per axis
    from axis 1."""
    shape = data.shape[::-1]
    lines = []
    for k, n in enumerate(shape):
        a = (axes or [{}] * len(shape))[k] if axes and k < len(axes) else {}
        lines.append(f"n{k + 1}={n} o{k + 1}={a.get('o', 0)} d{k + 1}={a.get('d', 1)}")
        if "label" in a:
            lines.append(f'label{k + 1}="{a["label"]}"')
        if "unit" in a:
            lines.append(f'unit{k + 1}="{a["unit"]}"')
    dtype = FORMATS[fmt]
    payload = directory / (name + "@")
    np.ascontiguousarray(data).astype(dtype).tofile(payload)
    lines += [f"esize={np.dtype(dtype).itemsize}", f'data_format="{fmt}"', f'in="{payload}"']
    header = directory / name
    header.write_text("\n".join(lines) + "\n")
    return header


def header_values(text: str) -> dict[str, str]:
    """The last value of every name=value in a header's text."""
    values = {}
    for m in re.finditer(r'(\w+)=("[^"]*"|\S+)', text):
        values[m.group(1)] = m.group(2).strip('"')
    return values


def read_dataset(header: Path) -> tuple[np.ndarray, dict[str, str]]:
    """The samples (xdr_float) and the header's values of an output."""
    values = header_values(header.read_text())
    shape = []
    k = 1
    while f"n{k}" in values:
        shape.append(int(values[f"n{k}"]))
        k += 1
    data = np.fromfile(values["in"], dtype=">f4").astype(np.float32)
    return data.reshape(shape[::-1]), values


def run(directory: Path, name: str, args: list[str], stdin: Path | None = None,
        out: str = "out.H", env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    """Run program `name` in `directory` with the header `stdin` on standard
    input and its output header to `out`."""
    environment = dict(os.environ, DATAPATH=str(directory) + "/")
    environment.update(env or {})
    with open(stdin if stdin else os.devnull, "rb") as source, \
            open(directory / out, "wb") as sink:
        return subprocess.run([program(name), *args], stdin=source, stdout=sink,
                              stderr=subprocess.PIPE, cwd=directory, env=environment,
                              text=False, timeout=120, check=False)
