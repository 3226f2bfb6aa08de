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

Names: "-" is the standard input, a name holding "|" a pipe command,
s3://, https:// and http:// names are read by range requests (failures as
PermissionError, FileNotFoundError, ConnectionError, TimeoutError with the
URL as `filename`); every other name is a file, colons included (the
package opens no sockets of the program family).
"""
from __future__ import annotations

from ._axes import MAX_AXES, Axis
from ._dataset import Dataset, PathLike, open
from ._errors import KovError, KovIndexError, KovTypeError, KovValueError, KovWarning
from ._version import __version__
from ._writing import Writer, create, to_kov, write

# The public names are the package's own, wherever they are defined.
for _public in (Axis, Dataset, KovError, KovIndexError, KovTypeError, KovValueError, KovWarning,
                Writer, create, open, to_kov, write):
    _public.__module__ = __name__
del _public

__all__ = ["Axis", "Dataset", "KovError", "KovWarning", "Writer", "create", "open", "to_kov",
           "write", "__version__"]
