"""Dask arrays of datasets: blocks read and written by the tasks, where they run."""
import numbers
import os
import sys
import tempfile
import threading

import numpy as np

from . import (Dataset, KovError, _give_tag, _kov, _lock, _page_empty, _start, _take_tag,
               create)


class _Blocks:
    """Arrays for the blocks the tasks of a worker read, used again once
    nothing refers to them any more.

    A worker reads block after block of the same size.  A fresh array for
    each costs more than the read itself: the memory comes new from the
    system every time (the workers return freed memory at once), and the
    system clears it first.  At most `slots` arrays are kept; a block that
    finds none free gets an array of its own."""

    def __init__(self, slots=2):
        self._arrays = []
        self._slots = slots
        self._lock = threading.Lock()

    def empty(self, shape, dtype):
        dtype = np.dtype(dtype)
        with self._lock:
            for a in self._arrays:
                if a.shape == shape and a.dtype == dtype and not self._in_use(a):
                    return a
            a = _page_empty(shape, dtype)
            if len(self._arrays) >= self._slots:
                self._arrays = [b for b in self._arrays if self._in_use(b)]
            if len(self._arrays) < self._slots:
                self._arrays.append(a)
            return a

    @staticmethod
    def _in_use(a):
        # A free array is referred to by the list, the caller's name and
        # this call only, and its memory by the array only.  A task's result
        # or a transfer in progress refers to the array; a view of it refers
        # to its memory.
        return sys.getrefcount(a) > 4 or sys.getrefcount(a.base) > 2


_blocks = _Blocks()


def _read_block(source, window):
    with Dataset(source) as ds:
        return ds.read(window, _empty=_blocks.empty)


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


class _Source:
    """A dataset as Dask sees an array to cut into blocks: each block is a
    windowed read, done where the task runs."""

    def __init__(self, source, shape, dtype):
        self.source = source
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)
        self.ndim = len(self.shape)

    def __getitem__(self, index):
        """Slices with any step and integers, as Dask hands them over when it
        folds an indexing of the array into the reads of its blocks."""
        index = index if isinstance(index, tuple) else (index,)
        index += (slice(None),) * (self.ndim - len(index))
        if len(index) != self.ndim or not all(isinstance(i, (slice, numbers.Integral))
                                              for i in index):
            return self[(slice(None),) * self.ndim][index]
        window, after = {}, []
        for k, item in enumerate(index):
            if isinstance(item, slice):
                picked = range(*item.indices(self.shape[k]))
                after.append(slice(None, None, -1 if picked.step < 0 else None))
            else:
                picked = range(self.shape[k])[item]  # IndexError when outside
                picked = range(picked, picked + 1)
                after.append(0)
            if picked.step < 0:
                picked = picked[::-1]
            window[self.ndim - k] = (len(picked), picked.start if picked else 0, picked.step)
        return _read_block(self.source, window)[tuple(after)]


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
    # One task for each block, which the optimizer fuses with the first step
    # of whatever is computed from the blocks.
    return da.from_array(_Source(source, ds.shape, ds.dtype), chunks=chunks, lock=False,
                         asarray=False, fancy=False, inline_array=True,
                         meta=np.empty((0,) * len(chunks), ds.dtype),
                         name="kov-read-" + tokenize(source, stamp, ds.shape, chunks))


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
