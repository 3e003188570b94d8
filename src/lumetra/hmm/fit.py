"""The hidden Markov model shared by many traces, with its rate constants.

    from lumetra.kinetics import fit_hmm

    result = fit_hmm(["trace_1.txt", "trace_2.txt"], max_states=4)
    result.rate_table          # from_state, to_state, rate, rate_lower, rate_upper
    result.paths[0]            # the state of every frame of the first trace

Every trace follows one model: K Gaussian states (a level and a spread each, one spread for all
with `shared_spread`), one transition matrix P between frames and one start distribution,
fitted by Baum-Welch over all traces at once. States are numbered 0, 1, ... from the lowest
level up. The rate matrix is Q = log(P) / dt with dt the median time between frames, so rates
are per unit of the time axis (1/s for times in seconds). Their 95% intervals are percentiles
over refits on traces resampled with replacement (the molecules are the independent units),
each started from the fit of all traces.

A camera integrates each frame, so the frame in which a molecule changes state holds a mix of
both levels; with `frame_blur` (the default) the model says so (the hidden state is the one at
each frame's end, and its transition matrix is exactly exp(Q dt)); without it such frames are
read as noise of one state or, when many, as a state of their own between the two.

The model starts from the step fit ("steps"): each trace is fitted with its parameters searched
by BIC and its levels refined (refineTransitions); the segment levels, weighted by their
lengths, are grouped into K states by k-means, and the start, transition, level and spread
estimates are counted from the frames of those states, so one start suffices. With
start="kmeans" the frames themselves are grouped instead. Without `states`, K is the one of
1 ... max_states with the smallest BIC = -2 log L + p ln(frames) of its global fit.

K is held to what the traces carry (lumetra.hmm.limits: FRAMES_PER_PARAMETER frames per free
parameter and, from the step fit, a level change per transition probability): `states` beyond
it is refused (ValueError), a `max_states` beyond it is cut to it with a warning (the note is
in HmmResult.notes).
A transition matrix with no rate matrix behind it gives NaN rates, with a RuntimeWarning.
Traces of different frame times are refused (lumetra.hmm.inputs).
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable
from dataclasses import dataclass

import numpy as np
import pandas as pd

from lumetra import hmmcore
from lumetra.hmm.inputs import (
    HmmTrace,
    TraceInput,
    collect_traces,
    frame_time,
    segment_paths,
)
from lumetra.hmm.limits import (
    BOOTSTRAP,
    MAX_STATES,
    candidate_states,
    check_settings,
    support_of,
)
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray, IntArray

STARTS = ("steps", "kmeans")
RATE_COLUMNS = ["from_state", "to_state", "rate", "rate_lower", "rate_upper"]
INTERVAL = (2.5, 97.5)  # percentiles of the bootstrap: a 95% interval


@dataclass(frozen=True)
class HmmResult:
    """The fitted model (states ascending by level), its rates and the path of every trace.

    transition[i, j]: P(state j at the next frame | state i); rates[i, j]: the rate constant
    i -> j (NaN throughout when P has no real logarithm), rates_lower/upper its bootstrap
    interval (NaN without bootstrap); bic: {K: BIC} of every K fitted; paths[n]: the Viterbi
    state of every frame of trace n, path_levels[n] its level; notes: why fewer K than asked
    were fitted."""

    states: int
    levels: FloatArray
    spreads: FloatArray
    start: FloatArray
    transition: FloatArray
    rates: FloatArray
    rates_lower: FloatArray
    rates_upper: FloatArray
    rate_table: pd.DataFrame
    log_likelihood: float
    bic: dict[int, float]
    frame_time: float
    frames: int
    names: list[str]
    paths: list[IntArray]
    path_levels: list[FloatArray]
    resamples: int
    converged: bool
    notes: list[str]


def start_model(
    traces: list[HmmTrace],
    states: int,
    segments: list[Segments | None] | None,
    shared_spread: bool,
) -> hmmcore._Model:
    """The counted start of a K-state model: from the step fit's segments, or (None) from
    k-means of the frames. A trace without segments (its step fit was not made) starts from
    the states the others found: each frame in the nearest."""
    values = [t.values for t in traces]
    seeded = [s for s in segments or [] if s is not None]
    if seeded:
        levels = np.concatenate([s.levels for s in seeded])
        weights = np.concatenate([s.lengths for s in seeded]).astype(float)
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
    }


def bic_of(fit: hmmcore._Fit, states: int, shared_spread: bool) -> float:
    parameters = hmmcore.parameter_count(states, shared_spread)
    return float(-2 * fit["log_likelihood"] + parameters * np.log(fit["frames"]))


def rates_of(transition: FloatArray, dt: float) -> FloatArray:
    q = hmmcore.rate_matrix(transition, dt)
    return np.full(transition.shape, np.nan) if q is None else q


def rate_intervals(
    values: list[FloatArray],
    model: hmmcore._Model,
    dt: float,
    resamples: int,
    seed: int,
    options: dict[str, bool],
) -> tuple[FloatArray, FloatArray]:
    """Percentile intervals of every rate over the bootstrap refits (NaN without any)."""
    k = len(model["means"])
    if resamples <= 0:
        return np.full((k, k), np.nan), np.full((k, k), np.nan)
    boot = hmmcore.bootstrap(values, model, resamples=resamples, seed=seed, **options)
    rates = np.stack([rates_of(p, dt) for p in boot["transition"]])
    if np.isnan(rates).all():
        return np.full((k, k), np.nan), np.full((k, k), np.nan)
    low, high = np.nanpercentile(rates, INTERVAL, axis=0)
    return low, high


def rate_table(rates: FloatArray, lower: FloatArray, upper: FloatArray) -> pd.DataFrame:
    """One row per off-diagonal rate constant."""
    k = rates.shape[0]
    rows = [
        (i, j, rates[i, j], lower[i, j], upper[i, j]) for i in range(k) for j in range(k) if i != j
    ]
    return pd.DataFrame(rows, columns=RATE_COLUMNS)


def fit_hmm(
    traces: Iterable[TraceInput] | str | os.PathLike[str],
    states: int | None = None,
    max_states: int = MAX_STATES,
    shared_spread: bool = True,
    bootstrap: int = BOOTSTRAP,
    seed: int = 0,
    start: str = "steps",
    frame_blur: bool = hmmcore.FRAME_BLUR,
) -> HmmResult:
    """The shared model of `traces` (lumetraTrace objects, (time, values) pairs or trace file
    paths; a single path: that file's traces) with `states` states, or the K of 1 ...
    max_states with the smallest BIC; `bootstrap` resamples of the traces for the rate
    intervals, drawn from `seed`, which seeds each trace's step-fit search too (the same
    inputs, the same model); `start`: "steps" (the step fit's levels) or "kmeans" (the
    frames'); frame_blur: model the frames that hold a change as a mix of the two levels
    (hmmcore.fit). ValueError for states or max_states < 1, bootstrap or seed < 0."""
    if start not in STARTS:
        raise ValueError(f"start must be one of {STARTS}, not {start!r}")
    check_settings(states, max_states, bootstrap, seed)
    data = collect_traces(traces)
    frame_time(data)  # mixed frame times are refused before any step fit is spent on them
    segments: list[Segments | None] | None = None
    if start == "steps":  # each trace's search seeded by `seed` and its place: reproducible
        seeds = np.random.SeedSequence(seed).spawn(len(data))
        segments = [Segments.from_step_fit(t.trace_object(), seed=s) for t, s in zip(data, seeds)]
    result = fit_shared_model(
        data, segments, states, max_states, shared_spread, bootstrap, seed, frame_blur
    )
    for note in result.notes:
        warnings.warn(note, stacklevel=2)
    missing = missing_rates(result)
    if missing:
        warnings.warn(missing, RuntimeWarning, stacklevel=2)
    return result


def missing_rates(result: HmmResult) -> str:
    """Why the model has no rate constants, or "" when it has them."""
    if not np.isnan(result.rates).any():
        return ""
    return (
        f"no rate constants: the {result.states}-state model's transition matrix between "
        "frames has no real logarithm, so no rate matrix gives it"
    )


def fit_shared_model(
    data: list[HmmTrace],
    segments: list[Segments | None] | None,
    states: int | None = None,
    max_states: int = MAX_STATES,
    shared_spread: bool = True,
    bootstrap: int = BOOTSTRAP,
    seed: int = 0,
    frame_blur: bool = hmmcore.FRAME_BLUR,
) -> HmmResult:
    """fit_hmm on traces whose step fits are at hand (`segments`, one per trace, None for a
    trace without one; None: start from k-means of the frames)."""
    check_settings(states, max_states, bootstrap, seed)
    dt = frame_time(data)
    values = [t.values for t in data]
    candidates, note = candidate_states(
        states, max_states, support_of(values, segments, shared_spread)
    )
    options = {"shared_spread": shared_spread, "frame_blur": frame_blur}
    fits: dict[int, hmmcore._Fit] = {}
    bic: dict[int, float] = {}
    for k in candidates:
        fits[k] = hmmcore.fit(values, start_model(data, k, segments, shared_spread), **options)
        bic[k] = bic_of(fits[k], k, shared_spread)
    best = min(bic, key=lambda k: bic[k])
    fit = fits[best]
    model = ordered(fit)
    rates = rates_of(model["transition"], dt)
    lower, upper = rate_intervals(values, model, dt, bootstrap, seed, options)
    paths = hmmcore.viterbi(values, model, frame_blur)
    return HmmResult(
        states=best,
        levels=model["means"],
        spreads=model["spreads"],
        start=model["start"],
        transition=model["transition"],
        rates=rates,
        rates_lower=lower,
        rates_upper=upper,
        rate_table=rate_table(rates, lower, upper),
        log_likelihood=float(fit["log_likelihood"]),
        bic=bic,
        frame_time=dt,
        frames=int(fit["frames"]),
        names=[t.name for t in data],
        paths=paths,
        path_levels=[model["means"][p] for p in paths],
        resamples=bootstrap,
        converged=bool(fit["converged"]),
        notes=[note] if note else [],
    )
