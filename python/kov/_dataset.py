# SPDX-License-Identifier: Apache-2.0
"""Datasets opened for reading: `open`, `Dataset` and NumPy indexing by
windowed reads."""
from __future__ import annotations

import errno as _errno
import os
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _kov
from ._axes import Axis, _axis_length, _dtype
from ._errors import (KovError, KovIndexError, KovTypeError, KovValueError, _error, _from_os, _index_error,
                      _value_error)
from ._library import (_Concerning, _Record, _give_tag, _lib, _lock, _page_empty, _start,
                       _take_tag)

PathLike = Union[str, "os.PathLike[str]"]


def _is_stream(name: str) -> bool:
    return name == "-" or "|" in name


def _is_url(name) -> bool:
    """Whether a name is a URL the library reads over the network."""
    return isinstance(name, str) and name.startswith(("http://", "https://", "s3://"))


_CREDENTIAL_TEXTS = ("profile", "key", "secret", "token", "region", "endpoint_url")


def _credentials(given: Optional[Mapping[str, Any]]) -> Optional[dict]:
    """The credentials a caller gave, checked: a mapping of the texts
    `profile`, `key`, `secret`, `token`, `region`, `endpoint_url` and the
    flag `anon`; None for those of the environment."""
    if given is None:
        return None
    if not isinstance(given, Mapping):
        raise KovTypeError("credentials must be a mapping (key, secret, token, profile, region, "
                           "endpoint_url, anon), not %s" % type(given).__name__)
    checked = {}
    for name, value in given.items():
        if name == "anon":
            if not isinstance(value, (bool, np.bool_)):
                raise KovTypeError("credentials: anon must be True or False")
            checked[name] = bool(value)
        elif name in _CREDENTIAL_TEXTS:
            if not isinstance(value, str):
                raise KovTypeError("credentials: %s must be a str" % name)
            if any(ord(c) < 0x20 or ord(c) == 0x7f for c in value):
                raise KovValueError("credentials: %s holds a control character" % name)
            checked[name] = value
        else:
            raise KovValueError("credentials: unknown key %r (key, secret, token, profile, region, "
                                "endpoint_url, anon)" % (name,))
    if bool(checked.get("key")) != bool(checked.get("secret")):
        raise KovValueError("credentials: key and secret go together")
    return checked


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


