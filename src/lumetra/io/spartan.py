"""SPARTAN's binary .traces files (many traces in one file).

Layout from SPARTAN's own reader and writer, loadTraces.m and saveTraces.m (format versions 3
to 5; the version history is in loadTraces.m), in the byte order MATLAB writes natively on the
machines SPARTAN runs on, little-endian:

====== ================ ========================================================================
offset type             content
====== ================ ========================================================================
0      uint32           0 (versions 1 and 2 began with the frame count; they are not read)
4      char[4]          ``TRCS``, the signature
8      uint16           format version: 3, 4 or 5
10     uint8            type of the trace data, a 0-based index into (char, uint8, uint16,
                        uint32, uint64, int8, int16, int32, int64, single, double): 9 = single
11     uint8            number of channels C
12     uint32           number of traces N
16     uint32           number of frames T
20     uint32, char[L]  versions 4 and 5: L, then the channel names joined by char(31), e.g.
                        ``donor``, ``acceptor``, ``fret`` and, with alternating excitation,
                        ``acceptorDirect``; version 3 has no names: donor, acceptor, fret
..     T values         the time axis
..     C x N x T values each channel, a MATLAB N-by-T matrix written column by column: frame 1
                        of every trace, then frame 2, ...
..                      metadata: in version 5 one typed record (below), which may hold
                        ``traceMetadata``, a struct array with a string field ``ids``
====== ================ ========================================================================

A version-5 metadata record: uint8 type code (the list above, then 11 logical, 12 cell,
13 struct), uint32 byte length of the rest, uint8 number of dimensions, uint32 each dimension,
then the content: primitives as the elements (column-major); a cell, one record per element; a
struct, uint8 field count and per field uint8 name length, the name, uint8 flags (bit 1:
packed) and either one record holding every element's value (strings joined by char(31)) or
one record per element. Older metadata pages are skipped.

SPARTAN fills the time axis in milliseconds (gettraces.m; simulate.m writes
``sampling*1000*(0:traceLen-1)``), and with frame numbers 1..T when the movie had no timing;
the reader gives seconds, or frames counted from 0 for such an axis. The ``ids`` metadata,
where present, gives the trace ids.

Every size the file declares is checked against the bytes it has before anything of that size
is made, and metadata nested more than DEEPEST records deep is refused. A trace holding a NaN or
infinite value (or failing another check of lumetra.io) is refused alone, naming its frame and
byte; the file's other traces are read all the same. A time axis holding one refuses the file.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any, NoReturn, Union

import numpy as np
import numpy.typing as npt

from lumetra.io._trace import BadTrace, Trace, TraceFormatError, each_trace, make_trace, quoted

FORMAT = "spartan"
SIGNATURE = b"TRCS"
HEAD = b"\0\0\0\0" + SIGNATURE  # the first 8 bytes of every file of version 3 or later
VERSIONS = (3, 4, 5)
TYPES = ("u1", "u1", "<u2", "<u4", "<u8", "i1", "<i2", "<i4", "<i8", "<f4", "<f8", "?")
CELL, STRUCT = 12, 13
SEPARATOR = "\x1f"
VERSION_3_CHANNELS = ("donor", "acceptor", "fret")
CHANNELS = {"donor": "donor", "acceptor": "acceptor", "acceptorDirect": "acceptor_direct"}
MS_PER_S = 1000.0
HEADER_BYTES = 20  # up to the channel names (version 4 and 5) or the time axis (version 3)
RECORD_HEAD = 6  # type code, byte length, dimension count: the least a metadata record holds
DEEPEST = 32  # metadata records nested deeper are refused (SPARTAN's own nest a few deep)

# A version-5 metadata record: text (char), an array (other primitives), a list of records
# (cell) or a list of {field name: record} (struct).
Metadata = Union[str, npt.NDArray[Any], list["Metadata"], list[dict[str, "Metadata"]]]


def is_spartan(data: bytes) -> bool:
    return data[: len(HEAD)] == HEAD


class _Reader:
    """Bounds-checked little-endian reads from the file's bytes."""

    def __init__(self, source: str, data: bytes) -> None:
        self.source, self.data, self.offset = source, data, 0

    def fail(self, message: str, offset: int | None = None) -> NoReturn:
        offset = self.offset if offset is None else offset
        raise TraceFormatError(self.source, message, where=f"byte {offset}")

    def array(self, dtype: str, count: int, what: str) -> npt.NDArray[Any]:
        kind = np.dtype(dtype)
        end = self.offset + kind.itemsize * count
        if end > len(self.data):
            self.fail(f"file ends inside {what}: {end} bytes needed, {len(self.data)} present")
        values = np.frombuffer(self.data, dtype=kind, count=count, offset=self.offset)
        self.offset = end
        return values

    def scalar(self, dtype: str, what: str) -> int:
        return int(self.array(dtype, 1, what)[0])

    def text(self, length: int, what: str) -> str:
        return self.array("u1", length, what).tobytes().decode("latin-1")


