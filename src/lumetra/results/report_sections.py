"""The sections of the report (lumetra.results.report) told from a results folder: the inputs
with their checksums, the screening, the model and its checks. Each says what the folder
lacks (a batch of the classic method has no shared model) instead of leaving it out."""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from typing import Any

import numpy as np
import pandas as pd

from lumetra.results.files import open_regular
from lumetra.results.folder import ResultsFolder, read_table, source_label
from lumetra.results.kinetics import Kinetics, bic_table
from lumetra.results.model_notes import check_summary, convergence_warning
from lumetra.results.report_html import (
    Section,
    emphasis,
    escape,
    folded,
    key_values,
    number,
    paragraph,
    table,
)
from lumetra.screening import CLASSES, USABLE

UNREADABLE = "not readable"
NO_STEP_FIT = "read, no step fit"
INPUT_COLUMNS = ["status", "file", "name", "sha256", "format", "signal", "frames", "note"]
RATE_COLUMNS = ["from_state", "to_state", "from_level", "to_level", "rate"]
INTERVAL = ["rate_lower", "rate_upper"]
CLASSIC_COLUMNS = ["state", "level", "dwells", "mean_dwell", "rate", *INTERVAL, "note"]
CANDIDATE_COLUMNS = [
    "states",
    "states_per_level",
    "topology",
    "spreads",
    "parameters",
    "log_likelihood",
    "bic",
    "converged",
    "abandoned",
]


SCORES = ("log_likelihood", "bic")  # of the candidates: large numbers whose differences matter
SCORE_DECIMALS = 1


def sha256_or_reason(path: str) -> str:
    """The file's SHA-256, or UNREADABLE (gone, no regular file, too large, no permission)."""
    digest = hashlib.sha256()
    try:
        with open_regular(path) as file:
            for block in iter(lambda: file.read(1 << 20), b""):
                digest.update(block)
    except (OSError, ValueError):
        return UNREADABLE
    return digest.hexdigest()


def stored_hash(value: object) -> str:
    return value if isinstance(value, str) and value else ""


def input_table(folder: ResultsFolder, checksum: Callable[[str], str]) -> pd.DataFrame:
    """Every input of the batch: fitted (the manifest), failed (failures.csv) and skipped
    (skipped.csv; a trace modelled without its step fit keeps its row and the reason as its
    note), with the checksum recorded or, where none was, `checksum` of its file."""
    rows: dict[str, dict[str, Any]] = {}
    for entry in folder.manifest.get("inputs", []):
        rows[entry["file"]] = {"status": "fitted", **entry}
    for status, name, column in (("failed", "failures", "error"), ("skipped", "skipped", "reason")):
        found = read_table(folder.root / f"{name}.csv")
        for row in [] if found is None else found.to_dict(orient="records"):
            label = str(row.get("file", ""))
            known = rows.get(label)
            if known is not None:  # modelled from the others' states
                known["status"], known["note"] = NO_STEP_FIT, str(row.get(column, ""))
                known["sha256"] = stored_hash(known.get("sha256")) or stored_hash(row.get("sha256"))
                continue
            rows[label] = {
                "status": status,
                "file": label,
                "sha256": stored_hash(row.get("sha256")),
                "note": str(row.get(column, "")),
            }
    hashes: dict[str, str] = {}
    for entry in rows.values():
        if not stored_hash(entry.get("sha256")):
            path = source_label(entry["file"])[0]
            if path not in hashes:
                hashes[path] = checksum(path)
            entry["sha256"] = hashes[path]
    return pd.DataFrame(list(rows.values()), columns=INPUT_COLUMNS)


def inputs_section(folder: ResultsFolder, checksum: Callable[[str], str]) -> Section:
    frame = input_table(folder, checksum)
    counts = frame["status"].value_counts()
    summary = ", ".join(f"{counts[s]} {s}" for s in counts.index) or "none"
    computed = frame["sha256"] == UNREADABLE
    text = (
        f"{len(frame)} inputs ({summary}). Checksums (SHA-256) are those the batch recorded of "
        "the bytes it read; where it recorded none, the file's as it is now, or "
        f'"{UNREADABLE}".'
    )
    if computed.any():
        text += f" {int(computed.sum())} input(s) could not be read now."
    reading = folder.manifest.get("reading")
    body = paragraph(text) + folded(
        f"The {len(frame)} inputs", table(frame, "inputs", fixed=["sha256"]), len(frame)
    )
    if isinstance(reading, dict):
        body += "<h3>How the files were read</h3>" + key_values(reading, "reading")
    return Section("inputs", "Inputs", body)


