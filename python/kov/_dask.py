# SPDX-License-Identifier: Apache-2.0
"""Dask arrays of datasets: blocks read and written by the tasks, where they run."""
import atexit
import errno as _errno
import ctypes
import numbers
import os
import tempfile
import threading
import time
import weakref

import numpy as np

from . import _kov
from ._dataset import Dataset, _credentials, _is_url
from ._errors import KovError, _error, _from_os, _value_error
from ._library import _Concerning, _give_tag, _lib, _lock, _page_empty, _start, _take_tag
from ._writing import (_check_header_name, _convert, _discard, _finish, _Output, _preallocate,
                       _put_attrs, _url_error)


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


def _read_block(source, window, stamp=None, credentials=None):
    with Dataset(source, credentials) as ds:
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

    def __init__(self, source, shape, dtype, stamp=None, credentials=None):
        self.source = source
        self.stamp = stamp
        self.credentials = credentials
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
        return _read_block(self.source, window, self.stamp, self.credentials)[tuple(after)]


def dataset_to_dask(ds, chunks, credentials=None):
    import itertools

    import dask.array as da
    from dask.array.core import getter_nofancy, slices_from_chunks
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
    source = ds._source
    if "|" in source or source == "stdin":
        raise _value_error("%s is a stream: it cannot be read in blocks elsewhere" % ds.path,
                           ds.path)
    chunks = _chunks_of(ds, chunks)
    try:
        stamp = _identity(source)
    except OSError:
        stamp = None
    # One task for each block, a getter task as Dask's optimizer knows them:
    # it folds an indexing of the array into the reads of the blocks (a
    # window of the samples asked for, never the whole block) and fuses a
    # block with the first step of whatever is computed from it.
    name = "kov-read-" + tokenize(source, stamp, ds.shape, chunks)
    reader = _Source(source, ds.shape, ds.dtype, stamp, credentials)
    keys = itertools.product([name], *[range(len(c)) for c in chunks])
    graph = {key: (getter_nofancy, reader, where, False, False)
             for key, where in zip(keys, slices_from_chunks(chunks))}
    return da.Array(HighLevelGraph.from_collections(name, graph, dependencies=()), name, chunks,
                    meta=np.empty((0,) * len(chunks), ds.dtype))


# Writes of this process whose temporaries exist, and those given up: a
# task that starts after its write was given up makes nothing.
_writes_lock = threading.Lock()
_unfinished = {}  # temporary header -> plan
_abandoned = set()  # temporary headers


def _abandon(plan):
    """Give up a write: its temporaries go and no task makes them again."""
    with _writes_lock:
        _abandoned.add(plan[0])
        _unfinished.pop(plan[0], None)
        _discard(plan)


@atexit.register
def _discard_unfinished():
    with _writes_lock:
        for plan in list(_unfinished.values()):
            _discard(plan)
        _unfinished.clear()


def _await_temporaries(temp_header, text, header, timeout=120.0):
    """Wait until the process that made `temp_header` has made every
    temporary of the write: it writes the header's text last.  The header
    gone means the write was given up."""
    end = time.monotonic() + timeout
    delay = 0.001
    while True:
        try:
            with open(temp_header, "rb") as f:
                if f.read() == text:
                    return
        except FileNotFoundError:
            raise _error(None, "%s: the write was given up" % header, header) from None
        if time.monotonic() > end:
            raise _error(_errno.ETIMEDOUT, "%s: the temporaries another process makes were not "
                         "made within %d s" % (header, timeout), header)
        time.sleep(delay)
        delay = min(2 * delay, 0.05)


def _begin(plan, text, total, filesize):
    """Make the temporaries when the first block is written: a graph never
    computed, or failing before it writes, leaves nothing.  Once per write
    in a process; a worker process finding them made by another takes
    them."""
    temp_header, header, data, _ = plan
    with _writes_lock:
        if temp_header in _abandoned:
            raise _error(None, "%s: the write was given up" % header, header)
        if temp_header in _unfinished:
            return
        made = []
        try:
            for name, final in [(temp_header, header)] + data:
                try:
                    fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                except FileExistsError:
                    if name == temp_header:
                        # Another process is making them: its data files
                        # may not all exist yet.
                        _await_temporaries(temp_header, text, header)
                        _unfinished[temp_header] = plan
                        return
                    raise _from_os(FileExistsError(_errno.EEXIST, os.strerror(_errno.EEXIST),
                                                   name), final) from None
                except OSError as e:
                    raise _from_os(e, final) from None
                made.append(name)
                os.close(fd)
            _preallocate([t for t, _ in data], total, filesize, header)
            # The header's text last: it tells other processes that every
            # temporary is made.
            with open(temp_header, "wb") as f:
                f.write(text)
        except BaseException:
            for name in made:
                try:
                    os.unlink(name)
                except OSError:
                    pass
            raise
        _unfinished[temp_header] = plan


