"""The series file: a whole run's phase grids in one file (``--h5 FILE``).

It is a netCDF-4 file (HDF5 underneath) following the CF conventions, root
attribute ``format`` "phasegrid series 3"; docs/series-file.md describes it.
D is the number of dumps (the dimension ``dump``):

- ``counts`` (dump, log10_T, log10_n) int32: ``counts[k, r - 1, c - 1]`` is
  the exact count of row r (dust temperature), column c (density) of dump k
  (signed, so that a difference of two dumps is right; numpy sums int32 in
  int64);
- ``log10_T``, ``log10_n``: the centres of the rows and columns, with
  ``log10_T_bounds`` (540, 2) and ``log10_n_bounds`` (700, 2) the bounds the
  binning uses (column 1 also holds every lower density);
- per dump: ``dump``, ``grid_file``, ``status`` (strings), ``time``,
  ``time_s``, ``time_ff``, ``npart``, ``binned``, ``inactive``,
  ``outside_above_columns``, ``outside_rows``, ``outside_nan``, ``centre``
  (D, 3), ``dump_umass``, ``dump_udist``, ``dump_utime``, ``complete``
  (whether the row is the dump's own grid);
- root attributes: the run's settings;
- diagrams (``--diagram``), named by the root attribute ``diagrams``: each
  a variable V (dump, Y, X) of particles (int32) or of a weight (float64)
  binned by two quantities, its axes X and Y (bin centres, with ``X_bounds``
  and ``Y_bounds``) and ``V_status`` (dump) saying whether dump k's cells are
  the dump's own (0) or empty, and why.

Files of the layout before, ``format`` "phasegrid series 2", differ only in
their counts, unsigned there; they read the same. Files written before
that, ``format`` "phasegrid series 1" (plain HDF5, the
outside counts as one compound dataset, the units as one (D, 3) dataset, the
cell edges as (701) and (541) datasets), are read into the same names: their
``inactive`` is what ``npart`` leaves over, their ``centre`` NaN.
"""

import collections
import contextlib
import functools
import glob
import math
import os

import numpy as np

from .grid import COLUMNS, ROWS, check_file, grid_values

SERIES_FORMAT = "phasegrid series 3"  #: the root attribute ``format`` of a series file
FORMAT_2 = "phasegrid series 2"  #: ``format`` of the layout before (counts unsigned), read the same
OLD_FORMAT = "phasegrid series 1"  #: ``format`` of the files written before, still read
#: What became of a dump, as the ``status`` strings say it.
STATUSES = ("complete", "ended early", "could not be opened", "stopped by a fault", "out of memory", "not a dump",
            "changed while read", "files not written")
#: What became of a diagram in a dump, by its status 0 to 3 (``V_status``):
#: only "binned" cells are the dump's; the others are zeros (counts) or NaN.
DIAGRAM_STATUSES = ("binned", "lacks_quantity", "no_mass_unit", "not_binned")
OUTSIDE_FIELDS = ("above_columns", "outside_rows", "nan")
OUTSIDE_DTYPE = np.dtype([(name, np.int64) for name in OUTSIDE_FIELDS])
# The variable of each of format 1's outside fields.
OUTSIDE_VARS = dict(zip(OUTSIDE_FIELDS, ("outside_above_columns", "outside_rows", "outside_nan")))

STRINGS = ("dump", "grid_file", "status")  # per dump, lists of str
FLOATS = ("time", "time_s", "time_ff", "dump_umass", "dump_udist", "dump_utime")
INTEGERS = ("npart", "binned", "inactive", "outside_above_columns", "outside_rows", "outside_nan")
# Which file each dump was, as the run found it (files of an earlier
# phasegrid lack them: "" and -1).
FILE_STRINGS = ("dump_path",)
FILE_INTEGERS = ("dump_size", "dump_mtime")
# The dimensions of the file's variables (counts apart), for to_xarray().
DIMS = dict({name: ("dump",) for name in STRINGS + FLOATS + INTEGERS + FILE_STRINGS + FILE_INTEGERS + ("complete",)},
            centre=("dump", "xyz"),
            log10_T=("log10_T",), log10_n=("log10_n",), log10_T_bounds=("log10_T", "bounds"),
            log10_n_bounds=("log10_n", "bounds"))
