"""Datasets of the kov program family as NumPy arrays.

    import kov
    ds = kov.open("vel.H")           # header file, "cmd |" or "-" for standard input
    a = ds.read()                    # NumPy order: axis 1 last
    kov.write("copy.H", a * 2, like=ds)

Headers and parameters are read by the library's own scanner and lookup,
data move through its transfer and windowed engines.  Every failure raises
KovError (an OSError) with the library's message.
"""
import os
import sys
import threading
from collections import namedtuple

import numpy as np

from . import _kov
from ._kov import KovError

__all__ = ["Axis", "Dataset", "KovError", "Writer", "create", "open", "to_kov", "write"]

Axis = namedtuple("Axis", "n o d label unit")

# The library is process-wide: composite operations hold this lock.
_lock = threading.RLock()
_free_tags = []
_next_tag = 0
_started = False

# dtype of the samples by element format (esize 4; esize 8 floats are complex).
_FLOAT_FORMATS = ("xdr_float", "native_float", "tmc_float")
_BYTE_FORMATS = ("xdr_byte", "native_byte", "tmc_byte", "drawl")
_FORMATS = ("xdr_float", "xdr_int", "xdr_byte", "native_float", "native_byte", "drawl",
            "tmc_float", "tmc_byte")


_PAGE = 4096


def _page_empty(shape, dtype):
    """An uninitialised array whose data start on a page boundary: the
    kernel copies into such memory markedly faster than into NumPy's own
    large blocks, which start a few bytes into a page."""
    dtype = np.dtype(dtype)
    nbytes = int(np.prod(shape, dtype=np.int64)) * dtype.itemsize
    raw = np.empty(nbytes + _PAGE, np.uint8)
    skip = -raw.ctypes.data % _PAGE
    return raw[skip:skip + nbytes].view(dtype).reshape(shape)


def _start():
    global _started
    if not _started:
        program = sys.argv[0] if sys.argv and sys.argv[0] else "python3"
        _kov.init(program)
        _started = True


def _take_tag():
    """A tag name for a new record; names are reused after close."""
    global _next_tag
    if _free_tags:
        return _free_tags.pop()
    _next_tag += 1
    return "kovpy%d" % _next_tag


def _give_tag(tag):
    _free_tags.append(tag)


def _header_name(path):
    if path == "-":
        return "stdin"
    path = os.fspath(path)
    if "|" in path or ":" in path:
        return path
    return os.path.abspath(path)


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
    return np.dtype("V%d" % esize)


def _check_dims(name, values, ndim):
    if values is None:
        return None
    if isinstance(values, (str, bytes)) or np.isscalar(values):
        values = [values]
    values = list(values)
    if len(values) > ndim:
        raise ValueError("%s: %d values for %d axes" % (name, len(values), ndim))
    return values


class _Record:
    """A tag of the library held by a Python object; closed once."""

    _tag = None

    def close(self):
        with _lock:
            if self._tag is not None:
                _kov.close(self._tag)
                _give_tag(self._tag)
                self._tag = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass


