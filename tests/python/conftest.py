# SPDX-License-Identifier: Apache-2.0
"""Shared fixtures: every test works in its own temporary directory, which
is also where the data files go."""
import os
import subprocess
import sys

import numpy as np
import pytest

import kov


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("DATAPATH", str(tmp_path) + "/")
    return tmp_path


@pytest.fixture
def cube():
    """A 3-D array (n3=4, n2=5, n1=6) whose values tell their position."""
    return np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6) * 0.5 - 7


def run_python(code, cwd, stdin=subprocess.DEVNULL, timeout=300):
    """Run `code` in a fresh interpreter (the module's process-wide state
    starts afresh); its completed process."""
    env = dict(os.environ)
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, stdin=stdin, env=env,
                          capture_output=True, text=True, timeout=timeout)