def read(source: str, data: bytes, frame_time: float | None = None) -> list[Trace | BadTrace]:
    """The file's traces; a trace whose values do not fit (a NaN or infinite one, a channel
    that is zero throughout, ...) is a BadTrace, and the others are read all the same."""
    r = _Reader(source, data)
    if not is_spartan(data):
        raise TraceFormatError(
            source,
            "not a SPARTAN .traces file of format version 3 or later: it begins "
            f"{quoted(bytes(data[: len(HEAD)]))}, not {HEAD!r}",
            where="byte 0",
        )
    if len(data) < HEADER_BYTES:
        r.fail(
            f"truncated file: {len(data)} bytes, where the header alone needs {HEADER_BYTES}",
            len(data),
        )
    r.offset = len(HEAD)
    version = r.scalar("<u2", "the header")
    if version not in VERSIONS:
        r.fail(f"format version {version}; versions {VERSIONS} are read", 8)
    type_code = r.scalar("u1", "the header")
    if type_code == 0 or type_code >= len(TYPES) - 1:
        r.fail(f"trace data type {type_code} is not a number type", 10)
    channel_count = r.scalar("u1", "the header")
    traces = r.scalar("<u4", "the header")
    frames = r.scalar("<u4", "the header")
    if traces and not frames:
        r.fail(f"{traces} traces of 0 frames", 16)
    if version == 3:
        names = list(VERSION_3_CHANNELS)
    else:
        names = r.text(r.scalar("<u4", "the channel names"), "the channel names").split(SEPARATOR)
    if len(names) != channel_count:
        r.fail(f"{len(names)} channel names {quoted(names)} for {channel_count} channels", 20)
    for needed in ("donor", "acceptor"):
        if needed not in names:
            r.fail(f"no '{needed}' channel among {quoted(names)}", 20)
    dtype = TYPES[type_code]
    time = _time_axis(r, dtype, frames)
    blocks, starts = {}, {}
    for name in names:
        starts[name] = r.offset
        block = r.array(dtype, traces * frames, f"channel '{name}'")
        blocks[name] = _floats(block.reshape(frames, traces).T)
    ids = _trace_ids(r, traces) if version == 5 and r.offset < len(data) else None

    seconds: npt.NDArray[np.floating[Any]] | None
    if frames and np.array_equal(time, np.arange(1, frames + 1)):
        seconds = None if frame_time is None else np.arange(frames) * float(frame_time)
    else:
        seconds = time / MS_PER_S
    kept = [name for name in names if name in CHANNELS]
    size = np.dtype(dtype).itemsize

    def trace(n: int) -> Trace:
        for name in kept:
            bad = np.flatnonzero(~np.isfinite(blocks[name][n]))
            if bad.size:
                t = int(bad[0])
                byte = starts[name] + (t * traces + n) * size  # frame by frame, trace by trace
                raise TraceFormatError(
                    source,
                    f"non-finite value {float(blocks[name][n, t])!r} in channel '{name}'",
                    where=f"trace {n + 1}, frame {t + 1}, byte {byte}",
                )
        return make_trace(
            source,
            FORMAT,
            seconds,
            where=f"trace {n + 1}",
            trace_id=ids[n] if ids else str(n + 1),
            index=n,
            **{CHANNELS[name]: blocks[name][n] for name in kept},
        )

    return each_trace(traces, trace)


