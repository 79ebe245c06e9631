"""vorn_r10.decode, iter_decode and decode_df against vorn-decode and tshark; threads, signals, failures."""
import contextlib
import glob
import os
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vorn_r10
from conftest import assert_same_rows, decode_children, leftovers, read_pcap, vorn_decode_csv, write_pcap


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("selection", [{}, {"insts": "IF2612,T2703", "options": "norecv"}])
def test_rows_equal_vorn_decode_csv(workdir, day, version, selection):
    capture, snapshot = day
    array = vorn_r10.decode(capture, snapshot, version=version, **selection)
    options = ["--insts", selection.get("insts", "all"), "--options", selection.get("options", "recv")]
    assert_same_rows(array, vorn_decode_csv(workdir, capture, snapshot, version, *options))
    if not selection:  # one update per frame: ts_recv is each frame's time, to the nanosecond
        fields = subprocess.run(["tshark", "-r", capture, "-T", "fields", "-e", "frame.time_epoch"],
                                capture_output=True, text=True, check=True).stdout.split()
        assert array["ts_recv"].view(np.int64).tolist() == [int(f.replace(".", "")) for f in fields]


def test_decodes_from_threads_at_once_give_their_tables_alone_and_leave_the_caller_alone(day, long_day, capfd):
    jobs = [(long_day, {}), (long_day, {"version": 1}), (day, {"insts": "IF2612"}), (long_day, {"insts": "T"})]
    alone = [vorn_r10.decode(*days, **options) for days, options in jobs]
    handler, running = signal.getsignal(signal.SIGTERM), 0
    with ThreadPoolExecutor(len(jobs)) as pool:
        futures = [pool.submit(vorn_r10.decode, *days, **options) for days, options in jobs]
        print("caller's line", flush=True)
        while not all(f.done() for f in futures):
            assert signal.getsignal(signal.SIGTERM) is handler
            running = max(running, len(decode_children(os.getpid())))
            time.sleep(0.001)
        together = [f.result() for f in futures]
    assert running >= 2, "the decodes did not overlap"
    assert capfd.readouterr().out == "caller's line\n"
    assert all(np.array_equal(one, other) for one, other in zip(alone, together))


SIGNALLED_CALLER = r"""
import signal, sys, time, vorn_r10
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started with SIGINT ignored
try:
    for chunk in vorn_r10.iter_decode(sys.argv[1], sys.argv[2], rows=1000):
        print("rows", flush=True)
        time.sleep(0.01)
except KeyboardInterrupt:
    print("KeyboardInterrupt", len(vorn_r10.decode(sys.argv[1], sys.argv[2])), flush=True)
"""


@pytest.mark.parametrize("sent, ends_with", [(signal.SIGINT, 0), (signal.SIGTERM, -signal.SIGTERM)])
def test_ctrl_c_raises_keyboard_interrupt_and_sigterm_ends_the_caller(long_day, tmp, sent, ends_with):
    capture, snapshot = long_day
    caller = subprocess.Popen([sys.executable, "-c", SIGNALLED_CALLER, capture, snapshot], stdout=subprocess.PIPE,
                              text=True)
    assert caller.stdout.readline() == "rows\n"
    children = decode_children(caller.pid)
    caller.send_signal(sent)
    out, _ = caller.communicate(timeout=60)
    assert caller.returncode == ends_with
    if sent == signal.SIGINT:
        assert out.split("\n")[-2] == f"KeyboardInterrupt {len(vorn_r10.decode(capture, snapshot))}"
    # The child of a terminated caller ends too (its rows have no reader), removing its card.
    deadline = time.monotonic() + 30
    while any(os.path.exists(f"/proc/{pid}") for pid in children) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert len(children) == 1 and leftovers(children, tmp) == []


