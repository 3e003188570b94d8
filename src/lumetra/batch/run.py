"""Many trace files fitted on an executor, their outputs written as the fits arrive."""

from __future__ import annotations

import concurrent.futures
import itertools
import logging
import os
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any, Callable

from lumetra.batch.config import FitConfig, engine_for
from lumetra.batch.inputs import expand_inputs
from lumetra.batch.lock import output_lock
from lumetra.batch.memory import Trimmer
from lumetra.batch.one_file import fit_source
from lumetra.batch.outputs import OutputWriter
from lumetra.batch.pool import process_pool
from lumetra.batch.quality import OVERRIDES, read_overrides
from lumetra.batch.types import BatchResult, Fitted, HmmSettings, SourceFit, TraceFit
from lumetra.io.prepare import SignalOptions
from lumetra.progress import silenced, steps
from lumetra.screening import ScreenSettings
from lumetra.stepfit import ParamsInput, SearchBounds, normalise_params

METHODS = ("classic", "hmm")
# Files submitted to the executor and not yet handled, at most: enough to keep a cluster's
# workers busy, few enough that waiting results hold little memory.
IN_FLIGHT = 256
log = logging.getLogger(__name__)  # the command line shows its notes on standard error


def describe(error: BaseException) -> str:
    """The failure of a file as the failures table gives it: the exception and its notes."""
    return "; ".join([f"{type(error).__name__}: {error}", *getattr(error, "__notes__", [])])


def completed(
    submit: Callable[[str], concurrent.futures.Future[SourceFit]], files: list[str]
) -> Iterator[tuple[str, concurrent.futures.Future[SourceFit]]]:
    """(file, future) of every file as its fit finishes. At most IN_FLIGHT files are submitted
    and not yet handled at a time, so that results that arrive faster than they are written
    do not pile up in memory."""
    waiting = iter(files)
    running: dict[concurrent.futures.Future[SourceFit], str] = {}
    for path in itertools.islice(waiting, IN_FLIGHT):
        running[submit(path)] = path
    while running:
        finished, _ = concurrent.futures.wait(
            running, return_when=concurrent.futures.FIRST_COMPLETED
        )
        for future in finished:
            yield running.pop(future), future
            for path in itertools.islice(waiting, 1):
                running[submit(path)] = path


def run_fits(
    files: list[str],
    executor: concurrent.futures.Executor,
    config: FitConfig | None = None,
    progress: bool = True,
    on_result: Callable[[TraceFit], object] | None = None,
    on_source: Callable[[str, SourceFit], object] | None = None,
    keep: bool = True,
) -> Fitted:
    """Submits every file to the executor, each fitted by `config` (FitConfig's defaults when
    None). on_result(fit) runs in this process as each fit arrives, on_source(path, fits) as
    each file's fits do; a file that fails, as a whole or trace by trace, does not stop the
    others. keep=False: the fits are not kept (only the failures and skipped traces)."""
    config = config or FitConfig()
    trim = Trimmer()
    by_file: dict[str, list[TraceFit]] = {}
    done = Fitted()

    def submit(path: str) -> concurrent.futures.Future[SourceFit]:
        return executor.submit(fit_source, path, config)

    with silenced(not progress):
        finished = steps(completed(submit, files), "step fits", len(files), "file")
    for path, future in finished:
        trim()
        try:
            source = future.result()
            for fit in source.fits:
                if on_result is not None:
                    on_result(fit)
            if on_source is not None:
                on_source(path, source)
        except Exception as error:  # noqa: BLE001 - a bad file must not stop the batch
            done.failures[path] = describe(error)
            continue
        if keep:
            by_file[path] = source.fits
        done.failures.update(source.failures)
        done.skipped.update(source.skipped)
    done.fits = [fit for path in files for fit in by_file.get(path, [])]
    return done


def in_input_order(found: dict[str, str], files: list[str], writer: OutputWriter) -> dict[str, str]:
    """Failures or skipped traces ordered by their file's place in the input (traces of one
    file keep their order), whatever order the workers finished in."""
    place = {path: i for i, path in enumerate(files)}
    ordered = sorted(found.items(), key=lambda item: place.get(writer.source_file(item[0]), -1))
    return dict(ordered)


