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
from lumetra.batch.types import FileFit, Params, SearchBounds, SourceFit
from lumetra.io import BadTrace
from lumetra.io.prepare import PreparedTrace, SignalOptions, prepare_each, prepare_file
from lumetra.stepfit import (
    load_trace,
    refined_segments,
    search_parameters,
    search_seed,
    step_fit,
)

__all__ = [
    "fit_file",
    "fit_prepared",
    "fit_source",
    "load_trace",
    "refined_segments",
    "search_parameters",
    "shortest_trace",
    "step_fit",
    "too_short",
]

NO_TRACES = "no traces in the file"  # why a file without any is skipped


def shortest_trace(params: Params | None, search: SearchBounds | None) -> int:
    """Frames a trace needs for one window of the fit: 2 halfWinLen + 1, with the smallest
    halfWinLen the search may try when the parameters are searched."""
    if params is not None:
        half = int(params["halfWinLen"])
    else:
        bounds = (search or {}).get("halfWinLen", batchcore.SEARCH_DEFAULTS["halfWinLen"])
        half = max(1, round(bounds[0]))
    return 2 * half + 1


def too_short(prepared: PreparedTrace, needed: int) -> str | None:
    """Why the trace is skipped, or None when it is long enough."""
    frames = prepared.fitted_frames
    if frames >= needed:
        return None
    where = "" if prepared.cut_frame is None else f" after the cut at frame {prepared.cut_frame}"
    return f"{frames} frames{where}: the fit needs at least {needed}"


def fit_prepared(
    prepared: PreparedTrace,
    checksum: str,
    params: Params | None = None,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    refine: bool = False,
    part: int | None = None,
    seed: int | None = None,
    engine: str = "lmfit",
) -> FileFit:
    """Fits one trace of a file (see fit_file); raises on any failure."""
    start = time.perf_counter()
    trace = prepared.trace_object(scaled=True)
    if params is None:
        sequence = None if seed is None else search_seed(seed, checksum, part)
        params = search_parameters(trace, search, criterion, sequence, engine)
    score = step_fit(trace, params, criterion)
    partitions = trace.finalPartitions()
    intensity = trace.CH1mBGND1.to_numpy(dtype=float)
    if refine:
        starts, ends, levels = refined_segments(trace)
        _, spreads = batchcore.summarise_segments(intensity, starts, ends)
    else:
        starts = np.array([p[0] for p in partitions], dtype=np.int64)
        ends = np.array([p[1] for p in partitions], dtype=np.int64)
        levels, spreads = batchcore.summarise_segments(intensity, starts, ends)
    if prepared.fit_scale != 1.0 and prepared.values is not None:
        intensity = np.asarray(prepared.values, dtype=float)
        levels, spreads = levels / prepared.fit_scale, spreads / prepared.fit_scale
    return FileFit(
        path=prepared.source,
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
        part=part,
        reading=prepared.reading(),
    )


def fit_source(
    path: str | PathLike[str],
    params: Params | None = None,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    refine: bool = False,
    options: SignalOptions | None = None,
    seed: int | None = None,
    engine: str = "lmfit",
) -> SourceFit:
    """Fits every trace of one file of any format. A file that cannot be read raises; a trace
    too short for the fit (or a file of no traces) is skipped, and a trace whose fit fails or
    which does not fit its format is listed as failed, both with the reason, and the file's
    other traces are fitted all the same. seed: searched parameters
    come from a search seeded by it, the file's checksum and the trace's index (search_seed);
    None: from numpy's global generator. engine: how parameters are searched ("lmfit" or
    "native", stepfit.search_parameters)."""
    name = str(path)
    checksum = sha256_of(name)
    prepared = prepare_each(name, options or SignalOptions())
    needed = shortest_trace(params, search)
    several = len(prepared) > 1
    result = SourceFit()
    if not prepared:
        result.skipped[name] = NO_TRACES
    for one in prepared:
        if isinstance(one, BadTrace):  # of a file of several: the others are fitted
            result.failed[f"{name}#{one.index}"] = f"{type(one.error).__name__}: {one.error}"
            continue
        label = one.label if several else name
        reason = too_short(one, needed)
        if reason is not None:
            result.skipped[label] = reason
            continue
        part = one.index if several else None
        try:
            fit = fit_prepared(one, checksum, params, search, criterion, refine, part, seed, engine)
            result.fits.append(fit)
        except Exception as error:  # noqa: BLE001 - one trace must not stop the others
            if not several:
                raise
            result.failed[label] = f"{type(error).__name__}: {error}"
    return result


def fit_file(
    path: str | PathLike[str],
    params: Params | None = None,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    refine: bool = False,
    options: SignalOptions | None = None,
    seed: int | None = None,
    engine: str = "lmfit",
) -> FileFit:
    """Fits a file of one trace; raises on any failure (unreadable file, rejected fit, a trace
    too short, a file of several traces: see fit_source). Without params the four parameters
    are searched, within the bounds of `search` ({parameter: (min, max, step)}, defaults of
    optimizeFitness for the others), by the score `criterion` ("xic" or "bic", which also
    gives the reported score). refine: take the segments from refineTransitions. options: how
    the file is read and which signal is fitted (lumetra.io.SignalOptions). seed: as for
    fit_source, and so is engine."""
    name = str(path)
    prepared = prepare_file(name, options or SignalOptions())
    if not prepared:
        raise ValueError(f"{name}: {NO_TRACES}")
    if len(prepared) != 1:
        raise ValueError(f"{name}: {len(prepared)} traces in one file; use fit_source")
    reason = too_short(prepared[0], shortest_trace(params, search))
    if reason is not None:
        raise ValueError(f"{name}: {reason}")
    checksum = sha256_of(name)
    return fit_prepared(
        prepared[0], checksum, params, search, criterion, refine, None, seed, engine
    )