# How many files a series keeps open at once for reading counts.
OPEN_FILES = 8
# Attributes HDF5 and netCDF-4 keep for themselves, not the variables' own.
INTERNAL_ATTRS = {"DIMENSION_LIST", "REFERENCE_LIST", "CLASS", "NAME", "_Netcdf4Dimid", "_Netcdf4Coordinates",
                  "_nc3_strict", "_NCProperties", "_FillValue", "coordinates"}


def _text(value):
    """A str from what h5py gives for a string: str, bytes or a numpy scalar."""
    if isinstance(value, np.ndarray) and value.shape == ():
        value = value[()]
    if isinstance(value, (bytes, np.bytes_)):
        return bytes(value).decode("utf-8", errors="replace")
    return str(value)


def _attribute(value):
    """An attribute as plain Python: str for strings, a Python number for a
    numeric scalar, a list of str for an array of strings, else the array."""
    if isinstance(value, (bytes, np.bytes_, str)):
        return _text(value)
    if isinstance(value, np.ndarray):
        if value.dtype.kind in "OSU":
            return [_text(v) for v in value.ravel()] if value.shape != () else _text(value)
        if value.shape == ():
            return value.item()
        if value.shape == (1,):
            return value[0].item()
        return value
    if isinstance(value, np.generic):
        return value.item()
    return value


def display_units(units):
    """A unit as a label shows it: UDUNITS' log10 of X, ``lg(re 1 X)``, as
    ``X`` (the long name says log10); "1", a number, as ""."""
    if units.startswith("lg(re 1 ") and units.endswith(")"):
        return units[len("lg(re 1 "):-1]
    return "" if units == "1" else units


