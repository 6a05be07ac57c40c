#!/usr/bin/env python3
"""Many dumps: the cost of starting a run, and one run against many processes.

  startup   a 1,000-particle dump, each variant once a round, in an order
            rotated from one round to the next; median, least and greatest
            wall time:
              version  phasegrid --version (start and exit, nothing read)
              a        the run, grid and index files to the output folder
              a1       as a, OMP_NUM_THREADS=1
              ap       as a, OMP_WAIT_POLICY=passive
              shm      as a, the files to /dev/shm (syncs cost nothing)
              c        as a, with --h5
              cs       --h5 --series-only
  series    K dumps of N particles each (--particles, or a range A-B spread
            over the dumps), a whole series each round, with --h5 and the
            merge where there are several series files:
              one      one run over all the dumps
              sep      one process per dump, two at a time (xargs -P 2,
                       OMP_NUM_THREADS=1), then phasegrid-merge
              sep2     as sep, each process with both threads
              groups   two processes over half the dumps each, side by side
                       (OMP_NUM_THREADS=1), then phasegrid-merge
              groups2  as groups, each process with both threads
            Every variant must write the same grid files as "one".

Dumps are written with tools/mkdump once and kept (in --dir); the page cache
is warmed before the rounds.

    bench/many_dumps.py startup [--rounds R]
    bench/many_dumps.py series --dumps 40 --particles 50000-200000 [--rounds R]
                               [--runs one,sep,groups] [--options "-c d"]
"""
import argparse
import filecmp
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, env=None, cwd=None, shell=False):
    t0 = time.perf_counter()
    r = subprocess.run(cmd, env=env, cwd=cwd, shell=shell, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, text=True)
    dt = time.perf_counter() - t0
    if r.returncode != 0:
        sys.exit(f"failed ({r.returncode}): {cmd}\n{r.stderr}")
    return dt


def env_with(**kw):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    env.update(kw)
    return env


def make_dump(mkdump, path, particles, seed, t):
    if not os.path.exists(path):
        subprocess.run([mkdump, "--particles", str(particles), "--seed", str(seed), "--time", str(t), path],
                       check=True, stdout=subprocess.DEVNULL)
    return path


def warm(paths):
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass


def series_of(rounds, variants):
    """Runs every variant once a round, the order rotated; returns the times."""
    times = {name: [] for name in variants}
    names = list(variants)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            times[name].append(variants[name]())
    return times


def report(times, unit_ms):
    for name, ts in times.items():
        med = statistics.median(ts)
        if unit_ms:
            print(f"{name:8} {med * 1e3:8.1f} ms  ({min(ts) * 1e3:.1f}-{max(ts) * 1e3:.1f})")
        else:
            print(f"{name:8} {med:8.3f} s   ({min(ts):.3f}-{max(ts):.3f})")


def startup(a):
    pg = os.path.join(a.build, "phasegrid")
    dump = make_dump(os.path.join(a.build, "tools", "mkdump"), os.path.join(a.dir, "d1k"), 1000, 1, 0.75)
    out, shm = os.path.join(a.dir, "out"), "/dev/shm/phasegrid-bench-out"
    for d in (out, shm):
        os.makedirs(d, exist_ok=True)
    h5 = os.path.join(a.dir, "s.h5")
    base = env_with()
    variants = {
        "version": lambda: run([pg, "--version"], base),
        "a": lambda: run([pg, "-o", out, dump], base),
        "a1": lambda: run([pg, "-o", out, dump], env_with(OMP_NUM_THREADS="1")),
        "ap": lambda: run([pg, "-o", out, dump], env_with(OMP_WAIT_POLICY="passive")),
        "shm": lambda: run([pg, "-o", shm, dump], base),
        "c": lambda: run([pg, "-o", out, "--h5", h5, dump], base),
        "cs": lambda: run([pg, "--h5", h5, "--series-only", dump], base),
    }
    chosen = {k: v for k, v in variants.items() if k in a.runs.split(",")} if a.runs else variants
    warm([dump, pg])
    report(series_of(a.rounds, chosen), True)
    shutil.rmtree(shm, ignore_errors=True)


