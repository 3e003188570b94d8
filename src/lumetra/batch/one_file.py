"""The fit of one trace file: read it (any format of lumetra.io), search the four fit
parameters (or take the given ones), fit, merge indistinguishable neighbours, and summarise
the segments.
"""

from __future__ import annotations

import time
from os import PathLike

import numpy as np

from lumetra import batchcore
from lumetra.atomic import sha256_of
from lumetra.batch.config import DEFAULT_ENGINE, FitConfig
from lumetra.batch.types import FileFit, SourceFit
from lumetra.io import BadTrace
from lumetra.io.prepare import SignalOptions, TraceData, prepare_each, prepare_file
from lumetra.stepfit import (
    ParamsInput,
    SearchBounds,
    normalise_params,
    refined_segments,
    search_parameters,
    search_seed,
    step_fit,
)

__all__ = ["NO_TRACES", "fit_file", "fit_source", "fit_trace", "too_short"]

NO_TRACES = "no traces in the file"  # why a file without any is skipped


def too_short(data: TraceData, needed: int) -> str | None:
    """Why the trace is skipped, or None when it is long enough."""
    frames = data.fitted_frames
    if frames >= needed:
        return None
    where = "" if data.cut_frame is None else f" after the cut at frame {data.cut_frame}"
    return f"{frames} frames{where}: the fit needs at least {needed}"


def fit_trace(data: TraceData, config: FitConfig) -> FileFit:
    """The fit of one trace: its parameters searched (or the config's), the step fit, merged
    neighbours or refined segments, each segment's level and spread; raises on any failure."""
    start = time.perf_counter()
    trace = data.trace_object(scaled=True)
    params = config.params
    if params is None:
        sequence = None if config.seed is None else search_seed(config.seed, data.sha256, data.part)
        params = search_parameters(trace, config.search, config.criterion, sequence, config.engine)
    score = step_fit(trace, params, config.criterion)
    partitions = trace.finalPartitions()
    intensity = trace.CH1mBGND1.to_numpy(dtype=float)
    if config.refine:
        starts, ends, levels = refined_segments(trace)
        _, spreads = batchcore.summarise_segments(intensity, starts, ends)
    else:
        starts = np.array([p[0] for p in partitions], dtype=np.int64)
        ends = np.array([p[1] for p in partitions], dtype=np.int64)
        levels, spreads = batchcore.summarise_segments(intensity, starts, ends)
    if data.fit_scale != 1.0:
        intensity = np.asarray(data.values, dtype=float)
        levels, spreads = levels / data.fit_scale, spreads / data.fit_scale
    return FileFit(
        path=data.source,
        sha256=data.sha256,
        params=params,
        score=float(score),
        starts=starts,
        ends=ends,
        levels=levels,
        spreads=spreads,
        frames=len(intensity),
        seconds=time.perf_counter() - start,
        part=data.part,
        reading=data.reading(),
        time=trace.frames.to_numpy(dtype=float),
        intensity=intensity,
    )


def fit_source(path: str | PathLike[str], config: FitConfig) -> SourceFit:
    """Fits every trace of one file of any format. A file that cannot be read raises; a trace
    too short for the fit (or a file of no traces) is skipped, and a trace whose fit fails or
    which does not fit its format is listed as failed, both with the reason, and the file's
    other traces are fitted all the same."""
    name = str(path)
    prepared = prepare_each(name, config.reading)
    needed = config.shortest_trace()
    result = SourceFit()
    if not prepared:
        result.skipped[name] = NO_TRACES
        result.sha256 = sha256_of(name)
    for one in prepared:
        if isinstance(one, BadTrace):  # of a file of several: the others are fitted
            result.failures[f"{name}#{one.index}"] = f"{type(one.error).__name__}: {one.error}"
            continue
        result.sha256 = one.sha256
        label = one.file_label
        reason = too_short(one, needed)
        if reason is not None:
            result.skipped[label] = reason
            continue
        try:
            result.fits.append(fit_trace(one, config))
        except Exception as error:  # noqa: BLE001 - one trace must not stop the others
            if not one.several:
                raise
            result.failures[label] = f"{type(error).__name__}: {error}"
    return result


def fit_file(
    path: str | PathLike[str],
    params: ParamsInput | None = None,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    refine: bool = False,
    options: SignalOptions | None = None,
    seed: int | None = None,
    engine: str = DEFAULT_ENGINE,
) -> FileFit:
    """Fits a file of one trace; raises on any failure (unreadable file, rejected fit, a trace
    too short, a file of several traces: see fit_source). The options are FitConfig's: without
    params the four parameters are searched, within the bounds of `search`, by the score
    `criterion` ("xic" or "bic", which also gives the reported score); refine: take the
    segments from refineTransitions; options: how the file is read and which signal is fitted
    (lumetra.io.SignalOptions); seed, engine: of the search (seed None: lmfit's search draws
    from numpy's global generator as it stands)."""
    config = FitConfig(
        normalise_params(params),
        search or {},
        criterion,
        refine,
        options or SignalOptions(),
        seed,
        engine,
    )
    name = str(path)
    prepared = prepare_file(name, config.reading)
    if not prepared:
        raise ValueError(f"{name}: {NO_TRACES}")
    if len(prepared) != 1:
        raise ValueError(f"{name}: {len(prepared)} traces in one file; use fit_source")
    reason = too_short(prepared[0], config.shortest_trace())
    if reason is not None:
        raise ValueError(f"{name}: {reason}")
    return fit_trace(prepared[0], config)
