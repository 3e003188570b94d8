"""A batch's results as an OpenFRET dataset, written by the `openfret` package.

    export_openfret("results/")                        # results/openfret.json
    export_openfret("results/", "batch.json.zip")      # compressed, as openfret writes it

Each trace of the batch that has an idealised path becomes an OpenFRET trace: its channels
(``donor``, ``acceptor``, ``acceptor_direct``, or ``intensity``) whole, as its source file holds
them (read again, with the batch's reading options, and checked against the checksum the batch
recorded), each with the frame interval as ``exposure_time``. The format has no place of its own
for an idealisation, a classification or a time axis, so the trace's metadata holds them:

- ``name``, ``source`` (the file, ``#K`` for trace K of a file of several), ``sha256``;
- ``classification``: ``class``, ``usable`` (after the overrides in force) and ``reason`` of the
  screening, where the batch screened;
- ``idealisation``: ``method`` ("shared model" or "step fit"), ``signal`` (what was fitted:
  fret, donor, ...), ``frames`` (the frames fitted: the first ones, up to any photobleaching
  cut), ``levels`` (the level of every fitted frame), and for the shared model ``states`` (the
  kinetic state of every frame) and ``masked`` (the frames it did not read);
- ``time``: the time axis in seconds, only where it is not frame number times the
  ``exposure_time`` (lumetra.io.openfret reads it back).

The dataset's metadata holds, under ``lumetra``: the version, the output folder, the manifest
(options, inputs with their checksums, seeds), the model (hmm_model.json), the rates with their
intervals (kinetics.csv), the dwell checks, and the traces not exported (failed, skipped or
unreadable) with the reason. The file is written whole or not at all (lumetra.atomic); a trace
whose source cannot be read stops the export, naming both.
"""

from __future__ import annotations

import hashlib
import math
import os
import tempfile
from collections.abc import Hashable, Mapping
from datetime import date
from pathlib import Path
from typing import Any

import numpy as np

from lumetra.atomic import atomic_write
from lumetra.io._trace import BadTrace, Trace
from lumetra.results.files import open_regular
from lumetra.results.folder import ResultsFolder, load_folder

TARGETS = ("openfret",)
DEFAULT_NAME = "openfret.json"
ZIP = ".zip"
CHANNELS = ("donor", "acceptor", "acceptor_direct", "intensity")
REGULAR = 1e-9  # a time axis within this share of a frame of k * exposure_time is regular


def export_openfret(
    root: str | os.PathLike[str], target: str | os.PathLike[str] | None = None
) -> Path:
    """Writes the batch of the output folder `root` as an OpenFRET dataset to `target` (by
    default ROOT/openfret.json; a name ending in .zip is written compressed) and returns its
    path. ValueError (naming the file) when the folder or a trace's source cannot be read."""
    import openfret

    folder = load_folder(Path(root))
    path = Path(target) if target is not None else folder.root / DEFAULT_NAME
    dataset = build_dataset(folder)
    compress = path.name.endswith(ZIP)

    def write(temporary: str) -> None:
        if not compress:
            openfret.write_data(dataset, temporary)
            return
        # openfret names the JSON inside the archive after the file it is given.
        with tempfile.TemporaryDirectory(dir=path.parent) as work:
            inner = os.path.join(work, path.name[: -len(ZIP)])
            openfret.write_data(dataset, inner, compress=True)
            os.replace(inner + ZIP, temporary)

    return atomic_write(path, write)


