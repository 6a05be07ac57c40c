"""read_series on series files built here with h5py, in the layout phasegrid
writes, and on the file of a real run (--h5)."""

import numpy as np
import pytest

import phasegrid
from conftest import DUMPS, grid_name

h5py = pytest.importorskip("h5py")

OUTSIDE = np.dtype([("above_columns", "<i8"), ("outside_rows", "<i8"), ("nan", "<i8")])
UNITS = (1.991e33, 3.086e17, 14874038434801.994)


def write_series(path, strings="utf-8", **changes):
    """A series file of three dumps, the second stopped by a fault. Strings
    are variable-length UTF-8, or fixed-length bytes with strings="bytes";
    `changes` replaces datasets or root attributes by name (None leaves one
    out)."""
    rng = np.random.default_rng(3)
    counts = np.zeros((3, 540, 700), np.uint32)
    counts[0, 100:140, 300:360] = rng.integers(0, 50, (40, 60))
    counts[2, 200, 500] = 4_000_000_000  # beyond int32
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
        "dump_units": np.array([UNITS] * 3),
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
    assert s.counts.dtype == np.uint32 and s.counts.shape == (3, 540, 700)
    np.testing.assert_array_equal(s.counts, data["counts"])
    np.testing.assert_array_equal(s.log10_n_edges, phasegrid.LOG10_N_EDGES)
    np.testing.assert_array_equal(s.log10_T_edges, phasegrid.LOG10_T_EDGES)
    np.testing.assert_array_equal(s.time, [0.75, 1.0, 1.25])
    np.testing.assert_array_equal(s.time_ff, data["time_ff"])
    np.testing.assert_array_equal(s.npart, [3000, 3000, 3500])
    np.testing.assert_array_equal(s.binned, data["binned"])
    assert s.outside["nan"].tolist() == [3, 0, 6] and s.outside[2].tolist() == (4, 5, 6)
    assert s.dumps == ["full001", "dümp 2", "run/full003"]
    assert s.grid_files[0] == "QGfull00101" and s.status[1] == "stopped by a fault"
    assert all(type(v) is str for v in s.dumps + s.grid_files + s.status)
    np.testing.assert_array_equal(s.dump_units, [UNITS] * 3)
    assert s.attrs["format"] == "phasegrid series 1" and s.attrs["centre"] == "p"
    assert s.attrs["rotate"] == 1 and s.attrs["frequency"] == 2.5e-13
    np.testing.assert_array_equal(s.attrs["centre_position"], [0.1, 0.0, -0.2])
    np.testing.assert_array_equal(s.attrs["dump_units"], [UNITS] * 3)
    # The grid file's values: log10 count, -1 for an empty cell; exact
    # beyond 2^31.
    g = s.log10_counts(2)
    assert g[200, 499] == -1.0 and g[200, 500] == np.log10(4e9)


@pytest.mark.parametrize("change, says", [
    ({"format": "something else"}, "not a phasegrid series file"),
    ({"format": None}, "not a phasegrid series file"),
    ({"time": np.array([0.75, 1.0])}, r"time has shape \(2,\), not \(3,\)"),
    ({"status": np.array(["complete"], dtype=h5py.string_dtype())}, "status holds 1 entries, not 3"),
    ({"counts": np.zeros((3, 700, 540), np.uint32)}, "not integers of shape"),
    ({"counts": np.full((3, 540, 700), -1, np.int32)}, "negative"),
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
    assert len(s) == 3 and s.counts.dtype == np.uint32
    assert [p.rsplit("/", 1)[-1] for p in s.dumps] == names
    assert s.status == ["complete", "complete", "ended early"]
    assert s.attrs["format"] == "phasegrid series 1"
    # The bounds the binning uses: within 1e-7 of c/50 and r/200.
    np.testing.assert_allclose(s.log10_n_edges, phasegrid.LOG10_N_EDGES, rtol=0, atol=1e-6)
    np.testing.assert_allclose(s.log10_T_edges, phasegrid.LOG10_T_EDGES, rtol=0, atol=1e-6)
    np.testing.assert_array_equal(s.dump_units[:2], [UNITS] * 2)
    for k, name in enumerate(names):
        time, time_ff, grid = phasegrid.read_index(folder / f"IP{name}")
        assert (s.grid_files[k], grid) == (grid_name(name), grid_name(name))
        assert s.time[k] == pytest.approx(time, rel=1e-5) and s.time_ff[k] == pytest.approx(time_ff, rel=1e-5)
        # The series' counts printed as the grid file prints them.
        with open(folder / grid) as f:
            lines = f.read().splitlines()[1:]
        assert lines == [" ".join(f"{v:10.3f}" for v in row) for row in s.log10_counts(k).tolist()]
        assert s.binned[k] == s.counts[k].sum()
        assert s.binned[k] + sum(s.outside[k].tolist()) <= s.npart[k]


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
