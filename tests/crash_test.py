"""Whatever stops a run (a signal at any write, a full disk, no memory or threads), each
output file is the earlier one as it was, or whole and exact. Run by ctest."""

import concurrent.futures
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

import numpy as np

from phasegrid import read_series

PHASEGRID, MKDUMP = os.environ["PHASEGRID_BIN"], os.environ["MKDUMP_BIN"]
SHIM = {"LD_PRELOAD": os.environ["PHASEGRID_SIGNAL_LIB"]}  # a signal at the Nth write
DUMPS = ["d1", "d2", "d3"]  # d3 is cut short: it ends early
OUTPUTS = [f"IP{d}" for d in DUMPS] + [f"QG{d:<7}01" for d in DUMPS]


def run(args, cwd, env=(), limit_kb=None):
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (limit_kb * 1024, resource.RLIM_INFINITY))  # noqa: E731
    return subprocess.run([PHASEGRID, "-q", *(["--replace"] if "--h5" in args else []), *args], cwd=cwd, env={**os.environ, **dict(env)}, capture_output=True,
                          text=True, preexec_fn=limit if limit_kb else None, timeout=120)


class Crash(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top, cls.earlier = Path(tempfile.mkdtemp(prefix="phasegrid-crash-")), {}
        cls.addClassCleanup(shutil.rmtree, cls.top, True)
        for k, name in enumerate(DUMPS + ["e1"], 1):
            subprocess.run([MKDUMP, "--particles", "3000", "--seed", str(k), cls.top / name], check=True,
                           stdout=subprocess.DEVNULL)
        os.truncate(cls.top / "d3", 300000)
        # The whole run's files; an earlier run's series (of another dump: each
        # run replaces it), and text no run writes.
        cls.whole = cls.folder("whole")
        run(["--h5", "run.h5", *DUMPS], cls.whole)
        cls.counts = dict(zip(DUMPS, read_series(cls.whole / "run.h5").counts))
        run(["--h5", "run.h5", "../e1"], cls.folder("earlier"))
        cls.earlier = {"run.h5": (cls.top / "earlier/run.h5").read_bytes(), **{o: b"earlier\n" for o in OUTPUTS}}

    @classmethod
    def folder(cls, name):
        (path := cls.top / name).mkdir()
        for d in DUMPS:  # (a hard link would move the change time of a dump that another run reads)
            os.symlink(cls.top / d, path / d)
        for out, text in cls.earlier.items():
            (path / out).write_bytes(text)
        return path

    def check_outputs(self, path, sig):
        if (path / "run.h5").read_bytes() != self.earlier["run.h5"]:
            s = read_series(path / "run.h5")  # all datasets of one length, or it raises
            self.assertEqual(s.dumps, DUMPS[:len(s)])
            for k, d in enumerate(s.dumps):
                if s.status[k] == "complete":
                    np.testing.assert_array_equal(s.counts[k], self.counts[d])
            if sig != signal.SIGKILL and len(s) < len(DUMPS):
                self.assertEqual(s.attrs["interrupted"], f"{sig.name} in dump {len(s) + 1} of 3")
        for out in OUTPUTS:
            self.assertIn((path / out).read_bytes(), (b"earlier\n", (self.whole / out).read_bytes()))
        if sig != signal.SIGKILL:
            self.assertEqual(list(path.glob("*.unfinished")), [])

    def test_signal_at_every_write(self):
        run(["--h5", "run.h5", *DUMPS], self.folder("counted"), {**SHIM, "PHASEGRID_TEST_COUNT_TO": str(self.top / "n")})
        writes = int((self.top / "n").read_text())
        # (SIGINT and SIGHUP go the way of SIGTERM: every fourth write is enough)
        cases = [(sig, n) for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
                 for n in range(1, writes + 1, 1 if sig in (signal.SIGKILL, signal.SIGTERM) else 4)]

        def crash(case):
            env = {**SHIM, "PHASEGRID_TEST_SIGNAL_AT": str(case[1]), "PHASEGRID_TEST_SIGNAL": str(int(case[0]))}
            return (path := self.folder(f"{case[0].name}-{case[1]}")), run(["--h5", "run.h5", *DUMPS], path, env)

        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            for (sig, n), (path, r) in zip(cases, pool.map(crash, cases)):
                with self.subTest(signal=sig.name, write=n):
                    self.assertIn(r.returncode, (-sig, 1), r.stderr)  # 1: after the last dump
                    self.check_outputs(path, sig)
                    if sig == signal.SIGKILL and n % 4 == 1:  # the next run takes over what a kill left
                        run(["--h5", "run.h5", *DUMPS], path)
                        self.check_outputs(path, signal.SIGTERM)
                shutil.rmtree(path)

    def test_dump_that_changes_while_it_is_read(self):
        # d1 rewritten with d2's bytes before its last read (values read back, positions for the centring, a
        # whole read, values copied into a later dump): a fault, never a grid. A new link to it is no change.
        subprocess.run([MKDUMP, "--particles", "2000", self.top / "short"], check=True, stdout=subprocess.DEVNULL)
        for n, (args, env, statuses) in enumerate([
                (["d1"], {}, ["changed while read"]), (["-c", "m", "d1"], {}, ["changed while read"]),
                (["d1"], {"PHASEGRID_READ_ALL": "1"}, ["changed while read"]),
                (["d1", "short"], {}, ["complete", "stopped by a fault"]), (["d1"], {"link": ""}, ["complete"])]):
            (path := self.top / f"changed-{n}").mkdir()
            [shutil.copy(self.top / name, path) for name in ("d1", "short")]  # the one rewritten is the run's own
            env = {**SHIM, **env, "PHASEGRID_TEST_REWRITE_FILE": "d1", "PHASEGRID_TEST_READS_TO": path / "n"}
            run(["--h5", "run.h5", *args], path, env)
            r = run(["--h5", "run.h5", *args], path, {**env, "PHASEGRID_TEST_REWRITE_AT": (path / "n").read_text(),
                                                       "PHASEGRID_TEST_REWRITE_WITH": env.get("link", self.top / "d2")})
            fault = statuses != ["complete"]
            self.assertEqual((r.returncode, read_series(path / "run.h5").status), (int(fault), statuses), args)
            self.assertEqual(fault, 'dump "d1" changed while it was read (its modification time and change time '
                                    'differ)' in r.stderr)
            self.assertEqual((path / f"QG{args[-1]:<7}01").read_bytes() == b"", fault)

    def test_closed_standard_streams(self):  # nothing of the console lands in an output file
        path = self.folder("closed")
        for redirect, status in ((">&- 2>&-", 2), ("<&- 2>&-", 0)):
            r = subprocess.run(["sh", "-c", f'"$@" {redirect}', "sh", PHASEGRID, "--replace", "--h5", "run.h5", "d1"],
                               cwd=path)
            self.assertEqual(r.returncode, status)
            self.assertEqual(*[(p / "QGd1     01").read_bytes() + (p / "IPd1").read_bytes() for p in (path, self.whole)])
        # Standard error closed while a dump that ends early has its files open.
        (path / "cut").write_bytes((path / "d1").read_bytes()[:-4])
        r = subprocess.run(["sh", "-c", '"$@" 2>&-', "sh", PHASEGRID, "-k", "cut", "d1"], cwd=path,
                           stdout=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 1)
        self.assertNotIn(b"phasegrid", (path / "IPcut").read_bytes() + (path / "QGcut    01").read_bytes())

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "mounting a small disk needs root")
    def test_disk_that_fills(self):
        # Full as the series is created, or (from `room` KB, the earlier
        # series on it) later: one line, no crash, the file as it was.
        room = len(self.earlier["run.h5"]) // 1024 + 8
        script = (f'mkdir disk && mount -t tmpfs -o size=$0k tmpfs disk || exit 99; [ $0 -lt {room} ] || cp run.h5 disk; '
                  '"$@"; s=$?; cp -a disk/. after; exit $s')
        for size in (4, 8, 12, 20, 32, 64, room, room + 20, room + 40):
            with self.subTest(size=size):
                path = self.folder(f"disk-{size}")
                r = subprocess.run(["unshare", "-m", "sh", "-c", script, str(size), PHASEGRID, "-q", "--replace",
                                    "--h5", "disk/run.h5", *DUMPS], cwd=path, capture_output=True, text=True)
                if r.returncode == 99: self.skipTest("no small file system can be mounted here")  # noqa: E701
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertTrue(all(line.startswith("phasegrid: ") for line in r.stderr.splitlines()), r.stderr)
                self.assertEqual(r.stderr.count('phasegrid: cannot write the series file "disk/run.h5": '), 1)
                after = {p.name: p.read_bytes() for p in (path / "after").iterdir()}
                self.assertEqual(after, {"run.h5": self.earlier["run.h5"]} if size >= room else {})
        # The grids on a disk that holds one: the series says which dump's files were not written.
        path = self.folder("grids-disk")
        r = subprocess.run(["unshare", "-m", "sh", "-c", script, "6000", PHASEGRID, "-q", "-o", "disk", "--replace",
                            "--h5", "run.h5", *DUMPS], cwd=path, capture_output=True, text=True)
        self.assertIn('cannot write output file "disk/QGd2     01": No space left on device', r.stderr)
        s = read_series(path / "run.h5")
        self.assertEqual((r.returncode, s.status, s.grid_file), (2, ["complete", "files not written"], [OUTPUTS[3], ""]))

    @unittest.skipIf(os.environ.get("PHASEGRID_SANITIZED") == "1", "no room for the sanitizer's shadow memory")
    def test_memory_or_threads_that_cannot_be_had(self):
        path = self.folder("memory")
        subprocess.run([MKDUMP, "--particles", "1000000", path / "big"], check=True, stdout=subprocess.DEVNULL)
        r = run(["--h5", "run.h5", "d1", "big", "d2"], path, limit_kb=150000)
        self.assertIn('Cannot allocate memory; dump "big" stopped the run', r.stderr)
        self.assertEqual((r.returncode, read_series(path / "run.h5").status), (2, ["complete", "out of memory"]))
        r = run(["d1"], path, {"OMP_NUM_THREADS": "64"}, limit_kb=100000)
        self.assertEqual((r.returncode, r.stderr), (2, "phasegrid: cannot start the 64 threads of the particle loops: "
                                                        "Resource temporarily unavailable\n"))
        # Limits all about what the run and HDF5 (which crashed on a failed allocation) need: a line naming it.
        for kb in range(15000, 90000, 1000):
            r = run(["-c", "d", "--h5", "s.h5", "d1", "d2"], path, limit_kb=kb)
            self.assertIn(r.returncode, (0, 2), (kb, r.stderr))
            self.assertTrue(all(line.startswith("phasegrid: ") for line in r.stderr.splitlines()), r.stderr)
            self.assertNotIn("phasegrid: cannot allocate memory\n", r.stderr)
            self.assertNotIn("the memory to write its grid file", r.stderr)  # (had before the first dump)
            self.assertEqual(list(path.glob("*.unfinished")), [])

    def test_named_pipe_as_a_dump(self):  # looked at before the run, opened once: its writer is not cut off
        os.mkfifo((path := self.folder("pipe")) / "pipe")
        tool = subprocess.Popen([PHASEGRID, "-q", "pipe"], cwd=path)
        self.addCleanup(tool.kill)
        (path / "pipe").write_bytes((path / "d1").read_bytes())
        self.assertEqual(tool.wait(timeout=60), 0)
        self.assertEqual((path / "QGpipe   01").read_bytes(), (self.whole / "QGd1     01").read_bytes())


if __name__ == "__main__":
    unittest.main()
