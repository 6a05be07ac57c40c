"""read_series and open_series on the files of real runs (--h5), through
netCDF-C and xarray too, and on files built here with h5py in the layout
phasegrid wrote before (format 1)."""

import shutil

import numpy as np
import pytest

import phasegrid
from conftest import DUMPS, PHASEGRID, grid_name, run

h5py = pytest.importorskip("h5py")

OUTSIDE = np.dtype([("above_columns", "<i8"), ("outside_rows", "<i8"), ("nan", "<i8")])
UNITS = (1.991e33, 3.086e17, 14874038434801.994)


def write_series(path, strings="utf-8", **changes):
    """A format-1 series file of three dumps, the second stopped by a fault. Strings
    are variable-length UTF-8, or fixed-length bytes with strings="bytes";
    `changes` replaces datasets or root attributes by name (None leaves one
    out)."""
    rng = np.random.default_rng(3)
    counts = np.zeros((3, 540, 700), np.uint32)
    counts[0, 100:140, 300:360] = rng.integers(0, 50, (40, 60))
    counts[2, 200, 500] = 2_000_000_000  # beyond int16, within what a dump holds
    names = ["full001", "dümp 2", "run/full003"]
    fixed = {
        "utf-8": lambda v: np.array(v, dtype=h5py.string_dtype("utf-8")),
        "bytes": lambda v: np.array([s.encode() for s in v]),
    }[strings]
    data = {
        "counts": counts,
        "log10_n_edges": phasegrid.LOG10_N_EDGES,
        "log10_T_edges": phasegrid.LOG10_T_EDGES,
        "time": np.array([0.75, 1.0, 1.25]),
        "time_ff": np.array([0.15451, 0.20601, 0.25752]),
        "npart": np.array([3000, 3000, 3500], np.int64),
        "binned": counts.sum(axis=(1, 2), dtype=np.int64),
        "outside": np.array([(1, 2, 3), (0, 0, 0), (4, 5, 6)], OUTSIDE),
        "dump": fixed(names),
        "grid_file": fixed([grid_name(n) if len(n) <= 7 else "QGrun/full00301" for n in names]),
        "status": fixed(["complete", "stopped by a fault", "ended early"]),
        "dump_units": np.array([UNITS, (0, 0, 0), UNITS]),
    }
    text = (lambda s: s) if strings == "utf-8" else (lambda s: np.bytes_(s.encode()))
    attrs = {
        "version": text("1.0.0"), "centre": text("p"), "centre_position": np.array([0.1, 0.0, -0.2]),
        "sink_number": np.int64(0), "rotate": np.int64(1), "frequency": 2.5e-13,
        "grid_units": np.array([1.991e33, 3.086e17, 14874038434801.994]), "density_to_n": 33873.0,
        "description": text("phase grids of a run"), "format": text("phasegrid series 1"),
        "dump_units": np.array([UNITS] * 3),
    }
    for name, value in changes.items():
        (data if name in data else attrs)[name] = value
    with h5py.File(path, "w") as f:
        for name, value in data.items():
            if value is not None:
                f.create_dataset(name, data=value)
        for name, value in attrs.items():
            if value is not None:
                f.attrs[name] = value
    return data


@pytest.mark.parametrize("strings", ["utf-8", "bytes"])
def test_reads_every_part_of_a_series(tmp_path, strings):
    data = write_series(tmp_path / "s.h5", strings)
    s = phasegrid.read_series(tmp_path / "s.h5")
    assert len(s) == 3
    assert s.counts.dtype == np.int32 and s.counts.shape == (3, 540, 700)
    np.testing.assert_array_equal(s.counts, data["counts"])
    np.testing.assert_array_equal(s.log10_n_edges, phasegrid.LOG10_N_EDGES)
    np.testing.assert_array_equal(s.log10_T_edges, phasegrid.LOG10_T_EDGES)
    np.testing.assert_array_equal(s.time, [0.75, 1.0, 1.25])
    np.testing.assert_array_equal(s.time_ff, data["time_ff"])
    np.testing.assert_array_equal(s.npart, [3000, 3000, 3500])
    np.testing.assert_array_equal(s.binned, data["binned"])
    assert s.outside["nan"].tolist() == [3, 0, 6] and s.outside[2].tolist() == (4, 5, 6)
    np.testing.assert_array_equal(s.inactive, s.npart - s.binned - [6, 0, 15])  # what npart leaves over
    assert np.isnan(s.centre).all()
    assert s.dumps == ["full001", "dümp 2", "run/full003"]
    assert s.grid_files[0] == "QGfull00101" and s.status[1] == "stopped by a fault"
    assert all(type(v) is str for v in s.dumps + s.grid_files + s.status)
    np.testing.assert_array_equal(s.dump_units, [UNITS, (0, 0, 0), UNITS])
    assert np.isnan(s.time_s[1]) and s.time_s[2] == 1.25 * UNITS[2]  # no time unit, no seconds
    assert s.attrs["format"] == "phasegrid series 1" and s.attrs["centre"] == "p"
    assert s.attrs["rotate"] == 1 and s.attrs["frequency"] == 2.5e-13
    np.testing.assert_array_equal(s.attrs["centre_position"], [0.1, 0.0, -0.2])
    np.testing.assert_array_equal(s.attrs["dump_units"], [UNITS] * 3)
    # The grid file's values: log10 count, -1 for an empty cell; exact
    # beyond 2^16.
    g = s.log10_counts(2)
    assert g[200, 499] == -1.0 and g[200, 500] == np.log10(2e9)


