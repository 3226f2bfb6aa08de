# SPDX-License-Identifier: Apache-2.0
"""The processing loop closed: a velocity model made into gathers, moved,
muted, stacked, filtered and gained, then compared with the zero-offset
section of the same model put through the same filter and gain."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent.parent / "kovsynth"))
import kovdata  # noqa: E402

NEEDED = ["VELMODEL", "KOVSYNTH", "KOVNMO", "KOVMUTE", "KOVSTACK", "KOVBANDPASS", "KOVGAIN"]


def test_stack_matches_the_zero_offset_section(tmp_path: Path) -> None:
    missing = [n.lower() for n in NEEDED if not os.environ.get(n)]
    if missing:
        pytest.skip(f"not built in this tree: {', '.join(missing)}")
    p = {n.lower(): f"'{os.environ[n]}'" for n in NEEDED}
    script = f"""
set -e -o pipefail
{p['velmodel']} n1=300 d1=10 n2=24 d2=40 o2=-600 > model.H 2>/dev/null
{p['kovsynth']} < model.H nt=600 dt=0.004 fpeak=25 noff=32 doff=50 vrms=vrms.H > gathers.H
{p['kovnmo']} velocity=vrms.H < gathers.H | {p['kovmute']} tmute=0.05 vmute=1800 \\
  | {p['kovstack']} axis=2 | {p['kovbandpass']} flo=5 fhi=60 | {p['kovgain']} agc=0.5 > stack.H
{p['kovsynth']} < model.H nt=600 dt=0.004 fpeak=25 | {p['kovbandpass']} flo=5 fhi=60 \\
  | {p['kovgain']} agc=0.5 > zero.H
"""
    res = subprocess.run(["bash", "-c", script], cwd=tmp_path, stdin=subprocess.DEVNULL,
                         env=dict(os.environ, DATAPATH=f"{tmp_path}/"), capture_output=True,
                         text=True, check=False)
    assert res.returncode == 0, res.stderr
    stack, _ = kovdata.read(tmp_path / "stack.H")
    zero, _ = kovdata.read(tmp_path / "zero.H")
    stack = stack.reshape(600, -1)
    zero = zero.reshape(600, -1)
    assert stack.shape == zero.shape == (600, 24)
    for x in range(24):
        r = np.corrcoef(stack[:, x], zero[:, x])[0, 1]
        assert r >= 0.95, (x, r)

    # The stack's picture, for the README, where kovpng is built; kept in
    # the build tree when KOV_LOOP_PICTURE names a file there.
    if os.environ.get("KOVPNG"):
        res = kovdata.run(tmp_path, [os.environ["KOVPNG"], "out=stack.png"], tmp_path / "stack.H")
        assert res.returncode == 0, res.stderr
        picture = (tmp_path / "stack.png").read_bytes()
        assert picture.startswith(b"\x89PNG")
        if os.environ.get("KOV_LOOP_PICTURE"):
            Path(os.environ["KOV_LOOP_PICTURE"]).write_bytes(picture)