def output_folder(out_dir: str | os.PathLike[str]) -> Path:
    """The output folder, made if need be; OSError naming it when it cannot be one."""
    out = Path(out_dir)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise NotADirectoryError(f"output folder {out} is a file, not a folder") from None
    except OSError as error:
        raise type(error)(f"cannot make the output folder {out}: {error.strerror}") from None
    if not os.access(out, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write to the output folder {out}")
    return out


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
    criterion: str | None = None,
    refine: bool | None = None,
    options: SignalOptions | None = None,
    method: str = "hmm",
    hmm: HmmSettings | None = None,
    seed: int = 0,
    restart: bool = False,
    search_engine: str | None = None,
    config: FitConfig | None = None,
    screening: ScreenSettings | None = None,
    overrides: str | os.PathLike[str] | None = None,
    client: Any = None,
) -> BatchResult:
    """Fits every trace file of `paths` (files, directories, glob patterns) and writes the
    results to `out_dir`.

    executor: any concurrent.futures.Executor (a Dask cluster's client.get_executor() too);
        by default `client`'s, or a process pool of `jobs` workers (all cores when None).
    client: a Dask client (distributed.Client) whose workers also run the shared model's
        passes over all traces, each holding a share of them (read from a spool file in
        `out_dir`, which the workers must reach); None: the model runs in this process.
    params: the four fit parameters (dict or sequence halfWinLen, rratio, thrate,
        filterWidth) for every file; None searches them per file with optimizeFitness.
    search: bounds of that search, {parameter: (min, max, step)}; optimizeFitness's
        defaults for the parameters not given.
    seed: the search of each trace draws from a generator seeded by `seed`, the file's
        checksum and the trace's index in its file, so that its parameters do not depend on
        the order of the files, the worker or the number of jobs (recorded in the manifest).
    states: number of levels the segments are grouped into for the kinetics and the
        spreadsheet; 0 keeps every segment's own level and fits no kinetics.
    double, shortest: kinetics options (lumetra.kinetics.fit_rates).
    criterion: score of the parameter search, "xic" or "bic" (see optimizeFitness); None:
        "xic" for the classic method, "bic" for "hmm".
    refine: segments and levels from refineTransitions instead of the merged partitions;
        None: False for the classic method, True for "hmm".
    method: "hmm" (the default, as `lumetra fit`'s), the hidden Markov model shared by all
        traces, started from the step fits (`hmm`: its settings, HmmSettings), whose rates
        kinetics.csv holds (the dwell-time rates then go to dwell_kinetics.csv); or "classic"
        (`--classic`, and the Python default of earlier versions), kinetics from the dwell
        times of the step fit's levels grouped into `states`.
    options: how files are read and which signal is fitted (lumetra.io.SignalOptions; by
        default the format is told from the content and two-colour traces give their FRET
        efficiency, cut at the first photobleaching). A file of several traces gives one
        output per trace; traces too short for the fit are skipped with the reason.
    search_engine: "lmfit" (optimizeFitness) or "native" (the same differential evolution in
        C++ on the core fit, many times faster; stepfit.search_parameters), recorded when
        native; None: native for "hmm", whose step fits only seed the model, lmfit for
        "classic".
    config: every option of a trace's fit in one (FitConfig); given, it stands for params,
        search, criterion, refine, options, seed and search_engine.
    screening: the thresholds of the trace classes (lumetra.screening.ScreenSettings);
        quality.csv gives every trace's class and metrics, and only usable traces, their
        masked frames left out, reach the shared model.
    overrides: a CSV file of name,usable (lumetra.batch.quality) taking traces in or out
        whatever their class; None: out_dir's overrides.csv when there is one. A file that
        cannot be read stops the batch before anything is fitted (OverrideError).
    progress: bars and stage lines of the long stages on standard error while it is a
        terminal (lumetra.progress); False: none.
    restart: fit every file again. Otherwise a file whose record (lumetra.batch.records)
        in `out_dir` shows it fitted by the same version with the same options, and whose
        checksum is unchanged, is taken from there: a batch that was interrupted, started
        again, fits only the rest. The summaries are built from the records and idealised
        traces of every file.
    Returns a BatchResult; files that failed are in its `failures`, not raised; summary
    outputs that could not be written in its `output_failures`. Its `fits` hold each trace's
    summary (TraceFit); `result.frames(fit)` reads its time and intensity from `out_dir`'s
    traces/, so that a batch of 10^5 traces holds no more than their summaries.
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, not {method!r}")
    modelled = method == "hmm"
    if states < 0:
        raise ValueError(f"states must be at least 0, not {states}")
    config = config or FitConfig(
        normalise_params(params),
        search or {},
        criterion or ("bic" if modelled else "xic"),
        modelled if refine is None else refine,
        options or SignalOptions(),
        seed,
        engine_for(search_engine, modelled),
    )
    files = expand_inputs(paths)
    override_file: Path | None = Path(overrides or Path(out_dir) / OVERRIDES)
    if overrides is None and not (override_file and override_file.is_file()):
        override_file = None
    # Read before any fit, so that a file that cannot be read stops the batch at once.
    overriding = None if override_file is None else (override_file, read_overrides(override_file))
    out = output_folder(out_dir)
    with output_lock(out), silenced(not progress):  # the model's stages report too
        writer = OutputWriter(out, files, config, screening, overriding)
        reused = set() if restart else {path for path in files if writer.reusable(path)}
        pool = None
        if executor is None and client is not None:
            executor = client.get_executor()
        if executor is None and len(reused) < len(files):
            pool = executor = process_pool(jobs, len(files) - len(reused))
        start = time.perf_counter()
        try:
            done = run_fits(
                [path for path in files if path not in reused],
                executor,  # type: ignore[arg-type] # None only when there is nothing to fit
                config,
                progress,
                on_source=writer.write_source,
                keep=False,
            )
        finally:
            if pool is not None:
                pool.shutdown(cancel_futures=True)
        # Every file's fits from what was written, reused or not: the same summaries either way.
        fitted_traces = Fitted(failures=dict(done.failures), skipped=dict(done.skipped))
        trim = Trimmer()
        for path in files:
            if path in done.failures:
                continue
            trim()
            source = writer.load_source(path)
            fitted_traces.fits += source.fits
            if path in reused:
                fitted_traces.failures.update(source.failures)
                fitted_traces.skipped.update(source.skipped)
        fitted_traces.failures = in_input_order(fitted_traces.failures, files, writer)
        fitted_traces.skipped = in_input_order(fitted_traces.skipped, files, writer)
        fitted = time.perf_counter()
        settings = (hmm or HmmSettings()) if modelled else None
        result = writer.finish(
            fitted_traces, states, double, shortest, spreadsheet, settings, client
        )
        result.timings = {"fits": fitted - start, "outputs": time.perf_counter() - fitted}
        if reused:
            log.info(f"{len(reused)} file(s) taken from the records of an earlier run")
        for note in result.notes:
            log.warning(note)
        return result
