# SPDX-License-Identifier: Apache-2.0
"""Datasets of the kov program family as NumPy arrays.

    import kov
    ds = kov.open("vel.H")           # header file, "cmd |" or "-" for standard input
    a = ds.read()                    # NumPy order: axis 1 last
    part = ds[10:20, ::2]            # windowed reads with NumPy's indexing
    kov.write("copy.H", a * 2, like=ds)

Headers and parameters are read by the library's own scanner and lookup,
data move through its transfer and windowed engines.

Errors: every exception the package raises is a `KovError` (an `OSError`).
Failures of the system are also the builtin class of their errno
(`FileNotFoundError`, `PermissionError`, `IsADirectoryError`, ...) with
`filename` set; bad headers and bad arguments are also `ValueError`,
indices outside the data `IndexError`.  The library's warnings arrive as
`KovWarning` through the `warnings` module.  Nothing the package is given
ends the interpreter.

Names: "-" is the standard input, a name holding "|" a pipe command; every
other name is a file, colons included (the package opens no sockets).
"""
from __future__ import annotations

import builtins as _builtins
import errno as _errno
import os
import re
import secrets
import sys
import threading
import warnings
import weakref
from collections import namedtuple
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _kov
from ._version import __version__

__all__ = ["Axis", "Dataset", "KovError", "KovWarning", "Writer", "create", "open", "to_kov",
           "write", "__version__"]

PathLike = Union[str, "os.PathLike[str]"]

Axis = namedtuple("Axis", "n o d label unit")
Axis.__doc__ = """One axis of a dataset: length n, origin o, step d, label and unit."""

#: The most axes a dataset may have (NumPy's own limit is 32).
MAX_AXES = 32
_MAX_N = 2**31 - 1  # the library counts samples of an axis in 32 bits


class KovError(OSError):
    """The base of every exception the package raises.

    An `OSError`: `errno` is set when the system gave a reason, `filename`
    names the dataset concerned."""

    def __str__(self):
        if self.errno is None and len(self.args) == 1:
            return str(self.args[0])
        return super().__str__()


class KovWarning(UserWarning):
    """A warning of the library (a value it had to guess, a reason given by
    the system); raised as an error under ``warnings.simplefilter("error")``."""


def _subclass(name, builtin):
    return type(name, (KovError, builtin), {"__module__": __name__,
                                            "__doc__": "KovError that is also %s." % builtin.__name__})


KovValueError = _subclass("KovValueError", ValueError)
KovIndexError = _subclass("KovIndexError", IndexError)
KovTypeError = _subclass("KovTypeError", TypeError)
_BY_ERRNO = {}
for _code, _builtin in ((_errno.ENOENT, FileNotFoundError), (_errno.EACCES, PermissionError),
                        (_errno.EPERM, PermissionError), (_errno.EISDIR, IsADirectoryError),
                        (_errno.ENOTDIR, NotADirectoryError), (_errno.EEXIST, FileExistsError),
                        (_errno.EINTR, InterruptedError)):
    _BY_ERRNO[_code] = _subclass("Kov" + _builtin.__name__, _builtin)


def _error(code: Optional[int], message: str, filename: Optional[str] = None) -> KovError:
    """The exception for `message` about `filename`: of the class of the
    errno `code` when there is one."""
    if code:
        cls = _BY_ERRNO.get(code, KovError)
        return cls(code, message, filename) if filename is not None else cls(code, message)
    e = KovError(message)
    e.filename = filename
    return e


def _value_error(message: str, filename: Optional[str] = None) -> KovError:
    e = KovValueError(message)
    e.filename = filename
    return e


def _index_error(message: str, filename: Optional[str] = None) -> KovError:
    e = KovIndexError(message)
    e.filename = filename
    return e


def _from_os(e: OSError, filename: Optional[str] = None) -> KovError:
    """A system failure seen by Python itself, as the package's class."""
    return _error(e.errno, e.strerror or str(e), filename if filename is not None else e.filename)


# The library is process-wide: composite operations hold this lock.
_lock = threading.RLock()
_free_tags = []
_next_tag = 0
_started = False
_about = threading.local()  # the file and tag the calls of this thread concern

_TAG = re.compile(r'(?:for |of |to |from |in )?tag "?kovpy\d+"?|"?kovpy\d+"?')


def _clean(text: str) -> str:
    """A library message without its internal tag names."""
    name = getattr(_about, "path", None)
    return _TAG.sub(("for %s" % name) if name else "", text).strip()


def _emit_warnings() -> None:
    for text in _kov.take_warnings():
        text = _clean(text)
        if text:
            warnings.warn(text, KovWarning, stacklevel=3)


