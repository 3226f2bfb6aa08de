# SPDX-License-Identifier: Apache-2.0
"""What a Python user trusts a library with: the interpreter goes on, writes
are all or nothing, bad headers are refused, failures are the builtin
exception classes and warnings go through `warnings`."""
import os
import pickle
import copy
import signal
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import kov
from conftest import run_python


def _files(folder):
    return sorted(p.name for p in folder.iterdir())


# 1. Nothing a caller passes ends the process.
def test_names_with_colons_are_files_and_nothing_ends_the_interpreter(workdir, cube):
    code = r"""
import os, numpy as np, kov
a = np.arange(6, dtype=np.float32).reshape(2, 3)
os.mkdir("run:2024-01-01T12:00")
kov.write("run:2024-01-01T12:00/v.H", a)
print(kov.open("run:2024-01-01T12:00/v.H").read().sum())
kov.write("host:8786", a, datapath="d:x/")
print(kov.open("host:8786").shape, sorted(os.listdir("d:x")))
for name in ("127.0.0.1:9", ":9", "::sock", "unix:/x", "/nowhere/run:1/v.H"):
    try:
        kov.open(name)
    except FileNotFoundError as e:
        print("absent", e.filename == os.path.abspath(name))
# A self-overwrite from a map of the old data: no SIGBUS.
kov.write("A.H", a)
m = kov.open("A.H").memmap()
kov.write("A.H", m * 2)
print(m.sum(), kov.open("A.H").read().sum())
# An exit deep in the library (a token longer than its scanner takes).
open("long.H", "w").write("n1=2 title=" + "x" * 100000 + "\n")
try:
    kov.open("long.H")
except kov.KovError as e:
    print("refused", "long.H" in str(e))
print(kov.open("A.H").read().sum())
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n") == [
        "15.0", "(2, 3) ['host:8786@']", *["absent True"] * 5, "15.0 30.0", "refused True",
        "30.0", ""]


# 2. Writes are all or nothing.
def test_a_dask_rewrite_of_its_own_source_reads_the_old_data(workdir, cube):
    import dask
    kov.write("A.H", cube)
    with dask.config.set(scheduler="threads"):
        x = kov.open("A.H").to_dask(chunks={3: 1})
        kov.to_kov(x * 2, "A.H")
    np.testing.assert_array_equal(kov.open("A.H").read(), cube * 2)
    assert _files(workdir) == ["A.H", "A.H@"]


def test_failed_writes_leave_nothing_and_the_previous_dataset_stays(workdir, cube):
    kov.write("old.H", cube)
    before = (workdir / "old.H").read_bytes()
    m = kov.open("old.H").memmap()
    failures = [
        (lambda: kov.write("old.H", np.array(["a", "b"])), ValueError),
        (lambda: kov.write("old.H", cube, d=["a"]), ValueError),
        (lambda: kov.write("old.H", cube, data_format="bogus"), ValueError),
        (lambda: kov.create("old.H", (-1, 3)), ValueError),
        (lambda: kov.write("old.H", cube, datapath="/proc/"), OSError),
    ]
    for fail, kind in failures:
        with pytest.raises(kind):
            fail()
        assert _files(workdir) == ["old.H", "old.H@"]
        assert (workdir / "old.H").read_bytes() == before
    os.chmod(workdir, 0o555)
    try:
        if os.access(workdir, os.W_OK):
            pytest.skip("running as a user that writes anywhere")
        with pytest.raises(PermissionError) as caught:
            kov.write("old.H", cube * 3)
        assert caught.value.filename.endswith("old.H")
    finally:
        os.chmod(workdir, 0o755)
    # A block writer left incomplete is refused at close; kept when asked.
    w = kov.create("part.H", cube.shape)
    w.write(cube[:2], at=(0, 0, 0))
    with pytest.raises(kov.KovError, match="samples written"):
        w.close()
    assert _files(workdir) == ["old.H", "old.H@"]
    with kov.create("part.H", cube.shape) as w:
        w.write(cube[:2])
        w.close(keep_partial=True)
    np.testing.assert_array_equal(kov.open("part.H").read()[:2], cube[:2])
    # Replacing: a reader's map keeps the old samples.
    kov.write("old.H", cube + 100)
    np.testing.assert_array_equal(m, cube)
    np.testing.assert_array_equal(kov.open("old.H").read(), cube + 100)


def test_a_full_disk_keeps_the_old_dataset(workdir):
    code = """
