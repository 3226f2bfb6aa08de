# SPDX-License-Identifier: Apache-2.0
"""The process-wide library behind the package: its lock, its tags, its
calls with failures as exceptions and warnings through `warnings`, and
its state across fork."""
from __future__ import annotations

import collections
import os
import re
import sys
import threading
import warnings

import numpy as np

from . import _kov
from ._errors import KovWarning, _error


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
                # A failed request names its URL: the file concerned.
                code, text, url = e.args
                reasons = [_clean(w) for w in _kov.take_warnings()]
                reasons = [r for r in reasons if r and r not in text]
                message = "; ".join(reasons + [_clean(text)])
                path = getattr(_about, "path", None)
                if path and path not in message:
                    message = "%s: %s" % (path, message)
                raise _error(code, message, url or path) from None
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


# Records collected while another thread held the lock, closed by the next
# thread that takes a tag (under the lock).
_collected = collections.deque()


def _close_collected():
    while _collected:
        try:
            _collected.popleft()()
        except Exception:
            pass


def _take_tag():
    """A tag name for a new record; names are reused after close."""
    global _next_tag
    _close_collected()
    if _free_tags:
        return _free_tags.pop()
    _next_tag += 1
    return "kovpy%d" % _next_tag


def _give_tag(tag):
    _free_tags.append(tag)


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
        # The collector runs on whichever thread allocates: it never waits
        # for the lock, which another thread may hold across a request that
        # this thread is to answer (a server in the same process).
        if self._tag is None:
            return
        if not _lock.acquire(blocking=False):
            _collected.append(self.close)
            return
        try:
            self.close()
        except Exception:
            pass
        finally:
            _lock.release()