def _same(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return np.shape(a) == np.shape(b) and bool(np.all(np.asarray(a) == np.asarray(b)))
    return type(a) is type(b) and a == b


def _identity(path):
    """What tells a file from the file put in its place later; refuses what
    is not a regular file (:func:`check_file`)."""
    st = check_file(path)
    return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns


@contextlib.contextmanager
def _hdf5_errors(path):
    """What h5py raises for a file HDF5 cannot read (cut short, half written
    by a run that was killed, damaged; not HDF5 at all) as one OSError that
    names the file."""
    try:
        yield
    except (OSError, RuntimeError, KeyError) as e:
        reason = e.args[0] if isinstance(e, KeyError) and e.args else e  # a KeyError's str() is quoted
        raise OSError(f'"{path}" is not a readable HDF5 file: {reason}') from None


class _File:
    """One series file's per-dump variables and axes, read on opening (not
    its counts)."""

    def __init__(self, path):
        import h5py

        self.path = os.fspath(path)
        check_file(self.path)  # before HDF5 opens it: a named pipe would keep it waiting
        with _hdf5_errors(self.path), h5py.File(self.path, "r") as f:
            self.identity = _identity(self.path)
            fmt = _text(f.attrs["format"]) if "format" in f.attrs else None
            if fmt not in (SERIES_FORMAT, FORMAT_2, OLD_FORMAT):
                raise ValueError(f'"{self.path}" is not a phasegrid series file: its format attribute is '
                                 f'{fmt!r}, not "{SERIES_FORMAT}"')
            self.format = fmt
            self.attrs = {name: _attribute(value) for name, value in f.attrs.items() if name not in INTERNAL_ATTRS}
            self.var_attrs = {}
            counts = self._dataset(f, "counts")
            if counts.ndim != 3 or counts.shape[1:] != (ROWS, COLUMNS) or counts.dtype.kind not in "ui":
                raise ValueError(f'"{self.path}": counts is {counts.dtype} of shape {counts.shape}, not '
                                 f"integers of shape (D, {ROWS}, {COLUMNS})")
            self.size = counts.shape[0]
            self.vars = {}
            if fmt != OLD_FORMAT:
                self._read_format_2(f)
            else:
                self._read_format_1(f)
            self.diagrams = {name: self._read_diagram(f, name) for name in _text(f.attrs.get("diagrams", "")).split()}
        self._check_shapes()

    def _dataset(self, f, name):
        import h5py

        if name not in f or not isinstance(f[name], h5py.Dataset):
            raise ValueError(f'"{self.path}" is not a complete series file: it has no dataset "{name}"')
        ds = f[name]
        self.var_attrs[name] = {k: _attribute(v) for k, v in ds.attrs.items() if k not in INTERNAL_ATTRS}
        return ds

    def _strings(self, f, name):
        ds = self._dataset(f, name)
        if ds.dtype.kind not in "OSU":
            raise ValueError(f'"{self.path}": dataset "{name}" does not hold strings')
        return [_text(v) for v in np.atleast_1d(ds[()])]

    def _numbers(self, f, name, dtype):
        return np.asarray(self._dataset(f, name)[()], dtype=dtype)

    def _read_format_2(self, f):
        v = self.vars
        for name in STRINGS:
            v[name] = self._strings(f, name)
        for name in FLOATS + ("log10_T", "log10_n", "log10_T_bounds", "log10_n_bounds", "centre"):
            v[name] = self._numbers(f, name, np.float64)
        for name in INTEGERS:
            v[name] = self._numbers(f, name, np.int64)
        self._read_file_identity(f)

    def _read_file_identity(self, f):
        v = self.vars
        for name in FILE_STRINGS:
            v[name] = self._strings(f, name) if name in f else [""] * len(v["dump"])
        for name in FILE_INTEGERS:
            v[name] = self._numbers(f, name, np.int64) if name in f else np.full(len(v["dump"]), -1, np.int64)

    def _read_format_1(self, f):
        v = self.vars
        for name in STRINGS:
            v[name] = self._strings(f, name)
        for name in ("time", "time_ff"):
            v[name] = self._numbers(f, name, np.float64)
        for name in ("npart", "binned"):
            v[name] = self._numbers(f, name, np.int64)
        outside = self._dataset(f, "outside")[()]
        missing = [n for n in OUTSIDE_FIELDS if outside.dtype.names is None or n not in outside.dtype.names]
        if missing:
            raise ValueError(f'"{self.path}": outside has no field {", ".join(missing)}')
        for name in OUTSIDE_FIELDS:
            v[OUTSIDE_VARS[name]] = np.asarray(outside[name], dtype=np.int64)
        self._check_shapes(("time", "time_ff", "npart", "binned") + INTEGERS[3:])
        units = self._numbers(f, "dump_units", np.float64)
        if units.shape != (self.size, 3):
            raise ValueError(f'"{self.path}": dump_units has shape {units.shape}, not {(self.size, 3)} '
                             f"(counts holds {self.size} dumps)")
        v["dump_umass"], v["dump_udist"], v["dump_utime"] = units.T.copy()
        with np.errstate(invalid="ignore"):
            v["time_s"] = np.where(v["dump_utime"] > 0, v["time"] * v["dump_utime"], math.nan)
        v["inactive"] = v["npart"] - v["binned"] - sum(v[n] for n in OUTSIDE_VARS.values())
        v["centre"] = np.full((self.size, 3), math.nan)
        self._read_file_identity(f)
        for axis in ("n", "T"):
            edges = self._numbers(f, f"log10_{axis}_edges", np.float64)
            cells = COLUMNS if axis == "n" else ROWS
            if edges.shape != (cells + 1,):
                raise ValueError(f'"{self.path}": log10_{axis}_edges has shape {edges.shape}, not ({cells + 1},)')
            v[f"log10_{axis}_bounds"] = np.column_stack((edges[:-1], edges[1:]))
            v[f"log10_{axis}"] = (edges[:-1] + edges[1:]) / 2
        self.var_attrs.pop("outside", None)
        self.var_attrs.pop("dump_units", None)

    def _read_diagram(self, f, name):
        """Diagram `name`'s axes (from the dimension scales of its variable),
        status and shape, its cells left in the file."""
        cells = self._dataset(f, name)
        if cells.ndim != 3 or cells.shape[0] != self.size or cells.dtype.kind not in "uif":
            raise ValueError(f'"{self.path}": diagram {name} is {cells.dtype} of shape {cells.shape}, not numbers of '
                             f"shape ({self.size}, Y, X) (counts holds {self.size} dumps)")
        axes = []
        for dim in (2, 1):
            if len(cells.dims[dim]) == 0:
                raise ValueError(f'"{self.path}": diagram {name} names no coordinate for its dimension {dim}')
            axis = cells.dims[dim][0].name.lstrip("/")
            centres = self._numbers(f, axis, np.float64)
            bounds = self._numbers(f, self.var_attrs[axis].get("bounds", axis + "_bounds"), np.float64)
            if centres.shape != (cells.shape[dim],) or bounds.shape != (cells.shape[dim], 2):
                raise ValueError(f'"{self.path}": the axis {axis} of diagram {name} has {centres.shape} centres and '
                                 f"{bounds.shape} bounds, not {cells.shape[dim]}")
            axes.append(Axis(axis, centres, bounds, self.var_attrs[axis]))
        status = self._numbers(f, name + "_status", np.int8)
        if status.shape != (self.size,):
            raise ValueError(f'"{self.path}": {name}_status has shape {status.shape}, not ({self.size},)')
        return dict(x=axes[0], y=axes[1], status=status, integer=cells.dtype.kind in "ui",
                    spec=self.var_attrs[name].get("spec", ""))

    def _check_shapes(self, names=None):
        d = self.size
        expected = dict({name: (d,) for name in FLOATS + INTEGERS + FILE_INTEGERS}, centre=(d, 3), log10_T=(ROWS,),
                        log10_n=(COLUMNS,), log10_T_bounds=(ROWS, 2), log10_n_bounds=(COLUMNS, 2))
        for name in names or expected:
            shape = expected[name]
            actual = self.vars[name].shape
            if actual != shape:
                raise ValueError(f'"{self.path}": {name} has shape {actual}, not {shape} (counts holds {d} dumps)')
        for name in () if names else STRINGS + FILE_STRINGS:
            if len(self.vars[name]) != d:
                raise ValueError(f'"{self.path}": {name} holds {len(self.vars[name])} entries, not {d} '
                                 f"(counts holds {d} dumps)")


def _expand(paths):
    """The files named: one path, a glob pattern, or a list of paths and
    patterns. A pattern matching nothing, or no file at all, is an error."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    files = []
    for p in paths:
        p = os.fspath(p)
        if isinstance(p, bytes):
            p = os.fsdecode(p)
        if glob.has_magic(p) and not os.path.exists(p):
            matched = sorted(glob.glob(p))
            if not matched:
                raise FileNotFoundError(2, f"no file matches the pattern {p!r}", p)
            files.extend(matched)
        else:
            files.append(p)
    if not files:
        raise ValueError("no series file named")
    return files


class Cells:
    """A variable of cells per dump, read one dump at a time: ``cells[k]`` is
    dump k's cells, read when asked; ``cells[a:b]``, ``cells[[i, j]]`` and
    ``cells[k, r, c]`` index as numpy does, and ``numpy.asarray(cells)``
    reads them all."""

    ndim = 3

    def __init__(self, series, variable, shape, dtype):
        self._series, self._variable, self._shape, self.dtype = series, variable, tuple(shape), np.dtype(dtype)

    @property
    def shape(self):
        return (len(self._series),) + self._shape

    def __len__(self):
        return len(self._series)

    def __iter__(self):
        return (self[k] for k in range(len(self)))

    def __getitem__(self, key):
        first, rest = (key[0], key[1:]) if isinstance(key, tuple) else (key, ())
        if isinstance(first, (int, np.integer)):
            return self._series._read_cells(self._variable, range(len(self))[first], self.dtype)[rest]
        dumps = np.arange(len(self))[first]
        cells = np.empty((len(dumps),) + self._shape, self.dtype)
        for i, k in enumerate(dumps):
            cells[i] = self._series._read_cells(self._variable, int(k), self.dtype)
        return cells[(slice(None),) + rest]

    def __array__(self, dtype=None, copy=None):
        cells = self[:]
        return cells if dtype is None else cells.astype(dtype)

    def __repr__(self):
        return (f"<{self._variable} of {len(self)} dumps, (D, {', '.join(map(str, self._shape))}) {self.dtype}, "
                "read when indexed>")


class Counts(Cells):
    """A series' counts as an array read one dump at a time: ``counts[k]`` is
    dump k's (540, 700) int32 grid, read when asked; ``counts[a:b]``,
    ``counts[[i, j]]`` and ``counts[k, r, c]`` index as numpy does, and
    ``numpy.asarray(counts)`` reads them all."""

    def __init__(self, series):
        super().__init__(series, "counts", (ROWS, COLUMNS), np.int32)


class Axis:
    """One axis of a diagram: ``name`` (its coordinate in the file),
    ``centres`` and ``bounds`` (cells, 2) of its bins, ``edges`` (the bounds
    end to end), ``quantity`` (a dump quantity: "n", "H2Frac", ...),
    ``scale`` ("log": the values are log10 of the quantity; "lin"),
    ``long_name`` and ``units`` (UDUNITS, "" when none), ``attrs``."""

    def __init__(self, name, centres, bounds, attrs):
        self.name, self.centres, self.bounds, self.attrs = name, centres, bounds, attrs
        self.quantity = str(attrs.get("quantity", ""))
        self.scale = str(attrs.get("scale", "log" if name.startswith("log10_") else "lin"))
        self.long_name, self.units = str(attrs.get("long_name", name)), str(attrs.get("units", ""))

    @property
    def edges(self):
        return np.append(self.bounds[:, 0], self.bounds[-1, 1])

    def same(self, other):
        return self.name == other.name and np.array_equal(self.bounds, other.bounds)

    def __repr__(self):
        return f"<Axis {self.name}: {self.scale} {self.quantity}, {len(self.centres)} bins>"


class Diagram:
    """One diagram of a series (``--diagram SPEC``): the particles of each
    dump binned by two quantities, weighed.

    ``cells[k]`` is dump k's (Y, X) cells, read when asked (as
    :class:`Counts`): int32 particles when ``weight`` is "count", float64
    otherwise: "mass" (g), "sum" of the quantity ``of``, or "mean" of ``of``
    weighed by mass (NaN in a cell of no mass). ``x`` and ``y`` are its
    :class:`Axis` (x along the columns); ``status`` (D,) int8 what became of
    it in each dump (:data:`DIAGRAM_STATUSES`: only 0, "binned", is the
    dump's own; other rows hold zeros or NaN); ``spec`` the SPEC with every
    part given, ``long_name``, ``units`` and ``attrs`` those of the
    variable."""

    def __init__(self, series, name, x, y, status, integer, attrs):
        self.name, self.x, self.y, self.status, self.attrs = name, x, y, status, attrs
        self.spec = str(attrs.get("spec", ""))
        self.long_name, self.units = str(attrs.get("long_name", name)), str(attrs.get("units", ""))
        parts = self.spec.split(",")
        weight = parts[2] if len(parts) > 2 else "count" if integer else ""
        if weight in ("count", "mass"):
            self.weight, self.of = weight, None
        elif weight.startswith("mean:") or (not weight and self.long_name.startswith("mean")):
            self.weight, self.of = "mean", weight[len("mean:"):] or None
        else:
            self.weight, self.of = "sum", weight or None
        self.cells = Cells(series, name, (len(y.centres), len(x.centres)), np.int32 if integer else np.float64)

    def __repr__(self):
        return (f"<Diagram {self.name} ({self.spec}): {len(self.x.centres)} columns of {self.x.name} by "
                f"{len(self.y.centres)} rows of {self.y.name}>")


class Series:
    """The dumps of one or more series files, as one series; made by
    :func:`open_series` (counts read when asked) or :func:`read_series`
    (everything read).

    Each per-dump variable of the file is an attribute of the same name, one
    entry per dump: ``dump``, ``grid_file``, ``status`` lists of str;
    ``time``, ``time_s``, ``time_ff``, ``dump_umass``, ``dump_udist``,
    ``dump_utime`` float arrays; ``npart``, ``binned``, ``inactive``,
    ``outside_above_columns``, ``outside_rows``, ``outside_nan`` int64
    arrays; ``centre`` (D, 3); ``dump_path`` (str), ``dump_size`` and
    ``dump_mtime`` (int64, -1 when unknown): the file each dump was. The axes: ``log10_n``, ``log10_T`` (centres),
    ``log10_n_bounds``, ``log10_T_bounds`` (cells, 2). ``counts[k]`` is dump
    k's (540, 700) int32 grid; ``complete`` (bool) whether dump k's row is
    its own grid (status "complete"). ``attrs`` holds the root attributes (those
    all the files agree on), ``files`` the files, ``file_attrs`` each file's
    own attributes. ``diagrams`` names the diagrams (``--diagram``) every
    file holds alike, ``diagram(name)`` gives one as a :class:`Diagram`.
    """

    def __init__(self, files, order):
        self.files = [f.path for f in files]
        self.file_attrs = [f.attrs for f in files]
        self.attrs = dict(files[0].attrs)
        for f in files[1:]:
            self.attrs = {k: v for k, v in self.attrs.items() if k in f.attrs and _same(v, f.attrs[k])}
        self.var_attrs = {}
        for f in reversed(files):
            self.var_attrs.update(f.var_attrs)
        self._files = files
        # Dump k of the series is row _rows[k] of file _sources[k].
        self._sources = np.concatenate([np.full(f.size, i) for i, f in enumerate(files)])[order]
        self._rows = np.concatenate([np.arange(f.size) for f in files])[order]
        for name in STRINGS + FILE_STRINGS:
            joined = [s for f in files for s in f.vars[name]]
            setattr(self, name, [joined[k] for k in order])
        # Whether each row is its dump's own grid (the file's "complete").
        self.complete = np.array([status == "complete" for status in self.status], dtype=bool)
        for name in FLOATS + INTEGERS + FILE_INTEGERS + ("centre",):
            setattr(self, name, np.concatenate([f.vars[name] for f in files])[order])
        first = files[0].vars
        for name in ("log10_T", "log10_n", "log10_T_bounds", "log10_n_bounds"):
            setattr(self, name, first[name])
            for f in files[1:]:
                if not np.array_equal(f.vars[name], first[name]):
                    raise ValueError(f'"{f.path}" and "{files[0].path}" have different cell bounds: their '
                                     "dumps cannot be put on one grid")
        self._open = collections.OrderedDict()
        self.counts = Counts(self)
        # The diagrams every file holds alike: of one name, SPEC and axes.
        self._diagrams = {}
        for name, first in files[0].diagrams.items():
            held = [f.diagrams.get(name) for f in files]
            if all(d is not None and (d["spec"], d["integer"]) == (first["spec"], first["integer"])
                   and d["x"].same(first["x"]) and d["y"].same(first["y"]) for d in held):
                status = np.concatenate([d["status"] for d in held])[order]
                self._diagrams[name] = Diagram(self, name, first["x"], first["y"], status, first["integer"],
                                               self.var_attrs[name])
        self.diagrams = list(self._diagrams)

    # The names of format 1, kept for the scripts that use them.
    dumps = property(lambda self: self.dump, doc="The same as ``dump``.")
    grid_files = property(lambda self: self.grid_file, doc="The same as ``grid_file``.")
    log10_n_edges = property(lambda self: np.append(self.log10_n_bounds[:, 0], self.log10_n_bounds[-1, 1]),
                             doc="The 701 edges of the columns: ``log10_n_bounds`` end to end.")
    log10_T_edges = property(lambda self: np.append(self.log10_T_bounds[:, 0], self.log10_T_bounds[-1, 1]),
                             doc="The 541 edges of the rows: ``log10_T_bounds`` end to end.")
    dump_units = property(lambda self: np.column_stack((self.dump_umass, self.dump_udist, self.dump_utime)),
                          doc="(D, 3): ``dump_umass``, ``dump_udist``, ``dump_utime``.")

    @property
    def outside(self):
        """(D,) structured: ``outside_above_columns``, ``outside_rows`` and
        ``outside_nan`` as the fields ``above_columns``, ``outside_rows``,
        ``nan``."""
        out = np.empty(len(self), OUTSIDE_DTYPE)
        for name in OUTSIDE_FIELDS:
            out[name] = getattr(self, OUTSIDE_VARS[name])
        return out

    def __len__(self):
        """The number of dumps."""
        return len(self.dump)

    def log10_counts(self, k):
        """Dump k's grid as its grid file gives it: (540, 700) log10 counts,
        -1.0 for an empty cell."""
        return grid_values(self.counts[k])

    def _handle(self, i):
        import h5py

        if i in self._open:
            self._open.move_to_end(i)
            return self._open[i]
        f = self._files[i]
        if _identity(f.path) != f.identity:
            raise OSError(f'"{f.path}" has changed since it was opened: open it again')
        with _hdf5_errors(f.path):
            handle = h5py.File(f.path, "r")
        if _identity(f.path) != f.identity:  # replaced between the two looks
            handle.close()
            raise OSError(f'"{f.path}" has changed since it was opened: open it again')
        self._open[i] = handle
        while len(self._open) > OPEN_FILES:
            self._open.popitem(last=False)[1].close()
        return handle

    def _read_cells(self, variable, k, dtype):
        i, row = int(self._sources[k]), int(self._rows[k])
        handle = self._handle(i)
        with _hdf5_errors(self._files[i].path):
            cells = handle[variable][row]
        if dtype.kind == "i" and cells.size and (cells.min() < 0 or cells.max() > np.iinfo(np.int32).max):
            raise ValueError(f'"{self._files[i].path}": {variable} holds values below 0 or above 2147483647, '
                             "which no run counts")
        return cells.astype(dtype, copy=False)

    def diagram(self, name):
        """The :class:`Diagram` of that name, one of :attr:`diagrams` (the
        names of the diagrams every file holds alike, in the files' order).
        Raises KeyError for another name."""
        try:
            return self._diagrams[name]
        except KeyError:
            raise KeyError(f"no diagram {name!r} in the series; it holds: {', '.join(self.diagrams) or 'none'}") \
                from None

    def load(self):
        """Reads every dump's counts into memory (``counts`` becomes a (D,
        540, 700) int32 array), and the cells of every diagram, and closes
        the files. Returns the series."""
        if isinstance(self.counts, Counts):
            self.counts = np.asarray(self.counts)
        for d in self._diagrams.values():
            d.cells = np.asarray(d.cells)
        self.close()
        return self

    def close(self):
        """Closes the files kept open for reading counts (reading a dump
        afterwards opens its file again)."""
        while self._open:
            self._open.popitem()[1].close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def to_xarray(self, all_rows=False):
        """The series as an ``xarray.Dataset``: the file's variables, with the
        dimensions ``dump``, ``log10_T``, ``log10_n``, ``bounds``, ``xyz``;
        the coordinates ``dump``, ``log10_T``, ``log10_n`` and, along
        ``dump``, ``time``, ``time_s``, ``time_ff``, ``status`` and
        ``complete`` (``ds.binned.plot(x="time")``,
        ``ds.swap_dims(dump="time")``); each variable's attributes and the
        root attributes (``attrs``). The counts are int32, read when used, as
        :attr:`counts` reads them (loaded after :meth:`load`). Each diagram
        V is there as the file has it: V (dump, Y, X), read when used, its
        coordinates X and Y (bin centres), ``X_bounds`` and ``Y_bounds``, and
        the coordinate ``V_status`` along ``dump``.

        Only the rows of complete dumps, unless ``all_rows``: the counts of a
        dump that ended early or could not be opened are mostly an earlier
        dump's, and those of a dump with no grid are zeros, so that a sum
        over dumps would count them in; ``attrs["rows_left_out"]`` says how
        many were left out.

        For xarray's labels, a unit ``lg(re 1 X)`` (log10 of X, as UDUNITS
        writes it) is given as ``X``, the long name saying log10, and the
        file's form kept as the attribute ``udunits``. Needs xarray (Debian:
        python3-xarray)."""
        import xarray as xr

        def attrs_of(name):
            attrs = dict(self.var_attrs.get(name, {}))
            units = attrs.get("units")
            if isinstance(units, str) and display_units(units) != units:
                attrs["units"] = display_units(units)
                if units != "1":
                    attrs["udunits"] = units
            if attrs.get("units") == "":  # (files of the layout before: "1") a number: no unit in a label
                del attrs["units"]
            return attrs

        def variable(name, data):
            return xr.Variable(DIMS[name], data, attrs=attrs_of(name))

        coords = {name: variable(name, getattr(self, name))
                  for name in ("dump", "log10_T", "log10_n") + FLOATS[:3] + ("status",)}
        coords["complete"] = xr.Variable(("dump",), self.complete, attrs=attrs_of("complete"))
        data = {name: variable(name, getattr(self, name))
                for name in ("log10_T_bounds", "log10_n_bounds", "grid_file")
                + INTEGERS + ("centre",) + FLOATS[3:] + FILE_STRINGS + FILE_INTEGERS}
        # (as xarray decodes a time since a date)
        data["dump_mtime"] = xr.conventions.decode_cf_variable("dump_mtime", data["dump_mtime"])
        def lazy(cells):
            if not isinstance(cells, Cells):
                return cells
            from xarray.core import indexing

            return indexing.LazilyIndexedArray(_cells_backend()(cells))

        data["counts"] = xr.Variable(("dump", "log10_T", "log10_n"), lazy(self.counts), attrs=attrs_of("counts"))
        for d in self._diagrams.values():
            for axis in (d.x, d.y):
                coords[axis.name] = xr.Variable((axis.name,), axis.centres, attrs=attrs_of(axis.name))
                bounds = axis.attrs.get("bounds", axis.name + "_bounds")
                data[bounds] = xr.Variable((axis.name, "bounds"), axis.bounds, attrs=attrs_of(bounds))
            data[d.name] = xr.Variable(("dump", d.y.name, d.x.name), lazy(d.cells), attrs=attrs_of(d.name))
            coords[d.name + "_status"] = xr.Variable(("dump",), d.status, attrs=attrs_of(d.name + "_status"))
        ds = xr.Dataset(data, coords=coords, attrs=dict(self.attrs))
        if all_rows or self.complete.all():
            return ds
        ds = ds.isel(dump=np.flatnonzero(self.complete))
        ds.attrs["rows_left_out"] = (f"{int((~self.complete).sum())} dumps not complete "
                                     "(to_xarray(all_rows=True) keeps them)")
        return ds

    def __repr__(self):
        shown = ", ".join(self.dump[:3]) + (", ..." if len(self) > 3 else "")
        return f"<Series of {len(self)} dumps: {shown}>"


@functools.lru_cache(maxsize=None)
def _cells_backend():
    from xarray.backends import BackendArray
    from xarray.core import indexing

    class CellsBackend(BackendArray):
        """xarray's view of a series' Cells (counts, a diagram): indexed
        lazily, read a dump at a time."""

        def __init__(self, cells):
            self.cells, self.shape, self.dtype = cells, cells.shape, cells.dtype

        def __getitem__(self, key):
            return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                      lambda k: self.cells[k])

    return CellsBackend


def open_series(paths):
    """Opens one series file, several, or those a glob pattern names, as one
    :class:`Series`, reading only the per-dump variables and the axes: a
    dump's counts are read when asked (``s.counts[k]``). Several files are
    joined as one series in time order, dumps of no time (NaN) last, dumps
    of equal times in the order of the files (a pattern's files sorted by
    name) and of their rows; one file keeps its own order.

    Use it in a ``with`` block, or call ``close()``, to close the files it
    opened for reading counts (at most a few at a time).

    Raises OSError naming the file when a file cannot be opened, is not a
    regular file (:func:`check_file`), is not HDF5 or not readable as HDF5
    (cut short, half written, damaged) or changed since it was opened
    (``FileNotFoundError`` when a pattern matches nothing), and ValueError
    when a file is not a phasegrid series file (its ``format`` attribute is
    neither "phasegrid series 2" nor the earlier "phasegrid series 1"), its
    variables do not agree in shape, or the files have different cell
    bounds. Needs h5py (Debian: python3-h5py).
    """
    files = [_File(p) for p in _expand(paths)]
    times = np.concatenate([f.vars["time"] for f in files])
    if len(files) == 1:
        order = np.arange(len(times))
    else:
        order = np.lexsort((np.arange(len(times)), np.where(np.isnan(times), np.inf, times), np.isnan(times)))
    return Series(files, order)


def read_series(paths):
    """Reads one series file, several or those a glob pattern names (as
    :func:`open_series` joins them) into a :class:`Series` whose ``counts``
    is a (D, 540, 700) int32 array: all of it, at about 1.5 MB a dump, the
    files closed. Raises as :func:`open_series` does, and ValueError when a
    file's counts hold negative values."""
    return open_series(paths).load()
