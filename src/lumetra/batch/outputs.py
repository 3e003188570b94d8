"""The files a batch fit writes to its output directory.

    segments.csv, segments.parquet  one row per segment of every file
    traces/NAME.csv                 idealised trace of one file (NAME_K: trace K of a file of
                                    several): frame, time, intensity (the fitted signal), level
    ideal.xlsx                      sheet 'ideal': time and one 'Idl N' column per file, the
                                    input of lumetraTrace.transitionStatistics; sheet 'files'
                                    says which file each column is
    failures.csv                    file, sha256, error of every file (or trace) that failed
    skipped.csv                     file, sha256, reason of every trace too short to fit
    kinetics.csv, dwell_times.html  rates per level and the dwell-time histograms (with the
                                    shared hidden Markov model, batch.hmm_stage: its rates; the
                                    dwell-time rates are then in dwell_kinetics.csv)
    manifest.json                   version, parameters, inputs with checksums, outputs

Every table records the package version, the fit parameters and the input checksum: as
columns, as '# key: value' lines heading the per-file CSVs (pandas.read_csv(...,
comment="#")), and in the Parquet metadata.
"""

from __future__ import annotations

import time
from collections import Counter
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumetra import __version__, atomic, batchcore
from lumetra.batch import hmm_stage
from lumetra.batch.kinetics import Dwells, dwell_kinetics, plot_dwell_times
from lumetra.batch.types import BatchResult, FileFit, Fitted, FloatArray, HmmSettings, Params
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.io.prepare import SignalOptions


def unique_names(files: Sequence[str]) -> dict[str, str]:
    """A file-name stem per file; stems that repeat get _2, _3, ... in input order."""
    stems = [Path(f).stem for f in files]
    repeated = {s for s, n in Counter(stems).items() if n > 1}
    seen: Counter[str] = Counter()
    names: dict[str, str] = {}
    for path, stem in zip(files, stems):
        seen[stem] += 1
        names[path] = f"{stem}_{seen[stem]}" if stem in repeated and seen[stem] > 1 else stem
    return names


def segment_rows(fit: FileFit, name: str, version: str) -> pd.DataFrame:
    frames = len(fit.time)
    last = fit.ends - 1
    table = pd.DataFrame(
        {
            "file": fit.path,
            "name": name,
            "sha256": fit.sha256,
            "segment": np.arange(len(fit.starts)),
            "start_frame": fit.starts,
            "end_frame": last,
            "start_time": fit.time[fit.starts],
            "end_time": fit.time[np.minimum(last, frames - 1)],
            "level": fit.levels,
            "spread": fit.spreads,
            "score": fit.score,
        }
    )
    for key in PARAMETER_NAMES:
        table[key] = fit.params[key]
    table["lumetra_version"] = version
    return table


def level_weights(segments: pd.DataFrame) -> FloatArray:
    """Weight of each segment's mean when levels are grouped into states: its precision,
    frames / spread^2. A segment that spans a missed transition has a wide spread and counts
    little; spreads below the median are raised to it, so that short, quiet segments do not
    outweigh long ones."""
    frames = (segments["end_frame"] - segments["start_frame"] + 1).to_numpy(float)
    spread = segments["spread"].to_numpy(float)
    floor = np.median(spread)
    if not floor > 0:
        return frames
    weights: FloatArray = frames / np.maximum(spread, floor) ** 2
    return weights


def padded(values: FloatArray, length: int) -> FloatArray:
    """values extended to `length` by repeating the last one (no new transitions)."""
    return np.concatenate([values, np.full(length - len(values), values[-1])])


