"""The series file: a whole run's phase grids in one HDF5 file.

phasegrid writes it with ``--h5 FILE`` beside FILE and puts it in FILE's place
when the run ends, or when a signal (SIGINT, SIGTERM, SIGHUP) stops it, with
the dumps done; a run that was killed leaves FILE as it was. D is the number
of dumps in it:

- ``counts`` (D, 540, 700) uint32: ``counts[k, r - 1, c - 1]`` is the exact
  count of row r, column c of dump k (the grid file's cells);
- ``log10_n_edges`` (701) and ``log10_T_edges`` (541): the cell bounds the
  binning uses, within 1e-7 of c/50 and r/200 (column 1 also holds every
  lower density);
- ``time``, ``time_ff`` (D): as the index line gives them;
- ``npart``, ``binned`` (D): the particles each dump holds, and those counted
  in the grid's cells;
- ``outside`` (D) compound of ``above_columns``, ``outside_rows``, ``nan``:
  the active particles no cell holds, by reason;
- ``dump``, ``grid_file``, ``status`` (D strings): the dump as named, its
  grid file's name, and what became of it (one of :data:`STATUSES`; a dump
  with no grid, stopped by a fault or for want of memory, or skipped, has
  zero counts and NaN times);
- ``dump_units`` (D, 3): the units each dump records (umass g, udist cm,
  utime s);
- root attributes: the run's settings (``version``, ``centre``, ``rotate``,
  ``frequency``, ``grid_units``, ``density_to_n``, ``format``, ...), and
  ``interrupted`` (e.g. "SIGTERM in dump 4 of 300") when a signal stopped the
  run before its last dump.
"""

from dataclasses import dataclass, field

import numpy as np

from .grid import COLUMNS, ROWS, grid_values

SERIES_FORMAT = "phasegrid series 1"  #: the root attribute ``format`` of a series file
#: What became of a dump, as the ``status`` strings say it.
STATUSES = ("complete", "ended early", "could not be opened", "stopped by a fault", "out of memory")
OUTSIDE_FIELDS = ("above_columns", "outside_rows", "nan")
OUTSIDE_DTYPE = np.dtype([(name, np.int64) for name in OUTSIDE_FIELDS])


@dataclass(eq=False)
class Series:
    """A series file's contents, D dumps; see the module's description.

    ``counts`` is (D, 540, 700) uint32, ``counts[k, r - 1, c - 1]`` the count
    of row r, column c of dump k; ``log10_n_edges`` (701) and
    ``log10_T_edges`` (541) the cell edges, ``time``, ``time_ff`` (D) float,
    ``npart``, ``binned`` (D) int64, ``outside`` a (D) structured array with
    the int64 fields ``above_columns``, ``outside_rows`` and ``nan``;
    ``dumps``, ``grid_files``, ``status`` lists of D strings, ``dump_units``
    (D, 3) float (umass, udist, utime), ``attrs`` the root attributes (str,
    float, int or numpy arrays).
    """

    counts: np.ndarray
    log10_n_edges: np.ndarray
    log10_T_edges: np.ndarray
    time: np.ndarray
    time_ff: np.ndarray
    npart: np.ndarray
    binned: np.ndarray
    outside: np.ndarray
    dumps: list
    grid_files: list
    status: list
    dump_units: np.ndarray
    attrs: dict = field(default_factory=dict)

    def __len__(self):
        """The number of dumps."""
        return len(self.dumps)

    def log10_counts(self, k):
        """Dump k's grid as its grid file gives it: (540, 700) log10 counts,
        -1.0 for an empty cell."""
        return grid_values(self.counts[k])

    def __repr__(self):
        return f"<Series of {len(self)} dumps: {', '.join(self.dumps[:3])}{', ...' if len(self) > 3 else ''}>"


def _text(value):
    """A str from what h5py gives for a string: str, bytes or a numpy scalar."""
    if isinstance(value, np.ndarray) and value.shape == ():
        value = value[()]
    if isinstance(value, (bytes, np.bytes_)):
        return bytes(value).decode("utf-8", errors="replace")
    return str(value)