def test_vorn_decode_interrupted_mid_capture_exits_130_and_removes_its_card(workdir, day, tmp):
    # The capture comes through a pipe whose second half comes only after the interrupt.
    capture, snapshot = day
    pipe, data = workdir / "live.pcap", capture.read_bytes()
    os.mkfifo(pipe)
    decode = subprocess.Popen([vorn_r10._build.VORN_DECODE, pipe, "--snapshot", snapshot, "--out", "/dev/null",
                               "--no-library-log"], stderr=subprocess.PIPE, text=True)
    with open(pipe, "wb", buffering=0) as feed:
        feed.write(data[:len(data) // 2])
        while not glob.glob(f"/dev/shm/vorn_exanic_vorn_decode_{decode.pid}_*"):
            time.sleep(0.001)
        time.sleep(0.3)  # start-up done, the first half decoded
        decode.send_signal(signal.SIGINT)
        with contextlib.suppress(BrokenPipeError):  # the rest, which it may no longer read
            feed.write(data[len(data) // 2:])
    assert decode.wait(60) == 130 and ", interrupted" in decode.stderr.read()
    assert leftovers([decode.pid], tmp) == []


def test_iter_decode_streams_in_bounded_memory(long_day):
    capture, snapshot, bound_kb = *long_day, 8192
    probe = ("import resource, sys, vorn_r10\n"
             "chunks = vorn_r10.iter_decode(sys.argv[1], sys.argv[2], rows=4096)\n"
             "rows = len(next(chunks)); start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
             "for chunk in chunks: rows += len(chunk); assert len(chunk) <= 4096\n"
             "print(rows * chunk.dtype.itemsize // 1024, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start)")
    run = subprocess.run([sys.executable, "-c", probe, capture, snapshot], capture_output=True, text=True)
    row_kb, growth_kb = map(int, run.stdout.split())
    assert row_kb > 5 * bound_kb and growth_kb < bound_kb
    # The chunks are the table; leaving the loop early stops the child.
    whole = vorn_r10.decode(*long_day, version=1)
    chunks = list(vorn_r10.iter_decode(*long_day, rows=len(whole) - 1, version=1))
    assert [len(c) for c in chunks] == [len(whole) - 1, 1] and np.array_equal(np.concatenate(chunks), whole)
    for _ in vorn_r10.iter_decode(*long_day, rows=10):
        break
    assert decode_children(os.getpid()) == []


CRASHING_CHILD = """#!/bin/sh
{tool} "$@" | head -c 20000
exec env -u LD_PRELOAD /bin/sh -c 'kill -SEGV $$'
"""
WRITE_XOR_EXECUTE_CHILD = """#!{python}
import ctypes, os, sys
if ctypes.CDLL(None).prctl(65, 1, 0, 0, 0):  # PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
    sys.exit(77)
os.execv({tool!r}, [{tool!r}] + sys.argv[1:])
"""


def child_script(folder, monkeypatch, text):
    script = folder / f"child{len(list(folder.glob('child*')))}"
    script.write_text(text)
    script.chmod(0o755)
    monkeypatch.setattr(vorn_r10._build, "VORN_DECODE", str(script))


def test_failures_are_errors_with_the_reason_and_the_rows_so_far(workdir, day, tmp, monkeypatch):
    capture, snapshot = day
    first = vorn_r10.decode(capture, snapshot)
    frames = read_pcap(capture)

    # Every tenth frame cut to its first 60 bytes, as a capture with a small snaplen holds it.
    cut = workdir / "snaplen.pcap"
    write_pcap(cut, 1, [(d[:60], o, t) if i % 10 == 5 else (d, o, t) for i, (d, o, t) in enumerate(frames)])
    with pytest.raises(vorn_r10.Error, match=f"^{len(frames[5::10])} frames were cut by the capture's snaplen and "
                                             r"skipped \(allow_truncated=True accepts that\)$") as error:
        vorn_r10.decode(cut, snapshot)
    allowed = vorn_r10.decode(cut, snapshot, allow_truncated=True)
    assert_same_rows(allowed, vorn_decode_csv(workdir, cut, snapshot, 2, "--options", "recv"))
    assert np.array_equal(error.value.rows, allowed)

    # A capture file cut mid-frame: the rows before the cut are kept with the error.
    (workdir / "damaged.pcap").write_bytes(capture.read_bytes()[:capture.stat().st_size // 2 + 7])
    with pytest.raises(vorn_r10.Error, match="the capture is damaged; stopped there") as error:
        vorn_r10.decode(workdir / "damaged.pcap", snapshot)
    assert 0 < len(error.value.rows) < len(first) and np.array_equal(error.value.rows, first[:len(error.value.rows)])

    write_pcap(workdir / "user0.pcap", 147, frames[:5])
    (workdir / "refused.bin").write_bytes(snapshot.read_bytes()[:2000])
    for arguments, message in [((workdir / "missing.pcap", snapshot), "missing.pcap: No such file or directory"),
                               ((capture, workdir / "missing.bin"), "cannot open .*missing.bin: No such file"),
                               ((workdir / "user0.pcap", snapshot), "link type"),
                               ((capture, workdir / "refused.bin"),
                                "(?s)^the connector did not start; its reasons:\n.*more than the file holds")]:
        with pytest.raises(vorn_r10.Error, match=message):
            vorn_r10.decode(*arguments)
    # read_snapshot refuses what the loader refuses, and is usable after.
    for name, message in [("refused.bin", "(?s)refused.bin is not a loadable snapshot.*more than the file"),
                          ("missing.bin", "cannot open .*missing.bin: No such file")]:
        with pytest.raises(vorn_r10.Error, match=message):
            vorn_r10.read_snapshot(workdir / name)
    assert vorn_r10.read_snapshot(snapshot)["trade_date"] == 20261216

    # A child that crashes after some rows: an Error saying so, with those rows.
    tool = vorn_r10._build.VORN_DECODE
    child_script(tmp, monkeypatch, CRASHING_CHILD.format(tool=tool))
    with pytest.raises(vorn_r10.Error, match="^vorn-decode crashed [(]SIGSEGV[)]") as error:
        vorn_r10.decode(capture, snapshot)
    assert 0 < len(error.value.rows) < 100 and np.array_equal(error.value.rows, first[:len(error.value.rows)])
    # A host that refuses an executable page (write-xor-execute): the library's reason, no rows.
    child_script(tmp, monkeypatch, WRITE_XOR_EXECUTE_CHILD.format(python=sys.executable, tool=tool))
    with pytest.raises(vorn_r10.Error, match="(?s)the connector did not start; its reasons:.*MemoryDenyWriteExecute"
                                             "|failed [(]77[)]") as error:
        vorn_r10.decode(capture, snapshot)
    assert len(error.value.rows) == 0
    [script.unlink() for script in tmp.glob("child*")]
    monkeypatch.setattr(vorn_r10._build, "VORN_DECODE", str(workdir / "no-such-tool"))
    with pytest.raises(vorn_r10.Error, match="cannot start .*no-such-tool: No such file or directory"):
        vorn_r10.decode(capture, snapshot)
    monkeypatch.setenv("TMPDIR", str(tmp / "gone"))  # the folder as it is at the call
    with pytest.raises(vorn_r10.Error, match="temporary file in TMPDIR: .*No such file"):
        vorn_r10.decode(capture, snapshot)

    for bad, message in [({"version": 3}, "version wants 1 or 2"), ({"options": "all"}, "options wants recv or "),
                         ({"insts": "all\nsnapshot = /elsewhere"}, "insts wants one line"), ({"rows": 0}, "rows wants"),
                         ({"rows": -5}, "rows wants a positive")]:
        with pytest.raises(ValueError, match=message):
            next(vorn_r10.iter_decode(capture, snapshot, **bad))
    assert leftovers([], tmp) == []


def test_decode_df_has_categories_and_utc_times_and_a_day_saved_reads_back(workdir, day, monkeypatch):
    capture, snapshot = day
    array = vorn_r10.decode(capture, snapshot, version=1)
    frame = vorn_r10.decode_df(capture, snapshot, version=1)
    assert list(frame.columns) == list(array.dtype.names)
    assert frame["instrument_id"].dtype == "category" and frame["update_time"].dtype == "category"
    assert frame["instrument_id"].tolist() == [text.decode() for text in array["instrument_id"]]
    assert str(frame["ts_event"].dt.tz) == "UTC" and frame["time"].dt.tz is None
    for name in ("ts_recv", "ts_event", "time", "ask1_price"):
        assert np.array_equal(frame[name].dt.tz_localize(None).to_numpy() if name.startswith("ts_")
                              else frame[name].to_numpy(), array[name]), name
    # The README's way of keeping a day through pandas: HDF5 tables keep categories and zones.
    frame.to_hdf(workdir / "day.h5", key="updates", format="table")
    import pandas
    assert pandas.read_hdf(workdir / "day.h5", "updates").equals(frame)
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="python3-pandas"):
        vorn_r10.decode_df(capture, snapshot)
