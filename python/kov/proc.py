# SPDX-License-Identifier: Apache-2.0
"""Processing on NumPy arrays with the kernels of the kov programs.

Each function computes what its program computes, sample for sample, so
that a notebook and a pipeline give the same numbers:

============  ===============  ==========================================
function      program          what
============  ===============  ==========================================
``evaluate``  ``kovmath``      an expression at every sample
``stack``     ``kovstack``     a reduction along an axis
``synth``     ``kovsynth``     seismic traces or gathers from a velocity
                               model in depth
``vrms``      ``kovsynth``     the RMS velocities in time of a model
                               (``vrms=``)
``nmo``       ``kovnmo``       normal moveout and its inverse
``mute``      ``kovmute``      mutes above or below a line in time and
                               offset
``gain``      ``kovgain``      power of time, AGC, percentile clip,
                               balance
``bandpass``  ``kovbandpass``  Butterworth filters, zero or minimum phase
``spectra``   ``kovspectra``   amplitude spectra
============  ===============  ==========================================

Arrays are in NumPy's order: the fastest axis of a dataset (its axis 1)
is the last NumPy axis, its axis k the NumPy axis -k.  The trace functions
work along the last axis (time, in seconds: ``o1`` and ``d1`` are the time
of the first sample and the sampling interval, as a dataset's ``o1`` and
``d1`` in seconds); for gathers the axis before it (-2, the dataset's axis
2) is offset.  They take arrays of any real dtype (converted to float32,
as the programs read their input) and return new float32 arrays, as the
programs write; the keywords are the programs' parameters.  Parameters the
programs refuse raise ValueError with the program's reason.  The kernels
run without holding the interpreter's lock.
"""
from __future__ import annotations

import operator
from typing import Mapping, Optional, Sequence, Union

import numpy as np

from . import _proc

__all__ = ["evaluate", "names", "stack", "MODES", "synth", "vrms", "nmo", "mute", "gain",
           "bandpass", "spectra"]

ArrayLike = Union[np.ndarray, Sequence[float], float]

MODES = ("mean", "sum", "rms", "max", "min")


def names(expression: str) -> list:
    """The names an expression uses (``pi`` and ``e`` aside), in order of
    first use: tuples (name, kind, axis, position) with kind ``"input"``,
    ``"coordinate"`` (x1..x9) or ``"index"`` (i1..i9).  ValueError, with
    the position and the reason, when the expression does not parse."""
    return [tuple(t) for t in _proc.names(expression)]


def evaluate(expression: str, inputs: Optional[Mapping[str, np.ndarray]] = None, *,
             shape: Optional[Sequence[int]] = None,
             origins: Optional[Sequence[float]] = None,
             deltas: Optional[Sequence[float]] = None,
             dtype=np.float32, **named: np.ndarray) -> np.ndarray:
    """The expression at every sample, as ``kovmath output=expression``.

    Inputs are given as a mapping or as keywords (``evaluate("a-b", a=x,
    b=y)``); they must have one shape, or ``shape`` gives it when there are
    none.  ``origins`` and ``deltas`` (one per NumPy axis, default 0 and 1)
    give the coordinates x1..x9 (x1 along the last axis).  Every sample is
    computed in float64 and rounded once to ``dtype`` (float32 by default,
    or float64 for the unrounded values).  ValueError for an expression
    that does not parse, an unknown name, or inputs of different shapes."""
    arrays = dict(inputs or {})
    arrays.update(named)
    used = [n for n, kind, _, _ in names(expression) if kind == "input"]
    for name in used:
        if name not in arrays:
            raise ValueError("unknown name %r: not among the inputs given" % name)
    shapes = {tuple(np.shape(arrays[n])) for n in used}
    if len(shapes) > 1:
        raise ValueError("the inputs have different shapes: %s" % sorted(shapes))
    if shapes:
        shape = shapes.pop()
    elif shape is None:
        raise ValueError("no input: give the shape of the result")
    shape = tuple(int(s) for s in shape)
    ndim = len(shape)
    if ndim > 9:
        raise ValueError("at most 9 axes")
    origins = [0.0] * ndim if origins is None else [float(v) for v in origins]
    deltas = [1.0] * ndim if deltas is None else [float(v) for v in deltas]
    if len(origins) != ndim or len(deltas) != ndim:
        raise ValueError("origins and deltas need one value per axis (%d)" % ndim)
    count = int(np.prod(shape, dtype=np.int64))
    flat = {n: np.ascontiguousarray(arrays[n], dtype=np.float64).reshape(-1) for n in used}
    result = _proc.evaluate(expression, flat, list(reversed(shape)), list(reversed(origins)),
                            list(reversed(deltas)), count)
    return result.reshape(shape).astype(dtype, copy=False)


