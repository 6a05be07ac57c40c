"""Tests of tools/plot-phasegrid: the images it draws, read back pixel by
pixel, of grid files and series files, its movies, its options and its
refusals; and the three lines of Python in the user guide that read a grid
file.

Run by ctest with PHASEGRID_BIN (the built tool) and PHASEGRID_SOURCE_DIR set.
"""

import atexit
import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

if "MPLCONFIGDIR" not in os.environ:  # matplotlib's cache, here and in the tool
    os.environ["MPLCONFIGDIR"] = tempfile.mkdtemp(prefix="plot-test-mpl-")
    atexit.register(shutil.rmtree, os.environ["MPLCONFIGDIR"], True)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.image  # noqa: E402
import numpy as np  # noqa: E402

SOURCE = os.environ.get("PHASEGRID_SOURCE_DIR", os.path.join(os.path.dirname(__file__), ".."))
TOOL = os.path.join(SOURCE, "tools", "plot-phasegrid")
PHASEGRID = os.environ.get("PHASEGRID_BIN")


sys.path.insert(0, os.path.join(SOURCE, "python"))
from phasegrid import plot as tool  # noqa: E402  (the tool's module, for its layout and parsers)


def grid_text(counts):
    """A grid file's text from a (540, 700) array of counts, as phasegrid writes it."""
    rows = ["#   700  540"]
    for row in counts:
        rows.append(" ".join(f"{np.log10(c) if c > 0 else -1.0:10.3f}" for c in row))
    return "\n".join(rows) + "\n"


def pixel_box(column, row):
    """The image pixels (x0, x1, y0, y1, from the top left) of grid cell (column, row), 1-based."""
    width, height = tool.FIG_SIZE[0] * tool.DPI, tool.FIG_SIZE[1] * tool.DPI
    left, bottom, w, h = tool.AXES_RECT
    x0 = (left + w * (column - 1) / tool.COLUMNS) * width
    x1 = (left + w * column / tool.COLUMNS) * width
    y_low = (bottom + h * (row - 1) / tool.ROWS) * height
    y_high = (bottom + h * row / tool.ROWS) * height
    return int(np.floor(x0)), int(np.ceil(x1)), int(np.floor(height - y_high)), int(np.ceil(height - y_low))


def centre_pixel(image, column, row):
    x0, x1, y0, y1 = pixel_box(column, row)
    return image[(y0 + y1) // 2, (x0 + x1) // 2, :3]


def is_white(rgb):
    return bool(np.all(rgb > 0.99))


def run(*args, cwd=None):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=cwd, timeout=300)


