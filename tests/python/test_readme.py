"""The README's "From Python" example runs as written."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks():
    text = README.read_text()
    section = text[text.index("## From Python"):]
    section = section[:section.index("\n## ", 5)]
    return re.findall(r"```(\w+)\n(.*?)```", section, re.S)


def test_the_example_runs_after_the_set_up(tmp_path):
    bin_dir = os.environ.get("KOV_BIN_DIR")
    if not bin_dir or not os.path.exists(os.path.join(bin_dir, "velmodel")):
        pytest.skip("velmodel is not built (KOV_BIN_DIR)")
    found = blocks()
    setup = [line for line in found[0][1].splitlines() if line.startswith(("mkdir", "velmodel"))]
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], MPLBACKEND="Agg")
    demo = tmp_path / "demo"
    for line in setup:  # mkdir ... && cd demo, then the models inside demo
        where = tmp_path if line.startswith("mkdir") else demo
        subprocess.run(["bash", "-ec", line.replace("&& cd demo", "")], cwd=where, env=env,
                       check=True, stdin=subprocess.DEVNULL)
    example = found[1][1]
    picture = found[2][1]
    try:
        import matplotlib  # noqa: F401
        example += picture
    except ImportError:
        pass
    example += "\nprint(ds.shape, ds.axes[0], w.shape, round(float(m), 1), v.dims)\n"
    done = subprocess.run([sys.executable, "-c", example], cwd=demo, env=env, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(
        "(3000, 500) Axis(n=500, o=0.0, d=10.0, label='z', unit='') (50, 100)")
    assert (demo / "copy.H").exists() and list((demo / "scratch").iterdir())
