"""Reading the output directory of `lumetra fit` (lumetra.batch.outputs, lumetra.batch.hmm_stage)
back: the tables, the shared model, and the idealised path of every fitted trace.

    folder = load_folder("results/")
    folder.table            # one row per trace: fitted, failed or skipped, with the reason
    folder.paths["trace_1"] # its time axis, signal and the level of every frame

The batch's tables are pandas frames (None where the batch wrote none: a --classic batch has no
model, a folder of an earlier version no screening):

    table             one row per trace (TABLE_COLUMNS): name, status, class, usable, frames,
                      transitions, levels, score, reason, step_fit, file
    quality           quality.csv: each trace's class, whether it is usable and why, its masked
                      frames, the model's noise scale of it and every metric of the screening
    class_counts      status, class, traces, usable: the traces counted by status and class
    segments          segments.csv: every segment of every trace's step fit
    levels            the model's kinetic states: state, fret_level, level, spread
    kinetics          kinetics.csv: the rate constants with their 95% intervals, from_state,
                      to_state, rate, rate_lower, rate_upper, from_level, to_level (a --classic
                      batch: the dwell-time rates of each level)
    relaxation_times  the model's relaxation times: time, time_lower, time_upper, slowest first
    bic               every candidate model: states, spreads, log_likelihood, parameters, bic,
                      distinct, converged, abandoned, states_per_level, topology
    dwell_checks      dwell_checks.csv: per FRET level, its dwells against the rate matrix

`model` is hmm_model.json as read. In a notebook the folder shows itself as these tables and a
figure (lumetra.notebook), from the tables alone: at once for a batch of 10^5 traces.

The paths are the shared model's (hmm/NAME.csv, with the frames it did not read: `masked`) when
the batch fitted one, otherwise, and for the traces the screening kept from the model, the step
fit's (traces/NAME.csv, levels grouped into states when the batch did so). Each trace's class,
reason and whether it is usable come from quality.csv and the overrides in force
(lumetra.results.screening); the checks of the model's rates against the dwell times of its
paths from dwell_checks.csv (lumetra.hmm.checks), when the batch wrote it. Everything is read
once; a trace's step fit and source channels are read when it is chosen (`trace_view`). Files
are read as lumetra.results.files allows: regular ones, of bounded size, a trace's own inside
the folder; a trace whose path cannot be read is in the table as "unreadable", with the reason.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra.hmm.checks import COLUMNS as DWELL_CHECK_COLUMNS
from lumetra.hmm.tables import level_table, relaxation_table
from lumetra.results.files import CheckedPath, read_file, trace_file
from lumetra.results.screening import SHOWN, Screening, load_screening
from lumetra.stepfit import FloatArray, IntArray

BoolArray = npt.NDArray[np.bool_]

READERS = 2  # threads reading the per-trace files (pandas' parser leaves the GIL)
CHANNELS = ("donor", "acceptor", "acceptor_direct")
TABLE_COLUMNS = [
    "name",
    "status",
    "class",
    "usable",
    "frames",
    "transitions",
    "levels",
    "score",
    "reason",
    "step_fit",
    "file",
]


@dataclass(frozen=True)
class TracePath:
    """One trace as the kinetics see it: its time axis, signal and level of every frame, the
    frames the model did not read (None: it read them all) and the model's kinetic state of
    every frame (None: a step fit's path, or a model's without whole states >= 0)."""

    time: FloatArray
    signal: FloatArray
    levels: FloatArray
    masked: BoolArray | None = None
    states: IntArray | None = None

    def model_signal(self) -> FloatArray:
        """The signal as the model reads it: the masked frames NaN."""
        if self.masked is None or not self.masked.any():
            return self.signal
        return np.where(self.masked, np.nan, self.signal)


@dataclass(frozen=True)
class ResultsFolder:
    root: Path
    manifest: dict[str, Any]
    segments: pd.DataFrame
    table: pd.DataFrame  # TABLE_COLUMNS: one row per trace
    kinetics: pd.DataFrame | None  # kinetics.csv as written
    model: dict[str, Any] | None  # hmm_model.json, None for a batch without the shared model
    paths: dict[str, TracePath]  # by trace name, in the order of the batch
    screening: Screening
    modelled: frozenset[str]  # the traces whose paths are the shared model's
    dwell_checks: pd.DataFrame | None = None  # dwell_checks.csv (known columns), when written

    @property
    def names(self) -> list[str]:
        return list(self.paths)

    @cached_property
    def quality(self) -> pd.DataFrame | None:
        held = self.screening.quality
        return None if held is None else held.reset_index()

    @cached_property
    def class_counts(self) -> pd.DataFrame:
        """Traces per status and class ("" for none), and how many are usable (a folder without
        screening: all of those fitted)."""
        usable = self.table["usable"].astype("boolean").fillna(self.screening.quality is None)
        counted = self.table.assign(usable=usable & (self.table["status"] == "fitted"))
        grouped = counted.groupby(["status", "class"], sort=True)["usable"]
        return grouped.agg(traces="size", usable="sum").reset_index()

    @property
    def levels(self) -> pd.DataFrame | None:
        if self.model is None:
            return None
        model = self.model
        return level_table(model["levels"], model["spreads"], model.get("state_levels"))

    @property
    def relaxation_times(self) -> pd.DataFrame | None:
        model = self.model
        if model is None or "relaxation_times" not in model:
            return None
        times = [model.get(key, []) for key in ("relaxation_lower", "relaxation_upper")]
        return relaxation_table(model["relaxation_times"], *times)

    @property
    def bic(self) -> pd.DataFrame | None:
        """Every candidate model (a folder of an earlier version: the smallest BIC per K)."""
        if self.model is None:
            return None
        if self.model.get("candidates"):
            return pd.DataFrame(self.model["candidates"])
        per_k = {int(k): float(v) for k, v in self.model.get("bic", {}).items()}
        return pd.DataFrame({"states": list(per_k), "bic": list(per_k.values())})

    def __repr__(self) -> str:  # not the paths of every trace
        model = "" if self.model is None else f", a {self.model.get('states')}-state model"
        return f"ResultsFolder({str(self.root)!r}: {len(self.table)} traces{model})"

    def _repr_html_(self) -> str:
        from lumetra.notebook import folder_html  # only where a notebook asks

        return folder_html(self)

    def usable(self, overrides: dict[str, bool] | None = None) -> dict[str, bool]:
        """Whether each trace with a path is usable, after `overrides` (by default those the
        next `lumetra fit` on the folder reads)."""
        return self.screening.usable(self.names, overrides)


def read_table(
    path: Path, columns: list[str] | Callable[[str], bool] | None = None
) -> pd.DataFrame | None:
    """A CSV the batch wrote ('#' lines first), or None when it is missing."""
    if not path.exists():
        return None
    return read_file(path, lambda file: pd.read_csv(file, comment="#", usecols=columns))


def whole_states(column: pd.Series | None) -> IntArray | None:
    """A path's states as integers, or None when any is missing, negative, not whole or
    beyond the integers a float holds exactly."""
    states = None if column is None else pd.to_numeric(column, errors="coerce").to_numpy(float)
    if states is None or not np.all((states >= 0) & (states < 2.0**53)):
        return None
    if not np.all(states == np.floor(states)):
        return None
    return states.astype(np.int64)


def read_path(path: Path, signal: str) -> TracePath:
    columns = {"time", signal, "level", "masked", "state"}
    frame = read_file(
        path, lambda file: pd.read_csv(file, comment="#", usecols=columns.__contains__)
    )
    missing = sorted(columns - {"masked", "state"} - set(frame.columns))
    if missing:
        raise ValueError(f"{path}: no column {', '.join(missing)}")
    masked = frame["masked"].to_numpy(float) != 0 if "masked" in frame else None
    return TracePath(
        frame["time"].to_numpy(float),
        frame[signal].to_numpy(float),
        frame["level"].to_numpy(float),
        masked,
        whole_states(frame.get("state")),
    )


def read_paths(
    root: Path, folder: str, signal: str, names: list[str]
) -> tuple[dict[str, TracePath], dict[str, str]]:
    """The paths in FOLDER/NAME.csv that could be read, and why the others could not."""

    def read(name: str) -> TracePath | str:
        try:
            return read_path(trace_file(root, folder, name), signal)
        except (OSError, ValueError) as error:
            return str(error)

    with ThreadPoolExecutor(READERS) as pool:
        loaded = dict(zip(names, pool.map(read, names)))
    paths = {n: p for n, p in loaded.items() if isinstance(p, TracePath)}
    return paths, {n: p for n, p in loaded.items() if isinstance(p, str)}


def read_manifest(path: Path) -> dict[str, Any]:
    """manifest.json; ValueError naming it, and the entry at fault, when the batch would not
    have written it so."""
    manifest: dict[str, Any] = read_file(path, json.load)
    inputs = manifest.get("inputs", []) if isinstance(manifest, dict) else None
    if not isinstance(inputs, list):
        raise ValueError(f"{path} is no manifest of lumetra fit: an object with a list of inputs")
    for number, entry in enumerate(inputs):
        if not isinstance(entry, dict) or not all(
            isinstance(entry.get(key), str) for key in ("name", "file")
        ):
            raise ValueError(f"{path}: input {number} has no name and file: {str(entry)[:80]}")
    return manifest


def trace_names(manifest: dict[str, Any], segments: pd.DataFrame) -> list[str]:
    """The fitted traces in the order of the batch."""
    names = [entry["name"] for entry in manifest.get("inputs", [])]
    return names or [str(n) for n in dict.fromkeys(segments.get("name", pd.Series(dtype=str)))]


def step_paths(
    root: Path, names: list[str], segments: pd.DataFrame
) -> tuple[dict[str, TracePath], dict[str, str]]:
    """The step fit's paths (traces/NAME.csv) and why any could not be read; where the batch
    grouped levels into states, each segment's level replaced by its state's (segments.csv)."""
    paths, unreadable = read_paths(root, "traces", "intensity", names)
    if "state_level" not in segments:
        return paths, unreadable
    for name, rows in segments.groupby("name", sort=False):
        path = paths.get(str(name))
        if path is None:
            continue
        state_of = dict(zip(rows["level"], rows["state_level"]))
        distinct, frame_level = np.unique(path.levels, return_inverse=True)
        states = np.array([state_of.get(level, level) for level in distinct], dtype=float)
        paths[str(name)] = TracePath(path.time, path.signal, states[frame_level])
    return paths, unreadable


def trace_table(
    names: list[str],
    manifest: dict[str, Any],
    segments: pd.DataFrame,
    paths: dict[str, TracePath],
    unreadable: dict[str, str],
    failures: pd.DataFrame | None,
    skipped: pd.DataFrame | None,
    screening: Screening,
) -> pd.DataFrame:
    """One row per trace of the batch; transitions and levels are those of the paths, class,
    reason and step fit those of quality.csv (empty without it), usable after the overrides in
    force. A trace whose step fit was not made has its own row: not that of skipped.csv too."""
    files = {entry["name"]: entry["file"] for entry in manifest.get("inputs", [])}
    usable = screening.usable(names) if screening.quality is not None else {}
    first = segments.groupby("name", sort=False)["score"].first() if len(segments) else None
    scores = {} if first is None else {str(k): float(v) for k, v in first.items()}
    rows = []
    for name in names:
        if name in unreadable:
            entry = {"name": name, "file": files.get(name, name), "status": "unreadable"}
            rows.append(entry | {"reason": unreadable[name]})
            continue
        levels = paths[name].levels
        rows.append(
            {
                "name": name,
                "file": files.get(name, name),
                "status": "fitted",
                "frames": len(levels),
                "transitions": int(np.count_nonzero(np.diff(levels))),
                "levels": int(np.unique(levels).size),
                "score": float(scores.get(name, np.nan)),
                "usable": usable.get(name),
            }
            | {column: screening.value(name, column) or "" for column in SHOWN}
        )
    for status, frame, column in (("failed", failures, "error"), ("skipped", skipped, "reason")):
        for row in [] if frame is None else frame.itertuples():
            label = str(row.file)
            if label in files.values():
                continue
            rows.append(
                {"name": Path(label.split("#")[0]).stem, "file": label, "status": status}
                | {"reason": str(getattr(row, column))}
            )
    table = pd.DataFrame(rows, columns=TABLE_COLUMNS)
    table[["class", "step_fit"]] = table[["class", "step_fit"]].fillna("")
    return table.astype({"frames": "Int64", "transitions": "Int64", "levels": "Int64"})


def load_folder(root: str | Path) -> ResultsFolder:
    """The results of one batch; ValueError for a directory that holds none."""
    root = Path(root)
    manifest_path = root / "manifest.json"
    if not manifest_path.exists():
        raise ValueError(f"{root} holds no manifest.json: not an output directory of lumetra fit")
    manifest = read_manifest(manifest_path)
    segments = read_table(root / "segments.csv")
    segments = pd.DataFrame(columns=["name"]) if segments is None else segments
    names = trace_names(manifest, segments)
    model_path = root / "hmm_model.json"
    model = read_file(model_path, json.load) if model_path.exists() else None
    screening = load_screening(root)
    modelled = [n for n in names if model is not None and modelled_by_batch(screening, n)]
    paths, unreadable = read_paths(root, "hmm", "signal", modelled)
    stepped, unread = step_paths(root, [n for n in names if n not in modelled], segments)
    paths = {n: paths[n] if n in paths else stepped[n] for n in names if n in paths | stepped}
    unreadable |= unread
    table = trace_table(
        names,
        manifest,
        segments,
        paths,
        unreadable,
        read_table(root / "failures.csv"),
        read_table(root / "skipped.csv"),
        screening,
    )
    kinetics = read_table(root / "kinetics.csv")
    shared = frozenset(modelled) & set(paths)
    checks = read_table(root / "dwell_checks.csv", DWELL_CHECK_COLUMNS.__contains__)
    return ResultsFolder(
        root, manifest, segments, table, kinetics, model, paths, screening, shared, checks
    )


def modelled_by_batch(screening: Screening, name: str) -> bool:
    """Whether the batch's model read the trace (hmm/NAME.csv): the traces usable when it ran;
    in a folder without screening, all."""
    usable = screening.value(name, "usable")
    return usable is None or usable == "True"


@dataclass(frozen=True)
class TraceView:
    """What the page draws of one chosen trace."""

    name: str
    time: FloatArray
    signal: FloatArray
    step: FloatArray | None  # the step fit's level of every frame
    model: FloatArray | None  # the shared model's level of every frame
    channels: dict[str, FloatArray]  # donor, acceptor, ... of the source, when it had them
    source_error: str = ""  # why the source's channels could not be read
    masked: BoolArray | None = None  # the frames the shared model did not read


def source_label(label: str) -> tuple[str, int]:
    """The source file and trace index of a trace's label: FILE, or FILE#K for trace K."""
    path, _, number = label.rpartition("#")
    return (path, int(number)) if number.isdigit() and path else (label, 0)


