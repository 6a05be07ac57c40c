#!/usr/bin/python3
"""phasegrid's default run in numpy: the competitor bench/bench.py times.

Maps a tagged dump, walks its records, finds each block's `iphase` (int8) and
`rho` (float32) gas arrays and its `DustTemperature` (float64) radiative array
by their tags, and counts the particles in the 540 x 700 grid the way
phasegrid's default run does (no centring, no rotation):

  column = int(50 log10(((rho * 6.7746e-20) / 4e-24) * 2)); below 1 (and zero,
           negative, NaN or infinite rho) the first column; 701 and above
           dropped;
  row    = int(200 log10(T_dust)); below 1, 541 and above, or NaN dropped;
  particles with iphase -1 (inactive) skipped.

Then it writes the grid as phasegrid writes it (header "#   700  540", 540
rows of 700 values "%10.3f" of log10(count), -1.000 for none) to standard
output, or to -o FILE.

    bench/numpy_bin.py DUMP [-o GRIDFILE] [--check QGFILE] [--chunk N]

--check QGFILE compares the grid, value by value as written, with a grid file
phasegrid wrote, says whether they are the same and exits 1 on any
difference; the grid is then written only to -o FILE.
"""
import argparse
import math
import mmap
import struct
import sys

import numpy as np

NX, NY = 700, 540
CELLS = NX * NY
DENSITY_UNIT = 6.7746e-20
PARTICLE_MASS = 4e-24

TAG_BYTES = 16
SLOT_BYTES = {1: 4, 2: 1, 3: 2, 4: 4, 5: 8, 6: 8, 7: 4, 8: 8}
# The arrays used, by group (1 gas, 3 radiative), tag and type slot.
WANTED = {
    (1, "iphase"): (2, np.int8),
    (1, "rho"): (7, np.float32),
    (3, "DustTemperature"): (6, np.float64),
}


class DumpError(Exception):
    pass


class Records:
    """A mapped dump read record by record: 4-byte little-endian length N,
    N bytes, the same length again."""

    def __init__(self, buf):
        self.buf = buf
        self.pos = 0

    def next(self):
        """Returns (offset of the payload, its length) and moves past the record."""
        p = self.pos
        if p + 4 > len(self.buf):
            raise DumpError(f"the file ends at byte {p}, where a record should begin")
        (n,) = struct.unpack_from("<i", self.buf, p)
        if n < 0 or p + 8 + n > len(self.buf):
            raise DumpError(f"record at byte {p}: length {n} runs past the end of the file")
        (trail,) = struct.unpack_from("<i", self.buf, p + 4 + n)
        if trail != n:
            raise DumpError(f"record at byte {p}: leading length {n}, trailing {trail}")
        self.pos = p + 8 + n
        return p + 4, n

    def ints(self, fmt):
        at, n = self.next()
        if n < struct.calcsize(fmt):
            raise DumpError(f"record at byte {at - 4}: {n} bytes, too short")
        return struct.unpack_from(fmt, self.buf, at)

    def tag(self):
        at, n = self.next()
        return bytes(self.buf[at:at + min(n, TAG_BYTES)]).decode("latin-1").rstrip(" \0")