import resource, signal, numpy as np, kov, os
kov.write("big.H", np.ones((100, 100), np.float32))
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
try:
    kov.write("big.H", np.ones((1000, 1000), np.float32) * 2)
except kov.KovError as e:
    print(type(e).__mro__[1].__name__, e.errno, e.filename.endswith("big.H"), "kovpy" in str(e))
print(kov.open("big.H").read().sum(), sorted(os.listdir(".")))
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["OSError 27 True False", "10000.0 ['big.H', 'big.H@']"]


# 5. Headers the tools refuse are refused here too.
@pytest.mark.parametrize("text,parameter", [
    ("n1=abc n2=10", "n1=abc"), ("n1=0 n2=10", "n1=0"), ("n1=5 n2=-5", "n2=-5"),
    ("n1=1e3 n2=10", "n1=1e3"), ('n1=4 esize=2 data_format="xdr_float"', "esize=2"),
    ("n1=4 o1=west", "o1=west"), ("n2=4", "n1"),
])
def test_headers_with_bad_axes_are_refused(workdir, text, parameter):
    (workdir / "bad.H").write_text(text + ' in="%s/bad.H@"\n' % workdir)
    (workdir / "bad.H@").write_bytes(bytes(4096))
    with pytest.raises(ValueError, match=parameter) as caught:
        kov.open("bad.H")
    assert isinstance(caught.value, kov.KovError) and "bad.H" in str(caught.value)


def test_bad_shapes_are_refused_before_anything_is_written(workdir):
    for shape in [(-1, 3), (0, 3), (), ("a",), (2**31, 1)]:
        with pytest.raises(ValueError):
            kov.create("x.H", shape)
    assert _files(workdir) == []


# 8. Exceptions and warnings.
def test_failures_are_the_builtin_classes_with_the_file_named(workdir, cube):
    kov.write("ok.H", cube)
    (workdir / "dir.H").mkdir()
    (workdir / "secret.H").write_text("n1=1\n")
    cases = [(lambda: kov.open("absent.H"), FileNotFoundError, "absent.H"),
             (lambda: kov.open("dir.H"), IsADirectoryError, "dir.H"),
             (lambda: kov.write("no/such/dir/x.H", cube), FileNotFoundError, "no/such/dir"),
             (lambda: kov.write("dir.H", cube), IsADirectoryError, "dir.H")]
    if os.geteuid() != 0:
        os.chmod(workdir / "secret.H", 0)
        cases.append((lambda: kov.open("secret.H"), PermissionError, "secret.H"))
    for fail, kind, name in cases:
        with pytest.raises(kind) as caught:
            fail()
        assert isinstance(caught.value, kov.KovError)
        assert caught.value.filename.endswith(name) and caught.value.errno is not None
    with kov.open("ok.H") as ds:
        with pytest.raises(IndexError, match="ok.H"):
            ds.read(window={1: (7, 0, 1)})
        with pytest.raises(IndexError):
            ds.read(window={4: (1, 0, 1)})
        with pytest.raises(IndexError):
            ds[4]
    with pytest.raises(ValueError, match="unknown data format"):
        kov.write("u.H", cube, data_format="bogus")
    (workdir / "missing.H").write_text('n1=6 n2=5 in="%s/gone@"\n' % workdir)
    with pytest.raises(kov.KovError) as caught:
        kov.open("missing.H").read()
    assert "kovpy" not in str(caught.value) and "missing.H" in str(caught.value)


