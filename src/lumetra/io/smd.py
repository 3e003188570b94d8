"""HDF5 trace files in tMAVEN's single-molecule dataset (SMD) layout.

Layout from tMAVEN's documentation, "SMD Files" (docs/quarto/info_pysmd.qmd of the tMAVEN
repository, published as the page info_pysmd.html of its site), an HDF5 form of the SMD format
of Greenfeld et al., BMC Bioinformatics 16, 3 (2015); the details (which group holds what, the
tMAVEN group's datasets) as tMAVEN's pysmd.py and controllers/io.py write and read them:

- any number of SMD groups, anywhere in the file, each marked by the attribute
  ``format = "SMD"`` (any case), with ``date_created``, ``date_modified`` and ``description``
  attributes (on the group or on its ``data`` group);
- ``GROUP/data/raw``: the traces, an array (molecules, frames, colours) of numbers. Two colours
  are donor and acceptor (tMAVEN's FRET is the last colour over their sum); one colour (or a
  2-D array) is a single-channel intensity;
- ``GROUP/data/source_index`` (optional): per molecule, the number of its source, whose group
  ``GROUP/sources/NUMBER`` holds the source's metadata as attributes (``source_name``, ...);
- ``GROUP/tMAVEN`` (optional, attribute ``format = "tMAVEN"``): per molecule ``classes`` (its
  class), ``pre_list`` and ``post_list`` (the first frame kept and the one after the last).

Where the tMAVEN group gives them, a trace holds the frames pre_list to post_list only. The
files carry no time axis: time counts frames unless the caller gives the frame time. Trace
ids are ``GROUP/N`` (N the 0-based molecule number in its group), and each Trace's metadata
holds ``group``, ``smd`` (the group's attributes), ``source`` (its source's attributes) and,
from the tMAVEN group, ``class``, ``pre`` and ``post``.

The HDF5 library crashes or loops on some damaged files, so the file is opened in a child
process (lumetra.io._hdf5_dump) given READ_SECONDS (and a second per BYTES_PER_SECOND); a
crash, a hang or a library error is reported as a damaged file. An HDF5 file without an SMD
group is refused with the list of the datasets it holds.
"""

from __future__ import annotations

import pickle
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

import numpy as np

from lumetra.io._trace import BadTrace, Trace, TraceFormatError, each_trace, make_trace

FORMAT = "smd"
SIGNATURE = b"\x89HDF\r\n\x1a\n"
FIRST_USER_BLOCK = 512  # the signature is at 0 or at 512, 1024, 2048, ... (a user block)
TMAVEN_LISTS = ("classes", "pre_list", "post_list")
COLOURS = {1: ("intensity",), 2: ("donor", "acceptor")}
LISTED = 40  # datasets an error names at most
MAX_VALUES = 2**29  # values of a dataset read at most (4 GiB as float64)
DUMP = Path(__file__).with_name("_hdf5_dump.py")
READ_SECONDS = 60.0  # the child's time to read a file, and a second more per:
BYTES_PER_SECOND = 5e6


def is_hdf5(data: bytes) -> bool:
    offset = 0
    while offset + len(SIGNATURE) <= len(data):
        if data[offset : offset + len(SIGNATURE)] == SIGNATURE:
            return True
        offset = FIRST_USER_BLOCK if offset == 0 else 2 * offset
    return False


def listing(datasets: list[tuple[str, tuple[int, ...], str]]) -> str:
    if not datasets:
        return "none"
    names = [f"{path} {shape} {dtype}" for path, shape, dtype in datasets]
    more = f"; ... ({len(names)} in all)" if len(names) > LISTED else ""
    return "; ".join(names[:LISTED]) + more


def ended(done: subprocess.CompletedProcess[bytes]) -> str:
    """How a child process ended: its signal, or its exit status."""
    code = done.returncode
    if code >= 0:
        return f"exit status {code}"
    try:
        return f"signal {signal.Signals(-code).name}"
    except ValueError:
        return f"signal {-code}"


def dump(source: str, data: bytes) -> dict[str, Any]:
    """What lumetra.io._hdf5_dump finds in the file, read in a child process."""
    seconds = READ_SECONDS + len(data) / BYTES_PER_SECOND
    try:
        done = subprocess.run(
            [sys.executable, "-P", str(DUMP), str(MAX_VALUES)],
            input=data,
            capture_output=True,
            timeout=seconds,
            check=False,
        )
    except subprocess.TimeoutExpired:
        raise TraceFormatError(
            source, f"a damaged HDF5 file: reading it did not end within {seconds:.0f} s"
        ) from None
    if done.returncode != 0:
        lines = done.stderr.decode("utf-8", "replace").strip().splitlines()
        said = f": {lines[-1]}" if lines else ""
        raise TraceFormatError(
            source, f"a damaged HDF5 file: the HDF5 library failed on it ({ended(done)}){said}"
        )
    found: dict[str, Any] = pickle.loads(done.stdout)
    if "error" in found:
        raise TraceFormatError(source, found["error"])
    return found


