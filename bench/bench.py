#!/usr/bin/env python3
"""Whole-run benchmark of phasegrid against `cat` of the same dump.

Generates a dump with tools/mkdump once (kept between runs), warms the page
cache, then times in alternation, median of --rounds:
  cat DUMP > /dev/null
  (a) phasegrid, no centring, no rotation
  (b) phasegrid, centre of mass ("m") and rotating-frame answer 1
  (c) as (a), also writing the series file (--h5)
and prints the medians, their ratios to cat, throughput, peak RSS (GNU time)
and the per-stage breakdown the tool prints with PHASEGRID_TIMING=1.

    bench/bench.py [--particles N] [--rounds R] [--dir DIR] [--build BUILD]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--particles", type=int, default=10_000_000)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--dir", default="/tmp/phasegrid-bench")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = ap.parse_args()

    tool = os.path.join(args.build, "phasegrid")
    mkdump = os.path.join(args.build, "tools", "mkdump")
    os.makedirs(args.dir, exist_ok=True)
    name = "b%06d" % (args.particles // 100000 % 1000000) if args.particles >= 100000 else "bsmall0"
    name = name[:7]
    dump = os.path.join(args.dir, name)
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
    runs = {
        "cat": (["cat", name], None),
        "(a) no centring, no rotation": ([tool], f"1\n{name}\nn\n0\n"),
        "(b) centre of mass + rotation 1": ([tool], f"1\n{name}\nm\n1\n1e-14\n"),
        "(c) as (a), with --h5": ([tool, "--h5", "bench.h5"], f"1\n{name}\nn\n0\n"),
    }
    times = {k: [] for k in runs}
    rss = {k: 0 for k in runs}
    stage_sums = {k: [] for k in runs}
    for _ in range(args.rounds):
        for k, (cmd, stdin_text) in runs.items():
            dt, kb, err = timed(cmd, args.dir, stdin_text, env)
            times[k].append(dt)
            rss[k] = max(rss[k], kb)
            stage_sums[k].append(stages(err))

    cat = statistics.median(times["cat"])
    print(f"machine: {os.cpu_count()} cores; dump: {args.particles} particles, {size / 1e9:.3f} GB; "
          f"median of {args.rounds}, warm page cache")
    print(f"{'run':34} {'median s':>9} {'x cat':>7} {'GB/s':>7} {'peak RSS MB':>12}")
    for k in runs:
        m = statistics.median(times[k])
        print(f"{k:34} {m:9.3f} {m / cat:7.2f} {size / m / 1e9:7.2f} {rss[k] / 1024:12.1f}")
    for k in list(runs)[1:]:
        names = stage_sums[k][0].keys()
        parts = ", ".join(f"{n} {statistics.median(s[n] for s in stage_sums[k]):.3f}" for n in names)
        print(f"stages {k}: {parts}")
    series = os.path.join(args.dir, "bench.h5")
    # The series file's bytes on disk, and what one dump's counts take in it
    # (h5py comes with Debian's python3).
    stored = subprocess.run(["/usr/bin/python3", "-c",
                             "import h5py, sys; print(h5py.File(sys.argv[1])['counts'].id.get_storage_size())",
                             series], capture_output=True, text=True)
    counts = stored.stdout.strip() if stored.returncode == 0 else "? (no h5py)"
    print(f"series file: {os.path.getsize(series)} bytes; one dump's counts: {counts} bytes stored")


if __name__ == "__main__":
    main()
