"""The step fit of one trace as the shared model starts from it: each segment's level and its
length in frames (the lengths sum to the trace's frames). One home for every way one is made:

    Segments.from_fit(fit)             a batch's fit (lumetra.batch.types.TraceFit): the runs
                                       of one level of its idealised trace
    Segments.from_table(rows, frames)  rows of a batch's segments.csv
    Segments.from_step_fit(trace)      a trace object's own step fit, searched by BIC and
                                       refined (stepfit)
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol

import numpy as np

from lumetra.stepfit import FitRejected, FloatArray, IntArray

if TYPE_CHECKING:
    import pandas as pd

    from lumetra.lumetraTrace import lumetraTrace


class StepFit(Protocol):
    """A fit's levels and the segment of every frame (lumetra.batch.types.TraceFit)."""

    @property
    def levels(self) -> FloatArray: ...
    @property
    def frame_segment(self) -> IntArray: ...


@dataclass(frozen=True)
class Segments:
    levels: FloatArray
    lengths: IntArray

    @classmethod
    def from_fit(cls, fit: StepFit) -> Segments:
        """The runs of one level of the fit's idealised trace (they cover every frame)."""
        path = fit.levels[fit.frame_segment]
        change = np.flatnonzero(np.diff(path) != 0) + 1
        starts = np.concatenate([[0], change])
        lengths = np.diff(np.concatenate([starts, [len(path)]]))
        return cls(np.asarray(path[starts], dtype=float), lengths.astype(np.int64))

    @classmethod
    def from_table(cls, rows: pd.DataFrame, frames: int) -> Segments | None:
        """The segments of one trace's rows of segments.csv; None when they miss frames."""
        lengths = (rows["end_frame"] - rows["start_frame"] + 1).to_numpy(np.int64)
        if lengths.sum() != frames:
            return None
        return cls(rows["level"].to_numpy(float), lengths)

    @classmethod
    def from_step_fit(
        cls,
        trace: lumetraTrace,
        engine: str = "lmfit",
        seed: np.random.SeedSequence | int | None = None,
    ) -> Segments:
        """The trace's step fit: the parameters searched by BIC (stepfit.search_parameters
        with `engine` and `seed`), the fit, and the levels of refineTransitions. A rejected fit
        (no transition found) leaves one segment: the mean."""
        from lumetra.stepfit import refined_segments, search_parameters, step_fit

        try:
            step_fit(trace, search_parameters(trace, None, "bic", seed, engine), "bic")
            starts, ends, levels = refined_segments(trace)
        except (FitRejected, ValueError):  # too short for a window, or no step found
            values = trace.CH1mBGND1.to_numpy(dtype=float)
            return cls(np.array([np.nanmean(values)]), np.array([values.size]))
        return cls(np.asarray(levels, dtype=float), (ends - starts).astype(np.int64))
