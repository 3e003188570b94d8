"""From a trace file of any format to the trace objects the step fit works on.

    options = SignalOptions(signal="fret", gamma=1.1)
    for prepared in prepare_file("trace_1.txt", options):
        trace = prepared.trace_object()          # a lumetraTrace, loaded as loadData loads

A two-colour trace becomes one signal (FRET efficiency by default, lumetra.io.fret) and is cut
at its first photobleaching (lumetra.io.bleaching) unless `cut` is off. Files in the package's
own single-channel format pass the checks of its reader (lumetra.io.single_channel), like every
other format, and are then loaded by `lumetraTrace.loadData` from the file itself, exactly as
before, and never cut: a level near zero of a background-corrected intensity may be a state.
"""

from __future__ import annotations

import io
from collections.abc import Iterable
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, SupportsFloat

from lumetra.io import single_channel
from lumetra.io._trace import BadTrace, Floats, Trace
from lumetra.io.bleaching import first_bleach
from lumetra.io.fret import Background, signal
from lumetra.io.reading import only_good, read_each

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace


# FRET efficiency is fitted in per mille. The step fit itself is scale-free, but the parameter
# search is not: its scores and the fit's acceptance were made for count-like values, and on E
# in [0, 1] the search settles on fits it then rejects (1 in 5 kinSoft traces). Levels and
# spreads are reported in E again; scores are those of the fit in per mille.
FRET_SCALE = 1000.0


@dataclass(frozen=True)
class SignalOptions:
    """How the traces of a file are read and turned into the signal to idealise.

    format: a format name or "auto"; columns: the delimited format's column spec; signal:
    "fret", "acceptor", "donor" or "total" (None: "fret" for two-colour traces); gamma,
    leakage (alpha), direct (delta), background: the corrections of lumetra.io.fret; cut: cut
    two-colour traces at their first photobleaching; frame_time: seconds per frame for files
    without a time axis."""

    format: str = "auto"
    columns: str | None = None
    signal: str | None = None
    gamma: float = 1.0
    leakage: float = 0.0
    direct: float = 0.0
    background: Background = None
    cut: bool = True
    frame_time: float | None = None

    def record(self) -> dict[str, Any]:
        """The options as plain values, for the outputs' records."""
        return asdict(self)


@dataclass(frozen=True, eq=False)
class PreparedTrace:
    """One trace ready for the fit. `name` is unique per file (the file's stem, with the trace's
    index for files of several traces); `frames` the length before any cut, `cut_frame` the
    first bleached frame (None: not cut); `time` and `values` what the fit sees (None for a
    single-channel file, which the trace object reads itself)."""

    source: str
    name: str
    index: int
    format: str
    signal: str
    frames: int
    cut_frame: int | None
    time: Floats | None = None
    values: Floats | None = None
    fit_scale: float = 1.0  # the factor the fit sees the values multiplied by (see FRET_SCALE)

    @property
    def fitted_frames(self) -> int:
        return self.frames if self.cut_frame is None else self.cut_frame

    def trace_object(self, scaled: bool = False) -> lumetraTrace:
        """A lumetraTrace holding this trace, loaded by loadData (so its level guess is the
        one loadData makes); fileName is the source file, with the trace's index for files of
        several traces. scaled: the values times `fit_scale`, as the batch fits them."""
        from lumetra.lumetraTrace import lumetraTrace

        trace = lumetraTrace()
        if self.values is None:
            trace.loadData(self.source)
            return trace
        if self.time is None:
            raise ValueError(f"{self.label}: values without their time axis")
        values = self.values * self.fit_scale if scaled else self.values
        trace.loadData(io.StringIO(single_channel_text(self.time, values)))
        trace.fileName = self.source if self.name == Path(self.source).stem else self.label
        return trace

    def reading(self) -> dict[str, Any]:
        """How the trace was read, for the outputs' records."""
        return {
            "format": self.format,
            "signal": self.signal,
            "frames": self.frames,
            "cut_frame": self.cut_frame,
            "fit_scale": self.fit_scale,
        }

    @property
    def label(self) -> str:
        return f"{self.source}#{self.index}"


def single_channel_text(time: Iterable[SupportsFloat], values: Iterable[SupportsFloat]) -> str:
    """The text of a single-channel trace file; numbers written so they read back exactly."""
    rows = "".join(f"{t!r}\t{v!r}\n" for t, v in zip(map(float, time), map(float, values)))
    return f"{single_channel.TIME}\t{single_channel.INTENSITY}\n{rows}"


def prepare_trace(trace: Trace, options: SignalOptions, name: str) -> PreparedTrace:
    """The signal of one Trace, cut at its first photobleaching when the options say so."""
    kind = options.signal or ("fret" if trace.two_colour else "total")
    values = signal(
        trace,
        kind,
        gamma=options.gamma,
        leakage=options.leakage,
        direct=options.direct,
        background=options.background,
    )
    cut = first_bleach(trace).frame if options.cut and trace.two_colour else None
    end = len(trace) if cut is None else cut
    return PreparedTrace(
        source=trace.source,
        name=name,
        index=trace.index,
        format=trace.format,
        signal=kind,
        frames=len(trace),
        cut_frame=cut,
        time=trace.time[:end],
        values=values[:end],
        fit_scale=FRET_SCALE if kind == "fret" else 1.0,
    )


def _plain_single_channel(options: SignalOptions) -> bool:
    return options.signal in (None, "total") and options.background is None


def prepare_file(path: str | Path, options: SignalOptions) -> list[PreparedTrace]:
    """Every trace of one file (TraceFormatError for a file, or the first of its traces, that
    does not fit its format)."""
    return only_good(prepare_each(path, options))


def prepare_each(path: str | Path, options: SignalOptions) -> list[PreparedTrace | BadTrace]:
    """As prepare_file, but in a file of several traces one that does not fit its format is a
    BadTrace in its place, and the others are prepared all the same."""
    path = str(path)
    stem = Path(path).stem
    traces = read_each(path, options.format, options.columns, options.frame_time)
    if len(traces) == 1:
        (only,) = traces
        if isinstance(only, BadTrace):
            raise only.error
        if only.format == single_channel.FORMAT and _plain_single_channel(options):
            return [PreparedTrace(path, stem, 0, only.format, "total", len(only), None)]
        return [prepare_trace(only, options, stem)]
    return [
        t if isinstance(t, BadTrace) else prepare_trace(t, options, f"{stem}_{t.index}")
        for t in traces
    ]
