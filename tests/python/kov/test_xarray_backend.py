# SPDX-License-Identifier: Apache-2.0
"""The xarray engine "kov"."""
import importlib.metadata

import numpy as np
import pytest
import xarray as xr

import kov


def test_the_engine_is_found_by_its_entry_point():
    names = [e.name for e in importlib.metadata.entry_points(group="xarray.backends")]
    assert "kov" in names
    assert "kov" in xr.backends.list_engines()


def test_dims_coords_attrs_and_lazy_windowed_access(workdir, cube):
    kov.write("v.H", cube, o=[100, 0, -1], d=[4, 0.5, 2], label=["z", "x", "y"], unit=["m"])
    v = xr.open_dataarray("v.H", engine="kov")
    assert v.dims == ("y", "x", "z")
    np.testing.assert_array_equal(v["z"], 100 + 4 * np.arange(6))
    np.testing.assert_array_equal(v["y"], -1 + 2 * np.arange(4))
    assert v["z"].attrs["units"] == "m"
    assert v.attrs["n1"] == 6 and v.attrs["d2"] == 0.5 and v.attrs["label1"] == "z"
    # Nothing was read yet: the data can move away until they are asked for.
    (workdir / "v.H@").rename(workdir / "away")
    assert v.variable._in_memory is False
    (workdir / "away").rename(workdir / "v.H@")
    np.testing.assert_array_equal(v.isel(y=2, z=slice(1, 6, 2)).values, cube[2, :, 1::2])
    np.testing.assert_array_equal(v.sel(x=1.0).values, cube[:, 2, :])
    np.testing.assert_array_equal(v.values, cube)


def test_unlabelled_axes_and_dask_chunks(workdir, cube):
    kov.write("u.H", cube)
    ds = xr.open_dataset("u.H", engine="kov", chunks={"axis3": 1, "axis2": 2})
    var = ds["data"]
    assert var.dims == ("axis3", "axis2", "axis1")
    assert var.chunks == ((1, 1, 1, 1), (2, 2, 1), (6,))
    np.testing.assert_array_equal(var.values, cube)
    assert float(var.mean()) == pytest.approx(float(cube.mean()))


def test_every_step_lands_on_its_coordinate_without_chunks(workdir):
    a = np.arange(40 * 7, dtype=np.float32).reshape(40, 7)
    kov.write("s.H", a, label=["y", "x"])
    v = xr.open_dataarray("s.H", engine="kov")
    for step in (-1, -2, -3, -5, 3):
        for start, stop in ((None, None), (30, 2), (-4, None)):
            key = slice(start, stop, step)
            got = v.isel(x=key)
            np.testing.assert_array_equal(got.values, a[key], err_msg=repr(key))
            np.testing.assert_array_equal(got["x"].values, np.arange(40)[key])
            np.testing.assert_array_equal(v.isel(x=key, y=[6, 0, 2]).values, a[key][:, [6, 0, 2]])
    np.testing.assert_array_equal(v[::-3, ::-2][1:3].values, a[::-3, ::-2][1:3])


def test_a_series_of_files_is_one_variable(workdir, cube):
    kov.write("part1.H", cube[:2], o=[0, 0, 0], label=["z", "x", "t"])
    kov.write("part2.H", cube[2:], o=[0, 0, 2], label=["z", "x", "t"])
    both = xr.open_mfdataset(["part1.H", "part2.H"], engine="kov", combine="by_coords")
    assert list(both.data_vars) == ["data"]
    np.testing.assert_array_equal(both["data"].values, cube)
    named = xr.open_dataset("part1.H", engine="kov", name="vel")
    assert list(named.data_vars) == ["vel"]
