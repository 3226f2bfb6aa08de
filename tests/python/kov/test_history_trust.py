# SPDX-License-Identifier: Apache-2.0
"""Headers that must not mislead: a refused header leaves nothing behind for
the next one, and the names a history records work from any directory."""
import os

import numpy as np
import pytest

import kov
from conftest import run_python


def test_a_token_too_long_is_a_value_error_and_the_next_header_is_read_afresh(workdir):
    kov.write("good.H", np.arange(20, dtype=np.float32).reshape(4, 5))
    (workdir / "bad.H").write_text("n1=1\nlabel1=" + "x" * 70000 + "\nn1=3 n2=2 label1=evil\n")
    with pytest.raises(ValueError) as caught:
        kov.open("bad.H")
    assert isinstance(caught.value, kov.KovError)
    assert "bad.H, line 2" in str(caught.value)
    good = kov.open("good.H")
    assert good.shape == (4, 5)
    assert good.axes[0].label != "evil"
    assert good.read().sum() == 190


def test_texts_of_some_kilobytes_are_read(workdir):
    kov.write("a.H", np.ones((2, 3), dtype=np.float32))
    comment = "c" * 30000  # beyond the scanner's former 8191
    with open("a.H", "a") as f:
        f.write("\tcomment=\"%s\"\n" % comment)
    ds = kov.open("a.H")
    assert ds.param("comment") == comment
    assert ds.shape == (2, 3)


def test_a_dataset_written_with_a_relative_datapath_reads_from_anywhere(workdir):
    os.mkdir("w")
    os.chdir("w")
    kov.write("r.H", np.arange(6, dtype=np.float32).reshape(2, 3), datapath="./")
    header = (workdir / "w" / "r.H").read_text()
    assert 'in="%s/./r.H@"' % (workdir / "w") in header
    # An older history with the relative name, beside its data.
    (workdir / "w" / "old.H").write_text(header.replace(str(workdir / "w") + "/", ""))
    os.chdir(workdir)
    for name in ("w/r.H", "w/old.H"):
        ds = kov.open(name)
        assert ds.read().sum() == 15
        assert ds.memmap().sum() == 15


def test_the_binding_module_exports_its_entry_point_only():
    import shutil
    import subprocess
    from kov import _kov
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", _kov.__file__], capture_output=True,
                         text=True, check=True, stdin=subprocess.DEVNULL).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert names == ["PyInit__kov"], names[:20]
