"""Shared pieces of the vorn_r10 module's tests: the tools, sample days and vorn-decode's CSV."""
import csv
import glob
import os
import pathlib
import shutil
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


def make_day(folder, name, frames, date=DATE, *extra):
    """A snapshot and the capture of the session after it, as `vorn-snapshot make` writes them."""
    snapshot, capture = folder / f"{name}.bin", folder / f"{name}.pcap"
    subprocess.run([tool("vorn-snapshot"), "make", "--date", str(date), "--out", snapshot, "--capture", capture,
                    "--frames", str(frames), *extra], check=True, capture_output=True)
    return capture, snapshot


@pytest.fixture(scope="session")
def day(workdir):
    return make_day(workdir, "day", 3000)


@pytest.fixture(scope="session")
def long_day(workdir):
    """Long enough that a decode is seen running (tens of milliseconds at least)."""
    return make_day(workdir, "long", 300000)


def vorn_decode_csv(folder, capture, snapshot, version, *options):
    """vorn-decode's rows of one version as a list of dicts of text."""
    out = folder / f"expected_v{version}.csv"
    run = subprocess.run([tool("vorn-decode"), capture, "--snapshot", snapshot, f"--v{version}", "--no-progress",
                          "--no-library-log", "--out", out, *options], capture_output=True, text=True)
    assert run.returncode in (0, 3), run.stderr
    with open(out, newline="") as f:
        rows = list(csv.DictReader(f))
    out.unlink()
    return rows


def expected_time(row, version):
    """The row's exchange time from its text: trading day (v2) or the snapshot's date (v1)."""
    if version == 2:
        day = row["trading_day"]
        ms_of_day = int(row["update_time"]) * 1000
    else:
        day = str(DATE)
        h, m, s = (int(part) for part in row["update_time"].split(":"))
        ms_of_day = ((h * 60 + m) * 60 + s) * 1000
    date = np.datetime64(f"{day[:4]}-{day[4:6]}-{day[6:8]}", "ms")
    return date + np.timedelta64(ms_of_day + int(row["update_msec"]), "ms")


def assert_same_rows(array, rows, version):
    """The array holds exactly the CSV's rows: every column the version has, typed, plus time."""
    assert len(array) == len(rows)
    csv_columns = [name for name in (rows[0].keys() if rows else []) if name != "version"]
    present = [name for name in csv_columns if any(row[name] != "" for row in rows)]
    assert list(array.dtype.names) == present + ["time"]
    for name in present:
        kind = array.dtype[name].kind
        text = [row[name] for row in rows]
        if kind == "U":
            expected = np.array(text, dtype=array.dtype[name])
        elif kind == "i":
            expected = np.array([int(t) for t in text], dtype=np.int64)
        else:
            assert kind == "f", name
            expected = np.array([float(t) for t in text])
        assert np.array_equal(array[name], expected, equal_nan=kind == "f"), name
    expected_times = np.array([expected_time(row, version) for row in rows], dtype="datetime64[ms]")
    assert np.array_equal(array["time"], expected_times)


def leftovers(pid):
    """What a decode of process `pid` could leave behind: its card, its private folders."""
    found = glob.glob(f"/dev/shm/vorn_exanic_vorn_decode_{pid}_*")
    found += glob.glob(f"/tmp/vorn_r10_py.{pid}.*")
    for config in glob.glob("/tmp/vorn-decode.*/decode.ini"):
        try:
            if f"device = vorn_decode_{pid}_" in pathlib.Path(config).read_text():
                found.append(config)
        except OSError:
            pass  # another process's, removed meanwhile
    return found