class _Calls:
    """The module _kov with its failures as KovError (with the reasons the
    library gave before failing) and its warnings through `warnings`."""

    def __getattr__(self, name):
        f = getattr(_kov, name)

        def call(*args):
            try:
                result = f(*args)
            except _kov.Error as e:
                code, text = e.args
                reasons = [_clean(w) for w in _kov.take_warnings()]
                reasons = [r for r in reasons if r and r not in text]
                message = "; ".join(reasons + [_clean(text)])
                path = getattr(_about, "path", None)
                if path and path not in message:
                    message = "%s: %s" % (path, message)
                raise _error(code, message, path) from None
            _emit_warnings()
            return result

        setattr(self, name, call)
        return call


_lib = _Calls()


class _Concerning:
    """Within: the library's messages name `path`."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        self.saved = getattr(_about, "path", None)
        _about.path = self.path

    def __exit__(self, *exc):
        _about.path = self.saved


# Fork: the library is never in a call when a process forks (the lock is
# held across the fork), and the child starts with its locks free.
def _before_fork():
    _lock.acquire()


def _after_fork_in_parent():
    _lock.release()


def _after_fork_in_child():
    try:
        _lock._at_fork_reinit()
    except AttributeError:  # pragma: no cover - CPython has it since 3.9
        _lock.release()
    _kov.after_fork_in_child()


os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                    after_in_child=_after_fork_in_child)

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
        _lib.init(program)
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


def _is_stream(name: str) -> bool:
    return name == "-" or "|" in name


def _is_url(name) -> bool:
    """Whether a name is a URL the library reads over the network."""
    return isinstance(name, str) and name.startswith(("http://", "https://", "s3://"))


def _header_name(path) -> str:
    """The name a dataset is known by: "stdin", a pipe command, or the
    absolute file name."""
    path = os.fspath(path)
    if not isinstance(path, str):
        path = os.fsdecode(path)
    if path == "-":
        return "stdin"
    if "|" in path or _is_url(path):
        return path
    return os.path.abspath(path)


class _Alias:
    """A name without a colon under which the library reaches a file: the
    library takes names with a colon for sockets.  Holds a descriptor of the
    file's directory (or of the file) while the alias is in use."""

    def __init__(self, path: str, directory_only: bool = False):
        self.fd = None
        self.name = path
        if ":" not in path:
            return
        folder, base = os.path.split(path)
        if ":" not in base or directory_only:
            self.fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY)
            self.name = "/proc/self/fd/%d/%s" % (self.fd, base)
        else:
            self.fd = os.open(path, os.O_RDONLY)
            self.name = "/proc/self/fd/%d" % self.fd
        if ":" in self.name:
            self.close()
            raise _value_error("%s: the name cannot be reached without a colon" % path, path)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def _check_readable(path: str) -> None:
    """FileNotFoundError, IsADirectoryError, PermissionError from the
    system itself, before the library sees the name."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError as e:
        raise _from_os(e, path) from None
    try:
        if os.path.isdir(path):
            raise _error(_errno.EISDIR, os.strerror(_errno.EISDIR), path)
    finally:
        os.close(fd)


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


class _Record:
    """A tag of the library held by a Python object; closed once."""

    _tag = None

    def close(self) -> None:
        """Release the dataset; further reads raise KovError."""
        with _lock:
            if self._tag is not None:
                _kov.close(self._tag)
                _kov.take_warnings()
                _give_tag(self._tag)
                self._tag = None

    @property
    def closed(self) -> bool:
        """True once closed."""
        return self._tag is None

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
    """One dataset opened for reading (see `open`).

    Attributes: `path` (as given), `axes` (`Axis` per axis, axis 1 first),
    `shape` (NumPy order, axis 1 last), `dtype`, `data_format`, `esize`.
    Indexing (`ds[...]`, `ds[10:20]`, `ds[:, ::2]`) reads only the samples
    asked for, with NumPy's semantics; `np.asarray(ds)` reads everything.
    A Dataset pickles by its path (and reopens on the other side); `copy`
    gives an independent Dataset.
    """

    def __init__(self, path: PathLike):
        _start()
        self.path = os.fspath(path)
        self._source = _header_name(path)
        self._alias = None
        if not _is_stream(self.path) and not _is_url(self._source):
            _check_readable(self._source)
            try:
                self._alias = _Alias(self._source)
            except OSError as e:
                raise _from_os(e, self._source) from None
        with _lock, _Concerning(self.path):
            self._tag = _take_tag()
            try:
                name = self._alias.name if self._alias else self._source
                _lib.set_param(self._tag, name)
                if not _lib.open_input(self._tag):
                    raise _error(None, "%s: cannot open the header" % self.path, self.path)
                self._describe()
            except BaseException:
                self._release()
                raise
        self._position = 0

    def _release(self):
        _kov.close(self._tag)
        _kov.take_warnings()
        _give_tag(self._tag)
        self._tag = None
        if self._alias is not None:
            self._alias.close()

    def close(self) -> None:
        """Release the dataset; further reads raise KovError."""
        with _lock:
            if self._tag is not None:
                self._release()

    def __reduce__(self):
        if _is_stream(self.path):
            raise KovTypeError("%s is a stream: it cannot be opened again elsewhere" % self.path)
        return (_reopen, (self._source,))

    def _describe(self):
        path = self.path
        try:
            with _Concerning(path):
                found = _lib.axes(self._tag)
        except ValueError as e:
            raise _value_error("%s: %s" % (path, e), path) from None
        axes = [Axis(*a) for a in found]
        while len(axes) > 1 and axes[-1].n == 1:
            axes.pop()
        self.axes = axes
        ns = [a.n for a in axes]
        esize = self._lookup("esize", "s")
        self.esize = 4 if esize is None else _axis_length(esize, "esize", path)
        with _Concerning(path):
            fmt = _lib.format(self._tag)
        self.data_format = fmt or self._lookup("data_format", "s") or "xdr_float"
        dtype = _dtype(self.data_format, self.esize)
        if dtype is None:
            raise _value_error("%s: esize=%d does not fit data_format=%s"
                               % (path, self.esize, self.data_format), path)
        self.dtype = dtype
        if int(np.prod([float(n) for n in ns])) * self.esize >= 2**62:
            raise _value_error("%s: the axes hold more bytes than can be addressed" % path, path)

    def _lookup(self, name, code):
        with _Concerning(self.path):
            return _lib.param(self._tag, name, code)

    def _live(self):
        if self._tag is None:
            raise _value_error("dataset %s is closed" % self.path, self.path)
        return self._tag

    @property
    def shape(self) -> Tuple[int, ...]:
        """The dimensions in NumPy order: axis 1 last."""
        return tuple(a.n for a in reversed(self.axes))

    @property
    def ndim(self) -> int:
        """The number of axes."""
        return len(self.axes)

    @property
    def size(self) -> int:
        """The number of samples."""
        return int(np.prod(self.shape, dtype=np.int64))

    def __len__(self) -> int:
        return self.shape[0]

    @property
    def history(self) -> str:
        """The history header text."""
        with _lock, _Concerning(self.path):
            return _lib.history(self._live()).decode("utf-8", "replace")

    def param(self, name: str, type: type = str, default: Any = None) -> Any:
        """A parameter of the history, through the library's lookup.

        Parameters
        ----------
        name : the parameter's name.
        type : str, int, float or bool.
        default : returned when the history does not hold `name`.

        Returns
        -------
        The value converted to `type`; a list when it holds several numbers.

        Raises
        ------
        TypeError : `type` is none of the four.
        """
        code = {str: "s", int: "d", float: "g", bool: "1"}.get(type)
        if code is None:
            raise KovTypeError("type must be str, int, float or bool")
        with _lock, _Concerning(self.path):
            value = _lib.param(self._live(), name, code)
        if value is None:
            return default
        if code != "s" and len(value) == 1:
            return value[0]
        return value

    def params(self) -> dict:
        """Every parameter of the history: {name: text} (the value given last)."""
        with _lock, _Concerning(self.path):
            items = _lib.params(self._live())
        return {k.decode("utf-8", "replace"): (v.decode("utf-8", "replace") if v is not None else "")
                for k, v in items}

    @property
    def nbytes(self) -> int:
        """The bytes of the data."""
        return self.size * self.esize

    def read(self, window: Optional[Mapping[int, Sequence[Optional[int]]]] = None,
             _empty=_page_empty) -> np.ndarray:
        """The samples, in native byte order and NumPy order.

        Parameters
        ----------
        window : {axis: (n, f, j)}, optional
            Per kov axis (axis 1 the fastest): n samples from index f in
            steps of j (None: as many as there are, 0, 1); through the
            library's windowed engine.

        Returns
        -------
        numpy.ndarray of `dtype`.

        Raises
        ------
        IndexError : the window reaches outside the data.
        KovError : the data cannot be read (short data, a missing file: the
            errno class of the reason).
        """
        with _lock, _Concerning(self.path):
            tag = self._live()
            if window is None:
                out = _empty(self.shape, self.dtype)
                if self._position != 0:
                    _lib.seek(tag, 0, 0)
                self._position = -1
                got = _lib.read(tag, out, out.nbytes)
                if got != out.nbytes:
                    raise _error(None, "%s: short data: %d of %d bytes" % (self.path, got, out.nbytes),
                                 self.path)
                return out
            n, f, j = self._window(window)
            out = _empty(tuple(reversed(n)), self.dtype)
            if out.size:
                self._position = -1
                _lib.window(-1, tag, [a.n for a in self.axes], n, f, j, self.esize, out)
            return out

    def _window(self, window):
        n = [a.n for a in self.axes]
        f = [0] * len(n)
        j = [1] * len(n)
        for axis, item in window.items():
            axis = int(axis)
            if not 1 <= axis <= len(n):
                raise _index_error("%s: no axis %d (%d axes)" % (self.path, axis, len(n)), self.path)
            item = tuple(item) + (None,) * (3 - len(item))
            f[axis - 1] = 0 if item[1] is None else int(item[1])
            j[axis - 1] = 1 if item[2] is None else int(item[2])
            n[axis - 1] = int(item[0]) if item[0] is not None else \
                max(0, (self.axes[axis - 1].n - f[axis - 1] + j[axis - 1] - 1) // max(j[axis - 1], 1))
        for i, a in enumerate(self.axes):
            if n[i] < 0 or f[i] < 0 or j[i] < 1 or (n[i] > 0 and f[i] + (n[i] - 1) * j[i] >= a.n):
                raise _index_error("%s: Invalid window parameters: axis %d n=%d f=%d j=%d with n%d=%d"
                                   % (self.path, i + 1, n[i], f[i], j[i], i + 1, a.n), self.path)
        return n, f, j

    def __getitem__(self, key) -> np.ndarray:
        """The samples `key` selects, with NumPy's semantics, read by a
        window around them."""
        return _index_by_window(self.shape, self.dtype, key, self.read)

    def __array__(self, dtype=None, copy=None):
        a = self.read()
        return a if dtype is None else a.astype(dtype, copy=False)

    def memmap(self) -> np.memmap:
        """A read-only NumPy memmap of the data file, without a copy.

        Returns
        -------
        numpy.memmap in the file's byte order.

        Raises
        ------
        ValueError : the data are not in one file of their own, or not of a
            4-byte format.
        """
        if self.esize != 4 or self.data_format not in ("xdr_float", "xdr_int", "native_float",
                                                       "tmc_float"):
            raise _value_error("%s: memmap needs 4-byte samples, not %s with esize %d"
                               % (self.path, self.data_format, self.esize), self.path)
        with _lock, _Concerning(self.path):
            location = self.param("in")
            if location is None or ";" in location or location in ("stdin", "follow_hdr"):
                raise _value_error("%s: memmap needs the data in one file of their own: in=%s"
                                   % (self.path, location), self.path)
            path = _lib.expand(location, self._live())
        kind = "f4" if "float" in self.data_format else "i4"
        order = ">" if self.data_format.startswith("xdr") else "="
        try:
            return np.memmap(path, dtype=order + kind, mode="r", shape=self.shape)
        except (OSError, ValueError) as e:
            if isinstance(e, OSError):
                raise _from_os(e, path) from None
            raise _value_error("%s: %s" % (path, e), path) from None

    def to_dask(self, chunks: Any = "auto"):
        """A Dask array whose blocks are read by windowed reads where the
        tasks run.

        Parameters
        ----------
        chunks : as Dask takes them (NumPy order), or {axis: size} by kov
            axis (axis 1 the fastest).

        Returns
        -------
        dask.array.Array

        Raises
        ------
        ValueError : the dataset is a stream (it cannot be read elsewhere).
        """
        from ._dask import dataset_to_dask
        return dataset_to_dask(self, chunks)

    def __repr__(self):
        state = "closed " if self.closed else ""
        return "<%skov.Dataset %r shape=%s dtype=%s %s>" % (state, self.path, self.shape,
                                                             self.dtype, self.data_format)


def _reopen(path):
    return Dataset(path)


def _index_by_window(shape, dtype, key, read):
    """NumPy indexing of an array of `shape` whose windows `read` gives:
    the window is the box of the samples selected; integer, reversed and
    array indices are applied to it afterwards."""
    ndim = len(shape)
    key = key if isinstance(key, tuple) else (key,)
    used = sum(1 for k in key if k is not None and k is not Ellipsis)
    if sum(1 for k in key if k is Ellipsis) > 1:
        raise KovIndexError("an index can only have a single ellipsis ('...')")
    expanded = []
    for k in key:
        if k is Ellipsis:
            expanded.extend([slice(None)] * (ndim - used))
        else:
            expanded.append(k)
    if used > ndim:
        raise KovIndexError("too many indices for an array of %d dimensions" % ndim)
    expanded.extend([slice(None)] * (ndim - sum(1 for k in expanded if k is not None)))
    window, after, axis = {}, [], 0
    for k in expanded:
        if k is None:
            after.append(None)
            continue
        size = shape[axis]
        if isinstance(k, slice):
            picked = range(*k.indices(size))
            step = picked.step
            if step < 0:
                picked = picked[::-1]
            after.append(slice(None, None, -1) if step < 0 else slice(None))
        elif isinstance(k, (int, np.integer)):
            try:
                i = range(size)[int(k)]
            except IndexError:
                raise KovIndexError("index %d is out of bounds for axis %d with size %d"
                                    % (int(k), axis, size)) from None
            picked = range(i, i + 1)
            after.append(0)
        else:
            picked = range(size)
            after.append(k)
        if len(picked):
            window[ndim - axis] = (len(picked), picked.start, picked.step)
        else:
            window[ndim - axis] = (0, 0, 1)
        axis += 1
    n = [window[a][0] for a in range(1, ndim + 1)]
    block = np.empty(tuple(reversed(n)), dtype) if 0 in n else read(window)
    try:
        return block[tuple(after)]
    except IndexError as e:
        raise KovIndexError(str(e)) from None


def open(path: PathLike) -> Dataset:
    """Open a dataset.

    Parameters
    ----------
    path : a header file, a pipe command ending in "|", or "-" for the
        standard input.  Names with a colon are files.

    Returns
    -------
    Dataset

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError : the header file
        cannot be opened (all also KovError).
    ValueError : the header is not one the tools accept (an axis length that
        is not a positive whole number, an esize that does not fit the
        data format, an unknown data format); names the file and parameter.
    KovError : any other failure, with the library's reason.
    """
    return Dataset(path)


# ---------------------------------------------------------------- writing

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


def _convert(array, sample, explicit):
    """`array` as `sample` values; refused when a value would change (out
    of range or NaN for integers always, any change without an explicit
    data_format)."""
    if array.dtype == sample:
        return np.ascontiguousarray(array)
    if sample.kind in "iu":
        info = np.iinfo(sample)
        if array.size and array.dtype.kind in "fc":
            if not np.isfinite(array).all():
                raise _value_error("NaN or infinite values do not fit %s samples" % sample)
        if array.size and (array.min() < info.min or array.max() > info.max):
            raise _value_error("values from %s to %s do not fit %s samples"
                               % (array.min(), array.max(), sample))
    out = np.ascontiguousarray(array, dtype=sample)
    if not explicit and array.size and array.dtype.itemsize > sample.itemsize:
        with np.errstate(invalid="ignore"):
            same = np.array_equal(out, array, equal_nan=array.dtype.kind in "fc")
        if not same:
            raise _value_error("%s values would change as %s samples: give data_format= to "
                               "accept the conversion" % (array.dtype, sample))
    return out


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


def _check_header_name(header):
    header = os.fspath(header)
    if not isinstance(header, str):
        header = os.fsdecode(header)
    if _is_stream(header):
        raise _value_error("%s: datasets are written to files, not streams" % header, header)
    path = os.path.abspath(header)
    if os.path.isdir(path):
        raise _error(_errno.EISDIR, os.strerror(_errno.EISDIR), path)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        code = _errno.ENOTDIR if os.path.exists(folder) else _errno.ENOENT
        raise _error(code, os.strerror(code), folder)
    return path


def _temporary(final: str, token: str) -> str:
    folder, base = os.path.split(final)
    return os.path.join(folder, ".%s.kovtmp-%s" % (base.replace(":", "_"), token))


def _finish(plan) -> None:
    """Put a written dataset in place: its header names the final data
    files, then the data files and last the header are renamed over any
    previous ones.  `plan` = (temporary header, header, [(temporary data
    file, data file)], names written into the header to replace)."""
    temp_header, header, data, replace = plan
    with _builtins.open(temp_header, "rb") as f:
        text = f.read()
    for old, new in replace:
        text = text.replace(os.fsencode(old), os.fsencode(new))
    with _builtins.open(temp_header, "wb") as f:
        f.write(text)
    for temp, final in data:
        os.rename(temp, final)
    os.rename(temp_header, header)


def _discard(plan) -> None:
    temp_header, _, data, _ = plan
    for name in [temp_header] + [t for t, _ in data]:
        try:
            os.unlink(name)
        except OSError:
            pass


class _Output:
    """A dataset being written under temporary names in its final
    directories: its header (by the library) and its data files."""

    def __init__(self, header, shape, array_dtype, *, o=None, d=None, label=None, unit=None,
                 like=None, datapath=None, data_format=None, nfiles=None, filesize=None):
        _start()
        self.header = _check_header_name(header)
        self.shape = _check_shape(shape)
        ndim = len(self.shape)
        o, d, label, unit = _axis_values(ndim, o, d, label, unit)
        self.data_format, self.dtype, self.esize, self.explicit = _choose_format(array_dtype,
                                                                                 data_format)
        if nfiles is not None and not 1 <= int(nfiles) <= 1000:
            raise _value_error("nfiles=%s: from 1 to 1000 files" % nfiles)
        if filesize is not None and int(filesize) < 1:
            raise _value_error("filesize=%s: at least 1 megabyte" % filesize)
        self.filesize = None if filesize is None else int(filesize)
        source = like
        if isinstance(like, (str, bytes, os.PathLike)):
            source = Dataset(like)
        token = secrets.token_hex(6)
        self.tag = None
        self.alias = None
        made = []
        try:
            with _lock, _Concerning(self.header):
                _lib.set_param("datapath", "" if datapath is None else os.fspath(datapath))
                _lib.set_param("nfiles", "" if nfiles is None else str(int(nfiles)))
                _lib.set_param("filesize", "" if filesize is None else str(int(filesize)))
                path = _lib.datapath() if datapath is None else os.fspath(datapath)
                names = [n for n in _lib.makenames(path, os.path.basename(self.header)).split(";")
                         if n]
                self._cleanup = None
                if datapath is not None:
                    for name in names:
                        os.makedirs(os.path.dirname(name) or ".", exist_ok=True)
                data = [(_temporary(n, token), n) for n in names]
                temp_header = _temporary(self.header, token)
                for name, final in [(temp_header, self.header)] + data:
                    try:
                        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                    except OSError as e:
                        raise _from_os(e, final) from None
                    made.append(name)
                    os.close(fd)
                self.alias = _Alias(temp_header, directory_only=True)
                self.plan = (temp_header, self.header, data,
                             [(t, f) for t, f in data] + [(self.alias.name, self.header)])
                # Left unfinished (an exception, the interpreter's end): removed.
                self._cleanup = weakref.finalize(self, _discard, self.plan)
                self.tag = _take_tag()
                tag = self.tag
                _lib.set_param(tag, self.alias.name)
                _lib.set_param(tag + ".out", ";".join(t for t, _ in data))
                if source is not None:
                    _lib.copy_history(source._live(), tag)
                if not _lib.open_output(tag):
                    raise _error(None, "%s: cannot create the dataset" % self.header, self.header)
                _lib.set_format(tag, self.data_format)
                axes_like = source.axes if source is not None else []
                for i in range(ndim):
                    base = axes_like[i] if i < len(axes_like) else Axis(0, 0.0, 1.0, "", "")
                    n = self.shape[ndim - 1 - i]
                    oi = o[i] if o is not None and i < len(o) else base.o
                    di = d[i] if d is not None and i < len(d) else base.d
                    li = label[i] if label is not None and i < len(label) else base.label
                    ui = unit[i] if unit is not None and i < len(unit) else base.unit
                    _lib.put_int(tag, "n%d" % (i + 1), n)
                    _lib.put_double(tag, "o%d" % (i + 1), float(oi))
                    _lib.put_double(tag, "d%d" % (i + 1), float(di))
                    if li:
                        _lib.put_text(tag, "label%d" % (i + 1), str(li))
                    if ui:
                        _lib.put_text(tag, "unit%d" % (i + 1), str(ui))
                for i in range(ndim, len(axes_like)):  # like's further axes do not apply
                    _lib.put_int(tag, "n%d" % (i + 1), 1)
                _lib.put_int(tag, "esize", self.esize)
        except BaseException:
            self._drop_tag()
            for name in made:
                try:
                    os.unlink(name)
                except OSError:
                    pass
            raise
        finally:
            if source is not None and source is not like:
                source.close()

    @property
    def data_files(self):
        return [t for t, _ in self.plan[2]]

    def _drop_tag(self):
        with _lock:
            if self.tag is not None:
                _kov.close(self.tag)
                _kov.take_warnings()
                _give_tag(self.tag)
                self.tag = None
            if self.alias is not None:
                self.alias.close()
                self.alias = None

    def close_header(self):
        with _lock, _Concerning(self.header):
            _lib.close_header(self.tag)

    def header_text(self) -> bytes:
        with _builtins.open(self.plan[0], "rb") as f:
            return f.read()

    def finish(self):
        """Close the library's record, then put the dataset in place."""
        try:
            with _lock, _Concerning(self.header):
                if self.tag is not None:
                    _lib.close(self.tag)
                    _give_tag(self.tag)
                    self.tag = None
            self._drop_tag()
            _finish(self.plan)
            self.keep()
        except OSError as e:
            self.abort()
            if isinstance(e, KovError):
                raise
            raise _from_os(e, self.header) from None
        except BaseException:
            self.abort()
            raise

    def keep(self):
        """The temporary files are no longer this object's to remove."""
        if self._cleanup is not None:
            self._cleanup.detach()

    def abort(self):
        """Remove everything written; a previous dataset stays as it was."""
        try:
            self._drop_tag()
        finally:
            _discard(self.plan)


