# SPDX-License-Identifier: Apache-2.0
"""doc/seismic.py reads a model of any float format through the package and
writes a section with the model's axes."""
import subprocess
import sys
from pathlib import Path

import numpy as np

import kov

SCRIPT = Path(__file__).resolve().parents[2] / "doc" / "seismic.py"


def model(n2=6, n1=80):
    """Two layers: 2000 m/s above depth index 15, 3000 m/s below."""
    vel = np.full((n2, n1), 2000.0, np.float32)
    vel[:, 15:] = 3000.0
    return vel


def test_a_native_float_model_gives_a_section_on_its_axes(workdir):
    # Native floats in two data files: neither big-endian nor one file named in=.
    kov.write("vel.H", model(), o=[0.0, -50.0], d=[10.0, 25.0], label=["depth", "x"],
              data_format="native_float", nfiles=2, filesize=1)
    done = subprocess.run([sys.executable, str(SCRIPT), "vel.H", "refl.H"], cwd=workdir,
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    with kov.open("refl.H") as section:
        assert section.shape == (6, 80)
        assert section.axes[0][:4] == (80, 0.0, 10.0, "depth")
        assert section.axes[1][:4] == (6, -50.0, 25.0, "x")
        assert section.param("v0") is None  # amplitudes, not a velocity model
        data = section.read()
    assert np.isfinite(data).all()
    # The strongest amplitude of every trace sits at the interface (0.2).
    assert (np.abs(np.argmax(np.abs(data), axis=1) - 15) <= 1).all()
    assert 0.05 < np.abs(data).max() < 1.0


def test_a_dataset_that_is_not_a_2d_model_is_refused(workdir):
    kov.write("cube.H", np.zeros((2, 3, 4), np.float32))
    done = subprocess.run([sys.executable, str(SCRIPT), "cube.H", "refl.H"], cwd=workdir,
                          capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert done.returncode != 0
    assert "not a two-dimensional model" in done.stderr
    assert not (workdir / "refl.H").exists()
