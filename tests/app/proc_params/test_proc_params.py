# SPDX-License-Identifier: Apache-2.0
"""What the processing programs share through app/common/proctool and the
trace driver: yes/no parameters spelled alike in every program, parameters
checked and recorded in the output history, axis 1 in milliseconds read as
seconds (and a time step that is not positive refused), and kovmute and
kovnmo giving on several threads the bits of one."""
from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from trace_programs import read_dataset, run, write_dataset  # noqa: E402

SECONDS = [{"d": 0.004, "unit": "s"}, {"o": 100, "d": 50}]
MILLISECONDS = [{"d": 4, "unit": "ms"}, {"o": 100, "d": 50}]


def gathers(seed: int, ng: int = 3, noff: int = 5, nt: int = 250) -> np.ndarray:
    """Noise in NumPy's order (midpoint, offset, time)."""
    return np.random.default_rng(seed).standard_normal((ng, noff, nt)).astype(np.float32)


def ok(tmp_path: Path, name: str, args: list[str], header: Path, out: str,
       env: dict[str, str] | None = None) -> tuple[np.ndarray, dict[str, str]]:
    r = run(tmp_path, name, args, stdin=header, out=out, env=env)
    assert r.returncode == 0, r.stderr
    return read_dataset(tmp_path / out)


def refused(tmp_path: Path, name: str, args: list[str], header: Path | None) -> str:
    r = run(tmp_path, name, args, stdin=header, out="refused.H")
    assert r.returncode == 23, r.stderr
    return r.stderr.decode()


# A yes/no parameter of each program that has one, with the rest of its
# command line.
FLAGS = [("kovstack", "norm", ["mode=sum"]), ("kovspectra", "all", []),
         ("kovspectra", "db", []), ("kovmute", "hyper", ["tmute=0.1", "vmute=1500"]),
         ("kovnmo", "inv", ["vel=2000"])]


@pytest.mark.parametrize("name, flag, args", FLAGS)
def test_yes_and_no_are_spelled_alike_in_every_program(tmp_path: Path, name, flag, args) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(1) + 3.0, SECONDS)
    for answer, spellings in (("y", ["y", "Y", "yes", "1"]), ("n", ["n", "N", "no", "0"])):
        want, _ = ok(tmp_path, name, args + [f"{flag}={answer}"], h, f"{answer}.H")
        for spelled in spellings:
            got, values = ok(tmp_path, name, args + [f"{flag}={spelled}"], h, "o.H")
            assert got.tobytes() == want.tobytes(), spelled
            assert values[flag] == answer, spelled
    for wrong in ("maybe", "true", "yy"):
        assert f"{flag}={wrong}: give y or n" in refused(tmp_path, name, args + [f"{flag}={wrong}"],
                                                         h)


def test_parameters_are_recorded_with_the_values_used(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(2), SECONDS)
    _, v = ok(tmp_path, "kovmute", ["vmute=1500"], h, "m.H")
    assert (v["tmute"], v["vmute"], v["hyper"], v["mode"], v["ntaper"]) == \
        ("0", "1500", "n", "above", "0")
    _, v = ok(tmp_path, "kovgain", ["tpow=2", "scale=max"], h, "gain.H")
    assert (v["tpow"], v["scale"]) == ("2", "max") and "agc" not in v
    _, v = ok(tmp_path, "kovbandpass", ["fhi=50"], h, "b.H")
    assert (v["fhi"], v["nphi"], v["phase"]) == ("50", "6", "zero") and "nplo" not in v
    _, v = ok(tmp_path, "kovstack", [], h, "s.H")
    assert (v["axis"], v["mode"], v["norm"]) == ("2", "mean", "y")
    _, v = ok(tmp_path, "kovspectra", ["nfft=+300 "], h, "f.H")
    assert v["nfft"] == "300"
    _, v = ok(tmp_path, "kovtransp", ["plane=21", "memsize=64"], h, "t.H")
    assert (v["plane"], v["memsize"]) == ("12", "64")


