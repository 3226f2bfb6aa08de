# SPDX-License-Identifier: Apache-2.0
"""A dask.distributed scheduler and two worker processes on 127.0.0.1,
each worker in an empty directory of its own with no credentials in its
environment, read a dataset from the S3 store (the keys travel with the
Dask array) and from nginx over https: bit for bit what the same work on
the local file gives."""
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import write_dataset
from servers import free_port, wait_for_port

kov = pytest.importorskip("kov")
distributed = pytest.importorskip("distributed")


@pytest.fixture
def cluster(workdir, web):
    """The address of a scheduler with two single-threaded worker processes,
    which trust nginx's certificate."""
    port = free_port()
    address = "tcp://127.0.0.1:%d" % port
    env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
    env.update(DASK_DISTRIBUTED__WORKER__DAEMON="False", CURL_CA_BUNDLE=web.cert)
    logs, started = [], []
    try:
        logs.append(open(workdir / "scheduler.log", "w"))
        started.append(subprocess.Popen(
            [sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
             "--port", str(port), "--no-dashboard"],
            cwd=workdir, env=env, stdin=subprocess.DEVNULL, stdout=logs[-1],
            stderr=subprocess.STDOUT))
        assert wait_for_port(port, started[0], timeout=60), "the scheduler did not start"
        for k in (1, 2):
            home = workdir / ("worker%d" % k)
            home.mkdir()
            logs.append(open(workdir / ("worker%d.log" % k), "w"))
            started.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", address, "--host",
                 "127.0.0.1", "--nthreads", "1", "--no-dashboard", "--local-directory",
                 str(home)],
                cwd=home, env=dict(env, HOME=str(home), DATAPATH=str(home) + "/"),
                stdin=subprocess.DEVNULL, stdout=logs[-1], stderr=subprocess.STDOUT))
        yield address
    finally:
        for p in reversed(started):
            p.kill()
        for p in started:
            p.wait(timeout=60)
        for f in logs:
            f.close()


def test_two_workers_read_from_the_store_and_the_web_server(cluster, s3, web, workdir,
                                                            monkeypatch):
    from distributed import Client
    rng = np.random.default_rng(3)
    values = rng.standard_normal((600, 400)).astype(np.float32)
    write_dataset(str(workdir), "line.H", values)
    for name in ("line.H", "line.H@"):
        s3.put_file("survey", name, str(workdir / name))
    write_dataset(str(web.root), "line.H", values)
    keys = {"key": s3.key_id, "secret": s3.secret, "endpoint_url": s3.endpoint}
    monkeypatch.setenv("CURL_CA_BUNDLE", web.cert)  # the client reads the headers
    chunks = (150, 200)
    with kov.open(workdir / "line.H") as here:
        local = here.to_dask(chunks=chunks)
        local_mean = local.mean().compute(scheduler="threads")
        local_part = local[::7, 100:300:3].compute(scheduler="threads")
    with Client(cluster, timeout=120) as client:
        client.wait_for_workers(2, timeout=120)
        for url, credentials in (("s3://survey/line.H", keys), (web.url("line.H"), None)):
            with kov.open(url, credentials=credentials) as ds:
                remote = ds.to_dask(chunks=chunks)
            mean = client.compute(remote.mean()).result()
            assert mean.tobytes() == local_mean.tobytes(), url
            part = client.compute(remote[::7, 100:300:3]).result()
            assert part.tobytes() == local_part.tobytes(), url
        # Both workers read blocks.
        executed = client.run(lambda dask_worker: dask_worker.state.executed_count)
        assert len(executed) == 2 and all(n > 0 for n in executed.values()), executed
