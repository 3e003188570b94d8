"""The batch's summaries built from its traces one at a time: the segment table, the dwell
times of the levels grouped into states, and the spreadsheet. Each trace's frames are read
from its idealised trace once (lumetra.batch.store) and let go, or taken from those the shared
model holds, so that what the collecting process holds grows with the segments, not with the
frames.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from lumetra import batchcore
from lumetra.batch.kinetics import DwellPool, Dwells
from lumetra.batch.memory import Trimmer
from lumetra.batch.spreadsheet import Workbooks
from lumetra.batch.types import TraceFit
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.progress import steps
from lumetra.stepfit import FloatArray, IntArray

AXES_KEPT = 16  # distinct time axes SharedAxes holds; a batch of one camera has one
TRACES_PER_PART = 2000  # traces whose segment rows are built and written at a time


class SharedAxes:
    """Time axes held once: an axis equal to the start of one seen before (traces of one
    camera, cut at photobleaching or not) becomes a view of it."""

    def __init__(self) -> None:
        self._kept: list[FloatArray] = []

    def __call__(self, time: FloatArray) -> FloatArray:
        n = len(time)
        bits = time.view(np.uint64)
        for k, kept in enumerate(self._kept):
            if len(kept) >= n and np.array_equal(kept[:n].view(np.uint64), bits):
                return kept[:n]
            if len(kept) < n and np.array_equal(kept.view(np.uint64), bits[: len(kept)]):
                self._kept[k] = time  # views of the shorter one keep it alive
                return time
        if len(self._kept) < AXES_KEPT:
            self._kept.append(time)
        return time


def level_weights(frames: FloatArray, spread: FloatArray) -> FloatArray:
    """Weight of each segment's mean when levels are grouped into states: its precision,
    frames / spread^2. A segment that spans a missed transition has a wide spread and counts
    little; spreads below the median are raised to it, so that short, quiet segments do not
    outweigh long ones."""
    floor = np.median(spread)
    if not floor > 0:
        return frames
    weights: FloatArray = frames / np.maximum(spread, floor) ** 2
    return weights


@dataclass
class Grouping:
    """Each segment's state (None: the levels were not grouped) and what the traces show."""

    labels: IntArray | None
    centres: FloatArray | None
    segment_levels: list[FloatArray]  # per trace: the level each of its segments shows


def group_levels(fits: Sequence[TraceFit], states: int, notes: list[str]) -> Grouping:
    """The segment levels of every trace grouped into `states` (weighted k-means); when they
    cannot be, each segment keeps its own level and a note says why."""
    own = Grouping(None, None, [fit.levels for fit in fits])
    if not states or not fits:
        return own
    levels = np.concatenate([fit.levels for fit in fits]).astype(float)
    distinct = np.unique(levels[~np.isnan(levels)]).size
    if distinct < states or np.isnan(levels).any():
        notes.append(
            f"{distinct} distinct segment levels cannot make {states} states: "
            "no kinetics; the spreadsheet holds each segment's own level"
        )
        return own
    frames = np.concatenate([fit.ends - fit.starts for fit in fits]).astype(float)
    spreads = np.concatenate([fit.spreads for fit in fits]).astype(float)
    centres, labels = batchcore.cluster_levels(levels, level_weights(frames, spreads), states)
    offsets = np.cumsum([0] + [len(fit.starts) for fit in fits])
    shown = [centres[labels[offsets[i] : offsets[i + 1]]] for i in range(len(fits))]
    return Grouping(labels, centres, shown)


@dataclass
class Streamed:
    """What one pass over the traces gives: the time of each segment's first and last frame
    (every trace's, in order), and the pooled dwell times when asked for."""

    start_times: list[FloatArray] = field(default_factory=list)
    end_times: list[FloatArray] = field(default_factory=list)
    dwells: Dwells | None = None


