# SPDX-License-Identifier: Apache-2.0
"""Reading, writing and errors of the package kov."""
import os
import resource
import subprocess
import sys
import threading

import numpy as np
import pytest

import kov
from conftest import run_python


def test_write_then_read_carries_axes_history_and_values(workdir, cube):
    kov.write("c.H", cube, o=[1.5, -2, 10], d=[0.25, 2, 5], label=["t", "x", "y"],
              unit=["s", "m"])
    with kov.open("c.H") as ds:
        assert ds.shape == (4, 5, 6)
        assert ds.axes[0] == kov.Axis(6, 1.5, 0.25, "t", "s")
        assert ds.axes[2] == kov.Axis(4, 10.0, 5.0, "y", "")
        assert (ds.data_format, ds.esize) == ("xdr_float", 4)
        assert ds.param("n2", int) == 5 and ds.param("d1", float) == 0.25
        assert ds.param("label2") == "x" and ds.param("missing", default=7) == 7
        a = ds.read()
        assert a.dtype == np.float32 and a.dtype.byteorder in "=<"
        np.testing.assert_array_equal(a, cube)
        np.testing.assert_array_equal(ds.read(), cube)  # again, from the start
    # The data file holds big-endian floats where the datapath says.
    raw = np.fromfile(workdir / "c.H@", ">f4")
    np.testing.assert_array_equal(raw, cube.ravel())


def test_history_of_a_copy_is_like_then_title_location_axes_format(workdir, cube):
    kov.write("a.H", cube, label=["t", "x", "y"])
    with kov.open("a.H") as a:
        before = a.history
        kov.write("b.H", cube[:, :, :3] * 2, like=a, datapath=str(workdir / "sub_"))
    with kov.open("b.H") as b:
        text = b.history
        assert text.startswith(before)
        tail = text[len(before):]
        order = [tail.index(k) for k in ("\n\n", "sets next: in=", "n1=3", "label1=\"t\"",
                                          "esize=4", "data_format=\"xdr_float\"")]
        assert order == sorted(order)
        assert b.param("in") == str(workdir / "sub_b.H@")
        assert b.axes[0] == kov.Axis(3, 0.0, 1.0, "t", "")  # like's axes, this shape
        np.testing.assert_array_equal(b.read(), cube[:, :, :3] * 2)
    kov.write("flat.H", cube[0], like="a.H")  # like has a third axis, this has not
    assert kov.open("flat.H").shape == (5, 6)


@pytest.mark.parametrize("data_format,values", [
    ("xdr_float", np.linspace(-3, 3, 12, dtype=np.float32)),
    ("native_float", np.linspace(-3, 3, 12, dtype=np.float32)),
    ("tmc_float", np.linspace(-3, 3, 12, dtype=np.float32)),
    ("xdr_int", np.arange(-6, 6, dtype=np.int32) * 1000003),
    ("native_byte", np.arange(250, 262, dtype=np.int64) % 256),
    ("xdr_byte", np.arange(12) * 20),
    ("tmc_byte", np.arange(12)),
    ("drawl", np.arange(12)),
    ("xdr_float", (np.arange(12) + 1j * np.arange(12)).astype(np.complex64)),
    ("native_float", (np.arange(12) - 2j).astype(np.complex64)),
])
def test_every_element_format_round_trips(workdir, data_format, values):
    kov.write("f.H", values.reshape(3, 4), data_format=data_format)
    with kov.open("f.H") as ds:
        assert ds.data_format == data_format
        a = ds.read()
        assert a.shape == (3, 4)
        assert a.ctypes.data % 4096 == 0  # the kernel copies into whole pages faster
        np.testing.assert_array_equal(a.ravel(), values.astype(a.dtype))
        np.testing.assert_array_equal(ds.read(window={1: (2, 1, 2)}), a[:, 1::2])


def test_windows_match_numpy_slicing(workdir, cube):
    kov.write("w.H", cube)
    with kov.open("w.H") as ds:
        cases = [({1: (3, 1, 2)}, cube[:, :, 1::2]),
                 ({2: (2, 3, 1), 3: (1, 2, 1)}, cube[2:3, 3:5, :]),
                 ({1: (1, 5, 1), 2: (3, 0, 2), 3: (2, 1, 2)}, cube[1::2, 0::2, 5:6]),
                 ({3: (4, 0, 1)}, cube)]
        for window, expected in cases:
            np.testing.assert_array_equal(ds.read(window=window), expected)
        # Writing a window in place with the block writer.
    w = kov.create("z.H", cube.shape)
    for k in range(cube.shape[0]):
        w.write(cube[k, 1:, :], at=(k, 1, 0))
        w.write(cube[k, :1, :], at=(k, 0, 0))
    w.close()
    with kov.open("z.H") as ds:
        np.testing.assert_array_equal(ds.read(), cube)


def test_multi_file_data_sets_are_read_whole_and_windowed(workdir):
    a = np.random.default_rng(1).standard_normal((700, 1000)).astype(np.float32)  # 2.8 MB
    kov.write("m.H", a, nfiles=3, filesize=1)
    with kov.open("m.H") as ds:
        names = ds.param("in").split(";")
        assert [os.path.getsize(n) for n in names] == [1 << 20, 1 << 20, a.nbytes - (2 << 20)]
        np.testing.assert_array_equal(ds.read(), a)
        np.testing.assert_array_equal(ds.read(window={2: (300, 200, 1)}), a[200:500])
        with pytest.raises(kov.KovError, match="one file"):
            ds.memmap()


