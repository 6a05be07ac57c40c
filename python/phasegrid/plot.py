"""Draws phasegrid's grid files and series files as PNG images, and a series
as a movie.

Each grid file QG<name>01 (the 7-character dump name, blank-padded) holds a
header line "#   700  540" and 540 rows of 700 values: row r counts the
particles with 200 log10 T_dust in [r, r+1), column c those with 50 log10 n in
[c, c+1) (n the number density per cm3; column 1 also holds everything lower),
each value the log10 of the count, -1.000 for an empty cell.

The image shows log10 n along x and log10 T_dust along y, one cell per grid
cell, coloured by log10 count with a colour bar; empty cells are left blank.
The axes show the occupied cells with a margin (--whole-grid: all of the
grid). When the index file IP<name> (the dump name without its trailing
blanks) lies beside the grid file and names it, its time and time in
free-fall units go into the title.

A series file (netCDF-4/HDF5, written by phasegrid --h5) gives one image per
dump, named after the dump's file, all on one colour scale (with --fraction
of log10 count / the dump's particles); with --movie the dumps of one or
more series files, joined in time order, become the frames of a GIF or MP4
movie instead. --diagram NAME draws one of the series' diagrams (phasegrid
--diagram) instead of its grid, into <dump>_NAME.png, and --diagram all
the grid and every diagram: its axes are the diagram's quantities, its
colours log10 of its particles, mass or sum (a sum of both signs, and a
mean, on a linear scale).

The command plot-phasegrid runs main(): the entry point a pip install of
the package makes, under whichever Python holds the package, and the
launcher tools/plot-phasegrid that CMake installs. Uses numpy and
matplotlib (Debian: python3-numpy, python3-matplotlib), h5py for series
files, ffmpeg for MP4 movies.
"""

import argparse
import contextlib
import glob
import math
import os
import subprocess
import sys
import tempfile

import phasegrid

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"  # the first bytes of an HDF5 file
MOVIE_SUFFIXES = (".gif", ".mp4")
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "matplotlib": "python3-matplotlib", "h5py": "python3-h5py"}

COLUMNS = phasegrid.COLUMNS  # 50 log10 n, bins [c, c+1), c = 1..700
ROWS = phasegrid.ROWS        # 200 log10 T_dust, bins [r, r+1), r = 1..540
EMPTY = phasegrid.EMPTY      # the value of an empty cell

# Image layout, fixed so that every grid cell gets at least one pixel and the
# frames of a series line up: figure size in inches at DPI dots per inch, and
# the plot area and the colour bar as [left, bottom, width, height] fractions.
FIG_SIZE = (10.5, 8.0)
DPI = 100
AXES_RECT = (0.09, 0.09, 0.74, 0.80)
COLORBAR_RECT = (0.86, 0.09, 0.025, 0.80)

# Axis extents of a grid file: the left edge of column 1 to the right edge of
# column 700, the bottom edge of row 1 to the top edge of row 540.
X_RANGE = (1 / 50, (COLUMNS + 1) / 50)
Y_RANGE = (1 / 200, (ROWS + 1) / 200)

NotAGrid = phasegrid.NotAGridError  # str(): '"PATH" is not a phasegrid grid file: REASON'


def read_grid(path):
    """The grid of log10 counts, shape (ROWS, COLUMNS), NaN where empty.
    Raises OSError when the file cannot be read, NotAGrid when it is not a
    grid file."""
    grid = phasegrid.read_grid(path)
    grid[grid == EMPTY] = math.nan
    return grid


def index_of(grid_path):
    """(time, time / t_ff) from the index file beside the grid file, or None.
    The grid file QG<name>01 of a dump name of up to 7 characters pads it
    with blanks; a longer name is whole: QGfull000101, IPfull0001."""
    folder, base = os.path.split(grid_path)
    if not (len(base) >= 11 and base.startswith("QG") and base.endswith("01")):
        return None
    try:
        time, ratio, name = phasegrid.read_index(os.path.join(folder, "IP" + base[2:-2].rstrip(" ")))
    except (OSError, ValueError):
        return None
    return (time, ratio) if name == base else None


def is_series(path):
    """Whether the file begins as an HDF5 file does. Raises OSError for a
    file that cannot be read, and for what is not a regular file (a named
    pipe would keep the open waiting for ever) before opening it."""
    phasegrid.check_file(path)
    with open(path, "rb") as f:
        return f.read(len(HDF5_SIGNATURE)) == HDF5_SIGNATURE


