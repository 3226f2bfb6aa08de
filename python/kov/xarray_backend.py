# SPDX-License-Identifier: Apache-2.0
"""The xarray engine "kov": xr.open_dataset(path, engine="kov")."""
import os
import re

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from ._dataset import Dataset, _is_stream


def _value(text):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


class KovBackendArray(BackendArray):
    """Lazy samples of a dataset: each access is a windowed read."""

    def __init__(self, source, shape, dtype, credentials=None):
        self.source = source
        self.shape = shape
        self.dtype = dtype
        self.credentials = credentials

    def __getitem__(self, key):
        # Integers and slices of any step, per axis, are answered here by one
        # windowed read: xarray's own decomposition of slices into what a
        # back end takes misplaces samples for negative steps other than -1.
        if isinstance(key, (indexing.BasicIndexer, indexing.OuterIndexer)):
            return self._outer(key.tuple)
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._raw_indexing_method)

    def _outer(self, items):
        """Outer indexing: an integer, a slice or a 1-D integer array per
        axis, each applied to its axis alone."""
        ndim = len(self.shape)
        window, after, squeeze = {}, [], []
        for k, (index, size) in enumerate(zip(items, self.shape)):
            if isinstance(index, slice):
                picked = range(*index.indices(size))
                after.append(slice(None, None, -1) if picked.step < 0 else slice(None))
                if picked.step < 0:
                    picked = picked[::-1]
            elif isinstance(index, (int, np.integer)):
                i = range(size)[int(index)]
                picked = range(i, i + 1)
                after.append(slice(None))
                squeeze.append(k)
            else:
                index = np.asarray(index)
                index = np.where(index < 0, index + size, index)
                first = int(index.min()) if index.size else 0
                picked = range(first, int(index.max()) + 1) if index.size else range(0)
                after.append(index - first)
            window[ndim - k] = (len(picked), picked.start if len(picked) else 0,
                                picked.step if len(picked) else 1)
        shape = tuple(window[ndim - k][0] for k in range(ndim))
        if 0 in shape:
            data = np.empty(shape, self.dtype)
        else:
            with Dataset(self.source, self.credentials) as ds:
                data = ds.read(window)
        for k, index in enumerate(after):
            if isinstance(index, slice):
                if index.step is not None:
                    data = data[(slice(None),) * k + (index,)]
            else:
                data = np.take(data, index, axis=k)
        return data.squeeze(axis=tuple(squeeze)) if squeeze else data

    def _raw_indexing_method(self, key):
        ndim = len(self.shape)
        window = {}
        squeeze = []
        for k, (index, size) in enumerate(zip(key, self.shape)):
            if isinstance(index, slice):
                start, stop, step = index.indices(size)
                n = len(range(start, stop, step))
            else:
                start, step, n = int(index), 1, 1
                squeeze.append(k)
            window[ndim - k] = (n, start, step)
        if any(n == 0 for n, _, _ in window.values()):
            shape = tuple(window[ndim - k][0] for k in range(ndim))
            data = np.empty(shape, self.dtype)
        else:
            with Dataset(self.source, self.credentials) as ds:
                data = ds.read(window)
        return data.squeeze(axis=tuple(squeeze)) if squeeze else data


def _dims(axes):
    """A dimension per axis: its label, or axisN when it has none or when an
    earlier axis took the same label."""
    dims, seen = [], set()
    for i, axis in enumerate(axes, 1):
        name = axis.label if axis.label and axis.label not in seen else "axis%d" % i
        if name in seen:
            name = "axis%d_" % i
        seen.add(name)
        dims.append(name)
    return dims


_HEADER = re.compile(rb"(?:\A|\s)n1\s*=\s*\S")


class KovBackendEntrypoint(BackendEntrypoint):
    """Datasets of the kov program family for xarray.

    open_dataset(filename_or_obj, drop_variables=None, name=None,
    credentials=None): one variable named `name` (default "data", for every
    file) with dims from the axes' labels (`axisN` for an axis without one),
    coordinates from o/d and the history's parameters as its attributes;
    samples read lazily by windows.  A stream ("-" or "cmd |") is read once,
    at open.  `credentials` are those of `kov.open`, for URLs."""

    description = "Datasets of the kov program family (history header and binary data)"
    url = "README.md#from-python"  # the section of the project README on the package
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "name", "credentials")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, name=None, credentials=None):
        import xarray as xr
        path = os.fspath(filename_or_obj)
        path = path if isinstance(path, str) else os.fsdecode(path)
        with Dataset(path, credentials) as ds:
            source, shape, dtype, axes = ds._source, ds.shape, ds.dtype, ds.axes
            credentials = ds._credentials
            attrs = {k: _value(v) for k, v in ds.params().items()}
            data = ds.read() if _is_stream(path) else None
        dims = tuple(reversed(_dims(axes)))
        coords = {}
        for dim, axis in zip(reversed(dims), axes):
            values = axis.o + axis.d * np.arange(axis.n, dtype=np.float64)
            coords[dim] = xr.Variable((dim,), values, {"units": axis.unit} if axis.unit else {})
        if data is None:
            data = indexing.LazilyIndexedArray(KovBackendArray(source, shape, dtype, credentials))
        # One name whatever the file: the datasets of a series
        # (open_mfdataset) combine into one variable.
        name = name or "data"
        variables = {} if drop_variables and name in drop_variables else \
            {name: xr.Variable(dims, data, attrs)}
        return xr.Dataset(variables, coords=coords)

    def guess_can_open(self, filename_or_obj):
        """True for a file whose first bytes read as a history header (text
        naming n1)."""
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        if not isinstance(path, str) or _is_stream(path) or not os.path.isfile(path):
            return False
        try:
            with open(path, "rb") as f:
                head = f.read(65536)
        except OSError:
            return False
        head = head.split(b"\x04", 1)[0]
        return b"\x00" not in head and _HEADER.search(head) is not None
