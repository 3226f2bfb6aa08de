# SPDX-License-Identifier: Apache-2.0
"""What the processing programs' tests share: datasets written from NumPy
arrays, outputs read back, the programs run in a directory of their own,
and bit-for-bit comparison with NumPy (NaN where NumPy has NaN)."""
import os
import re
import subprocess

import numpy as np
import pytest

_DTYPES = {"xdr_float": ">f4", "native_float": "=f4", "xdr_int": ">i4",
           "native_byte": "u1", "xdr_byte": "u1"}


def program(name):
    bin_dir = os.environ.get("KOV_BIN_DIR")
    path = os.path.join(bin_dir, name) if bin_dir else ""
    if not os.path.exists(path):
        pytest.skip("%s is not built (KOV_BIN_DIR)" % name)
    return path


def write(path, array, axes=None, data_format="xdr_float", extra=""):
    """The dataset `path` (header, data in path@) holding `array`, whose
    last NumPy axis is axis 1; axes: [(o, d), ...] axis 1 first."""
    array = np.asarray(array)
    shape = array.shape[::-1]
    words = []
    for k, n in enumerate(shape, 1):
        o, d = axes[k - 1] if axes else (0.0, 1.0)
        words.append("n%d=%d o%d=%r d%d=%r" % (k, n, k, o, k, d))
    esize = 1 if "byte" in data_format else 4
    array.astype(_DTYPES[data_format]).tofile(str(path) + "@")
    with open(path, "w") as f:
        f.write("%s %s data_format=%s esize=%d in=\"%s@\"\n"
                % (" ".join(words), extra, data_format, esize, os.path.abspath(str(path))))


def params(path):
    """The parameters of a header, the last of each name winning."""
    values = {}
    with open(path) as f:
        for name, quoted, plain in re.findall(r'(?:^|\s)([A-Za-z][\w-]*)=(?:"((?:[^"]|"")*)"|(\S*))',
                                              f.read()):
            values[name] = quoted.replace('""', '"') if quoted or plain == "" else plain
    return values


def read(path):
    """The samples of an output dataset as a NumPy array (axis 1 last), and
    its parameters."""
    p = params(path)
    shape = []
    k = 1
    while "n%d" % k in p:
        shape.append(int(p["n%d" % k]))
        k += 1
    while len(shape) > 1 and shape[-1] == 1:
        shape.pop()
    data = np.fromfile(p["in"], dtype=_DTYPES[p.get("data_format", "xdr_float")])
    return data.reshape(shape[::-1]), p


def run(args, cwd, stdin=subprocess.DEVNULL, env_extra=None, **kw):
    """A program in `cwd` with the datapath there (and `env_extra` in its
    environment)."""
    env = dict(os.environ, DATAPATH=str(cwd) + "/", **(env_extra or {}))
    return subprocess.run(args, cwd=cwd, env=env, stdin=stdin, capture_output=True, text=True,
                          timeout=300, **kw)


def sh(script, cwd):
    """A bash script with $kovmath, $kovstack, $kovcat and $kovtransp."""
    env = dict(os.environ, DATAPATH=str(cwd) + "/")
    for name in ("kovmath", "kovstack", "kovcat", "kovtransp"):
        env[name] = os.path.join(os.environ.get("KOV_BIN_DIR", ""), name)
    return subprocess.run(["bash", "-c", "set -o pipefail\n" + script], cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)


def mismatches(got, want):
    """How many samples differ bit for bit (NaN matching NaN)."""
    got = np.asarray(got, np.float32)
    want = np.asarray(want).astype(np.float32)
    assert got.shape == want.shape, (got.shape, want.shape)
    same = (got.view(np.uint32) == want.view(np.uint32)) | (np.isnan(got) & np.isnan(want))
    return int((~same).sum())


def nasty(rng, shape):
    """float32 samples with zeros of both signs, denormals, infinities and
    NaN among values of many magnitudes."""
    a = rng.standard_normal(shape) * 10.0 ** rng.integers(-6, 7, shape)
    special = np.array([0.0, -0.0, 0.0, np.inf, -np.inf, np.nan, 1e-40, -3e-42, 0.5, 2.5,
                        -1.5, 3e38, 1.0])
    mask = rng.random(shape) < 0.1
    a[mask] = rng.choice(special, int(mask.sum()))
    return a.astype(np.float32)
