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
- root attributes: the run's settings.

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


class Counts:
    """A series' counts as an array read one dump at a time: ``counts[k]`` is
    dump k's (540, 700) int32 grid, read when asked; ``counts[a:b]``,
    ``counts[[i, j]]`` and ``counts[k, r, c]`` index as numpy does, and
    ``numpy.asarray(counts)`` reads them all."""

    dtype = np.dtype(np.int32)
    ndim = 3

    def __init__(self, series):
        self._series = series

    @property
    def shape(self):
        return (len(self._series), ROWS, COLUMNS)

    def __len__(self):
        return len(self._series)

    def __iter__(self):
        return (self[k] for k in range(len(self)))

    def __getitem__(self, key):
        first, rest = (key[0], key[1:]) if isinstance(key, tuple) else (key, ())
        if isinstance(first, (int, np.integer)):
            return self._series._read_counts(range(len(self))[first])[rest]
        dumps = np.arange(len(self))[first]
        grids = np.empty((len(dumps), ROWS, COLUMNS), np.int32)
        for i, k in enumerate(dumps):
            grids[i] = self._series._read_counts(int(k))
        return grids[(slice(None),) + rest]

    def __array__(self, dtype=None, copy=None):
        grids = self[:]
        return grids if dtype is None else grids.astype(dtype)

    def __repr__(self):
        return f"<counts of {len(self)} dumps, (D, {ROWS}, {COLUMNS}) int32, read when indexed>"


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
    own attributes.
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

    def _read_counts(self, k):
        i, row = int(self._sources[k]), int(self._rows[k])
        handle = self._handle(i)
        with _hdf5_errors(self._files[i].path):
            grid = handle["counts"][row]
        if grid.size and (grid.min() < 0 or grid.max() > np.iinfo(np.int32).max):
            raise ValueError(f'"{self._files[i].path}": counts holds values below 0 or above 2147483647, '
                             "which no run counts")
        return grid.astype(np.int32, copy=False)

    def load(self):
        """Reads every dump's counts into memory (``counts`` becomes a (D,
        540, 700) int32 array) and closes the files. Returns the series."""
        if isinstance(self.counts, Counts):
            self.counts = np.asarray(self.counts)
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
        :attr:`counts` reads them (loaded after :meth:`load`).

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
            if isinstance(units, str) and units.startswith("lg(re 1 ") and units.endswith(")"):
                attrs["udunits"], attrs["units"] = units, units[len("lg(re 1 "):-1]
            elif units == "1":  # (files of the layout before) a number: no unit in a label
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
        counts = self.counts
        if isinstance(counts, Counts):
            from xarray.core import indexing

            counts = indexing.LazilyIndexedArray(_counts_backend()(self))
        data["counts"] = xr.Variable(("dump", "log10_T", "log10_n"), counts, attrs=attrs_of("counts"))
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
def _counts_backend():
    from xarray.backends import BackendArray
    from xarray.core import indexing

    class CountsBackend(BackendArray):
        """xarray's view of Series.counts: indexed lazily, read a dump at a
        time."""

        def __init__(self, series):
            self.series, self.shape, self.dtype = series, series.counts.shape, series.counts.dtype

        def __getitem__(self, key):
            return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                      lambda k: self.series.counts[k])

    return CountsBackend



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