class Drawing(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="plot-test-")
        self.addCleanup(shutil.rmtree, self.dir)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_cells_with_counts_are_coloured_and_empty_ones_blank(self):
        counts = np.zeros((540, 700))
        counts[299:340, 399:450] = 100  # rows 300..340, columns 400..450
        counts[99:120, 49:80] = 1       # the smallest count: the bottom of the scale
        grid = self.write("QGblock  01", grid_text(counts))
        r = run("--whole-grid", grid)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), grid + ".png")
        image = matplotlib.image.imread(grid + ".png")
        self.assertEqual(image.shape[:2], (800, 1050))

        viridis = matplotlib.colormaps["viridis"]
        np.testing.assert_allclose(centre_pixel(image, 425, 320), viridis(1.0)[:3], atol=0.02)
        np.testing.assert_allclose(centre_pixel(image, 65, 110), viridis(0.0)[:3], atol=0.02)
        for column, row in [(200, 450), (600, 100), (425, 200), (300, 320)]:
            self.assertTrue(is_white(centre_pixel(image, column, row)), (column, row))

    def test_every_lone_cell_shows_even_at_the_edges(self):
        # No grid cell may be lost when the grid is drawn into the image: the
        # corners, and many lone cells scattered over the grid.
        cells = {(1, 1), (700, 540), (1, 540), (700, 1)}
        rng = np.random.default_rng(5)
        while len(cells) < 1500:
            c, r = int(rng.integers(3, 699)), int(rng.integers(3, 539))
            if all((c + dc, r + dr) not in cells for dc in range(-2, 3) for dr in range(-2, 3)):
                cells.add((c, r))
        counts = np.zeros((540, 700))
        for column, row in cells:
            counts[row - 1, column - 1] = 1
        grid = self.write("QGlone   01", grid_text(counts))
        self.assertEqual(run(grid).returncode, 0)
        image = matplotlib.image.imread(grid + ".png")
        for column, row in cells:
            x0, x1, y0, y1 = pixel_box(column, row)
            box = image[y0:y1 + 1, x0:x1 + 1, :3]
            self.assertFalse(np.all(box > 0.99), f"cell ({column}, {row}) is not drawn")

    def test_index_file_gives_the_title_time(self):
        self.write("QGab     01", grid_text(np.ones((540, 700))))
        self.write("IPab", " 1.25000E+00  3.33333-100 QGab     01\n")
        self.assertEqual(tool.index_of(os.path.join(self.dir, "QGab     01")), (1.25, 3.33333e-100))
        self.assertIn("t = 1.25", tool.title_of(os.path.join(self.dir, "QGab     01")))
        # An index line that names another grid file is not this grid's.
        self.write("IPab", " 1.25000E+00  3.33333E-01 QGother  01\n")
        self.assertIsNone(tool.index_of(os.path.join(self.dir, "QGab     01")))
        self.assertEqual(tool.title_of(os.path.join(self.dir, "QGab     01")), "ab")  # the dump, not the file
        # A dump name of more than 7 characters is not cut.
        self.write("IPfull0001", " 2.50000E+00  5.00000E-01 QGfull000101\n")
        self.assertEqual(tool.index_of(os.path.join(self.dir, "QGfull000101")), (2.5, 0.5))

    def test_fixed_colour_range_makes_frames_comparable(self):
        # Both hold cells of 1 and of 10 counts; the second also 1000.
        small, large = np.zeros((540, 700)), np.zeros((540, 700))
        for g in (small, large):
            g[100:120, 100:120] = 1
            g[200:260, 200:260] = 10
        large[400:420, 500:520] = 1000
        a = self.write("QGa      01", grid_text(small))
        b = self.write("QGb      01", grid_text(large))
        out = os.path.join(self.dir, "frames")

        def colour(path):
            image = matplotlib.image.imread(os.path.join(out, os.path.basename(path) + ".png"))
            return centre_pixel(image, 231, 231)

        self.assertEqual(run("-o", out, "--whole-grid", a, b).returncode, 0)
        self.assertGreater(np.abs(colour(a) - colour(b)).max(), 0.1, "own ranges: 10 counts differ")
        r = run("--output-dir", out, "--vmin", "0", "--vmax", "3", "--whole-grid", a, b)
        self.assertEqual(r.returncode, 0, r.stderr)
        np.testing.assert_allclose(colour(a), colour(b), atol=0.01)
        np.testing.assert_allclose(colour(a), matplotlib.colormaps["viridis"](1 / 3)[:3], atol=0.02)
        self.assertFalse(os.path.exists(a + ".png"), "the images go into the output folder")
        self.assertEqual(tool.colour_range(np.array([2.0, 2.0])), (2.0, 3.0), "one value: a decade, not nothing")

    def test_files_that_are_not_grids_are_refused(self):
        good = self.write("QGgood   01", grid_text(np.ones((540, 700))))
        short = grid_text(np.ones((540, 700))).splitlines()
        bad = {
            "text": self.write("notes.txt", "hello\n"),
            "binary": os.path.join(self.dir, "dump"),
            "header": self.write("QGhead   01", "#   700  541\n" + "\n".join(short[1:]) + "\n"),
            "rows": self.write("QGrows   01", "\n".join(short[:-1]) + "\n"),
            "columns": self.write("QGcols   01", "\n".join([short[0]] + [r[:-11] for r in short[1:]]) + "\n"),
            "values": self.write("QGvals   01", "\n".join(short).replace("0.000", "  abc", 1) + "\n"),
            "large": os.path.join(self.dir, "QGlarge  01"),
        }
        with open(bad["binary"], "wb") as f:
            f.write(bytes(range(256)) * 8)
        with open(bad["large"], "w") as f:
            f.write(grid_text(np.ones((540, 700))) * 3)
        r = run(*bad.values(), good)
        self.assertEqual(r.returncode, 1)
        self.assertNotIn("Traceback", r.stderr)
        self.assertEqual(len(r.stderr.splitlines()), len(bad), r.stderr)
        for what, path in bad.items():
            self.assertIn(f'"{path}" is not a phasegrid grid file: ', r.stderr, what)
            self.assertFalse(os.path.exists(path + ".png"), what)
        self.assertTrue(os.path.exists(good + ".png"), "the good file is still drawn")
        r = run(os.path.join(self.dir, "QGnone   01"))
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read", r.stderr)
        self.assertIn("No such file", r.stderr)

    def test_usage(self):
        r = run("--help")
        self.assertEqual(r.returncode, 0)
        for option in ("--output-dir", "--vmin", "--vmax", "--movie"):
            self.assertIn(option, r.stdout)
        self.assertEqual(run().returncode, 2)
        for vmax in ("1", "2"):  # not above --vmin
            self.assertEqual(run("--vmin", "2", "--vmax", vmax, "x").returncode, 2)


