"""The grid file ``QG<name>01`` and the index file ``IP<name>`` of a dump.

A grid file is text: the line ``#   700  540`` (columns, rows), then 540
lines of 700 values each, ``%10.3f`` separated by one blank: the log10 of the
cell's count, ``-1.000`` for an empty cell. Line r after the first is row r.

Row r (1 to 540) counts the particles with 200 log10 T_dust in [r, r + 1),
T_dust in K; column c (1 to 700) those with 50 log10 n in [c, c + 1), n in
cm^-3, column 1 also everything below it. The edges of the cells are
:data:`LOG10_T_EDGES` and :data:`LOG10_N_EDGES`.

An index file holds one line: the dump's time in code units and in units of
the free-fall time, each in 12 characters (`` 1.23457E+00``; a three-digit
exponent is written without its letter, ``1.23457-100``), and the grid file's
name, each after one blank.
"""

import errno
import os
import re
import stat

import numpy as np

COLUMNS = 700  #: columns: 50 log10 n, cells [c, c + 1), c = 1..700
ROWS = 540  #: rows: 200 log10 T_dust, cells [r, r + 1), r = 1..540
EMPTY = -1.0  #: the value of an empty cell in a grid file

#: The edges of the columns in log10 n (n in cm^-3): column c spans
#: ``LOG10_N_EDGES[c - 1]`` to ``LOG10_N_EDGES[c]``.
LOG10_N_EDGES = np.arange(1, COLUMNS + 2) / 50.0
#: The edges of the rows in log10 T_dust (K): row r spans
#: ``LOG10_T_EDGES[r - 1]`` to ``LOG10_T_EDGES[r]``.
LOG10_T_EDGES = np.arange(1, ROWS + 2) / 200.0

# A grid file's size: the first line, then ROWS lines of COLUMNS values of 10
# characters, blank-separated. Anything much larger (a dump given by mistake)
# is refused before it is read into memory.
GRID_BYTES = 13 + ROWS * COLUMNS * 11
MAX_BYTES = 2 * GRID_BYTES
# An index line is short; a longer file is not an index file.
MAX_INDEX_BYTES = 4096