def cannot_read(path, e):
    """The line of a file that cannot be read: the system's reason (an
    OSError of the system's), or the package's message, which names the file
    itself."""
    if isinstance(e, OSError) and e.strerror:
        return f'plot-phasegrid: cannot read "{e.filename or path}": {e.strerror}'
    return f"plot-phasegrid: {e}"


def no_maths(text):
    return text.replace("$", r"\$")  # a name is not mathematics


# A Julian year in seconds: the astronomer's year.
YEAR = 365.25 * 86400


def years_text(seconds):
    """A time in seconds as Myr, kyr or years (seconds below a year), 3
    figures."""
    years = seconds / YEAR
    for unit, scale in (("Myr", 1e6), ("kyr", 1e3), ("yr", 1)):
        if abs(years) >= scale:
            return f"{years / scale:.3G} {unit}"
    return f"{seconds:.3G} s"


def time_text(time, ratio, seconds=math.nan):
    """The time of a dump for its title: in years when its time unit is
    known (seconds), and in code units; t/t_ff to 3 figures."""
    if not (math.isfinite(time) and math.isfinite(ratio)):
        return ""
    t = (f"t = {years_text(seconds)} ({time:.5G} code units)" if math.isfinite(seconds)
         else f"t = {time:.5G} (code units)")
    return f"   {t}   t/t$_{{ff}}$ = {ratio:.3G}"


def dump_name_of(grid_path):
    """The dump's name a grid file QG<name>01 is named after (its blanks
    dropped), or the file's own name when it is not named so."""
    base = os.path.basename(grid_path)
    if len(base) >= 5 and base.startswith("QG") and base.endswith("01") and base[2:-2].strip(" "):
        return base[2:-2].rstrip(" ")
    return base


def title_of(grid_path):
    """A grid file's title: the dump it is of, and its time from the index
    file beside it (in code units: a grid file records no time unit)."""
    name = no_maths(dump_name_of(grid_path))
    index = index_of(grid_path)
    return name if index is None else name + time_text(*index)


def series_title(series, k):
    status = series.status[k]
    dump = series.dump[k]
    if len(dump) > 60:  # a long path: its end, which names the dump
        dump = "..." + dump[-57:]
    return (no_maths(dump) + time_text(series.time[k], series.time_ff[k], series.time_s[k])
            + ("" if status == "complete" else f"   ({status})"))


COUNT_LABEL = r"log$_{10}$ count"
N_LABEL = r"log$_{10}$ n [cm$^{-3}$]"
T_LABEL = r"log$_{10}$ T$_\mathrm{dust}$ [K]"
FRACTION_LABEL = r"log$_{10}$ (count / particles in the dump)"

# Unless the whole grid is asked for, the axes show the occupied cells with a
# margin of ZOOM_MARGIN of their extent on each side, and at least
# ZOOM_LEAST (log10 n, log10 T_dust) of each axis.
ZOOM_MARGIN = 0.05
ZOOM_LEAST = (1.0, 0.25)


def zoom_limits(x_edges, y_edges, columns, rows, least=ZOOM_LEAST):
    """((x0, x1), (y0, y1)) showing the occupied columns and rows (boolean
    arrays) within the grid, at least `least` of each axis, or None (the
    whole grid) when none is."""
    import numpy as np

    if not (columns.any() and rows.any()):
        return None
    limits = []
    for edges, used, least in ((x_edges, columns, least[0]), (y_edges, rows, least[1])):
        cells = np.flatnonzero(used)
        lo, hi = float(edges[cells[0]]), float(edges[cells[-1] + 1])
        margin = max(ZOOM_MARGIN * (hi - lo), (least - (hi - lo)) / 2)
        lo, hi = lo - margin, hi + margin
        if lo < edges[0]:  # shifted into the grid, not cut
            lo, hi = float(edges[0]), min(float(edges[-1]), hi + float(edges[0]) - lo)
        if hi > edges[-1]:
            lo, hi = max(float(edges[0]), lo - (hi - float(edges[-1]))), float(edges[-1])
        limits.append((lo, hi))
    return limits