def _from_xarray(array, o, d, label, unit, attrs):
    """A DataArray's values and axes: dims are the labels, coordinates the
    origins and steps (evenly spaced, else refused)."""
    dims = list(array.dims)
    ndim = len(dims)
    got_o, got_d, got_label = [], [], []
    for dim in reversed(dims):
        got_label.append(str(dim))
        if dim in array.coords:
            values = np.asarray(array.coords[dim].values)
            if values.dtype.kind not in "iuf":
                raise _value_error("coordinate %s is not numeric: it cannot be an axis" % dim)
            values = values.astype(np.float64)
            origin = float(values[0]) if values.size else 0.0
            step = float(values[1] - values[0]) if values.size > 1 else 1.0
            if values.size > 2:
                expected = origin + step * np.arange(values.size)
                tol = 1e-6 * max(abs(step), 1e-300) + 1e-9 * np.abs(values).max()
                if np.abs(expected - values).max() > tol:
                    raise _value_error("coordinate %s is not evenly spaced: it cannot be an axis "
                                       "(o and d)" % dim)
            got_o.append(origin)
            got_d.append(step)
        else:
            got_o.append(None)
            got_d.append(None)
    got_unit = []
    for dim in reversed(dims):
        u = array.coords[dim].attrs.get("units", "") if dim in array.coords else ""
        got_unit.append(str(u))

    def merged(given, found, default):
        given = _check_dims("axes", given, ndim) or []
        out = []
        for i in range(ndim):
            if i < len(given) and given[i] is not None:
                out.append(given[i])
            elif found[i] is not None:
                out.append(found[i])
            else:
                out.append(default)
        return out

    return (merged(o, got_o, 0.0), merged(d, got_d, 1.0), merged(label, got_label, ""),
            merged(unit, got_unit, ""), dict(array.attrs) if attrs is None else attrs)


