"""The in-memory trace every reader returns, and the checks every reader applies."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from lumetra.errors import LumetraError

Floats = npt.NDArray[np.float64]
LineOf = Callable[[int], Optional[int]]  # data row (frame) -> file line, if known

CHANNELS = ("donor", "acceptor", "acceptor_direct", "intensity")
QUOTED_CHARACTERS = 80  # of a line or value a message quotes
QUOTED_ITEMS = 8  # of a list a message quotes


def quoted(value: object) -> str:
    """repr(value), cut to a readable length for a message: text (or a repr) longer than
    QUOTED_CHARACTERS as its start and its length; a list as its first QUOTED_ITEMS items, each
    cut so, and its length."""
    if isinstance(value, (list, tuple)):
        items = [quoted(item) for item in value[:QUOTED_ITEMS]]
        more = f", ... ({len(value)} in all)" if len(value) > len(items) else ""
        return "[" + ", ".join(items) + more + "]"
    text = value if isinstance(value, str) else repr(value)
    if len(text) <= QUOTED_CHARACTERS:
        return repr(value)
    start = text[:QUOTED_CHARACTERS]
    shown = repr(start) if isinstance(value, str) else start
    return f"{shown}... ({len(text)} characters)"


class TraceFormatError(LumetraError, ValueError):
    """A trace file whose content does not fit its format. The message names the file and,
    where it applies, the line (text files) or the byte offset or record (binary files)."""

    def __init__(
        self, source: object, message: str, line: int | None = None, where: str | None = None
    ) -> None:
        self.source = str(source)
        self.line = line
        self._arguments = (source, message, line, where)
        place = f", line {line}" if line is not None else ""
        place += f", {where}" if where is not None else ""
        super().__init__(f"{self.source}{place}: {message}")

    def __reduce__(self) -> tuple[type[TraceFormatError], tuple[Any, ...]]:
        # Rebuilt from its own arguments, so that it crosses to and from worker processes.
        return (type(self), self._arguments)


@dataclass(frozen=True)
class BadTrace:
    """A trace of a file of several that does not fit its format: the error names it, and the
    file's other traces are read all the same. `index` is its 0-based position in the file."""

    index: int
    error: TraceFormatError


@dataclass(frozen=True, eq=False)
class Trace:
    """One molecule's trace.

    Two-colour traces hold `donor` (I_DD: donor emission under donor excitation), `acceptor`
    (I_DA: acceptor emission under donor excitation) and, with alternating excitation,
    `acceptor_direct` (I_AA: acceptor emission under acceptor excitation). Single-channel
    traces hold `intensity` only. Every channel is a float64 array of len(time) values.

    `time` is the file's time axis, in seconds where the format gives a unit (kinSoft,
    SPARTAN); for a file without one it counts frames from 0 and `frame_time` is None,
    otherwise `frame_time` is the median step of `time`. `index` is the
    trace's 0-based position in its file, `trace_id` its name there (the file's own label where
    it has one), `format` the name of the format it was read as. `metadata` holds what the file
    says of the trace beyond its frames, for formats that carry it (OpenFRET, SMD); the
    format's reader documents its keys.
    """

    time: Floats
    donor: Floats | None = None
    acceptor: Floats | None = None
    acceptor_direct: Floats | None = None
    intensity: Floats | None = None
    source: str = ""
    frame_time: float | None = None
    trace_id: str = ""
    index: int = 0
    format: str = ""
    metadata: Mapping[str, Any] = field(default_factory=dict)

    @property
    def two_colour(self) -> bool:
        return self.intensity is None

    def __len__(self) -> int:
        return len(self.time)


def each_trace(count: int, build: Callable[[int], Trace]) -> list[Trace | BadTrace]:
    """build(n) for each trace n of a file of several; one that raises TraceFormatError is a
    BadTrace, the others are read all the same."""
    out: list[Trace | BadTrace] = []
    for n in range(count):
        try:
            out.append(build(n))
        except TraceFormatError as error:
            out.append(BadTrace(n, error))
    return out


def two_colour_channels(trace: Trace) -> tuple[Floats, Floats]:
    """The donor and acceptor channels of a two-colour trace; ValueError for a trace built
    without one of them."""
    if trace.donor is None or trace.acceptor is None:
        raise ValueError(f"{trace.source}: a two-colour trace needs donor and acceptor channels")
    return trace.donor, trace.acceptor


def frame_time_of(time: Floats) -> float | None:
    """Median step of a time axis (None for fewer than two frames)."""
    return float(np.median(np.diff(time))) if len(time) > 1 else None


def make_trace(
    source: object,
    fmt: str,
    time: Sequence[float] | npt.NDArray[np.floating[Any]] | None,
    *,
    line_of: LineOf | None = None,
    where: str | None = None,
    donor: npt.ArrayLike | None = None,
    acceptor: npt.ArrayLike | None = None,
    acceptor_direct: npt.ArrayLike | None = None,
    intensity: npt.ArrayLike | None = None,
    trace_id: str = "",
    index: int = 0,
    metadata: Mapping[str, Any] | None = None,
) -> Trace:
    """A checked Trace. `time` None means the file has no time axis. `line_of(i)` gives the
    file line of frame i for messages; `where` names the record in multi-trace files."""
    channels = dict(zip(CHANNELS, (donor, acceptor, acceptor_direct, intensity)))
    present = {
        k: np.ascontiguousarray(v, dtype=float) for k, v in channels.items() if v is not None
    }
    if not present:
        raise TraceFormatError(source, "no intensity channel", where=where)
    lengths = {k: len(v) for k, v in present.items()}
    if time is not None:
        lengths = {"time": len(time), **lengths}
    if len(set(lengths.values())) > 1:
        listed = ", ".join(f"{k} {n}" for k, n in lengths.items())
        raise TraceFormatError(source, f"channels of different lengths ({listed})", where=where)
    frames = next(iter(lengths.values()))
    if frames == 0:
        raise TraceFormatError(source, "no frames", where=where)
    for name, values in present.items():
        check_channel(source, name, values, where)
    axis: Floats
    if time is None:
        axis, frame_time = np.arange(frames, dtype=float), None
    else:
        axis = np.ascontiguousarray(time, dtype=float)
        check_time(source, axis, line_of, where)
        frame_time = frame_time_of(axis)
    return Trace(
        time=axis,
        source=str(source),
        format=fmt,
        frame_time=frame_time,
        trace_id=trace_id,
        index=index,
        metadata={} if metadata is None else metadata,
        **present,
    )


def check_channel(source: object, name: str, values: Floats, where: str | None = None) -> None:
    """An intensity channel must carry values: not exactly zero in every frame. A channel of
    noise around zero, even negative on average, is data (a dark dye of a background-corrected
    trace: a donor-only molecule's acceptor), for the screening to report. NaN frames are left
    out."""
    finite = values[~np.isnan(values)]
    if finite.size == 0 or not np.any(finite):
        raise TraceFormatError(
            source, f"channel '{name}' is zero (or empty) in every frame", where=where
        )


def check_time(
    source: object, time: Floats, line_of: LineOf | None = None, where: str | None = None
) -> None:
    """The time axis must be finite and strictly increasing."""
    bad = np.flatnonzero(~(np.diff(time) > 0))
    if bad.size:
        i = int(bad[0]) + 1
        raise TraceFormatError(
            source,
            f"time axis does not increase: {float(time[i - 1])!r} then {float(time[i])!r}",
            line=line_of(i) if line_of else None,
            where=where,
        )
    if not np.all(np.isfinite(time)):
        raise TraceFormatError(source, "time axis is not finite", where=where)