def read(source: str, data: bytes, frame_time: float | None = None) -> list[Trace | BadTrace]:
    """The traces of every SMD group of the file, group by group."""
    found = dump(source, data)
    if not found["groups"]:
        raise TraceFormatError(
            source,
            "an HDF5 file of unknown layout: no group marked format='SMD' (tMAVEN's "
            f"layout); the datasets found: {listing(found['datasets'])}",
        )
    molecules: list[tuple[_Group, int]] = []
    for group in found["groups"]:
        inside = [d for d in found["datasets"] if d[0].startswith(group["name"].rstrip("/") + "/")]
        read_group = _Group(source, group, frame_time, inside)
        molecules += [(read_group, n) for n in range(read_group.count)]
    if not molecules:
        raise TraceFormatError(source, "its SMD groups hold no molecules")
    return each_trace(len(molecules), lambda i: molecules[i][0].trace(molecules[i][1], i))


class _Group:
    """One SMD group, checked."""

    def __init__(
        self,
        source: str,
        group: dict[str, Any],
        frame_time: float | None,
        datasets: list[tuple[str, tuple[int, ...], str]],
    ) -> None:
        self.source, self.name, self.frame_time = source, str(group["name"]), frame_time
        raw = group["raw"]
        if raw is None:
            raise TraceFormatError(
                source,
                f"SMD group {self.name} has no dataset data/raw; it holds: {listing(datasets)}",
            )
        if isinstance(raw, str):
            raise TraceFormatError(
                source,
                f"{self.name}/data/raw is {raw}: SMD traces are numbers of shape (molecules, "
                f"frames, colours), at most {MAX_VALUES} of them",
            )
        colours = 1 if raw.ndim == 2 else raw.shape[2]
        if colours not in COLOURS:
            raise TraceFormatError(
                source,
                f"{self.name}/data/raw has {colours} colours; 1 (intensity) or 2 (donor, "
                "acceptor) are read",
            )
        self.values = np.asarray(raw, dtype=float).reshape(*raw.shape[:2], colours)
        self.count, self.frames = self.values.shape[:2]
        self.channels = COLOURS[colours]
        self.meta = group["attrs"] | group["data_attrs"]
        self.sources_of = self._per_molecule(group["source_index"], "data/source_index")
        self.sources: dict[str, Any] = group["sources"]
        self.lists = {k: self._per_molecule(v, f"tMAVEN/{k}") for k, v in group["tmaven"].items()}

    def _per_molecule(self, values: Any, what: str) -> np.ndarray[Any, Any] | None:
        if values is None:
            return None
        if isinstance(values, str) or values.shape != (self.count,):
            shape = values if isinstance(values, str) else f"{values.shape} {values.dtype}"
            raise TraceFormatError(
                self.source,
                f"{self.name}/{what} is {shape}: a number per molecule, {self.count} here",
            )
        return np.asarray(values)

    def trace(self, n: int, index: int) -> Trace:
        where = f"{self.name}, molecule {n}"
        start, end = self._frames(n, where)
        meta: dict[str, Any] = {"group": self.name, "smd": self.meta}
        if self.sources_of is not None:
            meta["source"] = self.sources.get(str(int(self.sources_of[n])), {})
        for key, name in zip(TMAVEN_LISTS, ("class", "pre", "post")):
            found = self.lists[key]
            if found is not None:
                meta[name] = int(found[n])
        values = self.values[n, start:end]
        bad = np.argwhere(~np.isfinite(values))
        if bad.size:
            frame, colour = (int(i) for i in bad[0])
            raise TraceFormatError(
                self.source,
                f"non-finite value {values[frame, colour]!r} in channel '{self.channels[colour]}'",
                where=f"{where}, frame {start + frame}",
            )
        time = None if self.frame_time is None else np.arange(end - start) * self.frame_time
        channels: dict[str, Any] = dict(zip(self.channels, values.T))
        return make_trace(
            self.source,
            FORMAT,
            time,
            where=where,
            trace_id=f"{self.name.lstrip('/')}/{n}",
            index=index,
            metadata=meta,
            **channels,
        )

    def _frames(self, n: int, where: str) -> tuple[int, int]:
        pre, post = self.lists["pre_list"], self.lists["post_list"]
        start = 0 if pre is None else int(pre[n])
        end = self.frames if post is None else int(post[n])
        if not 0 <= start < end <= self.frames:
            raise TraceFormatError(
                self.source,
                f"pre_list {start} and post_list {end} do not bound frames of a trace of "
                f"{self.frames}",
                where=where,
            )
        return start, end
