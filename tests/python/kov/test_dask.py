# SPDX-License-Identifier: Apache-2.0
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


def test_indexing_folded_into_the_reads_and_blocks_that_share_memory(workdir, cube):
    kov.write("d.H", cube)
    with kov.open("d.H") as ds:
        darr = ds.to_dask(chunks={3: 1, 2: 2})  # blocks of the same shape
    for scheduler in ("sync", "threads"):
        with dask.config.set(scheduler=scheduler):
            np.testing.assert_array_equal(darr.compute(), cube)
            np.testing.assert_array_equal(darr[::-1, 4:0:-2, 1::3].compute(),
                                          cube[::-1, 4:0:-2, 1::3])
    # What Dask may hand to the reads when it folds an indexing into them:
    # steps both ways, integers, empty slices.
    from kov._dask import _Source
    source = _Source(str(workdir / "d.H"), cube.shape, cube.dtype)
    for index in [(slice(None, None, -1), slice(4, 0, -2), slice(1, None, 3)), (2, slice(None), -1),
                  (slice(None), slice(3, 3)), (slice(1, 3),), -1]:
        np.testing.assert_array_equal(source[index], cube[index])

    # An array is handed out again only once nothing refers to it.
    from kov._dask import _Blocks
    pool = _Blocks(slots=2)
    a = pool.empty((3, 4), np.float32)
    a[:] = 1
    b = pool.empty((3, 4), np.float32)
    view = a[1:]
    del a
    c = pool.empty((3, 4), np.float32)
    assert not np.shares_memory(b, c) and not np.shares_memory(view, c)
    address = b.__array_interface__["data"][0]
    del b
    assert pool.empty((3, 4), np.float32).__array_interface__["data"][0] == address
    assert (view == 1).all()


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


def test_a_worker_that_finds_the_temporaries_being_made_waits_for_all_of_them(workdir):
    # Two worker processes start a write at once: the one that loses the
    # race for the temporary header must not look for data files the other
    # has not made yet.
    import threading
    import time
    from kov import _dask
    text = b"the header's text\n"

    def plan(name):
        return (str(workdir / ("t_" + name)), str(workdir / name),
                [(str(workdir / ("t_" + name + "@")), str(workdir / (name + "@")))], [])

    made = plan("made.H")
    open(made[0], "wb").close()  # the other process has only begun

    def other():
        time.sleep(0.3)
        open(made[2][0][0], "wb").close()
        with open(made[0], "wb") as f:
            f.write(text)
    t = threading.Thread(target=other)
    t.start()
    _dask._begin(made, text, 0, None)
    t.join()
    assert os.path.exists(made[2][0][0])

    given_up = plan("gone.H")
    open(given_up[0], "wb").close()
    t = threading.Thread(target=lambda: (time.sleep(0.2), os.unlink(given_up[0])))
    t.start()
    with pytest.raises(kov.KovError, match="gone.H: the write was given up"):
        _dask._begin(given_up, text, 0, None)
    t.join()


def test_a_block_held_by_any_reference_is_not_handed_out_again():
    from kov._dask import _Blocks
    pool = _Blocks(slots=2)
    a = pool.empty((3, 4), np.float32)
    a[:] = 1
    held = memoryview(a)  # a transfer in progress holds the memory this way
    del a
    c = pool.empty((3, 4), np.float32)
    c[:] = 2
    assert (np.asarray(held) == 1).all()
    # Nothing of the pool counts references.
    import inspect
    import kov._dask
    assert "getrefcount" not in inspect.getsource(kov._dask)


def _bytes_read():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar")).split()[1])


def test_an_indexed_block_reads_only_the_samples_asked_for(workdir):
    a = np.arange(256 * 16384, dtype=np.float32).reshape(16384, 256)
    kov.write("big.H", a)
    x = kov.open("big.H").to_dask(chunks={2: 8192})  # blocks of 8 MiB
    with dask.config.set(scheduler="sync"):
        x[10, :3].compute()  # whatever the first computation loads
        before = _bytes_read()
        np.testing.assert_array_equal(x[5000, :3].compute(), a[5000, :3])
        assert _bytes_read() - before < 1 << 20
        np.testing.assert_array_equal(x[9000:9002, ::-5].compute(), a[9000:9002, ::-5])


def test_to_kov_leaves_no_temporaries(workdir, cube):
    import dask.array as da
    import signal
    import time
    from conftest import run_python
    kov.write("s.H", cube)
    base = ["s.H", "s.H@"]
    darr = kov.open("s.H").to_dask(chunks={3: 1})

    def bad(block, block_info=None):
        if block_info[0]["chunk-location"][0] == 2:
            raise RuntimeError("bad block")
        time.sleep(0.05)
        return block

    failing = darr.map_blocks(bad, dtype=darr.dtype)
    for _ in range(4):
        with dask.config.set(scheduler="threads"), pytest.raises(RuntimeError):
            kov.to_kov(failing, "out.H")
        time.sleep(0.3)  # tasks still running end meanwhile
        assert sorted(os.listdir(workdir)) == base
    # Made only when computed; a write that fails in its tasks leaves nothing.
    later = kov.to_kov(darr * 2, "later.H", compute=False)
    assert sorted(os.listdir(workdir)) == base
    del later
    values = np.zeros((4, 5, 6))
    values[2, 1, 1] = 300
    too_big = da.from_array(values, chunks=(1, 5, 6))
    later = kov.to_kov(too_big, "bytes.H", compute=False, data_format="xdr_byte")
    with dask.config.set(scheduler="threads"), pytest.raises(ValueError, match="do not fit"):
        later.compute()
    time.sleep(0.3)
    assert sorted(os.listdir(workdir)) == base
    # The temporaries of a killed writer go with the next write of the dataset.
    code = """
import os, signal, kov
w = kov.create("out.H", (3, 4))
os.kill(os.getpid(), signal.SIGKILL)
"""
    done = run_python(code, workdir)
    assert done.returncode == -signal.SIGKILL
    assert len(os.listdir(workdir)) == 4
    kov.write("out.H", cube)
    assert sorted(os.listdir(workdir)) == ["out.H", "out.H@"] + base