def _is_dataarray(array):
    module = type(array).__module__ or ""
    return module.startswith("xarray") and hasattr(array, "dims") and hasattr(array, "coords")


def _is_dask(array):
    return (type(array).__module__ or "").startswith("dask")


def write(header: PathLike, array: Any, *, o: Optional[Sequence[float]] = None,
          d: Optional[Sequence[float]] = None, label: Optional[Sequence[str]] = None,
          unit: Optional[Sequence[str]] = None, like: Union[Dataset, PathLike, None] = None,
          datapath: Optional[PathLike] = None, data_format: Optional[str] = None,
          nfiles: Optional[int] = None, filesize: Optional[int] = None) -> None:
    """Write an array as a dataset, all or nothing.

    Parameters
    ----------
    header : the history header file to write.
    array : array-like in NumPy order (axis 1 last), or an xarray DataArray
        (its dims become the labels, its coordinates the origins and steps,
        its attributes parameters of the history; a Dask-backed one is
        written block by block).
    o, d, label, unit : per axis, axis 1 first; they win over `like` and
        a DataArray's coordinates.
    like : a Dataset or header name lending its history and axes.
    datapath : where the data files go (a prefix; its directory is made
        when missing); default the datapath rules.
    data_format : the element format; default the one that holds the
        array's type (float: xdr_float, complex: complex xdr_float, integers:
        xdr_int, uint8: xdr_byte).  A conversion that would change values
        needs it given; values outside an integer format are refused.
    nfiles, filesize : split the data over `nfiles` files of `filesize`
        megabytes.

    Returns
    -------
    None

    Raises
    ------
    ValueError : a bad shape, dtype, data_format or axis value (nothing is
        written).
    FileNotFoundError, PermissionError, IsADirectoryError : a directory
        missing or not writable.
    KovError : the write failed (disk full: errno ENOSPC); whatever was
        written is removed and the previous dataset, if any, stays.

    The header and data are written under temporary names in their final
    directories and renamed into place once complete: readers holding the
    previous files (a memmap, a running computation) keep their data.
    """
    attrs = None
    if _is_dataarray(array):
        o, d, label, unit, attrs = _from_xarray(array, o, d, label, unit, None)
        array = array.data
    if _is_dask(array):
        from ._dask import dask_to_kov
        return dask_to_kov(array, header, o=o, d=d, label=label, unit=unit, like=like,
                           datapath=datapath, data_format=data_format, nfiles=nfiles,
                           filesize=filesize, _attrs=attrs)
    array = np.asarray(array)
    if array.ndim == 0:
        array = array.reshape(1)
    out = _Output(header, array.shape, array.dtype, o=o, d=d, label=label, unit=unit, like=like,
                  datapath=datapath, data_format=data_format, nfiles=nfiles, filesize=filesize)
    try:
        data = _convert(array, out.dtype, out.explicit)
        with _lock, _Concerning(out.header):
            _put_attrs(out, attrs)
            _lib.write(out.tag, data, data.nbytes)
            _lib.close_header(out.tag)
    except BaseException:
        out.abort()
        raise
    out.finish()


