# SPDX-License-Identifier: Apache-2.0
"""Datasets as Python users expect arrays to behave: windows of short data,
NumPy indexing, xarray in and out, the element format that follows the
array, and a package that documents itself."""
import importlib.metadata
import inspect
import os

import numpy as np
import pytest

import kov
from conftest import run_python


# 6. Windows of short data.
def test_windows_inside_short_data_read_and_outside_fail_quietly(workdir, cube):
    kov.write("c.H", cube)
    raw = (workdir / "c.H@").read_bytes()
    (workdir / "c.H@").write_bytes(raw[:len(raw) - 4 * 6 * 2])  # the last two traces missing
    code = """
import numpy as np, kov
ds = kov.open("c.H")
print(ds.read(window={1: (3, 0, 2), 2: (2, 0, 1), 3: (1, 0, 1)}).ravel().tolist())
print(ds[0, :2, ::2].ravel().tolist())
try:
    ds.read(window={1: (3, 0, 2), 3: (1, 3, 1)})
except kov.KovError as e:
    print("short", "c.H" in str(e), "kovpy" in str(e))
"""
    done = run_python(code, workdir)
    assert done.returncode == 0, done.stderr
    first = cube[0, :2, ::2].ravel().tolist()
    assert done.stdout.splitlines() == [str(first), str(first), "short True False"]
    assert "nloop" not in done.stderr and "mode=" not in done.stderr


# 9. Array protocols.
def test_indexing_follows_numpy(workdir, cube):
    kov.write("i.H", cube)
    ds = kov.open("i.H")
    for key in [Ellipsis, 1, -1, slice(1, 3), (slice(None), slice(None, None, 2)),
                (Ellipsis, -2), (slice(None, None, -1), 3, slice(5, 0, -2)), (2, [0, 3], 1),
                (slice(None), None, 1), (0, slice(4, 2)), (np.int64(3), slice(-2, None)),
                ([True, False, True, False],)]:
        np.testing.assert_array_equal(ds[key], cube[key], err_msg=repr(key))
        assert ds[key].shape == cube[key].shape
    for key in [4, -5, (0, 0, 0, 0), (0, 9)]:
        with pytest.raises(IndexError):
            ds[key]
    assert (len(ds), ds.size, ds.ndim, ds.dtype, ds.closed) == (4, 120, 3, np.float32, False)
    np.testing.assert_array_equal(np.asarray(ds), cube)
    assert "i.H" in repr(ds) and "(4, 5, 6)" in repr(ds)
    ds.close()
    assert ds.closed and "closed" in repr(ds)
    with pytest.raises(kov.KovError):
        ds[0]


def test_boolean_scalars_and_masks_follow_numpy(workdir, cube):
    kov.write("i.H", cube)
    ds = kov.open("i.H")
    masks = [cube > 10, cube[0] < 0, cube[:, :, 0] > -5, cube[0, 0] > -5]
    keys = [True, False, (0, True), (Ellipsis, False), (True, 1, slice(None), np.False_),
            (None, True, 2), np.True_, masks[0], (1, masks[1]), (masks[2], slice(4)),
            (Ellipsis, masks[3]), (masks[2], 3), (slice(None, None, -1), masks[1]),
            np.zeros(cube.shape, bool)]
    for key in keys:
        np.testing.assert_array_equal(ds[key], cube[key], err_msg=repr(key))
        assert ds[key].shape == cube[key].shape, repr(key)
    for key in [cube[0, 0] > 0, (masks[0], 0), np.ones((4, 6), bool)]:
        with pytest.raises(IndexError):
            ds[key]


# 12. Data semantics.
def test_the_default_format_follows_the_array_and_lossy_conversions_are_asked(workdir):
    ints = np.arange(-6, 6, dtype=np.int32).reshape(3, 4) * 100003
    kov.write("i.H", ints)
    kov.write("c.H", (ints + 1j).astype(np.complex64))
    kov.write("b.H", np.arange(12, dtype=np.uint8))
    kov.write("f.H", np.linspace(0, 1, 5))  # float64 values that float32 holds exactly
    for name, fmt, dtype in [("i.H", "xdr_int", np.int32), ("c.H", "xdr_float", np.complex64),
                             ("b.H", "xdr_byte", np.uint8), ("f.H", "xdr_float", np.float32)]:
        with kov.open(name) as ds:
            assert (ds.data_format, ds.dtype) == (fmt, dtype)
    np.testing.assert_array_equal(kov.open("i.H").read(), ints)
    with pytest.raises(ValueError, match="data_format"):
        kov.write("x.H", np.array([0.1, 0.2]))  # float64 that float32 rounds
    with pytest.raises(ValueError, match="do not fit"):
        kov.write("x.H", np.array([1, 300]), data_format="xdr_byte")
    with pytest.raises(ValueError, match="complex"):
        kov.write("x.H", np.ones(3, np.complex64), data_format="xdr_int")
    kov.write("x.H", np.array([0.1, 0.2]), data_format="xdr_float")  # asked: converted
    assert kov.open("x.H").read()[0] == np.float32(0.1)


