"""The vorn_r10 market data library from Python.

decode()         a capture, through the library as vorn-decode decodes it, into a numpy array
iter_decode()    the same in arrays of at most `rows` rows each, in constant memory
decode_df()      the same as a pandas DataFrame
read_snapshot()  a snapshot file as `vorn-snapshot show` reads it
counters()       every connector's live counters, as vorn-stat reads them
Error            what they raise where the tools report a failure (a RuntimeError)

A decode runs vorn-decode in a child process of its own and reads its rows from a pipe
straight into numpy: the caller's standard output, signal handlers and threads are left alone,
and decodes from several threads run side by side.
"""
import atexit as _atexit
import json as _json
import os as _os
import signal as _signal
import struct as _struct
import subprocess as _subprocess
import tempfile as _tempfile

from . import _build, _core, _snapshot
from ._core import Error

__version__ = _build.VERSION
__all__ = ["Error", "counters", "decode", "decode_df", "iter_decode", "read_snapshot", "__version__"]

_atexit.register(_snapshot._cleanup)

_MAGIC = b"VORNROWS"
_EXIT_TRUNCATED, _EXIT_INTERRUPTED = 3, 130
_STOP_SECONDS = 30  # a stopped child's time to remove its card before it is killed
_PIPE_BYTES = 1 << 20
_FIRST_ROWS = 1 << 14


def _checked_arguments(insts, options, version, rows=1):
    if version not in (1, 2) or isinstance(version, bool):
        raise ValueError(f"version wants 1 or 2, not {version!r}")
    if options not in ("recv", "norecv"):
        raise ValueError(f"options wants recv or norecv, not {options!r}")
    if not isinstance(insts, str) or "\n" in insts or "\r" in insts:
        raise ValueError("insts wants one line of text")
    if not isinstance(rows, int) or isinstance(rows, bool) or rows <= 0:
        raise ValueError(f"rows wants a positive number, not {rows!r}")


class _Child:
    """One vorn-decode run in a child process, its rows read from a pipe."""

    def __init__(self, capture, snapshot, insts, options, version, allow_truncated):
        import numpy
        self._numpy = numpy
        self._child = None
        command = [_build.VORN_DECODE, _os.fspath(capture), "--snapshot", _os.fspath(snapshot), "--format", "binary",
                   f"--v{version}", "--insts", insts, "--options", options, "--no-library-log", "--no-progress",
                   "--quiet"]
        if allow_truncated:
            command.append("--allow-truncated")
        # The child's messages go to a file without a name, in TMPDIR as it is now (tempfile
        # keeps the first it saw), as the child's own private folder: nothing is left behind
        # even when the caller is killed.
        try:
            self._errors = _tempfile.TemporaryFile(dir=_os.environ.get("TMPDIR") or None)
        except OSError as reason:
            raise Error(f"cannot make a temporary file in TMPDIR: {reason}") from None
        try:
            # A session of its own: a terminal's Ctrl-C reaches the caller, who stops the child.
            self._child = _subprocess.Popen(command, stdin=_subprocess.DEVNULL, stdout=_subprocess.PIPE,
                                            stderr=self._errors, bufsize=0, start_new_session=True)
        except OSError as reason:
            self.close()
            raise Error(f"cannot start {command[0]}: {reason.strerror or reason}") from None
        try:
            _fcntl_pipe_size(self._child.stdout.fileno())
            self.dtype = self._read_header()
        except BaseException:
            self.close()
            raise

    def _fill(self, view):
        """Reads into the byte view until it is full or the child's output ends; bytes read."""
        done = 0
        while done < len(view):
            got = self._child.stdout.readinto(view[done:])
            if not got:
                break
            done += got
        return done

    def _read_exact(self, count):
        data = bytearray(count)
        return bytes(data) if self._fill(memoryview(data)) == count else None

    def _read_header(self):
        prefix = self._read_exact(len(_MAGIC) + 8)
        text = prefix and prefix.startswith(_MAGIC) and self._read_exact(_struct.unpack("<Q", prefix[len(_MAGIC):])[0])
        if not text:
            raise self.finish(None) or Error("vorn-decode wrote no rows header")
        header = _json.loads(text)
        dtype = self._numpy.dtype([tuple(column) for column in header["descr"]])
        if dtype.itemsize != header["itemsize"]:
            raise Error("internal error: the row layout differs from numpy's")
        return dtype

    def read_into(self, rows, start):
        """Fills rows[start:] from the child; the number of whole rows now in `rows`."""
        width = self.dtype.itemsize
        got = self._fill(memoryview(rows.view(self._numpy.uint8))[start * width:])
        return start + got // width

    def finish(self, rows):
        """Waits for the child to end; the Error its end means (carrying `rows`), or None."""
        code = self._child.wait()
        self._errors.seek(0)
        text = self._errors.read().decode(errors="replace").replace("vorn-decode: ", "").strip()
        self.close()
        if code == 0:
            return None
        if code < 0:
            message = f"vorn-decode crashed ({_signal.Signals(-code).name})" + (f": {text}" if text else "")
        elif code == _EXIT_INTERRUPTED:
            message = "vorn-decode was interrupted by a signal from elsewhere"
        else:
            message = text.replace("--allow-truncated", "allow_truncated=True") if text else f"vorn-decode failed ({code})"
        error = Error(message)
        if rows is not None:
            error.rows = rows
        return error

    def close(self):
        """Stops a child still running (it removes its card and folder); closes the pipe and file."""
        self._errors.close()
        if self._child is not None:
            self._child.stdout.close()
            if self._child.poll() is None:
                self._child.send_signal(_signal.SIGTERM)
                try:
                    self._child.wait(_STOP_SECONDS)
                except _subprocess.TimeoutExpired:
                    self._child.kill()
                    self._child.wait()


