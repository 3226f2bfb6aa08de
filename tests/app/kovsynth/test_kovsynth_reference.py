# SPDX-License-Identifier: Apache-2.0
"""kovsynth against an independent NumPy implementation of the formulas of
its manual page."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))
import kovdata  # noqa: E402


def reference(v: np.ndarray, dz: float, nt: int, dt: float, fpeak: float,
              offsets: np.ndarray, gardner: bool) -> tuple[np.ndarray, np.ndarray]:
    """Traces (nt, offsets) of one model trace, and its RMS velocity in time."""
    v = v.astype(np.float64)
    dtz = 2.0 * dz / v                                   # two-way time of each cell
    top = np.concatenate(([0.0], np.cumsum(dtz)))        # top of each cell
    v2t = np.concatenate(([0.0], np.cumsum(2.0 * dz * v)))
    imp = 0.31 * v ** 0.25 * v if gardner else v
    k = np.nonzero(imp[1:] != imp[:-1])[0] + 1
    r = (imp[k] - imp[k - 1]) / (imp[k] + imp[k - 1])
    t0, vrms = top[k], np.sqrt(v2t[k] / top[k])
    t = np.arange(nt) * dt
    out = np.zeros((nt, len(offsets)))
    for j, h in enumerate(offsets):
        th = np.sqrt(t0 ** 2 + h * h / vrms ** 2)
        a = (np.pi * fpeak * (t[:, None] - th[None, :])) ** 2
        out[:, j] = ((1 - 2 * a) * np.exp(-a)) @ r
    # RMS velocity at every output time: the cell holding t, the last one continued.
    cell = np.clip(np.searchsorted(top[1:], t, side="right"), 0, len(v) - 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        vt = np.sqrt((v2t[cell] + v[cell] ** 2 * (t - top[cell])) / t)
    vt[t <= 0] = v[0]
    return out, vt


def model(nz: int, nx: int, seed: int) -> np.ndarray:
    """Layers of random velocities with a gradient and lateral change."""
    rng = np.random.default_rng(seed)
    z = np.arange(nz)[:, None]
    v = 1500 + 2.0 * z + 100 * np.sin(np.arange(nx)[None, :] / 3.0)
    for b in sorted(rng.integers(5, nz, 4)):
        v = v + (z >= b) * rng.uniform(200, 800)
    v[nz // 2:nz // 2 + 3, :] = v[nz // 2, 0]                 # a constant stretch: no reflections
    return v.astype(np.float32)


@pytest.mark.parametrize("density", ["constant", "gardner"])
def test_gathers_and_vrms_match_numpy(tmp_path: Path, density: str) -> None:
    v = model(120, 4, 7)
    src = kovdata.write(tmp_path, "model.H", v, o1=0.0, d1=4.0, label1="z", o2=100.0, d2=25.0,
                        label2="cmpx", unit2="m")
    res = kovdata.run(tmp_path, [kovdata.program("kovsynth"), "nt=300", "dt=0.002", "fpeak=30",
                                 "noff=5", "doff=120", "ooff=-100", f"density={density}",
                                 "vrms=vrms.H"], src, tmp_path / "g.H")
    assert res.returncode == 0, res.stderr
    g, p = kovdata.read(tmp_path / "g.H")
    assert g.shape == (300, 5, 4)
    assert (p["label1"], p["unit1"], p["o2"], p["d2"], p["label2"], p["unit2"]) == \
        ("time", "s", "-100", "120", "offset", "m")
    assert (p["n3"], p["o3"], p["label3"], p["fpeak"], p["density"], p["barlabel"]) == \
        ("4", "100", "cmpx", "30", density, "")
    vr, q = kovdata.read(tmp_path / "vrms.H")
    assert vr.shape == (300, 4) and q["o2"] == "100" and q["unit1"] == "s"
    offsets = -100.0 + 120.0 * np.arange(5)
    for x in range(4):
        want, vt = reference(v[:, x], 4.0, 300, 0.002, 30.0, offsets, density == "gardner")
        scale = np.abs(want).max()
        assert scale > 0.01
        np.testing.assert_allclose(g[:, :, x], want, rtol=0, atol=1e-5 * scale)
        np.testing.assert_allclose(vr[:, x], vt, rtol=1e-6)


def test_zero_offset_section_and_placement_between_samples(tmp_path: Path) -> None:
    # One interface whose two-way time falls between samples: the wavelet's
    # peak lies at the exact time, not at a sample.
    v = np.full((50, 1), 2000.0, dtype=np.float32)
    v[21:] = 3000.0                                     # interface at t = 2*21*1.5/2000 = 0.0315 s
    src = kovdata.write(tmp_path, "m.H", v, d1=1.5)
    res = kovdata.run(tmp_path, [kovdata.program("kovsynth"), "nt=64", "dt=0.001", "fpeak=40"],
                      src, tmp_path / "z.H")
    assert res.returncode == 0, res.stderr
    z, p = kovdata.read(tmp_path / "z.H")
    assert z.shape == (64, 1) and p["n1"] == "64"
    r = (3000 - 2000) / 5000
    t = np.arange(64) * 0.001
    a = (np.pi * 40 * (t - 0.0315)) ** 2
    np.testing.assert_allclose(z[:, 0], r * (1 - 2 * a) * np.exp(-a), atol=1e-6)
    assert z[31, 0] == pytest.approx(z[32, 0], rel=1e-6)  # symmetric about 31.5 ms


@pytest.mark.parametrize("args, words", [
    (["fpeak=125", "dt=0.004"], "Nyquist"),
    (["noff=3"], "doff"),
    (["doff=10"], "noff"),
    (["density=heavy"], "density=heavy"),
    (["nt=0"], "nt=0"),
])
def test_refused_parameters(tmp_path: Path, args: list[str], words: str) -> None:
    src = kovdata.write(tmp_path, "m.H", model(20, 2, 1))
    res = kovdata.run(tmp_path, [kovdata.program("kovsynth"), *args], src, tmp_path / "o.H")
    assert res.returncode == 23 and words in res.stderr


def test_bad_velocity_is_named_and_leaves_no_vrms(tmp_path: Path) -> None:
    v = model(20, 3, 2)
    v[4, 2] = 0.0
    src = kovdata.write(tmp_path, "m.H", v)
    res = kovdata.run(tmp_path, [kovdata.program("kovsynth"), "vrms=vrms.H", str(src)],
                      stdout=tmp_path / "o.H")
    assert res.returncode == 23
    assert "m.H" in res.stderr and "sample 5 of trace 3" in res.stderr
    assert not (tmp_path / "vrms.H").exists() and not (tmp_path / "vrms.H@").exists()
