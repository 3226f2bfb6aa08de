# SPDX-License-Identifier: Apache-2.0
"""kov.proc's trace functions against the programs they stand for, bit for
bit on the same input (each program run in a directory of its own), and
against independent NumPy and SciPy readings of the formulas."""
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))
from procdata import mismatches, program, read, run, write  # noqa: E402

import kov.proc as kp  # noqa: E402

RNG = np.random.default_rng(20261209)


def through(name, args, tmp_path, data=None, axes=None, out="out.H"):
    """The output of program `name` run on `data` (written as in.H with
    `axes`), read back with its parameters."""
    words = [program(name)] + (["in.H"] if data is not None else []) + list(args)
    if data is not None:
        write(tmp_path / "in.H", data, axes)
    r = run(words + ["head=" + out], tmp_path)
    assert r.returncode == 0, r.stderr
    return read(tmp_path / out)[0]


def layered(traces, nz, seed):
    """Velocity models (traces, nz): a gradient, a lateral change and four
    jumps at random depths."""
    rng = np.random.default_rng(seed)
    z = np.arange(nz)
    v = 1500 + 2.0 * z + 100 * np.sin(np.arange(traces)[:, None] / 3.0)
    for b in sorted(rng.integers(5, nz, 4)):
        v = v + (z >= b) * rng.uniform(200, 800)
    return v.astype(np.float32)


def ricker(s, fpeak):
    a = (np.pi * fpeak * s) ** 2
    return (1 - 2 * a) * np.exp(-a)


# --- synth and vrms -------------------------------------------------------

@pytest.mark.parametrize("words, keywords", [
    (["nt=300", "dt=0.002", "fpeak=30", "noff=5", "doff=120", "ooff=-100", "density=gardner"],
     dict(nt=300, dt=0.002, fpeak=30, noff=5, doff=120, ooff=-100, density="gardner")),
    (["nt=250", "dt=0.004"], dict(nt=250, dt=0.004)),
], ids=["gathers", "zero-offset"])
def test_synth_and_vrms_equal_kovsynth(tmp_path, words, keywords):
    model = layered(4, 120, 7)
    got = through("kovsynth", words + ["vrms=vrms.H"], tmp_path, model, [(0.0, 4.0), (100, 25)])
    mine = kp.synth(model, d1=4.0, **keywords)
    nt = keywords["nt"]
    assert mine.dtype == np.float32
    assert mine.shape == ((4, 5, nt) if "noff" in keywords else (4, nt))
    assert mismatches(mine, got.reshape(mine.shape)) == 0
    velocities = kp.vrms(model.astype(np.float64), d1=4.0, nt=nt, dt=keywords["dt"])
    assert mismatches(velocities, read(tmp_path / "vrms.H")[0]) == 0


def test_synth_places_a_reflection_at_its_exact_time_on_its_hyperbola():
    # One interface at 200 m under 2000 m/s: two-way time 0.2 s (between
    # samples of dt=0.003), coefficient 1/5, below it 3000 m/s.
    model = np.where(np.arange(100) < 50, 2000.0, 3000.0)[None, :]
    offsets = 50.0 + 400.0 * np.arange(3)
    got = kp.synth(model, d1=4.0, nt=200, dt=0.003, fpeak=20, noff=3, doff=400, ooff=50)[0]
    t = 0.003 * np.arange(200)
    for h, trace in zip(offsets, got):
        want = 0.2 * ricker(t - np.sqrt(0.2 ** 2 + h * h / 2000.0 ** 2), 20.0)
        np.testing.assert_allclose(trace, want, rtol=0, atol=1e-6)
    # The RMS velocity: 2000 down to 0.2 s, then Dix over both layers.
    v = kp.vrms(model, d1=4.0, nt=200, dt=0.003)[0]
    below = np.maximum(t - 0.2, 0.0)
    want = np.sqrt((2000.0 ** 2 * (t - below) + 3000.0 ** 2 * below) / np.maximum(t, 1e-9))
    want[0] = 2000.0
    np.testing.assert_allclose(v, want, rtol=1e-6)


# --- nmo ------------------------------------------------------------------

