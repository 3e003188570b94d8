"""The candidate models of the shared fit and the one BIC keeps.

Each K is fitted from a counted start (the step fit's segment levels, or k-means of the frames)
with one spread for all states and, unless the spread kind is given, with a spread per state;
BIC = -2 log L + p ln(frames) picks among all of them, except a spread per state that puts two
neighbouring levels within the larger of their spreads of each other: that pair is one level
whose frames are split by their noise (a narrow core and wide tails), not two levels, so such a
candidate is listed (distinct False) but not chosen. How the noise is read:

  - noise="per_trace": every trace reads the spreads through a noise scale of its own (molecules
    differ in brightness, and so in the noise of E), normalised to a frame-weighted geometric
    mean of 1, so the spreads are those of a typical trace; "shared": one spread for all traces.
  - outliers=True: every frame's density is (1 - share) Gaussian + share * u, with u a flat
    density of 1 / (3 R) for R = q99 - q1 of the frames (OUTLIER_QUANTILES): flat over the
    window [q1 - R, q99 + R], so frames no state explains (blinks the masks missed) neither
    widen the spreads nor take a state. Frames outside that window do not seed the start.

The parameter count adds N - 1 trace scales for N traces and one outlier share when fitted.
Candidates are compared fitted to a gain of SEARCH_TOLERANCE in log-likelihood per frame (a
BIC that decides differs by far more), and one that can no longer be kept is abandoned
(lumetra.hmm.candidates); the one kept is fitted on to the model's tolerance.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from lumetra import hmmcore
from lumetra.hmm.candidates import Goal, bic_of, distinct, fit_candidate, model_of
from lumetra.hmm.inputs import HmmTrace, segment_paths
from lumetra.progress import stage, steps
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray

NOISE = ("per_trace", "shared")
OUTLIER_QUANTILES = (1, 99)  # percentiles of the frames whose range R sets the outlier density
OUTLIER_START = 0.01  # the outlier share the fit starts from
BIC_COLUMNS = [
    "states",
    "spreads",
    "log_likelihood",
    "parameters",
    "bic",
    "distinct",
    "converged",
    "abandoned",
]
SPREAD_KINDS = {True: "shared", False: "per_state"}
Row = tuple[int, str, float, int, float, bool, bool, str]  # a candidate's row of BIC_COLUMNS


@dataclass(frozen=True)
class Noise:
    """How the frames' noise is modelled: a scale per trace, the outlier term's window (None:
    no outlier term), and the spread kinds to try (one spread for all states, one per state, or
    both)."""

    trace_scales: bool
    window: tuple[float, float] | None
    spread_kinds: tuple[bool, ...]

    @property
    def outlier_density(self) -> float:
        return 0.0 if self.window is None else 1 / (self.window[1] - self.window[0])

    def options(self, shared_spread: bool) -> dict[str, bool]:
        return {
            "shared_spread": shared_spread,
            "fit_trace_scales": self.trace_scales,
            "fit_outliers": self.outlier_density > 0,
        }

    def parameters(self, states: int, shared_spread: bool, traces: int) -> int:
        return int(
            hmmcore.parameter_count(
                states, shared_spread, traces if self.trace_scales else 0, self.outlier_density > 0
            )
        )


def noise_of(
    values: list[FloatArray], noise: str, outliers: bool, shared_spread: bool | None
) -> Noise:
    """The noise model of the settings; ValueError for an unknown `noise`."""
    if noise not in NOISE:
        raise ValueError(f"noise must be one of {NOISE}, not {noise!r}")
    kinds = (True, False) if shared_spread is None else (shared_spread,)
    return Noise(noise == "per_trace", outlier_window(values) if outliers else None, kinds)


def outlier_window(values: list[FloatArray]) -> tuple[float, float] | None:
    """[q1 - R, q99 + R], R = q99 - q1 of the non-NaN frames of all traces: where the outlier
    term's density is flat (None, no outlier term, when R is 0)."""
    low, high = (float(q) for q in np.nanpercentile(np.concatenate(values), OUTLIER_QUANTILES))
    width = high - low
    return (low - width, high + width) if width > 0 else None


def within(values: FloatArray, window: tuple[float, float] | None) -> FloatArray:
    """The values with those outside the window set to NaN (all of them without a window)."""
    if window is None:
        return values
    return np.where((values >= window[0]) & (values <= window[1]), values, np.nan)


