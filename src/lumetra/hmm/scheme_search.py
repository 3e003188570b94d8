"""The kinetic scheme BIC keeps, once the number of FRET levels is chosen (lumetra.hmm.select).

From the model with one state per level, states are added one level at a time: each round fits
every scheme with one more state on one level (up to MAX_PER_LEVEL, MAX_STATES_IN_SCHEME in
all) in every topology (lumetra.hmm.schemes), and the one with the smallest BIC replaces the
current if its BIC is smaller; the search stops when no scheme of a round improves. Counts given
(states_per_level) fit those counts in every topology (or the given one) and keep the best.
A level gets another state only with MIN_DWELLS uncensored dwells on it in the plain model's
paths, and only schemes the traces carry are tried (Carried: frames per parameter and level
changes per free rate, as for the number of levels); counts given that they do not carry are
refused. Schemes are compared fitted to candidates.SEARCH_TOLERANCE; the one kept is then fitted on
to the model's tolerance.
BIC counts S - 1 start probabilities, the free rates, a level per FRET level and its spreads,
and the trace scales and outlier share as the plain model does.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from lumetra import hmmcore
from lumetra.hmm.candidates import Goal, bic_of, fit_candidate, model_of
from lumetra.hmm.limits import FRAMES_PER_PARAMETER
from lumetra.hmm.schemes import (
    MAX_PER_LEVEL,
    Scheme,
    TopologyArg,
    dwells_per_level,
    reordered,
    reordered_scheme,
    scheme_of,
    scheme_start,
    state_order,
    topologies,
)
from lumetra.hmm.select import SPREAD_KINDS, Noise
from lumetra.progress import counter, stage
from lumetra.stepfit import FloatArray

MAX_STATES_IN_SCHEME = 6  # kinetic states the search tries at most
MIN_DWELLS = 10  # uncensored dwells on a level before the search gives it another state


@dataclass(frozen=True)
class SchemeFit:
    """A fitted scheme (states ordered level by level, fastest first) and its BIC."""

    scheme: Scheme
    fit: hmmcore._Fit
    parameters: int
    bic: float
    abandoned: str = ""  # why its fit was left before the end (lumetra.hmm.candidates)

    def row(self, shared_spread: bool) -> tuple[object, ...]:
        return (
            self.scheme.states,
            SPREAD_KINDS[shared_spread],
            float(self.fit["log_likelihood"]),
            self.parameters,
            self.bic,
            True,
            bool(self.fit["converged"]),
            self.abandoned,
            self.scheme.label,
            self.scheme.topology,
        )


def scheme_parameters(scheme: Scheme, noise: Noise, shared_spread: bool, traces: int) -> int:
    return int(
        hmmcore.scheme_parameter_count(
            scheme.states,
            len(scheme.per_level),
            scheme.free_rates,
            shared_spread,
            traces if noise.trace_scales else 0,
            noise.outlier_density > 0,
        )
    )


def fit_scheme(
    values: list[FloatArray],
    scheme: Scheme,
    start: hmmcore._Model,
    noise: Noise,
    shared_spread: bool,
    frame_blur: bool,
    best_bic: float | None,
    frames: int,
) -> SchemeFit:
    """The scheme fitted from `start` for the comparison (abandoned once its BIC cannot fall
    below `best_bic`, lumetra.hmm.candidates; `frames`: the traces' frames that are not NaN),
    its states ordered (state_order)."""
    settings: dict[str, Any] = {**noise.options(shared_spread), "free_rates": scheme.free}
    parameters = scheme_parameters(scheme, noise, shared_spread, len(values))
    goal = Goal(best_bic, parameters, frames)
    candidate = fit_candidate(values, start, goal, frame_blur, settings, tied_levels=True)
    return scheme_fit(scheme, candidate.fit, parameters, candidate.abandoned)


def scheme_fit(
    scheme: Scheme, fit: hmmcore._Fit, parameters: int, abandoned: str = ""
) -> SchemeFit:
    score = bic_of(float(fit["log_likelihood"]), parameters, int(fit["frames"]))
    order = state_order(fit)
    ordered = {**fit, **reordered(fit, order)}
    return SchemeFit(reordered_scheme(scheme, order), ordered, parameters, score, abandoned)  # type: ignore[arg-type]


def refined(
    values: list[FloatArray],
    chosen: SchemeFit,
    noise: Noise,
    shared_spread: bool,
    frame_blur: bool,
) -> SchemeFit:
    """The scheme kept, fitted on from where the search left it to the model's tolerance."""
    settings: dict[str, Any] = {**noise.options(shared_spread), "free_rates": chosen.scheme.free}
    with stage(f"scheme {chosen.scheme.label} ({chosen.scheme.topology}) fitted to the end"):
        fit = hmmcore.fit(values, model_of(chosen.fit), frame_blur=frame_blur, **settings)
    return scheme_fit(chosen.scheme, fit, chosen.parameters)


@dataclass(frozen=True)
class Carried:
    """What the traces hold for a scheme: frames (not NaN) and the level changes of the plain
    model's paths. A scheme is carried with FRAMES_PER_PARAMETER frames per free parameter (the
    plain count, lumetra.hmm.limits) and a level change per free rate."""

    frames: int
    changes: int
    shared_spread: bool

    def parameters(self, scheme: Scheme) -> int:
        return int(
            hmmcore.scheme_parameter_count(
                scheme.states, len(scheme.per_level), scheme.free_rates, self.shared_spread
            )
        )

    def carries(self, scheme: Scheme) -> bool:
        enough = FRAMES_PER_PARAMETER * self.parameters(scheme) <= self.frames
        return enough and scheme.free_rates <= self.changes

    def reason(self, scheme: Scheme) -> str:
        return (
            f"its {scheme.free_rates} free rates and {self.parameters(scheme)} free parameters "
            f"need a level change per rate and {FRAMES_PER_PARAMETER} frames per parameter; "
            f"the traces hold {self.changes} level changes and {self.frames} frames"
        )


@dataclass(frozen=True)
class SchemeChoice:
    """The scheme kept (None: the plain model with one state per level stays) and the row of
    every scheme fitted."""

    best: SchemeFit | None
    rows: list[tuple[object, ...]]


def search_schemes(
    values: list[FloatArray],
    parent: hmmcore._Model,
    parent_bic: float,
    noise: Noise,
    shared_spread: bool,
    frame_blur: bool,
    per_level: Sequence[int] | None = None,
    topology: TopologyArg = None,
) -> SchemeChoice:
    """The scheme of the smallest BIC (see the module's text); `parent`: the fitted plain model,
    levels ascending, with BIC parent_bic."""
    levels = len(parent["means"])
    paths = hmmcore.viterbi(values, parent, frame_blur)
    dwells = dwells_per_level(paths, levels)
    rows: list[tuple[object, ...]] = []
    limit = Carried(
        sum(int(np.count_nonzero(~np.isnan(v))) for v in values),
        sum(int(np.count_nonzero(np.diff(p))) for p in paths),
        shared_spread,
    )

    with counter("kinetic schemes", "scheme") as count:

        def fitted(scheme: Scheme, best_bic: float | None) -> SchemeFit:
            start = scheme_start(scheme, parent, dwells)
            result = fit_scheme(
                values, scheme, start, noise, shared_spread, frame_blur, best_bic, limit.frames
            )
            rows.append(result.row(shared_spread))
            count()
            return result

        if per_level is not None:
            given = topologies(tuple(per_level), topology)
            carried = [s for s in given if limit.carries(s)]
            if not carried:
                raise ValueError(
                    f"states_per_level={list(per_level)} refused: {limit.reason(given[-1])}"
                )
            trials = [fitted(s, None) for s in carried]
            return SchemeChoice(min(trials, key=lambda t: t.bic), rows)
        best: SchemeFit | None = None
        bic = parent_bic
        counts = (1,) * levels
        if topology is not None or levels > 2:  # the plain counts in the other topologies too
            plain = [s for s in topologies(counts, topology) if not s.simple and limit.carries(s)]
            for s in plain:
                trial = fitted(s, bic)
                if trial.bic < bic and not trial.abandoned:
                    best, bic = trial, trial.bic
        while True:
            current = best.scheme.per_level if best is not None else counts
            grown = [
                tuple(n + (i == m) for i, n in enumerate(current))
                for m in range(levels)
                if current[m] < MAX_PER_LEVEL
                and sum(current) < MAX_STATES_IN_SCHEME
                and len(dwells[m]) >= MIN_DWELLS
            ]
            schemes = [s for c in grown for s in topologies(c, topology) if limit.carries(s)]
            trials = [fitted(s, bic) for s in schemes]
            trials = [t for t in trials if not t.abandoned]
            if not trials:
                break
            winner = min(trials, key=lambda t: t.bic)
            if winner.bic >= bic:
                break
            best, bic = winner, winner.bic
        return SchemeChoice(best, rows)


def given_scheme(per_level: int | Sequence[int] | None, levels: int) -> tuple[int, ...] | None:
    """The counts asked for at `levels` FRET levels (an int: that many on each); ValueError for
    a list of another length or a count outside 1 ... MAX_PER_LEVEL."""
    if per_level is None:
        return None
    counts = (per_level,) * levels if isinstance(per_level, int) else tuple(per_level)
    if len(counts) != levels:
        raise ValueError(f"states_per_level has {len(counts)} counts for {levels} levels")
    scheme_of(counts, None)
    if max(counts) > MAX_PER_LEVEL:
        raise ValueError(f"states per level must be at most {MAX_PER_LEVEL}, not {max(counts)}")
    return counts