class Frame:
    """A figure of one grid: the cells over the edges, the colour bar and the
    title, the axes within limits (None: the whole grid); show() puts
    another grid of the same shape into it."""

    def __init__(self, x_edges, y_edges, lo, hi, label=COUNT_LABEL, limits=None, xlabel=N_LABEL, ylabel=T_LABEL,
                 colours="viridis"):
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np

        self.np = np
        self.plt = plt
        cmap = matplotlib.colormaps[colours].copy()
        cmap.set_bad((0, 0, 0, 0))  # empty cells: the background shows
        self.fig = plt.figure(figsize=FIG_SIZE, dpi=DPI)
        self.ax = self.fig.add_axes(AXES_RECT)
        blank = np.ma.masked_all((len(y_edges) - 1, len(x_edges) - 1))
        steps = (np.diff(x_edges), np.diff(y_edges))
        if all(np.all(np.abs(s - s.mean()) <= 1e-3 * s.mean()) for s in steps):
            # Evenly spaced: an image, every cell at least one pixel.
            self.cells = self.ax.imshow(
                blank, origin="lower", extent=(x_edges[0], x_edges[-1], y_edges[0], y_edges[-1]),
                aspect="auto", interpolation="nearest", cmap=cmap, vmin=lo, vmax=hi)
        else:
            self.cells = self.ax.pcolormesh(x_edges, y_edges, blank, cmap=cmap, vmin=lo, vmax=hi)
        if limits is not None:
            self.ax.set_xlim(*limits[0])
            self.ax.set_ylim(*limits[1])
        self.ax.set_xlabel(xlabel)
        self.ax.set_ylabel(ylabel)
        bar = self.fig.colorbar(self.cells, cax=self.fig.add_axes(COLORBAR_RECT))
        bar.set_label(label)

    def show(self, grid, title):
        """Draws the grid of values (NaN where empty) under the title."""
        masked = self.np.ma.masked_invalid(grid)
        if hasattr(self.cells, "set_data"):
            self.cells.set_data(masked)
        else:
            self.cells.set_array(masked)
        self.ax.set_title(title)

    def close(self):
        self.plt.close(self.fig)


def colour_range(counted, vmin=None, vmax=None):
    """(lo, hi) of the colour scale: the given bounds, else those of the
    counted cells' values."""
    lo = vmin if vmin is not None else (float(counted.min()) if counted.size else 0.0)
    hi = vmax if vmax is not None else (float(counted.max()) if counted.size else 1.0)
    return lo, (hi if hi > lo else lo + 1.0)


