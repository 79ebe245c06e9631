"""Shared pieces of the vorn_r10 module's tests: the tools, sample days and vorn-decode's CSV."""
import csv
import glob
import json
import os
import pathlib
import shutil
import struct
import subprocess
import tempfile

import numpy as np
import pytest

HERE = pathlib.Path(__file__).resolve().parent
TOOLS = pathlib.Path(os.environ.get("VORN_TOOLS_DIR", HERE.parents[1] / "build" / "tools"))
BUILD = TOOLS.parent
DATE = 20261216


def tool(name):
    return str(TOOLS / name)


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
    """A snapshot and the capture of the session after it, as `vorn-snapshot make` writes them."""
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


def write_pcap(path, link_type, frames, nanoseconds=False):
    """A classic pcap file of (bytes, original length, capture time in ns) frames."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B23C4D if nanoseconds else 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type))
        for data, original, ns in frames:
            fraction = ns % 10**9 // (1 if nanoseconds else 1000)
            f.write(struct.pack("<IIII", ns // 10**9, fraction, len(data), original) + data)


def read_pcap(path):
    """The frames of a classic pcap file, as write_pcap takes them."""
    data = pathlib.Path(path).read_bytes()
    scale = {0xA1B2C3D4: 1000, 0xA1B23C4D: 1}[struct.unpack_from("<I", data)[0]]
    frames, at = [], 24
    while at < len(data):
        seconds, fraction, included, original = struct.unpack_from("<IIII", data, at)
        frames.append((data[at + 16:at + 16 + included], original, seconds * 10**9 + fraction * scale))
        at += 16 + included
    return frames


@pytest.fixture(scope="session")
def long_day(workdir):
    """Long enough that a decode is seen running, and that its rows fill tens of megabytes."""
    return make_day(workdir, "long", 200000)


def vorn_decode_csv(folder, capture, snapshot, version, *options):
    """vorn-decode's rows of one version, with the two times, as a list of dicts of text."""
    out = folder / f"expected_v{version}.csv"
    run = subprocess.run([tool("vorn-decode"), capture, "--snapshot", snapshot, f"--v{version}", "--no-progress",
                          "--timestamps", "--no-library-log", "--out", out, *options], capture_output=True, text=True)
    assert run.returncode in (0, 3), run.stderr
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    out.unlink()
    return rows


def assert_same_rows(array, rows):
    """The array holds exactly the CSV's rows: the columns and types of its version's golden
    dtype, ts_recv and ts_event as the CSV's nanoseconds, and time, the exchange's wall clock,
    eight hours after ts_event."""
    assert len(array) == len(rows) > 0
    golden = json.loads((HERE / "row_dtypes.json").read_text())[rows[0]["version"]]
    assert array.dtype.descr == [tuple(column) for column in golden]
    for name in array.dtype.names[:-3]:
        kind = array.dtype[name].kind
        convert = {"S": str.encode, "i": int, "f": float}[kind]
        expected = np.array([convert(row[name]) for row in rows], dtype=array.dtype[name])
        assert np.array_equal(array[name], expected, equal_nan=kind == "f"), name
    for name in ("ts_recv", "ts_event"):
        expected = np.array([int(row[name]) if row[name] else np.iinfo(np.int64).min for row in rows])
        assert np.array_equal(array[name].view(np.int64), expected), name
    assert np.array_equal(array["time"], (array["ts_event"] + np.timedelta64(8, "h")).astype("M8[ms]"), equal_nan=True)


def decode_children(pid):
    """The vorn-decode processes a process's threads run now."""
    found = []
    for children in glob.glob(f"/proc/{pid}/task/*/children"):
        for child in pathlib.Path(children).read_text().split():
            try:
                if pathlib.Path(f"/proc/{child}/comm").read_text().strip() == "vorn-decode":
                    found.append(int(child))
            except OSError:
                pass  # ended meanwhile
    return found


def leftovers(decode_pids, tmp):
    """What decodes could leave behind: the cards of these vorn-decode processes, anything in TMPDIR."""
    found = [p for pid in decode_pids for p in glob.glob(f"/dev/shm/vorn_exanic_vorn_decode_{pid}_*")]
    return found + [str(p) for p in pathlib.Path(tmp).iterdir()]
