"""A dump itself, read by phasegrid's own reader: its header, its particles'
arrays as numpy arrays, its sinks and its block layout, and the tool's
binning of them (the phase grid, and any diagram of ``--diagram``).

The reader and the binning are the tool's, compiled into the package's
module ``phasegrid._dump``: every record is checked as the tool checks it,
and every array asked for is read once, straight from the file into the
array handed out. Python's lock is let go while the file is read and
while particles are binned.
"""

import importlib
import os

import numpy as np

from .grid import check_file
from .series import Axis

try:
    _dump = importlib.import_module(__package__ + "._dump")
except ModuleNotFoundError:  # the pure-Python parts work without it
    _dump, _why = None, "it was not built"
except ImportError as unusable:  # built for another Python, say
    _dump, _why = None, f"it cannot be loaded: {unusable}"


class DumpError(Exception):
    """A dump phasegrid's reader stops on. ``line`` is the tool's line (also
    ``str()`` of the exception), ``kind`` the name of the fault, ``offset``
    the byte of the file it was found at (-1 when not known), ``path`` the
    dump. Each kind has a subclass of its own (:data:`DUMP_FAULTS`)."""

    def __init__(self, line, kind, offset, path):
        super().__init__(line)
        self.line, self.kind, self.offset, self.path = line, kind, offset, path


class DumpEndedEarly(DumpError):
    """The file ends before the dump does (``END OF FILE REACHED IN RDUMP``).
    ``partial=True`` reads what it holds instead."""


def _class_name(kind):
    return "".join(word.capitalize() for word in kind.split("_"))


#: The exception of each kind of fault, by its name: DumpError's subclasses
#: (``wrong_byte_order``: ``WrongByteOrder``, ...), and ``ended_early``.
DUMP_FAULTS = {"ended_early": DumpEndedEarly}
if _dump is not None:
    for _kind in _dump.fault_kinds():
        DUMP_FAULTS[_kind] = type(_class_name(_kind), (DumpError,), {
            "__doc__": f"A dump fault of kind {_kind}: see DumpError.", "__module__": __name__})
        globals()[_class_name(_kind)] = DUMP_FAULTS[_kind]


def _native(what):
    if _dump is None:
        raise ImportError(
            f"phasegrid.{what} needs the package's compiled module phasegrid._dump, which this installation lacks "
            f"({_why}). It is built with the tool (cmake, with Debian's pybind11-dev) and by pip where g++, "
            f"pybind11-dev and libfmt-dev are installed: see docs/python.md, \"Installing the package\".")
    return _dump


def _call(path, function, *args):
    """function(path, *args), its faults raised as DumpError's subclasses."""
    try:
        return function(path, *args)
    except _dump.Fault as fault:
        kind, line, offset = fault.args
        if kind in DUMP_FAULTS:
            raise DUMP_FAULTS[kind](line, kind, offset, path) from None
        error = {"not_regular": OSError, "bad_answer": ValueError, "store_exhausted": MemoryError,
                 "out_of_memory": MemoryError}.get(kind)
        if error is not None:
            raise error(line) from None
        raise DumpError(line, kind, offset, path) from None


def _names(quantities):
    return [quantities] if isinstance(quantities, str) else None if quantities is None else list(quantities)


def quantities():
    """The quantities a dump may carry, as ``phasegrid --quantities`` lists
    them: for each, a dict of ``name``, ``long_name``, ``units`` (UDUNITS,
    "" when none), ``carried`` (always, dust, radiation or chemistry),
    ``derived`` (found from other arrays), ``dtype`` and ``formula``."""
    return _native("quantities")().quantities()


def read_dump(path, quantities=None, *, partial=False):
    """Reads dump ``path`` with phasegrid's reader, and returns a dict:

    - ``arrays``: each quantity asked for (names as :func:`quantities` gives
      them, and ``iphase``; all the dump carries when None), a numpy array
      of one value per particle, in the dump's order, of the type the dump
      stores it in. ``iphase`` is each particle's phase (int8; -1 inactive,
      0 gas, 1 and up a sink);
    - ``particles``: their number; ``header``: the header's values (time,
      the units ``umass`` g, ``udist`` cm, ``utime`` s, the counts and the
      named reals); ``identification``: ``tagged``, ``format_version`` and
      ``file_identifier`` (bytes);
    - ``sinks``: the sinks' table, a dict of arrays of one value per sink:
      ``listpm`` (the index of its particle, counted from 1), the sink arrays
      the dump holds, and ``x`` ... ``vz`` of its particle (NaN for an index
      outside the particles);
    - ``blocks``: the block layout, a list of dicts: ``offset`` (the byte of
      its first array-length record), ``first`` (its first particle,
      counted from 0), ``particles``, ``sinks``, ``radiative`` and the
      ``quantities`` it holds;
    - ``ended_early``, ``offset`` (where the read stopped), ``warnings`` (the
      reader's warning lines).

    A quantity that some block of particles does not carry raises KeyError.
    A damaged dump raises the :class:`DumpError` subclass of its fault; a
    file that ends before the dump does raises :class:`DumpEndedEarly`,
    unless ``partial`` is true: then the blocks read are returned, the
    arrays of those blocks' particles (the block the file ended in with
    what was read of it whole).
    """
    check_file(path)
    return _call(os.fspath(path), _native("read_dump").read, _names(quantities), partial)


