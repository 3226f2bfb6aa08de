# SPDX-License-Identifier: Apache-2.0
"""kovnmo against a NumPy implementation of the moveout and the windowed
sinc of its manual page, and on kovsynth's gathers with kovsynth's RMS
velocities."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent.parent / "kovsynth"))
import kovdata  # noqa: E402


def weights(f: np.ndarray) -> np.ndarray:
    """The 8 normalised windowed-sinc weights at fractions f, shape (len(f), 8)."""
    u = f[:, None] - np.arange(-3, 5)[None, :]
    w = np.sinc(u) * 0.5 * (1 + np.cos(np.pi * u / 4))
    return w / w.sum(axis=1, keepdims=True)


def interpolate(trace: np.ndarray, x: np.ndarray) -> np.ndarray:
    """The trace at fractional positions x, zero outside."""
    padded = np.concatenate((np.zeros(8), trace.astype(np.float64), np.zeros(8)))
    base = np.floor(x)
    ok = (base > -5) & (base < len(trace) + 4)
    b = np.where(ok, base, 0).astype(int)
    idx = b[:, None] + np.arange(-3, 5)[None, :] + 8
    out = (padded[idx] * weights(x - np.where(ok, base, 0))).sum(axis=1)
    return np.where(ok, out, 0.0)


def nmo(trace, t, v, h, stretch):
    th = np.sqrt(t * t + h * h / (v * v)) if h != 0 else t
    out = interpolate(trace, (th - t[0]) / (t[1] - t[0]))
    if h != 0:
        out[~((t > 0) & (th - t <= stretch * t))] = 0
    return out


def inverse_nmo(trace, t, v, h):
    th = np.sqrt(t * t + h * h / (v * v))
    rising = 1
    while rising < len(t) and th[rising] > th[rising - 1]:
        rising += 1
    x = np.interp(t, th[:rising], np.arange(rising))
    out = interpolate(trace, x)
    out[(t < th[0]) | (t > th[rising - 1])] = 0
    return out


def gathers(nt: int, noff: int, ng: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((nt, noff, ng)).astype(np.float32)
    data[:, 1, 0] = 0.0                                      # an all-zero trace
    return data


@pytest.mark.parametrize("inverse", [False, True])
def test_velocity_per_gather_matches_numpy(tmp_path: Path, inverse: bool) -> None:
    nt, noff, ng = 200, 6, 3
    data = gathers(nt, noff, ng, 3)
    src = kovdata.write(tmp_path, "g.H", data, o1=0.0, d1=0.004, o2=-250.0, d2=100.0)
    # Velocities on a coarser time axis starting later: resampled linearly,
    # the first value continued above it.
    vt = np.linspace(1500, 3500, 41)[:, None] + np.array([0, 300, -200])[None, :]
    vel = kovdata.write(tmp_path, "v.H", vt.astype(np.float32), o1=0.04, d1=0.02)
    args = [kovdata.program("kovnmo"), "velocity=v.H", "str=0.8"] + (["inv=y"] if inverse else [])
    res = kovdata.run(tmp_path, args, src, tmp_path / "o.H")
    assert res.returncode == 0, res.stderr
    out, p = kovdata.read(tmp_path / "o.H")
    assert out.shape == data.shape and p["velocity"] == "v.H" and p["str"] == "0.8"
    t = np.arange(nt) * 0.004
    for g in range(ng):
        v = np.interp(t, 0.04 + 0.02 * np.arange(41), np.float32(vt[:, g]).astype(np.float64))
        v = v.astype(np.float32).astype(np.float64)
        for j in range(noff):
            h = -250.0 + 100.0 * j
            want = inverse_nmo(data[:, j, g], t, v, h) if inverse else \
                nmo(data[:, j, g], t, v, h, 0.8)
            np.testing.assert_allclose(out[:, j, g], want, rtol=0,
                                       atol=1e-5 * max(np.abs(want).max(), 1e-30))


def test_milliseconds_and_constant_velocity(tmp_path: Path) -> None:
    data = gathers(100, 4, 1, 5)
    ms = kovdata.write(tmp_path, "ms.H", data, o1=0.0, d1=4.0, unit1="ms", d2=200.0)
    s = kovdata.write(tmp_path, "s.H", data, o1=0.0, d1=0.004, unit1="s", d2=200.0)
    prog = kovdata.program("kovnmo")
    assert kovdata.run(tmp_path, [prog, "vel=2000"], ms, tmp_path / "a.H").returncode == 0
    assert kovdata.run(tmp_path, [prog, "vel=2000"], s, tmp_path / "b.H").returncode == 0
    a, pa = kovdata.read(tmp_path / "a.H")
    b, _ = kovdata.read(tmp_path / "b.H")
    assert pa["unit1"] == "ms" and float(pa["d1"]) == 4.0
    np.testing.assert_array_equal(a, b)
    t = np.arange(100) * 0.004
    for j in range(4):
        want = nmo(data[:, j, 0], t, np.full(100, 2000.0), 200.0 * j, 0.5)
        np.testing.assert_allclose(a[:, j, 0], want, atol=1e-5 * np.abs(want).max())


def test_kovsynth_gathers_come_out_flat(tmp_path: Path) -> None:
    v = np.full((300, 2), 1800.0, dtype=np.float32)
    v[60:] = 2400.0
    v[140:] = 3000.0
    v[220:, 1] = 3800.0
    v[220:, 0] = 2600.0
    model = kovdata.write(tmp_path, "m.H", v, d1=5.0, d2=50.0)
    res = kovdata.run(tmp_path, [kovdata.program("kovsynth"), "nt=500", "dt=0.004", "fpeak=25",
                                 "noff=24", "doff=40", "vrms=vrms.H"], model, tmp_path / "g.H")
    assert res.returncode == 0, res.stderr
    res = kovdata.run(tmp_path, [kovdata.program("kovnmo"), "velocity=vrms.H"], tmp_path / "g.H",
                      tmp_path / "n.H")
    assert res.returncode == 0, res.stderr
    out, _ = kovdata.read(tmp_path / "n.H")

    def peak(trace: np.ndarray, near: int) -> float:
        i = near - 4 + int(np.argmax(np.abs(trace[near - 4:near + 5])))
        a, b, c = np.abs(trace[i - 1:i + 2])
        return i + 0.5 * (a - c) / (a - 2 * b + c)        # parabola through the top

    for m in range(2):
        zero = out[:, 0, m]
        events = [i for i in range(5, 495)
                  if abs(zero[i]) >= abs(zero[i - 4:i + 5]).max() and abs(zero[i]) > 0.05]
        assert len(events) == 3
        checked = 0
        for e in events:
            t0 = peak(zero, e)
            for j in range(1, 24):
                if np.any(out[e - 8:e + 9, j, m] == 0):       # touched by the stretch mute
                    continue
                assert abs(peak(out[:, j, m], e) - t0) <= 0.5, (m, e, j)
                checked += 1
        assert checked >= 40


@pytest.mark.parametrize("args, words", [
    ([], "vel="),
    (["vel=2000", "velocity=v.H"], "either"),
    (["vel=-1"], "vel=-1"),
    (["velocity=v2.H"], "v2.H: 2 velocity traces for 3 gathers"),
    (["velocity=bad.H"], "bad.H: the velocity"),
    (["vel=2000", "str=0"], "str=0"),
])
def test_refused(tmp_path: Path, args: list[str], words: str) -> None:
    src = kovdata.write(tmp_path, "g.H", gathers(20, 2, 3, 1), d1=0.004)
    kovdata.write(tmp_path, "v2.H", np.full((20, 2), 2000.0), d1=0.004)
    bad = np.full((20, 3), 2000.0)
    bad[7, 1] = np.nan
    kovdata.write(tmp_path, "bad.H", bad, d1=0.004)
    res = kovdata.run(tmp_path, [kovdata.program("kovnmo"), *args], src, tmp_path / "o.H")
    assert res.returncode == 23 and words in res.stderr, res.stderr


def test_offsets_from_trace_headers(tmp_path: Path) -> None:
    sys.path.insert(0, str(Path(__file__).parent.parent / "kovmute"))
    from test_kovmute_reference import write_with_headers
    data = gathers(150, 6, 1, 8)[:, :, 0]
    offsets = np.array([700, -300, 0, 150, -650, 400], dtype=np.float32)
    src = write_with_headers(tmp_path, data, offsets)
    res = kovdata.run(tmp_path, [kovdata.program("kovnmo"), "vel=2500", "str=2"], src,
                      tmp_path / "o.H")
    assert res.returncode == 0, res.stderr
    out, _ = kovdata.read(tmp_path / "o.H")
    t = np.arange(150) * 0.004
    for j, h in enumerate(offsets):
        want = nmo(data[:, j], t, np.full(150, 2500.0), float(h), 2.0)
        np.testing.assert_allclose(out[:, j], want, atol=1e-5 * np.abs(want).max())
