"""The traces the shared hidden Markov model is fitted to, and the levels the step fit finds
in them, which start the model.

A trace is given as a lumetraTrace with its data loaded, a (time, values) pair of arrays, or a
path of a trace file (every trace of the file, read by lumetra.io with the default
SignalOptions: the FRET efficiency of two-colour traces, cut at their first photobleaching).
A single path in place of the list is that one file.

All traces share one frame time: the model's transition matrix is per frame, so its rates are
only right for traces recorded at one frame rate. Traces whose frame times (the median time
between frames of each) differ by more than FRAME_TIME_TOLERANCE, relative, are refused.

lumetra.lumetraTrace is imported inside the functions: importing it points the root logger at
debug.log in the working directory.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from os import PathLike
from typing import TYPE_CHECKING, Union

import numpy as np
import numpy.typing as npt

from lumetra import hmmcore
from lumetra.hmm.trace_sets import Timed
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray, IntArray

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace

TraceInput = Union["lumetraTrace", tuple["npt.ArrayLike", "npt.ArrayLike"], str, "PathLike[str]"]
# Frame times closer than this, relative, are one frame time (rounding of the time axes).
FRAME_TIME_TOLERANCE = 1e-3
# Traces named per frame time in the message that refuses mixed frame times.
NAMES_SHOWN = 5


@dataclass(eq=False)
class HmmTrace:
    """One trace: its name, time axis and values; `trace` the lumetraTrace that holds it, made
    when the step fit needs one."""

    name: str
    time: FloatArray
    values: FloatArray
    trace: lumetraTrace | None = field(default=None, repr=False)

    def trace_object(self) -> lumetraTrace:
        if self.trace is None:
            from lumetra.io.prepare import trace_from_arrays

            self.trace = trace_from_arrays(self.time, self.values, self.name)
        return self.trace


def _from_object(trace: lumetraTrace, number: int) -> HmmTrace:
    name = str(getattr(trace, "fileName", f"trace {number}"))
    time = trace.frames.to_numpy(dtype=float)
    return HmmTrace(name, time, trace.CH1mBGND1.to_numpy(dtype=float), trace)


def _from_file(path: str | PathLike[str]) -> list[HmmTrace]:
    from lumetra.io.prepare import SignalOptions, prepare_file

    out: list[HmmTrace] = []
    for data in prepare_file(str(path), SignalOptions()):
        values = np.asarray(data.values, dtype=float)
        out.append(HmmTrace(data.label, np.asarray(data.time, float), values))
    return out


def collect_traces(traces: Iterable[TraceInput] | str | PathLike[str]) -> list[HmmTrace]:
    """The traces of every input, in order (a single path: that file's); ValueError for none,
    or for a pair whose arrays differ in length."""
    from lumetra.lumetraTrace import lumetraTrace

    if isinstance(traces, (str, PathLike)):
        return collect_traces([traces])
    out: list[HmmTrace] = []
    for item in traces:
        if isinstance(item, lumetraTrace):
            out.append(_from_object(item, len(out)))
        elif isinstance(item, (str, PathLike)):
            out.extend(_from_file(item))
        else:
            time, values = (np.asarray(a, dtype=float).ravel() for a in item)
            if time.size != values.size:
                raise ValueError(f"trace {len(out)}: {time.size} times, {values.size} values")
            out.append(HmmTrace(f"trace {len(out)}", time, values))
    if not out:
        raise ValueError("no trace to fit")
    return out


def frame_time(traces: Iterable[Timed]) -> float:
    """The median time between frames over all traces; ValueError unless it is > 0, or when
    the traces' own frame times differ (mixed_frame_times). Traces that share a time axis (one
    camera's) have its differences worked out once."""
    given = list(traces)
    axes: dict[tuple[int, int, int], tuple[FloatArray, float, list[int]]] = {}
    for n, trace in enumerate(given):
        time = trace.time
        key = (time.__array_interface__["data"][0], time.size, time.strides[0] if time.ndim else 0)
        if key not in axes:
            diffs = np.diff(time)
            own = float(np.nanmedian(diffs)) if np.any(~np.isnan(diffs)) else np.nan
            axes[key] = (diffs, own, [])
        axes[key][2].append(n)
    step = pooled_median([(d, len(users)) for d, _, users in axes.values()])
    if not step > 0:
        raise ValueError("the time axes give no frame time > 0")
    mixed = mixed_frame_times(
        given, [(m, n) for _, m, users in axes.values() if not np.isnan(m) for n in users]
    )
    if mixed:
        raise ValueError(
            "traces of different frame times cannot share one model (its rates are per frame "
            f"time): {mixed}. Fit each frame time on its own"
        )
    return step


def pooled_median(parts: list[tuple[FloatArray, int]]) -> float:
    """The median of the values of all parts, each part counted as often as given, NaN left
    out (np.nanmedian of them repeated, without repeating them); NaN without a value."""
    values = np.concatenate([np.zeros(0)] + [d for d, _ in parts])
    counts = np.concatenate([np.zeros(0, np.int64)] + [np.full(d.size, m) for d, m in parts])
    kept = ~np.isnan(values)
    order = np.argsort(values[kept], kind="stable")
    values, upto = values[kept][order], np.cumsum(counts[kept][order])
    if not values.size:
        return float("nan")
    total = int(upto[-1])

    def ranked(rank: int) -> float:  # the value of 0-based rank among all
        return float(values[np.searchsorted(upto, rank, side="right")])

    if total % 2:
        return ranked(total // 2)
    return (ranked(total // 2 - 1) + ranked(total // 2)) / 2


def mixed_frame_times(traces: list[Timed], own: list[tuple[float, int]]) -> str:
    """The traces by frame time (`own`: each trace's median time between frames, and its
    number) as "frame time T in names; ...", or "" when they agree within
    FRAME_TIME_TOLERANCE. A trace of one frame has no frame time of its own."""
    groups: list[tuple[float, list[int]]] = []  # frame time, traces
    for step, number in sorted(own):
        if groups and abs(step - groups[-1][0]) <= FRAME_TIME_TOLERANCE * abs(groups[-1][0]):
            groups[-1][1].append(number)
        else:
            groups.append((step, [number]))
    if len(groups) < 2:
        return ""
    return "; ".join(
        f"frame time {step:.6g} in {shown([traces[n].name for n in sorted(numbers)])}"
        for step, numbers in groups
    )


def shown(names: list[str]) -> str:
    more = len(names) - NAMES_SHOWN
    return ", ".join(names[:NAMES_SHOWN]) + (f" and {more} more" if more > 0 else "")


def segment_paths(
    segments: Sequence[Segments | None], centres: FloatArray, values: Sequence[FloatArray]
) -> list[IntArray]:
    """The state of every frame: the state whose centre is nearest its segment's level, or
    nearest the frame itself for a trace without segments."""
    return [
        hmmcore.nearest_states(v, centres).astype(np.int64)
        if s is None
        else np.repeat(hmmcore.nearest_states(s.levels, centres), s.lengths).astype(np.int64)
        for s, v in zip(segments, values)
    ]