def _write_block(block, plan, text, total, filesize, shape, esize, sample, explicit,
                 block_info=None):
    """Write one block at its place through a private read-write view of the
    dataset (a copy of its header naming the same data files, reached by
    descriptors: a write given up meanwhile is never made again)."""
    if block_info is None:  # Dask asking for the type of the result
        return np.ones((0,) * len(shape), dtype=bool)
    try:
        at = [start for start, _ in block_info[0]["array-location"]]
        block = _convert(np.asarray(block), np.dtype(sample), explicit)
        _start()
        _begin(plan, text, total, filesize)
        fds = []
        try:
            for temp, _ in plan[2]:
                try:
                    fds.append(os.open(temp, os.O_RDWR | os.O_CLOEXEC))
                except FileNotFoundError:
                    raise _error(None, "%s: the write was given up" % plan[1], plan[1]) from None
                text = text.replace(os.fsencode(temp), b"/proc/self/fd/%d" % fds[-1])
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
        finally:
            for fd in fds:
                os.close(fd)
    except BaseException:
        _abandon(plan)
        raise
    return np.ones((1,) * len(shape), dtype=bool)


def _finish_when_written(written, plan):
    try:
        _finish(plan)
    except BaseException:
        _abandon(plan)
        raise
    with _writes_lock:
        _unfinished.pop(plan[0], None)


class _Held:
    """A Dask array carried into a task as it is: Dask would compute the
    collections it finds among a task's arguments first, whole."""

    def __init__(self, darr):
        self.darr = darr


def _store_when_computed(held, header, attrs, kwargs):
    _dask_to_store(held.darr, header, True, attrs, kwargs)


def _dask_to_store(darr, header, compute, attrs, kwargs):
    """A dataset on a store: its data object is one upload made in order, so
    the array is computed slab by slab along its first axis (the others
    whole) and each slab written here as it comes.  Not computed now: a
    Delayed whose one task does that where it runs (nothing is uploaded
    before)."""
    if not compute:
        import dask
        _check_header_name(header)
        _credentials(kwargs.get("credentials"))
        return dask.delayed(_store_when_computed, pure=False)(_Held(darr), header, attrs,
                                                              dict(kwargs))
    slabs = darr.rechunk({k: -1 for k in range(1, darr.ndim)}) if darr.ndim > 1 else darr
    out = _Output(header, darr.shape, darr.dtype, preallocate=False, **kwargs)
    try:
        with _lock, _Concerning(out.header):
            _put_attrs(out, attrs)
        for i in range(slabs.numblocks[0] if slabs.ndim else 1):
            block = slabs.blocks[i] if slabs.ndim else slabs
            data = _convert(np.asarray(block.compute()), out.dtype, out.explicit)
            with _lock, _Concerning(out.header):
                _lib.write(out.tag, data, data.nbytes)
        out.close_header()
    except KovError as e:
        out.abort()
        raise _url_error(e, out.header) from None
    except BaseException:
        out.abort()
        raise
    out.finish()
    return None


def dask_to_kov(darr, header, compute=True, _attrs=None, **kwargs):
    import dask
    import dask.array as da
    darr = da.asarray(darr)
    if isinstance(header, (str, os.PathLike)) and _is_url(os.fspath(header)):
        return _dask_to_store(darr, header, compute, _attrs, kwargs)
    out = _Output(header, darr.shape, darr.dtype, preallocate=False, **kwargs)
    try:
        with _lock, _Concerning(out.header):
            _put_attrs(out, _attrs)
        out.close_header()
        out._drop_tag()
        total = int(np.prod(darr.shape, dtype=np.int64)) * out.esize
        text = out.header_text()
    finally:
        # Made again by the computation when it starts.
        out.abort()
        out.keep()
    stored = darr.map_blocks(
        _write_block, out.plan, text, total, out.filesize, darr.shape, out.esize, out.dtype.str,
        out.explicit, dtype=bool, chunks=tuple((1,) * len(c) for c in darr.chunks),
        meta=np.ones((0,) * darr.ndim, dtype=bool))
    finished = dask.delayed(_finish_when_written, pure=False)(stored, out.plan)
    if not compute:
        return finished
    try:
        dask.compute(finished)
    except BaseException:
        _abandon(out.plan)
        raise
    return None
