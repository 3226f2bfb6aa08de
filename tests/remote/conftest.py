# SPDX-License-Identifier: Apache-2.0
"""Fixtures of the remote-data tests: the programs of the build, a dataset
in a directory served by nginx, and the servers themselves."""
import os
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))
import servers  # noqa: E402

BIN = os.environ.get("KOV_BIN_DIR", "")


def program(name):
    path = os.path.join(BIN, name)
    if not os.access(path, os.X_OK):
        pytest.skip("%s is not built (KOV_BIN_DIR)" % name)
    return path


def run(args, cwd, env=None, stdin=subprocess.DEVNULL, timeout=120):
    """A program's completed process, its standard input given."""
    return subprocess.run(args, cwd=cwd, env=env, stdin=stdin, capture_output=True,
                          timeout=timeout)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("DATAPATH", str(tmp_path) + "/")
    monkeypatch.setenv("HOME", str(tmp_path))
    for name in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_PROFILE",
                 "AWS_REGION", "AWS_DEFAULT_REGION", "AWS_ENDPOINT_URL", "AWS_ENDPOINT_URL_S3",
                 "CURL_CA_BUNDLE"):
        monkeypatch.delenv(name, raising=False)
    return tmp_path


def write_dataset(directory, name, values, data_name=None):
    """A float dataset `name` (header) in `directory` whose header names its
    data `data_name` (relative by default); its samples."""
    values = np.asarray(values, dtype=">f4")
    n = values.shape[::-1]
    data_name = data_name or name + "@"
    with open(os.path.join(directory, name + "@"), "wb") as f:
        f.write(values.tobytes())
    lines = ["test program"]
    for i, k in enumerate(n, 1):
        lines.append("n%d=%d o%d=0 d%d=1" % (i, k, i, i))
    lines.append('in="%s"' % data_name)
    lines.append('esize=4 data_format="xdr_float"')
    with open(os.path.join(directory, name), "w") as f:
        f.write("\n".join(lines) + "\n")
    return values


@pytest.fixture
def web(workdir):
    """nginx serving `workdir/www`, trusted through CURL_CA_BUNDLE."""
    if servers.nginx_binary() is None:
        pytest.skip("nginx is not installed (Debian's nginx-light)")
    root = workdir / "www"
    root.mkdir()
    server = servers.Nginx(str(workdir), str(root))
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def _store(tmp_path_factory):
    """The one store process of the session (reset before each test)."""
    try:
        server = servers.Moto(str(tmp_path_factory.mktemp("moto")))
    except FileNotFoundError:
        pytest.skip("moto_server is not on this machine: the S3 tests need it")
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def s3(workdir, _store):
    """An S3-protocol store on loopback, empty but for the bucket "survey"."""
    assert _store.alive(), "moto_server stopped during an earlier test"
    _store.reset()
    status, body = _store.curl("PUT", "survey")
    assert status == 200, body
    return _store
