"""The vorn_r10 market data library from Python.

decode()         a capture, through the library as vorn-decode decodes it, into a numpy array
decode_df()      the same as a pandas DataFrame
read_snapshot()  a snapshot file as `vorn-snapshot show` reads it
counters()       every running connector's counters, as vorn-stat reads them
Error            what the functions raise when the tools would report a failure
"""
import atexit as _atexit

from ._core import Error, counters, decode
from ._snapshot import _cleanup, read_snapshot

_atexit.register(_cleanup)

__all__ = ["Error", "counters", "decode", "decode_df", "read_snapshot"]


def decode_df(capture, snapshot, **options):
    """decode() as a pandas DataFrame (same arguments; needs pandas)."""
    try:
        import pandas
    except ImportError as missing:
        raise ImportError(
            "vorn_r10.decode_df needs the pandas package (Debian: python3-pandas); "
            "vorn_r10.decode gives the same rows as a numpy array") from missing
    return pandas.DataFrame(decode(capture, snapshot, **options))
