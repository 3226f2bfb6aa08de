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
    # out= names the data object itself.
    window = run([program("kovwindow"), "stdin=s3://survey/run2/double.H", "n2=5", "f2=7",
                  "out=s3://survey/run2/w.data", "head=w.H"], workdir, env)
    assert window.returncode == 0, window.stderr
    assert s3.keys("survey") == sorted([b"run2/vel.H", b"run2/vel.H@", b"run2/double.H",
                                        b"run2/double.H@", b"run2/w.data"])
    expected = (values.astype(np.float32).reshape(40, 300) * 2)[7:12]
    assert fetch(s3, "run2/w.data") == expected.astype(">f4").tobytes()
    assert 'in="s3://survey/run2/w.data"' in (workdir / "w.H").read_text()
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


def test_credentials_on_the_command_line_sign_the_uploads_and_their_abort(s3, proxy, workdir):
    # The environment's keys are wrong: the keys credentials= names sign
    # every request of the outputs, those of the process that aborts the
    # upload of a killed program too.
    env = without_datapath(s3.env(AWS_ACCESS_KEY_ID="nobody", AWS_SECRET_ACCESS_KEY="nothing",
                                  AWS_ENDPOINT_URL=proxy.endpoint))
    (workdir / "keys").write_text("[default]\naws_access_key_id = %s\naws_secret_access_key = %s\n"
                                  % (s3.key_id, s3.secret))
    refused = run([program("velmodel"), *SMALL, "head=s3://survey/run7/vel.H"], workdir, env)
    assert refused.returncode == 23
    assert b"s3://survey/run7/vel.H" in refused.stderr

    proxy.spare = 1
    proxy.faults = {"stall": 1}
    with open(workdir / "err", "wb") as err:
        p = subprocess.Popen([program("velmodel"), *BIG, "head=s3://survey/run7/big.H",
                              "credentials=./keys"], cwd=workdir, env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            assert proxy.stalled.wait(60)
            assert len(pending_uploads(s3)) == 1
            p.kill()
            assert p.wait(60) == -signal.SIGKILL
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
    end = time.monotonic() + 30
    while pending_uploads(s3) and time.monotonic() < end:
        time.sleep(0.2)
    assert pending_uploads(s3) == []
    assert s3.keys("survey") == []

    proxy.faults = {}
    got = run([program("velmodel"), *BIG, "head=s3://survey/run7/vel.H", "credentials=./keys"],
              workdir, env)
    assert got.returncode == 0, got.stderr
    assert s3.keys("survey") == [b"run7/vel.H", b"run7/vel.H@"]
    assert len(fetch(s3, "run7/vel.H@")) == 24000000
    assert s3.secret.encode() not in fetch(s3, "run7/vel.H")
    assert pending_uploads(s3) == []


def test_outputs_a_store_cannot_take_are_refused(s3, workdir):
    got = run([program("velmodel"), *SMALL, "head=vel.H", "datapath=https://127.0.0.1:9/x/"],
              workdir)
    assert got.returncode == 23
    assert (b'https://127.0.0.1:9/x/vel.H@: cannot write there for tag "out": web servers are '
            b"read only") in got.stderr
    # A set of objects too small for the data: nothing of it appears.
    full = run([program("velmodel"), "n1=500", "n2=1200", "head=vel.H",
                "datapath=s3://survey/m/", "nfiles=2", "filesize=1"], workdir, s3.env())
    assert full.returncode == 23
    assert b"the data set is full: its 2 objects hold no more" in full.stderr
    assert os.listdir(workdir) == []
    assert s3.keys("survey") == []
    assert pending_uploads(s3) == []


def test_a_data_set_of_several_objects_is_written_and_read_as_files_are(s3, workdir):
    # 2 000 000 bytes in objects of 1 MiB: two filled, the third empty.
    made = run([program("velmodel"), "n1=500", "n2=1000", "head=set.H",
                "datapath=s3://survey/m/", "nfiles=3", "filesize=1"], workdir, s3.env())
    assert made.returncode == 0, made.stderr
    local = run([program("velmodel"), "n1=500", "n2=1000", "head=local.H"], workdir, s3.env())
    assert local.returncode == 0, local.stderr
    names = ["m/set.H@", "m/set.H@1", "m/set.H@2"]
    assert s3.keys("survey") == [n.encode() for n in names]
    data = b"".join(fetch(s3, n) for n in names)
    assert [len(fetch(s3, n)) for n in names] == [1 << 20, 2000000 - (1 << 20), 0]
    assert data == (workdir / "local.H@").read_bytes()
    assert ('in="%s"' % ";".join("s3://survey/" + n for n in names)) in (workdir / "set.H").read_text()
    # A window across the first two objects, through the windowed engine.
    window = ["n2=500", "f2=300", "n1=20", "f1=7"]
    for header, out in (("set.H", "w1.H@"), ("local.H", "w2.H@")):
        got = run([program("kovwindow"), "stdin=" + header, "out=" + out] + window, workdir,
                  s3.env())
        assert got.returncode == 0, got.stderr
    assert (workdir / "w1.H@").read_bytes() == (workdir / "w2.H@").read_bytes()


def test_python_writes_arrays_dataarrays_and_dask_arrays_to_a_bucket(s3, workdir, monkeypatch):
    kov = pytest.importorskip("kov")
    da = pytest.importorskip("dask.array")
    xr = pytest.importorskip("xarray")
    for k, v in s3.env().items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    values = (np.arange(12 * 9 * 7, dtype=np.float32).reshape(12, 9, 7) * 0.5) - 20
    kov.write("s3://survey/py/cube.H", values, d=[4, 25, 12.5])
    with kov.open("s3://survey/py/cube.H") as ds:
        assert np.array_equal(ds.read(), values)
        assert ds.axes[0].d == 4
    assert b'in="s3://survey/py/cube.H@"' in fetch(s3, "py/cube.H")

    # The data under a datapath of the store; a DataArray's dims as labels.
    arr = xr.DataArray(values[0], dims=("cmp", "time"),
                       coords={"cmp": np.arange(9) * 2.0, "time": np.arange(7) * 0.5})
    kov.write("s3://survey/py/slice.H", arr, datapath="s3://survey/data/")
    with kov.open("s3://survey/py/slice.H") as ds:
        assert np.array_equal(ds.read(), values[0])
        assert [a.label for a in ds.axes[:2]] == ["time", "cmp"]

    # A set of objects: 1 MiB each.
    big = np.arange(3 * 1024 * 300, dtype=np.float32).reshape(3, 1024, 300)
    kov.write("s3://survey/set/big.H", big, nfiles=4, filesize=1)
    with kov.open("s3://survey/set/big.H") as ds:
        assert np.array_equal(ds[1:3, 500:900], big[1:3, 500:900])

    # Dask blocks, written slab by slab: bit for bit the local write's data.
    lazy = da.from_array(values, chunks=(5, 4, 7)) * 3 - 1
    kov.to_kov(lazy, "s3://survey/py/dask.H")
    kov.write(str(workdir / "local.H"), (values * 3 - 1), datapath=str(workdir) + "/")
    assert fetch(s3, "py/dask.H@") == (workdir / "local.H@").read_bytes()
    assert s3.keys("survey") == sorted([b"py/cube.H", b"py/cube.H@", b"py/slice.H",
                                        b"data/slice.H@", b"py/dask.H", b"py/dask.H@",
                                        b"set/big.H", b"set/big.H@", b"set/big.H@1",
                                        b"set/big.H@2", b"set/big.H@3"])
    assert pending_uploads(s3) == []


def test_python_failures_on_a_bucket_are_builtin_exceptions_naming_the_url(s3, workdir,
                                                                           monkeypatch):
    kov = pytest.importorskip("kov")
    for k, v in s3.env().items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    values = np.ones((3, 4), dtype=np.float32)
    with pytest.raises(FileNotFoundError) as missing:
        kov.write("s3://nobucket/a.H", values)
    assert missing.value.filename.startswith("s3://nobucket/a.H")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "not-the-secret-4711")
    with pytest.raises(PermissionError) as refused:
        kov.write("s3://survey/a.H", values)
    assert refused.value.filename.startswith("s3://survey/a.H")
    assert "not-the-secret-4711" not in str(refused.value)
    with pytest.raises(OSError) as web:
        kov.write("https://127.0.0.1:9/a.H", values)
    assert "web servers are read only" in str(web.value)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", s3.secret)
    assert s3.keys("survey") == []
    assert pending_uploads(s3) == []


