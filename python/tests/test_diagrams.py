"""Diagrams in series files: read as xarray reads them, joined over files, refused when damaged; a
run's cells against numpy's (bench/diagram_numpy.py)."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import phasegrid
from conftest import MKDUMP, NATIVE, PHASEGRID, run
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


# The arrays a dump may carry, by group and type slot, in their order.
ARRAYS = {(1, 2): ["iphase"], (1, 6): ["x", "y", "z", "m", "h", "vx", "vy", "vz", "u"], (1, 7): ["rho"],
          (3, 6): ["Erad", "opacity", "Cv", "lambda", "EddingtonFactor", "DustTemperature", "DustOpacity"],
          (3, 7): ["Cplus", "AtomicC", "CO", "HeatingISR", "Gphotoelectric", "Extinction", "H2SelfShielding",
                   "H2Frac", "dH2dt"]}
TYPES = {2: np.int8, 6: np.float64, 7: np.float32}


def every_array(path):
    """{tag: values of every particle} of a tagged dump, the arrays every block carries, read independently of
    phasegrid (bench/numpy_bin.py's record walker)."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
    from numpy_bin import header
    buf = open(path, "rb").read()
    r, npart, n_blocks = header(buf)
    (n_lengths,) = r.ints("<i")
    found = {}
    for b in range(n_blocks):
        groups = [r.ints("<q8i") for _ in range(n_lengths // n_blocks)]
        n = min(npart, groups[0][0])
        for g, (length, *nums) in enumerate(groups, start=1):
            for slot, count in enumerate(nums, start=1):
                for k in range(count):
                    tag, (at, size) = r.tag(), r.next()
                    if tag in ARRAYS.get((g, slot), []) and length == groups[0][0]:
                        found.setdefault(tag, []).append(np.frombuffer(buf, TYPES[slot], n, at))
    return {t: np.concatenate(v) for t, v in found.items() if len(v) == n_blocks}


def quantities_of(p, centre):
    """Every quantity a diagram may bin, as phasegrid finds it, of the active particles; None when not carried."""
    q = {t: p.get(t) for names in ARRAYS.values() for t in names}
    for k, c in enumerate("xyz"):
        q[c] = p[c] - centre[k]
    q["n"] = ((p["rho"].astype(np.float64) * 6.7746e-20) / 4e-24) * 2.0
    q["r"] = np.sqrt(q["x"] * q["x"] + q["y"] * q["y"] + q["z"] * q["z"])
    q["R"] = np.sqrt(q["x"] * q["x"] + q["y"] * q["y"])
    q["v"] = np.sqrt(q["vx"] * q["vx"] + q["vy"] * q["vy"] + q["vz"] * q["vz"])
    active = p["iphase"] != -1
    return {k: None if v is None else v[active].astype(np.float64) for k, v in q.items() if k != "iphase"}


def test_every_quantity_bins_as_numpy_does(tmp_path):
    """Every quantity against numpy.histogram2d with the file's bounds, over dumps of several blocks, with
    sinks, without chemistry; values at the bounds; counts, mass, sums and means; any number of threads."""
    if not (PHASEGRID and MKDUMP):
        pytest.skip("PHASEGRID_BIN and MKDUMP_BIN are not set (ctest sets them)")
    dumps = {"a": ["--blocks", "3", "--sinks", "5"], "b": ["--no-chemistry", "--blocks", "2", "--seed", "2"],
             "c": ["--seed", "3", "--sinks", "0"]}
    for name, options in dumps.items():
        run(MKDUMP, "--particles", "4000", *options, name, cwd=tmp_path)
    centre = [0.01, -0.02, 0.005]
    values = {d: quantities_of(every_array(tmp_path / d), centre) for d in dumps}
    specs = []
    for name in values["a"]:
        v = np.concatenate([values[d][name] for d in dumps if values[d][name] is not None])
        if v.min() > 0:  # log10, the lower edge rounded off
            axis = f"{name}:log:{np.floor(np.log10(v.min()) * 100) / 100}:{np.log10(v.max())}:37"
        else:  # both bounds values of the dumps
            axis = f"{name}:lin:{v.min()!r}:{v.max()!r}:37"
        specs.append(f"{axis},n:log:-2:14:50")
    specs += ["n,r,mass", "n:lin:1e3:1e9:60,DustTemperature:lin:5:40:30,u", "n,r,mean:DustTemperature",
              "n,r,mean:H2Frac",
              # Counts of 4 M cells: each thread's own on one thread, added cell by cell on three.
              "n:log:-2:14:2000,DustTemperature:log:0.5:1.5:2000"]
    outs = []
    for threads in ("1", "3"):
        args = [a for s in specs for a in ("--diagram", s)]
        r = subprocess.run([PHASEGRID, "-q", "-c", "p", "--position", *map(str, centre), "--h5", f"{threads}.h5",
                            "--series-only", *args, *dumps], cwd=tmp_path, capture_output=True, text=True,
                           env={**os.environ, "OMP_NUM_THREADS": threads})
        assert r.returncode == 0, r.stderr
        outs.append(phasegrid.read_series(tmp_path / f"{threads}.h5"))
    s = outs[0]
    assert len(s.diagrams) == len(specs)
    for name, spec in zip(s.diagrams, specs):
        d = s.diagram(name)
        np.testing.assert_array_equal(d.cells, outs[1].diagram(name).cells)  # the same bits on any threads
        for k, dump in enumerate(dumps):
            q = values[dump]
            wname = d.of
            axes = [q[d.x.quantity], q[d.y.quantity]]
            if any(a is None for a in axes) or (wname is not None and q[wname] is None):
                assert d.status[k] == 1, (spec, dump)
                continue
            assert d.status[k] == 0, (spec, dump)
            with np.errstate(divide="ignore", invalid="ignore"):
                x, y = (np.log10(a) if ax.scale == "log" else a for a, ax in zip(axes, (d.x, d.y)))
                binned = lambda w=None: np.histogram2d(x, y, [d.x.edges, d.y.edges], weights=w)[0].T
                if d.weight == "count":
                    expected = binned()
                elif d.weight == "mass":
                    expected = binned(q["m"] * s.dump_umass[k])
                elif d.weight == "mean":
                    expected = binned(q["m"] * q[wname]) / binned(q["m"])
                else:
                    expected = binned(q[wname])
            assert d.cells[k].sum() != 0, (spec, dump)
            np.testing.assert_array_equal(d.cells[k], expected, err_msg=f"{spec} of {dump}")
    if not NATIVE:
        return
    # The module: every array the independent reader finds, and the run's cells bit for bit, binned from the
    # dump or from those arrays.
    for k, dump in enumerate(dumps):
        path = tmp_path / dump
        mine = phasegrid.read_dump(path)
        for name, values in every_array(path).items():
            np.testing.assert_array_equal(values, mine["arrays"][name])
        given = {n: v - centre["xyz".index(n)] if n in "xyz" else v for n, v in mine["arrays"].items()
                 if n not in ("n", "r", "R", "v")}
        for got in (phasegrid.diagram(specs, path, centre=centre),
                    phasegrid.diagram(specs, arrays=given, umass=s.dump_umass[k])):
            for g, name in zip(got, s.diagrams):
                if s.diagram(name).status[k] == 0:
                    np.testing.assert_array_equal(g.cells, s.diagram(name).cells[k], err_msg=f"{g.spec} of {dump}")
        np.testing.assert_array_equal(phasegrid.diagram(dump=path), s.counts[k])
