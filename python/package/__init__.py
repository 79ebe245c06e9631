"""The vorn_r10 market data library from Python.

decode()         a capture, through the library as vorn-decode decodes it, into a numpy array
decode_df()      the same as a pandas DataFrame
read_snapshot()  a snapshot file as `vorn-snapshot show` reads it
counters()       every connector's live counters, as vorn-stat reads them
Error            what they raise where the tools report a failure (a RuntimeError)

The functions are plain Python functions, so that process schedulers (Dask, multiprocessing)
can send them to their workers.
"""
import atexit as _atexit

from . import _core, _snapshot
from ._core import Error

_atexit.register(_snapshot._cleanup)

__all__ = ["Error", "counters", "decode", "decode_df", "read_snapshot"]


def decode(capture, snapshot, *, insts="all", options="recv", version=2, allow_truncated=False):
    """Decodes the capture (pcap or pcapng) from the day's snapshot through the library, as
    vorn-decode does, into a numpy structured array: one row per update delivered, in delivery
    order, with vorn-decode's CSV columns of that version (prices int64 thousandths in version 2,
    float64 in version 1) and `time` (datetime64[ms], the exchange's local time).

    insts: the insts key (instruments to deliver); options: "recv" or "norecv" (whether product
    and prefix selectors also select options); allow_truncated: accept frames cut by the
    capture's snaplen (they are skipped). Raises Error with the tool's message; an Error after
    rows were decoded (a damaged capture, frames cut) carries them as its `rows`. One decode per
    process at a time: a decode from a second thread while one runs raises Error."""
    return _core.decode(capture, snapshot, insts=insts, options=options, version=version,
                        allow_truncated=allow_truncated)


def decode_df(capture, snapshot, **options):
    """decode() as a pandas DataFrame (same arguments; needs pandas)."""
    try:
        import pandas
    except ImportError as missing:
        raise ImportError(
            "vorn_r10.decode_df needs the pandas package (Debian: python3-pandas); "
            "vorn_r10.decode gives the same rows as a numpy array") from missing
    return pandas.DataFrame(decode(capture, snapshot, **options))


def read_snapshot(path):
    """The snapshot file as the connector loads it: channels, trade date, last sequence number,
    code segment, work mode (1 software, 2 hardware) and per instrument its price encoding and
    depth. Raises Error with the loader's reasons when start-up would refuse the file."""
    return _snapshot.read_snapshot(path)


def counters(dir="/dev/shm"):
    """Every connector's counters in the folder (the counters_path key), one dict per counters
    file: pid, device, state, start-up, counters, latency and instruments."""
    return _core.counters(dir)