@pytest.mark.parametrize("words, keywords", [
    (["velocity=v.H", "str=0.3"], dict(str=0.3)),
    (["velocity=v.H", "inv=y"], dict(inv=True)),
    (["vel=2100"], dict(vel=2100.0)),
], ids=["forward", "inverse", "constant"])
def test_nmo_equals_kovnmo(tmp_path, words, keywords):
    data = RNG.standard_normal((3, 6, 250)).astype(np.float32)
    data[1, 2] = 0.0
    velocity = (1800 + 3.0 * np.arange(250) + 200 * np.arange(3)[:, None]).astype(np.float32)
    write(tmp_path / "v.H", velocity, [(0.1, 0.004), (0, 1)])
    axes = [(0.1, 0.004), (-50.0, 40.0), (0, 1)]
    got = through("kovnmo", words, tmp_path, data, axes)
    offsets = -50.0 + 40.0 * np.arange(6)
    if "vel" not in keywords:
        keywords = dict(keywords, velocity=velocity)
    mine = kp.nmo(data, d1=0.004, o1=0.1, offsets=offsets, **keywords)
    assert mine.dtype == np.float32 and mine.shape == data.shape
    assert mismatches(mine, got) == 0


@pytest.mark.parametrize("inv", [False, True], ids=["forward", "inverse"])
@pytest.mark.parametrize("per_gather", [True, False], ids=["per-gather", "one-trace"])
def test_nmo_with_velocities_on_their_own_times_equals_kovnmo(tmp_path, inv, per_gather):
    # Velocities every 10 ms from 64.938 ms (in a history in milliseconds,
    # which is 0.064938 s as typed), ending before the data do: resampled
    # to the data's 4 ms from 0.1 s, the last value continued.
    data = RNG.standard_normal((3, 5, 300)).astype(np.float32)
    velocity = (1700 + 40.0 * np.arange(90) ** 0.8 + 150 * np.arange(3)[:, None]).astype(np.float32)
    if not per_gather:
        velocity = velocity[1]
    write(tmp_path / "v.H", velocity, [(64.938, 10.0), (0, 1)], extra='unit1="ms"')
    words = ["velocity=v.H"] + (["inv=y"] if inv else ["str=0.4"])
    got = through("kovnmo", words, tmp_path, data, [(0.1, 0.004), (-60.0, 30.0), (0, 1)])
    offsets = -60.0 + 30.0 * np.arange(5)
    keywords = dict(inv=True) if inv else dict(str=0.4)
    mine = kp.nmo(data, d1=0.004, o1=0.1, offsets=offsets, velocity=velocity,
                  velocity_o1=0.064938, velocity_d1=0.01, **keywords)
    assert mismatches(mine, got) == 0
    # The same as the velocities resampled with numpy.interp first (which
    # also continues the end values), to within the rounding of the two.
    t = 0.1 + 0.004 * np.arange(300)
    resampled = np.apply_along_axis(lambda v: np.interp(t, 0.064938 + 0.01 * np.arange(90), v), -1,
                                    velocity.astype(np.float64)).astype(np.float32)
    assert np.abs(resampled[..., -20:] - velocity[..., -1:]).max() == 0.0
    near = kp.nmo(data, d1=0.004, o1=0.1, offsets=offsets, velocity=resampled, **keywords)
    assert np.abs(mine - near).max() <= 1e-4 * np.abs(near).max()


def test_nmo_velocities_on_the_datas_times_given_either_way_are_the_same():
    data = RNG.standard_normal((4, 200)).astype(np.float32)
    velocity = (1900 + 5.0 * np.arange(200)).astype(np.float32)
    common = dict(d1=0.002, o1=0.05, offsets=25.0 * np.arange(4))
    plain = kp.nmo(data, velocity=velocity, **common)
    assert mismatches(plain, kp.nmo(data, velocity=velocity, velocity_o1=0.05,
                                    velocity_d1=0.002, **common)) == 0
    # A single velocity sample holds at every time, as a constant does.
    assert mismatches(kp.nmo(data, velocity=[2300.0], velocity_d1=1.0, **common),
                      kp.nmo(data, vel=2300.0, **common)) == 0


def test_synth_gathers_come_out_flat_after_nmo_with_their_vrms():
    model = np.full((2, 300), 1800.0, np.float32)
    model[:, 60:], model[:, 140:] = 2400.0, 3000.0
    model[0, 220:], model[1, 220:] = 2600.0, 3800.0
    gathers = kp.synth(model, d1=5.0, nt=500, dt=0.004, fpeak=25, noff=24, doff=40)
    velocity = kp.vrms(model, d1=5.0, nt=500, dt=0.004)
    moved = kp.nmo(gathers, d1=0.004, offsets=40.0 * np.arange(24), velocity=velocity)
    checked = 0
    for g in range(2):
        zero = moved[g, 0]
        events = [i for i in range(5, 495)
                  if abs(zero[i]) >= abs(zero[i - 4:i + 5]).max() and abs(zero[i]) > 0.05]
        assert len(events) == 3
        for e in events:
            for h in range(1, 24):
                if np.any(moved[g, h, e - 8:e + 9] == 0):  # touched by the stretch mute
                    continue
                assert abs(peak(moved[g, h], e) - peak(zero, e)) <= 0.5, (g, e, h)
                checked += 1
    assert checked >= 40


