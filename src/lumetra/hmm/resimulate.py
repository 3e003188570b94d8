"""The re-simulation check: does the analysis give back the model it fitted?

    from lumetra.hmm.fit import fit_hmm
    from lumetra.hmm.resimulate import resimulation_check

    result = fit_hmm(files, **settings)
    check = resimulation_check(result, [len(p) for p in result.paths], seed=1, **settings)
    check["same_configuration"], check["largest_relative_difference"]

Traces of the fitted model are simulated, as many and as long as the data's: its rate matrix Q
per time unit over the kinetic states, each state's level and spread, each trace's noise scale
(HmmResult.trace_noise), its start distribution and its outlier share, at the data's frame
time. A camera integrates each frame, so a frame in which the state changes holds the time
average of the levels it saw, with the mean spread of the states it began and ended in (as the
model reads such frames). The same analysis (fit_hmm with the same settings, no bootstrap) is
run on them, and its configuration (states per level, topology) and rates are set against
the fitted ones. The answer is a plain dict, ready for JSON (NaN written as None).
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from lumetra.hmm.fit import HmmResult, fit_hmm
from lumetra.hmm.select import outlier_window
from lumetra.stepfit import FloatArray, IntArray


@dataclass(frozen=True)
class Configuration:
    """How a model's kinetic states sit on its FRET levels: the states of each level, how they
    connect, and the level of every state."""

    states_per_level: list[int]
    topology: str
    state_levels: IntArray


def configuration_of(result: HmmResult) -> Configuration:
    """The result's configuration."""
    return Configuration(
        [int(n) for n in result.states_per_level],
        result.topology,
        np.asarray(result.state_levels, dtype=np.int64),
    )


def state_path(
    rates: FloatArray, start: FloatArray, end: float, rng: np.random.Generator
) -> tuple[FloatArray, IntArray]:
    """The visits of a continuous-time Markov chain on [0, end): their start times and states.
    A state without exits is kept to the end."""
    exits = -np.diag(rates)
    onward = np.where(np.eye(len(rates), dtype=bool), 0.0, rates)
    state = int(rng.choice(len(start), p=start))
    times, states, t = [0.0], [state], 0.0
    while exits[state] > 0:
        t += rng.exponential(1 / exits[state])
        if t >= end:
            break
        state = int(rng.choice(len(rates), p=onward[state] / exits[state]))
        times.append(t)
        states.append(state)
    return np.asarray(times), np.asarray(states, dtype=np.int64)


def blurred_frames(
    times: FloatArray, states: IntArray, levels: FloatArray, spreads: FloatArray, dt: float, n: int
) -> tuple[FloatArray, FloatArray]:
    """Each frame's mean level over its exposure and its spread (the mean of the spreads of the
    states at its start and end)."""
    edges = np.arange(n + 1) * dt
    ends = np.append(times[1:], edges[-1])
    area = np.concatenate([[0.0], np.cumsum(levels[states] * (ends - times))])
    integral = np.interp(edges, np.append(times, edges[-1]), area)
    mean = np.diff(integral) / dt
    at_start = np.searchsorted(times, edges[:-1], side="right") - 1
    at_end = np.searchsorted(times, edges[1:], side="left") - 1
    first, last = states[at_start], states[at_end]
    pure = at_start == at_end
    mean[pure] = levels[first[pure]]  # a frame of one state shows its level exactly
    return mean, (spreads[first] + spreads[last]) / 2


def simulate_result(
    result: HmmResult, lengths: Sequence[int], rng: np.random.Generator
) -> list[tuple[FloatArray, FloatArray]]:
    """(time, values) of traces of the fitted model, one per length, trace n with the noise
    scale of the model's trace n."""
    rates = np.asarray(result.rates, dtype=float)
    levels = np.asarray(result.levels, dtype=float)
    spreads = np.asarray(result.spreads, dtype=float)
    start = np.clip(np.asarray(result.start, dtype=float), 0, None)
    dt = result.frame_time
    values = []
    for n, scale in zip(lengths, result.trace_noise):
        times, states = state_path(rates, start / start.sum(), n * dt, rng)
        mean, spread = blurred_frames(times, states, levels, spreads, dt, n)
        values.append(mean + scale * spread * rng.standard_normal(n))
    window = outlier_window(values)
    if result.outlier_share > 0 and window is not None:
        for v in values:
            hit = rng.random(v.size) < result.outlier_share
            v[hit] = rng.uniform(*window, size=int(hit.sum()))
    return [(np.arange(v.size) * dt, v) for v in values]


def plain(x: float) -> float | None:
    return None if np.isnan(x) else float(x)


def rate_differences(fitted: FloatArray, again: FloatArray | None) -> list[dict[str, Any]]:
    """Each non-zero rate of the fitted model, the re-fitted one and their relative difference
    (None where the configurations differ)."""
    rows = []
    for i, j in zip(*np.nonzero(~np.eye(len(fitted), dtype=bool) & (fitted != 0))):
        other = np.nan if again is None else again[i, j]
        rows.append(
            {
                "from_state": int(i),
                "to_state": int(j),
                "fitted": plain(fitted[i, j]),
                "resimulated": plain(other),
                "relative_difference": plain((other - fitted[i, j]) / fitted[i, j]),
            }
        )
    return rows


def resimulation_check(
    result: HmmResult, lengths: list[int], seed: int = 0, **fit_settings: Any
) -> dict[str, Any]:
    """Simulates the model of `result` as traces of `lengths` frames (one per trace of the data,
    in its order), drawn from `seed`, fits them with fit_hmm(**fit_settings) without bootstrap
    and says whether that gives back the same model: same_configuration (states per level and
    topology), per non-zero rate its relative difference, the largest of them. The re-fit's
    warnings are in `notes`. ValueError when the lengths do not match the traces or the model
    has no rate matrix."""
    if len(lengths) != len(result.trace_noise) or min(lengths, default=0) < 1:
        raise ValueError(
            f"one length >= 1 per trace of the model ({len(result.trace_noise)}), "
            f"not {len(lengths)}"
        )
    if np.isnan(result.rates).any():
        raise ValueError("the model has no rate matrix to simulate")
    traces = simulate_result(result, lengths, np.random.default_rng(seed))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        again = fit_hmm(traces, **{**fit_settings, "bootstrap": 0})
    before, after = configuration_of(result), configuration_of(again)
    same = (before.states_per_level, before.topology) == (after.states_per_level, after.topology)
    rows = rate_differences(np.asarray(result.rates), np.asarray(again.rates) if same else None)
    differences = [
        abs(r["relative_difference"]) for r in rows if r["relative_difference"] is not None
    ]
    return {
        "same_configuration": same,
        "states_per_level": {
            "fitted": before.states_per_level,
            "resimulated": after.states_per_level,
        },
        "topology": {"fitted": before.topology, "resimulated": after.topology},
        "rates": rows,
        "largest_relative_difference": max(differences) if same and differences else None,
        "traces": len(lengths),
        "frames": int(sum(lengths)),
        "seed": seed,
        "notes": [str(w.message) for w in caught],
    }
