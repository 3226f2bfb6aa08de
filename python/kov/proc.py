# SPDX-License-Identifier: Apache-2.0
"""Processing on NumPy arrays with the kernels of the kov programs.

``evaluate`` computes what ``kovmath`` computes and ``stack`` what
``kovstack`` computes, sample for sample, so that a notebook and a pipeline
give the same numbers.  Arrays are in NumPy's order: the fastest axis of a
dataset (its axis 1) is the last NumPy axis, its axis k the NumPy axis -k.
"""
from __future__ import annotations

from typing import Mapping, Optional, Sequence

import numpy as np

from . import _proc

__all__ = ["evaluate", "names", "stack", "MODES"]

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
