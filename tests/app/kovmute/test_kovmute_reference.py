# SPDX-License-Identifier: Apache-2.0
"""kovmute against NumPy's evaluation of the weights of its manual page."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent.parent / "kovsynth"))
import kovdata  # noqa: E402


def weight(s: np.ndarray, ntaper: int) -> np.ndarray:
    w = np.where(s < 0, 0.0, 1.0)
    if ntaper > 0:
        inside = (s >= 0) & (s < ntaper)
        w[inside] = 0.5 * (1 - np.cos(np.pi * s[inside] / ntaper))
    return w


def reference(data, o1, d1, offsets, tmute, vmute, hyper, below, ntaper):
    out = data.astype(np.float64).copy()
    t = o1 + d1 * np.arange(data.shape[0])
    for j, h in enumerate(offsets):
        tm = np.sqrt(tmute ** 2 + h * h / vmute ** 2) if hyper else tmute + abs(h) / vmute
        s = (t - tm) / d1
        out[:, j] *= weight(-s if below else s, ntaper)[:, None]
    return out.astype(np.float32)


@pytest.mark.parametrize("mode", ["above", "below"])
@pytest.mark.parametrize("hyper", [False, True])
@pytest.mark.parametrize("ntaper", [0, 7])
def test_mute_matches_numpy(tmp_path: Path, mode: str, hyper: bool, ntaper: int) -> None:
    rng = np.random.default_rng(11)
    data = rng.standard_normal((250, 9, 2)).astype(np.float32)
    src = kovdata.write(tmp_path, "g.H", data, o1=-0.02, d1=0.004, o2=-400.0, d2=100.0)
    args = [kovdata.program("kovmute"), "tmute=0.1", "vmute=1500", f"mode={mode}",
            f"hyper={'y' if hyper else 'n'}", f"ntaper={ntaper}"]
    res = kovdata.run(tmp_path, args, src, tmp_path / "o.H")
    assert res.returncode == 0, res.stderr
    out, p = kovdata.read(tmp_path / "o.H")
    assert (p["mode"], p["ntaper"], p["vmute"]) == (mode, str(ntaper), "1500")
    want = reference(data, -0.02, 0.004, -400.0 + 100.0 * np.arange(9), 0.1, 1500.0, hyper,
                     mode == "below", ntaper)
    # Zeroed and kept samples are exact; a tapered one may differ by the last
    # bit of the cosine of one library or the other.
    np.testing.assert_array_equal(out == 0, want == 0)
    np.testing.assert_allclose(out, want, rtol=2.5e-7, atol=0)
    kept = want == data
    assert kept.any() and (want == 0).any()
    np.testing.assert_array_equal(out[kept], data[kept])


def test_flat_line_and_milliseconds(tmp_path: Path) -> None:
    data = np.ones((50, 3), dtype=np.float32)
    src = kovdata.write(tmp_path, "g.H", data, o1=0.0, d1=4.0, unit1="ms", d2=1000.0)
    res = kovdata.run(tmp_path, [kovdata.program("kovmute"), "tmute=0.1"], src, tmp_path / "o.H")
    assert res.returncode == 0, res.stderr
    out, _ = kovdata.read(tmp_path / "o.H")
    want = np.ones((50, 3), dtype=np.float32)
    want[:25] = 0                                          # 0 .. 96 ms
    np.testing.assert_array_equal(out, want)


@pytest.mark.parametrize("args, words", [
    (["vmute=0"], "vmute=0"),
    (["ntaper=-2"], "ntaper=-2"),
    (["mode=sideways"], "mode=sideways"),
    (["tmute=abc"], "tmute=abc"),
])
def test_refused(tmp_path: Path, args: list[str], words: str) -> None:
    src = kovdata.write(tmp_path, "g.H", np.ones((10, 2), dtype=np.float32))
    res = kovdata.run(tmp_path, [kovdata.program("kovmute"), *args], src, tmp_path / "o.H")
    assert res.returncode == 23 and words in res.stderr, res.stderr


def test_through_pipes_as_through_files(tmp_path: Path) -> None:
    v = np.full((80, 3), 2000.0, dtype=np.float32)
    v[40:] = 2600.0
    kovdata.write(tmp_path, "m.H", v, d1=5.0)
    synth, nmo, mute = (kovdata.program(p) for p in ("kovsynth", "kovnmo", "kovmute"))
    script = (f"set -e -o pipefail\n"
              f"'{synth}' < m.H nt=200 noff=6 doff=40 vrms=v.H > g.H\n"
              f"'{nmo}' velocity=v.H < g.H > n.H\n'{mute}' < n.H tmute=0.02 vmute=2000 > a.H\n"
              f"'{synth}' < m.H nt=200 noff=6 doff=40 | '{nmo}' velocity=v.H "
              f"| '{mute}' tmute=0.02 vmute=2000 > b.H\n")
    res = kovdata.run(tmp_path, ["bash", "-c", script])
    assert res.returncode == 0, res.stderr
    a, _ = kovdata.read(tmp_path / "a.H")
    b, _ = kovdata.read(tmp_path / "b.H")
    assert a.shape == (200, 6, 3) and np.abs(a).max() > 0.05
    np.testing.assert_array_equal(a, b)


def write_with_headers(directory: Path, data: np.ndarray, offsets: np.ndarray) -> Path:
    """Traces with a header record each: keys offset (float) and cdp (int)."""
    records = np.zeros((len(offsets), 2), dtype=">f4")
    records[:, 0] = offsets
    records.view(">i4")[:, 1] = np.arange(len(offsets)) // 3
    records.tofile(directory / "h.H@")
    (directory / "h.H").write_text(
        f'n1=2 n2={len(offsets)} hdrkey1="offset" hdrtype1="scalar_float" hdrfmt1="xdr_float"\n'
        'hdrkey2="cdp" hdrtype2="scalar_int" hdrfmt2="xdr_int"\n'
        f'in="{directory}/h.H@" data_format="xdr_float" esize=4\n')
    src = kovdata.write(directory, "g.H", data, d1=0.004, o2=0.0, d2=1.0)  # axis 2 not the offsets
    with open(src, "a") as f:
        f.write('hff="h.H" gff="-1"\n')
    return src


def test_offsets_from_trace_headers(tmp_path: Path) -> None:
    rng = np.random.default_rng(4)
    data = rng.standard_normal((120, 9, 1)).astype(np.float32)
    offsets = rng.uniform(-900, 900, 9).astype(np.float32)
    src = write_with_headers(tmp_path, data, offsets)
    res = kovdata.run(tmp_path, [kovdata.program("kovmute"), "tmute=0.05", "vmute=3000",
                                 "ntaper=4"], src, tmp_path / "o.H")
    assert res.returncode == 0, res.stderr
    out, p = kovdata.read(tmp_path / "o.H")
    assert p["hff"] == "h.H"
    want = reference(data, 0.0, 0.004, offsets.astype(np.float64), 0.05, 3000.0, False, False, 4)
    np.testing.assert_array_equal(out == 0, want == 0)
    np.testing.assert_allclose(out, want, rtol=2.5e-7, atol=0)