def test_to_kov_later_and_block_writers(workdir, cube):
    from dask.delayed import Delayed
    kov.write("s.H", cube)
    darr = kov.open("s.H").to_dask(chunks={3: 2})
    later = kov.to_kov(darr + 1, "later.H", compute=False)
    assert isinstance(later, Delayed)
    assert not (workdir / "later.H").exists()
    later.compute(scheduler="threads")
    np.testing.assert_array_equal(kov.open("later.H").read(), cube + 1)
    assert sorted(p.name for p in workdir.iterdir()) == ["later.H", "later.H@", "s.H", "s.H@"]


# 7, 10, 11. xarray both ways.
def test_xarray_streams_are_read_once(workdir, cube):
    xr = pytest.importorskip("xarray")
    kov.write("v.H", cube, label=["z", "x", "y"])
    (workdir / "count").write_text("")
    v = xr.open_dataarray("echo >> count; cat v.H |", engine="kov")
    for _ in range(4):
        np.testing.assert_array_equal(v[1].values, cube[1])
    assert (workdir / "count").read_text() == "\n"
    code = """
import xarray as xr, kov
v = xr.open_dataarray("-", engine="kov")
print(v.dims, float(v.sum()), float(v[0].sum()))
"""
    with open(workdir / "v.H", "rb") as stdin:
        done = run_python(code, workdir, stdin=stdin)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["('y',", "'x',", "'z')", str(float(cube.sum())),
                                   str(float(cube[0].sum()))]


def test_a_dataarray_is_written_back_with_its_axes(workdir, cube):
    xr = pytest.importorskip("xarray")
    kov.write("v.H", cube, o=[1000, -15000, 0], d=[4, 25, 1], label=["z", "x", "y"],
              unit=["m", "m"])
    ds = kov.open("v.H")
    v = xr.open_dataarray("v.H", engine="kov")
    window = v.sel(z=slice(1008, None), x=slice(-14975, -14925))
    kov.write("w.H", window, like=ds)
    with kov.open("w.H") as w:
        assert [(a.n, a.o, a.d, a.label) for a in w.axes] == [
            (4, 1008.0, 4.0, "z"), (3, -14975.0, 25.0, "x"), (4, 0.0, 1.0, "y")]
        assert w.axes[0].unit == "m"
        np.testing.assert_array_equal(w.read(), cube[:, 1:4, 2:])
    # Attributes become parameters; a lazy one is written block by block.
    lazy = xr.open_dataarray("v.H", engine="kov", chunks={"y": 1}) * 2
    lazy.attrs = {"source": "model", "gain": 2.5}
    kov.write("lazy.H", lazy)
    with kov.open("lazy.H") as w:
        assert w.param("source") == "model" and w.param("gain", float) == 2.5
        assert [a.label for a in w.axes] == ["z", "x", "y"]
        np.testing.assert_array_equal(w.read(), cube * 2)
    uneven = xr.DataArray(np.ones(3, np.float32), dims=["t"], coords={"t": [0.0, 1.0, 3.0]})
    with pytest.raises(ValueError, match="evenly spaced"):
        kov.write("u.H", uneven)
    assert not (workdir / "u.H").exists()


def test_the_engine_follows_the_backend_conventions(workdir, cube):
    xr = pytest.importorskip("xarray")
    from kov.xarray_backend import KovBackendEntrypoint
    engine = KovBackendEntrypoint()
    assert engine.description and engine.url
    assert "drop_variables" in engine.open_dataset_parameters
    kov.write("any_name", cube, label=["z", "", "y"])
    (workdir / "Hdir").mkdir()
    (workdir / "Hnotes.H").write_text("shopping list\n")
    assert engine.guess_can_open(str(workdir / "any_name"))
    assert not engine.guess_can_open(str(workdir / "Hdir"))
    assert not engine.guess_can_open(str(workdir / "Hnotes.H"))
    v = xr.open_dataset("any_name", engine="kov")
    assert v["data"].dims == ("y", "axis2", "z")
    assert v.attrs == {} and v["data"].attrs["n1"] == 6


# 13. A package a Python user can read.
def test_the_package_documents_itself():
    assert kov.__version__ == importlib.metadata.version("kov")
    meta = importlib.metadata.metadata("kov")
    assert "numpy" in " ".join(meta.get_all("Requires-Dist") or [])
    assert meta["License"]
    assert os.path.exists(os.path.join(os.path.dirname(kov.__file__), "py.typed"))
    for name in ["open", "write", "create", "to_kov"]:
        doc = inspect.getdoc(getattr(kov, name))
        assert all(part in doc for part in ("Parameters", "Returns", "Raises")), name
        assert inspect.signature(getattr(kov, name)).return_annotation is not inspect._empty
    for name in ["read", "memmap", "to_dask", "param"]:
        doc = inspect.getdoc(getattr(kov.Dataset, name))
        assert "Returns" in doc, name
