#!/usr/bin/env python3
"""Whole-run benchmark of phasegrid against `cat` and numpy on the same dump.

Generates a dump with tools/mkdump once (kept between runs), warms the page
cache, then times one alternating series: every round runs each command
once, in an order rotated from one round to the next:
  cat    cat DUMP > /dev/null
  numpy  bench/numpy_bin.py DUMP > /dev/null (/usr/bin/python3): the same
         grid as (a), counted and written by numpy
  a      phasegrid, no centring, no rotation
  b      phasegrid, centre of mass ("m") and rotating-frame answer 1
  d      phasegrid, centred on the density peak ("d"), no rotation
  c      as (a), also writing the series file (--h5)
For each it prints the median, least and greatest time over --rounds, the
median's ratio to cat's, numpy's median over it, throughput, peak RSS (GNU
time), and the medians of the stages phasegrid prints with
PHASEGRID_TIMING=1. It then checks that numpy's grid is the one (a) writes.

--cold (after the series): each of (a), (b) and (d), --cold-reps times, is
timed once right after a memory hog has touched all the free memory but
1 GiB (the dump stays in the page cache) and exited, as a run that comes
after memory was used elsewhere; each time is printed, with how much of the
dump the page cache still held before the run.

    bench/bench.py [--particles N] [--rounds R] [--runs cat,numpy,a,b,d,c]
                   [--cold] [--cold-reps K] [--dir DIR] [--build BUILD]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
NUMPY_BIN = os.path.join(ROOT, "bench", "numpy_bin.py")

# Allocates argv[1] bytes and writes one byte of every page, then exits.
HOG = "import sys, numpy as np; a = np.empty(int(sys.argv[1]), np.uint8); a[::4096] = 1"


def timed(cmd, cwd, stdin_text=None, env=None):
    """Runs cmd under GNU time; returns (seconds, peak RSS kB, stderr)."""
    full = ["/usr/bin/time", "-f", "@@rss %M"] + cmd
    t0 = time.perf_counter()
    r = subprocess.run(full, cwd=cwd, input=stdin_text, text=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, env=env)
    dt = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"failed ({r.returncode}): {' '.join(cmd)}\n{r.stderr}")
    rss = int(re.search(r"@@rss (\d+)", r.stderr).group(1))
    return dt, rss, r.stderr


def stages(stderr):
    out = {}
    for m in re.finditer(r"phasegrid timing: (.+?)\s+([\d.]+) s", stderr):
        out[m.group(1).strip()] = out.get(m.group(1).strip(), 0.0) + float(m.group(2))
    return out


def mem_free():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemFree:"):
                return int(line.split()[1]) * 1024
    sys.exit("no MemFree in /proc/meminfo")


def cached_share(path):
    """The share of the file the page cache holds (fincore), or None."""
    try:
        r = subprocess.run(["fincore", "--bytes", "--noheadings", "--output", "RES", path],
                           capture_output=True, text=True)
        return int(r.stdout.split()[0]) / os.path.getsize(path) if r.returncode == 0 else None
    except (OSError, ValueError, IndexError):
        return None


def hog():
    """Touches the free memory but 1 GiB, so that the dump stays in the page
    cache, then lets it go."""
    size = max(mem_free() - (1 << 30), 0)
    subprocess.run([PYTHON, "-c", HOG, str(size)], check=True)
    return size


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--particles", type=int, default=10_000_000)
    ap.add_argument("--rounds", type=int, default=5, help="rounds of the series (0: no series)")
    ap.add_argument("--runs", default="cat,numpy,a,b,d,c", help="the runs to time, comma-separated")
    ap.add_argument("--cold", action="store_true", help="also time (a), (b) and (d) after a memory hog")
    ap.add_argument("--cold-reps", type=int, default=3, help="cold runs of each (default 3)")
    ap.add_argument("--dir", default="/tmp/phasegrid-bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = ap.parse_args()

    tool = os.path.join(args.build, "phasegrid")
    mkdump = os.path.join(args.build, "tools", "mkdump")
    os.makedirs(args.dir, exist_ok=True)
    name = "b%06d" % (args.particles // 100000 % 1000000) if args.particles >= 100000 else "bsmall0"
    name = name[:7]
    dump = os.path.join(args.dir, name)
    # The grid file: the name blank-padded to 7 characters.
    grid_file = os.path.join(args.dir, f"QG{name:7}01")

    catalogue = {
        "cat": ("cat", ["cat", name], None),
        "numpy": ("numpy", [PYTHON, NUMPY_BIN, name], None),
        "a": ("(a) no centring, no rotation", [tool], f"1\n{name}\nn\n0\n"),
        "b": ("(b) centre of mass + rotation 1", [tool], f"1\n{name}\nm\n1\n1e-14\n"),
        "d": ("(d) density-peak centring", [tool], f"1\n{name}\nd\n0\n"),
        "c": ("(c) as (a), with --h5", [tool, "--h5", "bench.h5"], f"1\n{name}\nn\n0\n"),
    }
    chosen = [k.strip() for k in args.runs.split(",") if k.strip()]
    unknown = [k for k in chosen if k not in catalogue]
    if unknown or not chosen:
        ap.error(f"--runs: {', '.join(unknown) or 'none given'}; choose from {','.join(catalogue)}")
    runs = {k: catalogue[k] for k in catalogue if k in chosen}

    stamp = dump + ".particles"
    if not (os.path.exists(dump) and os.path.exists(stamp) and open(stamp).read() == str(args.particles)):
        print(f"generating {args.particles} particles into {dump} ...", flush=True)
        subprocess.run([mkdump, "--particles", str(args.particles), "--seed", "11", dump], check=True,
                       stdout=subprocess.DEVNULL)
        open(stamp, "w").write(str(args.particles))
    size = os.path.getsize(dump)
    for _ in range(2):  # warm the page cache
        subprocess.run(["cat", dump], stdout=subprocess.DEVNULL, check=True)

    env = dict(os.environ, PHASEGRID_TIMING="1")
    print(f"machine: {os.cpu_count()} cores; dump: {args.particles} particles, {size / 1e9:.3f} GB")

    if args.rounds > 0:
        series(args, runs, size, env)
        if "numpy" in runs:
            # The grid numpy counted is the one phasegrid's default run writes.
            timed([tool], args.dir, catalogue["a"][2], env)
            r = subprocess.run([PYTHON, NUMPY_BIN, name, "--check", grid_file], cwd=args.dir,
                               capture_output=True, text=True)
            verdict = r.stdout.strip() if r.returncode == 0 else "DIFFERENT\n" + r.stderr.strip()
            print(f"numpy's grid against (a)'s: {verdict}")

    if args.cold:
        cold = [k for k in ("a", "b", "d") if k in runs]
        if not cold:
            print("cold runs: none of a, b, d chosen with --runs")
        for k in cold:
            label, cmd, stdin_text = runs[k]
            lines = []
            for _ in range(args.cold_reps):
                hogged = hog()
                share = cached_share(dump)
                dt, kb, _ = timed(cmd, args.dir, stdin_text, env)
                cached = f"{share * 100:.0f}% cached" if share is not None else "cache unknown"
                lines.append(f"{dt:.3f} s ({kb / 1024:.0f} MB RSS; hog {hogged / 2**30:.1f} GiB, dump {cached})")
            print(f"cold {label}: " + "; ".join(lines))


def series(args, runs, size, env):
    keys = list(runs)
    times = {k: [] for k in keys}
    rss = {k: 0 for k in keys}
    stage_sums = {k: [] for k in keys}
    for i in range(args.rounds):
        shift = i % len(keys)
        for k in keys[shift:] + keys[:shift]:
            _, cmd, stdin_text = runs[k]
            dt, kb, err = timed(cmd, args.dir, stdin_text, env)
            times[k].append(dt)
            rss[k] = max(rss[k], kb)
            stage_sums[k].append(stages(err))

    med = {k: statistics.median(times[k]) for k in keys}
    cat, numpy = med.get("cat"), med.get("numpy")
    print(f"series: {args.rounds} rounds, order rotated each round, warm page cache")
    print(f"{'run':34} {'median s':>9} {'min s':>7} {'max s':>7} {'x cat':>7} {'numpy/it':>9} "
          f"{'GB/s':>7} {'peak RSS MB':>12}")
    for k in keys:
        m = med[k]
        x_cat = f"{m / cat:7.2f}" if cat else f"{'-':>7}"
        x_np = f"{numpy / m:9.2f}" if numpy else f"{'-':>9}"
        print(f"{runs[k][0]:34} {m:9.3f} {min(times[k]):7.3f} {max(times[k]):7.3f} {x_cat} {x_np} "
              f"{size / m / 1e9:7.2f} {rss[k] / 1024:12.1f}")
    for k in keys:
        names = list(dict.fromkeys(n for s in stage_sums[k] for n in s))
        if not names:
            continue
        parts = ", ".join(f"{n} {statistics.median(s.get(n, 0.0) for s in stage_sums[k]):.3f}" for n in names)
        print(f"stages {runs[k][0]}: {parts}")
    if "c" in runs:
        series_file = os.path.join(args.dir, "bench.h5")
        # The series file's bytes on disk, and what one dump's counts take in
        # it (h5py comes with Debian's python3).
        stored = subprocess.run([PYTHON, "-c",
                                 "import h5py, sys; print(h5py.File(sys.argv[1])['counts'].id.get_storage_size())",
                                 series_file], capture_output=True, text=True)
        counts = stored.stdout.strip() if stored.returncode == 0 else "? (no h5py)"
        print(f"series file: {os.path.getsize(series_file)} bytes; one dump's counts: {counts} bytes stored")


if __name__ == "__main__":
    main()
