# SPDX-License-Identifier: Apache-2.0
"""The processing loop closed: a velocity model made into gathers, moved,
muted, stacked, filtered and gained, then compared with the zero-offset
section of the same model put through the same filter and gain."""
from __future__ import annotations

import os
import struct
import subprocess
import sys
import zlib
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
    if not os.environ.get("KOVPNG"):
        return
    res = kovdata.run(tmp_path, [os.environ["KOVPNG"], "out=stack.png", *PICTURE],
                      tmp_path / "stack.H")
    assert res.returncode == 0, res.stderr
    picture = (tmp_path / "stack.png").read_bytes()
    if os.environ.get("KOV_LOOP_PICTURE"):
        Path(os.environ["KOV_LOOP_PICTURE"]).write_bytes(picture)
    # The README's picture is this one: the plot's pixels (everything
    # inside kovpng's margins of 80, 110, 50 and 55 pixels) the same; the
    # lettering around it depends on the machine's fonts.
    made, committed = pixels(picture), pixels(COMMITTED.read_bytes())
    assert made.shape == committed.shape
    plot = (slice(50, made.shape[0] - 55), slice(80, made.shape[1] - 110))
    differ = int((made[plot] != committed[plot]).any(axis=-1).sum())
    assert differ == 0, (
        f"{differ} pixels of the stack differ from {COMMITTED}; if the loop's result changed on "
        f"purpose, copy the new picture ({os.environ.get('KOV_LOOP_PICTURE', 'stack.png')}) there")


# kovpng's drawing of the stack for the README (doc/processing-loop.png).
PICTURE = ["color=bwr", "pclip=99", "width=800", "height=450",
           "title=stack of the processing loop", "label1=time (s)", "label2=midpoint x (m)",
           "barlabel=amplitude"]
COMMITTED = Path(__file__).resolve().parents[3] / "doc" / "processing-loop.png"


def pixels(png: bytes) -> np.ndarray:
    """The pixels (rows, columns, channels) of an 8-bit, non-interlaced RGB
    or RGBA PNG picture."""
    assert png.startswith(b"\x89PNG\r\n\x1a\n")
    pos, idat, header = 8, b"", None
    while pos < len(png):
        length, kind = struct.unpack(">I4s", png[pos:pos + 8])
        body = png[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0, header
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = 1 + width * channels
    rows: list[list[int]] = []
    up = [0] * (width * channels)
    for y in range(height):
        kind, line = raw[y * stride], raw[y * stride + 1:(y + 1) * stride]
        if kind == 0:
            row = list(line)
        elif kind == 2:
            row = [(a + b) & 255 for a, b in zip(line, up)]
        else:  # sub, average, Paeth: each byte depends on the one to its left
            row = [0] * len(line)
            for x, a in enumerate(line):
                left = row[x - channels] if x >= channels else 0
                corner = up[x - channels] if x >= channels else 0
                if kind == 1:
                    guess = left
                elif kind == 3:
                    guess = (left + up[x]) >> 1
                else:
                    p = left + up[x] - corner
                    pa, pb, pc = abs(p - left), abs(p - up[x]), abs(p - corner)
                    guess = left if pa <= pb and pa <= pc else up[x] if pb <= pc else corner
                row[x] = (a + guess) & 255
        rows.append(row)
        up = row
    out = np.array(rows, dtype=np.uint8)
    return out.reshape(height, width, channels)