def new_file_mode():
    """The mode a new file gets: 0666 less the umask (which can only be read
    by setting it)."""
    umask = os.umask(0o077)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def replacing(out_path):
    """A file open for writing that becomes out_path when the block ends: a
    new file of a hidden name of its own in out_path's folder (created
    exclusively, so never a file or a link planted there), given the mode of
    a new file and renamed over out_path; removed when the block fails, so
    that out_path is whole or as it was. Its name, the temporary one, only
    tells the writers the format by its suffix: they write into the open
    file."""
    folder = os.path.dirname(out_path) or os.curdir
    suffix = os.path.splitext(out_path)[1]
    fd, partial = tempfile.mkstemp(dir=folder, prefix=".", suffix=".partial" + suffix)
    try:
        with open(partial, "wb", opener=lambda name, flags: fd) as f:
            with contextlib.suppress(OSError):  # a file system without modes may refuse it
                os.fchmod(fd, new_file_mode())
            yield f
        os.replace(partial, out_path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(partial)
        raise


def save(fig, out_path):
    """Writes the figure's PNG into place through replacing(): an image is
    whole or as it was."""
    with replacing(out_path) as f:
        fig.savefig(f, dpi=DPI, format="png")


def plot(grid, title, out_path, vmin=None, vmax=None, whole=False):
    """Writes the PNG of one grid file's log10 counts (NaN where empty); the
    colour scale from vmin to vmax, by default the grid's own range; the
    axes zoomed to the occupied cells unless whole."""
    import numpy as np

    counted = np.isfinite(grid)
    lo, hi = colour_range(grid[counted], vmin, vmax)
    x_edges, y_edges = phasegrid.LOG10_N_EDGES, phasegrid.LOG10_T_EDGES
    limits = None if whole else zoom_limits(x_edges, y_edges, counted.any(axis=0), counted.any(axis=1))
    frame = Frame(x_edges, y_edges, lo, hi, COUNT_LABEL, limits)
    try:
        frame.show(grid, title)
        save(frame.fig, out_path)
    finally:
        frame.close()


def dump_values(series, k, fraction=False, cells=None):
    """Dump k's log10 counts (of the grid, or of `cells`, a diagram's), or
    with fraction log10 (count / the dump's particles); NaN where a cell is
    empty (everywhere when the dump holds no particles)."""
    import numpy as np

    counts = (series.counts if cells is None else cells)[k]
    values = np.full(counts.shape, math.nan)
    positive = counts > 0
    npart = int(series.npart[k]) if fraction else 1
    if npart > 0:
        values[positive] = np.log10(counts[positive] / float(npart))
    return values


def axis_label(axis):
    """A diagram axis' label: its long name and its units, as a label shows
    them."""
    units = phasegrid.series.display_units(axis.units)
    return no_maths(f"{axis.long_name} [{units}]" if units else axis.long_name)


class Picture:
    """What a series' images show: its grid (``counts``) or one of its
    diagrams by name. values(k) gives dump k's cells as coloured: log10 of
    counts (with fraction, of count / the dump's particles), of masses and
    of sums of one sign; a mean, or a sum of both signs, as it is; NaN for
    an empty cell. Raises KeyError for a name the series does not hold,
    ValueError for fraction on what is not counts."""

    def __init__(self, series, name="counts", fraction=False):
        self.series, self.name, self.fraction, self.colours = series, name, fraction, "viridis"
        if name == "counts":
            self.diagram, self.suffix, self.log = None, "", True
            self.x_edges, self.y_edges = series.log10_n_edges, series.log10_T_edges
            self.xlabel, self.ylabel, self.least = N_LABEL, T_LABEL, ZOOM_LEAST
            self.label = FRACTION_LABEL if fraction else COUNT_LABEL
            return
        d = self.diagram = series.diagram(name)
        self.suffix = "_" + name
        self.x_edges, self.y_edges = d.x.edges, d.y.edges
        self.xlabel, self.ylabel = axis_label(d.x), axis_label(d.y)
        # At least a twelfth of each axis shown, as the grid's.
        self.least = ((self.x_edges[-1] - self.x_edges[0]) / 12, (self.y_edges[-1] - self.y_edges[0]) / 12)
        if fraction and d.weight != "count":
            raise ValueError(f"--fraction colours counts of particles; {name} holds {d.long_name}")
        # A sum of both signs would lose its negative cells on a log scale.
        self.log = d.weight in ("count", "mass") or (
            d.weight == "sum" and not any((d.cells[k] < 0).any() for k in range(len(series))))
        if not self.log and d.weight == "sum":  # both signs: blue below 0, red above, grey about 0
            self.colours = "coolwarm"
        units = phasegrid.series.display_units(d.units)
        label = no_maths(f"{d.long_name} [{units}]" if units else d.long_name)
        self.label = (FRACTION_LABEL if fraction else COUNT_LABEL) if d.weight == "count" else \
            r"log$_{10}$ " + label if self.log else label

    def values(self, k):
        import numpy as np

        if self.diagram is not None and self.diagram.status[k] != 0:  # no cells of the dump's
            return np.full(self.diagram.cells.shape[1:], math.nan)
        if self.diagram is None or self.diagram.weight == "count":
            return dump_values(self.series, k, self.fraction, None if self.diagram is None else self.diagram.cells)
        cells = np.asarray(self.diagram.cells[k], np.float64)
        if not self.log:
            return np.where(cells != 0, cells, math.nan)  # a cell of no particles: blank
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(cells > 0, np.log10(cells), math.nan)

    def title(self, k):
        """Dump k's title: the series' title, and why the diagram has no cells
        when it has none."""
        status = 0 if self.diagram is None else int(self.diagram.status[k])
        why = phasegrid.DIAGRAM_STATUSES[status].replace("_", " ") if 0 <= status < 4 else f"status {status}"
        return series_title(self.series, k) + (f"   ({self.name}: {why})" if status else "")


def series_frame(series, args, picture=None):
    """The Frame for all the dumps of a series, of its grid or of a
    Picture: one colour scale from the smallest to the largest value of any
    dump, the axes showing every dump's occupied cells. Reads every dump."""
    import numpy as np

    picture = picture or Picture(series, "counts", args.fraction)
    lo, hi = math.inf, -math.inf
    columns, rows = np.zeros(len(picture.x_edges) - 1, bool), np.zeros(len(picture.y_edges) - 1, bool)
    for k in range(len(series)):
        values = picture.values(k)
        counted = np.isfinite(values)
        if counted.any():
            lo, hi = min(lo, values[counted].min()), max(hi, values[counted].max())
            columns |= counted.any(axis=0)
            rows |= counted.any(axis=1)
    if picture.colours == "coolwarm" and hi >= lo:  # 0 at the middle of the scale
        lo, hi = -max(-lo, hi), max(-lo, hi)
    lo, hi = colour_range(np.array([lo, hi]) if hi >= lo else np.empty(0), args.vmin, args.vmax)
    x_edges, y_edges = picture.x_edges, picture.y_edges
    limits = None if args.whole_grid else zoom_limits(x_edges, y_edges, columns, rows, picture.least)
    return Frame(x_edges, y_edges, lo, hi, picture.label, limits, picture.xlabel, picture.ylabel, picture.colours)


def frame_names(dumps, folder, taken, suffix=""):
    """The PNG of each dump in folder: the dump's file name, the suffix and
    .png; a name taken already (in `taken`, case aside, to which the names
    are added) gets _2, _3, ... before .png."""
    paths = []
    for dump in dumps:
        stem = os.path.basename(dump.rstrip("/"))
        if stem in ("", ".", ".."):
            stem = "dump"
        stem += suffix
        path, n = os.path.join(folder, stem + ".png"), 1
        while path.casefold() in taken:
            n += 1
            path = os.path.join(folder, f"{stem}_{n}.png")
        taken.add(path.casefold())
        paths.append(path)
    return paths


def pictures(series, path, args):
    """The Pictures --diagram asks of the series in `path` (its grid when
    none), or None after a message on standard error."""
    names = args.diagram or ["counts"]
    if "all" in names:
        names = ["counts"] + series.diagrams
    missing = [name for name in names if name != "counts" and name not in series.diagrams]
    if missing:
        held = ", ".join(series.diagrams) or "none"
        print(f'plot-phasegrid: "{path}" holds no diagram {missing[0]} (its diagrams: {held})', file=sys.stderr)
        return None
    try:
        return [Picture(series, name, args.fraction) for name in dict.fromkeys(names)]
    except ValueError as e:
        print(f'plot-phasegrid: "{path}": {e}', file=sys.stderr)
    return None


def expand(paths):
    """The files given, a glob pattern (quoted from the shell) that names no
    file replaced by the files it matches, sorted."""
    files = []
    for path in paths:
        matched = sorted(glob.glob(path)) if glob.has_magic(path) and not os.path.exists(path) else []
        files.extend(matched or [path])
    return files


def open_series(paths):
    """The series of the files (read as their dumps are drawn), or None after
    a message on standard error."""
    try:
        return phasegrid.open_series(paths)
    except ImportError as e:
        print(f'plot-phasegrid: cannot read "{paths[0]}": {e.name} is missing (Debian: apt-get install '
              f"{DEBIAN_PACKAGES.get(e.name, e.name)})", file=sys.stderr)
    except (OSError, ValueError, KeyError) as e:
        print(cannot_read(paths[0], e), file=sys.stderr)
    return None


def draw_series(series, folder, args, taken, picture=None):
    """One PNG per dump of the series' grid, or of a Picture, into folder,
    named by frame_names; the exit status."""
    picture = picture or Picture(series, "counts", args.fraction)
    frame = series_frame(series, args, picture)
    try:
        for k, out_path in enumerate(frame_names(series.dump, folder, taken, picture.suffix)):
            frame.show(picture.values(k), picture.title(k))
            try:
                save(frame.fig, out_path)
            except OSError as e:
                print(f'plot-phasegrid: cannot write "{out_path}": {e.strerror}', file=sys.stderr)
                return 1
            print(out_path)
    finally:
        frame.close()
    return 0


def write_movie(series, out_path, args, picture=None):
    """The dumps of the series, its grid or a Picture, as the frames of a GIF
    or MP4 movie, written whole through replacing(); the exit status."""
    from matplotlib import animation

    mp4 = os.path.splitext(out_path)[1].lower() == ".mp4"
    if mp4:
        if not animation.writers.is_available("ffmpeg"):
            print("plot-phasegrid: an MP4 movie needs ffmpeg, which is not installed (Debian: apt-get "
                  "install ffmpeg); a .gif needs nothing more", file=sys.stderr)
            return 1
        # "-f mp4": the name ffmpeg is given (below) does not tell the format.
        writer = animation.FFMpegWriter(fps=args.fps, codec="libx264",
                                        extra_args=["-pix_fmt", "yuv420p", "-f", "mp4"])
    else:
        writer = animation.PillowWriter(fps=args.fps)
    picture = picture or Picture(series, "counts", args.fraction)
    frame = series_frame(series, args, picture)
    try:
        with replacing(out_path) as f:
            # Pillow writes into the open file; ffmpeg, another process,
            # opens its output by name: that of the file open here, through
            # this process's descriptor, whatever lies at any name by then.
            writer.setup(frame.fig, f"/proc/{os.getpid()}/fd/{f.fileno()}" if mp4 else f, DPI)
            try:
                for k in range(len(series)):
                    frame.show(picture.values(k), picture.title(k))
                    writer.grab_frame()
            except BaseException:
                if mp4:  # ffmpeg is ended; the failure told is this one, not what ffmpeg makes of it
                    with contextlib.suppress(Exception):
                        writer.finish()
                raise
            writer.finish()
    except (OSError, RuntimeError, subprocess.CalledProcessError) as e:
        print(f'plot-phasegrid: cannot write "{out_path}": {getattr(e, "strerror", None) or e}',
              file=sys.stderr)
        return 1
    finally:
        frame.close()
    print(out_path)
    return 0


class UsageFormatter(argparse.HelpFormatter):
    """argparse's help with "Usage:" as the other phasegrid programs write it."""

    def add_usage(self, usage, actions, groups, prefix=None):
        super().add_usage(usage, actions, groups, "Usage: " if prefix is None else prefix)


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog="plot-phasegrid",
        formatter_class=UsageFormatter,
        usage="%(prog)s [OPTIONS] FILE...\n  or:  %(prog)s --movie OUT.gif|OUT.mp4 [OPTIONS] SERIES...",
        description="Draws phasegrid grid files (QG<name>01) as PNG images: log10 number "
        "density across, log10 dust temperature up, log10 count as colour, the axes showing the "
        "occupied cells. The time and the time in free-fall units go into the title when the index "
        "file IP<name> lies beside the grid file. A series file (phasegrid --h5) gives one image per "
        "dump, <dump>.png named after the dump's file (<dump>_2.png for a second dump of that name), "
        "on one colour scale for the whole series, or of its diagrams with --diagram. A FILE in quotes "
        "may be a glob pattern.",
        epilog="Exit status: 0 all drawn; 1 a file was not a grid or series file or an image "
        "could not be written (the others are still drawn); 2 bad usage.",
    )
    p.add_argument("--version", action="version", version=f"plot-phasegrid {phasegrid.__version__}")
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="grid files or series files written by phasegrid")
    p.add_argument(
        "-o",
        "--output-dir",
        metavar="DIR",
        help="write the images into DIR (created if missing) instead of beside each grid or series file",
    )
    p.add_argument("--vmin", type=float, metavar="V",
                   help="value at the bottom of the colour scale (default: the smallest in the grid, or "
                   "in the whole series)")
    p.add_argument("--vmax", type=float, metavar="V",
                   help="value at the top of the colour scale (default: the largest in the grid, or in "
                   "the whole series); fix both to compare grid files")
    p.add_argument("--fraction", action="store_true",
                   help="colour a series' cells by log10 (count / the dump's particles), so that dumps of "
                   "different sizes compare (series files only: a grid file does not record the particles)")
    p.add_argument("--diagram", action="append", metavar="NAME",
                   help="draw the series' diagram NAME (a variable phasegrid --diagram wrote, such as "
                   "mass_log10_n_H2Frac; counts: the grid) instead of its grid, into <dump>_NAME.png; all: the "
                   "grid and every diagram; may be given again")
    p.add_argument("--whole-grid", action="store_true",
                   help="show the whole grid, not only the part around the occupied cells")
    p.add_argument("--movie", metavar="OUT",
                   help="animate the dumps of the series files, joined in time order, into OUT, a .gif "
                   "or (with ffmpeg) an .mp4 movie, instead of writing images")
    p.add_argument("--fps", type=float, default=4.0, metavar="N",
                   help="frames (dumps) per second of the movie (default 4)")
    args = p.parse_args(argv)
    for name in ("vmin", "vmax", "fps"):
        v = getattr(args, name)
        if v is not None and not math.isfinite(v):
            p.error(f"--{name} must be a finite number")
    if args.vmin is not None and args.vmax is not None and args.vmax <= args.vmin:
        p.error("--vmax must be larger than --vmin")
    if args.movie is not None:
        if os.path.splitext(args.movie)[1].lower() not in MOVIE_SUFFIXES:
            p.error(f"--movie {args.movie}: the movie's name must end in .gif or .mp4")
        if args.fps <= 0:
            p.error("--fps must be positive")
        if args.output_dir is not None:
            p.error("--movie writes the one file it names; -o is for images")
        if args.diagram and (len(args.diagram) > 1 or args.diagram[0] == "all"):
            p.error("--movie draws one diagram: give --diagram NAME once")
    return args


