# SPDX-License-Identifier: Apache-2.0
"""Failed requests reach Python as the builtin exception of their kind
(through errno), with the URL that failed as `filename`: refusals and
missing objects from nginx and the S3 store, a port nobody listens on, a
host that does not exist, and the faults of the proxy after the last try."""
import errno
import os

import numpy as np
import pytest

from conftest import write_dataset
from faultproxy import FaultProxy
from servers import free_port

kov = pytest.importorskip("kov")


@pytest.fixture
def quick(workdir):
    """No retries and a timeout of one second, for this test only."""
    from kov._library import _lib, _start
    _start()
    _lib.set_param("retries", "0")
    _lib.set_param("url_timeout", "2")
    try:
        yield
    finally:
        _lib.set_param("retries", "5")
        _lib.set_param("url_timeout", "30")


def failure(url, **kwargs):
    """The exception of opening `url` and reading all of it."""
    with pytest.raises(kov.KovError) as caught:
        with kov.open(url, **kwargs) as ds:
            ds.read()
    return caught.value


def test_refused_and_missing_objects_of_a_web_server(web, workdir, quick):
    write_dataset(str(web.root), "open.H", np.ones((3, 5), np.float32), data_name="locked/d.H@")
    os.mkdir(os.path.join(web.root, "locked"))
    os.rename(os.path.join(web.root, "open.H@"), os.path.join(web.root, "locked", "d.H@"))
    url = web.url("nothing.H", tls=False)
    e = failure(url)
    assert isinstance(e, FileNotFoundError) and e.errno == errno.ENOENT
    assert e.filename == url
    assert "no such object (HTTP 404)" in str(e)

    # The header is there, its data are refused: the data's URL is named.
    e = failure(web.url("open.H", tls=False))
    assert isinstance(e, PermissionError) and e.errno == errno.EACCES
    assert e.filename == web.url("locked/d.H@", tls=False)


def test_unreachable_servers_are_connection_errors(workdir, quick):
    url = "http://127.0.0.1:%d/x.H" % free_port()
    e = failure(url)
    assert isinstance(e, ConnectionRefusedError) and e.filename == url
    # A name that never resolves (RFC 6761).
    e = failure("http://kov-test.invalid/x.H")
    assert isinstance(e, ConnectionError) and e.filename == "http://kov-test.invalid/x.H"


def test_faults_after_the_last_try(web, workdir, quick):
    values = np.arange(400, dtype=np.float32).reshape(4, 100)
    write_dataset(str(web.root), "a.H", values)
    # The rest are failures of the request, never taken for a bad header.
    expected = {"reset": (ConnectionResetError, errno.ECONNRESET),
                "503": (kov.KovError, errno.EIO),
                "short": (kov.KovError, errno.EIO),
                "version": (kov.KovError, errno.ESTALE),
                "stall": (TimeoutError, errno.ETIMEDOUT)}
    for kind, (builtin, code) in expected.items():
        # A proxy of its own for each: a stalled answer holds its connection.
        proxy = FaultProxy(web.port, stall=3.0)
        try:
            proxy.faults = {kind: 100}
            e = failure(proxy.url("a.H"))
            assert e.errno == code and e.filename == proxy.url("a.H@"), (kind, e)
            assert isinstance(e, builtin) and not isinstance(e, ValueError), kind
            if builtin is kov.KovError:
                assert type(e) is kov.KovError, kind
            proxy.faults = {}
            if kind != "stall":
                with kov.open(proxy.url("a.H")) as ds:
                    assert np.array_equal(ds.read(), values)
        finally:
            proxy.stop()


def test_signed_requests_refused_or_missing_in_the_store(s3, workdir, monkeypatch):
    write_dataset(str(workdir), "line.H", np.ones((2, 3), np.float32))
    for name in ("line.H", "line.H@"):
        s3.put_file("survey", name, str(workdir / name))
    for k, v in s3.env(AWS_SECRET_ACCESS_KEY="not-the-secret-4711").items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    e = failure("s3://survey/line.H")
    assert isinstance(e, PermissionError) and e.filename == "s3://survey/line.H"
    assert "SignatureDoesNotMatch" in str(e) and "not-the-secret-4711" not in str(e)
    monkeypatch.setenv("AWS_SECRET_ACCESS_KEY", s3.secret)
    e = failure("s3://survey/none.H")
    assert isinstance(e, FileNotFoundError) and e.filename == "s3://survey/none.H"
    assert "NoSuchKey" in str(e)


def test_failed_writes_to_the_store_are_the_same_exceptions(s3, workdir, quick, monkeypatch):
    from s3proxy import S3Proxy
    values = np.ones((3, 4), np.float32)
    url = "s3://survey/w.H"
    for k, v in s3.env(AWS_ENDPOINT_URL="http://127.0.0.1:%d" % free_port()).items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    with pytest.raises(ConnectionRefusedError) as refused:
        kov.write(url, values)
    assert refused.value.errno == errno.ECONNREFUSED
    assert refused.value.filename.startswith(url)

    # A part the store keeps failing: after the last try, KovError with EIO
    # naming the data's URL, never a guess from the words of the message.
    proxy = S3Proxy(s3.port)
    try:
        proxy.faults = {"500": 1000}
        monkeypatch.setenv("AWS_ENDPOINT_URL", proxy.endpoint)
        with pytest.raises(kov.KovError) as failed:
            kov.write(url, np.ones((6000, 1000), np.float32))
        e = failed.value
        assert type(e) is kov.KovError and e.errno == errno.EIO, e
        assert e.filename == url + "@" and "cannot upload part" in str(e)
    finally:
        proxy.stop()
    status, body = s3.curl("GET", "survey?uploads=")
    assert status == 200 and b"<UploadId>" not in body
    assert s3.keys("survey") == []
