"""The files a batch fit writes to its output directory.

    segments.csv, segments.parquet  one row per segment of every file
    traces/NAME.csv                 idealised trace of one file (NAME_K: trace K of a file of
                                    several): frame, time, intensity (the fitted signal), level
    ideal.xlsx                      sheet 'ideal': time and one 'Idl N' column per file, the
                                    input of lumetraTrace.transitionStatistics; sheet 'files'
                                    says which file each column is (batch.spreadsheet; past
                                    16,000 traces also ideal_2.xlsx, ...)
    failures.csv                    file, sha256, error of every file (or trace) that failed
    skipped.csv                     file, sha256, reason of every trace too short to fit
    kinetics.csv, dwell_times.html  rates per level and the dwell-time histograms (with the
                                    shared hidden Markov model, batch.hmm_stage: its rates; the
                                    dwell-time rates are then in dwell_kinetics.csv)
    manifest.json                   version, parameters, inputs with checksums, outputs, the
                                    outputs that could not be written and why

Each summary output is written on its own: one that fails is reported (manifest, standard
error, BatchResult.output_failures) and the others are still written.

Every table records the package version, the fit parameters and the input checksum: as
columns, as '# key: value' lines heading the per-file CSVs (pandas.read_csv(...,
comment="#")); the Parquet metadata holds the manifest with the number of inputs in place of
their list.
"""

from __future__ import annotations

import logging
import time
from contextlib import ExitStack
from dataclasses import asdict
from functools import partial
from pathlib import Path
from typing import Any, Callable, Union

import numpy as np
import pandas as pd

from lumetra import __version__, atomic
from lumetra.batch import hmm_stage, quality, records, summaries
from lumetra.batch import spreadsheet as spreadsheet_module
from lumetra.batch.config import FitConfig
from lumetra.batch.kinetics import Dwells, fit_rates, plot_dwell_times
from lumetra.batch.names import BatchNames
from lumetra.batch.store import TRACES, TraceStore
from lumetra.batch.types import BatchResult, FileFit, Fitted, HmmSettings, SourceFit, TraceFit
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.screening import ScreenSettings

Written = Union[Path, list[Path]]
log = logging.getLogger(__name__)


def table_provenance(provenance: dict[str, Any]) -> dict[str, Any]:
    """The manifest without its lists of every input (whose checksums and parameters are the
    table's own columns): Parquet holds its metadata several times over while it writes."""
    return {k: v for k, v in provenance.items() if k != "inputs"} | {
        "inputs": len(provenance.get("inputs", [])),
    }


