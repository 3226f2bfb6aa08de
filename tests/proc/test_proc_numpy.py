# SPDX-License-Identifier: Apache-2.0
"""kov.proc against NumPy: expressions bit for bit against NumPy's float64
evaluation cast to float32, stacks against NumPy's reductions."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))
from procdata import mismatches, nasty  # noqa: E402

import kov.proc as kp  # noqa: E402

RNG = np.random.default_rng(20261209)
A = nasty(RNG, 50000)
B = nasty(RNG, 50000)

# Each expression and NumPy's reading of it, a and b float64 arrays.
CASES = {
    "a+b": lambda a, b: a + b, "a-b": lambda a, b: a - b, "a*b": lambda a, b: a * b,
    "a/b": lambda a, b: a / b, "a^b": lambda a, b: a ** b, "-a^2": lambda a, b: -a ** 2,
    "pow(a,b)": np.power, "sqrt(a*a+b*b)": lambda a, b: np.sqrt(a * a + b * b),
    "sin(a)": lambda a, b: np.sin(a), "cos(a)": lambda a, b: np.cos(a),
    "tan(a)": lambda a, b: np.tan(a), "asin(a)": lambda a, b: np.arcsin(a),
    "acos(a)": lambda a, b: np.arccos(a), "atan(a)": lambda a, b: np.arctan(a),
    "atan2(a,b)": np.arctan2, "sinh(a)": lambda a, b: np.sinh(a),
    "cosh(a)": lambda a, b: np.cosh(a), "tanh(a)": lambda a, b: np.tanh(a),
    "exp(a)": lambda a, b: np.exp(a), "log(a)": lambda a, b: np.log(a),
    "log10(a)": lambda a, b: np.log10(a), "abs(a)": lambda a, b: np.abs(a),
    "sign(a)": lambda a, b: np.sign(a), "min(a,b)": np.minimum, "max(a,b)": np.maximum,
    "floor(a)": lambda a, b: np.floor(a), "ceil(a)": lambda a, b: np.ceil(a),
    "rint(a)": lambda a, b: np.rint(a),
    "a > b ? a : 0": lambda a, b: np.where(a > b, a, 0.0),
    "a<b": lambda a, b: (a < b) * 1.0, "a<=b": lambda a, b: (a <= b) * 1.0,
    "a>=b": lambda a, b: (a >= b) * 1.0, "a==b": lambda a, b: (a == b) * 1.0,
    "a!=b": lambda a, b: (a != b) * 1.0, "a*0.1*3": lambda a, b: a * 0.1 * 3,
    "2*pi*a/e": lambda a, b: 2 * np.pi * a / np.e,
}


@pytest.mark.parametrize("expression", list(CASES))
def test_expressions_equal_numpy_float64_cast_to_float32(expression):
    with np.errstate(all="ignore"):
        want = CASES[expression](A.astype(np.float64), B.astype(np.float64))
    got = kp.evaluate(expression, a=A, b=B)
    assert got.dtype == np.float32
    assert mismatches(got, want) == 0


def test_coordinates_and_indices_follow_numpys_axes():
    got = kp.evaluate("x1 + 1000*i2 + 1e6*x3", shape=(2, 3, 4), origins=(5, -1, 10),
                      deltas=(0.5, 2, 0.25), dtype=np.float64)
    x1 = 10 + 0.25 * np.arange(4)
    i2 = np.arange(3)[:, None]
    x3 = (5 + 0.5 * np.arange(2))[:, None, None]
    assert np.array_equal(got, x1 + 1000 * i2 + 1e6 * x3)


def test_refusals_name_the_position_and_the_name():
    with pytest.raises(ValueError, match="position 3"):
        kp.evaluate("a*/2", a=A)
    with pytest.raises(ValueError, match="'c'"):
        kp.evaluate("a*c", a=A)
    with pytest.raises(ValueError, match="shapes"):
        kp.evaluate("a+b", a=A, b=B[:10])


STACK_SHAPES = [(1000,), (6, 300), (300, 1), (3, 4, 259), (2, 3, 5, 131)]


@pytest.mark.parametrize("shape", STACK_SHAPES, ids=str)
def test_stacks_equal_numpy_on_every_axis(shape):
    a = nasty(RNG, shape)
    a[..., 0] = 0.0  # all-zero traces
    a64 = a.astype(np.float64)
    with np.errstate(all="ignore"):
        for axis in range(a.ndim):
            live = np.maximum((np.isfinite(a64) & (a64 != 0)).sum(axis=axis), 1)
            want = {("sum", False): a64.sum(axis=axis), ("mean", False): a64.mean(axis=axis),
                    ("rms", False): np.sqrt(np.mean(a64 ** 2, axis=axis)),
                    ("max", False): a64.max(axis=axis), ("min", False): a64.min(axis=axis),
                    ("mean", True): a64.sum(axis=axis) / live,
                    ("rms", True): np.sqrt((a64 ** 2).sum(axis=axis) / live)}
            for (mode, norm), w in want.items():
                assert mismatches(kp.stack(a, axis=axis, mode=mode, norm=norm), w) == 0, \
                    (axis, mode, norm)


def test_sums_along_the_fastest_axis_add_in_numpys_pairwise_order():
    # Cancellations that sequential addition gets differently.
    rng = np.random.default_rng(7)
    a = np.tile([2.0 ** 60, 1.0, -2.0 ** 60, 1.0], (50, 250)).astype(np.float32)
    a64 = a.astype(np.float64)
    assert mismatches(kp.stack(a, axis=-1, mode="sum"), a64.sum(axis=-1)) == 0
    sequential = np.zeros(50)
    for j in range(a.shape[1]):
        sequential = sequential + a64[:, j]
    assert mismatches(sequential, a64.sum(axis=-1)) > 0  # the data tell the orders apart
