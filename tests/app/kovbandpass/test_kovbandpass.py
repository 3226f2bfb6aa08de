# SPDX-License-Identifier: Apache-2.0
"""kovbandpass end to end against SciPy's Butterworth sections with
sosfiltfilt (padding as the manual page documents) and sosfilt: equal
within 1e-4 of each trace's largest value."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest
from scipy import signal

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from trace_programs import read_dataset, run, write_dataset  # noqa: E402

DT = 0.004


def sections(flo: float | None, nplo: int, fhi: float | None, nphi: int) -> np.ndarray:
    parts = []
    if flo is not None:
        parts.append(signal.butter(nplo, flo, "highpass", fs=1 / DT, output="sos"))
    if fhi is not None:
        parts.append(signal.butter(nphi, fhi, "lowpass", fs=1 / DT, output="sos"))
    return np.vstack(parts)


def reference(x: np.ndarray, flo, fhi, nplo=6, nphi=6, phase="zero") -> np.ndarray:
    x64 = x.astype(np.float64)
    if phase == "minimum":
        return signal.sosfilt(sections(flo, nplo, fhi, nphi), x64, axis=-1)
    sos = sections(flo, nplo // 2, fhi, nphi // 2)
    first_order = min(np.sum(sos[:, 2] == 0), np.sum(sos[:, 5] == 0))
    pad = min(3 * (2 * len(sos) + 1 - first_order), x.shape[-1] - 1)
    return signal.sosfiltfilt(sos, x64, axis=-1, padtype="odd", padlen=pad)


def within(got: np.ndarray, want: np.ndarray) -> None:
    scale = np.max(np.abs(want), axis=-1, keepdims=True)
    assert np.all(np.abs(got - want) <= 1e-4 * scale), np.max(np.abs(got - want) / scale)


@pytest.fixture
def traces() -> np.ndarray:
    rng = np.random.default_rng(11)
    x = rng.standard_normal((2, 11, 400)).astype(np.float32)
    x += np.float32(50.0)  # an offset the high-pass removes
    return x


CASES = [
    (["flo=5", "fhi=60"], dict(flo=5, fhi=60)),
    (["fhi=30", "nphi=8"], dict(flo=None, fhi=30, nphi=8)),
    (["flo=12", "nplo=2"], dict(flo=12, fhi=None, nplo=2)),
    (["flo=3", "fhi=100", "nplo=4", "nphi=10"], dict(flo=3, fhi=100, nplo=4, nphi=10)),
    (["flo=5", "fhi=60", "phase=minimum"], dict(flo=5, fhi=60, phase="minimum")),
    (["flo=8", "nplo=3", "fhi=40", "nphi=5", "phase=minimum"],
     dict(flo=8, nplo=3, fhi=40, nphi=5, phase="minimum")),
]


@pytest.mark.parametrize("args, design", CASES)
def test_against_scipy(tmp_path: Path, traces: np.ndarray, args: list[str], design: dict) -> None:
    h = write_dataset(tmp_path, "in.H", traces, [{"d": DT, "unit": "s"}])
    r = run(tmp_path, "kovbandpass", args, stdin=h)
    assert r.returncode == 0, r.stderr
    got, values = read_dataset(tmp_path / "out.H")
    within(got, reference(traces, **design))
    assert values["phase"] == design.get("phase", "zero")
    for a in args:
        key, value = a.split("=")
        assert values[key] == value


def test_short_traces_milliseconds_and_every_vector_path(tmp_path: Path) -> None:
    rng = np.random.default_rng(2)
    for n in (1, 2, 9, 40):  # shorter than the padding, down to one sample
        x = rng.standard_normal((5, n)).astype(np.float32)
        h = write_dataset(tmp_path, f"s{n}.H", x, [{"d": 4, "unit": "ms"}])
        outputs = []
        for simd in ("plain", "avx2", ""):
            r = run(tmp_path, "kovbandpass", ["flo=10", "fhi=50"], stdin=h,
                    out=f"o{n}{simd}.H", env={"KOV_SIMD": simd})
            assert r.returncode == 0, r.stderr
            got, _ = read_dataset(tmp_path / f"o{n}{simd}.H")
            outputs.append(got.tobytes())
        assert outputs[0] == outputs[1] == outputs[2]
        if n > 1:
            within(got, reference(x, 10, 50))


def test_gain_at_the_corners_is_one_half(tmp_path: Path) -> None:
    n = 2000
    x = np.zeros((1, n), np.float32)
    x[0, n // 2] = 1
    h = write_dataset(tmp_path, "spike.H", x, [{"d": DT}])
    r = run(tmp_path, "kovbandpass", ["flo=10", "fhi=60"], stdin=h)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    spectrum = np.abs(np.fft.rfft(got[0].astype(np.float64)))
    f = np.fft.rfftfreq(n, DT)
    for corner in (10, 60):
        assert abs(spectrum[np.argmin(np.abs(f - corner))] - 0.5) < 0.01
    assert abs(spectrum[np.argmin(np.abs(f - 25))] - 1) < 0.01


@pytest.mark.parametrize("args, words", [
    (["fhi=125"], ["fhi=125", "Nyquist frequency 125"]),
    (["flo=200", "fhi=300"], ["flo=200", "Nyquist"]),
    (["flo=60", "fhi=20"], ["flo=60", "fhi=20"]),
    (["flo=5", "nplo=3"], ["nplo=3", "even"]),
    (["fhi=50", "nphi=0"], ["nphi=0"]),
    (["phase=linear", "fhi=50"], ["phase=linear"]),
    ([], ["flo=", "fhi="]),
])
def test_refusals_name_input_parameter_and_value(tmp_path: Path, args, words) -> None:
    h = write_dataset(tmp_path, "in.H", np.ones((2, 50), np.float32), [{"d": DT}])
    r = run(tmp_path, "kovbandpass", args + [f"stdin={h}"])
    assert r.returncode == 23
    message = r.stderr.decode()
    for w in words + [str(h)]:
        assert w in message, message
    assert not list(tmp_path.glob("out.H@*"))


def test_through_a_pipe_after_kovgain(tmp_path: Path, traces: np.ndarray) -> None:
    import os
    import subprocess

    from trace_programs import program
    h = write_dataset(tmp_path, "in.H", traces, [{"d": DT}])
    env = dict(os.environ, DATAPATH=str(tmp_path) + "/")
    script = (f"'{program('kovgain')}' scale=max < '{h}' | "
              f"'{program('kovbandpass')}' flo=5 fhi=60 > '{tmp_path / 'out.H'}'")
    r = subprocess.run(["bash", "-c", "set -o pipefail; " + script], cwd=tmp_path, env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=120, check=False)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    x64 = traces.astype(np.float64)
    balanced = (x64 / np.max(np.abs(x64), axis=-1, keepdims=True)).astype(np.float32)
    within(got, reference(balanced, 5, 60))