def build_dataset(folder: ResultsFolder) -> Any:
    """The openfret.Dataset of the folder's traces with paths, in the order of the batch."""
    import openfret

    from lumetra import __version__

    inputs = {entry["name"]: entry for entry in folder.manifest.get("inputs", [])}
    rows = {r["name"]: r for r in folder.table.to_dict("records") if r["status"] == "fitted"}
    sources = _Sources(folder.manifest.get("reading") or {})
    traces = []
    for name in folder.names:
        row = rows[name]
        record = inputs.get(name, {})
        trace = sources.trace(name, str(row["file"]), record.get("sha256"))
        meta: dict[str, Any] = {"name": name, "source": str(row["file"])}
        meta |= {"sha256": record["sha256"]} if "sha256" in record else {}
        meta["classification"] = _classification(row)
        meta["idealisation"] = _idealisation(folder, name, record.get("signal"))
        step = _exposure(trace)
        if step is None and trace.frame_time is not None:
            meta["time"] = trace.time.tolist()
        channels = [
            openfret.Channel(kind, getattr(trace, kind).tolist(), exposure_time=step)
            for kind in CHANNELS
            if getattr(trace, kind) is not None
        ]
        traces.append(openfret.Trace(channels, metadata=openfret.Metadata(json_safe(meta))))
    two_colour = bool(traces) and all(t.two_colour for t in sources.read.values())
    lumetra_meta = {
        "version": __version__,
        "output_folder": str(folder.root),
        "manifest": folder.manifest,
        "model": folder.model,
        "rates": _records(folder.kinetics),
        "dwell_checks": _records(folder.dwell_checks),
        "not_exported": [
            {key: str(row[key]) for key in ("name", "file", "status", "reason")}
            for _, row in folder.table.iterrows()
            if row["name"] not in folder.paths
        ],
    }
    return openfret.Dataset(
        title=f"lumetra batch {folder.root.resolve().name}",
        traces=traces,
        description=f"{len(traces)} traces, their idealisation and screening, from {folder.root}",
        experiment_type="2-Color FRET" if two_colour else None,
        date=_started(folder.manifest),
        metadata=openfret.Metadata({"lumetra": json_safe(lumetra_meta)}),
    )


class _Sources:
    """The traces of the batch's source files, each file read once, with the batch's options."""

    def __init__(self, reading: dict[str, Any]) -> None:
        self.reading = reading
        self.files: dict[str, list[Trace | BadTrace]] = {}
        self.read: dict[str, Trace] = {}

    def trace(self, name: str, label: str, sha256: str | None) -> Trace:
        from lumetra.io.reading import read_each

        path, _, number = label.rpartition("#")
        path, index = (path, int(number)) if number.isdigit() and path else (label, 0)
        if path not in self.files:
            try:
                with open_regular(path) as file:
                    content = file.read()
            except (OSError, ValueError) as error:
                raise ValueError(
                    f"trace {name}: its source {path} cannot be read: {error}"
                ) from None
            if sha256 and hashlib.sha256(content).hexdigest() != sha256:
                raise ValueError(
                    f"trace {name}: its source {path} has changed since the batch read it "
                    f"(its SHA-256 is no longer {sha256})"
                )
            r = self.reading
            fmt = r.get("format") or "auto"
            try:
                found = read_each(path, fmt, r.get("columns"), r.get("frame_time"), content)
            except ValueError as error:
                raise ValueError(f"trace {name}: {error}") from None
            self.files[path] = list(found)
        found = self.files[path]
        trace = found[index] if index < len(found) else None
        if not isinstance(trace, Trace):
            why = f"it holds {len(found)} trace(s)" if trace is None else trace.error
            raise ValueError(f"trace {name}: trace {index} of {path} cannot be read: {why}")
        self.read[name] = trace
        return trace


def _exposure(trace: Trace) -> float | None:
    """The frame interval when the time axis is frame number times it (to REGULAR)."""
    if trace.frame_time is None or len(trace) < 2:
        return None
    step = float(f"{trace.frame_time:.12g}")
    regular = np.arange(len(trace)) * step
    return step if np.all(np.abs(trace.time - regular) <= REGULAR * step) else None


def _classification(row: Mapping[Hashable, Any]) -> dict[str, Any]:
    import pandas as pd

    found = {key: row[key] for key in ("class", "usable", "reason")}
    return {k: v for k, v in found.items() if not pd.isna(v) and v != ""}


def _idealisation(folder: ResultsFolder, name: str, signal: str | None) -> dict[str, Any]:
    path = folder.paths[name]
    modelled = name in folder.modelled
    found: dict[str, Any] = {
        "method": "shared model" if modelled else "step fit",
        "signal": signal,
        "frames": len(path.levels),
        "levels": path.levels.tolist(),
    }
    if path.states is not None:
        found["states"] = path.states.tolist()
    if path.masked is not None:
        found["masked"] = np.flatnonzero(path.masked).tolist()
    return found


def _records(frame: Any) -> list[dict[str, Any]] | None:
    return None if frame is None else list(frame.to_dict(orient="records"))


def _started(manifest: dict[str, Any]) -> date | None:
    try:
        return date.fromisoformat(str(manifest.get("started", ""))[:10])
    except ValueError:
        return None


def json_safe(value: Any) -> Any:
    """The value with numpy scalars as Python numbers and non-finite floats as None: JSON
    that every reader takes (Python's writer would spell them NaN and Infinity)."""
    if isinstance(value, dict):
        return {str(k): json_safe(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value