def _floats(values: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    """The values as float64; a signalling NaN among them stays a NaN without a warning (the
    traces that hold one are refused with its place)."""
    with np.errstate(invalid="ignore"):
        return values.astype(float)


def _time_axis(r: _Reader, dtype: str, frames: int) -> npt.NDArray[np.float64]:
    """The time axis, which every trace shares: finite and increasing, or the file is refused."""
    start = r.offset
    time = _floats(r.array(dtype, frames, "the time axis"))
    size = np.dtype(dtype).itemsize
    bad = np.flatnonzero(~np.isfinite(time))
    if bad.size:
        t = int(bad[0])
        r.fail(f"time axis: non-finite value {float(time[t])!r} at frame {t + 1}", start + t * size)
    falling = np.flatnonzero(~(np.diff(time) > 0))
    if falling.size:
        t = int(falling[0]) + 1
        r.fail(
            f"time axis does not increase: {float(time[t - 1])!r} then {float(time[t])!r} at frame "
            f"{t + 1}",
            start + t * size,
        )
    return time


def _trace_ids(r: _Reader, traces: int) -> list[str] | None:
    """traceMetadata.ids of the metadata record, when it holds one string per trace."""
    root = _record(r)
    first = root[0] if isinstance(root, list) and root else None
    meta = first.get("traceMetadata") if isinstance(first, dict) else None
    if isinstance(meta, list) and len(meta) == traces:
        ids = [i for m in meta if isinstance(m, dict) and isinstance(i := m.get("ids"), str)]
        if len(ids) == traces:
            return ids
    return None


def _record(r: _Reader, depth: int = 0) -> Metadata:
    """One metadata record and the records inside it. Every size it declares is checked
    against the bytes it has before anything is made of that size."""
    start = r.offset
    if depth > DEEPEST:
        r.fail(f"metadata nested more than {DEEPEST} deep", start)
    code = r.scalar("u1", "a metadata record")
    if code not in (CELL, STRUCT) and code >= len(TYPES):
        r.fail(f"unknown metadata type {code}", start)
    length = r.scalar("<u4", "a metadata record")
    end = r.offset + length
    if end > len(r.data):
        r.fail(f"metadata record of {length} bytes runs past the end of the file", start)
    dims = r.array("<u4", r.scalar("u1", "a metadata record"), "a metadata record")
    count = math.prod(int(d) for d in dims)
    # The least each element takes: a record (cell), a byte (struct: each field of every
    # element, or its share of a packed field), or the number type's size.
    least = {CELL: RECORD_HEAD, STRUCT: 1}.get(code) or np.dtype(TYPES[code]).itemsize
    if count * least > end - r.offset:
        r.fail(
            f"metadata record declares {count} elements; {end - r.offset} bytes are left to "
            "hold them",
            start,
        )
    value: Metadata
    if code == CELL:
        value = [_record(r, depth + 1) for _ in range(count)]
    elif code == STRUCT:
        elements: list[dict[str, Metadata]] = [{} for _ in range(count)]
        for _ in range(r.scalar("u1", "a metadata struct")):
            name = r.text(r.scalar("u1", "a metadata field"), "a metadata field")
            if r.scalar("u1", "a metadata field") & 1:
                _unpack(r, _record(r, depth + 1), elements, name, start)
            else:
                for element in elements:
                    element[name] = _record(r, depth + 1)
        value = elements
    else:
        primitives = r.array(TYPES[code], count, "metadata")
        value = (
            primitives.tobytes().decode("latin-1")
            if code == 0
            else primitives.reshape(dims, order="F")
        )
    if r.offset != end:
        r.fail(f"metadata record holds {r.offset - start} bytes, its header says {length}", start)
    return value


def _unpack(
    r: _Reader, packed: Metadata, elements: list[dict[str, Metadata]], name: str, start: int
) -> None:
    """Spreads a packed struct field over the struct's elements."""
    parts: Sequence[Metadata]
    if isinstance(packed, str):
        parts = packed.split(SEPARATOR)
    elif isinstance(packed, np.ndarray) and packed.ndim and packed.shape[-1] == len(elements):
        parts = [packed[..., i] for i in range(len(elements))]
    else:
        parts = [packed] if len(elements) == 1 else []
    if len(parts) != len(elements):
        r.fail(f"packed field {quoted(name)} has {len(parts)} values for {len(elements)}", start)
    for element, part in zip(elements, parts):
        element[name] = part