def test_python_writes_sign_with_the_credentials_given_and_keep_them_secret(s3, workdir,
                                                                             monkeypatch):
    kov = pytest.importorskip("kov")
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    # The environment's keys are not the store's: only those given sign.
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", "AKIAWRONGWRONGWRONG0")
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", "wrong-secret-0815")
    monkeypatch.setenv("AWS_ENDPOINT_URL", s3.endpoint)
    given = {"key": s3.key_id, "secret": s3.secret, "endpoint_url": s3.endpoint,
             "region": "us-east-1"}
    values = np.arange(6 * 5 * 4, dtype=np.float32).reshape(6, 5, 4) - 7
    with pytest.raises(PermissionError) as refused:
        kov.write("s3://survey/c/a.H", values)
    assert "wrong-secret-0815" not in str(refused.value)

    kov.write("s3://survey/c/a.H", values, credentials=given)
    with kov.create("s3://survey/c/b.H", values.shape, credentials=given) as w:
        w.write(values[:3])
        w.write(values[3:], at=(3, 0, 0))
    kov.to_kov(da.from_array(values, chunks=(2, 5, 4)), "s3://survey/c/d.H", credentials=given)
    for name in ("a", "b", "d"):
        with kov.open("s3://survey/c/%s.H" % name, credentials=given) as ds:
            assert np.array_equal(ds.read(), values), name
        history = fetch(s3, "c/%s.H" % name)
        assert s3.secret.encode() not in history and s3.key_id.encode() not in history

    # Not computed: nothing on the store; computed: the dataset, whole.
    lazy = da.from_array(values, chunks=(4, 5, 4)) * 2
    later = kov.to_kov(lazy, "s3://survey/c/later.H", compute=False, credentials=given)
    assert b"c/later.H" not in b" ".join(s3.keys("survey"))
    assert dask.compute(later) == (None,)
    with kov.open("s3://survey/c/later.H", credentials=given) as ds:
        assert np.array_equal(ds.read(), values * 2)
    # A task that fails leaves nothing behind either.
    broken = kov.to_kov(lazy, "s3://nobucket/later.H", compute=False, credentials=given)
    with pytest.raises(FileNotFoundError):
        dask.compute(broken)
    with pytest.raises(ValueError):
        kov.to_kov(lazy, "s3://survey/", compute=False)
    assert pending_uploads(s3) == []
    monkeypatch.setenv("AWS_ACCESS_KEY_ID", s3.key_id)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", s3.secret)
    assert s3.keys("survey") == sorted([b"c/a.H", b"c/a.H@", b"c/b.H", b"c/b.H@", b"c/d.H",
                                        b"c/d.H@", b"c/later.H", b"c/later.H@"])