# What a path that is neither a regular file nor a directory is, as its
# refusal names it.
SPECIAL_FILES = ((stat.S_ISFIFO, "a named pipe (FIFO)"), (stat.S_ISSOCK, "a socket"),
                 (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


def check_file(path):
    """Refuses what is not a regular file before anything opens it: a
    directory, a named pipe (an open of one that no program writes to waits
    for ever), a socket or a device. Every reader of the package, the series
    files' included, goes through it.

    Returns the file's ``os.stat()``. Raises OSError naming the file:
    IsADirectoryError for a directory, FileNotFoundError, PermissionError
    and the like as ``os.stat`` raises them.
    """
    st = os.stat(path)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    if not stat.S_ISREG(st.st_mode):
        what = next((name for is_it, name in SPECIAL_FILES if is_it(st.st_mode)), "a special file")
        raise OSError(f'"{os.fspath(path)}" is {what}, not a regular file')
    return st


class NotAGridError(ValueError):
    """The file is not a grid file phasegrid writes (or it is empty).

    ``path`` is the file, ``reason`` says what is wrong with it.
    """

    def __init__(self, path, reason):
        self.path = path
        self.reason = reason
        super().__init__(f'"{path}" is not a phasegrid grid file: {reason}')


def read_grid(path):
    """The values of a grid file, as a float array of shape (540, 700).

    ``values[r - 1, c - 1]`` is the file's value for row r, column c: the
    log10 of the cell's count, -1.0 for an empty cell (the file keeps three
    decimals, so counts above a few hundred come back to about 0.1 %; the
    series file holds them exactly).

    Raises OSError when the file cannot be read or is not a regular file
    (:func:`check_file`) and :class:`NotAGridError` (a ValueError) when it
    is not a grid file: its first line is not ``#   700  540``, it has not
    540 rows of 700 numbers, a value is not a log10 count, or the file is
    empty (phasegrid leaves the grid file of a dump stopped by a fault
    empty).
    """
    check_file(path)
    with open(path, "rb") as f:
        data = f.read(MAX_BYTES + 1)
    if not data:
        raise NotAGridError(path, "it is empty (the grid file of a dump that a fault stopped is left empty)")
    if len(data) > MAX_BYTES:
        raise NotAGridError(path, f"it is larger than a grid file ({GRID_BYTES} bytes)")
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError:
        raise NotAGridError(path, "it is not text") from None
    first, _, rest = text.partition("\n")
    m = re.fullmatch(r"#\s*(\d+)\s+(\d+)\s*", first)
    if not m:
        raise NotAGridError(path, f'its first line is not "#   {COLUMNS}  {ROWS}"')
    if (int(m.group(1)), int(m.group(2))) != (COLUMNS, ROWS):
        raise NotAGridError(path, f"it announces {m.group(1)} x {m.group(2)} cells, not {COLUMNS} x {ROWS}")
    lines = rest.splitlines()
    if len(lines) != ROWS:
        raise NotAGridError(path, f"it has {len(lines)} rows after its first line, not {ROWS}")
    rows = [line.split() for line in lines]
    for r, fields in enumerate(rows, start=1):
        if len(fields) != COLUMNS:
            raise NotAGridError(path, f"row {r} has {len(fields)} values, not {COLUMNS}")
    try:
        values = np.array(rows, dtype=float)
    except ValueError:
        raise NotAGridError(path, "it holds values that are not numbers") from None
    if not np.all(np.isfinite(values)) or np.any((values < 0) & (values != EMPTY)):
        raise NotAGridError(path, "it holds values that are not log10 counts")
    return values


def grid_values(counts):
    """The values a grid file holds for ``counts`` (any shape): log10 of each
    count, -1.0 where it is 0. Printed with ``%10.3f`` they are the grid
    file's text."""
    counts = np.asarray(counts)
    out = np.full(counts.shape, EMPTY)
    positive = counts > 0
    out[positive] = np.log10(counts[positive].astype(np.float64))
    return out


def _index_number(text):
    # "1.23457E+00", "-1.23457-100" (three-digit exponent, no letter), "NaN",
    # "Infinity", "-Infinity".
    text = re.sub(r"(?<=\d)([+-]\d{3})$", r"E\1", text)
    return float(text)


def read_index(path):
    """The index file's line as ``(time, time_ff, grid_name)``.

    ``time`` is the dump's time in code units, ``time_ff`` the time in units
    of the free-fall time of the run's reference density (both float; NaN or
    infinite when phasegrid wrote them so), ``grid_name`` the name of the
    dump's grid file (blanks within it kept: ``"QGab     01"``).

    Raises OSError when the file cannot be read or is not a regular file
    (:func:`check_file`) and ValueError when it is empty (phasegrid leaves
    the index file of a dump stopped by a fault empty) or is not an index
    line.
    """
    check_file(path)
    with open(path, "rb") as f:
        data = f.read(MAX_INDEX_BYTES + 1)
    if not data:
        raise ValueError(f'"{path}" is empty (the index file of a dump that a fault stopped is left empty)')
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError(f'"{path}" is not a phasegrid index file: it is not text') from None
    line, _, more = text.partition("\n")
    fields = line.split(maxsplit=2)
    if len(data) > MAX_INDEX_BYTES or more.strip() or len(fields) != 3:
        raise ValueError(f'"{path}" is not a phasegrid index file: not one line of time, time_ff '
                         "and grid file name")
    try:
        time, time_ff = _index_number(fields[0]), _index_number(fields[1])
    except ValueError:
        raise ValueError(f'"{path}" is not a phasegrid index file: "{fields[0]}" and "{fields[1]}" '
                         "are not both numbers") from None
    return time, time_ff, fields[2].rstrip("\r")