_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")
_RESERVED = re.compile(r"(n|o|d|label|unit)\d+\Z|esize\Z|data_format\Z|in\Z")


def _put_attrs(out, attrs):
    """A DataArray's attributes as parameters of the history (the axes and
    data location are the dataset's own)."""
    for name, value in (attrs or {}).items():
        name = str(name)
        if not _NAME.match(name) or _RESERVED.match(name):
            continue
        if isinstance(value, (bool, np.bool_)):
            _lib.put_text(out.tag, name, "y" if value else "n")
        elif isinstance(value, (int, np.integer)) and -2**31 <= int(value) < 2**31:
            _lib.put_int(out.tag, name, int(value))
        elif isinstance(value, (float, np.floating)):
            _lib.put_double(out.tag, name, float(value))
        elif isinstance(value, str) and "\n" not in value:
            _lib.put_text(out.tag, name, value)


class Writer:
    """A dataset being written block by block (see `create`).  Nothing is in
    place until `close`; used as a context manager, a failure inside the
    block removes what was written."""

    def __init__(self, output: _Output):
        self._out = output
        self.header = output.header
        self.shape = output.shape
        self.dtype = output.dtype
        self.esize = output.esize
        self._written = 0

    @property
    def closed(self) -> bool:
        """True once closed or abandoned."""
        return self._out is None

    def write(self, block: Any, at: Optional[Sequence[int]] = None) -> None:
        """Write a block of samples in place.

        Parameters
        ----------
        block : array-like in NumPy order.
        at : the index of its first sample (default the origin).

        Raises
        ------
        IndexError : the block reaches outside the dataset.
        ValueError : values that do not fit the data format.
        """
        if self._out is None:
            raise _value_error("writer of %s is closed" % self.header, self.header)
        block = np.asarray(block)
        if block.ndim > len(self.shape):
            raise _index_error("a block of %d axes for %d" % (block.ndim, len(self.shape)))
        block = block.reshape((1,) * (len(self.shape) - block.ndim) + block.shape)
        block = _convert(block, self.dtype, self._out.explicit)
        at = (0,) * len(self.shape) if at is None else tuple(int(i) for i in at)
        if len(at) != len(self.shape):
            raise _index_error("at= needs %d indices" % len(self.shape))
        for k, (a, n, size) in enumerate(zip(at, block.shape, self.shape)):
            if a < 0 or a + n > size:
                raise _index_error("%s: a block of %d samples at %d is outside axis %d of %d"
                                   % (self.header, n, a, len(self.shape) - k, size), self.header)
        n = list(reversed(block.shape))
        f = list(reversed(at))
        with _lock, _Concerning(self.header):
            if block.size:
                _lib.window(1, self._out.tag, list(reversed(self.shape)), n, f, [1] * len(n),
                            self.esize, block)
        self._written += block.size

    def close(self, keep_partial: bool = False) -> None:
        """Put the dataset in place.

        Parameters
        ----------
        keep_partial : put it in place even though fewer samples were
            written than it holds (the rest read as zeros).

        Raises
        ------
        KovError : samples are missing (the temporary files are removed),
            or the data could not be completed.
        """
        out, self._out = self._out, None
        if out is None:
            return
        total = int(np.prod(self.shape, dtype=np.int64))
        if self._written < total and not keep_partial:
            out.abort()
            raise _value_error("%s: %d of %d samples written; nothing kept (close(keep_partial="
                               "True) keeps a partial dataset)" % (self.header, self._written, total),
                               self.header)
        out.finish()

    def abort(self) -> None:
        """Remove what was written; a previous dataset stays."""
        out, self._out = self._out, None
        if out is not None:
            out.abort()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            self.close()
        else:
            self.abort()

    def __del__(self):
        try:
            self.abort()
        except Exception:
            pass

    def __repr__(self):
        return "<kov.Writer %r shape=%s dtype=%s%s>" % (self.header, self.shape, self.dtype,
                                                         " closed" if self.closed else "")


