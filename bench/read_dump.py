#!/usr/bin/python3
"""phasegrid.read_dump against numpy.fromfile, on the bench dump.

The yardstick reads the records of the arrays asked for with numpy.fromfile,
knowing where they lie (found beforehand, untimed) and checking nothing;
read_dump reads the same arrays with phasegrid's reader, every record of the
dump checked. Each read runs in a process of its own, the cache warm, in
alternating rounds; the figures are the least and the median time and the
peak resident memory above what the process held before the read (numpy and
phasegrid imported), against the arrays' own size.

    PYTHONPATH=build/python bench/read_dump.py [DUMP] [--rounds R] [--quantities rho,DustTemperature]
"""

import argparse
import json
import mmap
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from numpy_bin import SLOT_BYTES, header  # noqa: E402

TYPES = {6: np.float64, 7: np.float32, 5: np.float64}


def where(path, tags):
    """{tag: (offset, count, dtype)} of the arrays of a one-block tagged dump."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as buf:
        r, _, n_blocks = header(buf)
        if n_blocks != 1:
            sys.exit("bench/read_dump.py: a dump of one block, please")
        (n_lengths,) = r.ints("<i")
        groups = [r.ints("<q8i") for _ in range(n_lengths)]
        found = {}
        for length, *nums in groups:
            for slot, count in enumerate(nums, start=1):
                for _ in range(count):
                    tag, (at, size) = r.tag(), r.next()
                    if tag in tags:
                        found[tag] = (at, size // SLOT_BYTES[slot], TYPES[slot])
        return found


def one(how, path, quantities):
    """Times one read in this process: (seconds, peak MB above the start, the arrays' MB)."""
    import phasegrid  # noqa: F401 (imported before the baseline either way)

    spots = where(path, quantities) if how == "fromfile" else None
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter()
    if how == "fromfile":
        arrays = [np.fromfile(path, dtype, count, offset=offset) for offset, count, dtype in spots.values()]
    else:
        arrays = list(phasegrid.read_dump(path, quantities)["arrays"].values())
    t = time.perf_counter() - t
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    return t, peak / 1024, sum(a.nbytes for a in arrays) / 2**20


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("dump", nargs="?", default="/tmp/phasegrid-bench/b000100")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--quantities", default="rho,DustTemperature")
    ap.add_argument("--one", choices=("fromfile", "read_dump"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    quantities = args.quantities.split(",")
    if args.one:
        print(json.dumps(one(args.one, args.dump, quantities)))
        return
    subprocess.run(["cat", args.dump], stdout=subprocess.DEVNULL, check=True)  # warm the cache
    results = {"fromfile": [], "read_dump": []}
    for k in range(args.rounds):
        for how in (("fromfile", "read_dump") if k % 2 == 0 else ("read_dump", "fromfile")):
            out = subprocess.run([sys.executable, __file__, "--one", how, "--quantities", args.quantities, args.dump],
                                 check=True, capture_output=True, text=True).stdout
            results[how].append(json.loads(out))
    base = statistics.median(r[0] for r in results["fromfile"])
    print(f"{args.dump}: {', '.join(quantities)}; {args.rounds} rounds")
    for how, runs in results.items():
        times = [r[0] for r in runs]
        peak = max(r[1] for r in runs)
        arrays = runs[0][2]
        print(f"  {how:9}  least {min(times):.4f} s  median {statistics.median(times):.4f} s "
              f"({statistics.median(times) / base:.2f} x fromfile)  peak +{peak:.0f} MB "
              f"(arrays {arrays:.0f} MB, {peak - arrays:+.0f} MB beyond them)")


if __name__ == "__main__":
    main()