def usable_column(quality: pd.DataFrame) -> pd.Series:
    """Whether each trace of quality.csv was usable in the batch (its overrides included)."""
    if "usable" in quality:
        return quality["usable"].astype(str) == "True"
    return quality["class"].astype(str).isin(USABLE)


def class_counts(quality: pd.DataFrame) -> pd.DataFrame:
    """Traces per class and how many of them were usable (overrides included)."""
    classes = quality["class"].astype(str)
    usable = usable_column(quality)
    order = [c for c in CLASSES if c in set(classes)] + sorted(set(classes) - set(CLASSES))
    return pd.DataFrame(
        {
            "class": order,
            "usable class": [c in USABLE for c in order],
            "traces": [int((classes == c).sum()) for c in order],
            "usable": [int((usable & (classes == c)).sum()) for c in order],
        }
    )


def screening_section(folder: ResultsFolder) -> Section:
    quality = folder.screening.quality
    if quality is None or "class" not in quality:
        text = "This batch has no screening (quality.csv): every fitted trace was usable."
        return Section("screening", "Screening", paragraph(text, "absent"))
    counts = class_counts(quality)
    record = folder.manifest.get("screening")
    record = record if isinstance(record, dict) else {}
    overrides = record.get("overrides") or {}
    given = f" (from {record['override_file']})" if record.get("override_file") else ""
    text = (
        f"{int(counts['traces'].sum())} traces screened, {int(counts['usable'].sum())} of them "
        f"usable: those of the classes {' and '.join(USABLE)}, after {len(overrides)} "
        f"override(s){given} that took traces in or left them out. "
        + (
            "The shared model read the usable traces, without their masked frames."
            if folder.manifest.get("method") == "hmm"
            else "The classic method's dwell-time rates take every step-fitted trace, usable "
            "or not."
        )
    )
    body = paragraph(text) + table(counts, "classes")
    settings = record.get("settings")
    if isinstance(settings, dict):
        body += folded("Screening thresholds", key_values(settings, "thresholds"), len(settings))
    return Section("screening", "Screening", body)


def state_table(model: dict[str, Any]) -> pd.DataFrame:
    levels = np.asarray(model["levels"], float)
    owner = model.get("state_levels") or list(range(levels.size))
    return pd.DataFrame(
        {
            "state": range(levels.size),
            "level": owner,
            "FRET level": levels,
            "spread": np.asarray(model["spreads"], float),
            "start probability": np.asarray(model.get("start", [np.nan] * levels.size), float),
        }
    )


def relaxation_table(model: dict[str, Any]) -> pd.DataFrame:
    times = model.get("relaxation_times") or []
    return pd.DataFrame(
        {
            "mode": range(1, len(times) + 1),
            "relaxation time": times,
            "lower": model.get("relaxation_lower") or [np.nan] * len(times),
            "upper": model.get("relaxation_upper") or [np.nan] * len(times),
        }
    )


def chosen_candidates(model: dict[str, Any]) -> pd.DataFrame:
    frame = pd.DataFrame(model.get("candidates") or [])
    return frame[[c for c in CANDIDATE_COLUMNS if c in frame]]


def plus(counts: object) -> str:
    """States per level as the candidates table writes them: 2+1."""
    return "+".join(map(str, counts)) if isinstance(counts, list) else str(counts)


def model_summary(model: dict[str, Any]) -> str:
    levels = ", ".join(number(v) for v in (model.get("fret_levels") or model["levels"]))
    parts = [
        f"{model['states']} kinetic states on the FRET levels {levels}",
        f"states per level {plus(model.get('states_per_level'))}",
        f"topology {model.get('topology')}",
        f"frame time {number(model.get('frame_time'))}",
        f"{model.get('frames')} frames",
        f"log-likelihood {number(model.get('log_likelihood'))}",
        f"outlier share {number(model.get('outlier_share', 0.0))}",
    ]
    intervals = (
        f"95% intervals from {model.get('resamples')} bootstrap resamples of the traces "
        f"({model.get('bootstrap_method')}, seed {model.get('seed')})"
        if model.get("resamples")
        else "no bootstrap: no intervals"
    )
    return f"The shared model: {'; '.join(parts)}. {intervals}."


