#!/usr/bin/env bash
# cmake --install into a fresh prefix: the five programs answer -h and
# --version, their man pages and the documentation are there, and the
# installed programs and Python package run a dump from end to end without
# the build tree. Then the Python package as pip installs it into a venv.
set -euo pipefail
build="${1:?usage: install_test.sh BUILD_DIR}"
source="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; fail "cmake --install failed"; }

for program in phasegrid phasegrid-dump phasegrid-merge phasegrid-mkdump plot-phasegrid; do
  exe="$prefix/bin/$program"
  [ -x "$exe" ] || fail "$exe is not installed"
  version="$("$exe" --version)" || fail "$program --version exits $?"
  [[ "$version" == "$program "[0-9]* ]] || fail "$program --version printed \"$version\""
  # Whole, not through head: a program whose reader has gone may rightly fail
  # to write the rest of its help.
  usage="$("$exe" -h)" || fail "$program -h exits $?"
  [[ "$usage" == "Usage: $program"* ]] || fail "$program -h does not start with its usage"
  page="$prefix/share/man/man1/$program.1"
  if command -v help2man > /dev/null; then
    [ -s "$page" ] || fail "$page is missing"
    grep -q "^\.SH SYNOPSIS\|^\.SH DESCRIPTION" "$page" || fail "$page has no description"
  fi
done
for doc in README.md user-guide.md many-dumps.md series-file.md python.md slurm-phasegrid.sh; do
  [ -s "$prefix/share/doc/phasegrid/$doc" ] || fail "share/doc/phasegrid/$doc is missing"
done

# The installed programs, with nothing of the build tree on the PATH.
export PATH="$prefix/bin:/usr/bin:/bin"
site=("$prefix"/lib/python3*/dist-packages)
[ -f "${site[0]}/phasegrid/__init__.py" ] || fail "the Python package is not installed under $prefix/lib"
export PYTHONPATH="${site[0]}"
cd "$work"
phasegrid-mkdump --particles 20000 cloud01 > /dev/null
phasegrid -q --h5 run.h5 cloud01
[ -s QGcloud0101 ] && [ -s IPcloud01 ] && [ -s run.h5 ] || fail "the installed phasegrid wrote no grid, index or series"
plot-phasegrid QGcloud0101 > /dev/null
[ -s QGcloud0101.png ] || fail "the installed plot-phasegrid drew nothing"
PREFIX="$prefix" /usr/bin/python3 - <<'PY' || fail "the installed Python package does not read the run"
import os, numpy as np, phasegrid
assert phasegrid.__file__.startswith(os.environ["PREFIX"]), phasegrid.__file__
s = phasegrid.read_series("run.h5")
g = phasegrid.read_grid("QGcloud0101")
assert s.counts.shape == (1, 540, 700), s.counts.shape
logs = np.where(s.counts[0] > 0, np.log10(np.maximum(s.counts[0], 1)), -1.0)
assert np.allclose(logs, g, rtol=0, atol=6e-4), "the series' counts are not the grid's"
if os.environ.get("PHASEGRID_NATIVE", "1") == "1":  # (a sanitized build makes no module)
    assert np.array_equal(phasegrid.diagram(dump="cloud01"), s.counts[0]), "the installed module bins otherwise"
PY

# pip: into a fresh venv that sees Debian's numpy, h5py and matplotlib, from
# a copy of python/ and the C++ sources its module is built from (pip builds
# in the folder it is given), nothing from the network; the venv's own
# plot-phasegrid and import, PYTHONPATH unset.
/usr/bin/python3 -m venv --system-site-packages "$work/venv" || fail "python3 -m venv failed (Debian: python3-venv)"
mkdir "$work/src"
for part in base format state dump analysis python; do cp -r "$source/$part" "$work/src/"; done
rm -rf "$work/src/python/build" "$work/src/python/"*.egg-info
"$work/venv/bin/pip" install -q --no-build-isolation --no-index "$work/src/python" > "$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; fail "pip install of the package into a venv failed"; }
unset PYTHONPATH
head -n 1 "$work/venv/bin/plot-phasegrid" | grep -q "^#!$work/venv/bin/python" ||
  fail "the venv's plot-phasegrid does not run under the venv's python"
"$work/venv/bin/plot-phasegrid" -o venv-images QGcloud0101 > /dev/null && [ -s venv-images/QGcloud0101.png ] ||
  fail "the venv's plot-phasegrid drew nothing"
"$work/venv/bin/python" -c 'import sys, phasegrid; assert phasegrid.__file__.startswith(sys.prefix), phasegrid.__file__
s = phasegrid.read_series("run.h5")
assert s.counts.shape == (1, 540, 700)
import numpy as np
assert np.array_equal(phasegrid.diagram(dump="cloud01"), s.counts[0])' || fail "the venv's package does not read the run"
# pip from python/ alone, without the C++ sources: the package without its
# module, which says what is missing when a dump is read.
/usr/bin/python3 -m venv --system-site-packages "$work/bare" || fail "python3 -m venv failed"
cp -r "$source/python" "$work/bare-src"
rm -rf "$work/bare-src/build" "$work/bare-src/"*.egg-info
"$work/bare/bin/pip" install -q --no-build-isolation --no-index "$work/bare-src" > "$work/pip-bare.log" 2>&1 ||
  { cat "$work/pip-bare.log"; fail "pip install of python/ alone failed"; }
"$work/bare/bin/python" -c 'import phasegrid
assert phasegrid.read_series("run.h5").counts.shape == (1, 540, 700)
try:
    phasegrid.read_dump("cloud01")
except ImportError as e:
    assert "phasegrid._dump" in str(e) and "not built" in str(e), e
else:
    raise AssertionError("read_dump without its module")' || fail "the package without its module does not say what is missing"
echo "installed into $prefix and a venv: programs, man pages, docs and the Python package work"
