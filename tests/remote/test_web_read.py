# SPDX-License-Identifier: Apache-2.0
"""Datasets read from a web server (nginx on loopback) by range requests:
every reading program, the windowed engine and the Python package get the
same samples as from the local files, and failures name the URL."""
import os

import numpy as np
import pytest

from conftest import program, run, write_dataset


@pytest.fixture
def served(web, workdir):
    """A 3-D float dataset on the server and its samples."""
    rng = np.random.default_rng(7)
    values = rng.standard_normal((3, 40, 50)).astype(np.float32) * 100
    write_dataset(str(web.root), "cube.H", values)
    env = dict(os.environ, CURL_CA_BUNDLE=web.cert)
    return web, values, env


def test_programs_read_over_https_and_http_as_from_the_local_files(served, workdir):
    web, values, env = served
    local = os.path.join(web.root, "cube.H")
    for url in (web.url("cube.H"), web.url("cube.H", tls=False)):
        remote = run([program("kovinfo"), url], workdir, env)
        assert remote.returncode == 0, remote.stderr
        mine = run([program("kovinfo"), local], web.root, env)
        # The header and data lines name where each was read from.
        strip = lambda text: [l for l in text.decode().splitlines()
                              if not l.startswith(("header", "data "))]
        assert strip(remote.stdout) == strip(mine.stdout)
        assert ("data         " + url + "@") in remote.stdout.decode().splitlines()

    # A window through the windowed engine: the same bytes as from the file.
    window = ["n1=7", "f1=3", "j1=2", "n2=5", "f2=10", "j2=3", "n3=2", "f3=1"]
    got = run([program("kovwindow"), "stdin=" + web.url("cube.H"), "out=w1.H@"] + window,
              workdir, env)
    assert got.returncode == 0, got.stderr
    want = values[1:3, 10:25:3, 3:17:2]
    assert (workdir / "w1.H@").read_bytes() == want.astype(">f4").tobytes()

    # kovpng and kov2segy write what they write from the local dataset.
    two_d = values[0]
    write_dataset(str(web.root), "plane.H", two_d)
    # (kov2segy's textual header, its first 3200 bytes, names the input.)
    for tool, args, out, skip in (("kovpng", ["title=t"], "p.png", 0),
                                  ("kov2segy", [], "p.sgy", 3200)):
        exe = program(tool)
        a = run([exe, web.url("plane.H"), "out=remote-" + out] + args, workdir, env)
        b = run([exe, os.path.join(web.root, "plane.H"), "out=local-" + out] + args, web.root, env)
        assert a.returncode == 0 and b.returncode == 0, (a.stderr, b.stderr)
        with open(os.path.join(web.root, "local-" + out), "rb") as f:
            assert (workdir / ("remote-" + out)).read_bytes()[skip:] == f.read()[skip:], tool


def test_a_local_header_names_remote_data(served, workdir):
    web, values, env = served
    write_dataset(str(workdir), "here.H", values, data_name=web.url("cube.H@"))
    os.remove(workdir / "here.H@")
    got = run([program("kovwindow"), "stdin=here.H", "out=all.H@", "n3=1", "f3=2"], workdir, env)
    assert got.returncode == 0, got.stderr
    assert (workdir / "all.H@").read_bytes() == values[2].astype(">f4").tobytes()


def test_failures_name_the_url_and_the_reason(served, workdir):
    web, values, env = served
    missing = run([program("kovinfo"), web.url("nothing.H")], workdir, env)
    assert missing.returncode == 23
    assert (web.url("nothing.H") + ": no such object (HTTP 404)").encode() in missing.stderr

    # Data the server may not hand out (its configuration denies /locked/).
    os.mkdir(os.path.join(web.root, "locked"))
    write_dataset(str(web.root), "locked.H", values, data_name="locked/locked.H@")
    os.rename(os.path.join(web.root, "locked.H@"), os.path.join(web.root, "locked", "locked.H@"))
    denied = run([program("kovinfo"), web.url("locked.H")], workdir, env)
    assert denied.returncode == 23
    assert b"locked.H@: permission denied (HTTP 403)" in denied.stderr

    # Verification stays on: a certificate nobody trusts is refused.
    untrusted = dict(env)
    del untrusted["CURL_CA_BUNDLE"]
    refused = run([program("kovinfo"), web.url("cube.H")], workdir, untrusted)
    assert refused.returncode == 23
    assert web.url("cube.H").encode() in refused.stderr
    assert b"certificate" in refused.stderr


def test_python_opens_a_url(served, workdir):
    web, values, env = served
    os.environ["CURL_CA_BUNDLE"] = web.cert
    try:
        import kov
    except ImportError:
        pytest.skip("the Python package is not built")
    try:
        with kov.open(web.url("cube.H")) as ds:
            assert np.array_equal(ds.read(), values)
            assert np.array_equal(ds[1, 5:9, ::7], values[1, 5:9, ::7])
    finally:
        del os.environ["CURL_CA_BUNDLE"]
