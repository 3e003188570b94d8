"""What a batch fit hands around: the fit of one file, the result of a batch; the checks of the
fit parameters, search bounds and criterion are lumetra.stepfit's, named here too."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import pandas as pd

from lumetra.stepfit import (
    FitRejected,
    FloatArray,
    IntArray,
    Params,
    ParamsInput,
    SearchBounds,
    check_criterion,
    normalise_params,
    search_arguments,
)

__all__ = [
    "BatchResult",
    "FileFit",
    "FitRejected",
    "Fitted",
    "HmmSettings",
    "FloatArray",
    "IntArray",
    "Params",
    "ParamsInput",
    "SearchBounds",
    "SourceFit",
    "check_criterion",
    "normalise_params",
    "search_arguments",
]


@dataclass
class FileFit:
    """The fit of one trace file, as a worker hands it back."""

    path: str
    sha256: str
    params: Params
    score: float
    time: FloatArray
    intensity: FloatArray
    starts: IntArray  # first frame of each segment
    ends: IntArray  # one past the last frame
    levels: FloatArray
    spreads: FloatArray
    frame_segment: IntArray  # segment of every frame in the idealised trace
    seconds: float
    # Which trace of the file this is: None for a file of one trace, else its 0-based index.
    part: int | None = None
    # How the trace was read: format, signal, frames before the cut, cut frame, corrections.
    reading: dict[str, Any] = field(default_factory=dict)

    def arrays(self) -> tuple[FloatArray, FloatArray]:
        """(time, intensity), read at once where they are stored apart."""
        return self.time, self.intensity

    @property
    def label(self) -> str:
        """The file, with the trace's index for a file of several traces."""
        return self.path if self.part is None else f"{self.path}#{self.part}"


@dataclass
class SourceFit:
    """What a worker hands back for one file: the fits of its traces, and the traces it
    skipped or could not fit, by label (file#index for files of several traces)."""

    fits: list[FileFit] = field(default_factory=list)
    skipped: dict[str, str] = field(default_factory=dict)
    failed: dict[str, str] = field(default_factory=dict)


@dataclass
class Fitted:
    """The traces of a batch: fits in input order, failures and skipped traces by label."""

    fits: list[FileFit] = field(default_factory=list)
    failures: dict[str, str] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)


@dataclass
class BatchResult:
    segments: pd.DataFrame
    failures: pd.DataFrame
    kinetics: pd.DataFrame | None = None
    dwells: dict[float, FloatArray] = field(default_factory=dict)
    fits: list[FileFit] = field(default_factory=list)
    out_dir: Path | None = None
    notes: list[str] = field(default_factory=list)
    timings: dict[str, float] = field(default_factory=dict)  # wall seconds: fits, outputs
    skipped: pd.DataFrame | None = None  # traces not fitted, with the reason
    # With the shared hidden Markov model: the model (lumetra.hmm.fit.HmmResult) and the step
    # fit's dwell-time rates beside its own in `kinetics`.
    hmm: Any = None
    dwell_kinetics: pd.DataFrame | None = None
    # Summary outputs that could not be written, and why (the manifest records them too).
    output_failures: dict[str, str] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        """Every file fitted and every output written."""
        return bool(self.failures.empty) and not self.output_failures


@dataclass(frozen=True)
class HmmSettings:
    """The shared hidden Markov model of a batch: K (None: the K of 1 ... max_states with the
    smallest BIC), the bootstrap resamples of the rate intervals and their seed."""

    states: int | None = None
    max_states: int = 4
    bootstrap: int = 200
    seed: int = 0

    def __post_init__(self) -> None:
        from lumetra.hmm.limits import check_settings

        check_settings(self.states, self.max_states, self.bootstrap, self.seed)