@pytest.mark.parametrize("name, args, words", [
    ("kovgain", ["tpow=abc"], "tpow=abc: not a finite number"),
    ("kovgain", ["agc=1e999"], "agc=1e999: not a finite number"),
    ("kovbandpass", ["flo=5", "nplo=6.5"], "nplo=6.5: not a whole number"),
    ("kovbandpass", ["fhi=50", "phase=linear"], "phase=linear: give zero or minimum"),
    ("kovspectra", ["nfft=12x"], "nfft=12x: not a whole number"),
    ("kovstack", ["mode=median"], "mode=median: give mean, sum, rms, max or min"),
    ("kovmute", ["ntaper=99999999999"], "ntaper=99999999999: must be from"),
    ("kovnmo", ["vel=2000", "str=0.5.1"], "str=0.5.1: not a finite number"),
])
def test_a_parameter_that_is_not_a_value_it_takes_is_refused(tmp_path: Path, name, args,
                                                             words) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(3), SECONDS)
    assert words in refused(tmp_path, name, args, h)


@pytest.mark.parametrize("name", ["kovstack", "kovtransp", "kovgain", "kovmute"])
def test_complex_samples_are_refused_alike_by_every_program(tmp_path: Path, name) -> None:
    h = write_dataset(tmp_path, "c.H", np.zeros((2, 8), np.float32))
    h.write_text(h.read_text().replace("n1=8", "n1=4").replace("esize=4", "esize=8"))
    args = ["agc=0.1"] if name == "kovgain" else []
    text = refused(tmp_path, name, args + [str(h)], None)
    assert "c.H: data_format=xdr_float esize=8: the samples must be real numbers" in text, text


# Each program that reads axis 1 as time, with parameters in seconds.
TIMED = [("kovmute", ["tmute=0.1", "vmute=1500", "ntaper=5"]), ("kovnmo", ["vel=2000"]),
         ("kovgain", ["agc=0.1", "tpow=1"]), ("kovbandpass", ["flo=5", "fhi=60"]),
         ("kovspectra", [])]


@pytest.mark.parametrize("name, args", TIMED)
def test_milliseconds_are_read_as_seconds(tmp_path: Path, name, args) -> None:
    x = gathers(4)
    want, wv = ok(tmp_path, name, args, write_dataset(tmp_path, "s.H", x, SECONDS), "s.out.H")
    got, gv = ok(tmp_path, name, args, write_dataset(tmp_path, "ms.H", x, MILLISECONDS),
                 "ms.out.H")
    assert got.tobytes() == want.tobytes()
    if name == "kovspectra":  # the frequencies' step
        assert gv["d1"] == wv["d1"]


def test_moveout_velocities_in_milliseconds_are_read_as_seconds(tmp_path: Path) -> None:
    x = gathers(5)
    h = write_dataset(tmp_path, "g.H", x, SECONDS)
    v = np.linspace(1500, 3000, 3 * 40).reshape(3, 40)
    write_dataset(tmp_path, "vs.H", v, [{"d": 0.025, "unit": "s"}])
    write_dataset(tmp_path, "vms.H", v, [{"d": 25, "unit": "ms"}])
    want, _ = ok(tmp_path, "kovnmo", ["velocity=vs.H"], h, "s.out.H")
    got, _ = ok(tmp_path, "kovnmo", ["velocity=vms.H"], h, "ms.out.H")
    assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("name, args", [TIMED[0], TIMED[1], TIMED[4]])
@pytest.mark.parametrize("d1", [0, -4])
def test_a_time_step_that_is_not_positive_is_refused(tmp_path: Path, name, args, d1) -> None:
    h = write_dataset(tmp_path, "back.H", gathers(6), [{"d": d1, "unit": "ms"}])
    text = refused(tmp_path, name, args + [str(h)], None)
    assert f"back.H: d1={d1}: the time step must be positive" in text, text


