"""Dask arrays of datasets: blocks read and written by the tasks, where they run."""
import itertools
import os
import tempfile

import numpy as np

from . import Dataset, KovError, _kov, _lock, _give_tag, _start, _take_tag, create


def _read_block(source, window):
    with Dataset(source) as ds:
        return ds.read(window)


def _chunks_of(ds, chunks):
    import dask.array as da
    ndim = len(ds.shape)
    if isinstance(chunks, dict):
        numpy_order = [-1] * ndim
        for axis, size in chunks.items():
            axis = int(axis)
            if not 1 <= axis <= ndim:
                raise KovError("no axis %d in %s (%d axes)" % (axis, ds.path, ndim))
            numpy_order[ndim - axis] = size
        chunks = tuple(numpy_order)
    return da.core.normalize_chunks(chunks, ds.shape, dtype=ds.dtype)


def dataset_to_dask(ds, chunks):
    import dask.array as da
    from dask.base import tokenize
    source = ds._source
    if "|" in source or ":" in source or source == "stdin":
        raise KovError("%s is a stream: it cannot be read in blocks elsewhere" % ds.path)
    chunks = _chunks_of(ds, chunks)
    try:
        stamp = os.stat(source).st_mtime_ns
    except OSError:
        stamp = None
    name = "kov-read-" + tokenize(source, stamp, ds.shape, chunks)
    ndim = len(chunks)
    starts = [np.concatenate(([0], np.cumsum(c)[:-1])).astype(int).tolist() for c in chunks]
    graph = {}
    for index in itertools.product(*(range(len(c)) for c in chunks)):
        window = {ndim - k: (chunks[k][i], starts[k][i], 1) for k, i in enumerate(index)}
        graph[(name,) + index] = (_read_block, source, window)
    return da.Array(graph, name, chunks, dtype=ds.dtype)


def _write_block(block, text, filesize, shape, esize, block_info=None):
    """Write one block at its place through a private read-write view of the
    dataset (a copy of its header naming the same data files)."""
    at = [start for start, _ in block_info[0]["array-location"]]
    block = np.ascontiguousarray(block)
    _start()
    with _lock:
        fd, view = tempfile.mkstemp(suffix=".H", prefix="kov-view-")
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        tag = _take_tag()
        try:
            _kov.set_param(tag, view)
            _kov.set_param("filesize", "" if filesize is None else str(int(filesize)))
            if not _kov.open_inout(tag):
                raise KovError("cannot open the data of %s for writing" % view)
            if block.size:
                _kov.window(1, tag, list(reversed(shape)), list(reversed(block.shape)),
                            list(reversed(at)), [1] * len(shape), esize, block)
        finally:
            _kov.close(tag)
            _give_tag(tag)
            os.unlink(view)
    return np.ones((1,) * len(shape), dtype=bool)


def _presize(ds, total, filesize):
    """Give every data file its final size, so that each task's view of a
    multi-file data set splits the bytes the same way."""
    location = ds.param("in")
    if location is None or location in ("stdin", "follow_hdr"):
        raise KovError("%s: the data must be in files of their own" % ds.path)
    names = [n for n in location.split(";") if n]
    capacity = (999999 if filesize is None else int(filesize)) << 20
    left = total
    for i, name in enumerate(names):
        size = left if i == len(names) - 1 else min(left, capacity)
        with _lock:
            path = _kov.expand(name, ds._live())
        os.truncate(path, size)
        left -= size


def dask_to_kov(darr, header, compute=True, **kwargs):
    import dask
    import dask.array as da
    darr = da.asarray(darr)
    with create(header, darr.shape, dtype=darr.dtype, **kwargs) as writer:
        dtype, esize = writer.dtype, writer.esize
    with Dataset(header) as ds:
        _presize(ds, int(np.prod(darr.shape, dtype=np.int64)) * esize, kwargs.get("filesize"))
        text = _kov.history(ds._live())
    stored = darr.astype(dtype).map_blocks(
        _write_block, text, kwargs.get("filesize"), darr.shape, esize, dtype=bool,
        chunks=tuple((1,) * len(c) for c in darr.chunks))
    if not compute:
        return stored
    dask.compute(stored.all())
    return None