def _fcntl_pipe_size(fd):
    """A larger pipe: fewer wake-ups per row. Where the system refuses, the default is used."""
    import fcntl
    try:
        fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), _PIPE_BYTES)
    except OSError:
        pass


def iter_decode(capture, snapshot, *, rows=65536, insts="all", options="recv", version=2, allow_truncated=False):
    """decode() in numpy arrays of at most `rows` rows each, in delivery order, while the child
    decodes: memory stays that of one array whatever the capture's size. An Error at the end
    carries the rows not yet yielded as its `rows`. Leaving the loop early stops the child."""
    _checked_arguments(insts, options, version, rows)
    child = _Child(capture, snapshot, insts, options, version, allow_truncated)
    try:
        while True:
            chunk = child._numpy.empty(rows, child.dtype)
            filled = child.read_into(chunk, 0)
            if filled < rows:
                chunk = chunk[:filled].copy()
                break
            yield chunk
        error = child.finish(chunk)
        if error:
            raise error
        if filled:
            yield chunk
    finally:
        child.close()


def decode(capture, snapshot, *, insts="all", options="recv", version=2, allow_truncated=False):
    """Decodes the capture (pcap or pcapng) from the day's snapshot through the library, as
    vorn-decode does, into a numpy structured array: one row per update delivered, in delivery
    order, with vorn-decode's CSV columns of that version (texts as bytes, prices int64
    thousandths in version 2, float64 in version 1), `time` (datetime64[ms], the exchange's wall
    clock), `ts_recv` (datetime64[ns] UTC: the capture time of the frame that delivered the
    update) and `ts_event` (datetime64[ns] UTC: the exchange's time of the update, NaT where
    unreadable).

    insts: the insts key (instruments to deliver); options: "recv" or "norecv" (whether product
    and prefix selectors also select options); allow_truncated: accept frames cut by the
    capture's snaplen (they are skipped). Raises Error with the tool's message; an Error after
    the child started (a damaged capture, frames cut, a crash) carries the rows decoded so far
    as its `rows`."""
    _checked_arguments(insts, options, version)
    child = _Child(capture, snapshot, insts, options, version, allow_truncated)
    try:
        table, filled = child._numpy.empty(_FIRST_ROWS, child.dtype), 0
        while True:
            filled = child.read_into(table, filled)
            if filled < len(table):
                break
            # realloc: a large block grows by remapping its pages, not by copying them.
            table.resize(2 * len(table), refcheck=False)
        table.resize(filled, refcheck=False)
        error = child.finish(table)
        if error:
            raise error
        return table
    finally:
        child.close()


def decode_df(capture, snapshot, **options):
    """decode() as a pandas DataFrame (same arguments; needs pandas): texts as categoricals of
    str, ts_recv and ts_event as timezone-aware (UTC) timestamps."""
    try:
        import pandas
    except ImportError as missing:
        raise ImportError(
            "vorn_r10.decode_df needs the pandas package (Debian: python3-pandas); "
            "vorn_r10.decode gives the same rows as a numpy array") from missing
    import numpy
    rows = decode(capture, snapshot, **options)
    frame = pandas.DataFrame(rows)
    for name in rows.dtype.names:
        if rows.dtype[name].kind == "S":
            texts, codes = numpy.unique(rows[name], return_inverse=True)
            categories = [text.decode("ascii", "replace") for text in texts]
            frame[name] = pandas.Categorical.from_codes(codes, categories)
        elif name.startswith("ts_"):
            frame[name] = frame[name].dt.tz_localize("UTC")
    return frame


def read_snapshot(path):
    """The snapshot file as the connector loads it: channels, trade date, last sequence number,
    code segment, work mode (1 software, 2 hardware) and per instrument its price encoding and
    depth. Raises Error with the loader's reasons when start-up would refuse the file."""
    return _snapshot.read_snapshot(path)


def counters(dir="/dev/shm"):
    """Every connector's counters in the folder (the counters_path key), one dict per counters
    file: pid, device, state, start-up, counters, latency and instruments."""
    return _core.counters(dir)