def peak(trace, near):
    """The position of the largest magnitude near sample `near`, through the
    parabola of its neighbours."""
    i = near - 4 + int(np.argmax(np.abs(trace[near - 4:near + 5])))
    a, b, c = (float(v) for v in np.abs(trace[i - 1:i + 2]))
    return i + 0.5 * (a - c) / (a - 2 * b + c)


# --- mute -----------------------------------------------------------------

def mute_reference(data, o1, d1, offsets, tmute, vmute, hyper, below, ntaper):
    t = o1 + d1 * np.arange(data.shape[-1])
    h = np.asarray(offsets, np.float64)[..., None]
    tm = np.sqrt(tmute ** 2 + h * h / vmute ** 2) if hyper else tmute + np.abs(h) / vmute
    s = (t - tm) / d1
    if below:
        s = -s
    tapered = data * (0.5 * (1 - np.cos(np.pi * s / max(ntaper, 1))))
    out = np.where(s >= ntaper, data, tapered.astype(np.float32))
    out[s < 0] = 0.0
    return out


@pytest.mark.parametrize("mode, hyper, ntaper", [("above", False, 0), ("below", True, 7),
                                                  ("above", True, 12)])
def test_mute_equals_kovmute_and_its_formula(tmp_path, mode, hyper, ntaper):
    data = RNG.standard_normal((2, 8, 200)).astype(np.float32)
    axes = [(0.0, 0.004), (-300.0, 80.0), (0, 1)]
    words = ["tmute=0.05", "vmute=1800", "mode=" + mode, "hyper=" + "ny"[hyper],
             "ntaper=%d" % ntaper]
    got = through("kovmute", words, tmp_path, data, axes)
    offsets = -300.0 + 80.0 * np.arange(8)
    mine = kp.mute(data, d1=0.004, offsets=offsets, tmute=0.05, vmute=1800, hyper=hyper,
                   mode=mode, ntaper=ntaper)
    assert mismatches(mine, got) == 0
    want = mute_reference(data, 0.0, 0.004, np.broadcast_to(offsets, (2, 8)), 0.05, 1800.0,
                          hyper, mode == "below", ntaper)
    assert mismatches(mine, want) == 0


# --- gain -----------------------------------------------------------------

def agc_reference(x, d1, window):
    h = int(np.floor(window / (2 * d1) + 0.5))
    x = x.astype(np.float64)
    c = np.concatenate(([0.0], np.cumsum(x * x)))
    i = np.arange(len(x))
    lo, hi = np.maximum(i - h, 0), np.minimum(i + h + 1, len(x))
    return x / np.sqrt((c[hi] - c[lo]) / (hi - lo))


@pytest.mark.parametrize("words, keywords", [
    (["agc=0.3"], dict(agc=0.3)),
    (["tpow=2", "agc=0.2", "pclip=98", "scale=rms"], dict(tpow=2, agc=0.2, pclip=98, scale="rms")),
    (["tpow=-0.5", "scale=max"], dict(tpow=-0.5, scale="max")),
], ids=["agc", "all-four", "negative-tpow"])
def test_gain_equals_kovgain(tmp_path, words, keywords):
    data = RNG.standard_normal((3, 5, 400)).astype(np.float32)
    data[0, 1, 100:300] = 0.0
    data[2, 4, 17] = np.nan
    got = through("kovgain", words, tmp_path, data, [(0.02, 0.004), (0, 1), (0, 1)])
    mine = kp.gain(data, d1=0.004, o1=0.02, **keywords)
    assert mine.dtype == np.float32
    assert mismatches(mine, got) == 0


def test_agc_and_tpow_follow_their_formulas():
    data = (RNG.standard_normal((4, 500)) * np.linspace(0.01, 100, 500)).astype(np.float32)
    got = kp.gain(data, d1=0.002, agc=0.25)
    for trace, want in zip(got, data):
        np.testing.assert_allclose(trace, agc_reference(want, 0.002, 0.25), rtol=1e-5)
    t = 0.1 + 0.002 * np.arange(500)
    np.testing.assert_allclose(kp.gain(data, d1=0.002, o1=0.1, tpow=1.5),
                               data * t ** 1.5, rtol=1e-6)


# --- bandpass -------------------------------------------------------------

