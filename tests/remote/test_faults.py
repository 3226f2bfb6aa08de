# SPDX-License-Identifier: Apache-2.0
"""Reads through a proxy that spoils answers: every case ends with the
exact samples or one clear fatal line, never wrong samples, never a hang."""
import os

import numpy as np
import pytest

from conftest import program, run, write_dataset
from faultproxy import FaultProxy


@pytest.fixture
def proxied(web, workdir):
    rng = np.random.default_rng(11)
    values = rng.standard_normal((64, 1000)).astype(np.float32)
    write_dataset(str(web.root), "noisy.H", values)
    proxy = FaultProxy(web.port, stall=4.0)
    try:
        yield proxy, values
    finally:
        proxy.stop()


def window(proxy, workdir, *more, timeout=120):
    """kovwindow of the whole dataset through the proxy, to a local file."""
    out = workdir / "copy.H@"
    if out.exists():
        out.unlink()
    return run([program("kovwindow"), "stdin=" + proxy.url("noisy.H"), "out=" + str(out),
                "url_timeout=1", *more], workdir, timeout=timeout), out


@pytest.mark.parametrize("kind", ["reset", "500", "503", "stall", "short"])
def test_passing_faults_are_tried_again_and_the_data_come_exact(proxied, workdir, kind):
    proxy, values = proxied
    proxy.faults = {kind: 2}
    got, out = window(proxy, workdir)
    assert got.returncode == 0, got.stderr
    assert proxy.spoiled == 2
    assert out.read_bytes() == values.astype(">f4").tobytes()


def test_a_fault_that_lasts_ends_the_program_naming_the_url(proxied, workdir):
    proxy, _ = proxied
    proxy.faults = {"503": 1000}
    got, out = window(proxy, workdir, "retries=2")
    assert got.returncode == 23
    assert (proxy.url("noisy.H@") + ": HTTP 503 SlowDown (after 3 attempts)").encode() in got.stderr
    assert got.stderr.count(b"\n") == 1
    assert proxy.spoiled == 3


def test_another_version_between_two_ranges_is_never_taken(proxied, workdir):
    proxy, _ = proxied
    proxy.faults = {"version": 1}
    got, out = window(proxy, workdir)
    assert got.returncode == 23
    assert (proxy.url("noisy.H@") + ": the object changed while it was read").encode() in got.stderr


@pytest.mark.parametrize("args,select", [
    (["n2=4", "f2=3", "j2=20"], lambda v: v[3:64:20]),
    (["n2=8", "f2=20"], lambda v: v[20:28]),
    (["n1=100", "f1=500", "n2=16", "f2=5"], lambda v: v[5:21, 500:600]),
])
def test_a_window_fetches_only_its_bytes(proxied, workdir, args, select):
    proxy, values = proxied
    got = run([program("kovwindow"), "stdin=" + proxy.url("noisy.H"), "out=w.H@", *args], workdir)
    assert got.returncode == 0, got.stderr
    want = select(values).astype(">f4").tobytes()
    assert (workdir / "w.H@").read_bytes() == want
    assert proxy.bytes <= 1.1 * len(want) + 1  # the first-byte probe


def copy_in_order(proxy, workdir, *more, env=None, timeout=120):
    """kovcat of the whole dataset through the proxy: a reader in order,
    served by one transfer on a thread of its own."""
    out = workdir / "cat.H@"
    if out.exists():
        out.unlink()
    return run([program("kovcat"), proxy.url("noisy.H"), "out=" + str(out), "url_timeout=1",
                *more], workdir, env=env, timeout=timeout), out


@pytest.mark.parametrize("kind", ["reset", "500", "503", "stall", "short"])
def test_a_reader_in_order_rides_out_passing_faults(proxied, workdir, kind):
    proxy, values = proxied
    proxy.faults = {kind: 2}
    got, out = copy_in_order(proxy, workdir)
    assert got.returncode == 0, got.stderr
    assert proxy.spoiled == 2
    assert out.read_bytes() == values.astype(">f4").tobytes()


def test_a_reader_in_order_asks_once_and_resumes_where_a_body_broke_off(proxied, workdir):
    proxy, values = proxied
    got, out = copy_in_order(proxy, workdir)
    assert got.returncode == 0, got.stderr
    assert proxy.ranges == 1  # the whole object in one answer
    # Resets that each bring a part of the body are progress: more of them
    # than retries= allows in a row still end with the exact data, each
    # attempt asking for the bytes after the last one received.
    proxy.ranges = 0
    proxy.faults = {"reset": 4}
    got, out = copy_in_order(proxy, workdir, "retries=1")
    assert got.returncode == 0, got.stderr
    assert proxy.ranges == 5
    assert out.read_bytes() == values.astype(">f4").tobytes()


def test_a_reader_in_order_fails_cleanly(proxied, workdir):
    proxy, _ = proxied
    proxy.faults = {"503": 1000}
    got, out = copy_in_order(proxy, workdir, "retries=2")
    assert got.returncode == 23
    assert (proxy.url("noisy.H@") + ": HTTP 503 SlowDown (after 3 attempts)").encode() in got.stderr
    assert got.stderr.count(b"\n") == 1
    assert not out.exists()
    proxy.faults = {"version": 1}
    got, out = copy_in_order(proxy, workdir)
    assert got.returncode == 23
    assert (proxy.url("noisy.H@") + ": the object changed while it was read").encode() in got.stderr
    assert not out.exists()


def test_a_transfer_paused_for_a_slow_reader_does_not_time_out(web, workdir):
    # 16 MiB, far beyond what the transfer may fetch ahead at first: it
    # waits, paused, while the reader's own output is not taken.
    values = write_dataset(str(web.root), "big.H",
                           np.random.default_rng(5).standard_normal((4096, 1024)))
    proxy = FaultProxy(web.port)
    try:
        script = ("'%s' '%s' out=stdout url_timeout=1 | (sleep 3; cat > out.bin)"
                  % (program("kovcat"), proxy.url("big.H")))
        got = run(["bash", "-o", "pipefail", "-c", script], workdir)
        assert got.returncode == 0, got.stderr
        assert proxy.ranges == 1  # never timed out and asked again
        assert (workdir / "out.bin").read_bytes().endswith(values.tobytes())
    finally:
        proxy.stop()
