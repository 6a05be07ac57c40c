"""Shared fixtures: dumps made with mkdump and run through the built tool.

ctest sets PHASEGRID_BIN and MKDUMP_BIN (and PYTHONPATH to the package);
without them the tests that need the tool are skipped.
"""

import os
import subprocess

import pytest

PHASEGRID = os.environ.get("PHASEGRID_BIN")
MKDUMP = os.environ.get("MKDUMP_BIN")
# Whether the build made the compiled module (a sanitized build does not).
NATIVE = os.environ.get("PHASEGRID_NATIVE", "1") == "1"

# The dumps of the run: a tagged dump of two blocks, an untagged one of
# another time. Their grid and index files are named after them.
DUMPS = {
    "d1": ["--particles", "20000", "--blocks", "2"],
    "d2": ["--particles", "5000", "--seed", "2", "--time", "1.5", "--untagged"],
}


def grid_name(dump):
    """The grid file's name for a dump name of at most 7 characters."""
    return f"QG{dump:<7}01"


def run(*args, cwd, check=True):
    r = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True)
    if check:
        assert r.returncode == 0, f"{args}: exit {r.returncode}\n{r.stdout[-2000:]}\n{r.stderr}"
    return r


@pytest.fixture(scope="session")
def run_dir(tmp_path_factory):
    """A folder with the dumps of DUMPS and the grid and index files phasegrid
    wrote for them."""
    if not (PHASEGRID and MKDUMP):
        pytest.skip("PHASEGRID_BIN and MKDUMP_BIN are not set (ctest sets them)")
    folder = tmp_path_factory.mktemp("run")
    for name, options in DUMPS.items():
        run(MKDUMP, *options, name, cwd=folder)
    run(PHASEGRID, "-q", *DUMPS, cwd=folder)
    return folder


@pytest.fixture(scope="session")
def series_run(run_dir):
    """(folder, series file) of a run with --h5 over the dumps of DUMPS and a
    copy of d2 cut short, "cut"; the grid and index files are in the folder."""
    help_text = run(PHASEGRID, "--help", cwd=run_dir).stdout
    if "--h5" not in help_text:
        pytest.skip("phasegrid has no --h5 option yet")
    folder = run_dir / "h5"
    folder.mkdir()
    with open(run_dir / "d2", "rb") as f:
        data = f.read()
    with open(folder / "cut", "wb") as f:
        f.write(data[: len(data) // 2])
    dumps = [str(run_dir / d) for d in DUMPS] + [str(folder / "cut")]
    r = run(PHASEGRID, "-q", "-o", folder, "--h5", folder / "run.h5", *dumps, cwd=folder, check=False)
    assert r.returncode == 1, f"the cut dump ends early: exit 1, not {r.returncode}\n{r.stderr}"
    return folder, folder / "run.h5"

