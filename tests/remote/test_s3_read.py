# SPDX-License-Identifier: Apache-2.0
"""Datasets read from an S3-protocol store (moto_server on loopback) with
signed requests: credentials from the environment or the files under
~/.aws, the endpoint's path-style addressing, and refusals named as such."""
import os

import numpy as np

from conftest import program, run, write_dataset


def upload(s3, workdir, values, name="line7.H"):
    write_dataset(str(workdir), name, values)
    for f in (name, name + "@"):
        s3.put_file("survey", "lines/" + f, str(workdir / f))
        os.remove(workdir / f)


def test_signed_reads_from_the_environment_and_from_profiles(s3, workdir):
    values = np.arange(30 * 20, dtype=np.float32).reshape(20, 30) - 77.5
    upload(s3, workdir, values)
    url = "s3://survey/lines/line7.H"
    got = run([program("kovwindow"), "stdin=" + url, "out=w.H@", "n2=4", "f2=3"], workdir, s3.env())
    assert got.returncode == 0, got.stderr
    assert (workdir / "w.H@").read_bytes() == values[3:7].astype(">f4").tobytes()

    # The keys of a named profile in ~/.aws/credentials, its region and
    # endpoint in ~/.aws/config.
    aws = workdir / ".aws"
    aws.mkdir()
    (aws / "credentials").write_text("[default]\naws_access_key_id = nobody\n"
                                     "aws_secret_access_key = nothing\n\n[seis]\n"
                                     "aws_access_key_id = %s\naws_secret_access_key = %s\n"
                                     % (s3.key_id, s3.secret))
    (aws / "config").write_text("[profile seis]\nregion = us-east-1\nendpoint_url = %s\n"
                                % s3.endpoint)
    env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    env.update(HOME=str(workdir), AWS_PROFILE="seis")
    info = run([program("kovinfo"), url], workdir, env)
    assert info.returncode == 0, info.stderr
    assert b"min          -77.5" in info.stdout