def _attribute(value):
    """A root attribute as plain Python: str for strings, a Python number for
    a numeric scalar, a list of str for an array of strings, else the array."""
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


def read_series(path):
    """Reads the series file at ``path`` into a :class:`Series` (all of it, at
    about 1.5 MB per dump).

    Raises OSError when the file cannot be opened or is not HDF5, and
    ValueError when it is not a phasegrid series file (its ``format``
    attribute is not "phasegrid series 1") or its datasets do not agree in
    shape. Needs h5py (Debian: python3-h5py).
    """
    import h5py

    with h5py.File(path, "r") as f:
        fmt = _text(f.attrs["format"]) if "format" in f.attrs else None
        if fmt != SERIES_FORMAT:
            raise ValueError(f'"{path}" is not a phasegrid series file: its format attribute is '
                             f'{fmt!r}, not "{SERIES_FORMAT}"')

        def dataset(name):
            if name not in f or not isinstance(f[name], h5py.Dataset):
                raise ValueError(f'"{path}" is not a complete series file: it has no dataset "{name}"')
            return f[name]

        def strings(name):
            ds = dataset(name)
            if ds.dtype.kind not in "OSU":
                raise ValueError(f'"{path}": dataset "{name}" does not hold strings')
            return [_text(v) for v in ds[()]]

        counts_ds = dataset("counts")
        if counts_ds.ndim != 3 or counts_ds.shape[1:] != (ROWS, COLUMNS) or counts_ds.dtype.kind not in "ui":
            raise ValueError(f'"{path}": counts is {counts_ds.dtype} of shape {counts_ds.shape}, not '
                             f"integers of shape (D, {ROWS}, {COLUMNS})")
        counts = counts_ds[()]
        if counts.dtype.kind == "i" and counts.size and counts.min() < 0:
            raise ValueError(f'"{path}": counts holds negative values')
        counts = counts.astype(np.uint32, copy=False)
        d = counts.shape[0]

        outside_raw = dataset("outside")[()]
        missing = [n for n in OUTSIDE_FIELDS if outside_raw.dtype.names is None or n not in outside_raw.dtype.names]
        if missing:
            raise ValueError(f'"{path}": outside has no field {", ".join(missing)}')
        outside = np.empty(outside_raw.shape, OUTSIDE_DTYPE)
        for name in OUTSIDE_FIELDS:
            outside[name] = outside_raw[name]

        series = Series(
            counts=counts,
            log10_n_edges=np.asarray(dataset("log10_n_edges")[()], dtype=np.float64),
            log10_T_edges=np.asarray(dataset("log10_T_edges")[()], dtype=np.float64),
            time=np.asarray(dataset("time")[()], dtype=np.float64),
            time_ff=np.asarray(dataset("time_ff")[()], dtype=np.float64),
            npart=np.asarray(dataset("npart")[()], dtype=np.int64),
            binned=np.asarray(dataset("binned")[()], dtype=np.int64),
            outside=outside,
            dumps=strings("dump"),
            grid_files=strings("grid_file"),
            status=strings("status"),
            dump_units=np.asarray(dataset("dump_units")[()], dtype=np.float64),
            attrs={name: _attribute(value) for name, value in f.attrs.items()},
        )

    expected = {
        "log10_n_edges": (COLUMNS + 1,),
        "log10_T_edges": (ROWS + 1,),
        "time": (d,),
        "time_ff": (d,),
        "npart": (d,),
        "binned": (d,),
        "outside": (d,),
        "dump_units": (d, 3),
    }
    for name, shape in expected.items():
        actual = getattr(series, name).shape
        if actual != shape:
            raise ValueError(f'"{path}": {name} has shape {actual}, not {shape} (counts holds {d} dumps)')
    for name, values in (("dump", series.dumps), ("grid_file", series.grid_files), ("status", series.status)):
        if len(values) != d:
            raise ValueError(f'"{path}": {name} holds {len(values)} entries, not {d} (counts holds {d} dumps)')
    return series