def movie(args):
    """--movie: the series files joined into one movie; the exit status."""
    files = expand(args.files)
    for path in files:
        try:
            series_file = is_series(path)
        except OSError as e:
            print(cannot_read(path, e), file=sys.stderr)
            return 1
        if not series_file:
            print(f'plot-phasegrid: "{path}" is not a series file: --movie needs series files (phasegrid '
                  "--h5)", file=sys.stderr)
            return 1
    series = open_series(files)
    if series is None:
        return 1
    with series:
        if len(series) == 0:
            which = f'"{files[0]}" and the others hold' if len(files) > 1 else f'"{files[0]}" holds'
            print(f"plot-phasegrid: {which} no dumps", file=sys.stderr)
            return 1
        chosen = pictures(series, files[0], args)
        return 1 if chosen is None else write_movie(series, args.movie, args, chosen[0])


def main(argv=None):
    """The command: draws what argv (default sys.argv[1:]) names; returns the
    exit status."""
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("plot-phasegrid: matplotlib is missing (Debian: apt-get install python3-matplotlib)",
              file=sys.stderr)
        return 1
    if args.movie is not None:
        try:
            return movie(args)
        except (OSError, ValueError) as e:  # a dump's counts that cannot be read
            print(cannot_read(args.files[0], e), file=sys.stderr)
            return 1
    if args.output_dir:
        try:
            os.makedirs(args.output_dir, exist_ok=True)
        except OSError as e:
            print(f'plot-phasegrid: cannot create "{args.output_dir}": {e.strerror}', file=sys.stderr)
            return 1
    status = 0
    taken = set()  # the images written, so that no two dumps share one
    for path in expand(args.files):
        folder = args.output_dir if args.output_dir else os.path.dirname(path)
        try:
            series_file = is_series(path)
            if not series_file:
                if args.fraction:
                    print(f'plot-phasegrid: "{path}": --fraction needs the dump\'s particles, which only '
                          "a series file records", file=sys.stderr)
                    status = 1
                    continue
                if set(args.diagram or ()) - {"counts", "all"}:
                    print(f'plot-phasegrid: "{path}": --diagram draws the diagrams of a series file; a grid '
                          "file holds none", file=sys.stderr)
                    status = 1
                    continue
                grid = read_grid(path)
        except OSError as e:
            print(cannot_read(path, e), file=sys.stderr)
            status = 1
            continue
        except NotAGrid as e:
            print(f"plot-phasegrid: {e}", file=sys.stderr)
            status = 1
            continue
        if series_file:
            series = open_series([path])
            if series is None:
                status = 1
                continue
            with series:
                if len(series) == 0:
                    print(f'plot-phasegrid: "{path}" holds no dumps', file=sys.stderr)
                    status = 1
                    continue
                chosen = pictures(series, path, args)
                if chosen is None:
                    status = 1
                    continue
                try:
                    for picture in chosen:
                        status = draw_series(series, folder, args, taken, picture) or status
                except (OSError, ValueError) as e:
                    print(cannot_read(path, e), file=sys.stderr)
                    status = 1
            continue
        out_path = os.path.join(folder, os.path.basename(path) + ".png")
        taken.add(out_path.casefold())
        try:
            plot(grid, title_of(path), out_path, args.vmin, args.vmax, args.whole_grid)
        except OSError as e:
            print(f'plot-phasegrid: cannot write "{out_path}": {e.strerror}', file=sys.stderr)
            status = 1
            continue
        print(out_path)
    return status


if __name__ == "__main__":
    sys.exit(main())
