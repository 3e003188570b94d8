"""Many trace files fitted on an executor, their outputs written as the fits arrive."""

from __future__ import annotations

import concurrent.futures
import glob
import os
import sys
import time
from collections.abc import Iterable, Iterator
from typing import Callable, TypeVar

from tqdm import tqdm

from lumetra.batch.one_file import fit_file
from lumetra.batch.outputs import OutputWriter
from lumetra.batch.types import (
    BatchResult,
    FileFit,
    Params,
    ParamsInput,
    SearchBounds,
    check_criterion,
    normalise_params,
    search_arguments,
)

Item = TypeVar("Item")


def expand_inputs(items: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Trace files from paths, directories (their *.txt files) and glob patterns, in the
    order given, each once. A pattern that matches nothing is an error."""
    files: list[str] = []
    for given in items:
        item = str(given)
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


def _progress(iterable: Iterable[Item], total: int, enabled: bool) -> Iterator[Item]:
    # disable=None: only on a terminal.
    return iter(tqdm(iterable, total=total, unit="file", disable=None if enabled else True))


def run_fits(
    files: list[str],
    executor: concurrent.futures.Executor,
    params: Params | None = None,
    search: SearchBounds | None = None,
    progress: bool = True,
    on_result: Callable[[FileFit], object] | None = None,
    criterion: str = "xic",
    refine: bool = False,
) -> tuple[list[FileFit], dict[str, str]]:
    """Submits every file to the executor; returns (fits in input order, failures by path).
    on_result(fit) runs in this process as each fit arrives."""
    futures = {
        executor.submit(fit_file, path, params, search, criterion, refine): path for path in files
    }
    fits: dict[str, FileFit] = {}
    failures: dict[str, str] = {}
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
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    executor: concurrent.futures.Executor | None = None,
    jobs: int | None = None,
    params: ParamsInput | None = None,
    search: SearchBounds | None = None,
    states: int = 2,
    double: bool = False,
    shortest: float = 0.0,
    progress: bool = True,
    spreadsheet: bool = True,
    criterion: str = "xic",
    refine: bool = False,
) -> BatchResult:
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
    files = expand_inputs(paths)
    fixed = normalise_params(params)
    search_arguments(search)  # refuse unknown names before any work
    check_criterion(criterion)
    writer = OutputWriter(out_dir, files, fixed)
    pool = None
    if executor is None:
        pool = executor = concurrent.futures.ProcessPoolExecutor(max_workers=jobs or os.cpu_count())
    start = time.perf_counter()
    try:
        fits, failures = run_fits(
            files, executor, fixed, search, progress, writer.write_trace, criterion, refine
        )
    finally:
        if pool is not None:
            pool.shutdown(cancel_futures=True)
    fitted = time.perf_counter()
    if criterion != "xic" or refine:
        writer.options = {"criterion": criterion, "refine": bool(refine)}
    result = writer.finish(fits, failures, states, double, shortest, spreadsheet)
    result.timings = {"fits": fitted - start, "outputs": time.perf_counter() - fitted}
    for note in result.notes:
        print(f"lumetra: {note}", file=sys.stderr)
    return result