def test_library_warnings_arrive_through_warnings(workdir, cube):
    kov.write("w.H", cube)
    (workdir / "p.H").write_text('n1=6 n2=5 n3=4 in="%s/w.H@" gain=abc\n' % workdir)
    code = """
import warnings, kov
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    print(kov.open("p.H").param("gain", float))
print([(w.category.__name__, "gain" in str(w.message)) for w in seen])
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["0.0", "[('KovWarning', True)]"]
    assert done.stderr == ""
    with warnings.catch_warnings():
        warnings.simplefilter("error", kov.KovWarning)
        with pytest.raises(kov.KovWarning):
            kov.open("p.H").param("gain", float)


# 3. Copies are independent datasets.
def test_pickled_and_copied_datasets_reopen_by_path(workdir, cube):
    kov.write("a.H", cube)
    kov.write("b.H", cube + 1000)
    ds = kov.open("a.H")
    twin = pickle.loads(pickle.dumps(ds))
    del twin
    other = kov.open("b.H")
    np.testing.assert_array_equal(ds.read(), cube)
    c = copy.copy(ds)
    c.close()
    np.testing.assert_array_equal(ds[1], cube[1])
    assert copy.deepcopy(other).read()[0, 0, 0] == cube[0, 0, 0] + 1000
    with pytest.raises(TypeError):
        pickle.dumps(kov.open("cat a.H |"))
    code = """
import multiprocessing as mp, pickle, sys, kov
def total(ds):
    return float(ds.read().sum())
if __name__ == "__main__":
    ds = kov.open("a.H")
    with mp.get_context(sys.argv[1]).Pool(1) as pool:
        print(pool.apply_async(total, (ds,)).get(timeout=120))
"""
    (workdir / "spawned.py").write_text(code)
    for method in ("spawn", "forkserver"):
        done = subprocess.run([sys.executable, "spawned.py", method], cwd=workdir,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        assert float(done.stdout) == float(cube.sum())


# 4. A fork while another thread reads.
def test_a_fork_while_another_thread_reads_gives_a_working_child(workdir):
    a = np.arange(500 * 1000, dtype=np.float32).reshape(500, 1000)
    kov.write("f.H", a)
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            with kov.open("f.H") as ds:
                ds.read(window={2: (100, 3, 2)})

    threads = [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(3):
            pid = os.fork()
            if pid == 0:  # the child: open and read, then leave at once
                try:
                    ok = kov.open("f.H")[7, 3] == a[7, 3]
                    os._exit(0 if ok else 1)
                except BaseException:
                    os._exit(2)
            for _ in range(600):
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                stop.wait(0.1)
            else:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                pytest.fail("the forked child hung")
            assert os.waitstatus_to_exitcode(status) == 0
    finally:
        stop.set()
        for t in threads:
            t.join()


def test_a_graph_of_a_replaced_dataset_refuses_and_unfinished_writes_leave_nothing(workdir, cube):
    import dask
    kov.write("A.H", cube)
    x = kov.open("A.H").to_dask(chunks={3: 2})
    kov.write("A.H", cube * 3)
    with dask.config.set(scheduler="sync"), pytest.raises(ValueError, match="replaced"):
        x.sum().compute()
    code = """
