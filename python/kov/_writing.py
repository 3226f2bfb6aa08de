# SPDX-License-Identifier: Apache-2.0
"""Writing datasets, all or nothing: `write`, `create` and `Writer`,
`to_kov` for Dask arrays."""
from __future__ import annotations

import builtins as _builtins
import errno as _errno
import os
import re
import secrets
import socket
import weakref
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np

from . import _kov
from ._axes import (Axis, _axis_values, _check_dims, _check_shape, _choose_format)
from ._dataset import Dataset, PathLike, _Alias, _credentials, _is_stream, _is_url
from ._errors import KovError, _error, _from_os, _index_error, _value_error
from ._library import _Concerning, _give_tag, _lib, _lock, _start, _take_tag


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


def _check_header_name(header):
    header = os.fspath(header)
    if not isinstance(header, str):
        header = os.fsdecode(header)
    if _is_url(header):
        if not header.startswith("s3://"):
            raise _error(_errno.EROFS, "%s: web servers are read only" % header, header)
        bucket, _, key = header[5:].partition("/")
        if not bucket or not key or key.endswith("/"):
            raise _value_error("%s: a dataset on a store needs a bucket and a key "
                               "(s3://bucket/key)" % header, header)
        return header
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


def _url_error(e: KovError, url: str) -> KovError:
    """A failure of the library on a store, naming the URL: a failed request
    comes with its errno and the URL that failed already."""
    if getattr(e, "filename", None) is None:
        e.filename = url
    return e


def _discard_urls(urls) -> None:
    for url in urls:
        try:
            with _lock:
                _kov.discard_url(url)
        except Exception:
            pass


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9]", "_", socket.gethostname())[:64] or "host"


def _token() -> str:
    """What names this process's temporaries: host, process and a random
    part, so that the next write of the same dataset on this host can tell
    those of a process that is gone."""
    return "%s-%d-%s" % (_host(), os.getpid(), secrets.token_hex(6))


def _temporary(final: str, token: str) -> str:
    folder, base = os.path.split(final)
    return os.path.join(folder, ".%s.kovtmp-%s" % (base.replace(":", "_"), token))


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's process
    return True


def _remove_stale(final: str) -> None:
    """Remove the temporaries of `final` left by processes of this host that
    are gone (killed writers)."""
    folder, base = os.path.split(final)
    pattern = re.compile(r"\.%s\.kovtmp-%s-([0-9]+)-[0-9a-f]+\Z"
                         % (re.escape(base.replace(":", "_")), re.escape(_host())))
    try:
        names = os.listdir(folder or ".")
    except OSError:
        return
    for name in names:
        m = pattern.match(name)
        if m and not _alive(int(m.group(1))):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass


def _data_sizes(count, total, filesize):
    """The final size of each of `count` data files holding `total` bytes:
    the library fills each to its capacity (`filesize` megabytes) in turn."""
    capacity = (999999 if filesize is None else int(filesize)) << 20
    sizes, left = [], total
    for i in range(count):
        size = left if i == count - 1 else min(left, capacity)
        sizes.append(size)
        left -= size
    return sizes