def write_series(path, counts, status, npart=None, names=None, start=0.5):
    """A series file (the layout phasegrid --h5 wrote before, which is still
    read) of these counts, one dump per (540, 700) array; a dump not
    complete has no time."""
    import h5py

    d = len(counts)
    text = h5py.string_dtype("utf-8")
    with h5py.File(path, "w") as f:
        f.attrs["format"] = "phasegrid series 1"
        f.create_dataset("counts", data=np.array(counts, np.uint32))
        f.create_dataset("log10_n_edges", data=np.arange(1, 702) / 50)
        f.create_dataset("log10_T_edges", data=np.arange(1, 542) / 200)
        times = [start + 0.5 * k if s == "complete" else np.nan for k, s in enumerate(status)]
        f.create_dataset("time", data=times)
        f.create_dataset("time_ff", data=np.array(times) / 4.854)
        f.create_dataset("binned", data=np.sum(counts, axis=(1, 2), dtype=np.int64))
        f.create_dataset("npart", data=f["binned"][()] if npart is None else npart)
        f.create_dataset("outside", data=np.zeros(d, [("above_columns", "<i8"), ("outside_rows", "<i8"),
                                                       ("nan", "<i8")]))
        f.create_dataset("dump", data=np.array(names or [f"run/d{k}" for k in range(d)], dtype=text))
        f.create_dataset("grid_file", data=np.array([f"QGd{k:<6}01" for k in range(d)], dtype=text))
        f.create_dataset("status", data=np.array(status, dtype=text))
        f.create_dataset("dump_units", data=np.ones((d, 3)))


