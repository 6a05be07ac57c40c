"""Reading phasegrid's results in Python.

phasegrid counts the particles of each dump of an SPH run in a grid of 700
columns of log10 number density by 540 rows of log10 dust temperature. This
package reads what it writes:

- :func:`read_grid`: a grid file ``QG<name>01``, as its (540, 700) values;
- :func:`read_index`: an index file ``IP<name>``, as (time, time_ff, grid name);
- :func:`open_series`: one or more series files (netCDF-4/HDF5, ``--h5``),
  a whole run's exact counts with their axes, times, units and what became
  of each dump, as a :class:`Series` that reads a dump's counts when asked;
  ``Series.to_xarray()`` gives it as an ``xarray.Dataset``, and
  ``Series.diagram(name)`` each of its diagrams (``--diagram``);
- :func:`read_series`: the same, all read into memory;
- :func:`read_dump`: a dump itself, by the tool's own reader: its header,
  sinks, block layout and the particles' arrays as numpy arrays;
  :func:`open_dump` the same as an ``xarray.Dataset``; :func:`diagram` the
  tool's binning (the phase grid, or any ``--diagram``) of a dump or of
  arrays; a damaged dump raises a :class:`DumpError`;
- :func:`check_file`: what every reader does first, refusing a directory, a
  named pipe, a socket or a device before anything opens it.

It needs numpy; h5py is imported only when a series file is read, xarray
only by ``to_xarray()`` and ``open_dump()``. The dump functions need the
package's compiled module, built with the tool or by pip (docs/python.md).
"""

# The version of phasegrid this package comes with (CMakeLists.txt checks
# that the two agree).
__version__ = "0.1.0"

from .dump import (
    DUMP_FAULTS,
    DumpDiagram,
    DumpEndedEarly,
    DumpError,
    diagram,
    open_dump,
    quantities,
    read_dump,
)
from .grid import (
    COLUMNS,
    EMPTY,
    LOG10_N_EDGES,
    LOG10_T_EDGES,
    ROWS,
    NotAGridError,
    check_file,
    grid_values,
    read_grid,
    read_index,
)
from .series import (
    DIAGRAM_STATUSES,
    SERIES_FORMAT,
    STATUSES,
    Axis,
    Cells,
    Counts,
    Diagram,
    Series,
    open_series,
    read_series,
)

__all__ = [
    "Axis",
    "DUMP_FAULTS",
    "DumpDiagram",
    "DumpEndedEarly",
    "DumpError",
    "diagram",
    "open_dump",
    "quantities",
    "read_dump",
    "COLUMNS",
    "Cells",
    "Counts",
    "DIAGRAM_STATUSES",
    "Diagram",
    "EMPTY",
    "LOG10_N_EDGES",
    "LOG10_T_EDGES",
    "ROWS",
    "NotAGridError",
    "SERIES_FORMAT",
    "STATUSES",
    "Series",
    "check_file",
    "grid_values",
    "open_series",
    "read_grid",
    "read_index",
    "read_series",
]