def header(buf):
    """Walks a tagged dump's identification and header: (the Records at the
    count of array lengths, npart, the number of blocks)."""
    r = Records(buf)
    r.next()  # identification: magic numbers and format version
    at, n = r.next()
    if bytes(buf[at + 1:at + 2]) != b"T":
        raise DumpError("not a tagged dump (its identifier does not begin 'FT')")
    npart, n_blocks = 0, 1
    # The header's eight groups: a count, then a tag record and a data record
    # of that many values when there are any.
    for slot in range(1, 9):
        (count,) = r.ints("<i")
        if count <= 0:
            continue
        r.next()
        at, n = r.next()
        if slot == 1:
            values = np.frombuffer(buf, np.int32, min(count, n // 4), at)
            if len(values) == 0:
                raise DumpError("the header's integers record is empty")
            npart = int(values[0])
            # The block count is there in the layouts of 7 and 41 to 44.
            if (count == 7 or 41 <= count <= 44) and len(values) > 6:
                n_blocks = int(values[6])
    return r, npart, n_blocks


def blocks(buf):
    """Yields (iphase, rho, DustTemperature) of each block: arrays of the
    block's particles, mapped from the file without a copy."""
    r, npart, n_blocks = header(buf)
    (n_lengths,) = r.ints("<i")
    if n_blocks < 1 or n_lengths // n_blocks < 3:
        raise DumpError(f"{n_lengths} array lengths over {n_blocks} blocks: no radiative group")
    per_block = n_lengths // n_blocks
    total = 0
    for b in range(1, n_blocks + 1):
        groups = [r.ints("<q8i") for _ in range(per_block)]
        found = {}
        for g, (length, *nums) in enumerate(groups, start=1):
            for slot, count in enumerate(nums, start=1):
                for _ in range(count):
                    tag = r.tag()
                    at, n = r.next()
                    want = WANTED.get((g, tag))
                    if want is None:
                        continue
                    if want[0] != slot or n != length * SLOT_BYTES[slot]:
                        raise DumpError(f"block {b}: {tag} is no array of {length} items of slot {want[0]}")
                    found[tag] = np.frombuffer(buf, want[1], length, at)
        missing = [t for (_, t) in WANTED if t not in found]
        if missing:
            raise DumpError(f"block {b} lacks {', '.join(missing)}")
        # A block holds no more particles than the header counts, and its
        # dust temperatures are read only when they cover them all.
        n = max(0, min(npart, len(found["rho"])))
        if len(found["DustTemperature"]) != n:
            raise DumpError(f"block {b}: {len(found['DustTemperature'])} dust temperatures for {n} particles")
        total += n
        if n_blocks > 1 and b == n_blocks and total != npart:
            raise DumpError(f"the blocks hold {total} particles, the header counts {npart}")
        yield found["iphase"][:n], found["rho"][:n], found["DustTemperature"]


def bin_chunk(iphase, rho, dust, out):
    """Puts the flat cell index (row - 1) * 700 + column - 1 of each particle
    in out, CELLS for one that is not counted."""
    x = rho.astype(np.float64)
    x *= DENSITY_UNIT
    x /= PARTICLE_MASS
    x *= 2.0
    np.log10(x, out=x)
    x *= 50.0
    # NaN, infinite and below 1: the first column; finite and 701 or more: dropped.
    inside = (x >= 1.0) & (x < NX + 1.0)
    keep = ~((x >= NX + 1.0) & (x != np.inf))
    col = np.where(inside, x, 1.0).astype(np.int32)
    y = np.log10(dust)
    y *= 200.0
    row_ok = (y >= 1.0) & (y < NY + 1.0)  # False for NaN
    row = np.where(row_ok, y, 1.0).astype(np.int32)
    keep &= row_ok
    keep &= iphase != -1
    row -= 1
    row *= NX
    row += col
    row -= 1
    np.copyto(out, CELLS)
    np.copyto(out, row, where=keep)


def count_grid(path, chunk, batch=1 << 20):
    """The grid of counts, 540 rows of 700. Particles are binned `chunk` at a
    time (temporaries that stay in the cache) and counted `batch` cell
    indices at a time."""
    counts = np.zeros(CELLS + 1, np.int64)
    cells = np.empty(max(batch, chunk), np.int32)
    with open(path, "rb") as f:
        buf = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    filled = 0
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        for iphase, rho, dust in blocks(buf):
            for s in range(0, len(rho), chunk):
                e = min(s + chunk, len(rho))
                if filled + e - s > len(cells):
                    counts += np.bincount(cells[:filled], minlength=CELLS + 1)
                    filled = 0
                bin_chunk(iphase[s:e], rho[s:e], dust[s:e], cells[filled:filled + e - s])
                filled += e - s
    counts += np.bincount(cells[:filled], minlength=CELLS + 1)
    return counts[:CELLS].reshape(NY, NX)


def grid_text(grid):
    """The grid as phasegrid writes it: a header line, then 540 rows of 700
    values, each log10(count) as "%10.3f" (-1.000 for none), blank-separated."""
    distinct, where = np.unique(grid, return_inverse=True)
    table = np.array([b"%10.3f " % (math.log10(c) if c > 0 else -1.0) for c in distinct.tolist()])
    if table.dtype.itemsize != 11:
        raise ValueError("a count too large for the grid's ten-character values")
    rows = table[where.reshape(grid.shape)].view(np.uint8).reshape(NY, NX * 11)
    rows[:, -1] = ord("\n")
    return b"# %5d%5d\n" % (NX, NY) + rows.tobytes()


def check(text, grid, path):
    """Prints the cells where phasegrid's grid file differs; returns how many."""
    with open(path, "rb") as f:
        theirs = f.read()
    if theirs == text:
        return 0
    head, _, body = theirs.partition(b"\n")
    if head.split() != [b"#", str(NX).encode(), str(NY).encode()]:
        print(f"{path}: header {head[:40]!r}, not '# {NX} {NY}'", file=sys.stderr)
        return CELLS
    values = body.split()
    if len(values) != CELLS:
        print(f"{path}: {len(values)} values, not {CELLS}", file=sys.stderr)
        return CELLS
    theirs = np.array(values).reshape(NY, NX)
    mine = np.array(text.partition(b"\n")[2].split()).reshape(NY, NX)
    bad = np.argwhere(mine != theirs)
    for r, c in bad[:10]:
        print(f"row {r + 1} column {c + 1}: numpy {mine[r, c].decode()} ({grid[r, c]} particles), "
              f"phasegrid {theirs[r, c].decode()}", file=sys.stderr)
    return len(bad)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dump")
    ap.add_argument("-o", "--output", help="write the grid to this file")
    ap.add_argument("--check", metavar="QGFILE", help="compare with phasegrid's grid file; exit 1 on a difference")
    ap.add_argument("--chunk", type=int, default=1 << 16, help="particles binned at a time (default 65536)")
    args = ap.parse_args()
    if args.chunk < 1:
        ap.error("--chunk must be at least 1")
    try:
        grid = count_grid(args.dump, args.chunk)
        text = grid_text(grid)
    except (DumpError, OSError, ValueError) as e:
        sys.exit(f"numpy_bin.py: {args.dump}: {e}")
    try:
        if args.output:
            with open(args.output, "wb") as f:
                f.write(text)
        elif not args.check:
            sys.stdout.buffer.write(text)
            sys.stdout.flush()
        differ = check(text, grid, args.check) if args.check else 0
    except OSError as e:
        sys.exit(f"numpy_bin.py: {e}")
    if args.check:
        if differ:
            sys.exit(f"numpy_bin.py: {differ} of {CELLS} cells differ from {args.check}")
        print(f"same grid as {args.check}: {int(grid.sum())} particles in {np.count_nonzero(grid)} cells")


if __name__ == "__main__":
    main()
