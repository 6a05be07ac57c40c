"""phasegrid.read_dump and open_dump: a dump's layout and sinks as the tool reads them, and every kind of damage
raising its exception with the tool's line. (The arrays against an independent reader, and the binning against a
run's, are in test_diagrams.py; the layout faults in tests/hostile_test.cpp.)"""

import os
import struct

import numpy as np
import pytest

import phasegrid
from conftest import MKDUMP, NATIVE, run

pytestmark = pytest.mark.skipif(not (MKDUMP and NATIVE), reason="needs mkdump and the compiled module (ctest)")


@pytest.fixture(scope="module")
def dump(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dump")
    run(MKDUMP, "--particles", "3000", "--blocks", "2", "--sinks", "3", "--untagged", "d", cwd=folder)
    return folder / "d"


def test_layout_sinks_and_header(dump):
    d = phasegrid.read_dump(dump, ["rho", "r"])
    assert list(d["arrays"]) == ["rho", "r"] and d["arrays"]["rho"].dtype == np.float32
    assert [(b["first"], b["particles"]) for b in d["blocks"]] == [(0, 1500), (1500, 1500)]
    assert d["particles"] == d["header"]["npart"] == 3000 and not d["identification"]["tagged"]
    sinks = d["sinks"]
    assert len(sinks["listpm"]) == d["header"]["nptmass"] == 3
    # Each sink's position is its particle's, whose phase says it is a sink.
    whole = phasegrid.read_dump(dump, ["x", "iphase"])["arrays"]
    np.testing.assert_array_equal(sinks["x"], whole["x"][sinks["listpm"] - 1])
    assert (whole["iphase"][sinks["listpm"] - 1] >= 1).all()
    ds = phasegrid.open_dump(dump, ["rho", "x"])
    assert ds["rho"].attrs["long_name"] and ds.sizes == {"particle": 3000, "sink": 3, "block": 2}
    with pytest.raises(KeyError, match="H2Frac"):
        phasegrid.read_dump(_without_chemistry(dump), ["H2Frac"])
    with pytest.raises(ValueError, match="no quantity"):
        phasegrid.read_dump(dump, ["density"])


def _without_chemistry(dump):
    path = dump.parent / "nochem"
    if not path.exists():
        run(MKDUMP, "--particles", "2000", "--no-chemistry", "nochem", cwd=dump.parent)
    return path


def _edit(data, at, fmt, value):
    return data[:at] + struct.pack(fmt, value) + data[at + struct.calcsize(fmt):]


# (what, how the bytes change, the exception, the start of its line).
DAMAGE = [
    ("the other byte order", lambda b: _edit(b, 4, ">i", struct.unpack_from("<i", b, 4)[0]), "WrongByteOrder",
     "ERROR 1 in rdump"),
    ("a negative length word", lambda b: _edit(b, 0, "<i", -8), "NegativeRecordLength", "ERROR in rdump: the record"),
    ("lengths that differ", lambda b: _edit(b, 4 + struct.unpack_from("<i", b)[0], "<i", 7), "RecordLengthsDiffer",
     "ERROR in rdump: the record at byte 0 begins"),
    ("cut short", lambda b: b[: len(b) * 2 // 3], "DumpEndedEarly", "END OF FILE REACHED IN RDUMP"),
]


@pytest.mark.parametrize("what,damage,error,line", DAMAGE, ids=[d[0] for d in DAMAGE])
def test_damaged_dump_raises_its_fault(dump, tmp_path, what, damage, error, line):
    bad = tmp_path / "bad"
    bad.write_bytes(damage(dump.read_bytes()))
    for call in (lambda: phasegrid.read_dump(bad), lambda: phasegrid.diagram("n,r", bad)):
        with pytest.raises(phasegrid.DumpError) as caught:
            call()
        assert type(caught.value).__name__ == error and str(caught.value).startswith(line), what
        assert caught.value.kind in phasegrid.DUMP_FAULTS and caught.value.path == str(bad)
    if error == "DumpEndedEarly":  # unless asked for what was read
        d = phasegrid.read_dump(bad, partial=True)  # the second block's positions, not its chemistry
        assert d["ended_early"] and len(d["arrays"]["x"]) == sum(b["particles"] for b in d["blocks"]) == 3000
        assert "H2Frac" not in d["arrays"] and "H2Frac" in d["blocks"][0]["quantities"]


def test_reads_at_once_in_threads_are_the_reads_one_by_one(dump):
    """The reads let Python's lock go: several at once, each its own."""
    from concurrent.futures import ThreadPoolExecutor
    names = [["rho", "x"], ["DustTemperature"], ["v", "iphase"], ["r", "m"]]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda q: phasegrid.read_dump(dump, q)["arrays"], names * 3))
    for q, got in zip(names * 3, together):
        alone = phasegrid.read_dump(dump, q)["arrays"]
        assert all(np.array_equal(got[n], alone[n]) for n in q)


def test_what_is_not_a_dump_file(dump, tmp_path):
    os.mkfifo(tmp_path / "fifo")
    for path, error in ((tmp_path, IsADirectoryError), (tmp_path / "none", FileNotFoundError),
                        (tmp_path / "fifo", OSError)):
        with pytest.raises(error):
            phasegrid.read_dump(path)
