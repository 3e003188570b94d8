"""The screening of a results folder (lumetra.batch.quality) read back: every trace's class,
reason and step fit from quality.csv, the overrides the next `lumetra fit` on the folder reads
(OUT/overrides.csv, or those the batch was given when the folder has none), and so whether each
trace is usable now. A folder of a version without screening has no quality.csv: its traces have
no class, and all of them are usable."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path

import pandas as pd

from lumetra.batch.quality import (
    OVERRIDES,
    QUALITY,
    OverrideError,
    read_overrides,
    write_overrides,
)
from lumetra.results.files import CheckedPath, read_file
from lumetra.screening import USABLE

SHOWN = ["class", "reason", "step_fit"]  # the columns of quality.csv the trace table shows
FITTED = "fitted"  # quality.csv's step_fit of a trace whose step fit was made
OVERRIDE_WORDS = {"include": True, "exclude": False}


@dataclass(frozen=True)
class Screening:
    """quality.csv by trace name (None: the folder has none) and the overrides in force."""

    quality: pd.DataFrame | None
    overrides: dict[str, bool] = field(default_factory=dict)

    def verdict(self, name: str) -> bool:
        """Whether the trace's class is usable (a trace without a class is)."""
        kind = self.value(name, "class")
        return kind is None or kind in USABLE

    def usable(
        self, names: list[str], overrides: Mapping[str, bool] | None = None
    ) -> dict[str, bool]:
        """Whether each of `names` is usable after `overrides` (by default those in force)."""
        chosen = self.overrides if overrides is None else overrides
        return {name: chosen.get(name, self.verdict(name)) for name in names}

    def value(self, name: str, column: str) -> str | None:
        if self.quality is None or name not in self.quality.index or column not in self.quality:
            return None
        value: object = self.quality.at[name, column]
        return None if value is None or value != value else str(value)  # NaN: empty

    def step_fitted(self, name: str) -> bool:
        """False for a trace whose step fit was not made (its model started from the others')."""
        return self.value(name, "step_fit") in (None, FITTED)


def read_quality(root: Path) -> pd.DataFrame | None:
    """quality.csv indexed by trace name (names read as text), or None when there is none."""
    path = root / QUALITY
    if not path.exists():
        return None
    frame = read_file(path, lambda file: pd.read_csv(file, dtype={"name": str}))
    for column in ("class", "reason", "step_fit", "override"):
        if column in frame:
            frame[column] = (
                frame[column].astype(object).where(frame[column].notna(), "").astype(str)
            )
    return frame.drop_duplicates("name").set_index("name")


def saved_overrides(root: Path) -> dict[str, bool] | None:
    """OUT/overrides.csv, or None when there is none; ValueError naming it when it cannot be
    read (the batch would refuse it too)."""
    path = root / OVERRIDES
    if not path.exists():
        return None
    with CheckedPath(path) as checked:
        try:
            return read_overrides(Path(os.fspath(checked)))
        except OverrideError as error:
            raise ValueError(str(error).replace(os.fspath(checked), str(path))) from None


def load_screening(root: Path) -> Screening:
    """The folder's screening; without overrides.csv, the overrides its batch was given."""
    quality = read_quality(root)
    overrides = saved_overrides(root)
    if overrides is None:
        given: dict[str, str] = {}
        if quality is not None and "override" in quality:
            given = {str(n): str(w) for n, w in quality["override"].items()}
        overrides = {n: OVERRIDE_WORDS[w] for n, w in given.items() if w in OVERRIDE_WORDS}
    return Screening(quality, overrides)


def save_overrides(root: Path, overrides: Mapping[str, bool]) -> Path:
    """OUT/overrides.csv of `overrides` (name -> usable), written atomically."""
    return write_overrides(root / OVERRIDES, dict(overrides))