def start_model(
    traces: list[HmmTrace],
    states: int,
    segments: Sequence[Segments | None] | None,
    shared_spread: bool,
    window: tuple[float, float] | None = None,
) -> hmmcore._Model:
    """The counted start of a K-state model: from the step fit's segments, or (None) from
    k-means of the frames; frames and segment levels outside `window` left out. A trace
    without segments (its step fit was not made) starts from the states the others found:
    each frame in the nearest."""
    values = [within(t.values, window) for t in traces]
    seeded = [s for s in segments or [] if s is not None]
    if seeded:
        levels = np.concatenate([s.levels for s in seeded])
        weights = np.concatenate([s.lengths for s in seeded]).astype(float)
        if window is not None:
            weights[np.isnan(within(levels, window))] = 0
        centres = hmmcore.kmeans_levels(levels, weights, states)
    else:
        frames = np.concatenate(values)
        frames = frames[~np.isnan(frames)]
        centres = hmmcore.kmeans_levels(frames, np.ones_like(frames), states)
    paths = segment_paths(segments or [None] * len(values), centres, values)
    return hmmcore.start_model(values, paths, centres, shared_spread)


def ordered(model: hmmcore._Model) -> hmmcore._Model:
    """The model with its states numbered by ascending level."""
    order = np.argsort(model["means"], kind="stable")
    return {
        "means": model["means"][order],
        "spreads": model["spreads"][order],
        "start": model["start"][order],
        "transition": model["transition"][np.ix_(order, order)],
        "trace_scales": model.get("trace_scales", np.ones(0)),
        "outlier_share": model.get("outlier_share", 0.0),
        "outlier_density": model.get("outlier_density", 0.0),
    }


@dataclass(frozen=True)
class Selection:
    """The fit BIC keeps, its spread kind, the smallest BIC per K, every candidate's row and the
    kept fit's BIC."""

    fit: hmmcore._Fit
    states: int
    shared_spread: bool
    bic: dict[int, float]
    table: pd.DataFrame
    fit_bic: float


def select_model(
    data: list[HmmTrace],
    segments: Sequence[Segments | None] | None,
    candidates: list[int],
    noise: Noise,
    frame_blur: bool,
) -> Selection:
    """Every candidate K and spread kind fitted; the smallest BIC kept."""
    values = [t.values for t in data]
    rows: list[Row] = []
    fits: dict[tuple[int, bool], hmmcore._Fit] = {}

    def row(k: int, shared: bool, fit: hmmcore._Fit, abandoned: str = "") -> Row:
        parameters = noise.parameters(k, shared, len(values))
        log_likelihood = float(fit["log_likelihood"])
        score = bic_of(log_likelihood, parameters, int(fit["frames"]))
        kind = SPREAD_KINDS[shared]
        converged = bool(fit["converged"])
        return (k, kind, log_likelihood, parameters, score, distinct(fit), converged, abandoned)

    frames = sum(int(np.count_nonzero(~np.isnan(v))) for v in values)
    kinds = {k: noise.spread_kinds[: 1 if k == 1 else None] for k in candidates}  # K = 1: one
    tried = [(k, shared) for k in candidates for shared in kinds[k]]
    for k, shared in steps(tried, "K search", len(tried), "model"):
        start = start_model(data, k, segments, shared, noise.window)
        if noise.window is not None:
            start["outlier_share"] = OUTLIER_START
            start["outlier_density"] = noise.outlier_density
        kept = smallest_per_k(rows, lambda kind, apart: apart)
        goal = Goal(
            min((bic for bic, _ in kept.values()), default=None),
            noise.parameters(k, shared, len(values)),
            frames,
        )
        candidate = fit_candidate(values, start, goal, frame_blur, noise.options(shared))
        fits[k, shared] = candidate.fit
        rows.append(row(k, shared, candidate.fit, candidate.abandoned))
    # K counts FRET levels: levels within a spread of each other are one level whose kinetic
    # states differ (lumetra.hmm.scheme_search), so such a candidate is not chosen while one
    # with distinct levels is.
    listed = smallest_per_k(rows, lambda kind, apart: apart or kind == SPREAD_KINDS[True])
    best = smallest_per_k(rows, lambda kind, apart: apart) or listed
    k = min(best, key=lambda states: best[states][0])
    shared = best[k][1]
    start = model_of(fits[k, shared])
    with stage(f"K = {k} fitted to the end"):
        fit = hmmcore.fit(values, start, frame_blur=frame_blur, **noise.options(shared))
    at = next(i for i, r in enumerate(rows) if r[:2] == (k, SPREAD_KINDS[shared]))
    rows[at] = row(k, shared, fit)
    if listed[k] == best[k]:
        listed[k] = (rows[at][4], shared)
    return Selection(
        fit,
        k,
        shared,
        {states: value for states, (value, _) in listed.items()},
        pd.DataFrame(rows, columns=BIC_COLUMNS),
        rows[at][4],
    )


def smallest_per_k(
    rows: list[Row], eligible: Callable[[str, bool], bool]
) -> dict[int, tuple[float, bool]]:
    """The smallest BIC of each K among the eligible rows (first on a tie), with its spread
    kind (True: shared)."""
    best: dict[int, tuple[float, bool]] = {}
    for k, kind, _, _, bic, apart, *_ in rows:
        if eligible(kind, apart) and (k not in best or bic < best[k][0]):
            best[k] = (bic, kind == SPREAD_KINDS[True])
    return best