@pytest.mark.parametrize("change, says", [
    ({"format": "something else"}, "not a phasegrid series file"),
    ({"format": None}, "not a phasegrid series file"),
    ({"time": np.array([0.75, 1.0])}, r"time has shape \(2,\), not \(3,\)"),
    ({"status": np.array(["complete"], dtype=h5py.string_dtype())}, "status holds 1 entries, not 3"),
    ({"counts": np.zeros((3, 700, 540), np.uint32)}, "not integers of shape"),
    ({"counts": np.full((3, 540, 700), -1, np.int32)}, "below 0"),
    ({"counts": np.full((3, 540, 700), 3_000_000_000, np.uint32)}, "above 2147483647"),
    ({"binned": None}, 'no dataset "binned"'),
    ({"outside": np.zeros(3, [("above_columns", "<i8"), ("nan", "<i8")])}, "no field outside_rows"),
])
def test_files_that_are_not_series_are_refused(tmp_path, change, says):
    write_series(tmp_path / "s.h5", **change)
    with pytest.raises(ValueError, match=says):
        phasegrid.read_series(tmp_path / "s.h5")


def test_not_hdf5_is_an_os_error(tmp_path):
    (tmp_path / "grid").write_text("#   700  540\n")
    with pytest.raises(OSError):
        phasegrid.read_series(tmp_path / "grid")


def test_series_of_a_real_run(series_run):
    """The run's dumps in order, each as its grid and index files give it; the
    dump cut short is recorded as ended early."""
    folder, path = series_run
    s = phasegrid.read_series(path)
    names = list(DUMPS) + ["cut"]
    assert len(s) == 3 and s.counts.dtype == np.int32
    assert [p.rsplit("/", 1)[-1] for p in s.dumps] == names
    assert s.status == ["complete", "complete", "ended early"]
    assert s.attrs["format"] == "phasegrid series 3"
    # The bounds the binning uses: within 1e-7 of c/50 and r/200.
    np.testing.assert_allclose(s.log10_n_edges, phasegrid.LOG10_N_EDGES, rtol=0, atol=1e-6)
    np.testing.assert_allclose(s.log10_T_edges, phasegrid.LOG10_T_EDGES, rtol=0, atol=1e-6)
    np.testing.assert_array_equal(s.dump_units[:2], [UNITS] * 2)
    for k, name in enumerate(names):
        time, time_ff, grid = phasegrid.read_index(folder / f"IP{name}")
        assert (s.grid_files[k], grid) == (grid_name(name), grid_name(name))
        assert s.time[k] == pytest.approx(time, rel=1e-5) and s.time_ff[k] == pytest.approx(time_ff, rel=1e-5)
        assert_grid_file_holds(folder / grid, s.counts[k])
        assert s.binned[k] == s.counts[k].sum()
        assert s.binned[k] + sum(s.outside[k].tolist()) <= s.npart[k]
    outside = s.outside_above_columns + s.outside_rows + s.outside_nan
    np.testing.assert_array_equal((s.binned + s.inactive + outside)[:2], s.npart[:2])
    np.testing.assert_array_equal(s.time_s, s.time * s.dump_utime)
    assert s.centre.shape == (3, 3)


def assert_grid_file_holds(path, counts):
    """The counts printed as the grid file prints them are its rows."""
    with open(path) as f:
        lines = f.read().splitlines()[1:]
    assert lines == [" ".join(f"{v:10.3f}" for v in row) for row in phasegrid.grid_values(counts).tolist()]


