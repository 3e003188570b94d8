"""What a batch fit hands around: the fit of one file, the result of a batch, and the checks
of the fit parameters, search bounds and criterion."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Union, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra.batchcore import CRITERIA, PARAMETER_NAMES, SEARCH_KEYWORDS

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
# The four fit parameters by name; halfWinLen and filterWidth are integers.
Params = dict[str, float]
ParamsInput = Union[dict[str, float], Sequence[float]]
# {parameter: (min, max, step)} of the parameter search.
SearchBounds = Mapping[str, tuple[float, float, float]]


class FitRejected(RuntimeError):
    """The step fit found fewer segments than the trace needs (score batchcore.REJECTED_SCORE)."""


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

    @property
    def ok(self) -> bool:
        return bool(self.failures.empty)


@overload
def normalise_params(params: None) -> None: ...
@overload
def normalise_params(params: ParamsInput) -> Params: ...
def normalise_params(params: ParamsInput | None) -> Params | None:
    """The four fit parameters as a dict, window sizes as integers; None stays None."""
    if params is None:
        return None
    if not isinstance(params, dict):
        params = dict(zip(PARAMETER_NAMES, params))
    missing = [name for name in PARAMETER_NAMES if name not in params]
    if missing:
        raise ValueError(f"fit parameters lack {', '.join(missing)}")
    out = {name: float(params[name]) for name in PARAMETER_NAMES}
    out["halfWinLen"] = round(out["halfWinLen"])
    out["filterWidth"] = round(out["filterWidth"])
    if out["halfWinLen"] < 1:
        raise ValueError("halfWinLen must be at least 1")
    return out


def search_arguments(search: SearchBounds | None) -> dict[str, tuple[float, ...]]:
    """optimizeFitness keywords from {parameter: (min, max, step)}."""
    unknown = set(search or {}) - set(SEARCH_KEYWORDS)
    if unknown:
        raise ValueError(f"unknown search parameter(s): {', '.join(sorted(unknown))}")
    return {SEARCH_KEYWORDS[name]: tuple(bounds) for name, bounds in (search or {}).items()}


def check_criterion(criterion: str) -> str:
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(CRITERIA)}, not {criterion!r}")
    return criterion
