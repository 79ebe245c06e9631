"""read_snapshot against `vorn-snapshot show`, counters against a demo and vorn-stat, the install."""
import glob
import json
import os
import re
import subprocess
import sys
import time

import pytest

import vorn_r10
from conftest import BUILD, make_day, tool


@pytest.mark.parametrize("segment, mode", [("cipher", 1), ("0", 2), ("2", 2)])
def test_read_snapshot_gives_what_vorn_snapshot_show_prints(workdir, segment, mode):
    _, path = make_day(workdir, f"segment_{segment}", 10, 20261216, "--segment", segment, "--seqno", "4242",
                       "--channel", "udp://239.3.42.1:30001/10.0.0.5", "--channel", "udp://239.3.42.2:30002/10.0.0.6")
    text = subprocess.run([tool("vorn-snapshot"), "show", path], capture_output=True, text=True, check=True).stdout
    snapshot = vorn_r10.read_snapshot(path)
    assert snapshot["last_seqno"] == 4242 and snapshot["work_mode"] == mode
    shown = [f"trade date: {snapshot['trade_date']}\n", f"last seqno: 4242\n", f"(work mode {mode},",
             f"channels: 2\n"] + [f"  #{i} no {c['channel_no']} topic {c['topic']} status {c['status']}  {c['address']}\n"
                                 f"      source {c['source']} port {c['port']} ({c['role']})\n"
                                 for i, c in enumerate(snapshot["channels"])]
    assert [line for line in shown if line not in text] == []
    # One line per instrument: key, id, product, base, tick, multiple, best bid, best ask.
    lines = re.findall(r"^  (\d+) +(\S+) +(\S+) +(\S+) +(\S+) +(\S+) +(.+?) {2,}(.+)$", text, re.M)
    assert len(lines) == len(snapshot["instruments"]) > 0
    for line, instrument in zip(lines, snapshot["instruments"]):
        encoding, depth = instrument["price_encoding"], instrument["depth"]
        assert line[:6] == (str(instrument["key"]), instrument["instrument_id"], encoding["product"],
                            f"{encoding['base_price']:.10g}", f"{encoding['price_tick']:.10g}",
                            str(encoding["volume_multiple"]))
        best = [f"{side[0][0]:.10g} x {side[0][1]}" if side else "-" for side in (depth["bids"], depth["asks"])]
        assert [line[6].strip(), line[7].strip()] == best
        assert all(p[0] <= q[0] for p, q in zip(depth["bids"][1:], depth["bids"]))  # best bid first
        assert all(p[0] >= q[0] for p, q in zip(depth["asks"][1:], depth["asks"]))  # best ask first


def test_counters_of_a_running_demo_as_vorn_stat_reads_them(tmp):
    # An empty folder has none; a file that is no counters file is listed with its error.
    assert vorn_r10.counters(str(tmp)) == [] and vorn_r10.counters(str(tmp / "missing")) == []
    (tmp / "vorn_r10.1.x.counters").write_bytes(b"not counters")
    [entry] = vorn_r10.counters(str(tmp))
    assert entry["path"] == str(tmp / "vorn_r10.1.x.counters") and entry["error"]
    (tmp / "vorn_r10.1.x.counters").unlink()
    # The demo's counters file is in its folder in TMPDIR (kept: read after it ends).
    demo = subprocess.Popen([tool("vorn-demo"), "--seconds", "4", "--mode", "software", "--keep"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        deadline, mine = time.monotonic() + 60, []
        while not (mine and mine[0]["counters"]["updates"]):
            assert demo.poll() is None and time.monotonic() < deadline, "the demo's counters did not appear"
            time.sleep(0.05)
            mine = [c for d in glob.glob(f"{tmp}/vorn_demo_*") for c in vorn_r10.counters(d)]
        stat = json.loads(subprocess.run([tool("vorn-stat"), "--json", mine[0]["path"]], capture_output=True,
                                         text=True, check=True).stdout)
        (before,), (after,) = mine, vorn_r10.counters(os.path.dirname(mine[0]["path"]))
        assert before["alive"] and before["state"] == "running" == stat["state"] and before["pid"] == demo.pid
        assert before["device"] == stat["device"] and before["name"] == "vorn-demo"
        assert before["startup"]["trade_date"] == stat["startup"]["trade_date"] and before["startup"]["work_mode"] == 1 \
            == stat["startup"]["work_mode"]
        # The counters only grow: vorn-stat's reading lies between the two of the module.
        for name, value in stat["counters"].items():
            assert name == "reorder_depth" or before["counters"][name] <= value <= after["counters"][name], name
        assert {i["instrument_id"] for i in after["instruments"]} == {i["instrument_id"] for i in stat["instruments"]}
        demo.wait(timeout=60)
        (ended,) = vorn_r10.counters(os.path.dirname(mine[0]["path"]))
        assert ended["state"] == "ended" and ended["counters"]["updates"] >= after["counters"]["updates"]
    finally:
        demo.kill()
        demo.wait()


def test_the_installed_package_decodes_and_pip_knows_it(workdir, day):
    (capture, snapshot), prefix = day, workdir / "prefix"
    # cmake itself without the sanitizer runtimes a sanitizer build's tests preload (it stalls with them).
    plain = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True, capture_output=True, env=plain,
                   timeout=120)
    [found] = glob.glob(str(prefix / "lib" / "python3*" / "dist-packages" / "vorn_r10" / "__init__.py"))
    # The module itself as the tests load it (a sanitizer build's extension needs its runtime).
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(found)))
    run = subprocess.run([sys.executable, "-c", "import sys, vorn_r10; print(vorn_r10.__file__, vorn_r10.__version__, "
                          "vorn_r10._build.VORN_DECODE, len(vorn_r10.decode(sys.argv[1], sys.argv[2])))",
                          capture, snapshot], capture_output=True, text=True, env=env, cwd=workdir)
    assert run.returncode == 0, run.stderr
    module_file, version, tool, rows = run.stdout.split()
    assert module_file == found and tool == str(prefix / "bin" / "vorn-decode")  # the installed tool
    assert int(rows) == len(vorn_r10.decode(capture, snapshot))
    # The project's version, as the tools print it, is the one pip shows.
    assert f"vorn-decode {version}\n" == subprocess.run([tool, "--version"], capture_output=True, text=True).stdout
    shown = subprocess.run([sys.executable, "-m", "pip", "show", "-f", "vorn_r10"], capture_output=True, text=True,
                           env=dict(plain, PYTHONPATH=env["PYTHONPATH"])).stdout
    assert f"Name: vorn_r10\nVersion: {version}\n" in shown and "vorn_r10/__init__.pyi" in shown
    assert os.path.exists(os.path.join(os.path.dirname(found), "py.typed"))
