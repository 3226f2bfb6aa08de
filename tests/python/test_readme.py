# SPDX-License-Identifier: Apache-2.0
"""The README's "From Python" examples run as written, with their paths in
a temporary directory."""
import os
import re
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kov

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks():
    text = README.read_text()
    section = text[text.index("## From Python"):]
    section = section[:section.index("\n## ", 5)]
    return re.findall(r"```(\w+)\n(.*?)```", section, re.S)


def run(code, cwd, env, timeout=300):
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, timeout=timeout)


def test_the_example_runs_after_the_set_up(tmp_path):
    bin_dir = os.environ.get("KOV_BIN_DIR")
    if not bin_dir or not os.path.exists(os.path.join(bin_dir, "velmodel")):
        pytest.skip("velmodel is not built (KOV_BIN_DIR)")
    found = blocks()
    assert [kind for kind, _ in found] == ["sh", "python", "python", "python"]
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
    example += ("\nprint(ds.shape, ds.axes[0], w.shape, round(float(m), 1), v.dims, trace.shape,"
                " kov.open('shallow.H').axes[0])\n")
    done = run(example, demo, env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "no such dataset: %s" % (demo / "missing.H")
    assert lines[1].startswith(
        "(3000, 500) Axis(n=500, o=0.0, d=10.0, label='z', unit='') (50, 100)")
    assert lines[1].endswith("(500,) Axis(n=101, o=0.0, d=10.0, label='z', unit='')")
    assert (demo / "copy.H").exists() and list((demo / "scratch").iterdir())
    assert done.stderr == ""


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_the_cluster_example_on_a_scheduler_and_two_worker_processes(tmp_path):
    pytest.importorskip("distributed")
    dask_cli = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    worker_cli = [sys.executable, "-m", "distributed.cli.dask_worker"]
    shared = tmp_path / "shared"
    shared.mkdir()
    a = np.random.default_rng(5).standard_normal((3000, 500)).astype(np.float32)
    kov.write(shared / "big.H", a, datapath=str(shared) + "/")
    port = _free_port()
    address = "tcp://127.0.0.1:%d" % port
    env = dict(os.environ, DASK_DISTRIBUTED__WORKER__DAEMON="False")
    logs = [open(tmp_path / name, "w") for name in ("scheduler.log", "worker1.log", "worker2.log")]
    started = []
    try:
        started.append(subprocess.Popen(
            dask_cli + ["--host", "127.0.0.1", "--port", str(port), "--no-dashboard"],
            cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, stdout=logs[0],
            stderr=subprocess.STDOUT))
        for k in (1, 2):
            started.append(subprocess.Popen(
                worker_cli + [address, "--host", "127.0.0.1", "--nthreads", "1", "--no-dashboard",
                              "--local-directory", str(tmp_path / ("w%d" % k))],
                cwd=tmp_path, env=env, stdin=subprocess.DEVNULL, stdout=logs[k],
                stderr=subprocess.STDOUT))
        example = blocks()[3][1].replace("tcp://HOST:8786", address).replace("/shared", str(shared))
        code = ("from dask.distributed import Client\n"
                "Client(%r, timeout=120).wait_for_workers(2, timeout=120)\n" % address) + example
        done = run(code, tmp_path, env, timeout=600)
        assert done.returncode == 0, done.stderr + "".join(
            (tmp_path / n).read_text() for n in ("scheduler.log", "worker1.log", "worker2.log"))
        lo, hi, mean = (np.float32(x) for x in done.stdout.split())
        assert (lo, hi) == (a.min(), a.max())
        assert mean == pytest.approx(float(a.astype(np.float64).mean()), rel=1e-4, abs=1e-6)
        with kov.open(shared / "double.H") as out:
            names = out.param("in").split(";")
            assert [os.path.dirname(n) for n in names] == [str(shared / "data")] * 3
            np.testing.assert_array_equal(out.read(), a * 2)
    finally:
        for p in reversed(started):
            p.kill()
        for p in started:
            p.wait(timeout=60)
        for f in logs:
            f.close()