class OutputWriter:
    def __init__(
        self,
        out_dir: atomic.PathArg,
        files: list[str],
        params: Params | None,
        options: SignalOptions | None = None,
    ):
        self.out = Path(out_dir)
        (self.out / "traces").mkdir(parents=True, exist_ok=True)
        self.files = files
        self.names = unique_names(files)
        self.params = params
        self.reading = (options or SignalOptions()).record()
        self.version = __version__
        self.started = time.time()
        self.options: dict[str, Any] = {}  # opt-in fit options, recorded in the manifest

    def trace_name(self, fit: FileFit) -> str:
        """The file's name; for a file of several traces, with the trace's index."""
        name = self.names[fit.path]
        return name if fit.part is None else f"{name}_{fit.part}"

    def trace_path(self, fit: FileFit) -> Path:
        return self.out / "traces" / f"{self.trace_name(fit)}.csv"

    def write_trace(self, fit: FileFit) -> None:
        header = {
            "lumetra": self.version,
            "source": fit.label,
            "sha256": fit.sha256,
            "parameters": " ".join(f"{k}={fit.params[k]}" for k in PARAMETER_NAMES),
            "searched": self.params is None,
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

    def source_file(self, label: str) -> str:
        """The file a failure or skip label (file, or file#index) belongs to."""
        if label in self.names:
            return label
        path = label.rpartition("#")[0]
        return path if path in self.names else label

    def checksum(self, label: str) -> str:
        try:
            return atomic.sha256_of(self.source_file(label))
        except OSError:
            return ""

    def failure_table(self, failures: dict[str, str]) -> pd.DataFrame:
        rows = [
            {"file": label, "sha256": self.checksum(label), "error": error}
            for label, error in failures.items()
        ]
        table = pd.DataFrame(rows, columns=["file", "sha256", "error"])
        table["parameters"] = "searched" if self.params is None else str(self.params)
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
    ) -> BatchResult:
        notes: list[str] = []
        fits, failures = fitted.fits, fitted.failures
        model = None
        if hmm is not None and fits:
            model, why = hmm_stage.fit_or_note(fits, hmm)
            notes += [why] if why else []
            # The step fit's own dwell-time rates, for comparison, with the model's K.
            states = model.states if model is not None else states
        segments = pd.concat(
            [segment_rows(fit, self.trace_name(fit), self.version) for fit in fits]
            or [pd.DataFrame(columns=["file", "level"])],
            ignore_index=True,
        )
        paths = [fit.levels[fit.frame_segment] for fit in fits]
        kinetics: pd.DataFrame | None = None
        dwells: Dwells = {}
        if states and len(fits):
            distinct = np.unique(segments["level"].dropna()).size
            if distinct < states or segments["level"].isna().any():
                notes.append(
                    f"{distinct} distinct segment levels cannot make {states} states: "
                    "no kinetics; the spreadsheet holds each segment's own level"
                )
            else:
                centres, labels = batchcore.cluster_levels(
                    segments["level"].to_numpy(float), level_weights(segments), states
                )
                segments["state"] = labels
                segments["state_level"] = centres[labels]
                offsets = np.cumsum([0] + [len(fit.starts) for fit in fits])
                paths = [
                    centres[labels[offsets[i] : offsets[i + 1]]][fit.frame_segment]
                    for i, fit in enumerate(fits)
                ]
                kinetics, dwells = dwell_kinetics(
                    [(fit.time, p) for fit, p in zip(fits, paths)], double, shortest
                )
                kinetics.insert(0, "state", np.searchsorted(centres, kinetics["level"]))
                kinetics["lumetra_version"] = self.version

        if model is not None:
            paths = model.path_levels
        provenance = self.provenance(fitted, states, double, shortest)
        if hmm is not None:
            provenance["method"] = "hmm"
            provenance["hmm"] = hmm_stage.model_record(model, hmm.seed) if model else None
        written = []
        written.append(atomic.write_csv(self.out / "segments.csv", segments))
        written.append(atomic.write_parquet(self.out / "segments.parquet", segments, provenance))
        failure_table = self.failure_table(failures)
        written.append(atomic.write_csv(self.out / "failures.csv", failure_table))
        skipped = self.skipped_table(fitted.skipped)
        written.append(atomic.write_csv(self.out / "skipped.csv", skipped))
        if spreadsheet and fits:
            sheet, files, note = self.spreadsheet(fits, paths)
            if note:
                notes.append(note)
            written.append(
                atomic.write_excel(self.out / "ideal.xlsx", [("ideal", sheet), ("files", files)])
            )
        if model is not None and hmm is not None:
            names = [self.trace_name(fit) for fit in fits]
            written += hmm_stage.write_model_outputs(
                self.out, model, fits, names, hmm, self.version
            )
        if kinetics is not None:
            table = "dwell_kinetics.csv" if hmm is not None else "kinetics.csv"
            written.append(atomic.write_csv(self.out / table, kinetics))
            title = f"Dwell times: {len(fits)} traces, lumetra {self.version}"
            written.append(
                plot_dwell_times(dwells, kinetics, self.out / "dwell_times.html", shortest, title)
            )
        provenance["notes"] = notes
        provenance["outputs"] = [str(p.relative_to(self.out)) for p in written] + [
            str(self.trace_path(fit).relative_to(self.out)) for fit in fits
        ]
        atomic.write_json(self.out / "manifest.json", provenance)
        result = BatchResult(segments, failure_table, kinetics, dwells, fits, self.out, notes)
        result.skipped = skipped
        if hmm is not None:
            result.dwell_kinetics, result.hmm = kinetics, model
            result.kinetics = None if model is None else model.rate_table
        return result

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
            "parameters": "searched per file" if self.params is None else self.params,
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
        } | self.options

    def spreadsheet(
        self, fits: list[FileFit], paths: list[FloatArray]
    ) -> tuple[pd.DataFrame, pd.DataFrame, str | None]:
        """The 'ideal' and 'files' sheets. Traces share the time axis of the longest one;
        shorter ones hold their last level to its end, which adds no transition."""
        longest = max(fits, key=lambda f: len(f.time))
        length = len(longest.time)
        columns = {"time": longest.time}
        rows, mismatched = [], []
        for i, (fit, path) in enumerate(zip(fits, paths), start=1):
            column = f"Idl {i}"
            columns[column] = padded(path, length)
            if not np.allclose(fit.time, longest.time[: len(fit.time)]):
                mismatched.append(fit.label)
            rows.append(
                {"column": column, "file": fit.label, "sha256": fit.sha256, "lumetra": self.version}
                | {k: fit.params[k] for k in PARAMETER_NAMES}
            )
        note = None
        if mismatched:
            note = (
                f"{len(mismatched)} file(s) have another time axis than {longest.path}, whose "
                f"times the spreadsheet uses: {', '.join(mismatched[:5])}"
            )
        return pd.DataFrame(columns), pd.DataFrame(rows), note
