#!/usr/bin/python3
"""Two diagrams of a run in numpy: the yardstick of

    phasegrid --h5 s.h5 -c d --diagram n,H2Frac,mass --diagram n,r:log:-4:1:250 DUMP

Maps a tagged dump and walks its records as bench/numpy_bin.py does, takes
each block's phases, positions, masses, smoothing lengths, densities and H2
fractions by their tags and the mass unit from the header, centres on the
density peak (the mean position of the particles within 4 h of the densest
one) and bins the active particles with np.histogram2d:

- mass (g) by log10 n (0.02 to 14.02, 700 bins) and H2Frac (0 to 1, 100);
- particles by log10 n and log10 r, the distance from the centre (-4 to 1,
  250 bins, code units).

It prints the time of the read, the centring and the binning (the best of
--repeat runs), and the particles and mass binned.

    bench/diagram_numpy.py DUMP [--repeat N]
"""
import argparse
import mmap
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from numpy_bin import DENSITY_UNIT, PARTICLE_MASS, SLOT_BYTES, DumpError, Records  # noqa: E402

# The arrays used, by group (1 gas, 3 radiative) and tag: type slot and type.
WANTED = {(1, "iphase"): (2, np.int8), (1, "rho"): (7, np.float32), (3, "H2Frac"): (7, np.float32)}
WANTED.update({(1, tag): (6, np.float64) for tag in ("x", "y", "z", "m", "h")})


def edges(lo, hi, bins):
    """lo + i (hi - lo) / bins, the last one hi: the edges phasegrid draws."""
    e = lo + np.arange(bins + 1) * (hi - lo) / bins
    e[-1] = hi
    return e


N_EDGES, H2_EDGES, R_EDGES = edges(0.02, 14.02, 700), edges(0.0, 1.0, 100), edges(-4.0, 1.0, 250)


def read(buf):
    """({tag: array of every particle}, the mass unit in grams) of a mapped
    tagged dump."""
    r = Records(buf)
    r.next()
    at, _ = r.next()
    if bytes(buf[at + 1:at + 2]) != b"T":
        raise DumpError("not a tagged dump (its identifier does not begin 'FT')")
    npart, n_blocks, umass = 0, 1, 0.0
    for slot in range(1, 9):  # the header's groups: a count, then tags and values
        (count,) = r.ints("<i")
        if count <= 0:
            continue
        r.next()
        at, n = r.next()
        if slot == 1:
            ints = np.frombuffer(buf, np.int32, min(count, n // 4), at)
            npart = int(ints[0])
            n_blocks = int(ints[6]) if (count == 7 or 41 <= count <= 44) and len(ints) > 6 else 1
        elif slot == 8 and count >= 2:
            umass = float(np.frombuffer(buf, "<f8", 2, at)[1])  # udist, umass, utime
    (n_lengths,) = r.ints("<i")
    if n_blocks < 1 or n_lengths // n_blocks < 3:
        raise DumpError(f"{n_lengths} array lengths over {n_blocks} blocks: no radiative group")
    found = {tag: [] for _, tag in WANTED}
    for b in range(1, n_blocks + 1):
        groups = [r.ints("<q8i") for _ in range(n_lengths // n_blocks)]
        block = {}
        for g, (length, *nums) in enumerate(groups, start=1):
            for slot, count in enumerate(nums, start=1):
                for _ in range(count):
                    tag = r.tag()
                    at, n = r.next()
                    want = WANTED.get((g, tag))
                    if want is not None:
                        if want[0] != slot or n != length * SLOT_BYTES[slot]:
                            raise DumpError(f"block {b}: {tag} is no array of {length} items of slot {want[0]}")
                        block[tag] = np.frombuffer(buf, want[1], length, at)
        if len(block) != len(WANTED):
            raise DumpError(f"block {b} lacks {', '.join(sorted(set(found) - set(block)))}")
        n = max(0, min(npart, len(block["rho"])))
        if len(block["H2Frac"]) != n:
            raise DumpError(f"block {b}: {len(block['H2Frac'])} H2 fractions for {n} particles")
        for tag, values in block.items():
            found[tag].append(values[:n])
    return {tag: np.concatenate(v) for tag, v in found.items()}, umass


def density_peak(p):
    """The mean position of the particles within 4 h of the densest one."""
    i = int(np.argmax(p["rho"]))
    pos = np.stack([p["x"], p["y"], p["z"]])
    d = pos - pos[:, i:i + 1]
    near = (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2] < (16.0 * p["h"][i]) * p["h"][i]
    return pos[:, near].mean(axis=1) if near.any() else np.zeros(3)


def diagrams(p, umass, centre):
    """(mass by log10 n and H2Frac, particles by log10 n and log10 r), each
    (Y, X) as a series file holds its cells."""
    active = p["iphase"] != -1
    with np.errstate(divide="ignore", invalid="ignore"):
        n = p["rho"][active].astype(np.float64)
        n *= DENSITY_UNIT
        n /= PARTICLE_MASS
        n *= 2.0
        log_n = np.log10(n)
        r = np.sqrt(sum((p[c][active] - centre[k]) ** 2 for k, c in enumerate("xyz")))
        log_r = np.log10(r)
    mass, _, _ = np.histogram2d(log_n, p["H2Frac"][active], [N_EDGES, H2_EDGES], weights=p["m"][active] * umass)
    count, _, _ = np.histogram2d(log_n, log_r, [N_EDGES, R_EDGES])
    return mass.T, count.T.astype(np.int32)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("dump")
    ap.add_argument("--repeat", type=int, default=3, help="runs, of which the best is shown (default 3)")
    args = ap.parse_args()
    best = None
    try:
        for _ in range(max(1, args.repeat)):
            t0 = time.perf_counter()
            with open(args.dump, "rb") as f:
                buf = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            p, umass = read(buf)
            t1 = time.perf_counter()
            centre = density_peak(p)
            t2 = time.perf_counter()
            mass, count = diagrams(p, umass, centre)
            t3 = time.perf_counter()
            if best is None or t3 - t0 < best[-1]:
                best = (t1 - t0, t2 - t1, t3 - t2, t3 - t0)
    except (DumpError, OSError, ValueError) as e:
        sys.exit(f"diagram_numpy.py: {args.dump}: {e}")
    print(f"{args.dump}: {len(p['rho'])} particles; {int(count.sum())} binned by n and r, "
          f"{mass.sum():.6g} g by n and H2Frac")
    print("read {:.3f} s, centring {:.3f} s, binning {:.3f} s, total {:.3f} s".format(*best))


if __name__ == "__main__":
    main()
