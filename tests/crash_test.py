"""Files the user owns, whatever stops a run: a signal at each write a run
makes, a disk that fills, memory or threads that cannot be had, a named pipe
as a dump. Each output file is afterwards the earlier file as it was or a
whole new one, exact.

Run by ctest with PHASEGRID_BIN, MKDUMP_BIN, PHASEGRID_SIGNAL_LIB (the shim
that sends a signal at the Nth write) and the package on PYTHONPATH.
"""

import concurrent.futures
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import unittest

import numpy as np

from phasegrid import read_series

PHASEGRID, MKDUMP, SHIM = os.environ["PHASEGRID_BIN"], os.environ["MKDUMP_BIN"], os.environ["PHASEGRID_SIGNAL_LIB"]
DUMPS = ["d1", "d2", "d3"]  # d3 is cut short: it ends early
SANITIZED = os.environ.get("PHASEGRID_SANITIZED") == "1"


def run(args, cwd, env=(), limit_kb=None):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_kb * 1024, resource.RLIM_INFINITY))

    return subprocess.run([PHASEGRID, "-q", *args], cwd=cwd, env={**os.environ, **dict(env)}, capture_output=True,
                          text=True, preexec_fn=limit if limit_kb else None, timeout=120)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Crash(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="phasegrid-crash-")
        cls.dumps = os.path.join(cls.top, "dumps")
        os.mkdir(cls.dumps)
        for k, name in enumerate(DUMPS + ["e1"], 1):
            subprocess.run([MKDUMP, "--particles", "3000", "--seed", str(k), "--time", str(k / 4),
                            os.path.join(cls.dumps, name)], check=True, capture_output=True)
        os.truncate(os.path.join(cls.dumps, "d3"), 300000)
        # The whole run, for its exact files; an earlier run's series.
        cls.whole = cls.folder("whole")
        assert run(["--h5", "run.h5", *DUMPS], cls.whole).returncode == 1
        whole = read_series(os.path.join(cls.whole, "run.h5"))
        cls.counts = {d: whole.counts[k] for k, d in enumerate(whole.dumps)}
        earlier = cls.folder("earlier")
        assert run(["--h5", "run.h5", "e1"], earlier).returncode == 0
        cls.earlier_series = read(os.path.join(earlier, "run.h5"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.top, ignore_errors=True)

    @classmethod
    def folder(cls, name):
        """A fresh folder holding the dumps (linked), the earlier series and earlier grid and index files."""
        path = os.path.join(cls.top, name)
        os.mkdir(path)
        for d in DUMPS + ["e1"]:
            os.link(os.path.join(cls.dumps, d), os.path.join(path, d))
        if hasattr(cls, "earlier_series"):
            with open(os.path.join(path, "run.h5"), "wb") as f:
                f.write(cls.earlier_series)
            for d in DUMPS:
                for out in (f"QG{d:<7}01", f"IP{d}"):
                    with open(os.path.join(path, out), "w") as f:
                        f.write("earlier\n")
        return path

    def check_outputs(self, path, sig):
        """The series and every grid and index file: earlier as they were, or whole and exact."""
        series = os.path.join(path, "run.h5")
        if read(series) != self.earlier_series:
            s = read_series(series)  # all datasets of one length, or it raises
            self.assertEqual(s.dumps, DUMPS[:len(s)])
            for k, d in enumerate(s.dumps):
                if s.status[k] == "complete":
                    np.testing.assert_array_equal(s.counts[k], self.counts[d])
            if sig != signal.SIGKILL and len(s) < len(DUMPS):
                self.assertTrue(s.attrs["interrupted"].startswith(signal.Signals(sig).name))
        for d in DUMPS:
            for out in (f"QG{d:<7}01", f"IP{d}"):
                self.assertIn(read(os.path.join(path, out)), (b"earlier\n", read(os.path.join(self.whole, out))))
        if sig != signal.SIGKILL:
            self.assertEqual([n for n in os.listdir(path) if n.endswith(".unfinished")], [])

    def test_signal_at_every_write(self):
        count_to = os.path.join(self.top, "count")
        counted = self.folder("counted")
        shim = {"LD_PRELOAD": SHIM}
        run(["--h5", "run.h5", *DUMPS], counted, {**shim, "PHASEGRID_TEST_COUNT_TO": count_to})
        writes = int(open(count_to).read())
        self.assertGreater(writes, 20)
        # (SIGINT and SIGHUP go the way of SIGTERM: every fourth write is enough)
        cases = [(sig, n) for sig in (signal.SIGKILL, signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
                 for n in range(1, writes + 1, 1 if sig in (signal.SIGKILL, signal.SIGTERM) else 4)]

        def crash(case):
            sig, n = case
            path = self.folder(f"{sig.name}-{n}")
            return path, run(["--h5", "run.h5", *DUMPS], path, {**shim, "PHASEGRID_TEST_SIGNAL_AT": str(n),
                                                                "PHASEGRID_TEST_SIGNAL": str(int(sig))})

        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            for (sig, n), (path, r) in zip(cases, pool.map(crash, cases)):
                with self.subTest(signal=sig.name, write=n):
                    self.assertIn(r.returncode, (-sig, 1), r.stderr)  # 1: after the last dump
                    self.check_outputs(path, sig)
                shutil.rmtree(path)

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"), "mounting a small disk needs root")
    def test_disk_that_fills(self):
        # Full at the series' creation (no earlier file), or later (the
        # earlier series on the disk): one line, no crash, FILE as it was.
        for size, earlier in ((4, False), (8, False), (12, False), (20, False), (32, False), (64, False),
                              (100, True), (120, True), (140, True)):
            with self.subTest(size=size):
                path = self.folder(f"disk-{size}")
                os.mkdir(os.path.join(path, "disk"))
                if earlier:
                    os.rename(os.path.join(path, "run.h5"), os.path.join(path, "saved.h5"))
                script = ('mount -t tmpfs -o size=$0k tmpfs disk || exit 99; [ -f saved.h5 ] && cp saved.h5 disk/run.h5; '
                          '"$@"; s=$?; cp -a disk/. after-disk; exit $s')
                r = subprocess.run(["unshare", "-m", "sh", "-c", script, str(size), PHASEGRID, "-q", "--h5",
                                    "disk/run.h5", *DUMPS], cwd=path, capture_output=True, text=True)
                if r.returncode == 99:
                    self.skipTest("no small file system can be mounted here")
                self.assertEqual(r.returncode, 2, r.stderr)
                lines = r.stderr.splitlines()
                self.assertTrue(all(line.startswith("phasegrid: ") for line in lines), r.stderr)
                self.assertEqual(sum(line.startswith('phasegrid: cannot write the series file "disk/run.h5": ')
                                     for line in lines), 1, r.stderr)
                self.assertEqual(os.listdir(os.path.join(path, "after-disk")), ["run.h5"] if earlier else [])
                if earlier:
                    self.assertEqual(read(os.path.join(path, "after-disk", "run.h5")), self.earlier_series)

    @unittest.skipIf(SANITIZED, "an address-space limit leaves no room for the sanitizer's shadow memory")
    def test_memory_or_threads_that_cannot_be_had(self):
        path = self.folder("memory")
        subprocess.run([MKDUMP, "--particles", "1000000", os.path.join(path, "big")], check=True, capture_output=True)
        r = run(["--h5", "run.h5", "d1", "big", "d2"], path, limit_kb=150000)
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn('Cannot allocate memory; dump "big" stopped the run', r.stderr)
        self.assertEqual(read_series(os.path.join(path, "run.h5")).status, ["complete", "out of memory"])
        r = run(["d1"], path, {"OMP_NUM_THREADS": "64"}, limit_kb=100000)
        self.assertEqual((r.returncode, r.stderr), (2, "phasegrid: cannot start the 64 threads of the particle loops: "
                                                        "Resource temporarily unavailable\n"))

    def test_named_pipe_as_a_dump(self):
        path = self.folder("pipe")
        os.mkfifo(os.path.join(path, "p1"))
        tool = subprocess.Popen([PHASEGRID, "-q", "p1"], cwd=path, stderr=subprocess.PIPE, text=True)
        with open(os.path.join(path, "p1"), "wb") as pipe:
            pipe.write(read(os.path.join(path, "d1")))
        self.assertEqual(tool.wait(timeout=60), 0, tool.stderr.read())
        self.assertEqual(read(os.path.join(path, "QGp1     01")), read(os.path.join(self.whole, "QGd1     01")))


if __name__ == "__main__":
    unittest.main()
