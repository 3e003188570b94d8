"""The fit of one trace file: read it (any format of lumetra.io), search the four fit
parameters (or take the given ones), fit, merge indistinguishable neighbours, and summarise
the segments.
"""

from __future__ import annotations

import math
import time
from os import PathLike
from typing import Any

import numpy as np

from lumetra import batchcore
from lumetra.atomic import sha256_of
from lumetra.batch.config import DEFAULT_ENGINE, FitConfig
from lumetra.batch.types import FileFit, SourceFit
from lumetra.io import BadTrace
from lumetra.io.prepare import SignalOptions, TraceData, prepare_each, prepare_file
from lumetra.screening import mask_ranges
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
        screen=screen_summary(data),
    )


def screen_summary(data: TraceData) -> dict[str, Any]:
    """What a fit keeps of the trace's screening: its metrics and the runs of masked frames."""
    kept = {k: v for k, v in data.screen.items() if k != "mask"}
    if "mask" in data.screen:
        kept["masked"] = mask_ranges(data.screen["mask"])
    return kept


def unfitted(data: TraceData, config: FitConfig, note: str) -> FileFit:
    """A trace the step fit could not take (too short, rejected, failed): one segment of its
    mean, so that it is still written, screened and, when usable, read by the shared model."""
    values = np.asarray(data.values, dtype=float)
    starts, ends = np.array([0], np.int64), np.array([len(values)], np.int64)
    levels, spreads = batchcore.summarise_segments(values, starts, ends)
    nothing = dict.fromkeys(batchcore.PARAMETER_NAMES, math.nan)
    return FileFit(
        path=data.source,
        sha256=data.sha256,
        params=config.params if config.params is not None else nothing,
        score=math.nan,
        starts=starts,
        ends=ends,
        levels=levels,
        spreads=spreads,
        frames=len(values),
        seconds=0.0,
        part=data.part,
        reading=data.reading(),
        time=np.asarray(data.time, dtype=float),
        intensity=values,
        screen=screen_summary(data),
        note=note,
    )


def fit_source(path: str | PathLike[str], config: FitConfig) -> SourceFit:
    """Fits every trace of one file of any format. A file that cannot be read raises; a trace
    too short for the step fit, or whose fit is rejected or fails, keeps one segment of its
    mean (unfitted) and is listed as skipped with the reason: it is still screened and, when
    usable, modelled. A trace of a file of several that does not fit its format is listed as
    failed, and the file's other traces are fitted all the same."""
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
        reason = too_short(one, needed)
        if reason is None:
            try:
                result.fits.append(fit_trace(one, config))
                continue
            except Exception as error:  # noqa: BLE001 - the trace is still screened and modelled
                reason = f"step fit failed: {type(error).__name__}: {error}"
        result.skipped[one.file_label] = reason
        result.fits.append(unfitted(one, config, reason))
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
