"""vorn_r10.decode and decode_df against vorn-decode, and how they fail."""
import os
import pathlib
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vorn_r10
from conftest import assert_same_rows, leftovers, make_day, vorn_decode_csv


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("selection", [{}, {"insts": "IF2612,T2703", "options": "norecv"}])
def test_rows_equal_vorn_decode_csv(workdir, day, version, selection, capfd):
    capture, snapshot = day
    array = vorn_r10.decode(capture, snapshot, version=version, **selection)
    options = ["--insts", selection.get("insts", "all"), "--options", selection.get("options", "recv")]
    rows = vorn_decode_csv(workdir, capture, snapshot, version, *options)
    assert len(rows) > 0
    assert_same_rows(array, rows, version)
    # The library's own output went to its private file, not to the interpreter's.
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("name, date, extra", [
    # Code segment 1 is one the card's firmware knows: the connector would run in hardware mode.
    ("hardware_day", 20261216, ["--segment", "1"]),
    # A second day in the same process starts from its own snapshot, not from what the last one left.
    ("other_day", 20270104, []),
])
def test_another_day_decodes_like_vorn_decode(workdir, name, date, extra):
    capture, snapshot = make_day(workdir, name, 500, date, *extra)
    array = vorn_r10.decode(capture, snapshot)
    assert_same_rows(array, vorn_decode_csv(workdir, capture, snapshot, 2, "--options", "recv"), 2)
    assert str(array["time"][0]).startswith(f"{date // 10000}-{date // 100 % 100:02}-{date % 100:02}")


