"""The xarray engine "kov": xr.open_dataset(path, engine="kov")."""
import os

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import Dataset


def _value(text):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


class KovBackendArray(BackendArray):
    """Lazy samples of a dataset: each access is a windowed read."""

    def __init__(self, source, shape, dtype):
        self.source = source
        self.shape = shape
        self.dtype = dtype

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._raw_indexing_method)

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
            with Dataset(self.source) as ds:
                data = ds.read(window)
        return data.squeeze(axis=tuple(squeeze)) if squeeze else data


class KovBackendEntrypoint(BackendEntrypoint):
    description = "Datasets of the kov program family (history header and binary data)"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "name")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, name=None):
        import xarray as xr
        path = os.fspath(filename_or_obj)
        with Dataset(path) as ds:
            source, shape, dtype, axes = ds._source, ds.shape, ds.dtype, ds.axes
            attrs = {k: _value(v) for k, v in ds.params().items()}
        labels = [a.label for a in axes]
        if all(labels) and len(set(labels)) == len(labels):
            dims = labels
        else:
            dims = ["axis%d" % (i + 1) for i in range(len(axes))]
        dims = tuple(reversed(dims))
        coords = {}
        for dim, axis in zip(reversed(dims), axes):
            values = axis.o + axis.d * np.arange(axis.n, dtype=np.float64)
            coords[dim] = xr.Variable((dim,), values, {"units": axis.unit} if axis.unit else {})
        data = indexing.LazilyIndexedArray(KovBackendArray(source, shape, dtype))
        var_name = name or os.path.splitext(os.path.basename(path))[0] or "data"
        variables = {} if drop_variables and var_name in drop_variables else \
            {var_name: xr.Variable(dims, data, attrs)}
        return xr.Dataset(variables, coords=coords, attrs=attrs)

    def guess_can_open(self, filename_or_obj):
        try:
            path = os.fspath(filename_or_obj)
        except TypeError:
            return False
        return path.endswith(".H") or os.path.basename(path).startswith("H")
