"""What a batch fit hands around: the fit of one trace (with its frames or without), what a
worker hands back for one file, the result of a batch, the shared model's settings."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Protocol

import pandas as pd

from lumetra import batchcore
from lumetra.hmm.limits import BOOTSTRAP, MAX_STATES
from lumetra.stepfit import FloatArray, IntArray, Params


class FrameStore(Protocol):
    """Where a batch's frames are (lumetra.batch.store.TraceStore)."""

    def name(self, fit: TraceFit) -> str: ...
    def frames(self, name: str) -> tuple[FloatArray, FloatArray]: ...


@dataclass
class TraceFit:
    """The fit of one trace without its frames: what a batch keeps of every trace, and what the
    file's record holds (its frames are in the batch's traces/, lumetra.batch.store)."""

    path: str
    sha256: str
    params: Params
    score: float
    starts: IntArray  # first frame of each segment
    ends: IntArray  # one past the last frame
    levels: FloatArray
    spreads: FloatArray
    frames: int  # frames fitted
    seconds: float
    # Which trace of the file this is: None for a file of one trace, else its 0-based index.
    part: int | None = None
    # How the trace was read: format, signal, frames before the cut, cut frame, corrections.
    reading: dict[str, Any] = field(default_factory=dict)
    # The screening's metrics (lumetra.screening) and "masked": the runs of masked frames.
    screen: dict[str, Any] = field(default_factory=dict)
    # Why the step fit holds one segment of the mean instead of a fit ("": it was fitted).
    note: str = ""

    @property
    def label(self) -> str:
        """The file, with the trace's index for a file of several traces."""
        return self.path if self.part is None else f"{self.path}#{self.part}"

    @property
    def frame_segment(self) -> IntArray:
        """The segment of every frame in the idealised trace (batchcore.frame_segments)."""
        return batchcore.frame_segments(self.frames, self.starts, self.ends)


@dataclass(kw_only=True)
class FileFit(TraceFit):
    """The fit of one trace with its frames in hand, as the fit hands it back."""

    time: FloatArray
    intensity: FloatArray


@dataclass
class SourceFit:
    """What a worker hands back for one file: the fits of its traces (with their frames, as
    FileFit; a record gives their summaries), and the traces it skipped or could not fit, by
    label (file#index for files of several traces)."""

    fits: list[TraceFit] = field(default_factory=list)
    skipped: dict[str, str] = field(default_factory=dict)
    failures: dict[str, str] = field(default_factory=dict)
    sha256: str = ""  # of the file, when it could be read


@dataclass
class Fitted:
    """The traces of a batch: fits in input order, failures and skipped traces by label."""

    fits: list[TraceFit] = field(default_factory=list)
    failures: dict[str, str] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)


@dataclass
class BatchResult:
    # segments: the table itself, or how to get it when first asked for
    _segments: pd.DataFrame | Callable[[], pd.DataFrame] = field(repr=False)
    failures: pd.DataFrame
    kinetics: pd.DataFrame | None = None
    dwells: dict[float, FloatArray] = field(default_factory=dict)
    fits: list[TraceFit] = field(default_factory=list)  # frames: store.frames(name)
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
    store: FrameStore | None = None  # where the fits' frames are
    quality: pd.DataFrame | None = None  # quality.csv: every trace's class and metrics

    @property
    def segments(self) -> pd.DataFrame:
        """One row per segment of every fit (segments.csv). A batch of fit_traces reads it from
        its segments.parquet when first asked for: the batch itself never holds it whole."""
        if callable(self._segments):
            self._segments = self._segments()
        return self._segments

    @segments.setter
    def segments(self, table: pd.DataFrame) -> None:
        self._segments = table

    @property
    def ok(self) -> bool:
        """Every file fitted and every output written."""
        return bool(self.failures.empty) and not self.output_failures

    def frames(self, fit: TraceFit) -> tuple[FloatArray, FloatArray]:
        """(time, intensity) of one of the fits, read from the output folder."""
        if self.store is None:
            raise ValueError("the batch kept no frames")
        return self.store.frames(self.store.name(fit))


@dataclass(frozen=True)
class HmmSettings:
    """The shared hidden Markov model of a batch: K (None: the K of 1 ... max_states with the
    smallest BIC), the bootstrap resamples of the rate intervals and their seed."""

    states: int | None = None
    max_states: int = MAX_STATES
    bootstrap: int = BOOTSTRAP
    seed: int = 0
    # Kinetic states on each FRET level and the rates that may be non-zero (None: chosen by
    # BIC; lumetra.hmm.schemes); a topology matrix as nested lists.
    states_per_level: int | list[int] | None = None
    topology: str | list[list[int]] | None = None
    # Simulate the fitted model as the data (lengths, frame time, noise) and fit it again: does
    # the analysis give back the same model? (hmm_model.json: model_check)
    check_model: bool = False
    # How the bootstrap reads each resample's model (lumetra.hmm.limits.BOOTSTRAP_METHODS).
    bootstrap_method: str = "linearised"

    def __post_init__(self) -> None:
        from lumetra.hmm.fit import check_scheme
        from lumetra.hmm.limits import check_settings

        check_settings(
            self.states, self.max_states, self.bootstrap, self.seed, self.bootstrap_method
        )
        check_scheme(self.states, self.states_per_level, self.topology)