def stack(array: np.ndarray, axis: int = -2, mode: str = "mean", norm: bool = True,
          dtype=np.float32) -> np.ndarray:
    """The array reduced along ``axis`` (a NumPy axis; the default -2 is
    the dataset's axis 2), as ``kovstack``: ``mode`` is ``"mean"``,
    ``"sum"``, ``"rms"``, ``"max"`` or ``"min"``; with ``norm`` mean and rms
    divide by the live samples (finite and not zero, at least 1) instead of
    the axis length.  Computed in float64 in NumPy's order of addition and
    rounded once to ``dtype``."""
    a = np.asarray(array)
    if a.ndim == 0:
        raise ValueError("stack needs an array of at least one axis")
    axis = np.core.numeric.normalize_axis_index(axis, a.ndim)
    if mode not in MODES:
        raise ValueError("mode=%s: give mean, sum, rms, max or min" % mode)
    outer = int(np.prod(a.shape[:axis], dtype=np.int64))
    inner = int(np.prod(a.shape[axis + 1:], dtype=np.int64))
    cube = np.ascontiguousarray(a, dtype=np.float64).reshape(outer, a.shape[axis], inner)
    result = _proc.stack(cube, mode, bool(norm))
    return result.reshape(a.shape[:axis] + a.shape[axis + 1:]).astype(dtype, copy=False)


# The longest trace the programs take, in samples.
_MOST_SAMPLES = 1 << 28
_INT_MAX = 2 ** 31 - 1
# The most samples of a result, well within the sizes NumPy counts.
_MOST_RESULT = 2 ** 58


def _traces(array: ArrayLike, what: str = "the data") -> np.ndarray:
    """``array`` as float32 C-ordered, at least one axis, with samples
    along its last axis."""
    a = np.asarray(array)
    if np.iscomplexobj(a) or not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise TypeError("%s must be real numbers, not %s" % (what, a.dtype))
    if a.ndim == 0:
        raise ValueError("%s need at least one axis (the samples of a trace)" % what)
    if a.shape[-1] == 0:
        raise ValueError("%s have no samples along axis 1" % what)
    return np.ascontiguousarray(a, dtype=np.float32)


