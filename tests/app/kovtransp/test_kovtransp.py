# SPDX-License-Identifier: Apache-2.0
"""kovtransp end to end: bit for bit against numpy.swapaxes for every plane
of 2-D to 4-D datasets, in memory and with a memsize small enough to force
several passes through the temporary file, through pipes; nothing left in
the datapath's directory."""
import itertools
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "proc"))
from procdata import program, read, run, sh, write  # noqa: E402


def check(tmp_path, a, p, q, extra=()):
    r = run([program("kovtransp"), "a.H", "plane=%d%d" % (p, q), "head=t.H"] + list(extra), tmp_path)
    assert r.returncode == 0, r.stderr
    got, params = read(tmp_path / "t.H")
    want = np.swapaxes(a, a.ndim - p, a.ndim - q)
    assert got.reshape(want.shape).tobytes() == want.astype(">f4").tobytes(), (p, q, extra)
    return params


@pytest.mark.parametrize("shape", [(300, 700), (5, 40, 30), (3, 4, 5, 6)], ids=str)
def test_every_plane_equals_numpy_swapaxes(tmp_path, shape):
    a = np.random.default_rng(3).standard_normal(shape).astype(np.float32)
    axes = [(10.0 * k, 0.5 + k) for k in range(len(shape))]
    write(tmp_path / "a.H", a, axes, extra=" ".join("label%d=L%d" % (k, k) for k in range(1, 5)))
    for p, q in itertools.combinations(range(1, len(shape) + 1), 2):
        params = check(tmp_path, a, p, q)
        assert params["label%d" % p] == "L%d" % q and params["label%d" % q] == "L%d" % p
        assert float(params["o%d" % p]) == 10.0 * (q - 1) and float(params["d%d" % q]) == 0.5 + p - 1


def test_in_memory_in_several_parts(tmp_path):
    # 100 x 600 floats (234 KiB) fit in memsize=1 beside a part of the
    # output of 32 KiB: the block read once, the output made in 8 parts.
    a = np.random.default_rng(7).standard_normal((100, 600)).astype(np.float32)
    write(tmp_path / "a.H", a)
    check(tmp_path, a, 1, 2, ["memsize=1"])
    c = np.random.default_rng(8).standard_normal((2, 30, 3, 170)).astype(np.float32)
    write(tmp_path / "a.H", c)
    for p, q in ((1, 2), (1, 3), (2, 4)):
        check(tmp_path, c, p, q, ["memsize=1"])


def test_written_in_place_and_through_a_pipe(tmp_path):
    # 5000 x 100 floats (1.9 MiB) against memsize=1: read in batches of
    # 1260 lines, whose runs (4.9 KiB) are written at their places in the
    # output's data file by the second thread; down a pipe the same go
    # through the temporary file (and back in place).
    a = np.random.default_rng(9).standard_normal((5000, 100)).astype(np.float32)
    write(tmp_path / "a.H", a)
    check(tmp_path, a, 1, 2, ["memsize=1"])
    r = sh("$kovtransp a.H memsize=1 | $kovtransp memsize=1 > t.H", tmp_path)
    assert r.returncode == 0, r.stderr
    got, _ = read(tmp_path / "t.H")
    assert got.tobytes() == a.astype(">f4").tobytes()
    # Several blocks (axis 4), axes between the swapped ones, runs of 2
    # samples along axis 1; with the default memsize a batch takes all of
    # axis 3 at once.
    c = np.random.default_rng(10).standard_normal((3, 5000, 20, 2)).astype(np.float32)
    write(tmp_path / "a.H", c)
    for p, q in ((2, 3), (1, 3)):
        check(tmp_path, c, p, q, ["memsize=1"])
    check(tmp_path, c, 2, 3)
    assert sorted(os.listdir(tmp_path)) == ["a.H", "a.H@", "t.H", "t.H@"]


def test_in_place_converted_or_failing(tmp_path):
    # Native floats to xdr_float: the runs go through the library's
    # conversion, written by the main thread.
    a = np.random.default_rng(11).standard_normal((5000, 100)).astype(np.float32)
    write(tmp_path / "a.H", a, data_format="native_float")
    check(tmp_path, a, 1, 2, ["memsize=1"])
    # A write the system refuses (beyond the file size limit) is an error
    # of the program, and no output is left.
    write(tmp_path / "a.H", a)
    (tmp_path / "t.H").unlink()
    (tmp_path / "t.H@").unlink()
    r = sh("trap '' XFSZ; ulimit -f 1024; $kovtransp a.H memsize=1 head=t.H", tmp_path)
    assert r.returncode == 23 and "cannot write the output's data at byte" in r.stderr, r.stderr
    assert sorted(os.listdir(tmp_path)) == ["a.H", "a.H@"]


def test_several_passes_through_the_temporary_file(tmp_path):
    # 2000 x 600 floats = 4.6 MiB against memsize=1: groups of 218 lines.
    a = np.random.default_rng(4).standard_normal((600, 2000)).astype(np.float32)
    write(tmp_path / "a.H", a)
    check(tmp_path, a, 1, 2, ["memsize=1"])
    c = np.random.default_rng(5).standard_normal((3, 200, 7, 300)).astype(np.float32)
    write(tmp_path / "a.H", c)
    for p, q in ((1, 3), (2, 3), (1, 4)):
        check(tmp_path, c, p, q, ["memsize=1"])
    # Lines longer than half of memsize go to the file piece by piece.
    d = np.random.default_rng(6).standard_normal((2, 3, 140000)).astype(np.float32)
    write(tmp_path / "a.H", d)
    check(tmp_path, d, 1, 2, ["memsize=1"])
    assert sorted(os.listdir(tmp_path)) == ["a.H", "a.H@", "t.H", "t.H@"]


def test_pipes_in_and_out_and_formats(tmp_path):
    a = np.arange(12 * 5, dtype=np.int32).reshape(5, 12)
    write(tmp_path / "a.H", a, data_format="xdr_int")
    r = sh("cat a.H | $kovtransp memsize=1 | $kovtransp plane=21 data_format=xdr_int > t.H", tmp_path)
    assert r.returncode == 0, r.stderr
    got, params = read(tmp_path / "t.H")
    assert params["data_format"] == "xdr_int" and np.array_equal(got, a)


@pytest.mark.parametrize("args,message", [
    (["plane=11"], "plane=11"), (["plane=1"], "plane=1"), (["memsize=0"], "memsize=0"),
    (["plane=12", "memsize=x"], "memsize=x"),
])
def test_refusals(tmp_path, args, message):
    write(tmp_path / "a.H", np.zeros((3, 4), np.float32))
    r = run([program("kovtransp"), "a.H", "head=t.H"] + args, tmp_path)
    assert r.returncode == 23 and message in r.stderr, r.stderr
    assert not (tmp_path / "t.H@").exists()
