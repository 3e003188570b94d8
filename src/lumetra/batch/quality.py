"""The screening of a batch's traces (lumetra.screening): each trace's class once every trace is
in, the user's overrides, and what it writes:

    quality.csv     one row per trace: name, file, trace, frames, class, usable, reason,
                    override, step_fit, the frames masked (and why), the noise scale the model
                    gave the trace, and every metric of the screening
    overrides.csv   (the user's, in the output folder or given): name, usable (true/false)
                    per trace to take in or leave out whatever its class; read on every run,
                    so a batch started again honours it without fitting anything again

Only usable traces reach the shared model, their masked frames as NaN (no observation).
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumetra import atomic
from lumetra.batch.types import TraceFit
from lumetra.progress import steps
from lumetra.screening import (
    ScreenSettings,
    Verdict,
    classify,
    masked_frames,
    reference_intensity,
)
from lumetra.stepfit import FloatArray

QUALITY = "quality.csv"
OVERRIDES = "overrides.csv"  # the output folder's own, written by the results page
TRUE_WORDS, FALSE_WORDS = ("true", "1", "yes", "include"), ("false", "0", "no", "exclude")
FIRST_COLUMNS = ["name", "file", "trace", "frames", "class", "usable", "reason", "override"]


class OverrideError(ValueError):
    """An override file that cannot be read as one: the message names the file and line."""


def read_overrides(path: Path) -> dict[str, bool]:
    """name -> usable, from a CSV file with the columns name and usable."""
    try:
        with path.open(newline="", encoding="utf-8") as f:
            rows = list(csv.reader(f))
    except (OSError, UnicodeDecodeError) as error:
        raise OverrideError(f"{path}: cannot be read: {error}") from error
    if not rows or [c.strip().lower() for c in rows[0][:2]] != ["name", "usable"]:
        raise OverrideError(f"{path}, line 1: the header must be 'name,usable'")
    found: dict[str, bool] = {}
    for line, row in enumerate(rows[1:], start=2):
        if not row or not "".join(row).strip():
            continue
        word = row[1].strip().lower() if len(row) > 1 else ""
        if len(row) != 2 or word not in TRUE_WORDS + FALSE_WORDS:
            raise OverrideError(
                f"{path}, line {line}: {','.join(row)[:80]!r}: expected a name and true or false"
            )
        found[row[0].strip()] = word in TRUE_WORDS
    return found


def write_overrides(path: Path, usable: dict[str, bool]) -> Path:
    """The override file of `usable` (name -> usable), written atomically."""
    frame = pd.DataFrame({"name": list(usable), "usable": list(usable.values())})
    return atomic.write_csv(path, frame)


@dataclass
class Screening:
    """The class of every trace of a batch (in the order of its fits) and the overrides."""

    verdicts: list[Verdict]
    overrides: dict[str, bool]
    reference: float
    settings: ScreenSettings
    override_file: str | None = None
    unknown: list[str] = field(default_factory=list)  # override names of no trace

    def usable(self, i: int, name: str) -> bool:
        return self.overrides.get(name, self.verdicts[i].usable)

    def record(self) -> dict[str, Any]:
        """For the manifest: thresholds, the override file and what it changed."""
        from lumetra import batchcore

        return {
            "settings": self.settings.record(),
            "masks": dict(batchcore.SCREEN_DEFAULTS),
            "reference_intensity": None if math.isnan(self.reference) else self.reference,
            "override_file": self.override_file,
            "overrides": dict(self.overrides),
            "unknown_overrides": self.unknown,
            "classes": {
                kind: sum(v.kind == kind for v in self.verdicts)
                for kind in sorted({v.kind for v in self.verdicts})
            },
        }


def screen_batch(
    fits: list[TraceFit],
    names: list[str],
    settings: ScreenSettings,
    overriding: tuple[Path, dict[str, bool]] | None,
) -> Screening:
    """Every trace's class against the batch, and the overrides (the file and what
    read_overrides found in it) if there are any."""
    reference = reference_intensity([fit.screen for fit in fits])
    verdicts = [
        classify(fit.screen, 1 if fit.note else distinct_levels(fit), reference, settings)
        for fit in steps(fits, "screening", len(fits), "trace")
    ]
    override_file, overrides = overriding or (None, {})
    known = set(names)
    unknown = [name for name in overrides if name not in known]
    overrides = {name: v for name, v in overrides.items() if name in known}
    shown = None if override_file is None else str(override_file)
    return Screening(verdicts, overrides, reference, settings, shown, unknown)


def distinct_levels(fit: TraceFit) -> int:
    return int(np.unique(np.round(fit.levels, 12)).size)


def masked_signal(fit: TraceFit, values: FloatArray) -> FloatArray:
    """The trace's values with its masked frames as NaN."""
    frames = masked_frames(fit.screen.get("masked", []), len(values))
    if frames.size == 0:
        return values
    out = np.array(values, dtype=float)
    out[frames] = np.nan
    return out


def quality_table(
    fits: list[TraceFit],
    names: list[str],
    screening: Screening,
    noise: dict[str, float],
) -> pd.DataFrame:
    """One row per trace (noise: the model's noise scale per name, NaN for the others). Held as
    columns while it is built: a dict per row took about 1 KB a trace, and the memory they
    leave behind stays with the process."""
    if not fits:
        return pd.DataFrame(columns=FIRST_COLUMNS)
    columns: dict[str, list[Any]] = {}  # in the order of first appearance, NaN where missing
    for i, (fit, name) in enumerate(zip(fits, names)):
        verdict = screening.verdicts[i]
        metrics = {k: v for k, v in fit.screen.items() if k not in ("masked", "two_colour")}
        override = screening.overrides.get(name)
        row = {
            "name": name,
            "file": fit.path,
            "trace": fit.part or 0,
            "frames": fit.frames,
            "class": verdict.kind,
            "usable": screening.usable(i, name),
            "reason": verdict.reason,
            "override": "" if override is None else ("include" if override else "exclude"),
            "step_fit": fit.note or "fitted",
            "trace_noise": noise.get(name, math.nan),
            "intensity_ratio": float(metrics.get("intensity", math.nan)) / screening.reference
            if screening.reference > 0
            else math.nan,
        } | metrics
        for key, value in row.items():
            column = columns.get(key)
            if column is None:  # a key first seen here: NaN for the traces before
                column = columns[key] = [math.nan] * i
            column.append(value)
        for column in columns.values():
            if len(column) == i:
                column.append(math.nan)
    return pd.DataFrame(columns)