def stream_traces(
    fits: Sequence[TraceFit],
    grouping: Grouping,
    frames: Callable[[int], tuple[FloatArray, FloatArray]],
    books: Workbooks | None = None,
    sheet_paths: Sequence[FloatArray | None] | None = None,
    on_book_failure: Callable[[str, Exception], None] | None = None,
) -> Streamed:
    """One pass over the traces (frames(i): the time and signal of trace i): segment times; the
    dwell times of the grouped levels (when grouped); each trace's levels (or sheet_paths[i],
    unless None) added to the workbooks. A workbook that cannot be written goes to
    on_book_failure(name, error); the next ones are still written."""
    streamed = Streamed()
    pool = DwellPool() if grouping.labels is not None else None
    trim = Trimmer()
    for i, fit in enumerate(steps(fits, "summaries", len(fits), "trace")):
        trim()
        time = frames(i)[0]
        path = grouping.segment_levels[i][fit.frame_segment]
        last = np.minimum(fit.ends - 1, len(time) - 1)
        streamed.start_times.append(time[fit.starts])
        streamed.end_times.append(time[last])
        if pool is not None:
            pool.add(time, path)
        if books is None:
            continue
        try:
            shown = None if sheet_paths is None else sheet_paths[i]
            books.add(fit, time, path if shown is None else shown)
        except Exception as error:  # noqa: BLE001 - the other outputs must still be written
            if on_book_failure is not None:
                on_book_failure(books.last, error)
    streamed.dwells = pool.dwells() if pool is not None else None
    return streamed


@dataclass(frozen=True)
class SegmentTable:
    """segments.csv: one row per segment of every fit, with its state and the state's level
    when the levels were grouped; built TRACES_PER_PART traces at a time, so that the table of
    10^5 traces (millions of rows) is never held whole."""

    fits: Sequence[TraceFit]
    names: Sequence[str]
    version: str
    streamed: Streamed
    grouping: Grouping

    def parts(self) -> Iterator[pd.DataFrame]:
        if not self.fits:
            yield pd.DataFrame(columns=["file", "level"])
        done = 0
        for first in range(0, len(self.fits), TRACES_PER_PART):
            part = self._part(slice(first, first + TRACES_PER_PART), done)
            done += len(part)
            yield part

    def whole(self) -> pd.DataFrame:
        parts = list(self.parts())
        return parts[0] if len(parts) == 1 else pd.concat(parts, ignore_index=True)

    def _part(self, traces: slice, first_row: int) -> pd.DataFrame:
        """The rows of fits[traces], whose first is the table's row first_row; columns built
        whole (a frame per fit and their concatenation cost milliseconds per trace)."""
        fits, times = self.fits[traces], self.streamed
        counts = np.array([len(fit.starts) for fit in fits])

        def repeated(values: Sequence[Any]) -> Any:
            return np.repeat(np.array(values, dtype=object), counts)

        columns: dict[str, Any] = {
            "file": repeated([fit.path for fit in fits]),
            "name": repeated(list(self.names[traces])),
            "sha256": repeated([fit.sha256 for fit in fits]),
            "segment": np.concatenate([np.arange(n) for n in counts]).astype(np.int64),
            "start_frame": np.concatenate([fit.starts for fit in fits]).astype(np.int64),
            "end_frame": np.concatenate([fit.ends - 1 for fit in fits]).astype(np.int64),
            "start_time": np.concatenate(times.start_times[traces]),
            "end_time": np.concatenate(times.end_times[traces]),
            "level": np.concatenate([fit.levels for fit in fits]).astype(float),
            "spread": np.concatenate([fit.spreads for fit in fits]).astype(float),
            "score": np.repeat(np.array([fit.score for fit in fits], dtype=float), counts),
        }
        for key in PARAMETER_NAMES:
            columns[key] = np.repeat(np.array([fit.params[key] for fit in fits]), counts)
        table = pd.DataFrame(columns)
        for key in ("file", "name", "sha256"):
            table[key] = table[key].astype(str)
        table["lumetra_version"] = self.version
        labels, centres = self.grouping.labels, self.grouping.centres
        if labels is not None and centres is not None:
            state = labels[first_row : first_row + len(table)]
            table["state"] = state
            table["state_level"] = centres[state]
        return table
