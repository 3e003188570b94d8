"""Fit many trace files at once, on local cores or on a Dask cluster.

    from lumetra.batch import fit_traces

    result = fit_traces(["data/*.txt"], "results/", jobs=2)
    result.segments, result.failures, result.kinetics

For every trace file: load it, search the four fit parameters (or take the given ones), fit,
merge indistinguishable neighbours. The outputs (see `write_outputs` in lumetra._batch_outputs)
are one segment table for the batch, one idealised trace per file, the spreadsheet that
`lumetraTrace.transitionStatistics` reads, the failures, and the kinetics of the levels.

The idealised trace holds, on every frame, the level of the segment the frame belongs to. The
frames of a transition stretch between two segments are split at its middle: the first half
keeps the level before, the rest takes the level after (lumetra.batchcore.frame_segments).

Two options go beyond that: criterion="bic" searches the parameters by the BIC of each fit over
every frame (optimizeFitness(criterion="bic")), and refine=True takes the segments and levels
from refineTransitions, which places one or two change points inside every transition stretch.
"""

import concurrent.futures
import glob
import os
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

REJECTED = 9999999999
PARAMETER_NAMES = ("halfWinLen", "rratio", "thrate", "filterWidth")
CRITERIA = ("xic", "bic")


class FitRejected(RuntimeError):
    """The step fit found fewer segments than the trace needs (score 9999999999)."""


@dataclass
class FileFit:
    """The fit of one trace file, as a worker hands it back."""

    path: str
    sha256: str
    params: dict
    score: float
    time: np.ndarray
    intensity: np.ndarray
    starts: np.ndarray  # first frame of each segment
    ends: np.ndarray  # one past the last frame
    levels: np.ndarray
    spreads: np.ndarray
    frame_segment: np.ndarray  # segment of every frame in the idealised trace
    seconds: float


@dataclass
class BatchResult:
    segments: pd.DataFrame
    failures: pd.DataFrame
    kinetics: pd.DataFrame = None
    dwells: dict = field(default_factory=dict)
    fits: list = field(default_factory=list)
    out_dir: Path = None
    notes: list = field(default_factory=list)
    timings: dict = field(default_factory=dict)  # wall seconds: fits, outputs

    @property
    def ok(self):
        return self.failures.empty


def normalise_params(params):
    """The four fit parameters as a dict, window sizes as integers; None stays None."""
    if params is None:
        return None
    if not isinstance(params, dict):
        params = dict(zip(PARAMETER_NAMES, params))
    missing = [name for name in PARAMETER_NAMES if name not in params]
    if missing:
        raise ValueError(f"fit parameters lack {', '.join(missing)}")
    out = {name: float(params[name]) for name in PARAMETER_NAMES}
    out["halfWinLen"] = round(out["halfWinLen"])
    out["filterWidth"] = round(out["filterWidth"])
    if out["halfWinLen"] < 1:
        raise ValueError("halfWinLen must be at least 1")
    return out


SEARCH_BOUNDS = {
    "halfWinLen": "sHalfWin",
    "rratio": "sRR",
    "thrate": "sThR",
    "filterWidth": "sFilterW",
}


def search_arguments(search):
    """optimizeFitness keywords from {parameter: (min, max, step)}."""
    unknown = set(search or {}) - set(SEARCH_BOUNDS)
    if unknown:
        raise ValueError(f"unknown search parameter(s): {', '.join(sorted(unknown))}")
    return {SEARCH_BOUNDS[name]: tuple(bounds) for name, bounds in (search or {}).items()}


def check_criterion(criterion):
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(CRITERIA)}, not {criterion!r}")
    return criterion


def refined_segments(trace):
    """Segments of refineTransitions' ideal path: first frames, ends and levels."""
    trace.refineTransitions()
    changes = np.asarray(trace.changePoints, dtype=np.int64)
    starts = np.concatenate([[0], changes]).astype(np.int64)
    ends = np.concatenate([changes, [len(trace.idealPath)]]).astype(np.int64)
    return starts, ends, np.asarray(trace.idealPath)[starts]