def test_netcdf_and_xarray_read_a_real_run(series_run):
    """ncdump (netCDF-C) and xarray's default engine read the run's file as it
    is, and to_xarray() gives what xarray reads."""
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")  # xarray's default engine
    if not shutil.which("ncdump"):
        pytest.skip("ncdump is not installed (Debian: netcdf-bin)")
    folder, path = series_run
    header = run("ncdump", "-h", path, cwd=folder).stdout
    for dimension in ("dump = UNLIMITED ; // (3 currently)", "log10_T = 540", "log10_n = 700", "bounds = 2",
                      "xyz = 3"):
        assert dimension in header
    with xarray.open_dataset(path) as ds, phasegrid.open_series(path) as s:
        for k, name in enumerate(list(DUMPS) + ["cut"]):
            assert_grid_file_holds(folder / grid_name(name), ds["counts"][k].values)
        mine = s.to_xarray(all_rows=True)
        xarray.testing.assert_equal(mine, ds)
        assert mine["time_s"].attrs == ds["time_s"].attrs and mine.attrs["format"] == "phasegrid series 3"
        # What a scientist does with it: plot against time, select by time,
        # difference and sum without a cast, the dump that ended early left
        # out by default, labels as a physicist writes them.
        for view in (ds, mine):
            assert set(view.coords) >= {"time", "time_s", "time_ff", "status", "complete"}
            assert view.swap_dims(dump="time").sel(time=view.time[0]).binned == view.binned[0]
            assert list(view.complete.values) == [True, True, False]
            assert (view.counts[0] - view.counts[1]).min() < 0 and view.counts.dtype == np.int32
        assert int(mine.counts.sum()) == int(s.binned.sum()) == int(ds.counts.sum())
        fine = s.to_xarray()
        assert fine.sizes["dump"] == 2 and "1 dumps not complete" in fine.attrs["rows_left_out"]
        assert int(fine.counts.sum("dump").sum()) == int(s.binned[:2].sum())
        import matplotlib
        matplotlib.use("Agg")
        from xarray.plot.utils import label_from_attrs
        assert label_from_attrs(fine.log10_n) == "log10 number density [cm-3]"
        assert label_from_attrs(fine.counts) == "particles in the cell"
        fine.binned.plot(x="time")
        matplotlib.pyplot.close("all")


def test_several_files_are_one_series_in_time_order(series_run, tmp_path):
    """Two runs' files, by a pattern: their dumps by time, the dump of no time
    last, ties in the order of the files; counts read as asked, from the
    file they were opened in."""
    folder, path = series_run
    shutil.copy(path, tmp_path / "a.h5")
    dumps = [folder.parent / "d2", tmp_path / "missing", folder.parent / "d1"]  # times 1.5, none, 0.75
    r = run(PHASEGRID, "-q", "-k", "-c", "m", "-o", tmp_path, "--h5", tmp_path / "b.h5", *dumps, cwd=tmp_path,
            check=False)
    assert r.returncode == 1, r.stderr
    a, b = phasegrid.read_series(tmp_path / "a.h5"), phasegrid.read_series(tmp_path / "b.h5")
    rows = [(a, 0), (b, 2), (a, 1), (a, 2), (b, 0), (b, 1)]
    with phasegrid.open_series(str(tmp_path / "*.h5")) as s:
        assert isinstance(s.counts, phasegrid.Counts) and s.files == [str(tmp_path / n) for n in ("a.h5", "b.h5")]
        assert [d.rsplit("/", 1)[-1] for d in s.dump] == ["d1", "d1", "d2", "cut", "d2", "missing"]
        assert s.status[-1] == "could not be opened" and np.isnan(s.time[-1])
        assert "centre" not in s.attrs and s.file_attrs[1]["centre"] == "m"  # the files disagree
        for k, (f, row) in enumerate(rows):
            np.testing.assert_array_equal(s.counts[k], f.counts[row])
            assert s.npart[k] == f.npart[row] and s.grid_file[k] == f.grid_file[row]
        np.testing.assert_array_equal(s.counts[[4, 0], 300:310, 50], [b.counts[0, 300:310, 50], a.counts[0, 300:310, 50]])
        np.testing.assert_array_equal(s.to_xarray()["counts"][2].values, a.counts[1])
        # A later run's file put in its place, as phasegrid puts it, once
        # this one's was closed.
        s.close()
        shutil.copy(tmp_path / "b.h5", tmp_path / "new.h5")
        (tmp_path / "new.h5").replace(tmp_path / "a.h5")
        with pytest.raises(OSError, match="has changed since it was opened"):
            s.counts[0]
    joined = phasegrid.read_series([tmp_path / "b.h5", tmp_path / "b.h5"])
    assert len(joined) == 6 and joined.dumps[:2] == [str(dumps[2])] * 2
    with pytest.raises(FileNotFoundError, match="no file matches"):
        phasegrid.open_series(str(tmp_path / "*.nc"))


def test_the_documented_example_runs(tmp_path, monkeypatch):
    import os
    import re

    source = os.environ.get("PHASEGRID_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
    with open(os.path.join(source, "docs", "python.md")) as f:
        example = re.search(r"```python\n(.*?)```", f.read(), re.S).group(1)
    monkeypatch.setenv("MPLCONFIGDIR", str(tmp_path))
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.chdir(tmp_path)
    write_series(tmp_path / "run.h5")
    exec(example, {})
    assert (tmp_path / "last.png").stat().st_size > 0 and (tmp_path / "total.png").stat().st_size > 0
