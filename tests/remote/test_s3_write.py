# SPDX-License-Identifier: Apache-2.0
"""Datasets written to an S3-protocol store (moto_server on loopback): data
uploaded in parts while the program writes, objects that appear only when
it ends successfully, and nothing left behind (no object, no unfinished
upload) when it fails, is stopped or killed."""
import os
import re
import signal
import subprocess
import time

import numpy as np
import pytest

from conftest import program, run
from s3proxy import S3Proxy

# 24 000 000 bytes of samples: three parts of an upload.
BIG = ["n1=1000", "n2=6000"]
SMALL = ["n1=300", "n2=40"]


def pending_uploads(s3):
    status, body = s3.curl("GET", "survey?uploads=")
    assert status == 200, body
    return re.findall(rb"<UploadId>([^<]+)</UploadId>", body)


def fetch(s3, key):
    status, body = s3.curl("GET", "survey/" + key)
    assert status == 200, (key, body[:200])
    return body


def without_datapath(env):
    return {k: v for k, v in env.items() if k != "DATAPATH"}


@pytest.fixture
def proxy(s3):
    p = S3Proxy(s3.port, stall=8.0)
    try:
        yield p
    finally:
        p.stop()


def test_velmodel_uploads_its_data_in_parts_byte_for_byte(s3, proxy, workdir):
    local = run([program("velmodel"), *BIG, "head=local.H"], workdir, s3.env())
    assert local.returncode == 0, local.stderr
    got = run([program("velmodel"), *BIG, "head=vel.H", "datapath=s3://survey/run1/"], workdir,
              s3.env(AWS_ENDPOINT_URL=proxy.endpoint))
    assert got.returncode == 0, got.stderr
    assert proxy.parts == 3
    assert s3.keys("survey") == [b"run1/vel.H@"]
    assert fetch(s3, "run1/vel.H@") == (workdir / "local.H@").read_bytes()
    assert 'in="s3://survey/run1/vel.H@"' in (workdir / "vel.H").read_text()
    assert pending_uploads(s3) == []
    # The local header names the object, and the family reads it from there.
    info = run([program("kovinfo"), "vel.H"], workdir, s3.env())
    assert info.returncode == 0, info.stderr
    assert b"actual       24000000 bytes" in info.stdout


def test_headers_on_the_store_keep_their_data_beside_them_down_a_chain(s3, workdir):
    env = without_datapath(s3.env())
    made = run([program("velmodel"), *SMALL, "head=s3://survey/run2/vel.H"], workdir, env)
    assert made.returncode == 0, made.stderr
    values = np.frombuffer(fetch(s3, "run2/vel.H@"), dtype=">f4")
    assert values.size == 300 * 40
    assert b'in="s3://survey/run2/vel.H@"' in fetch(s3, "run2/vel.H")

    doubled = run([program("kovmath"), "a=s3://survey/run2/vel.H", "output=a*2",
                   "head=s3://survey/run2/double.H"], workdir, env)
    assert doubled.returncode == 0, doubled.stderr
    window = run([program("kovwindow"), "stdin=s3://survey/run2/double.H", "n2=5", "f2=7",
                  "head=s3://survey/run2/w.H"], workdir, env)
    assert window.returncode == 0, window.stderr
    assert s3.keys("survey") == sorted([b"run2/vel.H", b"run2/vel.H@", b"run2/double.H",
                                        b"run2/double.H@", b"run2/w.H", b"run2/w.H@"])
    expected = (values.astype(np.float32).reshape(40, 300) * 2)[7:12]
    assert fetch(s3, "run2/w.H@") == expected.astype(">f4").tobytes()
    assert pending_uploads(s3) == []


def test_a_part_that_keeps_failing_leaves_nothing_behind(s3, proxy, workdir):
    proxy.spare = 1
    proxy.faults = {"500": 1000}
    got = run([program("velmodel"), *BIG, "head=vel.H", "datapath=s3://survey/run3/",
               "retries=1"], workdir, s3.env(AWS_ENDPOINT_URL=proxy.endpoint))
    assert got.returncode == 23
    # One part went up; another failed twice.
    assert re.search(rb"s3://survey/run3/vel.H@: cannot upload part \d: HTTP 500 InternalError "
                     rb"\(after 2 attempts\)\n$", got.stderr)
    assert s3.secret.encode() not in got.stderr + got.stdout
    assert proxy.spoiled >= 2  # every part in flight tried twice
    assert s3.keys("survey") == []
    assert pending_uploads(s3) == []
    assert not (workdir / "vel.H").exists()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL])
def test_a_stopped_program_leaves_no_object_and_no_upload(s3, proxy, workdir, sig):
    proxy.spare = 1
    proxy.faults = {"stall": 1}
    env = s3.env(AWS_ENDPOINT_URL=proxy.endpoint)
    with open(workdir / "err", "wb") as err:
        p = subprocess.Popen([program("velmodel"), *BIG, "head=vel.H",
                              "datapath=s3://survey/run4/"], cwd=workdir, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            assert proxy.stalled.wait(60)
            assert len(pending_uploads(s3)) == 1
            p.send_signal(sig)
            assert p.wait(60) == -sig
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
    # A process of the program's own aborts the upload it left.
    end = time.monotonic() + 30
    while pending_uploads(s3) and time.monotonic() < end:
        time.sleep(0.2)
    assert pending_uploads(s3) == []
    assert s3.keys("survey") == []
    assert not (workdir / "vel.H").exists()


def test_web_servers_are_read_only(workdir):
    got = run([program("velmodel"), *SMALL, "head=vel.H", "datapath=https://127.0.0.1:9/x/"],
              workdir)
    assert got.returncode == 23
    assert (b'https://127.0.0.1:9/x/vel.H@: cannot write there for tag "out": web servers are '
            b"read only") in got.stderr
    assert not (workdir / "vel.H").exists()
    assert os.listdir(workdir) == []