def series(a):
    pg = os.path.join(a.build, "phasegrid")
    merge = os.path.join(a.build, "tools", "phasegrid-merge")
    lo, _, hi = a.particles.partition("-")
    lo, hi = int(lo), int(hi or lo)
    sizes = [lo + (hi - lo) * i // max(a.dumps - 1, 1) for i in range(a.dumps)]
    folder = os.path.join(a.dir, f"series-{a.dumps}-{a.particles}")
    os.makedirs(folder, exist_ok=True)
    mkdump = os.path.join(a.build, "tools", "mkdump")
    dumps = [make_dump(mkdump, os.path.join(folder, f"dump{i + 1:03d}"), n, i + 1, 0.01 * (i + 1))
             for i, n in enumerate(sizes)]
    work = os.path.join(folder, "work")
    opts = a.options.split()

    def fresh(name):
        d = os.path.join(work, name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(os.path.join(d, "series"))
        return d

    def one():
        d = fresh("one")
        return run([pg] + opts + ["-o", d, "--h5", os.path.join(d, "series.h5")] + dumps)

    def sep(name, threads):
        def go():
            d = fresh(name)
            t = run(f"printf '%s\\n' {' '.join(dumps)} | xargs -P 2 -I@ sh -c "
                    f"'{pg} {a.options} -o {d} --h5 {d}/series/$(basename @).h5 @ > /dev/null'",
                    env_with(OMP_NUM_THREADS=str(threads)), shell=True)
            return t + run([merge, os.path.join(d, "series.h5")] + sorted(
                os.path.join(d, "series", f) for f in os.listdir(os.path.join(d, "series"))))
        return go

    def groups(name, threads):
        def go():
            d = fresh(name)
            half = (len(dumps) + 1) // 2
            env = env_with(OMP_NUM_THREADS=str(threads))
            t0 = time.perf_counter()
            procs = [subprocess.Popen([pg] + opts + ["-o", d, "--h5", os.path.join(d, "series", f"{g}.h5")] + part,
                                      env=env, stdout=subprocess.DEVNULL)
                     for g, part in enumerate((dumps[:half], dumps[half:]))]
            if any(p.wait() != 0 for p in procs):
                sys.exit("a group failed")
            t = time.perf_counter() - t0
            return t + run([merge, os.path.join(d, "series.h5"), os.path.join(d, "series", "0.h5"),
                            os.path.join(d, "series", "1.h5")])
        return go

    variants = {"one": one, "sep": sep("sep", 1), "sep2": sep("sep2", 2), "groups": groups("groups", 1),
                "groups2": groups("groups2", 2)}
    chosen = {k: variants[k] for k in a.runs.split(",")}
    warm(dumps + [pg])
    gb = sum(os.path.getsize(d) for d in dumps) / 1e9
    print(f"{a.dumps} dumps of {a.particles} particles, {gb:.2f} GB in all; options: {a.options or 'none'}")
    report(series_of(a.rounds, chosen), False)
    if "one" in chosen:
        for name in chosen:
            for dump in dumps:
                grid = "QG" + os.path.basename(dump).ljust(7) + "01"
                if not filecmp.cmp(os.path.join(work, "one", grid), os.path.join(work, name, grid), False):
                    sys.exit(f"{name}: {grid} differs from one run's")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=["startup", "series"])
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--runs", default="")
    p.add_argument("--dumps", type=int, default=40)
    p.add_argument("--particles", default="50000-200000")
    p.add_argument("--options", default="", help="phasegrid's options for every run")
    p.add_argument("--dir", default="/tmp/phasegrid-bench-many")
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    a = p.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    if a.what == "series" and not a.runs:
        a.runs = "one,sep,groups"
    (startup if a.what == "startup" else series)(a)


if __name__ == "__main__":
    main()
