# SPDX-License-Identifier: Apache-2.0
"""kovgain end to end against NumPy evaluations of its manual page's
formulas (within 1e-5 relative)."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from trace_programs import read_dataset, run, write_dataset  # noqa: E402


def agc(x: np.ndarray, d1: float, window: float) -> np.ndarray:
    n = x.shape[-1]
    h = min(int(np.floor(window / (2 * d1) + 0.5)), n)  # halves away from 0
    finite = np.isfinite(x)
    energy = np.where(finite, x.astype(np.float64) ** 2, 0.0)
    box = np.ones(2 * h + 1)
    out = x.astype(np.float64).copy()
    for t in np.ndindex(x.shape[:-1]):
        s = np.convolve(energy[t], box)[h:h + n]
        c = np.convolve(finite[t].astype(np.float64), box)[h:h + n]
        with np.errstate(divide="ignore", invalid="ignore"):
            g = np.where(s > 0, x[t] / np.sqrt(s / np.maximum(c, 1)), 0.0)
        out[t] = np.where(finite[t], g, x[t])
    return out.astype(np.float32)


def tpow(x: np.ndarray, o1: float, d1: float, p: float) -> np.ndarray:
    t = np.abs(o1 + d1 * np.arange(x.shape[-1]))
    return (x * t ** p).astype(np.float32)


def pclip(x: np.ndarray, percent: float) -> np.ndarray:
    c = np.percentile(np.abs(x.astype(np.float64)), percent, axis=-1, keepdims=True)
    return np.clip(x, -c.astype(np.float32), c.astype(np.float32))


def balance(x: np.ndarray, by: str) -> np.ndarray:
    x64 = x.astype(np.float64)
    m = np.sqrt(np.mean(x64 ** 2, axis=-1, keepdims=True)) if by == "rms" else \
        np.max(np.abs(x64), axis=-1, keepdims=True)
    return np.where(m > 0, x64 / np.where(m > 0, m, 1), x64).astype(np.float32)


def close(got: np.ndarray, want: np.ndarray, rel: float = 1e-5) -> None:
    np.testing.assert_allclose(got, want, rtol=rel, atol=1e-30)


@pytest.fixture
def cube() -> np.ndarray:
    rng = np.random.default_rng(5)
    x = rng.standard_normal((3, 4, 250)).astype(np.float32)
    x[0, 1, :] = 0  # a dead trace
    x[1, 2, 100:] *= 1e-4  # quiet after loud
    return x


def test_each_operation_and_their_order(tmp_path: Path, cube: np.ndarray) -> None:
    axes = [{"o": 0.0, "d": 0.004, "unit": "s"}, {}, {}]
    h = write_dataset(tmp_path, "in.H", cube, axes)
    cases = {
        "agc": (["agc=0.2"], agc(cube, 0.004, 0.2)),
        "long": (["agc=100"], agc(cube, 0.004, 100)),
        "tpow": (["tpow=2"], tpow(cube, 0, 0.004, 2)),
        "pclip": (["pclip=90"], pclip(cube, 90)),
        "rms": (["scale=rms"], balance(cube, "rms")),
        # Given in any order on the command line, applied in the
        # documented one: tpow, agc, pclip, scale.
        "all": (["scale=max", "pclip=95", "agc=0.1", "tpow=1.5"],
                balance(pclip(agc(tpow(cube, 0, 0.004, 1.5), 0.004, 0.1), 95), "max")),
    }
    for name, (args, want) in cases.items():
        r = run(tmp_path, "kovgain", args, stdin=h, out=f"{name}.H")
        assert r.returncode == 0, r.stderr
        got, values = read_dataset(tmp_path / f"{name}.H")
        assert got.shape == cube.shape
        close(got, want)
        for a in args:
            key, value = a.split("=")
            assert values[key] == value or float(values[key]) == float(value)


def test_milliseconds_integers_and_samples_that_are_not_finite(tmp_path: Path) -> None:
    rng = np.random.default_rng(1)
    x = rng.integers(-1000, 1000, size=(2, 300)).astype(np.int32)
    h = write_dataset(tmp_path, "ms.H", x, [{"o": 100, "d": 2, "unit": "ms"}], fmt="xdr_int")
    r = run(tmp_path, "kovgain", ["agc=0.05", "tpow=1"], stdin=h)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    close(got, agc(tpow(x.astype(np.float32), 0.1, 0.002, 1), 0.002, 0.05))

    y = rng.standard_normal((1, 50)).astype(np.float32)
    y[0, [3, 20, 21]] = [np.inf, np.nan, -np.inf]
    h = write_dataset(tmp_path, "bad.H", y, [{"d": 0.01}])
    r = run(tmp_path, "kovgain", ["agc=0.1"], stdin=h)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    close(got, agc(y, 0.01, 0.1))


@pytest.mark.parametrize("args, words", [
    (["agc=0"], ["agc=0", "longer than 0"]),
    (["pclip=101"], ["pclip=101", "percentile"]),
    (["scale=mean"], ["scale=mean", "rms or max"]),
    (["tpow=-1"], ["tpow=-1", "time 0"]),
    ([], ["no gain"]),
])
def test_refused_parameters_name_input_parameter_and_reason(
        tmp_path: Path, args: list[str], words: list[str]) -> None:
    h = write_dataset(tmp_path, "in.H", np.ones((2, 10), np.float32), [{"d": 0.5}])
    r = run(tmp_path, "kovgain", args + ["stdin=" + str(h)])
    assert r.returncode == 23
    message = r.stderr.decode()
    for w in words + [str(h)]:
        assert w in message, message
    assert not list(tmp_path.glob("out.H@*"))


def test_data_shorter_than_the_header_declares(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "in.H", np.ones((4, 10), np.float32))
    data = tmp_path / "in.H@"
    data.write_bytes(data.read_bytes()[:100])
    r = run(tmp_path, "kovgain", ["scale=max"], stdin=h)
    assert r.returncode == 23
    assert b"short" in r.stderr


def test_help_is_the_manual_page(tmp_path: Path) -> None:
    r = run(tmp_path, "kovgain", ["--help"])
    text = (tmp_path / "out.H").read_text()
    assert r.returncode == 0 and "automatic gain control" in text.lower() and "COPYRIGHT" in text
