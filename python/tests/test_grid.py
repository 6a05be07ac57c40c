"""read_grid and read_index on the files phasegrid writes, and on files that
are not such files."""

import math

import numpy as np
import pytest

import phasegrid
from conftest import grid_name


def test_reads_the_files_the_tool_writes(run_dir):
    values = phasegrid.read_grid(run_dir / grid_name("d1"))
    assert values.shape == (540, 700) and values.dtype == np.float64
    with open(run_dir / grid_name("d1")) as f:
        lines = f.read().splitlines()
    # Row r is line r after the header; the values as printed.
    assert float(lines[1 + 100].split()[250]) == values[100, 250]
    counted = values != phasegrid.EMPTY
    assert np.all(values[counted] >= 0) and 100 < counted.sum() < values.size
    # 20000 particles, 1 % inactive, none outside the grid: the three
    # decimals of each log10 keep the total to well within 1 %.
    assert (10 ** values[counted]).sum() == pytest.approx(19800, rel=0.01)

    t_ff = math.sqrt(3 * math.pi / (32 * 0.0125))  # mkdump's reference density
    assert phasegrid.read_index(run_dir / "IPd1") == (0.75, float(f"{0.75 / t_ff:.5E}"), "QGd1     01")
    assert phasegrid.read_index(run_dir / "IPd2") == (1.5, float(f"{1.5 / t_ff:.5E}"), "QGd2     01")


def test_index_lines_with_unusual_numbers(tmp_path):
    path = tmp_path / "IPx"
    for line, expected in [
        (" 1.25000E+00  3.33333-100 QGx      01\n", (1.25, 3.33333e-100, "QGx      01")),
        ("-2.00000+120          NaN QGcollapse_004201\n", (-2e120, math.nan, "QGcollapse_004201")),
        ("    Infinity    -Infinity QGx      01", (math.inf, -math.inf, "QGx      01")),
    ]:
        path.write_text(line)
        time, time_ff, name = phasegrid.read_index(path)
        assert (time, name) == expected[::2]
        assert time_ff == expected[1] or (math.isnan(time_ff) and math.isnan(expected[1]))


@pytest.mark.parametrize("text, says", [
    ("", "empty"),
    (" 1.25000E+00  3.33333E-01\n", "not one line"),
    (" 1.25000E+00  3.33333E-01 QGx      01\n 1.0 2.0 QGy      01\n", "not one line"),
    (" 1.25000E+0x  3.33333E-01 QGx      01\n", "not both numbers"),
    ("\x00\xff\x80" * 10, "not"),
])
def test_bad_index_files_are_refused(tmp_path, text, says):
    path = tmp_path / "IPbad"
    path.write_bytes(text.encode("latin-1"))
    with pytest.raises(ValueError, match=says) as e:
        phasegrid.read_index(path)
    assert str(path) in str(e.value)


@pytest.fixture(scope="module")
def good_text(run_dir):
    with open(run_dir / grid_name("d1")) as f:
        return f.read()


@pytest.mark.parametrize("damage, says", [
    (lambda t: "", "it is empty"),
    (lambda t: t.replace("#   700  540", "#   700  541", 1), "700 x 541 cells"),
    (lambda t: t.replace("#   700  540", "700 540", 1), "first line"),
    (lambda t: t[:t.rindex("\n", 0, -1) + 1], "539 rows"),
    (lambda t: t + t.splitlines()[1] + "\n", "541 rows"),
    (lambda t: t[:13] + t[13:].replace("\n", " -1.000\n", 1), "row 1 has 701 values"),
    (lambda t: t[:t.index("\n") + 1] + t[t.index("\n") + 12:], "row 1 has 699 values"),
    (lambda t: t.replace("-1.000", "   abc", 1), "not numbers"),
    (lambda t: t.replace("-1.000", "-2.000", 1), "not log10 counts"),
    (lambda t: t.replace("-1.000", "   nan", 1), "not log10 counts"),
    (lambda t: "\x89HDF\r\n\x1a\n" + t, "not text"),
    (lambda t: t * 3, "larger than a grid file"),
])
def test_bad_grid_files_are_refused(tmp_path, good_text, damage, says):
    path = tmp_path / "QGbad    01"
    path.write_bytes(damage(good_text).encode("latin-1"))
    with pytest.raises(phasegrid.NotAGridError, match=says) as e:
        phasegrid.read_grid(path)
    assert f'"{path}" is not a phasegrid grid file: ' in str(e.value)
    assert isinstance(e.value, ValueError)


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        phasegrid.read_grid(tmp_path / "QGnone   01")
