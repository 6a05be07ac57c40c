"""The grid phasegrid writes, against one made here from the dump itself: the
dump's records parsed without the tool's reader, the particles binned with
numpy by the rules of the user guide."""

import math

import numpy as np
import pytest

import phasegrid
from conftest import DUMPS, grid_name

# Bytes per item of the eight type slots: integer, integer*1, *2, *4, *8,
# real, real*4, real*8.
SLOT_BYTES = (4, 1, 2, 4, 8, 8, 4, 8)
SLOT_TYPES = ("<i4", "<i1", "<i2", "<i4", "<i8", "<f8", "<f4", "<f8")


def records(data):
    """The payloads of a record-framed file: each record is a 4-byte
    little-endian length, the payload, and the length again."""
    pos = 0
    while pos < len(data):
        n = int.from_bytes(data[pos:pos + 4], "little", signed=True)
        assert 0 <= n and pos + 8 + n <= len(data), f"bad record at byte {pos}"
        assert data[pos + 4 + n:pos + 8 + n] == data[pos:pos + 4], f"record at byte {pos}: lengths differ"
        yield data[pos + 4:pos + 4 + n]
        pos += 8 + n


def particles(path):
    """(iphase, rho, dust temperature) of every particle of a dump, in file
    order over its blocks."""
    with open(path, "rb") as f:
        recs = records(f.read())
    next(recs)  # magic numbers and format version
    tagged = next(recs)[1:2] == b"T"  # the file identifier: "FT..." when tagged

    def header_group():
        count = np.frombuffer(next(recs), "<i4")[0]
        if count <= 0:
            return None
        if tagged:
            next(recs)
        return next(recs)

    ints = np.frombuffer(header_group(), "<i4")
    for _ in range(7):  # integer*1, *2, *4, *8, reals, real*4, real*8 (units)
        header_group()
    n_blocks = int(ints[6]) if len(ints) > 6 else 1
    groups_per_block = int(np.frombuffer(next(recs), "<i4")[0]) // n_blocks

    wanted = {  # (group, slot, place in the slot): tag, 0-based
        (0, 2, 0): "iphase",
        (0, 7, 0): "rho",
        (2, 6, 5): "DustTemperature",  # after Erad, opacity, Cv, lambda, EddingtonFactor
    }
    found = {tag: [] for tag in wanted.values()}
    for _ in range(n_blocks):
        lengths = []
        for _ in range(groups_per_block):
            rec = next(recs)
            lengths.append((int(np.frombuffer(rec[:8], "<i8")[0]), np.frombuffer(rec[8:40], "<i4")))
        for g, (length, nums) in enumerate(lengths):
            for slot in range(1, 9):
                for place in range(nums[slot - 1]):
                    tag = next(recs).decode("ascii").rstrip() if tagged else None
                    data = next(recs)
                    want = wanted.get((g, slot, place))
                    if want:
                        assert tag in (None, want), f"{want} expected, {tag} found"
                        assert len(data) >= length * SLOT_BYTES[slot - 1]
                        found[want].append(np.frombuffer(data, SLOT_TYPES[slot - 1], count=length))
    return tuple(np.concatenate(found[t]) for t in ("iphase", "rho", "DustTemperature"))


def bin_particles(iphase, rho, temperature):
    """The grid's counts (540, 700) and (above the columns, outside the rows,
    NaN temperature) as the user guide describes them."""
    with np.errstate(divide="ignore", invalid="ignore"):
        x = 50 * np.log10(rho.astype(np.float64) * 6.7746e-20 / 4e-24 * 2)
        y = 200 * np.log10(temperature)
    active = iphase != -1
    # Below column 1 (also zero, negative, undefined densities): column 1;
    # 50 log10 n of 701 and more: not counted.
    low = ~(x >= 1) | (x == np.inf)
    above = active & ~low & (x >= 701)
    column = np.where(low, 1, np.floor(np.where(low | above, 1, x))).astype(int)
    in_rows = (y >= 1) & (y < 541)
    counted = active & ~above & in_rows
    row = np.floor(np.where(counted, y, 1)).astype(int)
    counts = np.zeros((540, 700), np.int64)
    np.add.at(counts, (row[counted] - 1, column[counted] - 1), 1)
    rest = active & ~above & ~in_rows
    nan = int(np.sum(rest & np.isnan(temperature)))
    return counts, (int(above.sum()), int(rest.sum()) - nan, nan)


def grid_text(counts):
    """A grid file's text for these counts: "%10.3f" of log10 count, -1 if 0."""
    text = {c: f"{math.log10(c) if c > 0 else -1.0:10.3f}" for c in np.unique(counts).tolist()}
    lines = ["#   700  540"] + [" ".join(text[c] for c in row) for row in counts.tolist()]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def binned(run_dir):
    """{dump: (counts, outside, particles)} for the dumps of the run."""
    out = {}
    for dump in DUMPS:
        iphase, rho, temperature = particles(run_dir / dump)
        counts, outside = bin_particles(iphase, rho, temperature)
        out[dump] = counts, outside, len(iphase)
    return out


@pytest.mark.parametrize("dump", list(DUMPS))
def test_grid_file_is_the_dumps_particles_binned(run_dir, binned, dump):
    counts, outside, npart = binned[dump]
    # Enough particles in enough cells that the comparison means something.
    assert counts.sum() > 0.9 * npart and np.count_nonzero(counts) > 100
    with open(run_dir / grid_name(dump)) as f:
        assert f.read() == grid_text(counts)


def test_series_holds_the_exact_counts(series_run, binned):
    _, path = series_run
    series = phasegrid.read_series(path)
    for k, dump in enumerate(DUMPS):
        counts, outside, npart = binned[dump]
        np.testing.assert_array_equal(series.counts[k], counts)
        assert series.binned[k] == counts.sum()
        assert series.npart[k] == npart
        assert tuple(series.outside[k].tolist()) == outside