class Dataset(_Record):
    """One dataset opened for reading."""

    def __init__(self, path):
        _start()
        self.path = path
        self._source = _header_name(path)
        with _lock:
            self._tag = _take_tag()
            try:
                _kov.set_param(self._tag, self._source)
                if not _kov.open_input(self._tag):
                    raise KovError("cannot open the header of %s" % path)
                self._describe()
            except BaseException:
                _kov.close(self._tag)
                _give_tag(self._tag)
                self._tag = None
                raise
        self._position = 0

    def _describe(self):
        ns = []
        while len(ns) < 32:
            n = self._lookup("n%d" % (len(ns) + 1), "d")
            if n is None:
                break
            ns.append(n[0])
        if not ns:
            raise KovError("n1 is not in the history of %s" % self.path)
        while len(ns) > 1 and ns[-1] == 1:
            ns.pop()
        axes = []
        for i, n in enumerate(ns, 1):
            o = self._lookup("o%d" % i, "g")
            d = self._lookup("d%d" % i, "g")
            axes.append(Axis(n, o[0] if o else 0.0, d[0] if d else 1.0,
                             self._lookup("label%d" % i, "s") or "",
                             self._lookup("unit%d" % i, "s") or ""))
        self.axes = axes
        esize = self._lookup("esize", "d")
        self.esize = esize[0] if esize else 4
        self.data_format = _kov.format(self._tag) or self._lookup("data_format", "s") or "xdr_float"
        self.dtype = _dtype(self.data_format, self.esize)

    def _lookup(self, name, code):
        return _kov.param(self._tag, name, code)

    def _live(self):
        if self._tag is None:
            raise KovError("dataset %s is closed" % self.path)
        return self._tag

    @property
    def shape(self):
        """The dimensions in NumPy order: axis 1 last."""
        return tuple(a.n for a in reversed(self.axes))

    @property
    def ndim(self):
        return len(self.axes)

    @property
    def history(self):
        """The history header text."""
        with _lock:
            return _kov.history(self._live()).decode("utf-8", "replace")

    def param(self, name, type=str, default=None):
        """The history's value of `name` converted to `type` (str, int,
        float or bool), through the library's lookup; `default` when absent.
        A value holding several numbers gives a list."""
        code = {str: "s", int: "d", float: "g", bool: "1"}.get(type)
        if code is None:
            raise TypeError("type must be str, int, float or bool")
        with _lock:
            value = _kov.param(self._live(), name, code)
        if value is None:
            return default
        if code != "s" and len(value) == 1:
            return value[0]
        return value

    def params(self):
        """Every parameter of the history: {name: text} (the value given last)."""
        with _lock:
            items = _kov.params(self._live())
        return {k.decode("utf-8", "replace"): (v.decode("utf-8", "replace") if v is not None else "")
                for k, v in items}

    @property
    def nbytes(self):
        return int(np.prod(self.shape, dtype=np.int64)) * self.esize

    def read(self, window=None, _empty=_page_empty):
        """The samples, in native byte order and NumPy order.  `window`
        selects {axis: (n, f, j)} (axis 1 is the fastest; n samples from
        index f in steps of j) through the library's windowed engine."""
        with _lock:
            tag = self._live()
            if window is None:
                out = _empty(self.shape, self.dtype)
                if self._position != 0:
                    _kov.seek(tag, 0, 0)
                self._position = -1
                got = _kov.read(tag, out, out.nbytes)
                if got != out.nbytes:
                    raise KovError("short data for %s: %d of %d bytes" % (self.path, got, out.nbytes))
                return out
            n, f, j = self._window(window)
            out = _empty(tuple(reversed(n)), self.dtype)
            if out.size:
                self._position = -1
                _kov.window(-1, tag, [a.n for a in self.axes], n, f, j, self.esize, out)
            return out

    def _window(self, window):
        n = [a.n for a in self.axes]
        f = [0] * len(n)
        j = [1] * len(n)
        for axis, item in window.items():
            axis = int(axis)
            if not 1 <= axis <= len(n):
                raise KovError("no axis %d in %s (%d axes)" % (axis, self.path, len(n)))
            item = tuple(item) + (None,) * (3 - len(item))
            f[axis - 1] = 0 if item[1] is None else int(item[1])
            j[axis - 1] = 1 if item[2] is None else int(item[2])
            n[axis - 1] = int(item[0]) if item[0] is not None else \
                max(0, (self.axes[axis - 1].n - f[axis - 1] + j[axis - 1] - 1) // max(j[axis - 1], 1))
        return n, f, j

    def memmap(self):
        """A read-only NumPy memmap of the data file: single-file data in a
        4-byte format only."""
        if self.esize != 4 or self.data_format not in ("xdr_float", "xdr_int", "native_float",
                                                       "tmc_float"):
            raise KovError("memmap needs 4-byte samples, not %s with esize %d"
                           % (self.data_format, self.esize))
        with _lock:
            location = self.param("in")
            if location is None or ";" in location or location in ("stdin", "follow_hdr"):
                raise KovError("memmap needs the data in one file of their own: in=%s" % location)
            path = _kov.expand(location, self._live())
        kind = "f4" if "float" in self.data_format else "i4"
        order = ">" if self.data_format.startswith("xdr") else "="
        return np.memmap(path, dtype=order + kind, mode="r", shape=self.shape)

    def to_dask(self, chunks="auto"):
        """A Dask array whose blocks are read by windowed reads where the
        tasks run.  `chunks` as Dask takes them (NumPy order) or a dict
        {axis: size} by kov axis (axis 1 the fastest)."""
        from ._dask import dataset_to_dask
        return dataset_to_dask(self, chunks)


    def __repr__(self):
        return "<kov.Dataset %s shape=%s %s>" % (self.path, self.shape, self.data_format)


def open(path):
    """Open a dataset: a header file, a pipe command ending in "|", or "-"
    for the standard input."""
    return Dataset(path)


class Writer(_Record):
    """A dataset being written block by block (see create)."""

    def __init__(self, tag, header, shape, dtype, esize):
        self._tag = tag
        self.header = header
        self.shape = tuple(shape)
        self.dtype = dtype
        self.esize = esize

    def write(self, block, at=None):
        """Write `block` (NumPy order) with its first sample at index `at`
        (default: the origin)."""
        block = np.ascontiguousarray(block, dtype=self.dtype)
        if block.ndim != len(self.shape):
            block = block.reshape((1,) * (len(self.shape) - block.ndim) + block.shape)
        at = (0,) * len(self.shape) if at is None else tuple(int(i) for i in at)
        if len(at) != len(self.shape):
            raise ValueError("at= needs %d indices" % len(self.shape))
        n = list(reversed(block.shape))
        f = list(reversed(at))
        with _lock:
            if self._tag is None:
                raise KovError("writer of %s is closed" % self.header)
            if block.size:
                _kov.window(1, self._tag, list(reversed(self.shape)), n, f, [1] * len(n),
                            self.esize, block)



def _sample_type(data_format, dtype):
    if data_format not in _FORMATS:
        raise KovError("unknown data format: %s" % data_format)
    if data_format in _FLOAT_FORMATS:
        if np.issubdtype(dtype, np.complexfloating):
            return np.dtype(np.complex64), 8
        return np.dtype(np.float32), 4
    if data_format == "xdr_int":
        return np.dtype(np.int32), 4
    return np.dtype(np.uint8), 1


def _start_output(header, shape, dtype, o, d, label, unit, like, datapath, data_format, nfiles,
                  filesize):
    """Create the output: its history, axes and format; returns (tag, dtype, esize)."""
    _start()
    shape = tuple(int(n) for n in shape)
    ndim = len(shape)
    if ndim == 0:
        raise ValueError("a dataset has at least one axis")
    o, d, label, unit = (_check_dims(k, v, ndim) for k, v in
                         (("o", o), ("d", d), ("label", label), ("unit", unit)))
    sample, esize = _sample_type(data_format, dtype)
    source = like
    if isinstance(like, (str, os.PathLike)):
        source = Dataset(like)
    tag = _take_tag()
    try:
        _kov.set_param(tag, _header_name(header))
        _kov.set_param("datapath", "" if datapath is None else os.fspath(datapath))
        _kov.set_param("nfiles", "" if nfiles is None else str(int(nfiles)))
        _kov.set_param("filesize", "" if filesize is None else str(int(filesize)))
        if source is not None:
            _kov.copy_history(source._live(), tag)
        if not _kov.open_output(tag):
            raise KovError("cannot create the dataset %s" % header)
        _kov.set_format(tag, data_format)
        axes_like = source.axes if source is not None else []
        for i in range(ndim):
            base = axes_like[i] if i < len(axes_like) else Axis(0, 0.0, 1.0, "", "")
            n = shape[ndim - 1 - i]
            oi = o[i] if o is not None and i < len(o) else base.o
            di = d[i] if d is not None and i < len(d) else base.d
            li = label[i] if label is not None and i < len(label) else base.label
            ui = unit[i] if unit is not None and i < len(unit) else base.unit
            _kov.put_int(tag, "n%d" % (i + 1), n)
            _kov.put_double(tag, "o%d" % (i + 1), float(oi))
            _kov.put_double(tag, "d%d" % (i + 1), float(di))
            if li:
                _kov.put_text(tag, "label%d" % (i + 1), str(li))
            if ui:
                _kov.put_text(tag, "unit%d" % (i + 1), str(ui))
        for i in range(ndim, len(axes_like)):  # like's further axes do not apply
            _kov.put_int(tag, "n%d" % (i + 1), 1)
        _kov.put_int(tag, "esize", esize)
    except BaseException:
        _kov.close(tag)
        _give_tag(tag)
        raise
    finally:
        if source is not None and source is not like:
            source.close()
    return tag, sample, esize


def write(header, array, *, o=None, d=None, label=None, unit=None, like=None, datapath=None,
          data_format="xdr_float", nfiles=None, filesize=None):
    """Write `array` (NumPy order: axis 1 last) as a dataset with the history
    header `header`.  Axes o/d/label/unit are given axis 1 first; `like`
    (a Dataset or header name) lends its history and axes.  The data go where
    the datapath rules say (`datapath` overrides them), split over `nfiles`
    files of `filesize` megabytes when asked."""
    array = np.asarray(array)
    if array.ndim == 0:
        array = array.reshape(1)
    with _lock:
        tag, sample, _ = _start_output(header, array.shape, array.dtype, o, d, label, unit, like,
                                       datapath, data_format, nfiles, filesize)
        try:
            data = np.ascontiguousarray(array, dtype=sample)
            _kov.write(tag, data, data.nbytes)
            _kov.close_header(tag)
        finally:
            _kov.close(tag)
            _give_tag(tag)


def create(header, shape, *, dtype=np.float32, o=None, d=None, label=None, unit=None, like=None,
           datapath=None, data_format="xdr_float", nfiles=None, filesize=None):
    """Start a dataset of `shape` (NumPy order) to be written block by block
    with Writer.write(block, at=); the header is complete at once."""
    with _lock:
        tag, sample, esize = _start_output(header, shape, np.dtype(dtype), o, d, label, unit, like,
                                           datapath, data_format, nfiles, filesize)
        try:
            _kov.close_header(tag)
        except BaseException:
            _kov.close(tag)
            _give_tag(tag)
            raise
    return Writer(tag, header, shape, sample, esize)


def to_kov(darr, header, **kwargs):
    """Write a Dask array as a dataset: the header once, here; the blocks in
    parallel by the tasks, at their offsets.  Keywords as for create."""
    from ._dask import dask_to_kov
    return dask_to_kov(darr, header, **kwargs)