def test_a_velocity_time_step_that_is_not_positive_is_refused(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(7), SECONDS)
    write_dataset(tmp_path, "v.H", np.full((3, 40), 2000.0), [{"d": 0, "unit": "ms"}])
    assert "v.H: d1=0: the time step must be positive" in refused(tmp_path, "kovnmo",
                                                                  ["velocity=v.H"], h)


def threaded(tmp_path: Path, name: str, args: list[str], header: Path) -> None:
    """The output of `name` with one worker thread, and the same bits with
    three and with as many as there are processors."""
    one, _ = ok(tmp_path, name, args, header, "one.H", env={"KOV_THREADS": "1"})
    for threads in ("3", ""):
        many, _ = ok(tmp_path, name, args, header, "many.H", env={"KOV_THREADS": threads})
        assert many.tobytes() == one.tobytes(), threads


# Traces of 40000 samples: a few to a block, so that gathers of 7 offsets
# lie across blocks and the blocks are computed on several threads.
BIG = dict(ng=9, noff=7, nt=40000)


def test_mute_on_threads_gives_the_bits_of_one_thread(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(8, **BIG), SECONDS)
    threaded(tmp_path, "kovmute", ["tmute=20", "vmute=1500", "ntaper=50"], h)


def test_mute_with_offsets_from_trace_headers_on_threads(tmp_path: Path) -> None:
    x = gathers(9, **BIG).reshape(-1, BIG["nt"])
    offsets = np.random.default_rng(9).uniform(-3000, 3000, len(x)).astype(">f4")
    offsets.tofile(tmp_path / "h.H@")
    (tmp_path / "h.H").write_text(
        f'n1=1 n2={len(x)} hdrkey1="offset" hdrtype1="scalar_float" hdrfmt1="xdr_float"\n'
        f'in="{tmp_path}/h.H@" data_format="xdr_float" esize=4\n')
    h = write_dataset(tmp_path, "g.H", x, SECONDS)
    with open(h, "a") as f:
        f.write('hff="h.H" gff="-1"\n')
    threaded(tmp_path, "kovmute", ["tmute=20", "vmute=1500"], h)


@pytest.mark.parametrize("inverse", ["n", "y"])
def test_moveout_on_threads_gives_the_bits_of_one_thread(tmp_path: Path, inverse) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(10, **BIG), [{"d": 0.001}, {"o": 100, "d": 200}])
    # A velocity trace per midpoint, on its own times.
    v = 1500 + 1500 * np.random.default_rng(10).random((BIG["ng"], 300))
    write_dataset(tmp_path, "v.H", np.sort(v, axis=1), [{"d": 0.15}])
    threaded(tmp_path, "kovnmo", ["velocity=v.H", f"inv={inverse}"], h)


def test_a_bad_velocity_on_threads_is_reported_once_by_name(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(11, **BIG), [{"d": 0.001}])
    v = np.full((BIG["ng"], 30), 2000.0)
    v[6, 12] = -1
    write_dataset(tmp_path, "v.H", v, [{"d": 1.0}])
    text = refused(tmp_path, "kovnmo", ["velocity=v.H"], h)
    assert text.count("v.H: the velocity -1 at sample 13 of trace 7 is not a positive") == 1, text


def test_a_bad_velocity_of_all_gathers_is_refused_by_name(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(13), SECONDS)
    v = np.full((1, 30), 2000.0)
    v[0, 3] = np.nan
    write_dataset(tmp_path, "v1.H", v, [{"d": 0.01}])
    assert "v1.H: the velocity nan at sample 4 of trace 1 is not a positive" in refused(
        tmp_path, "kovnmo", ["velocity=v1.H"], h)


def test_a_thread_count_that_is_not_a_number_is_warned_about(tmp_path: Path) -> None:
    h = write_dataset(tmp_path, "g.H", gathers(12), SECONDS)
    r = run(tmp_path, "kovmute", [], stdin=h, env={"KOV_THREADS": "many"})
    assert r.returncode == 0, r.stderr
    assert b"KOV_THREADS=many: not a number of threads" in r.stderr, r.stderr