class Dataset(_Record):
    """One dataset opened for reading (see `open`).

    Attributes: `path` (as given), `axes` (`Axis` per axis, axis 1 first),
    `shape` (NumPy order, axis 1 last), `dtype`, `data_format`, `esize`.
    Indexing (`ds[...]`, `ds[10:20]`, `ds[:, ::2]`) reads only the samples
    asked for, with NumPy's semantics; `np.asarray(ds)` reads everything.
    A Dataset pickles by its path and credentials (and reopens on the other
    side).
    """

    def __init__(self, path: PathLike, credentials: Optional[Mapping[str, Any]] = None):
        _start()
        self._credentials = _credentials(credentials)
        path = os.fspath(path)
        self.path = path if isinstance(path, str) else os.fsdecode(path)
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
                # The URLs of this tag (its header, its data) are read with
                # these credentials, or those of the environment.
                _lib.set_credentials(self._tag, self._credentials)
                _lib.set_param(self._tag, name)
                try:
                    opened = _lib.open_input(self._tag)
                except KovError as e:
                    if e.errno:
                        raise
                    # Without a reason from the system: the header is bad
                    # (an unknown data format, a token too long).
                    raise _value_error(str(e), self.path) from None
                if not opened:
                    raise _error(None, "%s: cannot open the header" % self.path, self.path)
                self._describe()
                self._pins = self._pin_data()
            except BaseException:
                self._release()
                raise
        self._position = 0
        self._checked = False  # the data files compared with their pins
        self._available = None  # bytes there are when fewer than declared

    def _release(self):
        _kov.close(self._tag)
        _kov.set_credentials(self._tag, None)
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
        return (_reopen, (self._source, self._credentials))

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
        try:
            with _Concerning(path):
                fmt = _lib.format(self._tag)
        except KovError as e:
            if e.errno:
                raise
            raise _value_error(str(e), path) from None
        self.data_format = fmt or self._lookup("data_format", "s") or "xdr_float"
        dtype = _dtype(self.data_format, self.esize)
        if dtype is None:
            raise _value_error("%s: esize=%d does not fit data_format=%s"
                               % (path, self.esize, self.data_format), path)
        self.dtype = dtype
        if int(np.prod([float(n) for n in ns])) * self.esize >= 2**62:
            raise _value_error("%s: the axes hold more bytes than can be addressed" % path, path)

    def _data_files(self):
        """The data files the history names, as the library reaches them;
        None for a stream or a dataset without data."""
        if _is_stream(self.path):
            return None
        location = self._lookup("in", "s")
        if location is None or location in ("stdin", "follow_hdr", "-1"):
            return None
        with _Concerning(self.path):
            return [_lib.expand(name, self._tag) for name in location.split(";") if name]

    def _pin_data(self):
        """The identity of each data file now (None for one missing): the
        data read are those of the files there when the header was read."""
        files = self._data_files()
        if files is None:
            return None
        if any(_is_url(name) for name in files):
            return None  # the library checks an object's identity and size on every range
        pins = []
        for name in files:
            try:
                st = os.stat(name)
                pins.append((name, (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)))
            except OSError:
                pins.append((name, None))
        return pins

    def _check_data(self, first):
        """Before the first read (`first`) and after it: the data files
        are those pinned at open, and not longer than the header says."""
        if self._pins is None or self._checked:
            return
        total = 0
        for name, pin in self._pins:
            try:
                st = os.stat(name)
            except OSError as e:
                if first:
                    raise _error(e.errno, "%s: data file %s: %s" % (self.path, name, e.strerror),
                                 name) from None
                st = None
            now = None if st is None else (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
            if now != pin:
                raise _value_error("%s: data file %s was replaced after the header was read: "
                                   "open the dataset again" % (self.path, name), name)
            total += st.st_size
        if first:
            if total > self.nbytes:
                raise _value_error("%s: the data are longer than the header says: %d bytes "
                                   "declared, %d more follow (%s)"
                                   % (self.path, self.nbytes, total - self.nbytes,
                                      ";".join(n for n, _ in self._pins)), self.path)
            self._available = total if total < self.nbytes else None
        else:
            self._checked = True

    def _short(self, there=None):
        found = "fewer" if there is None else "only %d" % there
        return _error(None, "%s: short data: the header declares %d bytes, %s are there"
                      % (self.path, self.nbytes, found), self.path)

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
                self._check_data(True)
                if self._available is not None:
                    raise self._short(self._available)
                out = _empty(self.shape, self.dtype)
                if self._position != 0:
                    _lib.seek(tag, 0, 0)
                self._position = -1
                got = _lib.read(tag, out, out.nbytes)
                if got != out.nbytes:
                    raise self._short(got)
                if self._pins is None and _is_stream(self.path):
                    # A stream shows data longer than declared by what follows.
                    if _lib.read(tag, np.empty(1, np.uint8), 1):
                        raise _value_error("%s: the data are longer than the header says: %d "
                                           "bytes declared, more follow"
                                           % (self.path, self.nbytes), self.path)
                self._check_data(False)
                return out
            n, f, j = self._window(window)
            out = _empty(tuple(reversed(n)), self.dtype)
            if out.size:
                self._check_data(True)
                if self._available is not None:
                    end, stride = self.esize, self.esize
                    for axis, ni, fi, ji in zip(self.axes, n, f, j):
                        end += (fi + (ni - 1) * ji) * stride
                        stride *= axis.n
                    if end > self._available:
                        raise self._short(self._available)
                self._position = -1
                try:
                    _lib.window(-1, tag, [a.n for a in self.axes], n, f, j, self.esize, out)
                except KovError as e:
                    if e.errno:
                        raise
                    raise self._short() from None
                self._check_data(False)
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
            self._check_data(True)
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
        return dataset_to_dask(self, chunks, self._credentials)

    def __repr__(self):
        state = "closed " if self.closed else ""
        return "<%skov.Dataset %r shape=%s dtype=%s %s>" % (state, self.path, self.shape,
                                                             self.dtype, self.data_format)


def _reopen(path, credentials=None):
    return Dataset(path, credentials)


def _index_by_window(shape, dtype, key, read):
    """NumPy indexing of an array of `shape` whose windows `read` gives:
    the window is the box of the samples selected; integer, reversed,
    boolean and array indices are applied to it afterwards."""
    ndim = len(shape)
    key = key if isinstance(key, tuple) else (key,)
    # The axes each item takes: none for None and boolean scalars (NumPy
    # adds an axis for them), as many as its dimensions for a boolean mask.
    items = []
    for k in key:
        if k is None or k is Ellipsis or isinstance(k, (slice, int, np.integer)) and \
                not isinstance(k, (bool, np.bool_)):
            items.append((k, 0 if k is None or k is Ellipsis else 1))
            continue
        a = k if isinstance(k, np.ndarray) else np.asarray(k)
        if a.dtype == bool:
            items.append((a, a.ndim))
        else:
            items.append((k, 1))
    used = sum(taken for _, taken in items)
    if sum(1 for k, _ in items if k is Ellipsis) > 1:
        raise KovIndexError("an index can only have a single ellipsis ('...')")
    if used > ndim:
        raise KovIndexError("too many indices for an array of %d dimensions" % ndim)
    expanded = []
    for k, taken in items:
        if k is Ellipsis:
            expanded.extend([(slice(None), 1)] * (ndim - used))
        else:
            expanded.append((k, taken))
    expanded.extend([(slice(None), 1)] * (ndim - sum(taken for _, taken in expanded)))
    window, after, axis = {}, [], 0
    for k, taken in expanded:
        if taken == 0:
            after.append(k)
            continue
        for size in shape[axis:axis + taken]:
            if isinstance(k, slice):
                try:
                    picked = range(*k.indices(size))
                except ValueError as e:
                    raise KovValueError(str(e)) from None
                step = picked.step
                if step < 0:
                    picked = picked[::-1]
            elif isinstance(k, (int, np.integer)):
                try:
                    i = range(size)[int(k)]
                except IndexError:
                    raise KovIndexError("index %d is out of bounds for axis %d with size %d"
                                        % (int(k), axis, size)) from None
                picked = range(i, i + 1)
            else:
                picked = range(size)
            if len(picked):
                window[ndim - axis] = (len(picked), picked.start, picked.step)
            else:
                window[ndim - axis] = (0, 0, 1)
            axis += 1
        if isinstance(k, slice):
            after.append(slice(None, None, -1) if step < 0 else slice(None))
        elif isinstance(k, (int, np.integer)):
            after.append(0)
        else:
            after.append(k)
    n = [window[a][0] for a in range(1, ndim + 1)]
    block = np.empty(tuple(reversed(n)), dtype) if 0 in n else read(window)
    try:
        return block[tuple(after)]
    except IndexError as e:
        raise KovIndexError(str(e)) from None


def open(path: PathLike, credentials: Optional[Mapping[str, Any]] = None) -> Dataset:
    """Open a dataset.

    Parameters
    ----------
    path : a header file (str, bytes or os.PathLike), a pipe command
        ending in "|", "-" for the standard input, or a URL (s3://bucket/key,
        https://..., http://...).  Names with a colon are files.  The data
        read are those of the data files there when the header is read.
    credentials : for the URLs of the dataset (its header and its data)
        instead of the environment's AWS_* variables: a mapping with
        `key`, `secret` and `token` (the keys), or `profile` (a profile of
        ~/.aws/credentials and ~/.aws/config), `region`, `endpoint_url`
        (another store than AWS), `anon=True` (unsigned requests).  They
        travel with the dataset when it is pickled (Dask workers).

    Returns
    -------
    Dataset

    Raises
    ------
    FileNotFoundError, PermissionError, IsADirectoryError : the header file
        cannot be opened (all also KovError).  For a URL, with the URL as
        `filename`: PermissionError (HTTP 403), FileNotFoundError (404),
        ConnectionError (ConnectionRefusedError, ConnectionResetError, a host
        that cannot be reached or resolved), TimeoutError; any other failure
        of a request after its retries is a KovError with errno EIO (ESTALE
        for an object that changed while it was read).  Reads raise them too.
    ValueError : the header is not one the tools accept (an axis length that
        is not a positive whole number, an esize that does not fit the
        data format, an unknown data format); names the file and parameter.
        Reads raise it too for data files replaced since, or longer than
        the header says.
    KovError : any other failure, with the library's reason.
    """
    return Dataset(path, credentials)
