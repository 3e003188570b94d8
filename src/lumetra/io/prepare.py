"""From a trace file of any format to the trace objects the step fit works on.

    options = SignalOptions(signal="fret", gamma=1.1)
    for data in prepare_file("trace_1.txt", options):
        trace = data.trace_object()          # a lumetraTrace, as loadData loads one

A two-colour trace becomes one signal (FRET efficiency by default, lumetra.io.fret) and is cut
at its first photobleaching (lumetra.io.bleaching) unless `cut` is off. Files in the package's
own single-channel format pass the checks of its reader (lumetra.io.single_channel), like every
other format, and are never cut: a level near zero of a background-corrected intensity may be
a state. The trace object holds what loadData would load from a single-channel file of the
trace (trace_from_arrays), without the round trip through text.
"""

from __future__ import annotations

import hashlib
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from lumetra.io import single_channel
from lumetra.io._trace import BadTrace, Floats, Trace
from lumetra.io.bleaching import first_bleach
from lumetra.io.fret import Background, signal
from lumetra.io.reading import file_content, only_good, read_each
from lumetra.screening import MASK_OUTLIER

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

    def keeps_intensity(self) -> bool:
        """Whether a single-channel trace's signal is its intensity as the file holds it."""
        return self.signal in (None, "total") and self.background is None


@dataclass(frozen=True, eq=False)
class TraceData:
    """One trace ready for the fit. `name` is unique per file (the file's stem, with the trace's
    index for files of several traces); `frames` the length before any cut, `cut_frame` the
    first bleached frame (None: not cut); `time` and `values` what the fit sees; `sha256` the
    checksum of the file it came from; `several`: that file holds several traces."""

    source: str
    name: str
    index: int
    format: str
    signal: str
    frames: int
    cut_frame: int | None
    time: Floats
    values: Floats
    fit_scale: float = 1.0  # the factor the fit sees the values multiplied by (see FRET_SCALE)
    sha256: str = ""
    several: bool = False
    # The screening's metrics of the whole trace and the mask of the frames kept
    # (lumetra.screening.measure).
    screen: dict[str, Any] = field(default_factory=dict)

    @property
    def fitted_frames(self) -> int:
        return self.frames if self.cut_frame is None else self.cut_frame

    @property
    def part(self) -> int | None:
        """The trace's index in a file of several, None in a file of one."""
        return self.index if self.several else None

    def trace_object(self, scaled: bool = False) -> lumetraTrace:
        """A lumetraTrace holding this trace as loadData loads it (trace_from_arrays);
        fileName is the source file, with the trace's index for files of several traces.
        scaled: the values times `fit_scale`, as the batch fits them."""
        values = self.values * self.fit_scale if scaled else self.values
        return trace_from_arrays(self.time, values, self.file_label)

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

    @property
    def file_label(self) -> str:
        """The file, with the trace's index in a file of several: how fits name the trace."""
        return self.label if self.several else self.source


def trace_from_arrays(time: npt.ArrayLike, values: npt.ArrayLike, file_name: str) -> lumetraTrace:
    """A lumetraTrace holding the trace as loadData would load it from a single-channel file of
    these columns: frames and CH1mBGND1 as the file's columns, stateNum by loadData's guess."""
    import pandas as pd

    from lumetra import batchcore
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.frames = pd.Series(np.asarray(time), name=single_channel.TIME)
    trace.CH1mBGND1 = pd.Series(np.asarray(values), name=single_channel.INTENSITY)
    trace.fileName = file_name
    trace.stateNum = batchcore.state_guess(trace.CH1mBGND1)
    return trace


def measure(trace: Trace, frames: int | None = None) -> dict[str, Any]:
    """The screening metrics of one trace (a dict of numbers) and its frame mask ("mask",
    uint8 per frame, the first `frames` frames: those kept after a cut). Frames a channel holds
    no number in (NaN) are outliers; the rest are screened without them."""
    from lumetra import batchcore

    channels = (
        [trace.donor, trace.acceptor, trace.acceptor_direct]
        if trace.two_colour
        else [trace.intensity]
    )
    present = [np.asarray(c, dtype=float) for c in channels if c is not None]
    finite = np.logical_and.reduce([np.isfinite(c) for c in present])
    kept = [c[finite] for c in present]
    if trace.two_colour:
        found = dict(batchcore.screen_trace(*kept))
    else:
        found = dict(batchcore.screen_signal(kept[0]))
        found["snr_total"] = found.pop("snr")
        found["masked_frames"] = found["outlier_frames"]
    if not finite.all():
        mask = np.full(finite.size, MASK_OUTLIER, dtype=np.uint8)
        mask[finite] = found["mask"]
        missing = int(np.count_nonzero(~finite))
        found["mask"], found["frames"] = mask, int(finite.size)
        found["outlier_frames"] += missing
        found["masked_frames"] += missing
    found["two_colour"] = trace.two_colour
    if frames is not None:
        found["mask"] = found["mask"][:frames]
    return found


def prepare_trace(
    trace: Trace, options: SignalOptions, name: str, sha256: str = "", several: bool = False
) -> TraceData:
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
    return TraceData(
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
        sha256=sha256,
        several=several,
        screen=measure(trace, end),
    )


def prepare_file(path: str | Path, options: SignalOptions) -> list[TraceData]:
    """Every trace of one file (TraceFormatError for a file, or the first of its traces, that
    does not fit its format)."""
    return only_good(prepare_each(path, options))


def prepare_each(path: str | Path, options: SignalOptions) -> list[TraceData | BadTrace]:
    """As prepare_file, but in a file of several traces one that does not fit its format is a
    BadTrace in its place, and the others are prepared all the same. The file is read once:
    its checksum and its traces come from the same bytes."""
    path = str(path)
    stem = Path(path).stem
    content = file_content(path)
    checksum = hashlib.sha256(content).hexdigest()
    traces = read_each(path, options.format, options.columns, options.frame_time, content)
    if len(traces) == 1:
        (only,) = traces
        if isinstance(only, BadTrace):
            raise only.error
        return [prepare_trace(only, options, stem, checksum)]
    return [
        t
        if isinstance(t, BadTrace)
        else prepare_trace(t, options, f"{stem}_{t.index}", checksum, several=True)
        for t in traces
    ]