def _integer(name: str, value, low: int, high: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError("%s=%r: give a whole number" % (name, value)) from None
    if not low <= number <= high:
        raise ValueError("%s=%d: give %d to %d" % (name, number, low, high))
    return number


def _real(name: str, value) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError("%s=%r: give a number" % (name, value)) from None


def _step(name: str, value, what: str) -> float:
    step = _real(name, value)
    if not (np.isfinite(step) and step > 0.0):
        raise ValueError("%s=%g: the %s must be positive" % (name, step, what))
    return step


def _offsets(offsets: ArrayLike, shape: tuple) -> np.ndarray:
    """One offset (float64) per trace of an array of ``shape``."""
    h = np.asarray(offsets, dtype=np.float64)
    try:
        return np.ascontiguousarray(np.broadcast_to(h, shape[:-1])).reshape(-1)
    except ValueError:
        raise ValueError("offsets of shape %s do not fit traces of shape %s"
                         % (h.shape, shape[:-1])) from None


def synth(model: ArrayLike, *, d1: float, nt: int = 1000, dt: float = 0.004,
          fpeak: float = 25.0, density: str = "constant", noff: Optional[int] = None,
          doff: Optional[float] = None, ooff: Optional[float] = None) -> np.ndarray:
    """Seismic traces from a velocity model in depth, as ``kovsynth``.

    ``model`` holds velocities along its last axis (depth, ``d1`` apart);
    every model trace gives a trace of ``nt`` samples at ``dt`` seconds
    from time 0: reflections where the impedance (``density="constant"``
    or ``"gardner"``) changes, at their exact two-way times, through a
    zero-phase Ricker wavelet of peak frequency ``fpeak``.  The result has
    the shape ``model.shape[:-1] + (nt,)``; with ``noff`` a gather of
    ``noff`` offsets ``ooff + doff * h`` per model trace, shape
    ``model.shape[:-1] + (noff, nt)``, each reflection on its hyperbola
    with the RMS velocity above it.  ValueError for a velocity that is not
    a finite positive number (naming its sample and trace, from 1) and for
    the parameters ``kovsynth`` refuses."""
    m = _traces(model, "the velocities")
    dz = _step("d1", d1, "depth step")
    if m.shape[-1] > _MOST_SAMPLES:
        raise ValueError("n1=%d: a model trace may have at most %d samples"
                         % (m.shape[-1], _MOST_SAMPLES))
    nt = _integer("nt", nt, 1, _MOST_SAMPLES)
    dt = _step("dt", dt, "time step")
    fpeak = _real("fpeak", fpeak)
    nyquist = 0.5 / dt
    if not (0.0 < fpeak < nyquist):
        raise ValueError("fpeak=%g: the peak frequency must be positive and below the Nyquist "
                         "frequency %g Hz of dt=%g" % (fpeak, nyquist, dt))
    if density not in ("constant", "gardner"):
        raise ValueError("density=%s: give constant|gardner" % (density,))
    if noff is None:
        for name, value in (("doff", doff), ("ooff", ooff)):
            if value is not None:
                raise ValueError("%s=: offsets need noff=" % name)
        count, first, step = 0, 0.0, 0.0
    else:
        count = _integer("noff", noff, 1, _INT_MAX)
        first = 0.0 if ooff is None else _real("ooff", ooff)
        if count > 1 and doff is None:
            raise ValueError("doff=: the offset step is needed with noff=%d" % count)
        step = 0.0 if doff is None else _real("doff", doff)
        if count > 1 and step == 0.0:
            raise ValueError("doff=0: the offsets must differ")
    samples = int(np.prod(m.shape[:-1], dtype=object)) * max(count, 1) * nt
    if samples > _MOST_RESULT:
        raise MemoryError("%d samples of synthetic data: more than an array holds" % samples)
    out = _proc.synth(m.reshape(-1, m.shape[-1]), dz, density, nt, dt, fpeak, count, first, step)
    return out.reshape(m.shape[:-1] + ((count,) if count else ()) + (nt,))


def vrms(model: ArrayLike, *, d1: float, nt: int = 1000, dt: float = 0.004) -> np.ndarray:
    """The RMS velocity in time of every model trace, as ``kovsynth
    vrms=``: at two-way vertical time t, sqrt(integral of v^2 over the
    two-way time down to t, divided by t), on ``nt`` samples at ``dt``
    seconds from time 0; shape ``model.shape[:-1] + (nt,)``, ready for
    ``nmo(velocity=...)``.  ``d1`` is the model's depth step."""
    m = _traces(model, "the velocities")
    dz = _step("d1", d1, "depth step")
    nt = _integer("nt", nt, 1, _MOST_SAMPLES)
    dt = _step("dt", dt, "time step")
    out = _proc.vrms(m.reshape(-1, m.shape[-1]), dz, nt, dt)
    return out.reshape(m.shape[:-1] + (nt,))


def nmo(gathers: ArrayLike, *, d1: float, offsets: ArrayLike, o1: float = 0.0,
        vel: Optional[float] = None, velocity: Optional[ArrayLike] = None,
        velocity_o1: Optional[float] = None, velocity_d1: Optional[float] = None,
        inv: bool = False, str: float = 0.5) -> np.ndarray:  # noqa: A002 (kovnmo's parameter)
    """Normal moveout of gathers, as ``kovnmo``.

    ``gathers`` has time along its last axis (``o1``, ``d1`` in seconds)
    and offset along the one before (if any); ``offsets`` gives the offset
    of every trace, broadcast against ``gathers.shape[:-1]`` (a vector of
    one offset per trace of a gather fits every gather).  The RMS
    velocities v(t0) are one constant ``vel`` or an array ``velocity``
    that broadcasts against ``gathers.shape[:-2]`` (one trace for all
    gathers, or one per gather, as kovsynth's ``vrms``).  Its last axis is
    time: at the data's times (the traces' length) unless ``velocity_d1``
    gives its own sampling interval, its first time being ``velocity_o1``
    (default 0), in seconds, as a velocity dataset's ``o1`` and ``d1``.
    Velocities on their own times are resampled to the data's as
    ``kovnmo velocity=file.H`` resamples them: linearly between samples,
    the first and last values continued outside the trace.  ``inv=True``
    applies the inverse moveout; forwards, samples stretched by more than
    ``str`` are zeroed.  Samples are read between input samples through
    kovnmo's 8-point windowed sinc."""
    data = _traces(gathers)
    shape = data.shape
    n1 = shape[-1]
    if n1 > _MOST_SAMPLES:
        raise ValueError("n1=%d: too many samples in a trace" % n1)
    d1 = _step("d1", d1, "time step")
    o1 = _real("o1", o1)
    stretch = _real("str", str)
    if not stretch > 0.0:
        raise ValueError("str=%g: the stretch limit must be positive" % stretch)
    if (vel is None) == (velocity is None):
        raise ValueError("give either vel= (a constant) or velocity= (an array)")
    own = velocity_o1 is not None or velocity_d1 is not None
    if own and velocity is None:
        raise ValueError("velocity_o1= and velocity_d1= describe velocity=; vel= is a constant")
    if velocity_o1 is not None and velocity_d1 is None:
        raise ValueError("velocity_o1=: give the velocities' sampling interval velocity_d1= too")
    per = shape[-2] if len(shape) > 1 else 1
    vo1, vd1 = o1, d1
    if vel is not None:
        v = _real("vel", vel)
        if not v > 0.0:
            raise ValueError("vel=%g: the velocity must be positive" % v)
        rows = np.full((1, n1), v, dtype=np.float32)
    else:
        v = _traces(velocity, "the velocities")
        vn = v.shape[-1]
        if own:
            vd1 = _step("velocity_d1", velocity_d1, "time step")
            vo1 = 0.0 if velocity_o1 is None else _real("velocity_o1", velocity_o1)
            if not (np.isfinite(vd1) and np.isfinite(vo1)):
                raise ValueError("velocity_o1=%g, velocity_d1=%g: give finite times" % (vo1, vd1))
            if vn > _MOST_SAMPLES:
                raise ValueError("velocity: n1=%d: too many samples in a trace" % vn)
        elif vn != n1:
            raise ValueError("velocity: %d samples per trace where the data have %d: give it at "
                             "the data's times, or give its own with velocity_d1= (and "
                             "velocity_o1=)" % (vn, n1))
        if v.ndim > 1:
            try:
                v = np.broadcast_to(v, shape[:-2] + (vn,))
            except ValueError:
                raise ValueError("velocity of shape %s fits neither one gather nor every gather "
                                 "of %s" % (v.shape, shape)) from None
        rows = np.ascontiguousarray(v).reshape(-1, vn)
        bad = ~(np.isfinite(rows) & (rows > 0))
        if bad.any():
            trace, sample = np.argwhere(bad)[0]
            raise ValueError("the velocity %g at sample %d of trace %d is not a positive number"
                             % (rows[trace, sample], sample + 1, trace + 1))
    out = _proc.nmo(data.reshape(-1, n1), _offsets(offsets, shape), rows, per, o1, d1, vo1, vd1,
                    bool(inv), stretch)
    return out.reshape(shape)


def mute(gathers: ArrayLike, *, d1: float, o1: float = 0.0, offsets: Optional[ArrayLike] = None,
         tmute: float = 0.0, vmute: Optional[float] = None, hyper: bool = False,
         mode: str = "above", ntaper: int = 0) -> np.ndarray:
    """Gathers muted above (``mode="above"``) or below (``"below"``) the
    line t = tmute + |h| / vmute (with ``hyper=True`` the hyperbola
    t = sqrt(tmute^2 + h^2 / vmute^2)), as ``kovmute``, with a cosine taper
    of ``ntaper`` samples.  Time runs along the last axis (``o1``, ``d1`` in
    seconds); ``offsets`` (h) broadcasts against ``gathers.shape[:-1]`` and
    may be left out only without ``vmute`` (a flat line at ``tmute``)."""
    data = _traces(gathers)
    d1 = _step("d1", d1, "time step")
    o1 = _real("o1", o1)
    tmute = _real("tmute", tmute)
    if vmute is None:
        speed = float("inf")
        if offsets is None:
            offsets = 0.0
    else:
        speed = _real("vmute", vmute)
        if not speed > 0.0:
            raise ValueError("vmute=%g: the velocity must be positive" % speed)
        if offsets is None:
            raise ValueError("vmute=%g: give the offsets of the traces (offsets=)" % speed)
    if mode not in ("above", "below"):
        raise ValueError("mode=%s: give above|below" % (mode,))
    ntaper = _integer("ntaper", ntaper, 0, _INT_MAX)
    shape = data.shape
    out = _proc.mute(data.reshape(-1, shape[-1]), _offsets(offsets, shape), o1, d1, tmute, speed,
                     bool(hyper), mode == "below", ntaper)
    return out.reshape(shape)


def gain(traces: ArrayLike, *, d1: Optional[float] = None, o1: float = 0.0,
         tpow: Optional[float] = None, agc: Optional[float] = None,
         pclip: Optional[float] = None, scale: Optional[str] = None) -> np.ndarray:
    """The gain of every trace (the last axis), as ``kovgain``, in this
    order: multiplied by |t|^tpow (t = o1 + i*d1), automatic gain control
    over a centred window of ``agc`` seconds, clipped at the ``pclip``
    percentile of its magnitudes, balanced by ``scale="rms"`` or ``"max"``.
    ``d1`` is needed with ``tpow`` and ``agc``.  ValueError for what
    kovgain refuses (among them a negative ``tpow`` where a sample lies at
    time 0)."""
    data = _traces(traces)
    if tpow is None and agc is None and pclip is None and scale is None:
        raise ValueError("no gain asked for: give agc=, tpow=, pclip= or scale=")
    if d1 is not None:
        d1 = _real("d1", d1)
    if (tpow is not None or agc is not None) and (d1 is None or not np.isfinite(d1)):
        raise ValueError("d1=%s: tpow= and agc= need the sampling of axis 1" % d1)
    o1 = _real("o1", o1)
    n1 = data.shape[-1]
    for name, value in (("tpow", tpow), ("agc", agc), ("pclip", pclip)):
        if value is not None and not np.isfinite(_real(name, value)):
            raise ValueError("%s=%g: not a finite number" % (name, _real(name, value)))
    if tpow is not None:
        tpow = _real("tpow", tpow)
        if tpow < 0.0:
            at = -o1 / d1 if d1 != 0.0 else (0.0 if o1 == 0.0 else -1.0)
            if 0.0 <= at < n1 and at == np.floor(at):
                raise ValueError("tpow=%g: sample %.0f of axis 1 lies at time 0, where a "
                                 "negative power is infinite" % (tpow, at))
    if agc is not None:
        agc = _real("agc", agc)
        if agc <= 0.0:
            raise ValueError("agc=%g: the window must be longer than 0 seconds" % agc)
        if not d1 > 0.0:
            raise ValueError("agc=%g: axis 1 must be sampled forwards for a window (d1=%g)"
                             % (agc, d1))
    if pclip is not None:
        pclip = _real("pclip", pclip)
        if not 0.0 < pclip <= 100.0:
            raise ValueError("pclip=%g: a percentile is above 0 and at most 100" % pclip)
    if scale is not None and scale not in ("rms", "max"):
        raise ValueError("scale=%s: balance by rms or max" % (scale,))
    out = _proc.gain(data.reshape(-1, n1), o1, 1.0 if d1 is None else d1, tpow, agc, pclip,
                     scale or "")
    return out.reshape(data.shape)


_MOST_POLES = 64


def bandpass(traces: ArrayLike, *, d1: float, flo: Optional[float] = None,
             fhi: Optional[float] = None, nplo: int = 6, nphi: int = 6,
             phase: str = "zero") -> np.ndarray:
    """Every trace (the last axis, sampled at ``d1`` seconds) through a
    Butterworth filter, as ``kovbandpass``: a high-pass of ``nplo`` poles
    at ``flo`` Hz and a low-pass of ``nphi`` poles at ``fhi`` Hz (either may
    be left out), as second-order sections designed in double precision.
    ``phase="zero"`` applies the filter of half the poles forwards and
    backwards (the ends padded as the manual page of kovbandpass says),
    ``phase="minimum"`` the whole filter forwards.  ValueError for a corner
    at or above the Nyquist frequency (naming it) and for what kovbandpass
    refuses.  ``KOV_SIMD`` chooses the vector path as for the program."""
    data = _traces(traces)
    d1 = _real("d1", d1)
    if flo is None and fhi is None:
        raise ValueError("no corner frequency: give flo=, fhi= or both")
    if phase not in ("zero", "minimum"):
        raise ValueError("phase=%s: the phase is zero or minimum" % (phase,))
    low = None if flo is None else _real("flo", flo)
    high = None if fhi is None else _real("fhi", fhi)
    poles = {}
    for name, value, used in (("nplo", nplo, low is not None), ("nphi", nphi, high is not None)):
        if not used:
            poles[name] = 0
            continue
        try:
            n = operator.index(value)
        except TypeError:
            raise TypeError("%s=%r: give a whole number" % (name, value)) from None
        if not 1 <= n <= _MOST_POLES:
            raise ValueError("%s=%d: the number of poles is 1 to %d" % (name, n, _MOST_POLES))
        if phase == "zero" and n % 2:
            raise ValueError("%s=%d: phase=zero applies half the poles each way, so their "
                             "number must be even" % (name, n))
        poles[name] = n
    if low is not None and high is not None and low >= high:
        raise ValueError("flo=%g fhi=%g: the low corner must be below the high one"
                         % (low, high))
    n1 = data.shape[-1]
    out = _proc.bandpass(data.reshape(-1, n1), d1, 0.0 if low is None else low, poles["nplo"],
                         0.0 if high is None else high, poles["nphi"], phase)
    return out.reshape(data.shape)


def spectra(traces: ArrayLike, *, nfft: Optional[int] = None, all: bool = False,
            db: bool = False) -> np.ndarray:  # noqa: A002 (kovspectra's parameter)
    """The amplitude spectrum |rfft| of every trace (the last axis) on
    ``nfft`` points, as ``kovspectra``: shape ``traces.shape[:-1] +
    (nfft // 2 + 1,)``, frequencies ``numpy.fft.rfftfreq(nfft, d1)``.
    ``nfft`` is at least the traces' length; by default the smallest
    length at least theirs whose only prime factors are 2, 3, 5 and 7.
    ``all=True`` gives the mean of the traces' spectra (summed in double,
    in the traces' order), shape ``(nfft // 2 + 1,)``; ``db=True`` the
    amplitudes in decibels relative to the largest (at least -200)."""
    data = _traces(traces)
    n1 = data.shape[-1]
    if nfft is None:
        size = _proc.fast_fft_size(n1)
    else:
        try:
            size = operator.index(nfft)
        except TypeError:
            raise TypeError("nfft=%r: give a whole number" % (nfft,)) from None
        if size < n1:
            raise ValueError("nfft=%d: shorter than a trace (n1=%d); its samples would be lost"
                             % (size, n1))
    if size > _INT_MAX:
        raise ValueError("nfft=%d: larger than the transform takes (at most %d)"
                         % (size, _INT_MAX))
    flat = data.reshape(-1, n1)
    if flat.shape[0] * (size // 2 + 1) > _MOST_RESULT:
        raise MemoryError("nfft=%d: the spectra would not fit an array" % size)
    if all and flat.shape[0] == 0:
        raise ValueError("all=y: there are no traces to average")
    out = _proc.spectra(flat, size, bool(all), bool(db))
    return out if all else out.reshape(data.shape[:-1] + (size // 2 + 1,))
