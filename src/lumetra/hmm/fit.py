"""The hidden Markov model shared by many traces, with its rate constants.

    from lumetra.kinetics import fit_hmm

    result = fit_hmm(["trace_1.txt", "trace_2.txt"], max_states=4)
    result.rate_table          # from_state, to_state, rate, rate_lower, rate_upper
    result.paths[0]            # the state of every frame of the first trace

Every trace follows one model: K Gaussian states (a level and a spread each), one transition
matrix P between frames and one start distribution, fitted by Baum-Welch over all traces at
once. By default each trace reads the spreads through a noise scale of its own
(noise="per_trace"; "shared": one for all traces) and frames that no state explains are taken
by a flat outlier term (outliers=True); one spread for all states or one per state, whichever
BIC prefers at each K (shared_spread=True or False: only that kind; lumetra.hmm.select).
States are numbered 0, 1, ... from the lowest level up. The rate matrix is Q = log(P) / dt
with dt the median time between frames, so rates are per unit of the time axis (1/s for times
in seconds). Their 95% intervals are percentiles over refits on traces resampled with
replacement (the molecules are the independent units), each started from the fit of all traces.

A camera integrates each frame, so the frame in which a molecule changes state holds a mix of
both levels; with `frame_blur` (the default) the model says so (the hidden state is the one at
each frame's end, and its transition matrix is exactly exp(Q dt)); without it such frames are
read as noise of one state or, when many, as a state of their own between the two.

The model starts from the step fit ("steps"): each trace is fitted with its parameters searched
by BIC and its levels refined (refineTransitions); the segment levels, weighted by their
lengths, are grouped into K states by k-means, and the start, transition, level and spread
estimates are counted from the frames of those states, so one start suffices. With
start="kmeans" the frames themselves are grouped instead. Without `states`, K is the one of
1 ... max_states with the smallest BIC = -2 log L + p ln(frames) of its global fit; every
candidate's BIC is in HmmResult.bic_table.

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
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, cast

import numpy as np
import pandas as pd

from lumetra import hmmcore
from lumetra.hmm.candidates import model_of
from lumetra.hmm.checks import dwell_checks
from lumetra.hmm.inputs import HmmTrace, TraceInput, collect_traces, frame_time
from lumetra.hmm.intervals import rate_intervals, rates_of, relaxation_times
from lumetra.hmm.limits import (
    BOOTSTRAP,
    BOOTSTRAP_METHODS,
    MAX_STATES,
    candidate_states,
    check_settings,
    support_of,
)
from lumetra.hmm.notes import bootstrap_notes, convergence_notes
from lumetra.hmm.paths import PathLevels
from lumetra.hmm.scheme_search import (
    SchemeFit,
    given_scheme,
    refined,
    scheme_fit,
    search_schemes,
)
from lumetra.hmm.schemes import TopologyArg, pattern, scheme_of
from lumetra.hmm.search_set import search_set
from lumetra.hmm.select import Noise, noise_of, ordered, select_model
from lumetra.hmm.tables import level_table, rate_table, relaxation_table
from lumetra.hmm.trace_sets import Held, Timed, TraceSet, fit_all
from lumetra.progress import stage
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray, IntArray, check_engine

STARTS = ("steps", "kmeans")


@dataclass(frozen=True)
class HmmResult:
    """The fitted model (states ascending by level), its rates and the path of every trace.

    transition[i, j]: P(state j at the next frame | state i); rates[i, j]: the rate constant
    i -> j (NaN throughout when P has no real logarithm), rates_lower/upper its bootstrap
    interval (NaN without bootstrap); bic: {K: the smaller BIC of its spread kinds} of every K
    fitted, bic_table: every candidate (states, spreads "shared" or "per_state",
    log_likelihood, parameters, bic, distinct: its levels lie further apart than their spreads;
    a spread per state that is not is never chosen); trace_noise[n]: the noise scale of
    trace n (1 with noise="shared"), its spreads being spreads * trace_noise[n]; outlier_share:
    the share of frames the flat outlier term takes (0 without it); paths[n]: the Viterbi
    state of every frame of trace n, path_levels[n] its level; notes: why fewer K than asked
    were fitted. Several kinetic states may share a FRET level (lumetra.hmm.schemes):
    state_levels[i] is the level of state i, fret_levels the levels' values (levels and spreads
    are per state), states_per_level and topology the scheme; bic_table then has a row per
    scheme tried (states_per_level as "2+1", topology). relaxation_times: -1 / the non-zero
    eigenvalues of the rate matrix (real parts), slowest first, with bootstrap intervals;
    dwell_checks: per FRET level, the idealised dwells against the rate matrix
    (lumetra.hmm.checks.dwell_checks); level_table and relaxation_table: those values as
    frames (lumetra.hmm.tables). In a notebook it shows itself as tables and a figure
    (lumetra.notebook)."""

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
    bic_table: pd.DataFrame
    trace_noise: FloatArray
    outlier_share: float
    frame_time: float
    frames: int
    names: list[str]
    paths: list[IntArray]
    resamples: int
    converged: bool
    notes: list[str]
    state_levels: IntArray
    fret_levels: FloatArray
    states_per_level: list[int]
    topology: str
    relaxation_times: FloatArray
    relaxation_lower: FloatArray
    relaxation_upper: FloatArray
    dwell_checks: pd.DataFrame
    bootstrap_method: str = BOOTSTRAP_METHODS[0]

    @property
    def path_levels(self) -> PathLevels:
        return PathLevels(self.paths, self.levels)

    @property
    def level_table(self) -> pd.DataFrame:
        """state, fret_level, level, spread of every kinetic state (lumetra.hmm.tables)."""
        return level_table(self.levels, self.spreads, self.state_levels)

    @property
    def relaxation_table(self) -> pd.DataFrame:
        return relaxation_table(self.relaxation_times, self.relaxation_lower, self.relaxation_upper)

    def __repr__(self) -> str:  # the paths of 10^5 traces are no one's summary
        return (
            f"HmmResult({self.states} states on {len(self.fret_levels)} FRET levels, "
            f"{len(self.names)} traces, {self.frames} frames, log L {self.log_likelihood:.6g})"
        )

    def _repr_html_(self) -> str:
        from lumetra.notebook import result_html  # only where a notebook asks

        return result_html(self)


def fit_hmm(
    traces: Iterable[TraceInput] | str | os.PathLike[str],
    states: int | None = None,
    max_states: int = MAX_STATES,
    shared_spread: bool | None = None,
    bootstrap: int = BOOTSTRAP,
    seed: int = 0,
    start: str = "steps",
    frame_blur: bool = hmmcore.FRAME_BLUR,
    noise: str = "per_trace",
    outliers: bool = True,
    states_per_level: int | Sequence[int] | None = None,
    topology: TopologyArg = None,
    search_engine: str = "native",
    bootstrap_method: str = BOOTSTRAP_METHODS[0],
) -> HmmResult:
    """The shared model of `traces` (lumetraTrace objects, (time, values) pairs or trace file
    paths; a single path: that file's traces) with `states` states, or the K of 1 ...
    max_states with the smallest BIC; `bootstrap` resamples of the traces for the rate
    intervals, drawn from `seed`, which seeds each trace's step-fit search too (the same
    inputs, the same model); `start`: "steps" (the step fit's levels) or "kmeans" (the
    frames'); frame_blur: model the frames that hold a change as a mix of the two levels
    (hmmcore.fit); shared_spread: one spread for all states (True), one per state (False), or
    the kind BIC prefers (None); noise: "per_trace" (a noise scale per trace) or "shared";
    outliers: a flat outlier term; states_per_level: kinetic states on each FRET level (an
    int: on every level; a list: per level, its length the number of levels; None: chosen by
    BIC, lumetra.hmm.scheme_search); topology: the rates that may be non-zero ("full",
    "chain", "ring", an S x S 0/1 matrix; None: chosen by BIC); search_engine: of the step fits'
    parameter search ("native" or "lmfit", stepfit.search_parameters); bootstrap_method:
    "linearised" (each resample's model off the EM map linearised about the fit) or "refit"
    (each resample fitted). ValueError for states or max_states < 1, bootstrap or seed < 0, an
    unknown start, noise, topology or bootstrap method, counts that do not match the levels."""
    if start not in STARTS:
        raise ValueError(f"start must be one of {STARTS}, not {start!r}")
    check_settings(states, max_states, bootstrap, seed, bootstrap_method)
    check_scheme(states, states_per_level, topology)
    check_engine(search_engine)
    data = collect_traces(traces)
    frame_time(data)  # mixed frame times are refused before any step fit is spent on them
    segments: list[Segments | None] | None = None
    if start == "steps":  # each trace's search seeded by `seed` and its place: reproducible
        seeds = np.random.SeedSequence(seed).spawn(len(data))
        segments = [
            Segments.from_step_fit(t.trace_object(), search_engine, s) for t, s in zip(data, seeds)
        ]
    result = fit_shared_model(
        data,
        segments,
        states,
        max_states,
        shared_spread,
        bootstrap,
        seed,
        frame_blur,
        noise,
        outliers,
        states_per_level,
        topology,
        bootstrap_method,
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


def check_scheme(
    states: int | None, per_level: int | Sequence[int] | None, topology: TopologyArg
) -> None:
    """ValueError for scheme settings no fit can have (before any work is spent)."""
    if per_level is not None and not isinstance(per_level, int):
        if states is not None and len(per_level) != states:
            raise ValueError(f"states_per_level has {len(per_level)} counts for {states} levels")
        given_scheme(per_level, len(per_level))
    elif isinstance(per_level, int):
        given_scheme(per_level, 1)
    if isinstance(topology, str):
        pattern(topology, 1)
    elif topology is not None and per_level is None:
        raise ValueError("a topology matrix needs states_per_level")


def fit_shared_model(
    data: Sequence[Timed],
    segments: list[Segments | None] | None,
    states: int | None = None,
    max_states: int = MAX_STATES,
    shared_spread: bool | None = None,
    bootstrap: int = BOOTSTRAP,
    seed: int = 0,
    frame_blur: bool = hmmcore.FRAME_BLUR,
    noise: str = "per_trace",
    outliers: bool = True,
    states_per_level: int | Sequence[int] | None = None,
    topology: TopologyArg = None,
    bootstrap_method: str = BOOTSTRAP_METHODS[0],
    values: TraceSet | None = None,
) -> HmmResult:
    """fit_hmm on traces whose step fits are at hand (`segments`, one per trace, None for a
    trace without one; None: start from k-means of the frames); the traces' values are `values`
    (a Spool, say) or, None, those of `data` (HmmTrace)."""
    check_settings(states, max_states, bootstrap, seed, bootstrap_method)
    check_scheme(states, states_per_level, topology)
    if states is None and states_per_level is not None and not isinstance(states_per_level, int):
        states = len(states_per_level)
    dt = frame_time(data)
    traces = values if values is not None else Held([cast(HmmTrace, t).values for t in data])
    observed = traces.observed
    among = search_set(observed, seed)
    picked = [int(i) for i in among.picked]
    search_values = traces.load(picked)
    if among.everything:  # few enough frames to hold: every pass in this process
        traces = Held(search_values)
    noise_model: Noise = noise_of(search_values, noise, outliers, shared_spread)
    # K is held to what the traces carry with the fewer parameters: one spread for all states.
    fewest = shared_spread is not False
    support = support_of(int(observed.sum()), segments, fewest)
    candidates, note = candidate_states(states, max_states, support)
    chosen = select_model(
        [HmmTrace(data[i].name, data[i].time, v) for i, v in zip(picked, search_values)],
        None if segments is None else [segments[i] for i in picked],
        candidates,
        noise_model,
        frame_blur,
    )
    options: dict[str, Any] = {
        "frame_blur": frame_blur,
        **noise_model.options(chosen.shared_spread),
    }
    model = ordered(chosen.fit)
    fit: hmmcore._Fit = chosen.fit
    counts = given_scheme(states_per_level, chosen.states)
    table = scheme_columns(chosen.table)
    scheme = scheme_of((1,) * chosen.states, None)
    if counts is None and topology is None and np.isnan(rates_of(model["transition"], dt)).any():
        # No rate matrix: the traces do not determine the kinetics of even the plain model, so
        # no richer scheme is searched for (one asked for is fitted).
        counts = scheme.per_level
    best: SchemeFit | None = None
    if counts != scheme.per_level or topology is not None:
        search = search_schemes(
            search_values,
            model,
            chosen.fit_bic,
            noise_model,
            chosen.shared_spread,
            frame_blur,
            counts,
            None if isinstance(topology, str) and counts is None else topology,
        )
        rows = pd.DataFrame(search.rows, columns=table.columns)
        table = pd.concat([table, rows], ignore_index=True)
        if search.best is not None:
            best = refined(
                search_values, search.best, noise_model, chosen.shared_spread, frame_blur
            )
            scheme, fit, model = best.scheme, best.fit, best.fit
            options["free_rates"] = scheme.free
    searched = model
    if not among.everything:  # the model kept, fitted on to all traces
        settings = {k: v for k, v in options.items() if k != "frame_blur"}
        fit = fit_all(traces, among.on_all(model_of(fit)), frame_blur, settings)
        if best is None:
            model = ordered(fit)
        else:
            best = scheme_fit(best.scheme, fit, best.parameters)
            scheme, fit, model = best.scheme, best.fit, best.fit
    rates = rates_of(model["transition"], dt) if scheme.simple else model["rates"] / dt
    levels = scheme.state_levels
    if not scheme.simple:
        model = {**model, "state_levels": levels}
        searched = {**searched, "state_levels": levels}
    # The linearised bootstrap is checked on the search's traces: the linearisation only
    # improves with more traces, and refits of all of them would cost most of the fit.
    checked = None if among.everything else (search_values, searched)
    lower, upper, times_low, times_high, method = rate_intervals(
        traces, model, dt, bootstrap, seed, options, bootstrap_method, checked
    )
    with stage(f"paths of {len(traces)} traces"):
        paths = traces.decode(model, frame_blur)  # one byte a frame, a chunk at a time
    return HmmResult(
        states=len(model["means"]),
        levels=model["means"],
        spreads=model["spreads"],
        start=model["start"],
        transition=model["transition"],
        rates=rates,
        rates_lower=lower,
        rates_upper=upper,
        rate_table=rate_table(rates, lower, upper, levels),
        log_likelihood=float(fit["log_likelihood"]),
        bic=chosen.bic,
        bic_table=table,
        trace_noise=trace_noise(model, len(traces)),
        outlier_share=float(model.get("outlier_share", 0.0)),
        frame_time=dt,
        frames=int(fit["frames"]),
        names=[t.name for t in data],
        paths=paths,
        resamples=bootstrap,
        converged=bool(fit["converged"]),
        notes=[n for n in (note, among.note()) if n]
        + convergence_notes(table, bool(fit["converged"]))
        + bootstrap_notes(bootstrap_method, method),
        state_levels=levels,
        fret_levels=np.asarray([model["means"][levels == m][0] for m in range(levels.max() + 1)]),
        states_per_level=list(scheme.per_level),
        topology=scheme.topology,
        relaxation_times=relaxation_times(rates),
        relaxation_lower=times_low,
        relaxation_upper=times_high,
        dwell_checks=checks_of(paths, rates, levels, dt),
        bootstrap_method=method,
    )


def checks_of(
    paths: list[IntArray], rates: FloatArray, levels: IntArray, dt: float
) -> pd.DataFrame:
    """The dwell checks of every FRET level; without rates (NaN) no distance from them. The
    paths' levels are worked out a path at a time."""
    level_paths = PathLevels(paths, levels)
    if not np.isnan(rates).any():
        return dwell_checks(level_paths, rates, levels, dt)
    return dwell_checks(level_paths, np.zeros_like(rates), levels, dt).assign(cvm=np.nan)


def scheme_columns(table: pd.DataFrame) -> pd.DataFrame:
    """The level candidates' table with the scheme columns: one state per level, every rate."""
    return table.assign(
        states_per_level=["+".join(["1"] * int(k)) for k in table["states"]], topology="full"
    )


def trace_noise(model: hmmcore._Model, traces: int) -> FloatArray:
    """The noise scale of every trace (1 where the model has none)."""
    scales = model.get("trace_scales", np.ones(0))
    return np.asarray(scales, dtype=float) if len(scales) == traces else np.ones(traces)