def create(header: PathLike, shape: Sequence[int], *, dtype: Any = np.float32,
           o: Optional[Sequence[float]] = None, d: Optional[Sequence[float]] = None,
           label: Optional[Sequence[str]] = None, unit: Optional[Sequence[str]] = None,
           like: Union[Dataset, PathLike, None] = None, datapath: Optional[PathLike] = None,
           data_format: Optional[str] = None, nfiles: Optional[int] = None,
           filesize: Optional[int] = None) -> Writer:
    """Start a dataset to be written block by block.

    Parameters
    ----------
    header : the history header file.
    shape : NumPy order (axis 1 last); every length at least 1.
    dtype : the type of the blocks (chooses the default data_format).
    Others as for `write`.

    Returns
    -------
    Writer : `w.write(block, at=)`, then `w.close()`; the dataset is in
        place only after `close`.

    Raises
    ------
    ValueError : a bad shape, dtype, data_format or axis value (nothing is
        written).
    FileNotFoundError, PermissionError : a directory missing or not
        writable.
    """
    out = _Output(header, shape, np.dtype(dtype), o=o, d=d, label=label, unit=unit, like=like,
                  datapath=datapath, data_format=data_format, nfiles=nfiles, filesize=filesize)
    try:
        out.close_header()
    except BaseException:
        out.abort()
        raise
    return Writer(out)


def to_kov(darr: Any, header: PathLike, compute: bool = True, **kwargs: Any) -> Any:
    """Write a Dask array (or a Dask-backed DataArray) as a dataset: the
    header here, the blocks in parallel by the tasks, at their offsets.

    Parameters
    ----------
    darr : dask.array.Array or xarray.DataArray.
    header : the history header file.
    compute : False returns a `dask.delayed.Delayed` that writes the
        blocks and puts the dataset in place when computed.
    kwargs : as for `write`.

    Returns
    -------
    None, or the Delayed.

    Raises
    ------
    As `write`; a failure of a task removes what was written.
    """
    attrs = None
    if _is_dataarray(darr):
        o, d, label, unit, attrs = _from_xarray(darr, kwargs.pop("o", None), kwargs.pop("d", None),
                                                kwargs.pop("label", None), kwargs.pop("unit", None),
                                                None)
        kwargs.update(o=o, d=d, label=label, unit=unit)
        darr = darr.data
    from ._dask import dask_to_kov
    return dask_to_kov(darr, header, compute=compute, _attrs=attrs, **kwargs)
