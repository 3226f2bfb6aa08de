# SPDX-License-Identifier: Apache-2.0
"""kovspectra end to end against numpy.fft.rfft (within 1e-5 relative of
each spectrum's largest amplitude) and Parseval's identity."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from trace_programs import read_dataset, run, write_dataset  # noqa: E402


def within(got: np.ndarray, want: np.ndarray, rel: float = 1e-5) -> None:
    scale = np.max(np.abs(want), axis=-1, keepdims=True)
    assert np.all(np.abs(got - want) <= rel * scale), np.max(np.abs(got - want) / scale)


@pytest.fixture
def traces() -> np.ndarray:
    rng = np.random.default_rng(4)
    x = rng.standard_normal((2, 3, 250)).astype(np.float32)
    x[1, 0] = 0  # a dead trace
    return x


@pytest.mark.parametrize("nfft", [None, 250, 256, 257, 1001])
def test_amplitudes_axes_and_parseval(tmp_path: Path, traces: np.ndarray, nfft) -> None:
    h = write_dataset(tmp_path, "in.H", traces, [{"d": 4, "unit": "ms"}, {"o": 7, "d": 2}])
    r = run(tmp_path, "kovspectra", [f"nfft={nfft}"] if nfft else [], stdin=h)
    assert r.returncode == 0, r.stderr
    got, values = read_dataset(tmp_path / "out.H")
    size = nfft or 250  # 250 = 2 * 5^3 is already a fast size
    want = np.abs(np.fft.rfft(traces.astype(np.float64), size, axis=-1))
    assert got.shape == (2, 3, size // 2 + 1)
    within(got, want)
    assert values["label1"] == "frequency" and values["unit1"] == "Hz"
    assert float(values["o1"]) == 0 and float(values["d1"]) == pytest.approx(1 / (size * 0.004))
    assert values["o2"] == "7" and int(values["nfft"]) == size
    # Parseval: the energy of each trace from its amplitudes.
    a2 = got.astype(np.float64) ** 2
    last = -1 if size % 2 == 0 else None
    energy = (a2[..., 0] + 2 * a2[..., 1:last].sum(-1) + (a2[..., -1] if last else 0)) / size
    x2 = (traces.astype(np.float64) ** 2).sum(-1)
    assert np.all(np.abs(energy - x2) <= 1e-5 * np.maximum(x2, 1e-30) + (x2 == 0) * 1e-30)


def test_default_size_average_and_decibels(tmp_path: Path) -> None:
    rng = np.random.default_rng(8)
    x = rng.standard_normal((5, 4, 121)).astype(np.float32)  # 121 = 11^2: padded to 125
    h = write_dataset(tmp_path, "in.H", x, [{"d": 0.002}])
    r = run(tmp_path, "kovspectra", ["all=y", "db=y"], stdin=h)
    assert r.returncode == 0, r.stderr
    got, values = read_dataset(tmp_path / "out.H")
    assert values["n2"] == "1" and values["n3"] == "1" and values["nfft"] == "125"
    mean = np.abs(np.fft.rfft(x.astype(np.float64), 125, axis=-1)).reshape(-1, 63).mean(0)
    want = 20 * np.log10(mean / mean.max())
    np.testing.assert_allclose(got.reshape(-1), want, atol=1e-4)  # 1e-5 relative in amplitude

    zero = write_dataset(tmp_path, "zero.H", np.zeros((2, 8), np.float32))
    r = run(tmp_path, "kovspectra", ["db=y"], stdin=zero)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    assert np.all(got == -200)


@pytest.mark.parametrize("args, words", [
    (["nfft=100"], ["nfft=100", "n1=250"]),
    (["all=maybe"], ["all=maybe", "y or n"]),
])
def test_refusals_name_input_parameter_and_reason(tmp_path: Path, traces, args, words) -> None:
    h = write_dataset(tmp_path, "in.H", traces, [{"d": 0.004}])
    r = run(tmp_path, "kovspectra", args + [f"stdin={h}"])
    assert r.returncode == 23
    message = r.stderr.decode()
    for w in words + [str(h)]:
        assert w in message, message
    assert not list(tmp_path.glob("out.H@*"))


@pytest.mark.skipif("KOV_SANITIZED" in __import__("os").environ,
                    reason="the sanitizer reserves more address space than the limit")
def test_a_header_declaring_long_traces_it_does_not_have(tmp_path: Path) -> None:
    # n1 = 2^28: the plan and the blocks would take gigabytes; the data's
    # 100 bytes must end the run first, within 512 MiB of address space.
    import os
    import resource
    import subprocess

    from trace_programs import program
    (tmp_path / "tiny@").write_bytes(bytes(100))
    (tmp_path / "big.H").write_text(
        f'n1=268435456 n2=3 esize=4 data_format="xdr_float" in="{tmp_path / "tiny@"}"\n')
    limit = 512 << 20
    for name in ("kovspectra", "kovgain", "kovbandpass"):
        args = {"kovspectra": [], "kovgain": ["scale=max"], "kovbandpass": ["fhi=0.1"]}[name]
        with open(tmp_path / "big.H", "rb") as source, open(tmp_path / "o.H", "wb") as sink:
            r = subprocess.run(
                [program(name), *args], stdin=source, stdout=sink, stderr=subprocess.PIPE,
                cwd=tmp_path, env=dict(os.environ, DATAPATH=f"{tmp_path}/"), timeout=120,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        assert r.returncode == 23, (name, r.stderr)
        assert b"the data are short" in r.stderr, (name, r.stderr)
