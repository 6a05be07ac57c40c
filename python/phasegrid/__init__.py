"""Reading phasegrid's results in Python.

phasegrid counts the particles of each dump of an SPH run in a grid of 700
columns of log10 number density by 540 rows of log10 dust temperature. This
package reads what it writes:

- :func:`read_grid`: a grid file ``QG<name>01``, as its (540, 700) values;
- :func:`read_index`: an index file ``IP<name>``, as (time, time_ff, grid name);
- :func:`read_series`: a series file (HDF5, ``--h5``), a whole run's exact
  counts with their axes, times, units and what became of each dump, as a
  :class:`Series`.

It needs numpy; h5py is imported only when a series file is read.
"""

# The version of phasegrid this package comes with (CMakeLists.txt checks
# that the two agree).
__version__ = "0.1.0"

from .grid import (
    COLUMNS,
    EMPTY,
    LOG10_N_EDGES,
    LOG10_T_EDGES,
    ROWS,
    NotAGridError,
    grid_values,
    read_grid,
    read_index,
)
from .series import SERIES_FORMAT, STATUSES, Series, read_series

__all__ = [
    "COLUMNS",
    "EMPTY",
    "LOG10_N_EDGES",
    "LOG10_T_EDGES",
    "ROWS",
    "NotAGridError",
    "SERIES_FORMAT",
    "STATUSES",
    "Series",
    "grid_values",
    "read_grid",
    "read_index",
    "read_series",
]