class OutputWriter:
    def __init__(
        self,
        out_dir: atomic.PathArg,
        files: list[str],
        config: FitConfig,
        screening: ScreenSettings | None = None,
        overrides: tuple[Path, dict[str, bool]] | None = None,
    ):
        self.out = Path(out_dir)
        (self.out / TRACES).mkdir(parents=True, exist_ok=True)
        for folder in (self.out, *(p for p in self.out.iterdir() if p.is_dir())):
            atomic.remove_leftovers(folder)  # of an interrupted run
        self.files = files
        self.names = BatchNames(files)
        self.store = TraceStore(self.out, self.names)
        self.config = config
        self.screening = screening or ScreenSettings()
        self.overrides = overrides  # the override file and what it holds
        self.recorded = config.record()  # what each file's record holds of the options
        self.reading = config.reading.record()
        self.version = __version__
        self.started = time.time()
        self.output_failures: dict[str, str] = {}  # summary outputs not written, and why
        # Each file's record as written or read (records.packed), until its fits are loaded.
        self.records: dict[str, bytes] = {}
        self.checksums: dict[str, str] = {}  # of the files, where a fit or record gave one

    def trace_name(self, fit: TraceFit) -> str:
        """The file's name; for a file of several traces, with the trace's index."""
        return self.store.name(fit)

    def trace_path(self, fit: TraceFit) -> Path:
        return self.store.path(self.store.name(fit))

    def write_trace(self, fit: FileFit) -> None:
        header = {
            "lumetra": self.version,
            "source": fit.label,
            "sha256": fit.sha256,
            "parameters": " ".join(f"{k}={fit.params[k]}" for k in PARAMETER_NAMES),
            "searched": self.config.searched,
            "score": fit.score,
        } | fit.reading
        header["reading"] = " ".join(f"{k}={v}" for k, v in self.reading.items())
        frame = pd.DataFrame(
            {
                "frame": np.arange(len(fit.time)),
                "time": fit.time,
                "intensity": fit.intensity,
                "level": fit.levels[fit.frame_segment],
            }
        )
        atomic.write_csv(self.trace_path(fit), frame, header)

    def record_path(self, path: str) -> Path:
        return self.out / records.RECORDS / f"{self.names[path]}.json"

    def write_source(self, path: str, source: SourceFit) -> None:
        """The idealised traces of one file, then its record (batch.records), kept as it
        reads back."""
        for fit in source.fits:
            if not isinstance(fit, FileFit):
                raise TypeError(f"{fit.label}: a fit without its frames cannot be written")
            self.write_trace(fit)
        checksum = source.sha256 or self.checksum(path)
        self.records[path] = records.write_record(
            self.record_path(path), path, checksum, self.recorded, self.version, source
        )
        self.checksums[path] = checksum

    def reusable(self, path: str) -> bool:
        """Whether the record of an earlier batch holds this file's fit with these options."""
        found = records.read_packed(self.record_path(path))
        if found is None:
            return False
        record, text = found
        try:
            checksum = atomic.sha256_of(path)
        except OSError:
            return False
        if not records.matches(record, path, checksum, self.recorded, self.version):
            return False
        if not all(
            self.store.path(self.names.trace(path, one["part"])).exists() for one in record["fits"]
        ):
            return False
        self.records[path] = text
        return True

    def load_source(self, path: str) -> SourceFit:
        """The fits of one file (their summaries), from its record as written or read, which
        is let go then."""
        kept = self.records.pop(path, None)
        record = records.unpacked(kept) if kept else records.read_record(self.record_path(path))
        if record is None or record.get("source") != path:
            raise FileNotFoundError(f"no record of {path} in {self.out / records.RECORDS}")
        source = records.source_fit(record)
        self.checksums[path] = source.sha256
        return source

    def source_file(self, label: str) -> str:
        """The file a failure or skip label (file, or file#index) belongs to."""
        if label in self.names:
            return label
        path = label.rpartition("#")[0]
        return path if path in self.names else label

    def checksum(self, label: str) -> str:
        path = self.source_file(label)
        if path in self.checksums:
            return self.checksums[path]
        try:
            return atomic.sha256_of(path)
        except OSError:
            return ""

    def failure_table(self, failures: dict[str, str]) -> pd.DataFrame:
        rows = [
            {"file": label, "sha256": self.checksum(label), "error": error}
            for label, error in failures.items()
        ]
        table = pd.DataFrame(rows, columns=["file", "sha256", "error"])
        table["parameters"] = "searched" if self.config.searched else str(self.config.params)
        table["lumetra_version"] = self.version
        return table

    def skipped_table(self, skipped: dict[str, str]) -> pd.DataFrame:
        rows = [
            {"file": label, "sha256": self.checksum(label), "reason": reason}
            for label, reason in skipped.items()
        ]
        table = pd.DataFrame(rows, columns=["file", "sha256", "reason"])
        table["lumetra_version"] = self.version
        return table

    def finish(
        self,
        fitted: Fitted,
        states: int,
        double: bool,
        shortest: float,
        spreadsheet: bool,
        hmm: HmmSettings | None = None,
        client: Any = None,
    ) -> BatchResult:
        """The summaries and the shared model (its passes over all traces on `client`'s Dask
        workers when given)."""
        with ExitStack() as spools:  # the frames spooled for the model, deleted when done
            return self._finish(spools, fitted, states, double, shortest, spreadsheet, hmm, client)

    def _finish(
        self,
        spools: ExitStack,
        fitted: Fitted,
        states: int,
        double: bool,
        shortest: float,
        spreadsheet: bool,
        hmm: HmmSettings | None,
        client: Any,
    ) -> BatchResult:
        notes: list[str] = []
        fits, failures = fitted.fits, fitted.failures
        names = [self.trace_name(fit) for fit in fits]
        axes = summaries.SharedAxes()
        model, held, model_input = None, None, None
        screening = quality.screen_batch(fits, names, self.screening, self.overrides)
        modelled = [i for i, name in enumerate(names) if screening.usable(i, name)]
        if hmm is not None and fits:
            # The model passes over every trace's frames many times: read once into a spool,
            # they serve the other summaries and the model's own outputs too.
            held = hmm_stage.BatchFrames(self.store, names, axes)
            spools.callback(held.remove)
            model_input = hmm_stage.ModelInput.of(fits, names, held, modelled)
            spools.callback(model_input.remove)
            model, cut = hmm_stage.fit_or_report(model_input, hmm, self.failed, client)
            notes += cut
            # The step fit's own dwell-time rates, for comparison, with the model's K.
            states = model.states if model is not None else states
        grouping = summaries.group_levels(fits, states, notes)
        books = None
        if spreadsheet and fits:
            books = spreadsheet_module.Workbooks(self.out, len(fits), self.version)

        def frames(i: int) -> hmm_stage.Frames:  # those the model holds, or read and let go
            if held is not None:
                return held[i]
            time, values = self.store.frames(names[i])
            return axes(time), values

        streamed = summaries.stream_traces(
            fits,
            grouping,
            frames,
            books,
            None if model is None or model_input is None else model_input.spread(model.path_levels),
            self.failed,
        )
        if books is not None and books.note():
            notes.append(str(books.note()))
        segments = summaries.SegmentTable(fits, names, self.version, streamed, grouping)
        kinetics: pd.DataFrame | None = None
        dwells: Dwells = streamed.dwells or {}
        if grouping.labels is not None and grouping.centres is not None:
            kinetics = fit_rates(dwells, double, shortest)
            kinetics.insert(0, "state", np.searchsorted(grouping.centres, kinetics["level"]))
            kinetics["lumetra_version"] = self.version

        provenance = self.provenance(fitted, states, double, shortest)
        if hmm is not None:
            provenance["method"] = "hmm"
            provenance["model_settings"] = asdict(hmm)  # what a re-fit of a selection takes
            provenance["hmm"] = hmm_stage.model_record(model, hmm.seed) if model else None
        provenance["screening"] = screening.record()
        noise = {} if model is None or model_input is None else model_input.noise_of(model)
        quality_rows = quality.quality_table(fits, names, screening, noise)
        failure_table = self.failure_table(failures)
        skipped = self.skipped_table(fitted.skipped)
        # Each output on its own: one that cannot be written does not stop the others.
        written: list[Path] = []
        attempt = self.attempt(written)
        parquet = self.out / "segments.parquet"
        attempt(
            "segments.csv",
            lambda: atomic.write_csv_parts(self.out / "segments.csv", segments.parts()),
        )
        attempt(
            "segments.parquet",
            lambda: atomic.write_parquet(parquet, segments.parts(), table_provenance(provenance)),
        )
        attempt("failures.csv", lambda: atomic.write_csv(self.out / "failures.csv", failure_table))
        attempt("skipped.csv", lambda: atomic.write_csv(self.out / "skipped.csv", skipped))
        attempt(quality.QUALITY, lambda: atomic.write_csv(self.out / quality.QUALITY, quality_rows))
        if books is not None:
            written += books.written  # as their traces arrived
            if len(books.names) > 1:
                provenance["spreadsheets"] = {
                    "files": books.names,
                    "traces_per_file": spreadsheet_module.TRACES_PER_WORKBOOK,
                }
        if model is not None and hmm is not None and model_input is not None:
            attempt(
                "hidden Markov model outputs",
                lambda: hmm_stage.write_model_outputs(
                    self.out, model, model_input, hmm, self.version
                ),
            )
        if kinetics is not None:
            table = "dwell_kinetics.csv" if hmm is not None else "kinetics.csv"
            attempt(table, lambda: atomic.write_csv(self.out / table, kinetics))
            title = f"Dwell times: {len(fits)} traces, lumetra {self.version}"
            attempt(
                "dwell_times.html",
                lambda: plot_dwell_times(
                    dwells, kinetics, self.out / "dwell_times.html", shortest, title
                ),
            )
        provenance["notes"] = notes
        provenance["outputs"] = [str(p.relative_to(self.out)) for p in written] + [
            str(self.trace_path(fit).relative_to(self.out)) for fit in fits
        ]
        provenance["output_failures"] = dict(self.output_failures)
        attempt("manifest.json", lambda: atomic.write_json(self.out / "manifest.json", provenance))
        # The segments from the file when it was written (the table of 10^5 traces is large), else
        # built again.
        rows = partial(pd.read_parquet, parquet) if parquet in written else segments.whole
        result = BatchResult(rows, failure_table, kinetics, dwells, fits, self.out, notes)
        result.skipped, result.store, result.quality = skipped, self.store, quality_rows
        result.output_failures = dict(self.output_failures)
        if hmm is not None:
            result.dwell_kinetics, result.hmm = kinetics, model
            result.kinetics = None if model is None else model.rate_table
        return result

    def attempt(self, written: list[Path]) -> Callable[[str, Callable[[], Written]], None]:
        """A writer of one output: what it wrote goes to `written`; its failure, to
        output_failures and the log (the command line shows it on standard error)."""

        def write(name: str, make: Callable[[], Written]) -> None:
            try:
                made = make()
            except Exception as error:  # noqa: BLE001 - the other outputs must still be written
                self.failed(name, error)
                return
            written.extend(made if isinstance(made, list) else [made])

        return write

    def failed(self, name: str, error: Exception) -> None:
        """An output not written: to output_failures and the log."""
        self.output_failures[name] = f"{type(error).__name__}: {error}"
        log.warning(f"{name} not written: {type(error).__name__}: {error}")

    def provenance(
        self,
        fitted: Fitted,
        states: int,
        double: bool,
        shortest: float,
    ) -> dict[str, Any]:
        return {
            "lumetra": self.version,
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(self.started)),
            "seconds": round(time.time() - self.started, 3),
            "parameters": "searched per file" if self.config.searched else self.config.params,
            "states": states,
            "double_exponential": double,
            "shortest_dwell": shortest,
            "reading": self.reading,
            "inputs": [
                {
                    "file": f.label,
                    "name": self.trace_name(f),
                    "sha256": f.sha256,
                    "parameters": f.params,
                    "score": f.score,
                }
                | f.reading
                for f in fitted.fits
            ],
            "failed": len(fitted.failures),
            "skipped": [{"file": k, "reason": v} for k, v in fitted.skipped.items()],
        } | self.config.manifest_options()