@pytest.mark.parametrize("words, keywords", [
    (["flo=5", "fhi=60"], dict(flo=5, fhi=60)),
    (["fhi=30", "nphi=8", "phase=minimum"], dict(fhi=30, nphi=8, phase="minimum")),
    (["flo=10", "nplo=4"], dict(flo=10, nplo=4)),
], ids=["band-zero", "low-minimum", "high-zero"])
def test_bandpass_equals_kovbandpass_and_scipy(tmp_path, words, keywords):
    signal = pytest.importorskip("scipy.signal")
    data = RNG.standard_normal((5, 7, 300)).astype(np.float32)  # 35 traces: groups of 8 and 3
    got = through("kovbandpass", words, tmp_path, data, [(0.0, 0.004), (0, 1), (0, 1)])
    mine = kp.bandpass(data.astype(np.float64), d1=0.004, **keywords)
    assert mine.dtype == np.float32
    assert mismatches(mine, got) == 0

    zero = keywords.get("phase", "zero") == "zero"
    sos = []
    for corner, poles, kind in (("flo", "nplo", "highpass"), ("fhi", "nphi", "lowpass")):
        if corner in keywords:
            n = keywords.get(poles, 6) // (2 if zero else 1)
            sos.append(signal.butter(n, keywords[corner], kind, fs=250.0, output="sos"))
    sos = np.concatenate(sos)
    x = data.astype(np.float64)
    want = signal.sosfiltfilt(sos, x, axis=-1) if zero else signal.sosfilt(sos, x, axis=-1)
    scale = np.abs(want).max(axis=-1, keepdims=True)
    assert np.all(np.abs(mine - want) <= 1e-4 * scale)


# --- spectra --------------------------------------------------------------

@pytest.mark.parametrize("words, keywords", [
    ([], {}), (["nfft=512"], dict(nfft=512)), (["all=y", "db=y"], dict(all=True, db=True)),
    (["db=y", "nfft=301"], dict(db=True, nfft=301)),
], ids=["default", "nfft", "average-db", "db"])
def test_spectra_equal_kovspectra(tmp_path, words, keywords):
    data = RNG.standard_normal((3, 4, 250)).astype(np.float32)
    data[1, 1] = 0.0
    got = through("kovspectra", words, tmp_path, data, [(0.0, 0.004), (0, 1), (0, 1)])
    mine = kp.spectra(data, **keywords)
    bins = keywords.get("nfft", 250) // 2 + 1
    assert mine.shape == ((bins,) if keywords.get("all") else (3, 4, bins))
    assert mismatches(mine, got.reshape(mine.shape)) == 0


def test_spectra_are_rfft_amplitudes_and_keep_parseval():
    data = RNG.standard_normal((6, 333))
    got = kp.spectra(data, nfft=400)
    want = np.abs(np.fft.rfft(data.astype(np.float32).astype(np.float64), 400))
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-5 * want.max())
    power = got.astype(np.float64) ** 2
    power[:, 1:-1] *= 2  # the bins between 0 and Nyquist stand for two
    energy = (data.astype(np.float32).astype(np.float64) ** 2).sum(axis=-1)
    np.testing.assert_allclose(power.sum(axis=-1) / 400, energy, rtol=1e-5)
    mean = kp.spectra(data, nfft=400, all=True)
    np.testing.assert_allclose(mean, got.astype(np.float64).mean(axis=0), rtol=1e-6)


def test_spectra_from_many_threads_at_once_equal_one_at_a_time():
    # Transforms planned and run from threads at once (the planner is shared).
    data = [RNG.standard_normal((20, n)).astype(np.float32) for n in range(90, 130)]
    alone = [kp.spectra(d) for d in data]
    with ThreadPoolExecutor(8) as pool:
        together = list(pool.map(kp.spectra, data))
    assert all(mismatches(a, b) == 0 for a, b in zip(alone, together))


# --- arguments ------------------------------------------------------------

def test_any_real_dtype_is_read_as_float32_and_each_trace_is_the_last_axis():
    data = RNG.standard_normal((4, 300))
    for dtype in (np.float64, np.float16, np.int32):
        x = (data * 100).astype(dtype)
        assert mismatches(kp.gain(x, d1=0.004, agc=0.2),
                          kp.gain(x.astype(np.float32), d1=0.004, agc=0.2)) == 0
    # A trace alone, a strided view and the same rows in a 2-D array.
    one = kp.bandpass(data[2, ::-1], d1=0.004, fhi=40)
    assert mismatches(one, kp.bandpass(np.ascontiguousarray(data[:, ::-1]), d1=0.004,
                                       fhi=40)[2]) == 0
    with pytest.raises(TypeError):
        kp.spectra(data + 1j)
    with pytest.raises(ValueError, match="axis"):
        kp.gain(np.float32(3), agc=0.1, d1=0.004)
    with pytest.raises(MemoryError):
        kp.synth(np.full((1024, 1), 2000.0), d1=5, nt=2 ** 28, noff=2 ** 31 - 1, doff=1)


