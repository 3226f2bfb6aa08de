# SPDX-License-Identifier: Apache-2.0
"""The package's exceptions and warnings: every exception is a `KovError`
(an `OSError`), also of the builtin class of its errno or kind."""
from __future__ import annotations

import errno as _errno
from typing import Optional


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
    return type(name, (KovError, builtin), {"__module__": "kov",
                                            "__doc__": "KovError that is also %s." % builtin.__name__})


KovValueError = _subclass("KovValueError", ValueError)
KovIndexError = _subclass("KovIndexError", IndexError)
KovTypeError = _subclass("KovTypeError", TypeError)
_BY_ERRNO = {}
for _code, _builtin in ((_errno.ENOENT, FileNotFoundError), (_errno.EACCES, PermissionError),
                        (_errno.EPERM, PermissionError), (_errno.EISDIR, IsADirectoryError),
                        (_errno.ENOTDIR, NotADirectoryError), (_errno.EEXIST, FileExistsError),
                        (_errno.EINTR, InterruptedError), (_errno.ETIMEDOUT, TimeoutError),
                        (_errno.ECONNRESET, ConnectionResetError)):
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
