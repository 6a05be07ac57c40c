"""Every example of README.md and docs/*.md runs: each code block, shell or
Python, in the order of its page, in one folder holding a generated series
(the dumps and files the pages name), with phasegrid's programs on the PATH
and the package importable. A block is skipped only after an HTML comment
<!-- not run: why --> (the set-up commands CI runs, the SLURM recipe, ...),
or, in a build that made no compiled module (a sanitized one), when it
reads a dump from Python.
Run by ctest; a failing example names its page and line."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = pathlib.Path(os.environ.get("PHASEGRID_SOURCE_DIR", pathlib.Path(__file__).parent.parent))
BUILD = {name: os.environ[var] for name, var in (("phasegrid", "PHASEGRID_BIN"), ("phasegrid-merge", "MERGE_BIN"),
                                                  ("phasegrid-dump", "DUMP_BIN"), ("phasegrid-mkdump", "MKDUMP_BIN"))}
NATIVE = os.environ.get("PHASEGRID_NATIVE", "1") == "1"
NEEDS_NATIVE = re.compile(r"phasegrid\.(read_dump|open_dump|diagram)\(")
PAGES = ["README.md"] + sorted(f"docs/{p.name}" for p in (SOURCE / "docs").glob("*.md"))


def blocks(text):
    """(line, language, code, why not run) of each block: fenced, or indented
    by four blanks after a blank line outside a list or table."""
    lines, found, i, skip = text.split("\n"), [], 0, None
    while i < len(lines):
        line = lines[i]
        if m := re.match(r"\s*<!-- not run: (.*?) -->", line):
            skip = m.group(1)
        if m := re.match(r"```(\w*)$", line):
            end = lines.index("```", i + 1)
            found.append((i + 1, m.group(1), "\n".join(lines[i + 1:end]), skip))
            i, skip = end + 1, None
            continue
        if line.startswith("    ") and lines[i - 1].strip() == "" and not re.match(r"\s*([-*|]|\d+\.)", lines[i - 2]):
            end = i
            while end < len(lines) and (lines[end].startswith("    ") or not lines[end].strip()):
                end += 1
            code = "\n".join(l[4:] for l in lines[i:end]).strip("\n")
            python = re.match(r"(import|from|with) ", code)
            found.append((i + 1, "python" if python else "sh", code, skip))
            i, skip = end, None
            continue
        i += 1
    return found


def make_folder(top):
    """The dumps, grid and index files and series files the pages name."""
    bin_dir = top / "bin"
    bin_dir.mkdir()
    for name, path in BUILD.items():
        (bin_dir / name).symlink_to(path)
    (bin_dir / "plot-phasegrid").symlink_to(SOURCE / "tools" / "plot-phasegrid")
    (top / "tools").symlink_to(SOURCE / "tools")
    (top / "build" / "tools").mkdir(parents=True)
    (top / "build" / "tools" / "phasegrid-dump").symlink_to(BUILD["phasegrid-dump"])
    shutil.copytree(SOURCE / "python", top / "python", ignore=shutil.ignore_patterns("__pycache__", "tests"))
    (top / "run").mkdir()
    for k, name in enumerate(["full001", "full002", "full003", "name", "run/full001", "run/full002", "run/dump0001",
                              "run/dump0042"], 1):
        subprocess.run([BUILD["phasegrid-mkdump"], "--particles", "5000", "--seed", str(k), "--time", f"0.{k}",
                        top / name], check=True, stdout=subprocess.DEVNULL)
    (top / "runs").mkdir()
    for args in (["full001", "full002", "full003"], ["name"], ["--h5", "runs/a.h5", "full001"],
                 ["--h5", "runs/b.h5", "full002"], ["--h5", "run.h5", "full001", "full002", "full003"]):
        subprocess.run([BUILD["phasegrid"], "-q", *args], cwd=top, check=True)
    subprocess.run([BUILD["phasegrid-merge"], "series.h5", "runs/a.h5", "runs/b.h5"], cwd=top, check=True,
                   stdout=subprocess.DEVNULL)


class DocsExamples(unittest.TestCase):
    def test_every_example_runs(self):
        ran = 0
        for page in PAGES:  # each page in a folder of its own
            top = pathlib.Path(tempfile.mkdtemp(prefix="phasegrid-docs-"))
            self.addCleanup(shutil.rmtree, top, True)
            make_folder(top)
            # Debian's python3 first, as the pages use it.
            env = {**os.environ, "PATH": f"{top / 'bin'}:/usr/bin:/bin:{os.environ['PATH']}", "HOME": str(top),
                   "MPLBACKEND": "Agg", "PYTHONPATH": os.environ.get("PHASEGRID_PYTHONPATH", str(SOURCE / "python")), "PYTHONDONTWRITEBYTECODE": "1"}
            python = []  # the page's Python so far: a block goes on from the ones before it
            for line, language, code, skip in blocks((SOURCE / page).read_text()):
                if skip is not None or (not NATIVE and language == "python" and NEEDS_NATIVE.search(code)):
                    continue
                with self.subTest(example=f"{page}:{line}"):
                    if language == "python":
                        python.append(code)
                        command = [sys.executable, "-c", "\n".join(python)]
                    else:
                        command = ["bash", "-eo", "pipefail", "-c", code]
                    r = subprocess.run(command, cwd=top, env=env, capture_output=True, text=True, timeout=300)
                    self.assertEqual(r.returncode, 0, f"{page}:{line}\n{code}\n{r.stdout[-2000:]}{r.stderr[-2000:]}")
                    ran += 1
        self.assertGreater(ran, 15)  # (the pages were found and read)


if __name__ == "__main__":
    unittest.main()