def test_python_writes_a_store_cannot_take_have_their_errno_and_url(s3, workdir, monkeypatch):
    kov = pytest.importorskip("kov")
    import errno
    for k, v in s3.env().items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    values = np.ones((4, 3), dtype=np.float32)
    # An upload is made in order: a block before the end of those written
    # is refused, and nothing appears.
    w = kov.create("s3://survey/e/back.H", values.shape)
    w.write(values[:2])
    with pytest.raises(OSError) as back:
        w.write(values[:1])
    w.abort()
    assert back.value.errno == errno.ESPIPE
    assert back.value.filename == "s3://survey/e/back.H@"
    assert "cannot go to byte 0 of it (at 24)" in str(back.value)
    # The same object written twice at once.
    first = kov.create("s3://survey/e/twice.H", values.shape)
    with pytest.raises(FileExistsError) as twice:
        kov.create("s3://survey/e/twice.H", values.shape)
    assert twice.value.filename == "s3://survey/e/twice.H"
    assert "written twice by this program" in str(twice.value)
    first.write(values)
    first.close()
    with kov.open("s3://survey/e/twice.H") as ds:
        assert np.array_equal(ds.read(), values)
    assert s3.keys("survey") == [b"e/twice.H", b"e/twice.H@"]
    assert pending_uploads(s3) == []
