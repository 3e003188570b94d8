"""The rates of a transition matrix, the relaxation times of a rate matrix, and their bootstrap
intervals over resamples of the traces.

The bootstrap reads each resample's model off the EM map linearised about the fit by default
(hmmcore.bootstrap(linearised=True)): on the benchmark sets its intervals' widths are within 5%
of those of refits of every resample on clear states and 0.88-1.42 times them on short noisy
traces of hidden states (bench/bootstrap_bench.py), at a small share of their cost. A
linearisation holds only near the fit, so the first LINEAR_CHECKS resamples are refitted too
and compared with their linearised models, pair by pair: where a rate's linearised values stray
from its refits' by more than LINEAR_TOLERANCE times the linearised spread (a rate the traces
hardly bound, whose refits run off towards a limit), every resample is refitted instead, and so
it is where the linearised bootstrap cannot be made at all.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from lumetra import hmmcore
from lumetra.hmm.trace_sets import Held, TraceSet, bootstrap_of
from lumetra.progress import stage
from lumetra.stepfit import FloatArray, IntArray

INTERVAL = (2.5, 97.5)  # percentiles of the bootstrap: a 95% interval
LINEAR_CHECKS = 10  # resamples refitted to check the linearised bootstrap against
# The root mean square difference of a rate's log between linearised and refitted resamples,
# in units of the spread of the linearised log-rates, above which the refits are made. On the
# benchmark sets it is 0.05-0.08 for clear states and up to 0.6 for hidden ones.
LINEAR_TOLERANCE = 1.0


def rates_of(transition: FloatArray, dt: float) -> FloatArray:
    q = hmmcore.rate_matrix(transition, dt)
    return np.full(transition.shape, np.nan) if q is None else q


def relaxation_times(rates: FloatArray) -> FloatArray:
    """-1 / the real parts of the rate matrix's non-zero eigenvalues, slowest first (NaN
    throughout for NaN rates)."""
    if np.isnan(rates).any():
        return np.full(rates.shape[0] - 1, np.nan)
    values = np.sort(np.linalg.eigvals(rates).real)  # the stationary 0 last
    return np.sort(-1 / values[:-1])[::-1]


def within_levels(rates: FloatArray, levels: IntArray) -> FloatArray:
    """A refit's rates with the states of each level in ascending lifetime, as the fit's."""
    lifetime = 1 / np.maximum(-np.diag(rates), 1e-300)
    order = np.lexsort((lifetime, levels))
    return rates[np.ix_(order, order)]


def resampled_rates(boot: hmmcore._Bootstrap, model: hmmcore._Model, dt: float) -> FloatArray:
    """The rate matrix of every resample (resamples x K x K, per time unit)."""
    if "rates" in boot:  # states ordered within their levels as the fit's
        levels = model["state_levels"]
        return np.stack([within_levels(q, levels) / dt for q in boot["rates"]])
    return np.stack([rates_of(p, dt) for p in boot["transition"]])


Fitted = tuple[TraceSet, "hmmcore._Model"]  # traces and the model fitted to them


def strays(linear: FloatArray, refits: FloatArray) -> bool:
    """Whether the linearised rates of the first resamples stray from their refits' (same
    resamples, in order) by more than LINEAR_TOLERANCE times the linearised spread."""
    positive = (linear > 0).all(axis=0) & (refits > 0).all(axis=0)
    if not positive.any():
        return bool(np.isnan(linear).all() != np.isnan(refits).all())
    logs, refit_logs = np.log(linear[:, positive]), np.log(refits[:, positive])
    gap = np.sqrt(np.mean((logs[: len(refit_logs)] - refit_logs) ** 2, axis=0))
    return bool(np.any(gap > LINEAR_TOLERANCE * np.std(logs, axis=0)))


def rate_intervals(
    traces: TraceSet,
    model: hmmcore._Model,
    dt: float,
    resamples: int,
    seed: int,
    options: dict[str, Any],
    method: str = "linearised",
    checked: tuple[list[FloatArray], hmmcore._Model] | None = None,
) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray, str]:
    """Percentile intervals of every rate and relaxation time over the bootstrap's resamples
    (NaN without any), and the method that gave them ("linearised" or "refit"). A refit starts
    from the model and is fitted to the model's tolerance: one stopped early (at
    candidates.SEARCH_TOLERANCE per frame, say) stays near its start where the states are hard
    to tell apart, and the intervals come out too narrow. The linearised resamples are checked
    against refits of the first of them, of these traces or of `checked` (a subset of them and
    its model)."""
    k = len(model["means"])
    nothing = np.full((k, k), np.nan), np.full(k - 1, np.nan)
    if resamples <= 0:
        return nothing[0], nothing[0], nothing[1], nothing[1], method
    full = (traces, model)

    def resampled(count: int, on: Fitted, linearised: bool) -> FloatArray:
        kind = "linearised resamples" if linearised else "refitted resamples"
        with stage(f"bootstrap: {count} {kind} of {len(on[0])} traces"):
            boot = bootstrap_of(on[0], on[1], count, seed, linearised, options)
        return resampled_rates(boot, on[1], dt)

    rates: FloatArray | None = None
    if method == "linearised":
        try:
            rates = resampled(resamples, full, True)
            check = full if checked is None else (Held(checked[0]), checked[1])
            linear = rates if checked is None else resampled(resamples, check, True)
            if strays(linear, resampled(min(LINEAR_CHECKS, resamples), check, False)):
                rates = None
        except RuntimeError:  # I - J singular: a parameter the traces do not determine
            rates = None
    if rates is None:
        method, rates = "refit", resampled(resamples, full, False)
    if np.isnan(rates).all():
        return nothing[0], nothing[0], nothing[1], nothing[1], method
    low, high = np.nanpercentile(rates, INTERVAL, axis=0)
    times = np.stack([relaxation_times(q) for q in rates])
    times_low, times_high = np.nanpercentile(times, INTERVAL, axis=0)
    return low, high, times_low, times_high, method
