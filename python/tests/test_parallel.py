"""Several days decoded at once, one process each, give the tables they give one at a time: the
README's recipes with Dask's process scheduler and with xargs -P."""
import os
import pathlib
import subprocess

import numpy as np
import pytest

import vorn_r10
from conftest import HERE, TOOLS, leftovers, make_day
from parallel_task import decode_together

DAYS = [(20261214, 40000), (20261215, 25000), (20261216, 60000), (20261217, 35000)]


@pytest.fixture(scope="module")
def month(workdir):
    folder = workdir / "month"
    folder.mkdir()
    return folder, [make_day(folder, str(date), frames, date) for date, frames in DAYS]


def test_dask_processes_decode_a_folder_into_the_tables_of_one_at_a_time(month, monkeypatch):
    dask = pytest.importorskip("dask")
    folder, days = month
    alone = [vorn_r10.decode(capture, snapshot) for capture, snapshot in days]
    # The README's recipe, with the decodes held until all have started, so that they overlap.
    monkeypatch.setenv("PYTHONPATH", f"{HERE}{os.pathsep}{os.environ.get('PYTHONPATH', '')}")
    barrier = folder / "barrier"
    barrier.mkdir()
    tasks = [dask.delayed(decode_together)(str(barrier), len(days), str(capture), str(snapshot))
             for capture, snapshot in days]
    results = dask.compute(*tasks, scheduler="processes", num_workers=len(days), chunksize=1)
    assert len({pid for pid, _ in results}) == len(days)
    together = [rows for _, rows in results]
    for one, other in zip(alone, together):
        assert len(one) > 0 and np.array_equal(one, other)
    # One table of the month, in day order.
    table = np.concatenate(together)
    assert len(table) == sum(len(one) for one in alone)
    assert np.all(np.diff(table["time"].astype("datetime64[D]").astype(np.int64)) >= 0)
    for pid, _ in results:
        assert leftovers(pid) == []


def test_xargs_runs_vorn_decode_per_day_into_the_csv_of_one_at_a_time(month):
    folder, days = month
    # The README's recipe: every DAY.pcap beside its DAY.bin, one vorn-decode per day.
    subprocess.run(
        "ls *.pcap | sed 's/\\.pcap$//' | xargs -P 4 -I{} "
        f"{TOOLS}/vorn-decode {{}}.pcap --snapshot {{}}.bin --options recv --out {{}}.csv "
        "--library-log {}.library.log --no-progress 2>/dev/null",
        shell=True, check=True, cwd=folder)
    for capture, snapshot in days:
        name = pathlib.Path(capture).stem
        alone = folder / f"{name}.alone.csv"
        subprocess.run([f"{TOOLS}/vorn-decode", capture, "--snapshot", snapshot, "--options", "recv", "--out", alone,
                        "--no-library-log", "--no-progress"], check=True, capture_output=True)
        together = (folder / f"{name}.csv").read_bytes()
        assert together.count(b"\n") > 1 and together == alone.read_bytes()
