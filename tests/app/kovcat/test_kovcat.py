# SPDX-License-Identifier: Apache-2.0
"""kovcat end to end: bit for bit against numpy.concatenate for every axis
of 1-D to 4-D datasets, a new axis, the coordinates' warning, formats and
refusals."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "proc"))
from procdata import mismatches, nasty, program, read, run, write  # noqa: E402


@pytest.mark.parametrize("shape", [(11,), (4, 7), (3, 4, 5), (2, 3, 4, 5)], ids=str)
def test_every_axis_equals_numpy_concatenate(tmp_path, shape):
    rng = np.random.default_rng(sum(shape))
    nd = len(shape)
    for axis in range(1, nd + 1):
        ax = nd - axis
        parts = []
        for j, extra in enumerate((1, 3, 2)):
            s = list(shape)
            s[ax] = extra
            parts.append(nasty(rng, tuple(s)))
            axes = [(0.0, 1.0)] * nd
            axes[axis - 1] = (2.0 + 0.5 * sum(p.shape[ax] for p in parts[:-1]), 0.5)
            write(tmp_path / ("p%d.H" % j), parts[-1], axes[::1])
        r = run([program("kovcat"), "p0.H", "p1.H", "p2.H", "axis=%d" % axis, "head=c.H"], tmp_path)
        assert r.returncode == 0, r.stderr
        assert "warning" not in r.stderr
        got, p = read(tmp_path / "c.H")
        want = np.concatenate(parts, axis=ax)
        assert got.reshape(want.shape).tobytes() == want.astype(">f4").tobytes()
        assert p["n%d" % axis] == "6" and float(p["o%d" % axis]) == 2.0
        assert float(p["d%d" % axis]) == 0.5


def test_pieces_read_in_groups_the_last_one_shorter(tmp_path):
    # Traces of 400 KB and 200 KB joined along axis 1: pieces of several
    # traces are read at once (groups of 6 traces, then 1), one input
    # converted from xdr_int through doubles.
    rng = np.random.default_rng(12)
    a = rng.standard_normal((13, 100000)).astype(np.float32)
    b = rng.integers(-1000, 1000, (13, 50000)).astype(np.int32)
    write(tmp_path / "a.H", a)
    write(tmp_path / "b.H", b, data_format="xdr_int")
    r = run([program("kovcat"), "a.H", "b.H", "axis=1", "head=c.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    got, _ = read(tmp_path / "c.H")
    want = np.concatenate([a, b.astype(np.float32)], axis=1)
    assert got.reshape(want.shape).tobytes() == want.astype(">f4").tobytes()


def test_one_past_the_last_axis_makes_a_new_one(tmp_path):
    a, b = np.zeros((3, 4), np.float32), np.ones((3, 4), np.float32)
    write(tmp_path / "a.H", a)
    write(tmp_path / "b.H", b)
    r = run([program("kovcat"), "a.H", "b.H", "a.H", "axis=3", "head=c.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    got, p = read(tmp_path / "c.H")
    assert np.array_equal(got, np.stack([a, b, a]))
    assert p["n3"] == "3"


def test_a_break_in_the_spacing_is_a_warning_naming_the_input(tmp_path):
    write(tmp_path / "a.H", np.zeros((2, 4), np.float32), [(0.0, 1.0), (0.0, 1.0)])
    write(tmp_path / "b.H", np.ones((3, 4), np.float32), [(0.0, 1.0), (10.0, 1.0)])
    r = run([program("kovcat"), "a.H", "b.H", "axis=2", "head=c.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert "b.H: warning" in r.stderr and "o2=2" in r.stderr
    got, p = read(tmp_path / "c.H")
    assert got.shape == (5, 4) and p["d2"] == "1" and p["o2"] == "0"


def test_formats_are_kept_or_converted_exactly(tmp_path):
    ints = np.array([[1, -2, 16777216]], np.int32)
    write(tmp_path / "i.H", ints, data_format="xdr_int")
    write(tmp_path / "f.H", np.array([[0.5, 1.5, 2.5]], np.float32))
    r = run([program("kovcat"), "i.H", "f.H", "axis=2", "head=c.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert read(tmp_path / "c.H")[0].tolist() == [[1, -2, 16777216], [0.5, 1.5, 2.5]]
    r = run([program("kovcat"), "i.H", "i.H", "data_format=xdr_int", "head=d.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    got, p = read(tmp_path / "d.H")
    assert p["data_format"] == "xdr_int" and got.tolist() == [[1, -2, 16777216]] * 2
    write(tmp_path / "big.H", np.array([16777217], np.int32), data_format="xdr_int")
    r = run([program("kovcat"), "big.H", "big.H", "head=e.H"], tmp_path)
    assert r.returncode == 23 and "16777217" in r.stderr and "big.H" in r.stderr


@pytest.mark.parametrize("args,message", [
    (["a.H", "b.H", "axis=1"], "a.H and b.H differ on axis 2"),
    (["a.H", "a.H", "axis=4"], "axis=4: the inputs have 2 axes"),
    ([], "give the datasets to join"),
    (["a.H", "missing.H"], "missing.H"),
])
def test_refusals(tmp_path, args, message):
    write(tmp_path / "a.H", np.zeros((2, 4), np.float32))
    write(tmp_path / "b.H", np.zeros((3, 4), np.float32))
    r = run([program("kovcat"), "head=c.H"] + args, tmp_path)
    assert r.returncode == 23 and message in r.stderr, r.stderr
    assert not (tmp_path / "c.H@").exists()