def open_dump(path, quantities=None, *, partial=False):
    """The dump as an ``xarray.Dataset``: each quantity a variable along
    ``particle`` with its ``long_name`` and ``units``; the sinks' table along ``sink`` (``sink_listpm``, ``sink_x``, ...); the layout along
    ``block`` (``block_offset``, ``block_first``, ``block_particles``,
    ``block_sinks``, ``block_radiative``); the header's values, the
    identification and how the read ended as attributes. Arguments and
    exceptions as :func:`read_dump`."""
    import xarray as xr

    d = read_dump(path, quantities, partial=partial)
    info = {q["name"]: q for q in _dump.quantities()}
    data = {}
    info["iphase"] = {"long_name": "phase: -1 inactive, 0 gas, 1 and up a sink", "units": ""}
    for name, values in d["arrays"].items():
        attrs = {"long_name": info[name]["long_name"]}
        if info[name]["units"]:
            attrs["units"] = info[name]["units"]
        data[name] = xr.Variable(("particle",), values, attrs)
    for name, values in d["sinks"].items():
        data["sink_" + name] = xr.Variable(("sink",), values)
    for field in ("offset", "first", "particles", "sinks", "radiative"):
        data["block_" + field] = xr.Variable(("block",), np.array([b[field] for b in d["blocks"]], dtype=np.int64))
    ident = d["identification"]
    attrs = dict(d["header"])
    attrs.update(path=d["path"], tagged=int(ident["tagged"]),
                 file_identifier=ident["file_identifier"].decode("ascii", "replace").strip(),
                 ended_early=int(d["ended_early"]), offset=d["offset"], warnings="\n".join(d["warnings"]))
    return xr.Dataset(data, attrs=attrs)


class DumpDiagram:
    """A diagram of one dump's particles, as :func:`diagram` bins them:
    ``cells`` (Y, X), int32 particles when ``weight`` is "count", float64
    otherwise; ``x`` and ``y`` its axes (:class:`phasegrid.Axis`); ``spec``
    with every part given, ``weight`` and ``of`` as a series' Diagram;
    ``status`` (:data:`phasegrid.DIAGRAM_STATUSES`: 0 when the cells are the
    dump's own), ``long_name`` and ``units``."""

    def __init__(self, d):
        self.spec, self.status, self.cells = d["spec"], d["status"], d["cells"]
        self.long_name, self.units = d["long_name"], d["units"]
        self.x, self.y = (self._axis(d[a]) for a in ("x", "y"))
        weight = self.spec.split(",")[2]
        if weight in ("count", "mass"):
            self.weight, self.of = weight, None
        else:
            self.weight, self.of = ("mean", weight[len("mean:"):]) if weight.startswith("mean:") else ("sum", weight)

    @staticmethod
    def _axis(a):
        edges = np.asarray(a["edges"], dtype=np.float64)
        attrs = {"quantity": a["quantity"], "scale": "log" if a["log"] else "lin", "long_name": a["long_name"],
                 "units": a["units"]}
        return Axis(a["name"], (edges[:-1] + edges[1:]) / 2, np.stack([edges[:-1], edges[1:]], axis=1), attrs)

    def __repr__(self):
        return f"<DumpDiagram {self.spec}: {self.cells.dtype} {self.cells.shape}, status {self.status}>"


def diagram(spec=None, dump=None, *, arrays=None, centre=(0.0, 0.0, 0.0), umass=None, partial=False):
    """The tool's binning, of a dump or of arrays: cells equal, bit for bit,
    to those a run writes.

    ``spec``: None for the phase grid (its (540, 700) int32 counts, rows of
    log10 dust temperature by columns of log10 number density, as a series'
    ``counts``), or a ``--diagram`` SPEC (a :class:`DumpDiagram`), or a list
    of SPECs (a list of them, binned in one pass).

    ``dump``: the path of a dump, read as :func:`read_dump` reads it (only
    what the diagrams use); positions less ``centre`` (x, y, z in code
    units: a series' ``centre[k]`` gives a run's). A diagram whose
    quantities a block does not carry has status 1 and empty cells.

    ``arrays``: instead of a dump, a dict of arrays by quantity name (those
    of :func:`read_dump`'s ``arrays``; with ``iphase`` the inactive are left
    out), of one length; ``umass``, the mass unit in grams, for a diagram
    weighed by mass.
    """
    native = _native("diagram")
    if (dump is None) == (arrays is None):
        raise TypeError("diagram() bins either a dump or arrays: give one of them")
    specs = _names(spec)
    if arrays is not None:
        try:
            out = native.diagram_of_arrays(dict(arrays), specs, float("nan") if umass is None else float(umass))
        except native.Fault as fault:
            raise (MemoryError if fault.args[0] == "store_exhausted" else ValueError)(fault.args[1]) from None
    else:
        check_file(dump)
        centre = tuple(float(c) for c in centre)
        if len(centre) != 3:
            raise ValueError("centre is x, y, z")
        out = _call(os.fspath(dump), native.diagram_of_dump, specs, centre, partial)
    if specs is None:
        return out
    out = [DumpDiagram(d) for d in out]
    return out[0] if isinstance(spec, str) else out
