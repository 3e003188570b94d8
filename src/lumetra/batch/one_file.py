"""The fit of one trace file: load it, search the four fit parameters (or take the given
ones), fit, merge indistinguishable neighbours, and summarise the segments.

lumetra.lumetraTrace is imported inside the functions: importing it points the root logger at
debug.log in the working directory, which importing the batch (or the command line) must not.
"""

from __future__ import annotations

import time
from os import PathLike
from typing import TYPE_CHECKING

import numpy as np

from lumetra import batchcore
from lumetra.batch.atomic import sha256_of
from lumetra.batch.types import (
    FileFit,
    FitRejected,
    FloatArray,
    IntArray,
    Params,
    SearchBounds,
    check_criterion,
    normalise_params,
    search_arguments,
)

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace


def load_trace(path: str) -> lumetraTrace:
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.loadData(path)
    return trace


def search_parameters(
    trace: lumetraTrace, search: SearchBounds | None = None, criterion: str = "xic"
) -> Params:
    """The four parameters found by optimizeFitness within `search` ({parameter: (min, max,
    step)}, optimizeFitness's defaults for the others), scored by `criterion`."""
    trace.optimizeFitness(**search_arguments(search), criterion=check_criterion(criterion))
    best: dict[str, float] = trace.optRes.params.valuesdict()
    return normalise_params(best)


def step_fit(trace: lumetraTrace, params: Params, criterion: str = "xic") -> float:
    """Fits the loaded trace with `params` and returns the score: xic's, or for "bic" the BIC of
    the fit over every frame. Raises FitRejected when the fit is rejected."""
    from lumetra.lumetraTrace import bic

    half_window, rratio, thrate, filter_width = (params[n] for n in batchcore.PARAMETER_NAMES)
    score = trace.fitTrajectory(half_window, rratio, thrate, filter_width)
    if score == batchcore.REJECTED_SCORE:
        raise FitRejected(
            f"fit rejected with {params}: {len(trace.partitions)} segment(s), "
            f"at least {trace.stateNum} needed"
        )
    if check_criterion(criterion) == "bic":
        score = bic(trace.partitions, trace.CH1mBGND1)
    return score


def refined_segments(trace: lumetraTrace) -> tuple[IntArray, IntArray, FloatArray]:
    """Segments of refineTransitions' ideal path: first frames, ends and levels."""
    trace.refineTransitions()
    changes = np.asarray(trace.changePoints, dtype=np.int64)
    starts = np.concatenate([[0], changes]).astype(np.int64)
    ends = np.concatenate([changes, [len(trace.idealPath)]]).astype(np.int64)
    return starts, ends, np.asarray(trace.idealPath)[starts]


def fit_file(
    path: str | PathLike[str],
    params: Params | None = None,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    refine: bool = False,
) -> FileFit:
    """Fits one trace file; raises on any failure (unreadable file, rejected fit, ...).
    Without params the four parameters are searched, within the bounds of `search`
    ({parameter: (min, max, step)}, defaults of optimizeFitness for the others), by the
    score `criterion` ("xic" or "bic", which also gives the reported score). refine: take the
    segments from refineTransitions."""
    start = time.perf_counter()
    name = str(path)
    checksum = sha256_of(name)
    trace = load_trace(name)
    if params is None:
        params = search_parameters(trace, search, criterion)
    score = step_fit(trace, params, criterion)
    partitions = trace.finalPartitions()
    intensity = trace.CH1mBGND1.to_numpy(dtype=float)
    if refine:
        starts, ends, path_levels = refined_segments(trace)
        _, spreads = batchcore.summarise_segments(intensity, starts, ends)
        levels = path_levels
    else:
        starts = np.array([p[0] for p in partitions], dtype=np.int64)
        ends = np.array([p[1] for p in partitions], dtype=np.int64)
        levels, spreads = batchcore.summarise_segments(intensity, starts, ends)
    return FileFit(
        path=name,
        sha256=checksum,
        params=params,
        score=float(score),
        time=trace.frames.to_numpy(dtype=float),
        intensity=intensity,
        starts=starts,
        ends=ends,
        levels=levels,
        spreads=spreads,
        frame_segment=batchcore.frame_segments(len(intensity), starts, ends),
        seconds=time.perf_counter() - start,
    )