def model_section(folder: ResultsFolder, kinetics: Kinetics) -> Section:
    model = folder.model
    rates = kinetics.rates
    if model is None:
        return Section("model", "Model", absent_model(folder, rates))
    body = paragraph(model_summary(model))
    warning = convergence_warning(model)
    if warning:
        body += f'<p class="problem">{emphasis(warning)}</p>'
    body += "<h3>States</h3>" + table(state_table(model), "states")
    shown = [c for c in RATE_COLUMNS + INTERVAL if c in rates]
    body += (
        "<h3>Rate constants (per unit of the traces' time axis, 95% intervals)</h3>"
        + table(rates[shown], "rates")
        + "<h3>Relaxation times</h3>"
        + table(relaxation_table(model), "relaxation")
        + "<h3>K and BIC</h3>"
        + paragraph(
            "K FRET levels of one kinetic state each, the smaller BIC of the two spread kinds "
            "(one for all states, one per state); the K of the model's levels is marked. Every "
            "candidate fitted, with its states per level and topology, is listed below."
        )
        + table(bic_table(kinetics), "bic", decimals={"BIC": SCORE_DECIMALS})
    )
    candidates = chosen_candidates(model)
    if len(candidates):
        body += folded(
            f"Every candidate model ({len(candidates)})",
            table(candidates, "candidates", decimals=dict.fromkeys(SCORES, SCORE_DECIMALS)),
            len(candidates),
        )
    return Section("model", "Model", body)


def absent_model(folder: ResultsFolder, rates: pd.DataFrame) -> str:
    """What a folder without the shared model shows in its place."""
    if folder.manifest.get("method") == "hmm":
        failure = (folder.manifest.get("output_failures") or {}).get("hidden Markov model")
        why = f": {failure}" if failure else ""
        return paragraph(f"The shared model of this batch could not be fitted{why}.", "problem")
    body = paragraph(
        "This batch was fitted with the classic method (lumetra fit --classic): there is no "
        "shared model, so no states' levels and spreads, relaxation times or BIC table. The "
        "rates are those of the dwell times on the step fit's levels, grouped into "
        f"{folder.manifest.get('states')} states.",
        "absent",
    )
    if rates.empty:
        return body + paragraph("No dwell-time rates: kinetics.csv holds none.", "absent")
    shown = [c for c in CLASSIC_COLUMNS if c in rates]
    return body + "<h3>Dwell-time rates (95% intervals)</h3>" + table(rates[shown], "rates")


def checks_section(folder: ResultsFolder, figure: str) -> Section:
    """dwell_checks.csv, the re-simulation check and the dwell-time figure (`figure`, HTML)."""
    checks = folder.dwell_checks
    if checks is None:
        text = (
            "No model checks: the batch has no shared model."
            if folder.model is None
            else "No model checks: the batch wrote no dwell_checks.csv."
        )
        return Section("checks", "Model checks", paragraph(text, "absent"))
    body = paragraph(
        "Per FRET level, the dwells of the model's paths (not those cut by a trace's ends): "
        "cvm, their Cramér-von Mises distance from the distribution the rate matrix implies "
        "(about 0 when they follow it); exponentials, the number of exponentials (1-3) BIC "
        "prefers for them; cvm_single, their distance from the best single exponential."
    ) + table(checks, "dwell-checks")
    check = (folder.model or {}).get("model_check")
    if isinstance(check, dict):
        body += f"<p>{emphasis(check_summary(check))}</p>"
    return Section("checks", "Model checks", body + figure)


def notes_section(folder: ResultsFolder, problems: list[str]) -> Section:
    """The batch's notes, the outputs it could not write and the report's own problems."""
    notes = [str(n) for n in folder.manifest.get("notes") or []]
    failures = folder.manifest.get("output_failures") or {}
    notes += [f"{name} not written: {why}" for name, why in failures.items()]
    notes += [f"This report: {problem}" for problem in problems]
    if not notes:
        return Section("notes", "Notes", paragraph("None.", "absent"))
    items = "".join(f"<li>{escape(note)}</li>" for note in notes)
    return Section("notes", "Notes", f"<ul>{items}</ul>")
