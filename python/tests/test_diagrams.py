"""Diagrams in series files: read as xarray reads them, joined over files, refused when damaged; a
run's cells against numpy's (bench/diagram_numpy.py)."""

import os
import shutil
import sys

import numpy as np
import pytest

import phasegrid
from conftest import MKDUMP, PHASEGRID, run
from diagram_files import add_diagram

h5py = pytest.importorskip("h5py")

N = ("log10_n_2", "n", "log", np.linspace(0, 14, 8), "log10 number density", "lg(re 1 cm-3)")
R = ("log10_r", "r", "log", np.linspace(-4, 1, 6), "log10 distance from the centre", "")
H2 = ("H2Frac", "H2Frac", "lin", np.linspace(0, 1, 5), "H2 fraction", "")
COUNTS = np.arange(3 * 5 * 7, dtype=np.int32).reshape(3, 5, 7) * np.array([1, 1, 0], np.int32)[:, None, None]
MEANS = np.where(np.arange(3 * 4 * 7).reshape(3, 4, 7) % 5, np.nan, 8.5)
NAMES = ["count_log10_n_log10_r", "mean_DustTemperature_log10_n_H2Frac"]


@pytest.fixture
def with_diagrams(series_run, tmp_path):
    """The run's series (d1, d2, cut) with two diagrams sharing their x axis."""
    shutil.copy(series_run[1], path := tmp_path / "run.h5")
    add_diagram(path, NAMES[0], "n:log:0:14:7,r:log:-4:1:5,count", (N, R), COUNTS, [0, 0, 3], long_name="particles")
    add_diagram(path, NAMES[1], "n:log:0:14:7,H2Frac:lin:0:1:4,mean:DustTemperature", (N, H2), MEANS, [0, 1, 3],
                long_name="mean DustTemperature", units="K")
    return path


def test_diagrams_read_as_xarray_reads_them(with_diagrams, series_run):
    xarray = pytest.importorskip("xarray")
    pytest.importorskip("netCDF4")
    with phasegrid.open_series(with_diagrams) as s, xarray.open_dataset(with_diagrams) as ds:
        assert s.diagrams == NAMES
        c, m = (s.diagram(name) for name in NAMES)
        assert (c.weight, c.of, m.weight, m.of, m.units) == ("count", None, "mean", "DustTemperature", "K")
        assert (c.x.name, m.x.name, c.y.quantity, c.y.scale, m.y.scale) == ("log10_n_2", "log10_n_2", "r", "log", "lin")
        assert (c.cells.dtype, m.cells.dtype, list(m.status)) == (np.int32, np.float64, [0, 1, 3])
        np.testing.assert_array_equal(c.cells[1], COUNTS[1])
        np.testing.assert_array_equal(m.cells[[0, 2]], MEANS[[0, 2]])
        xarray.testing.assert_equal(mine := s.to_xarray(all_rows=True), ds)
        from xarray.plot.utils import label_from_attrs
        assert label_from_attrs(mine.log10_n_2) == "log10 number density [cm-3]"
        assert label_from_attrs(mine[NAMES[1]]) == "mean DustTemperature [K]"
        fine = s.to_xarray()  # "cut" ended early: left out
        assert list(fine[NAMES[0] + "_status"].values) == [0, 0] and int(fine[NAMES[0]].sum()) == COUNTS.sum()
    assert phasegrid.open_series(series_run[1]).diagrams == []


def test_diagrams_of_several_files(with_diagrams, series_run, tmp_path):
    shutil.copy(with_diagrams, other := tmp_path / "b.h5")
    with h5py.File(other, "a") as f:
        f[NAMES[0]][...] = COUNTS + 1000
        f[NAMES[0] + "_status"][...] = [0, 1, 2]
    # Times 0.75, 1.5, 1.5 in each: a0, b0, a1, a2, b1, b2.
    with phasegrid.open_series([with_diagrams, other]) as s:
        np.testing.assert_array_equal(s.diagram(NAMES[0]).cells[:, 0, 0], [0, 1000, 35, 0, 1035, 1000])
        assert list(s.diagram(NAMES[0]).status) == [0, 0, 0, 3, 1, 2]
    # A diagram not in every file is not the series'.
    assert phasegrid.open_series([with_diagrams, series_run[1]]).diagrams == []


@pytest.mark.parametrize("damage, says", [
    (lambda f: f.__delitem__(NAMES[0] + "_status"), f'no dataset "{NAMES[0]}_status"'),
    (lambda f: f.attrs.modify("diagrams", "missing"), 'no dataset "missing"'),
    (lambda f: f[NAMES[0]].dims[1].detach_scale(f["log10_r"]), "names no coordinate"),
    (lambda f: f[NAMES[0]].__setitem__(0, -1), "below 0"),
])
def test_damaged_diagrams_are_refused(with_diagrams, damage, says):
    with h5py.File(with_diagrams, "a") as f:
        damage(f)
    with pytest.raises(ValueError, match=says):
        phasegrid.read_series(with_diagrams)


def test_a_runs_diagrams_are_numpys(run_dir, tmp_path):
    if "--diagram" not in run(PHASEGRID, "--help", cwd=run_dir).stdout:
        pytest.skip("phasegrid has no --diagram option yet")
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
    import diagram_numpy as ref

    run(MKDUMP, "--particles", "3000", "--no-chemistry", "nochem", cwd=tmp_path)
    r = run(PHASEGRID, "-q", "-c", "d", "-o", tmp_path, "--h5", "s.h5", "--diagram", "n,H2Frac,mass", "--diagram",
            "n,r:log:-4:1:250", run_dir / "d1", "nochem", cwd=tmp_path, check=False)
    assert r.returncode in (0, 1), r.stderr  # (a diagram that lacks a quantity may count as a problem)
    s = phasegrid.read_series(tmp_path / "s.h5")
    if not s.diagrams:
        pytest.skip("phasegrid writes no diagrams into the series yet")
    p, umass = ref.read((run_dir / "d1").read_bytes())
    np.testing.assert_allclose(s.centre[0], ref.density_peak(p), rtol=1e-12, atol=1e-12)
    mass, count = s.diagram(s.diagrams[0]), s.diagram(s.diagrams[1])
    # The same cells, but for a particle or two that a last bit puts across an edge.
    numpy_mass, numpy_count = ref.diagrams(p, umass, ref.density_peak(p))
    assert np.abs(count.cells[0] - numpy_count).sum() <= 4
    assert np.abs(mass.cells[0] - numpy_mass).sum() <= 4 * np.median(p["m"]) * umass + 1e-9 * numpy_mass.sum()
    # No H2 fractions in the second dump: its mass diagram is NaN, its counts are there.
    assert list(mass.status) == [0, 1] and list(count.status) == [0, 0]
    assert np.isnan(mass.cells[1]).all() and count.cells[1].sum() > 2000
