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
