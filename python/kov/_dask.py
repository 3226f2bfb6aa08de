# SPDX-License-Identifier: Apache-2.0
"""Dask arrays of datasets: blocks read and written by the tasks, where they run."""
import ctypes
import numbers
import os
import tempfile
import threading
import weakref

import numpy as np

from . import _kov
from ._dataset import Dataset
from ._errors import _value_error
from ._library import _Concerning, _give_tag, _lib, _lock, _page_empty, _start, _take_tag
from ._writing import _convert, _discard, _finish, _Output, _put_attrs


class _Blocks:
    """Memory for the blocks the tasks of a worker read, used again once
    nothing refers to a block any more.

    A worker reads block after block of the same size.  A fresh array for
    each costs more than the read itself: the memory comes new from the
    system every time (the workers return freed memory at once), and the
    system clears it first.  At most `slots` buffers are kept; a block that
    finds none free gets an array of its own.

    Each array handed out is a lease: it and every view of it refer to one
    small object of the lease (not an array, so NumPy's views cannot skip
    it).  When the last of them goes, the lease's finalizer gives the buffer
    back: the pool never guesses from reference counts."""

    def __init__(self, slots=2):
        self._slots = slots
        self._free = []  # (nbytes, buffer)
        self._kept = 0
        self._lock = threading.Lock()

    def empty(self, shape, dtype):
        dtype = np.dtype(dtype)
        shape = tuple(shape)
        nbytes = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
        if nbytes == 0:
            return np.empty(shape, dtype)
        with self._lock:
            buffer = None
            for k, (size, b) in enumerate(self._free):
                if size == nbytes:
                    buffer = self._free.pop(k)[1]
                    break
            if buffer is None:
                if self._kept >= self._slots and self._free:
                    self._free.pop(0)  # a buffer of another size makes room
                    self._kept -= 1
                if self._kept >= self._slots:
                    return _page_empty(shape, dtype)
                buffer = _page_empty((nbytes,), np.uint8)
                self._kept += 1
        lease = (ctypes.c_char * nbytes).from_buffer(buffer)
        weakref.finalize(lease, self._give_back, nbytes, buffer)
        return np.ndarray(shape, dtype, buffer=lease)

    def _give_back(self, nbytes, buffer):
        with self._lock:
            self._free.append((nbytes, buffer))

    def _after_fork(self):
        self._lock = threading.Lock()


_blocks = _Blocks()
os.register_at_fork(after_in_child=_blocks._after_fork)


def _identity(path):
    st = os.stat(path)
    return (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_size)


def _read_block(source, window, stamp=None):
    with Dataset(source) as ds:
        if stamp is not None and _identity(source) != stamp:
            raise _value_error("%s was replaced after the Dask array was made from it: make it "
                               "again to read the new dataset" % source, source)
        return ds.read(window, _empty=_blocks.empty)


def _chunks_of(ds, chunks):
    import dask.array as da
    ndim = len(ds.shape)
    if isinstance(chunks, dict):
        numpy_order = [-1] * ndim
        for axis, size in chunks.items():
            axis = int(axis)
            if not 1 <= axis <= ndim:
                raise _value_error("%s: no axis %d (%d axes)" % (ds.path, axis, ndim), ds.path)
            numpy_order[ndim - axis] = size
        chunks = tuple(numpy_order)
    return da.core.normalize_chunks(chunks, ds.shape, dtype=ds.dtype)


class _Source:
    """A dataset as Dask sees an array to cut into blocks: each block is a
    windowed read, done where the task runs."""

    def __init__(self, source, shape, dtype, stamp=None):
        self.source = source
        self.stamp = stamp
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
        return _read_block(self.source, window, self.stamp)[tuple(after)]


def dataset_to_dask(ds, chunks):
    import dask.array as da
    from dask.base import tokenize
    source = ds._source
    if "|" in source or source == "stdin":
        raise _value_error("%s is a stream: it cannot be read in blocks elsewhere" % ds.path,
                           ds.path)
    chunks = _chunks_of(ds, chunks)
    try:
        stamp = _identity(source)
    except OSError:
        stamp = None
    # One task for each block, which the optimizer fuses with the first step
    # of whatever is computed from the blocks.
    return da.from_array(_Source(source, ds.shape, ds.dtype, stamp), chunks=chunks, lock=False,
                         asarray=False, fancy=False, inline_array=True,
                         meta=np.empty((0,) * len(chunks), ds.dtype),
                         name="kov-read-" + tokenize(source, stamp, ds.shape, chunks))


def _write_block(block, text, filesize, shape, esize, sample, explicit, block_info=None):
    """Write one block at its place through a private read-write view of the
    dataset (a copy of its header naming the same data files)."""
    at = [start for start, _ in block_info[0]["array-location"]]
    block = _convert(np.asarray(block), np.dtype(sample), explicit)
    _start()
    with _lock:
        fd, view = tempfile.mkstemp(suffix=".H", prefix="kov-view-")
        with os.fdopen(fd, "wb") as f:
            f.write(text)
        tag = _take_tag()
        try:
            with _Concerning(view):
                _lib.set_param(tag, view)
                _lib.set_param("filesize", "" if filesize is None else str(int(filesize)))
                if not _lib.open_inout(tag):
                    raise _value_error("cannot open the data of %s for writing" % view)
                if block.size:
                    _lib.window(1, tag, list(reversed(shape)), list(reversed(block.shape)),
                                list(reversed(at)), [1] * len(shape), esize, block)
        finally:
            _kov.close(tag)
            _kov.take_warnings()
            _give_tag(tag)
            os.unlink(view)
    return np.ones((1,) * len(shape), dtype=bool)


def _presize(names, total, filesize):
    """Give every data file its final size, so that each task's view of a
    multi-file data set splits the bytes the same way."""
    capacity = (999999 if filesize is None else int(filesize)) << 20
    left = total
    for i, name in enumerate(names):
        size = left if i == len(names) - 1 else min(left, capacity)
        os.truncate(name, size)
        left -= size


def _finish_when_written(written, plan):
    _finish(plan)


def dask_to_kov(darr, header, compute=True, _attrs=None, **kwargs):
    import dask
    import dask.array as da
    darr = da.asarray(darr)
    out = _Output(header, darr.shape, darr.dtype, **kwargs)
    try:
        with _lock, _Concerning(out.header):
            _put_attrs(out, _attrs)
        out.close_header()
        out._drop_tag()
        total = int(np.prod(darr.shape, dtype=np.int64)) * out.esize
        _presize(out.data_files, total, out.filesize)
        text = out.header_text()
    except BaseException:
        out.abort()
        raise
    stored = darr.map_blocks(
        _write_block, text, out.filesize, darr.shape, out.esize, out.dtype.str, out.explicit,
        dtype=bool, chunks=tuple((1,) * len(c) for c in darr.chunks))
    finished = dask.delayed(_finish_when_written, pure=False)(stored, out.plan)
    out.keep()  # the computation puts the files in place or the failure removes them
    if not compute:
        return finished
    try:
        dask.compute(finished)
    except BaseException:
        _discard(out.plan)
        raise
    return None