def test_memmap_is_zero_copy_with_the_right_byte_order(workdir, cube):
    kov.write("x.H", cube)
    kov.write("n.H", cube, data_format="native_float")
    kov.write("i.H", cube.astype(np.int32), data_format="xdr_int")
    for name, order in (("x.H", ">"), ("n.H", "="), ("i.H", ">")):
        with kov.open(name) as ds:
            m = ds.memmap()
            assert m.dtype.str[0] in (order, "<" if order == "=" else order)
            assert not m.flags.writeable
            np.testing.assert_array_equal(m, ds.read())
    kov.write("b.H", np.zeros(4, np.uint8), data_format="native_byte")
    with kov.open("b.H") as ds, pytest.raises(kov.KovError):
        ds.memmap()


FOLLOWING = (b'\t\tn1=3 n2=2 esize=4\n\t\tdata_format="native_float"\n\t\tin="stdin"\n\x04'
             + np.arange(6, dtype=np.float32).tobytes())


def test_data_following_the_header_in_a_file_a_pipe_and_standard_input(workdir, cube):
    (workdir / "f.H").write_bytes(FOLLOWING)
    with kov.open("f.H") as ds:
        np.testing.assert_array_equal(ds.read(), np.arange(6, dtype=np.float32).reshape(2, 3))
    with kov.open("cat f.H |") as ds:
        assert ds.shape == (2, 3)
        np.testing.assert_array_equal(ds.read().ravel(), np.arange(6))
    # A piped header naming a data file of its own.
    kov.write("c.H", cube)
    with kov.open("cat c.H |") as ds:
        np.testing.assert_array_equal(ds.read(window={1: (2, 4, 1)}), cube[:, :, 4:])
    with open(workdir / "f.H", "rb") as stdin:
        done = run_python("import kov; d = kov.open('-'); print(d.shape, d.read().sum())",
                          workdir, stdin=stdin)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "(2, 3) 15.0"


def test_failures_raise_kov_error_and_the_module_keeps_working(workdir, cube):
    kov.write("ok.H", cube)
    (workdir / "garbage.H").write_bytes(b"\x00\x01 not a header at all\n")
    (workdir / "badfmt.H").write_text('n1=4 in="%s/ok.H@" data_format="xdr_nonsense"\n' % workdir)
    (workdir / "short.H").write_text('n1=4 n2=1000 in="%s/ok.H@"\n' % workdir)
    (workdir / "nodata.H").write_text('n1=4 n2=3\n')
    failures = [
        (lambda: kov.open("absent.H"), "absent.H"),
        (lambda: kov.open("garbage.H"), "n1"),
        (lambda: kov.open("badfmt.H"), "unknown data format: xdr_nonsense"),
        (lambda: kov.open("short.H").read(), "short data"),
        (lambda: kov.open("nodata.H").read(), "sreed(): invalid input for .*nodata.H"),
        (lambda: kov.open("ok.H").read(window={1: (7, 0, 1)}), "Invalid window parameters"),
        (lambda: kov.open("ok.H").read(window={2: (2, 0, 0)}), "Invalid window parameters"),
        (lambda: kov.write("u.H", cube, data_format="bogus"), "unknown data format"),
        (lambda: kov.write("/nonexistent/dir/u.H", cube), ""),
        (lambda: kov.open("ls | wc"), "doesn't end with '|'"),
    ]
    for fail, message in failures:
        with pytest.raises(kov.KovError, match=message.replace("|", "\\|").replace("(", "\\(")
                           .replace(")", "\\)").replace("\\(\\)", "\\(\\)")) as caught:
            fail()
        assert isinstance(caught.value, OSError)
        # ... and the next call works.
        with kov.open("ok.H") as ds:
            np.testing.assert_array_equal(ds.read(window={3: (1, 3, 1)}), cube[3:])


def test_a_full_disk_raises_and_the_interpreter_goes_on(workdir):
    code = """
import resource, signal, numpy as np, kov
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))
try:
    kov.write("big.H", np.ones((1000, 1000), np.float32))
    print("no error")
except kov.KovError as e:
    print("KovError:", e)
kov.write("small.H", np.ones((10, 10), np.float32))
print(kov.open("small.H").read().sum())
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("KovError: ") and "big.H" in lines[0] and "kovpy" not in lines[0]
    assert lines[-1] == "100.0"


def test_opening_and_closing_many_datasets_leaks_no_descriptor_nor_memory(workdir, cube):
    kov.write("l.H", cube, label=["a", "b", "c"])

    def cycle(times):
        for _ in range(times):
            with kov.open("l.H") as ds:
                assert ds.axes[1].label == "b"

    def rss_kb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)

    cycle(500)
    fds, rss = len(os.listdir("/proc/self/fd")), rss_kb()
    cycle(10000)
    assert len(os.listdir("/proc/self/fd")) == fds
    assert rss_kb() - rss < 4096  # a header store alone is 32 kB: 10000 would be 320 MB


def test_threads_share_the_library_safely(workdir):
    a = np.arange(200 * 300, dtype=np.float32).reshape(200, 300)
    kov.write("t.H", a)
    errors = []

    def worker(k):
        try:
            for i in range(20):
                with kov.open("t.H") as ds:
                    row = (k * 20 + i) % 200
                    np.testing.assert_array_equal(ds.read(window={2: (1, row, 1)})[0], a[row])
                kov.write("t%d.H" % k, a[k:k + 2])
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in range(4):
        np.testing.assert_array_equal(kov.open("t%d.H" % k).read(), a[k:k + 2])