def source_channels(label: str, frames: int) -> tuple[dict[str, FloatArray], str]:
    """The two-colour channels of the trace's source file, cut to the frames fitted, or none
    and why not: the file is gone or cannot be read (none, and no reason, when it has a single
    channel)."""
    from lumetra.io import BadTrace
    from lumetra.io.reading import read_each

    path, index = source_label(label)
    try:
        with CheckedPath(path) as source:
            traces = read_each(source)
    except (OSError, ValueError) as error:
        return {}, str(error)
    if index >= len(traces):
        return {}, f"{path} holds {len(traces)} trace(s), none numbered {index}"
    trace = traces[index]
    if isinstance(trace, BadTrace):  # another trace of the file may be bad: only its own matters
        return {}, str(trace.error)
    found = {name: getattr(trace, name) for name in CHANNELS}
    return {name: values[:frames] for name, values in found.items() if values is not None}, ""


def trace_view(folder: ResultsFolder, name: str) -> TraceView:
    path = folder.paths[name]
    step_path = trace_file(folder.root, "traces", name)
    step_file = read_table(step_path, ["intensity", "level"])
    step = None if step_file is None else step_file["level"].to_numpy(float)
    model = path.levels if name in folder.modelled else None
    label = str(folder.table.loc[folder.table["name"] == name, "file"].iloc[0])
    channels, source_error = source_channels(label, len(path.time))
    return TraceView(name, path.time, path.signal, step, model, channels, source_error, path.masked)
