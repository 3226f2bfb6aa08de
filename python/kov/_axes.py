# SPDX-License-Identifier: Apache-2.0
"""Axes, shapes and sample formats of datasets."""
from __future__ import annotations

import re
from collections import namedtuple

import numpy as np

from ._errors import _value_error

Axis = namedtuple("Axis", "n o d label unit")
Axis.__doc__ = """One axis of a dataset: length n, origin o, step d, label and unit."""

#: The most axes a dataset may have (NumPy's own limit is 32).
MAX_AXES = 32
_MAX_N = 2**31 - 1  # the library counts samples of an axis in 32 bits

# dtype of the samples by element format (esize 4; esize 8 floats are complex).
_FLOAT_FORMATS = ("xdr_float", "native_float", "tmc_float")
_BYTE_FORMATS = ("xdr_byte", "native_byte", "tmc_byte", "drawl")
_FORMATS = ("xdr_float", "xdr_int", "xdr_byte", "native_float", "native_byte", "drawl",
            "tmc_float", "tmc_byte")


def _dtype(data_format, esize):
    if data_format in _FLOAT_FORMATS:
        if esize == 4:
            return np.dtype(np.float32)
        if esize == 8:
            return np.dtype(np.complex64)
    elif data_format == "xdr_int" and esize == 4:
        return np.dtype(np.int32)
    elif data_format in _BYTE_FORMATS and esize == 1:
        return np.dtype(np.uint8)
    return None


_WHOLE = re.compile(r"\s*\+?[0-9]+\s*\Z")


def _axis_length(text: str, name: str, path: str) -> int:
    if not _WHOLE.match(text) or not 1 <= int(text) <= _MAX_N:
        raise _value_error("%s: %s=%s: an axis length must be a whole number from 1 to %d"
                           % (path, name, text, _MAX_N), path)
    return int(text)


def _check_dims(name, values, ndim):
    if values is None:
        return None
    if isinstance(values, (str, bytes)) or np.isscalar(values):
        values = [values]
    values = list(values)
    if len(values) > ndim:
        raise _value_error("%s: %d values for %d axes" % (name, len(values), ndim))
    return values


_DEFAULT_FORMAT = {"f": "xdr_float", "c": "xdr_float", "i": "xdr_int", "u": "xdr_int",
                   "b": "xdr_byte"}


def _sample_type(data_format, dtype):
    if data_format not in _FORMATS:
        raise _value_error("unknown data format: %s" % data_format)
    if data_format in _FLOAT_FORMATS:
        if np.issubdtype(dtype, np.complexfloating):
            return np.dtype(np.complex64), 8
        return np.dtype(np.float32), 4
    if data_format == "xdr_int":
        return np.dtype(np.int32), 4
    return np.dtype(np.uint8), 1


def _choose_format(array_dtype, data_format):
    """The element format: `data_format`, or the one that holds the array's
    type; the sample dtype; whether the choice was explicit."""
    dtype = np.dtype(array_dtype)
    if dtype.kind not in "biufc":
        raise _value_error("cannot write samples of dtype %s: numbers only" % dtype)
    if data_format is None:
        if dtype.kind == "u" and dtype.itemsize == 1:
            return "xdr_byte", np.dtype(np.uint8), 1, False
        fmt = _DEFAULT_FORMAT[dtype.kind]
        sample, esize = _sample_type(fmt, dtype)
        return fmt, sample, esize, False
    if not isinstance(data_format, str):
        raise _value_error("data_format must be a text, not %r" % (data_format,))
    sample, esize = _sample_type(data_format, dtype)
    if dtype.kind == "c" and sample.kind != "c":
        raise _value_error("complex samples do not fit data_format=%s" % data_format)
    return data_format, sample, esize, True


def _check_shape(shape):
    try:
        shape = tuple(int(n) for n in shape)
    except (TypeError, ValueError):
        raise _value_error("a shape is a sequence of whole numbers, not %r" % (shape,)) from None
    if not shape:
        raise _value_error("a dataset has at least one axis")
    if len(shape) > MAX_AXES:
        raise _value_error("a dataset has at most %d axes" % MAX_AXES)
    for n in shape:
        if not 1 <= n <= _MAX_N:
            raise _value_error("shape %s: every axis length must be from 1 to %d" % (shape, _MAX_N))
    return shape


def _axis_values(ndim, o, d, label, unit):
    o, d, label, unit = (_check_dims(k, v, ndim) for k, v in
                         (("o", o), ("d", d), ("label", label), ("unit", unit)))
    for name, values in (("o", o), ("d", d)):
        for i, v in enumerate(values or []):
            try:
                x = float(v)
            except (TypeError, ValueError):
                raise _value_error("%s%d=%r is not a number" % (name, i + 1, v)) from None
            if not np.isfinite(x):
                raise _value_error("%s%d=%r is not a finite number" % (name, i + 1, v))
            values[i] = x
    for name, values in (("label", label), ("unit", unit)):
        for i, v in enumerate(values or []):
            if not isinstance(v, str) or "\n" in v:
                raise _value_error("%s%d=%r must be a text of one line" % (name, i + 1, v))
    return o, d, label, unit