import numpy as np, kov
w = kov.create("left.H", (3, 4))
w.write(np.ones((1, 4)), at=(0, 0))
"""  # the interpreter ends with the writer open
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    assert _files(workdir) == ["A.H", "A.H@"]


# 9. The samples read are those the header describes, whatever happens
# around the dataset.
def test_forked_children_read_their_own_windows(workdir):
    a = np.arange(200 * 300, dtype=np.float32).reshape(200, 300)
    kov.write("f.H", a)
    ds = kov.open("f.H")
    assert ds[0, 0] == 0  # the data file is open before the fork

    def windows(seed):
        ok = True
        for i in range(300):
            r = (i * 7 + seed * 13) % 190
            ok = ok and np.array_equal(ds[r:r + 10, seed::3], a[r:r + 10, seed::3])
        return ok

    pids = []
    for seed in (1, 2):
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if windows(seed) else 1)
            except BaseException:
                os._exit(2)
        pids.append(pid)
    assert windows(0)
    assert [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids] == [0, 0]


def test_data_that_do_not_fit_the_header_are_refused(workdir, cube):
    kov.write("a.H", cube)
    here = str(workdir)
    # Rewritten between open and the first read: the new data are not laid
    # out in the old shape.
    ds = kov.open("a.H")
    kov.write("a.H", np.ones((2, 3), np.float32))
    with pytest.raises(ValueError, match="replaced") as caught:
        ds[0]
    assert isinstance(caught.value, kov.KovError)
    np.testing.assert_array_equal(kov.open("a.H").read(), np.ones((2, 3)))
    kov.write("a.H", cube)
    # Longer than the header says, from a file and from a stream.
    (workdir / "long.H").write_text('n1=6 n2=5 n3=3 in="%s/a.H@"\n' % here)
    for name in ("long.H", "cat long.H |"):
        with pytest.raises(ValueError, match="longer than the header says") as caught:
            kov.open(name).read()
        assert "long.H" in str(caught.value)
    with pytest.raises(ValueError, match="a.H@"):
        kov.open("long.H")[0]
    # A gap in the axes: the missing axis has length 1.
    (workdir / "gap.H").write_text('n1=6 n2=5 n4=4 in="%s/a.H@"\n' % here)
    with kov.open("gap.H") as gap:
        assert gap.shape == (4, 1, 5, 6)
        np.testing.assert_array_equal(gap.read(), cube.reshape(4, 1, 5, 6))
    # Short data: a clean message, for a whole read and for a window.
    (workdir / "short.H").write_text('n1=6 n2=5 n3=5 in="%s/a.H@"\n' % here)
    with kov.open("short.H") as short:
        np.testing.assert_array_equal(short[3, :, ::2], cube[3, :, ::2])
        for read in (short.read, lambda: short[4, :, ::2]):
            with pytest.raises(kov.KovError, match="short data") as caught:
                read()
            assert caught.value.errno is None and "mode=" not in str(caught.value)


def test_the_arguments_the_standard_library_takes(workdir, cube):
    kov.write("a.H", cube)
    import pathlib
    for name in (os.fsencode(str(workdir / "a.H")), pathlib.Path("a.H"), b"a.H"):
        with kov.open(name) as ds:
            assert ds.shape == cube.shape and isinstance(ds.path, str)
    (workdir / "bog.H").write_text('n1=6 data_format="bogus" in="%s/a.H@"\n' % workdir)
    with pytest.raises(ValueError, match="bogus") as caught:
        kov.open("bog.H")
    assert isinstance(caught.value, kov.KovError)
    with pytest.raises(ValueError) as caught:
        kov.open("a.H")[::0]
    assert isinstance(caught.value, kov.KovError)


def test_the_library_says_nothing_on_stderr_and_names_the_data_file(workdir, cube):
    (workdir / "missing.H").write_text('n1=6 n2=5 in="%s/gone@"\n' % workdir)
    code = """
import kov
try:
    kov.open("missing.H").read()
except FileNotFoundError as e:
    print(e.filename.endswith("gone@"), "gone@" in str(e), "kovpy" in str(e))
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    assert (done.stdout, done.stderr) == ("True True False\n", "")


def test_a_full_disk_on_a_multi_file_write_says_enospc(workdir):
    import shutil
    if shutil.which("unshare") is None:
        pytest.skip("no unshare")
    small = workdir / "small"
    small.mkdir()
    code = """
import errno, os, numpy as np, kov
try:
    kov.write("x.H", np.ones((1000, 1000), np.float32), nfiles=3, filesize=2,
              datapath="%s/")
except OSError as e:
    print(errno.errorcode.get(e.errno), isinstance(e, kov.KovError), e.filename is not None)
print(sorted(os.listdir(".")), sorted(os.listdir("%s")))
""" % (small, small)
    script = workdir / "full.py"
    script.write_text(code)
    done = subprocess.run(
        ["unshare", "-rm", "sh", "-c", 'mount -t tmpfs -o size=2m none "$0" && exec "$1" "$2"',
         str(small), sys.executable, str(script)],
        cwd=workdir, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
    if "mount" in done.stderr or "unshare" in done.stderr:
        pytest.skip("no private mount here: " + done.stderr.strip())
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["ENOSPC True True", "['full.py', 'small'] []"]
