# SPDX-License-Identifier: Apache-2.0
"""What kovgain, kovbandpass and kovspectra share (app/common/kovtraces.hpp),
with kovmute and kovnmo for their input:
inputs of many blocks read, computed on several threads and written in
order with the bits of smaller runs; every element format read; refusals of
samples that are not real numbers."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from trace_programs import read_dataset, run, write_dataset  # noqa: E402

# Each program with parameters that change every sample.
PROGRAMS = [("kovgain", ["agc=0.2", "tpow=1"]), ("kovbandpass", ["flo=5", "fhi=60"]),
            ("kovspectra", [])]
# Programs over gathers (offsets along axis 2), through the same input and
# threads; their runs on threads are compared in tests/app/proc_params.
GATHERS = [("kovmute", ["tmute=0.1", "vmute=1500", "ntaper=5"]), ("kovnmo", ["vel=2000"])]


def output(tmp_path: Path, name: str, args: list[str], x: np.ndarray, tag: str,
           fmt: str = "xdr_float", env: dict[str, str] | None = None) -> np.ndarray:
    h = write_dataset(tmp_path, f"{tag}.H", x, [{"d": 0.004}], fmt=fmt)
    r = run(tmp_path, name, args, stdin=h, out=f"{tag}.out.H", env=env)
    assert r.returncode == 0, r.stderr
    got, _ = read_dataset(tmp_path / f"{tag}.out.H")
    return got


@pytest.mark.parametrize("name, args", PROGRAMS)
def test_many_blocks_give_the_bits_of_their_parts_run_alone(tmp_path: Path, name, args) -> None:
    # Traces of 60000 samples: a few to a block, so that a dataset of 41
    # of them is many blocks on several threads; its parts alone are cut
    # elsewhere.  The output must be the parts' outputs joined, bit for bit.
    rng = np.random.default_rng(11)
    x = rng.standard_normal((41, 60000)).astype(np.float32)
    whole = output(tmp_path, name, args, x, "whole")
    cuts = ((0, 1), (1, 18), (18, 41))
    parts = [output(tmp_path, name, args, x[a:b], f"part{a}") for a, b in cuts]
    assert whole.tobytes() == np.concatenate(parts).tobytes()


@pytest.mark.parametrize("name, args", PROGRAMS + GATHERS)
@pytest.mark.parametrize("fmt", ["native_float", "xdr_int", "xdr_byte", "native_byte"])
def test_every_element_format_gives_the_bits_of_its_values_as_floats(
        tmp_path: Path, name, args, fmt) -> None:
    rng = np.random.default_rng(12)
    low, high = (0, 256) if "byte" in fmt else (-(1 << 24), 1 << 24)
    x = rng.integers(low, high, size=(3, 7, 200))
    want = output(tmp_path, name, args, x.astype(np.float32), "floats")
    got = output(tmp_path, name, args, x, fmt, fmt=fmt)
    assert got.tobytes() == want.tobytes()


def test_bytes_and_integers_against_numpy(tmp_path: Path) -> None:
    rng = np.random.default_rng(13)
    x = rng.integers(0, 256, size=(4, 256))
    got = output(tmp_path, "kovspectra", [], x, "bytes", fmt="xdr_byte")
    want = np.abs(np.fft.rfft(x.astype(np.float64), axis=-1))
    assert np.all(np.abs(got - want) <= 1e-5 * want.max(axis=-1, keepdims=True))
    i = rng.integers(-1000, 1000, size=(2, 300)).astype(np.int32)
    got = output(tmp_path, "kovgain", ["scale=max"], i, "ints", fmt="xdr_int")
    want = i / np.abs(i).max(axis=-1, keepdims=True)
    np.testing.assert_allclose(got, want, rtol=1e-6)


def test_integers_rounded_to_floats_are_warned_about(tmp_path: Path) -> None:
    x = np.array([[1 << 24, (1 << 24) + 1, -(1 << 30) - 1, 7]], dtype=np.int32)
    h = write_dataset(tmp_path, "i.H", x, fmt="xdr_int")
    r = run(tmp_path, "kovgain", ["tpow=0"], stdin=h)
    assert r.returncode == 0, r.stderr
    assert b"2 integer samples beyond 2^24 in magnitude were rounded" in r.stderr, r.stderr
    got, _ = read_dataset(tmp_path / "out.H")
    assert got.tolist() == [[16777216.0, 16777216.0, -1073741824.0, 7.0]]


@pytest.mark.parametrize("name, args", PROGRAMS + GATHERS)
def test_complex_and_wide_samples_are_refused_by_name(tmp_path: Path, name, args) -> None:
    h = write_dataset(tmp_path, "c.H", np.zeros((2, 8), np.float32))
    text = h.read_text().replace("n1=8", "n1=4").replace("esize=4", "esize=8")
    h.write_text(text)
    r = run(tmp_path, name, args, stdin=h)
    assert r.returncode == 23
    assert b"data_format=xdr_float esize=8: the samples must be real numbers" in r.stderr, r.stderr


@pytest.mark.parametrize("name, args", PROGRAMS + GATHERS)
def test_data_after_the_header_on_standard_output_are_the_data_files_bits(
        tmp_path: Path, name, args) -> None:
    # The output's bytes put in xdr order by the workers: through standard
    # output (the data follow the header in one stream) as in a data file,
    # traces of an odd number of samples, and as NumPy reads them.
    rng = np.random.default_rng(3)
    x = rng.standard_normal((37, 7)).astype(np.float32)
    want = output(tmp_path, name, args, x, "file")
    h = write_dataset(tmp_path, "piped.H", x, [{"d": 0.004}])
    r = run(tmp_path, name, [*args, "out=stdout"], stdin=h, out="piped.out")
    assert r.returncode == 0, r.stderr
    stream = (tmp_path / "piped.out").read_bytes()
    assert stream.endswith(want.astype(">f4").tobytes())