def test_refusals_name_the_object_and_never_the_secret(s3, workdir):
    values = np.ones((4, 8), dtype=np.float32)
    upload(s3, workdir, values)
    wrong = run([program("kovinfo"), "s3://survey/lines/line7.H"], workdir,
                s3.env(AWS_SECRET_ACCESS_KEY="not-the-secret-4711"))
    assert wrong.returncode == 23
    assert (b"s3://survey/lines/line7.H: permission denied (HTTP 403 SignatureDoesNotMatch)"
            in wrong.stderr)
    assert b"not-the-secret-4711" not in wrong.stderr + wrong.stdout

    missing = run([program("kovinfo"), "s3://survey/lines/none.H"], workdir, s3.env())
    assert missing.returncode == 23
    assert b"s3://survey/lines/none.H: no such object (HTTP 404" in missing.stderr

    # Without credentials the request goes unsigned, and this store refuses it.
    env = {k: v for k, v in s3.env().items()
           if k not in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY")}
    unsigned = run([program("kovinfo"), "s3://survey/lines/line7.H"], workdir, env)
    assert unsigned.returncode == 23
    assert b"s3://survey/lines/line7.H: permission denied (HTTP 403" in unsigned.stderr


def test_python_reads_a_bucket_with_numpy_dask_and_pickle(s3, workdir, monkeypatch):
    try:
        import kov
    except ImportError:
        import pytest
        pytest.skip("the Python package is not built")
    import pickle
    values = (np.arange(12 * 9 * 7, dtype=np.float32).reshape(12, 9, 7) * 0.25) - 3
    upload(s3, workdir, values, name="cube.H")
    for k, v in s3.env().items():
        if k.startswith("AWS_"):
            monkeypatch.setenv(k, v)
    url = "s3://survey/lines/cube.H"
    with kov.open(url) as ds:
        assert np.array_equal(ds.read(), values)
        assert np.array_equal(ds[3:8, ::2, 5], values[3:8, ::2, 5])
        again = pickle.loads(pickle.dumps(ds))
        try:
            assert again.path == url
            assert np.array_equal(again[11], values[11])
        finally:
            again.close()
        # Dask blocks read from the bucket: bit for bit what the same work
        # on a local copy gives.
        write_dataset(str(workdir), "local.H", values)
        with kov.open(str(workdir / "local.H")) as here:
            remote = ds.to_dask(chunks=(5, 9, 7)).mean().compute(scheduler="threads")
            local = here.to_dask(chunks=(5, 9, 7)).mean().compute(scheduler="threads")
            assert remote.tobytes() == local.tobytes()


def test_credentials_named_on_the_command_line(s3, workdir):
    values = np.arange(6 * 5, dtype=np.float32).reshape(5, 6)
    upload(s3, workdir, values)
    url = "s3://survey/lines/line7.H"
    # The environment's keys are wrong: what credentials= names wins.
    env = s3.env(AWS_ACCESS_KEY_ID="nobody", AWS_SECRET_ACCESS_KEY="nothing")
    (workdir / "keys").write_text("[default]\naws_access_key_id = %s\naws_secret_access_key = %s\n"
                                  "endpoint_url = %s\n" % (s3.key_id, s3.secret, s3.endpoint))
    got = run([program("kovwindow"), "stdin=" + url, "credentials=./keys", "out=w.H@", "n2=2",
               "f2=1", "head=w.H"], workdir, env)
    assert got.returncode == 0, got.stderr
    assert (workdir / "w.H@").read_bytes() == values[1:3].astype(">f4").tobytes()
    # The keys in the file never reach the history.
    assert s3.secret not in (workdir / "w.H").read_text()

    aws = workdir / ".aws"
    aws.mkdir()
    (aws / "credentials").write_text("[seis]\naws_access_key_id = %s\naws_secret_access_key = %s\n"
                                     % (s3.key_id, s3.secret))
    info = run([program("kovinfo"), url, "credentials=seis"], workdir, env)
    assert info.returncode == 0, info.stderr

    missing = run([program("kovinfo"), url, "credentials=nosuch"], workdir, env)
    assert missing.returncode == 23
    assert b"credentials=nosuch: the profile has no keys in" in missing.stderr
    unreadable = run([program("kovinfo"), url, "credentials=./absent"], workdir, env)
    assert unreadable.returncode == 23
    assert b"credentials=./absent: cannot read the file: No such file" in unreadable.stderr
    # none: unsigned requests, which this store refuses.
    unsigned = run([program("kovinfo"), url, "credentials=none"], workdir, s3.env())
    assert unsigned.returncode == 23
    assert b"permission denied (HTTP 403" in unsigned.stderr


def test_python_credentials_travel_with_the_dataset(s3, workdir, monkeypatch):
    import pickle
    import pytest
    kov = pytest.importorskip("kov")
    values = np.arange(8 * 6 * 4, dtype=np.float32).reshape(8, 6, 4) - 9.5
    upload(s3, workdir, values, name="cube.H")
    url = "s3://survey/lines/cube.H"
    given = {"key": s3.key_id, "secret": s3.secret, "endpoint_url": s3.endpoint,
             "region": "us-east-1"}
    # Nothing in the environment: the keys come with the call only.
    with kov.open(url, credentials=given) as ds:
        assert np.array_equal(ds[2:5], values[2:5])
        again = pickle.loads(pickle.dumps(ds))
        with again:
            assert np.array_equal(again.read(), values)
        total = ds.to_dask(chunks=(3, 6, 4)).sum().compute(scheduler="threads")
        assert total == values.sum(dtype=np.float32) or np.isclose(total, values.sum())
    xr = pytest.importorskip("xarray")
    with xr.open_dataset(url, engine="kov", credentials=given) as x:
        assert np.array_equal(x["data"].values, values)

    # Other datasets of the process keep the environment's (no keys here).
    monkeypatch.setenv("AWS_ENDPOINT_URL", s3.endpoint)
    with pytest.raises(PermissionError):
        kov.open(url)
    with pytest.raises(PermissionError) as refused:
        kov.open(url, credentials=dict(given, secret="not-the-secret-4711"))
    assert refused.value.filename == url and "not-the-secret-4711" not in str(refused.value)
    with pytest.raises(PermissionError):
        kov.open(url, credentials={"anon": True, "endpoint_url": s3.endpoint})

    aws = workdir / ".aws"
    aws.mkdir()
    (aws / "credentials").write_text("[seis]\naws_access_key_id = %s\naws_secret_access_key = %s\n"
                                     % (s3.key_id, s3.secret))
    with kov.open(url, credentials={"profile": "seis"}) as ds:
        assert np.array_equal(ds[7], values[7])

    for bad, kind in (({"key": "k"}, ValueError), ({"secrets": "x"}, ValueError),
                      ({"anon": "yes"}, TypeError), ("key=k", TypeError),
                      (dict(given, token="a\r\nx-evil: 1"), ValueError)):
        with pytest.raises(kind):
            kov.open(url, credentials=bad)
