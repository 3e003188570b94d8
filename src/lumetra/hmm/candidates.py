"""A candidate model fitted for the comparison by BIC, and left off once it cannot be kept.

Baum-Welch runs in rounds of CHECK_EVERY iterations to a gain of SEARCH_TOLERANCE per frame. An
over-sized model (more states than the traces have levels) converges slowly: its surplus states
share one level's frames (a narrow core and wide tails, or two halves of one level) and every
iteration moves them a little. Between rounds, once the comparison has a model it may keep, a
candidate is abandoned when

  - its levels lie within a spread of each other at every check over NOT_DISTINCT_SPAN
    iterations: such a candidate is never kept while one with distinct levels exists
    (lumetra.hmm.select);
  - even the log-likelihood its gains are heading for (Aitken's extrapolation of the last
    rounds, the remaining gain counted twice) leaves its BIC above the best so far.

The row of an abandoned candidate gives the reason and its log-likelihood when it was left.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from lumetra import hmmcore
from lumetra.stepfit import FloatArray

# The candidates are compared fitted to this gain of log-likelihood per frame.
SEARCH_TOLERANCE = 1e-6
CHECK_EVERY = 4  # Baum-Welch iterations between the checks of a candidate
# Levels within a spread of each other at every check over this many iterations: not distinct.
NOT_DISTINCT_SPAN = 12
MODEL_KEYS = (
    "means",
    "spreads",
    "start",
    "transition",
    "trace_scales",
    "outlier_share",
    "outlier_density",
    "state_levels",
    "rates",
)
NOT_DISTINCT = "levels within a spread"
CANNOT_WIN = "its BIC cannot fall below the best"


def bic_of(log_likelihood: float, parameters: int, frames: int) -> float:
    """-2 log L + p ln(frames)."""
    return float(-2 * log_likelihood + parameters * np.log(frames))


@dataclass(frozen=True)
class Goal:
    """What a candidate must reach to be kept: the smallest BIC among the candidates that may be
    kept (None: none yet, every candidate is fitted to the end) and the parameter count and
    frames of this one's BIC."""

    best_bic: float | None
    parameters: int
    frames: int

    def log_likelihood(self) -> float:
        """The log-likelihood at which this candidate's BIC equals the best."""
        assert self.best_bic is not None
        return float(self.parameters * np.log(self.frames) - self.best_bic) / 2


@dataclass(frozen=True)
class CandidateFit:
    fit: hmmcore._Fit
    abandoned: str  # "" when fitted to the end, else the reason


def model_of(fit: hmmcore._Fit) -> hmmcore._Model:
    """The model part of a fit, to start another fit from."""
    return cast("hmmcore._Model", {k: v for k, v in fit.items() if k in MODEL_KEYS})


def distinct(model: hmmcore._Model) -> bool:
    """Whether every two neighbouring levels lie further apart than the larger of their
    spreads."""
    order = np.argsort(model["means"])
    means, spreads = model["means"][order], model["spreads"][order]
    return bool(np.all(np.diff(means) > np.maximum(spreads[1:], spreads[:-1])))


def heading_for(history: list[float]) -> float:
    """Aitken's extrapolation of the log-likelihoods at the last three checks, the remaining gain
    counted twice; infinite while the gains do not shrink."""
    if len(history) < 3:
        return np.inf
    before, last = history[-2] - history[-3], history[-1] - history[-2]
    if not (0 < last < before):
        return np.inf
    ratio = last / before
    return history[-1] + 2 * last * ratio / (1 - ratio)


def fit_candidate(
    values: list[FloatArray],
    start: hmmcore._Model,
    goal: Goal,
    frame_blur: bool,
    options: dict[str, Any],
    tied_levels: bool = False,
) -> CandidateFit:
    """The candidate fitted from `start` to SEARCH_TOLERANCE, or abandoned (module text);
    `tied_levels`: its states share levels by design (a scheme), so only its BIC is checked."""
    model, iterations, history, together_since = start, 0, [], None
    while True:
        left = hmmcore.MAX_ITERATIONS - iterations
        fit = hmmcore.fit(
            values,
            model,
            frame_blur=frame_blur,
            tolerance=SEARCH_TOLERANCE,
            max_iterations=min(CHECK_EVERY, left) if goal.best_bic is not None else left,
            **options,
        )
        iterations += int(fit["iterations"])
        fit["iterations"] = iterations
        if fit["converged"] or iterations >= hmmcore.MAX_ITERATIONS:
            return CandidateFit(fit, "")
        history.append(float(fit["log_likelihood"]))
        if tied_levels or distinct(fit):
            together_since = None
        elif together_since is None:
            together_since = iterations
        elif iterations - together_since >= NOT_DISTINCT_SPAN:
            return CandidateFit(fit, NOT_DISTINCT)
        if heading_for(history) < goal.log_likelihood():
            return CandidateFit(fit, CANNOT_WIN)
        model = model_of(fit)