TRACE = np.ones((2, 50), np.float32)
MODEL = np.full((2, 20), 2000.0, np.float32)


@pytest.mark.parametrize("call, words", [
    (lambda: kp.synth(MODEL, d1=5, fpeak=200), "Nyquist"),
    (lambda: kp.synth(MODEL, d1=5, noff=3), "doff="),
    (lambda: kp.synth(MODEL, d1=5, doff=10), "need noff"),
    (lambda: kp.synth(MODEL, d1=0), "depth step"),
    (lambda: kp.synth(MODEL, d1=5, density="dense"), "constant|gardner"),
    (lambda: kp.synth(np.where(np.arange(20) == 7, -1.0, MODEL), d1=5),
     "velocity -1.* sample 8 of trace 1"),
    (lambda: kp.vrms(MODEL, d1=5, nt=0), "nt=0"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0), "vel="),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, vel=-3), "vel=-3"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, vel=2000, str=0), "str=0"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, velocity=np.ones(49)), "49 samples"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, velocity=np.ones(9), velocity_o1=0.1),
     "velocity_d1="),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, velocity=np.ones(9), velocity_d1=0),
     "velocity_d1=0"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, vel=2000, velocity_d1=0.01), "vel= is a constant"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=[1, 2, 3], vel=2000), "offsets"),
    (lambda: kp.nmo(TRACE, d1=0.004, offsets=0, velocity=np.r_[np.ones(49), np.nan]),
     "sample 50 of trace 1"),
    (lambda: kp.mute(TRACE, d1=0.004, vmute=1500), "offsets="),
    (lambda: kp.mute(TRACE, d1=0.004, mode="middle"), "above|below"),
    (lambda: kp.mute(TRACE, d1=0.004, ntaper=-1), "ntaper=-1"),
    (lambda: kp.gain(TRACE), "no gain"),
    (lambda: kp.gain(TRACE, agc=0.5), "d1="),
    (lambda: kp.gain(TRACE, d1=0.004, tpow=-1), "time 0"),
    (lambda: kp.gain(TRACE, d1=0.004, pclip=0), "pclip=0"),
    (lambda: kp.gain(TRACE, scale="mean"), "rms or max"),
    (lambda: kp.bandpass(TRACE, d1=0.004), "no corner"),
    (lambda: kp.bandpass(TRACE, d1=0.004, fhi=125), "125"),
    (lambda: kp.bandpass(TRACE, d1=0.004, flo=5, nplo=3), "even"),
    (lambda: kp.bandpass(TRACE, d1=0.004, flo=50, fhi=20), "below the high"),
    (lambda: kp.bandpass(TRACE, d1=0.004, flo=5, phase="linear"), "zero or minimum"),
    (lambda: kp.spectra(TRACE, nfft=40), "shorter than a trace"),
    (lambda: kp.spectra(TRACE[:0], all=True), "no traces"),
])
def test_refusals_are_value_errors_with_the_programs_reasons(call, words):
    with pytest.raises(ValueError, match=words):
        call()


# --- the README -----------------------------------------------------------

def test_the_readmes_loop_in_python_equals_its_pipeline(tmp_path):
    """The README's "loop closed" lines run with the programs built here,
    then its Python version of them, which asserts that its section equals
    the pipeline's stack."""
    program("kovsynth")
    text = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = text[text.index("### The loop closed"):text.index("## Data on object storage")]
    blocks = re.findall(r"```(\w+)\n(.*?)```", section, re.S)
    assert [kind for kind, _ in blocks] == ["sh", "python"]
    shell, python = blocks[0][1], blocks[1][1]
    lines = [line for line in shell.replace("\\\n", " ").splitlines()
             if line and not line.startswith("kovview")]
    (tmp_path / "doc").mkdir()
    env = dict(os.environ, DATAPATH=str(tmp_path) + "/",
               PATH=os.environ["KOV_BIN_DIR"] + os.pathsep + os.environ["PATH"])
    done = subprocess.run(["bash", "-c", "set -e -o pipefail\n" + "\n".join(lines)], cwd=tmp_path,
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "doc" / "processing-loop.png").exists()
    done = subprocess.run([sys.executable, "-c", python], cwd=tmp_path, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
