# SPDX-License-Identifier: Apache-2.0
"""kovstack end to end: every axis of 2-D to 4-D datasets against NumPy,
through files and pipes; the new axes in the history; refusals."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "proc"))
from procdata import mismatches, nasty, program, read, run, sh, write  # noqa: E402


def reference(a, axis, mode, norm):
    """NumPy's float64 reduction along the dataset's axis `axis`."""
    a64 = a.astype(np.float64)
    ax = a.ndim - axis
    live = np.maximum((np.isfinite(a64) & (a64 != 0)).sum(axis=ax), 1)
    with np.errstate(all="ignore"):
        if mode == "sum":
            return a64.sum(axis=ax)
        if mode == "max":
            return a64.max(axis=ax)
        if mode == "min":
            return a64.min(axis=ax)
        if mode == "mean":
            return a64.sum(axis=ax) / live if norm else a64.mean(axis=ax)
        return np.sqrt((a64 ** 2).sum(axis=ax) / live) if norm else np.sqrt(np.mean(a64 ** 2, axis=ax))


@pytest.mark.parametrize("shape", [(9, 130), (3, 5, 40), (2, 3, 4, 17)], ids=str)
def test_every_axis_and_mode_equals_numpy(tmp_path, shape):
    rng = np.random.default_rng(len(shape))
    a = nasty(rng, shape)
    a[..., 1, :] = 0.0  # a muted trace
    axes = [(float(k), 0.5 * (k + 1)) for k in range(len(shape))]
    write(tmp_path / "a.H", a, axes)
    for axis in range(1, len(shape) + 1):
        for mode in ("mean", "sum", "rms", "max", "min"):
            for norm in ("y", "n"):
                r = run([program("kovstack"), "a.H", "axis=%d" % axis, "mode=" + mode,
                         "norm=" + norm, "head=s.H"], tmp_path)
                assert r.returncode == 0, r.stderr
                got, p = read(tmp_path / "s.H")
                want = reference(a, axis, mode, norm == "y")
                assert mismatches(got.reshape(want.shape), want) == 0, (axis, mode, norm)
        # The removed axis is gone from the history: the ones above moved down.
        rest = [k for k in range(1, len(shape) + 1) if k != axis]
        for new, old in enumerate(rest, 1):
            assert p["n%d" % new] == str(shape[::-1][old - 1])
            assert float(p["d%d" % new]) == 0.5 * old
        assert p["n%d" % len(shape)] == "1"
        assert p["axis"] == str(axis) and p["mode"] == "min" and p["norm"] == "n"


def test_a_pipe_in_and_out_and_the_default_axis(tmp_path):
    a = np.arange(60, dtype=np.float32).reshape(3, 4, 5)
    write(tmp_path / "a.H", a)
    r = sh("cat a.H | $kovstack | $kovstack axis=1 mode=sum > s.H", tmp_path)
    assert r.returncode == 0, r.stderr
    got, _ = read(tmp_path / "s.H")
    live = (a != 0).sum(axis=1)
    want = (a.astype(np.float64).sum(axis=1) / live).astype(np.float32).astype(np.float64).sum(axis=1)
    assert mismatches(got, want) == 0


def test_byte_and_integer_inputs(tmp_path):
    a = np.array([[1, 2, 3], [250, 251, 0]], np.uint8)
    write(tmp_path / "b.H", a, data_format="native_byte")
    r = run([program("kovstack"), "b.H", "mode=sum", "head=s.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert read(tmp_path / "s.H")[0].tolist() == [251, 253, 3]


@pytest.mark.parametrize("args,message", [
    (["axis=3"], "axis=3: the input has 2 axes"),
    (["axis=0"], "axis=0: must be from 1 to 9"),
    (["axis=99999999999"], "axis=99999999999"),
    (["mode=median"], "mode=median"),
    (["norm=maybe"], "norm=maybe"),
])
def test_refusals(tmp_path, args, message):
    write(tmp_path / "a.H", np.ones((3, 4), np.float32))
    r = run([program("kovstack"), "a.H", "head=s.H"] + args, tmp_path)
    assert r.returncode == 23 and message in r.stderr, r.stderr
    assert not (tmp_path / "s.H@").exists()


@pytest.mark.parametrize("cut", [40, 52], ids=["short", "longer"])
def test_data_of_another_size_than_declared_are_fatal_mapped_or_read(tmp_path, cut):
    write(tmp_path / "a.H", np.ones((3, 4), np.float32))
    with open(tmp_path / "a.H@", "r+b") as f:
        f.truncate(cut)
    for mapping in ("1", "0"):
        r = run([program("kovstack"), "a.H", "head=s.H"], tmp_path,
                env_extra={"KOV_MAP": mapping})
        assert r.returncode == 23, r.stderr
        if cut < 48:
            assert "the data are short: the header declares 48 bytes, only 40" in r.stderr
        else:
            assert "the data are longer than the header says: 48 bytes declared" in r.stderr
        assert not (tmp_path / "s.H").exists()


FORMATS = ["xdr_float", "native_float", "xdr_int", "native_byte", "xdr_byte"]


@pytest.mark.parametrize("data_format", FORMATS)
def test_mapped_files_give_the_bits_of_reads_on_every_path(tmp_path, data_format):
    # Slices of 1500 samples: the output's samples in ranges over two
    # threads; axis 3 stacks two output slices.
    rng = np.random.default_rng(11)
    if "float" in data_format:
        a = nasty(rng, (2, 7, 1500))
    elif data_format == "xdr_int":
        a = rng.integers(-(1 << 30), 1 << 30, (2, 7, 1500)).astype(np.int32)
        a[:, 2, :] = 0
    else:
        a = rng.integers(0, 256, (2, 7, 1500)).astype(np.uint8)
    write(tmp_path / "a.H", a, data_format=data_format)
    for axis in (2, 3):
        for mode in ("mean", "rms", "max"):
            outputs = []
            for env in ({"KOV_MAP": "0"}, {}, {"KOV_SIMD": "plain"}, {"KOV_SIMD": "avx2"}):
                r = run([program("kovstack"), "a.H", "axis=%d" % axis, "mode=" + mode,
                         "head=s.H"], tmp_path, env_extra=env)
                assert r.returncode == 0, r.stderr
                outputs.append((tmp_path / "s.H@").read_bytes())
            assert all(o == outputs[0] for o in outputs), (axis, mode)
            got, _ = read(tmp_path / "s.H")
            want = reference(a.astype(np.float64), axis, mode, True)
            if "float" in data_format:
                assert mismatches(got.reshape(want.shape), want) == 0, (axis, mode)


def test_slices_wider_than_memory_are_read_piece_by_piece_from_a_file(tmp_path):
    # 2**20 + 37 samples per slice: more than one piece; a pipe cannot seek.
    rng = np.random.default_rng(9)
    a = nasty(rng, (3, (1 << 20) + 37))
    write(tmp_path / "a.H", a)
    r = run([program("kovstack"), "a.H", "mode=sum", "head=s.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert mismatches(read(tmp_path / "s.H")[0], a.astype(np.float64).sum(axis=0)) == 0
    r = sh("cat a.H | $kovstack mode=sum > p.H", tmp_path)  # the data are still in a file
    assert r.returncode == 0, r.stderr
    assert mismatches(read(tmp_path / "p.H")[0], a.astype(np.float64).sum(axis=0)) == 0
    r = sh("$kovmath a=a.H output=a | $kovstack mode=sum > q.H", tmp_path)
    assert r.returncode == 23 and "give the input as a file" in r.stderr


def test_data_of_many_windows_give_the_bits_of_reads_on_every_path(tmp_path):
    # 37 MB of slices to each of two stacks: several of the mapped windows
    # each, the threads (two ranges of output samples) going through them
    # at their own pace.
    rng = np.random.default_rng(5)
    a = rng.standard_normal((2, 9000, 1030)).astype(np.float32)
    a[:, ::7, 3::11] = 0
    write(tmp_path / "a.H", a)
    want = reference(a, 2, "mean", True)
    outputs = []
    for env in ({"KOV_MAP": "0"}, {}, {"KOV_SIMD": "plain"}, {"KOV_SIMD": "avx2"}):
        r = run([program("kovstack"), "a.H", "head=s.H"], tmp_path, env_extra=env)
        assert r.returncode == 0, r.stderr
        outputs.append((tmp_path / "s.H@").read_bytes())
    assert all(o == outputs[0] for o in outputs)
    assert mismatches(read(tmp_path / "s.H")[0], want) == 0
