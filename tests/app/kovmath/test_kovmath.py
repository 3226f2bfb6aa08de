# SPDX-License-Identifier: Apache-2.0
"""kovmath end to end: files and pipes against NumPy, the axes and
parameters in the history, every input format, and refusals."""
import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "proc"))
from procdata import mismatches, nasty, program, read, run, sh, write  # noqa: E402


def test_two_inputs_and_coordinates_equal_numpy(tmp_path):
    rng = np.random.default_rng(1)
    a, b = nasty(rng, (7, 20, 33)), nasty(rng, (7, 20, 33))
    axes = [(100.0, 4.0), (-5.0, 0.5), (0.0, 1.0)]
    write(tmp_path / "a.H", a, axes)
    write(tmp_path / "b.H", b, axes)
    r = run([program("kovmath"), "a=a.H", "b=b.H", "output=sqrt(a*a+b*b) + x1*0 + (i3 > 3 ? a : b)",
             "head=out.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    got, p = read(tmp_path / "out.H")
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    x1 = 100.0 + 4.0 * np.arange(33)
    i3 = np.arange(7)[:, None, None]
    with np.errstate(all="ignore"):
        want = np.sqrt(a64 * a64 + b64 * b64) + x1 * 0 + np.where(i3 > 3, a64, b64)
    assert mismatches(got, want) == 0
    assert (p["n1"], p["o1"], p["d1"], p["n3"], p["o2"]) == ("33", "100", "4", "7", "-5")
    assert p["output"] == "sqrt(a*a+b*b) + x1*0 + (i3 > 3 ? a : b)"
    assert p["a"] == "a.H" and p["data_format"] == "xdr_float"


def test_without_inputs_and_through_a_pipe(tmp_path):
    r = sh('$kovmath n1=50 n2=30 d1=4 o2=10 label1=time unit1=ms '
           'output="sin(2*pi*x1/100)*exp(-x2/1000)" | $kovmath output="in*0.001" > km.H',
           tmp_path)
    assert r.returncode == 0, r.stderr
    got, p = read(tmp_path / "km.H")
    x1 = 4.0 * np.arange(50)
    x2 = (10 + np.arange(30))[:, None]
    first = (np.sin(2 * np.pi * x1 / 100) * np.exp(-x2 / 1000)).astype(np.float32)
    assert mismatches(got, first.astype(np.float64) * 0.001) == 0
    assert p["label1"] == "time" and p["unit1"] == "ms" and p["d1"] == "4"


@pytest.mark.parametrize("fmt,dtype", [("xdr_int", np.int32), ("native_byte", np.uint8),
                                       ("native_float", np.float32)])
def test_every_input_format_is_read_exactly(tmp_path, fmt, dtype):
    values = np.array([[0, 1, 255, 7], [16777217 if dtype == np.int32 else 3, 2, 9, 100]])
    write(tmp_path / "v.H", values.astype(dtype), data_format=fmt)
    r = run([program("kovmath"), "v=v.H", "output=v-1", "head=o.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    got, _ = read(tmp_path / "o.H")
    assert mismatches(got, values.astype(dtype).astype(np.float64) - 1) == 0


def test_an_integer_output_must_hold_the_results(tmp_path):
    write(tmp_path / "v.H", np.array([1.0, 2.0, 3.5], np.float32))
    r = run([program("kovmath"), "v=v.H", "output=v*2", "data_format=xdr_int", "head=o.H"], tmp_path)
    assert r.returncode == 0, r.stderr
    assert read(tmp_path / "o.H")[0].tolist() == [2, 4, 7]
    r = run([program("kovmath"), "v=v.H", "output=v+1", "data_format=xdr_int", "head=p.H"], tmp_path)
    assert r.returncode == 23 and "4.5" in r.stderr and "xdr_int" in r.stderr


@pytest.mark.parametrize("args,message", [
    (["output=a*/1"], 'output="a*/1": position 3'),
    (["output=a+foo(a)"], 'position 3: unknown function "foo"'),
    (["output=a*c"], 'unknown name "c"'),
    (["output=n1*a"], 'unknown name "n1"'),
    (["output=a=2"], "position 2"),
    ([], "output=: give the expression"),
    (["output=a+b", "b=b.H"], "b.H (b) differ on axis 2"),
    (["output=a+d", "d=d.H"], "differ on axis 1"),
    (["output=a+m", "m=missing.H"], "missing.H"),
])
def test_refusals_name_the_file_the_parameter_and_the_reason(tmp_path, args, message):
    write(tmp_path / "a.H", np.zeros((3, 4), np.float32))
    write(tmp_path / "b.H", np.zeros((2, 4), np.float32))
    write(tmp_path / "d.H", np.zeros((3, 4), np.float32), [(0.0, 1.001), (0.0, 1.0)])
    r = run([program("kovmath"), "a=a.H", "head=out.H"] + args, tmp_path)
    assert r.returncode == 23
    assert message in r.stderr, r.stderr
    assert not (tmp_path / "out.H@").exists()


def test_a_parse_error_is_refused_before_anything_is_read(tmp_path):
    # Standard input is a pipe nobody writes to: only a refusal that reads
    # nothing comes back.
    env = dict(os.environ, DATAPATH=str(tmp_path) + "/")
    p = subprocess.Popen([program("kovmath"), "output=in*("], cwd=tmp_path, env=env,
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True)
    try:
        out, err = p.communicate(timeout=30)
    finally:
        p.kill()
    assert p.returncode == 23
    assert "position 5" in err