def _preallocate(names, total, filesize, header) -> None:
    """Give the data files their final sizes with their blocks allocated at
    once: the system then need not flush the data at close and rename (as
    it does for a file truncated and written by delayed allocation), and a
    full disk shows here."""
    for name, size in zip(names, _data_sizes(len(names), total, filesize)):
        if size <= 0:
            continue
        try:
            fd = os.open(name, os.O_WRONLY)
        except OSError as e:
            raise _from_os(e, header) from None
        try:
            os.posix_fallocate(fd, 0, size)
        except OSError as e:
            if e.errno not in (_errno.EOPNOTSUPP, _errno.EINVAL):
                raise _error(e.errno, "%s: data file %s: %s" % (header, name, e.strerror),
                             header) from None
        finally:
            os.close(fd)


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
                 like=None, datapath=None, data_format=None, nfiles=None, filesize=None,
                 preallocate=True, credentials=None):
        _start()
        self.credentials = _credentials(credentials)
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
            source = Dataset(like, self.credentials)
        token = _token()
        self.tag = None
        self.alias = None
        self.urls = None
        made = []
        if _is_url(self.header):
            self._start_on_store(source, like, ndim, o, d, label, unit, datapath, nfiles,
                                 filesize)
            return
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
                for final in [self.header] + names:
                    _remove_stale(final)
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
                self._describe(source, ndim, o, d, label, unit)
                if preallocate:
                    total = int(np.prod(self.shape, dtype=np.int64)) * self.esize
                    _preallocate([t for t, _ in data], total, self.filesize, self.header)
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

    def _describe(self, source, ndim, o, d, label, unit):
        """Open the library's output of the tag and write the axes."""
        tag = self.tag
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

    def _start_on_store(self, source, like, ndim, o, d, label, unit, datapath, nfiles,
                        filesize):
        """A dataset on a store: its data object (beside the header, or under
        a datapath on a store) and its header go up through the library and
        appear when `finish` commits them, data first."""
        try:
            folder = self.header[:self.header.rfind("/") + 1]
            path = folder if datapath is None else os.fspath(datapath)
            if not isinstance(path, str) or not path.startswith("s3://"):
                raise _value_error("%s: the data of a dataset on a store go to a store "
                                   "(datapath=s3://...), not to %s" % (self.header, path),
                                   self.header)
            self.plan = None
            with _lock, _Concerning(self.header):
                _lib.set_param("datapath", "")
                _lib.set_param("nfiles", "" if nfiles is None else str(int(nfiles)))
                _lib.set_param("filesize", "" if filesize is None else str(int(filesize)))
                # One object, or a set of them as of files.
                data = [n for n in _lib.makenames(path, self.header[len(folder):]).split(";")
                        if n]
                self.urls = data + [self.header]
                self._cleanup = weakref.finalize(self, _discard_urls, list(self.urls))
                self.tag = _take_tag()
                # The uploads of this tag (header and data) are signed with
                # these credentials, or those of the environment.
                _lib.set_credentials(self.tag, self.credentials)
                _lib.set_param(self.tag, self.header)
                _lib.set_param(self.tag + ".out", ";".join(data))
                try:
                    self._describe(source, ndim, o, d, label, unit)
                except KovError as e:
                    raise _url_error(e, self.header) from None
        except BaseException as e:
            self._drop_tag()
            if self.urls:
                if isinstance(e, FileExistsError):
                    # Another output of this process writes these objects:
                    # they stay its own.
                    self._cleanup.detach()
                else:
                    _discard_urls(self.urls)
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
                _kov.set_credentials(self.tag, None)
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
        if self.urls is not None:
            return self._finish_on_store()
        try:
            with _lock, _Concerning(self.header):
                if self.tag is not None:
                    _lib.close(self.tag)
                    _kov.set_credentials(self.tag, None)
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

    def _finish_on_store(self):
        url = self.header
        try:
            with _lock, _Concerning(self.header):
                if self.tag is not None:
                    _lib.close(self.tag)
                    _kov.set_credentials(self.tag, None)
                    _give_tag(self.tag)
                    self.tag = None
                for url in self.urls:
                    _lib.commit_url(url)
            self.keep()
        except KovError as e:
            self.abort()
            raise _url_error(e, url) from None
        except BaseException:
            self.abort()
            raise

    def abort(self):
        """Remove everything written; a previous dataset stays as it was."""
        try:
            self._drop_tag()
        finally:
            if self.urls is not None:
                _discard_urls(self.urls)
            else:
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
          nfiles: Optional[int] = None, filesize: Optional[int] = None,
          credentials: Optional[Mapping[str, Any]] = None) -> None:
    """Write an array as a dataset, all or nothing.

    Parameters
    ----------
    header : the history header file to write, or a URL on an S3-protocol
        store (s3://bucket/key.H: its data go beside it, or under a
        `datapath` on a store; both appear when complete).
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
    credentials : for a dataset on a store (and a `like` behind a URL),
        as for `kov.open`: a mapping of `key`, `secret`, `token`,
        `profile`, `region`, `endpoint_url` and `anon`, instead of those of
        the environment.  They are never written into the history.

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
    PermissionError, FileNotFoundError, ConnectionError, TimeoutError : a
        store refused the upload, has no such bucket, or could not be
        reached (the URL as `filename`); nothing of it appears.

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
                           filesize=filesize, credentials=credentials, _attrs=attrs)
    array = np.asarray(array)
    if array.ndim == 0:
        array = array.reshape(1)
    out = _Output(header, array.shape, array.dtype, o=o, d=d, label=label, unit=unit, like=like,
                  datapath=datapath, data_format=data_format, nfiles=nfiles, filesize=filesize,
                  credentials=credentials)
    try:
        data = _convert(array, out.dtype, out.explicit)
        with _lock, _Concerning(out.header):
            _put_attrs(out, attrs)
            _lib.write(out.tag, data, data.nbytes)
            _lib.close_header(out.tag)
    except KovError as e:
        out.abort()
        if out.urls is None:
            raise
        raise _url_error(e, out.header) from None
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
           filesize: Optional[int] = None,
           credentials: Optional[Mapping[str, Any]] = None) -> Writer:
    """Start a dataset to be written block by block.

    Parameters
    ----------
    header : the history header file, or a URL on an S3-protocol store.
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
                  datapath=datapath, data_format=data_format, nfiles=nfiles, filesize=filesize,
                  credentials=credentials)
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
    header : the history header file, or a URL on an S3-protocol store: the
        array is then computed slab by slab along its first axis and the
        slabs uploaded in order by the process that writes (here, or the
        task of the Delayed).
    compute : False returns a `dask.delayed.Delayed` that writes the
        blocks and puts the dataset in place when computed (for a URL, one
        task that computes the slabs and uploads them); nothing is written
        before.
    kwargs : as for `write`, `credentials` too.

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