def write_pcap(path, link_type, frames, snaplen=65535):
    """A classic pcap file of (bytes, original length) frames."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, link_type))
        for i, (data, original) in enumerate(frames):
            f.write(struct.pack("<IIII", 1797000000 + i, 0, len(data), original))
            f.write(data)


def read_pcap(path):
    data = pathlib.Path(path).read_bytes()
    assert struct.unpack_from("<I", data)[0] == 0xA1B2C3D4, "the sample capture is a classic pcap"
    frames, at = [], 24
    while at < len(data):
        _, _, included, original = struct.unpack_from("<IIII", data, at)
        frames.append((data[at + 16:at + 16 + included], original))
        at += 16 + included
    return frames


def test_frames_cut_by_the_snaplen_fail_unless_allowed(workdir, day):
    capture, snapshot = day
    frames = read_pcap(capture)
    # Every tenth frame cut to its first 60 bytes, as a capture with a small snaplen holds it.
    cut = [(data[:60], original) if i % 10 == 5 else (data, original) for i, (data, original) in enumerate(frames)]
    path = workdir / "snaplen.pcap"
    write_pcap(path, 1, cut)
    with pytest.raises(vorn_r10.Error, match=f"{len(frames[5::10])} frames were cut by the capture's snaplen") as error:
        vorn_r10.decode(path, snapshot)
    allowed = vorn_r10.decode(path, snapshot, allow_truncated=True)
    assert_same_rows(allowed, vorn_decode_csv(workdir, path, snapshot, 2, "--options", "recv"), 2)
    # The failure keeps what was decoded.
    assert np.array_equal(error.value.rows, allowed)


def test_errors_carry_the_tools_messages_and_the_interpreter_goes_on(workdir, day, capfd):
    capture, snapshot = day
    first = vorn_r10.decode(capture, snapshot)
    with pytest.raises(vorn_r10.Error, match="missing.pcap: No such file or directory"):
        vorn_r10.decode(workdir / "missing.pcap", snapshot)
    with pytest.raises(vorn_r10.Error, match="cannot open .*missing.bin: No such file or directory"):
        vorn_r10.decode(capture, workdir / "missing.bin")

    # A link type the reader does not take (USER0).
    other_link = workdir / "user0.pcap"
    write_pcap(other_link, 147, read_pcap(capture)[:5])
    with pytest.raises(vorn_r10.Error, match="link type"):
        vorn_r10.decode(other_link, snapshot)

    # A capture file cut short: the rows before the cut are kept with the error.
    cut_file = workdir / "cut.pcap"
    cut_file.write_bytes(capture.read_bytes()[:capture.stat().st_size // 2 + 7])
    with pytest.raises(vorn_r10.Error, match="the capture is damaged; stopped there") as error:
        vorn_r10.decode(cut_file, snapshot)
    kept = error.value.rows
    assert 0 < len(kept) < len(first)
    assert np.array_equal(kept, first[:len(kept)])

    # A snapshot the connector refuses: the library's own reason is in the message.
    refused = workdir / "refused.bin"
    refused.write_bytes(snapshot.read_bytes()[:2000])
    with pytest.raises(vorn_r10.Error, match="(?s)the connector did not start.*more than the file holds"):
        vorn_r10.decode(capture, refused)

    # The last: the selection cannot add keys to the connector's configuration.
    for bad, message in (({"version": 3}, "version wants 1 or 2"), ({"options": "all"}, "options wants recv or norecv"),
                         ({"insts": "all\nsnapshot = /elsewhere"}, "insts wants one line")):
        with pytest.raises(ValueError, match=message):
            vorn_r10.decode(capture, snapshot, **bad)

    # After all that, a decode in the same process gives the same table again.
    assert np.array_equal(vorn_r10.decode(capture, snapshot), first)
    assert capfd.readouterr().out == ""
    assert leftovers(os.getpid()) == []


def test_a_decode_from_a_second_thread_while_one_runs_is_refused(long_day):
    capture, snapshot = long_day
    results = {}
    worker = threading.Thread(target=lambda: results.update(rows=vorn_r10.decode(capture, snapshot)))
    worker.start()
    pid = os.getpid()
    # The running decode shows as its private card.
    while worker.is_alive() and not any("vorn_exanic_vorn_decode_" in p for p in leftovers(pid)):
        time.sleep(0.0005)
    assert worker.is_alive(), "the decode ended before it was seen running"
    with pytest.raises(vorn_r10.Error, match="a decode is already running in this process"):
        vorn_r10.decode(capture, snapshot)
    worker.join()
    # The refused call disturbed nothing: the running decode's table is whole.
    assert len(results["rows"]) == len(vorn_r10.decode(capture, snapshot))
    assert leftovers(pid) == []


CTRL_C_CHILD = r"""
import os, signal, sys, vorn_r10
# Python's own Ctrl-C handling, also when started with SIGINT ignored (as from a shell's '&').
signal.signal(signal.SIGINT, signal.default_int_handler)
capture, snapshot = sys.argv[1:3]
print("ready", flush=True)
try:
    vorn_r10.decode(capture, snapshot)
    print("finished")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
print("after", len(vorn_r10.decode(capture, snapshot)), flush=True)
"""


def test_ctrl_c_raises_keyboard_interrupt_and_leaves_nothing(long_day):
    capture, snapshot = long_day
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD, capture, snapshot], stdout=subprocess.PIPE,
                             text=True, env=os.environ)
    assert child.stdout.readline() == "ready\n"
    deadline = time.monotonic() + 60
    while not any("vorn_exanic_vorn_decode_" in p for p in leftovers(child.pid)):
        assert child.poll() is None and time.monotonic() < deadline, "the decode was not seen running"
        time.sleep(0.0005)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=120)
    assert child.returncode == 0
    lines = out.split("\n")
    assert lines[0] == "KeyboardInterrupt"
    assert lines[1] == f"after {len(vorn_r10.decode(capture, snapshot))}"
    assert leftovers(child.pid) == []


def test_decode_df_is_the_same_table_and_names_pandas_when_it_is_missing(day, monkeypatch):
    capture, snapshot = day
    array = vorn_r10.decode(capture, snapshot, version=1)
    frame = vorn_r10.decode_df(capture, snapshot, version=1)
    assert list(frame.columns) == list(array.dtype.names)
    for name in ("instrument_id", "time", "ask1_price"):
        assert np.array_equal(frame[name].to_numpy(), array[name]), name
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="python3-pandas"):
        vorn_r10.decode_df(capture, snapshot)