class Series(unittest.TestCase):
    """Series files: an image per dump on one colour scale, and movies."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="plot-test-series-")
        self.addCleanup(shutil.rmtree, self.dir)
        # Cells of 1 and 10 counts in the first dump, 10 and 1000 in the
        # second; the third was stopped by a fault and has no grid.
        self.counts = np.zeros((3, 540, 700), np.uint32)
        self.counts[0, 100:120, 100:120] = 1
        self.counts[:2, 200:260, 200:260] = 10
        self.counts[1, 400:420, 500:520] = 1000
        self.series = os.path.join(self.dir, "run.h5")
        write_series(self.series, self.counts, ["complete", "complete", "stopped by a fault"])

    def test_one_image_per_dump_on_one_colour_scale(self):
        out = os.path.join(self.dir, "frames")
        r = run("-o", out, "--whole-grid", self.series)
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [os.path.join(out, f"d{k}.png") for k in range(3)]
        self.assertEqual(r.stdout.splitlines(), names)
        images = [matplotlib.image.imread(n) for n in names]
        viridis = matplotlib.colormaps["viridis"]
        # The scale runs from log10 1 to log10 1000 in every frame.
        for image in images[:2]:
            np.testing.assert_allclose(centre_pixel(image, 231, 231), viridis(1 / 3)[:3], atol=0.02)
        np.testing.assert_allclose(centre_pixel(images[0], 110, 110), viridis(0.0)[:3], atol=0.02)
        np.testing.assert_allclose(centre_pixel(images[1], 510, 410), viridis(1.0)[:3], atol=0.02)
        self.assertTrue(all(is_white(centre_pixel(images[2], c, r)) for c, r in [(231, 231), (510, 410)]))
        s = tool.phasegrid.read_series(self.series)
        self.assertEqual(tool.series_title(s, 1), "run/d1   t = 1 s (1 code units)   t/t$_{ff}$ = 0.206")
        self.assertEqual([tool.years_text(y * tool.YEAR) for y in (12345, 2.5e6, 1)], ["12.3 kyr", "2.5 Myr", "1 yr"])
        self.assertEqual(tool.series_title(s, 2), "run/d2   (stopped by a fault)")
        s.dump[2] = "/scratch/" + "x" * 60 + "/cloud001"  # too long for a title: its end
        self.assertRegex(tool.series_title(s, 2), r"^\.\.\.x{48}/cloud001   \(stopped")

    def test_movie_has_a_frame_per_dump(self):
        from PIL import Image

        gif = os.path.join(self.dir, "run.gif")
        r = run("--movie", gif, "--fps", "2", "--whole-grid", self.series)
        self.assertEqual(r.returncode, 0, r.stderr)
        with Image.open(gif) as movie:
            self.assertEqual((movie.n_frames, movie.size), (3, (1050, 800)))
            movie.seek(1)
            frame = np.asarray(movie.convert("RGB")) / 255
        np.testing.assert_allclose(centre_pixel(frame, 510, 410), matplotlib.colormaps["viridis"](1.0)[:3],
                                   atol=0.03)
        if shutil.which("ffmpeg"):
            mp4 = os.path.join(self.dir, "run.mp4")
            self.assertEqual(run("--movie", mp4, self.series).returncode, 0)
            probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                    "stream=nb_read_frames,width,height", "-of", "csv=p=0", mp4],
                                   capture_output=True, text=True)
            self.assertEqual(probe.stdout.strip(), "1050,800,3")
        self.assertEqual(run("--movie", os.path.join(self.dir, "run.avi"), self.series).returncode, 2)
        grid = self.write_grid()
        r = run("--movie", os.path.join(self.dir, "x.gif"), grid)
        self.assertEqual(r.returncode, 1)
        self.assertIn("is not a series file", r.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["run.h5", "run.gif", "QGg      01"] +
                                                              (["run.mp4"] if shutil.which("ffmpeg") else [])))

    def test_frames_named_after_dumps_and_coloured_by_fraction(self):
        # 10 counts of 1000 particles and 100 of 10000: the same fraction.
        counts = np.zeros((3, 540, 700), np.uint32)
        counts[0, 200:260, 200:260], counts[1, 200:260, 200:260], counts[2, 100, 100] = 10, 100, 1
        path = os.path.join(self.dir, "sizes.h5")
        write_series(path, counts, ["complete"] * 3, npart=[1000, 10000, 1],
                     names=["a/D1", "b/D1", "D1_2"])  # (upper case: names are compared case aside)
        out = os.path.join(self.dir, "Frames")
        r = run("-o", out, "--fraction", "--whole-grid", path)
        self.assertEqual(r.returncode, 0, r.stderr)
        names = [os.path.join(out, n) for n in ("D1.png", "D1_2.png", "D1_2_2.png")]
        self.assertEqual(r.stdout.splitlines(), names)
        colours = [centre_pixel(matplotlib.image.imread(n), 231, 231) for n in names[:2]]
        # The third dump's one particle in one cell makes the top of the
        # scale, log10 1; both blocks, log10 0.01, its bottom.
        np.testing.assert_allclose(colours[0], colours[1], atol=0.01)
        np.testing.assert_allclose(colours[0], matplotlib.colormaps["viridis"](0.0)[:3], atol=0.02)
        r = run("--fraction", self.write_grid())
        self.assertEqual(r.returncode, 1)
        self.assertIn("--fraction needs the dump's particles", r.stderr)

    def test_diagrams_on_their_own_axes_and_scales(self):
        sys.path.insert(0, os.path.join(SOURCE, "python", "tests"))
        from diagram_files import add_diagram

        # 4 x 2 cells: counts 1 and 100 (a log scale), means 10, 20, 30 K (linear); d1's means not its own.
        counts, means = np.zeros((3, 2, 4), np.int32), np.full((3, 2, 4), np.nan)
        counts[0, 0, 0], counts[1, 1, 3], means[:2, 0, :3] = 1, 100, [10, 20, 30]
        axes = (("log10_n_2", "n", "log", np.linspace(0, 8, 5), "log10 number density", "lg(re 1 cm-3)"),
                ("H2Frac", "H2Frac", "lin", np.linspace(0, 1, 3), "H2 fraction", ""))
        names = ["count_log10_n_H2Frac", "mean_DustTemperature_log10_n_H2Frac"]
        add_diagram(self.series, names[0], "n:log:0:8:4,H2Frac:lin:0:1:2,count", axes, counts, [0, 0, 3])
        add_diagram(self.series, names[1], "n:log:0:8:4,H2Frac:lin:0:1:2,mean:DustTemperature", axes, means,
                    [0, 1, 3], long_name="mean DustTemperature", units="K")
        out = os.path.join(self.dir, "d")
        r = run("-o", out, "--whole-grid", "--diagram", "all", self.series)
        self.assertEqual((r.returncode, len(r.stdout.split())), (0, 9), r.stderr)

        def colour(dump, name, column, row):
            image = matplotlib.image.imread(os.path.join(out, f"{dump}_{name}.png"))
            left, bottom, w, h = tool.AXES_RECT
            return image[int(800 * (1 - bottom - h * (row - 0.5) / 2)), int(1050 * (left + w * (column - 0.5) / 4)), :3]

        viridis = matplotlib.colormaps["viridis"]
        np.testing.assert_allclose(colour("d0", names[0], 1, 1), viridis(0.0)[:3], atol=0.02)
        np.testing.assert_allclose(colour("d1", names[0], 4, 2), viridis(1.0)[:3], atol=0.02)
        for column, at in ((1, 0.0), (2, 0.5), (3, 1.0)):
            np.testing.assert_allclose(colour("d0", names[1], column, 1), viridis(at)[:3], atol=0.02)
        self.assertTrue(is_white(colour("d1", names[1], 2, 1)))
        r = run("--diagram", "mass", self.series)
        self.assertEqual((r.returncode, names[0] in r.stderr), (1, True))
        self.assertEqual(run("--movie", os.path.join(self.dir, "x.gif"), "--diagram", "all", self.series).returncode, 2)

    def test_movie_of_several_series_in_time_order(self):
        counts = np.zeros((2, 540, 700), np.uint32)
        write_series(os.path.join(self.dir, "early.h5"), counts, ["complete"] * 2, start=0.1)
        gif = os.path.join(self.dir, "all.gif")
        r = run("--movie", gif, os.path.join(self.dir, "*.h5"))
        self.assertEqual(r.returncode, 0, r.stderr)
        with tool.phasegrid.open_series(os.path.join(self.dir, "*.h5")) as s:
            self.assertEqual(list(s.time[:3]), [0.1, 0.5, 0.6])
        from PIL import Image

        with Image.open(gif) as movie:
            self.assertEqual(movie.n_frames, 5)

    def test_axes_zoom_to_the_occupied_cells(self):
        columns, rows = np.zeros(700, bool), np.zeros(540, bool)
        columns[399:450] = rows[299:340] = True  # log10 n 8 to 9.02, log10 T 1.5 to 1.705
        n, t = tool.phasegrid.LOG10_N_EDGES, tool.phasegrid.LOG10_T_EDGES
        (x0, x1), (y0, y1) = tool.zoom_limits(n, t, columns, rows)
        self.assertTrue(7.9 < x0 < 8 and 9.02 < x1 < 9.12, (x0, x1))
        self.assertAlmostEqual(y1 - y0, tool.ZOOM_LEAST[1])  # at least this much of T
        self.assertAlmostEqual((y0 + y1) / 2, (1.5 + 1.705) / 2)
        columns[0] = rows[539] = True  # as far as the grid goes, and no further
        (x0, x1), (y0, y1) = tool.zoom_limits(n, t, columns, rows)
        self.assertEqual((x0, y1), (n[0], t[-1]))
        self.assertIsNone(tool.zoom_limits(n, t, columns, rows & False))

    def test_images_and_movies_are_written_through_no_link(self):
        # Links at the old temporary name and at the image's own: the file they lead to is kept, whether the
        # writing succeeds or fails (a full disk); no temporary file is left; the image has a new file's mode.
        s, args = tool.phasegrid.open_series(self.series), tool.parse_args(["--movie", "x.gif", self.series])
        self.addCleanup((frame := tool.series_frame(s, args)).close)
        self.addCleanup(os.umask, os.umask(0o027))
        full = mock.patch("matplotlib.figure.Figure.savefig", side_effect=OSError(28, "No space left"))
        for suffix, fails in [(x, f) for x in (".png", ".gif", ".mp4")[:3 if shutil.which("ffmpeg") else 2] for f in (0, 1)]:
            out, victim = os.path.join(tempfile.mkdtemp(dir=self.dir), "out" + suffix), self.write_grid()
            old = f"{os.path.dirname(out)}/.out{suffix if suffix == '.png' else ''}.{os.getpid()}.partial{suffix}"
            os.symlink(victim, out), os.symlink(victim, old)
            with full if fails else contextlib.nullcontext(), contextlib.redirect_stdout(None), \
                    contextlib.redirect_stderr(None), contextlib.suppress(OSError):
                tool.save(frame.fig, out) if suffix == ".png" else tool.write_movie(s, out, args)
            self.assertIsNotNone(tool.read_grid(victim))
            self.assertEqual(set(os.listdir(os.path.dirname(out))), {"out" + suffix, os.path.basename(old)})
            self.assertEqual(os.path.islink(out) or os.stat(out).st_mode & 0o777, fails or 0o640, (suffix, fails))

    def test_unreadable_files_are_refused_in_one_line_promptly(self):
        # Cut short, left half written by a killed run, a named pipe no program writes to, empty, a folder:
        # the package's readers and the tool name the file in one line, and none waits.
        paths = [os.path.join(self.dir, n) for n in ("cut.h5", "run.h5.unfinished", "fifo", "empty", "folder")]
        for path, size in zip(paths, (5000, os.path.getsize(self.series))):
            shutil.copyfile(self.series, path)
            os.truncate(path, 5000), os.truncate(path, size)  # the rest not written: zeros
        os.mkfifo(paths[2]), os.mknod(paths[3]), os.mkdir(paths[4])
        self.addCleanup(signal.signal, signal.SIGALRM, signal.signal(signal.SIGALRM, lambda *_: self.fail("waits")))
        self.addCleanup(signal.alarm, 0)
        for path in paths:
            signal.alarm(20)
            for read in (tool.phasegrid.read_grid, tool.phasegrid.read_index, tool.phasegrid.open_series):
                with self.assertRaisesRegex((OSError, ValueError), re.escape(path)):
                    read(path)
            signal.alarm(0)
            r = run(path)
            self.assertEqual((r.returncode, r.stdout), (1, ""))
            self.assertRegex(r.stderr, f'^plot-phasegrid: (cannot read )?"{re.escape(path)}"[^\n]*\n$')
        # A symbolic link to a series reads as the series.
        os.symlink(self.series, link := os.path.join(self.dir, "link.h5"))
        np.testing.assert_array_equal(tool.phasegrid.read_series(link).counts[1], self.counts[1])

    def write_grid(self):
        path = os.path.join(self.dir, "QGg      01")
        with open(path, "w") as f:
            f.write(grid_text(np.ones((540, 700))))
        return path


@unittest.skipUnless(PHASEGRID, "PHASEGRID_BIN is not set")
class FromTheTool(unittest.TestCase):
    """The example dump through phasegrid, then through the plot tool and the
    user guide's three lines."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="plot-test-run-")
        shutil.copy(os.path.join(SOURCE, "tests/data/conformance/01_tagged_full/full001"), cls.dir)
        run_ = subprocess.run([PHASEGRID], input="1\nfull001\nn\n0\n", capture_output=True,
                              text=True, cwd=cls.dir)
        assert run_.returncode == 0, run_.stdout + run_.stderr
        cls.grid = os.path.join(cls.dir, "QGfull00101")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_drawn_where_the_counts_are(self):
        r = run("--whole-grid", "QGfull00101", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        image = matplotlib.image.imread(self.grid + ".png")
        self.assertEqual(image.shape[:2], (800, 1050))
        grid = tool.read_grid(self.grid)
        row, column = np.unravel_index(np.nanargmax(grid), grid.shape)
        top = centre_pixel(image, column + 1, row + 1)
        self.assertFalse(is_white(top))
        empty = np.argwhere(np.isnan(grid[:, :]))
        # An empty cell with empty neighbours: blank.
        for r0, c0 in empty[:: max(1, len(empty) // 500)]:
            if 1 <= r0 < 539 and 1 <= c0 < 699 and np.all(np.isnan(grid[r0 - 1:r0 + 2, c0 - 1:c0 + 2])):
                self.assertTrue(is_white(centre_pixel(image, c0 + 1, r0 + 1)), (c0 + 1, r0 + 1))
                break
        else:
            self.fail("no empty cell found")
        self.assertEqual(tool.index_of(self.grid), (0.75, 0.15451))

    def test_user_guide_reads_the_grid_in_three_lines(self):
        with open(os.path.join(SOURCE, "docs/user-guide.md")) as f:
            guide = f.read()
        block = re.search(r"```python\n(.*?)```", guide, re.S)
        self.assertIsNotNone(block, "docs/user-guide.md has no python block")
        code = block.group(1)
        self.assertEqual(len(code.strip().splitlines()), 3, code)
        names = {}
        cwd = os.getcwd()
        os.chdir(self.dir)
        try:
            exec(code.replace("QGname   01", "QGfull00101"), names)
        finally:
            os.chdir(cwd)
        counts = names["counts"]
        grid = tool.read_grid(self.grid)
        self.assertEqual(counts.shape, (540, 700))
        np.testing.assert_array_equal(counts > 0, np.isfinite(grid))
        np.testing.assert_allclose(counts[np.isfinite(grid)], 10 ** grid[np.isfinite(grid)])
        # The example's 3000 particles, less those outside the grid; the file's
        # three decimals of log10 make each count a little off.
        self.assertGreater(counts.sum(), 2000)
        self.assertLess(counts.sum(), 3005)


if __name__ == "__main__":
    unittest.main()
