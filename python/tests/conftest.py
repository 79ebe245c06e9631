"""Shared pieces of the vorn_r10 module's tests: the tools, sample days and vorn-decode's CSV."""
import csv
import glob
import json
import os
import pathlib
import shutil
import subprocess
import tempfile

import numpy as np
import pytest

from pcap import read_pcap, write_pcap  # noqa: F401 (the tests import them from here)

HERE = pathlib.Path(__file__).resolve().parent
TOOLS = pathlib.Path(os.environ.get("VORN_TOOLS_DIR", HERE.parents[1] / "build" / "tools"))
BUILD = TOOLS.parent
DATE = 20261216


tool = lambda name: str(TOOLS / name)  # noqa: E731


@pytest.fixture(scope="session")
def workdir():
    path = pathlib.Path(tempfile.mkdtemp(prefix="vorn_r10_pytest."))
    yield path
    shutil.rmtree(path)


@pytest.fixture
def tmp(monkeypatch):
    """A TMPDIR of the test's own: what a run leaves there is left behind."""
    folder = pathlib.Path(tempfile.mkdtemp(prefix="vorn_r10_pytest."))
    monkeypatch.setenv("TMPDIR", str(folder))
    yield folder
    shutil.rmtree(folder)


def make_day(folder, name, frames, date=DATE, *extra):
    snapshot, capture = folder / f"{name}.bin", folder / f"{name}.pcap"
    subprocess.run([tool("vorn-snapshot"), "make", "--date", str(date), "--out", snapshot, "--capture", capture,
                    "--frames", str(frames), *extra], check=True, capture_output=True)
    return capture, snapshot


@pytest.fixture(scope="session")
def day(workdir):
    """The sample day, its capture restamped in nanoseconds (which microseconds would lose)."""
    capture, snapshot = make_day(workdir, "day", 3000)
    frames = [(data, original, ns + i * 7919 % 1000) for i, (data, original, ns) in enumerate(read_pcap(capture))]
    write_pcap(capture, 1, frames, nanoseconds=True)
    return capture, snapshot


@pytest.fixture(scope="session")
def long_day(workdir):
    """Long enough that a decode is seen running, and that its rows fill tens of megabytes."""
    return make_day(workdir, "long", 200000)


def vorn_decode_csv(folder, capture, snapshot, version, *options):
    out = folder / f"expected_v{version}.csv"
    run = subprocess.run([tool("vorn-decode"), capture, "--snapshot", snapshot, f"--v{version}", "--no-progress",
                          "--timestamps", "--no-library-log", "--out", out, *options], capture_output=True, text=True)
    assert run.returncode in (0, 3), run.stderr
    rows = list(csv.DictReader(out.read_text().splitlines()))
    out.unlink()
    return rows


def assert_same_rows(array, rows):
    """The array is the CSV's rows in its version's golden dtype; time is ts_event + 8 h."""
    assert len(array) == len(rows) > 0
    golden = json.loads((HERE / "row_dtypes.json").read_text())[rows[0]["version"]]
    assert array.dtype.descr == [tuple(column) for column in golden]
    for name in array.dtype.names[:-3]:
        kind = array.dtype[name].kind
        expected = np.array([{"S": str.encode, "i": int, "f": float}[kind](row[name]) for row in rows], array.dtype[name])
        assert np.array_equal(array[name], expected, equal_nan=kind == "f"), name
    for name in ("ts_recv", "ts_event"):
        expected = np.array([int(row[name]) if row[name] else np.iinfo(np.int64).min for row in rows])
        assert np.array_equal(array[name].view(np.int64), expected), name
    assert np.array_equal(array["time"], (array["ts_event"] + np.timedelta64(8, "h")).astype("M8[ms]"), equal_nan=True)


def decode_children(pid):
    found = []
    for children in glob.glob(f"/proc/{pid}/task/*/children"):
        for child in pathlib.Path(children).read_text().split():
            try:
                found += [int(child)] * (pathlib.Path(f"/proc/{child}/comm").read_text().strip() == "vorn-decode")
            except OSError:
                pass  # ended meanwhile
    return found


def leftovers(decode_pids, tmp):
    """What decodes could leave behind: the cards of these vorn-decode processes, anything in TMPDIR."""
    return [p for pid in decode_pids for p in glob.glob(f"/dev/shm/vorn_exanic_vorn_decode_{pid}_*")] + \
        [str(p) for p in pathlib.Path(tmp).iterdir()]
