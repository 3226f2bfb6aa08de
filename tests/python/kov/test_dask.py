"""Dask arrays read and written by tasks where they run."""
import os

import dask
import numpy as np
import pytest

import kov


def test_blocks_are_read_by_the_tasks_not_the_client(workdir, cube):
    kov.write("d.H", cube)
    # The client needs the header only: the data may be elsewhere meanwhile.
    (workdir / "d.H@").rename(workdir / "away")
    with kov.open("d.H") as ds:
        darr = ds.to_dask(chunks={1: 4, 3: 3})
    assert darr.chunks == ((3, 1), (5,), (4, 2))
    (workdir / "away").rename(workdir / "d.H@")
    np.testing.assert_array_equal(darr.compute(scheduler="threads"), cube)
    with pytest.raises(kov.KovError, match="stream"):
        kov.open("cat d.H |").to_dask()
    # Written back block by block, one data file, by threads of this process.
    with dask.config.set(scheduler="threads"):
        kov.to_kov(darr[:, ::-1, :] - 1, "back.H", label=["t", "x", "y"])
    with kov.open("back.H") as back:
        assert back.axes[1].label == "x" and back.history.count("data_format=") == 1
        np.testing.assert_array_equal(back.read(), cube[:, ::-1, :] - 1)


def test_a_cluster_reduces_and_writes_a_three_file_data_set(workdir):
    distributed = pytest.importorskip("distributed")
    rng = np.random.default_rng(7)
    a = rng.standard_normal((700, 1000)).astype(np.float32)  # 2.8 MB over three 1 MB files
    kov.write("big.H", a, nfiles=3, filesize=1, label=["z", "x"])
    with kov.open("big.H") as ds:
        assert [os.path.getsize(n) for n in ds.param("in").split(";")] == [1 << 20] * 2 + [
            a.nbytes - (2 << 20)]
        darr = ds.to_dask(chunks={2: 150})
    assert len(darr.chunks[0]) > 3
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  host="127.0.0.1", dashboard_address=None,
                                  local_directory=str(workdir / "dask")) as cluster, \
            distributed.Client(cluster) as client:
        lo, hi, mean = dask.compute(darr.min(), darr.max(), darr.mean())
        assert (lo, hi) == (a.min(), a.max())
        assert mean == pytest.approx(float(a.astype(np.float64).mean()), rel=1e-5)
        kov.to_kov(darr * 2 + 1, "out.H", nfiles=3, filesize=1, datapath=str(workdir / "o_"))
        assert len(client.scheduler_info()["workers"]) == 2
    with kov.open("out.H") as out:
        names = out.param("in").split(";")
        assert [os.path.basename(n) for n in names] == ["o_out.H@", "o_out.H@1", "o_out.H@2"]
        assert out.history.count("data_format=") == 1
        np.testing.assert_array_equal(out.read(), a * 2 + 1)