def fit_file(path, params=None, search=None, criterion="xic", refine=False):
    """Fits one trace file; raises on any failure (unreadable file, rejected fit, ...).
    Without params the four parameters are searched, within the bounds of `search`
    ({parameter: (min, max, step)}, defaults of optimizeFitness for the others), by the
    score `criterion` ("xic" or "bic", which also gives the reported score). refine: take the
    segments from refineTransitions."""
    from lumetra import batchcore
    from lumetra._outputs import sha256_of
    from lumetra.lumetraTrace import bic, lumetraTrace

    start = time.perf_counter()
    path = str(path)
    checksum = sha256_of(path)
    trace = lumetraTrace()
    trace.loadData(path)
    if params is None:
        trace.optimizeFitness(**search_arguments(search), criterion=check_criterion(criterion))
        params = normalise_params(trace.optRes.params.valuesdict())
    score = trace.fitTrajectory(*(params[name] for name in PARAMETER_NAMES))
    if score == REJECTED:
        raise FitRejected(
            f"fit rejected with {params}: {len(trace.partitions)} segment(s), "
            f"at least {trace.stateNum} needed"
        )
    if check_criterion(criterion) == "bic":
        score = bic(trace.partitions, trace.CH1mBGND1)
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
        path=path,
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


def expand_inputs(items):
    """Trace files from paths, directories (their *.txt files) and glob patterns, in the
    order given, each once. A pattern that matches nothing is an error."""
    files = []
    for item in items:
        item = str(item)
        if os.path.isdir(item):
            found = sorted(glob.glob(os.path.join(glob.escape(item), "*.txt")))
        elif glob.has_magic(item):
            found = sorted(p for p in glob.glob(item, recursive=True) if os.path.isfile(p))
            if not found:
                raise FileNotFoundError(f"no file matches {item}")
        else:
            found = [item]  # a missing file becomes a failure of its own
        files.extend(found)
    return list(dict.fromkeys(files))


def _progress(iterable, total, enabled):
    from tqdm import tqdm

    # disable=None: only on a terminal.
    return tqdm(iterable, total=total, unit="file", disable=None if enabled else True)


def run_fits(
    files,
    executor,
    params=None,
    search=None,
    progress=True,
    on_result=None,
    criterion="xic",
    refine=False,
):
    """Submits every file to the executor; returns (fits in input order, failures by path).
    on_result(fit) runs in this process as each fit arrives."""
    futures = {
        executor.submit(fit_file, path, params, search, criterion, refine): path for path in files
    }
    fits, failures = {}, {}
    done = concurrent.futures.as_completed(futures)
    for future in _progress(done, len(futures), progress):
        path = futures[future]
        try:
            fit = future.result()
            if on_result is not None:
                on_result(fit)
            fits[path] = fit
        except Exception as error:  # noqa: BLE001 - a bad file must not stop the batch
            failures[path] = f"{type(error).__name__}: {error}"
    return [fits[p] for p in files if p in fits], failures


def fit_traces(
    paths,
    out_dir,
    executor=None,
    jobs=None,
    params=None,
    search=None,
    states=2,
    double=False,
    shortest=0.0,
    progress=True,
    spreadsheet=True,
    criterion="xic",
    refine=False,
):
    """Fits every trace file of `paths` (files, directories, glob patterns) and writes the
    results to `out_dir`.

    executor: any concurrent.futures.Executor (a Dask cluster's client.get_executor() too);
        by default a process pool of `jobs` workers (all cores when None).
    params: the four fit parameters (dict or sequence halfWinLen, rratio, thrate,
        filterWidth) for every file; None searches them per file with optimizeFitness.
    search: bounds of that search, {parameter: (min, max, step)}; optimizeFitness's
        defaults for the parameters not given.
    states: number of levels the segments are grouped into for the kinetics and the
        spreadsheet; 0 keeps every segment's own level and fits no kinetics.
    double, shortest: kinetics options (lumetra.kinetics.fit_rates).
    criterion: score of the parameter search, "xic" or "bic" (see optimizeFitness).
    refine: segments and levels from refineTransitions instead of the merged partitions.
    Returns a BatchResult; files that failed are in its `failures`, not raised.
    """
    from lumetra._batch_outputs import OutputWriter

    files = expand_inputs(paths)
    params = normalise_params(params)
    search_arguments(search)  # refuse unknown names before any work
    check_criterion(criterion)
    writer = OutputWriter(out_dir, files, params)
    owned = executor is None
    if owned:
        executor = concurrent.futures.ProcessPoolExecutor(max_workers=jobs or os.cpu_count())
    start = time.perf_counter()
    try:
        fits, failures = run_fits(
            files, executor, params, search, progress, writer.write_trace, criterion, refine
        )
    finally:
        if owned:
            executor.shutdown(cancel_futures=True)
    fitted = time.perf_counter()
    if criterion != "xic" or refine:
        writer.options = {"criterion": criterion, "refine": bool(refine)}
    result = writer.finish(fits, failures, states, double, shortest, spreadsheet)
    result.timings = {"fits": fitted - start, "outputs": time.perf_counter() - fitted}
    for note in result.notes:
        print(f"lumetra: {note}", file=sys.stderr)
    return result
