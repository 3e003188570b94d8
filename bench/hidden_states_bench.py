"""Hidden kinetic states: does the shared model find two kinetic states behind each FRET level?

    .venv/bin/python bench/hidden_states_bench.py [--sets 10] [--seed 1] [--bootstrap 0]
        [--out hidden_states] [--only hidden|controls|timing] [--fit '{"topology": "chain"}']

Sets (traces of 100-1,000 frames of 0.2 s, 150-250 per set, simulated by
batchcore.simulate_kinetics: each frame integrates its exposure; molecules differ in
brightness, so in E noise: NOISE / sqrt(brightness), brightness log-normal):
- hidden (--sets of them): four kinetic states on two FRET levels, the chain
  L_slow - L_fast - H_fast - H_slow of HIDDEN (E 0.2 and 0.75, rates 0.04-0.6 /s);
- controls: a two-state and a three-state scheme (kinSoft level 1's rates, 1.0 and 0.666 /s),
  which must keep one state per level;
- timing: the hidden scheme as 250 traces of 200 frames, for the wall time of the scheme search.

Each set is fitted with fit_hmm's defaults (more keywords by --fit, as JSON) and reported: the
configuration chosen (states per level, topology; right when the states per level and the
pairs the fitted rate matrix connects are the truth's), each true non-zero rate against the
fitted one (states matched by level and, within a level, by lifetime: fast first), per level
the Cramér-von Mises distance between the dwell-time distributions of the fitted and the true
rate matrix, and the fit's wall time. A model that gives each state a level of its own is read
with the states of levels within SAME_LEVEL as one level, all pairs connected. Targets: right
configuration in 8 of 10 hidden sets, every rate within RATE_TOLERANCE, CVM_TARGET per level,
the timing set within TIME_TARGET.
Writes OUT/sets.csv and OUT/rates.csv.
"""

import argparse
import json
import time
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.linalg import expm

from lumetra import batchcore
from lumetra.hmm.resimulate import Configuration, configuration_of
from lumetra.kinetics import fit_hmm

FRAME_TIME = 0.2
TRACES = (150, 250)
FRAMES = (100, 1000)
TIMING_SIZE = (250, 200)  # traces, frames
NOISE = 0.07  # E noise of a molecule of median brightness
BRIGHTNESS_SPREAD = 0.5  # sigma of the log brightness between molecules
RATE_TOLERANCE = 0.25
CVM_TARGET = 0.005
TIME_TARGET = 60.0
LOW, HIGH = 0.2, 0.75
GRID = 4000  # points of the dwell-time grid
TAIL = 40.0  # the grid ends where the slowest decay has fallen by exp(-TAIL)
SAME_LEVEL = 0.05  # E: states of a model without levels of states this close share a level


@dataclass(frozen=True)
class Scheme:
    """A true model: the FRET value of each state, its rate matrix (1/s, zero diagonal)."""

    name: str
    levels: list[float]
    rates: list[list[float]]

    def generator(self):
        q = np.asarray(self.rates, dtype=float)
        return q - np.diag(q.sum(axis=1))

    def state_levels(self):
        return np.unique(self.levels, return_inverse=True)[1]


# States level by level, fast first: L_fast, L_slow, H_fast, H_slow; the chain joins
# L_slow - L_fast - H_fast - H_slow.
HIDDEN = Scheme(
    "hidden",
    [LOW, LOW, HIGH, HIGH],
    [[0, 0.25, 0.6, 0], [0.04, 0, 0, 0], [0.45, 0, 0, 0.3], [0, 0, 0.05, 0]],
)
TWO_STATE = Scheme("two-state", [LOW, HIGH], [[0, 1.0], [0.666, 0]])
THREE_STATE = Scheme(
    "three-state", [LOW, 0.45, HIGH], [[0, 1.0, 0], [0.666, 0, 1.0], [0, 0.666, 0]]
)


def simulate(scheme, rng, traces=None, frames=None):
    """(time, E) pairs of one set: `traces` traces of `frames` frames (None: drawn)."""
    count = traces or int(rng.integers(TRACES[0], TRACES[1] + 1))
    data = []
    for _ in range(count):
        length = frames or int(rng.integers(FRAMES[0], FRAMES[1] + 1))
        sigma = NOISE / np.sqrt(np.exp(BRIGHTNESS_SPREAD * rng.standard_normal()))
        t = batchcore.simulate_kinetics(
            scheme.levels,
            scheme.rates,
            FRAME_TIME,
            length,
            gaussian_sigma=sigma,
            seed=int(rng.integers(2**63)),
        )
        data.append((np.asarray(t["time"]), np.asarray(t["intensity"])))
    return data


def ordered_states(state_levels, q):
    """States level by level, within a level by mean lifetime (fast first)."""
    return np.lexsort((1 / -np.diag(q), state_levels))


def stationary(q):
    a = np.vstack([q.T, np.ones(len(q))])
    b = np.zeros(len(q) + 1)
    b[-1] = 1
    return np.linalg.lstsq(a, b, rcond=None)[0]


def level_block(q, state_levels, level):
    """Q within one level and the distribution of entries into it at stationarity."""
    inside = state_levels == level
    entry = stationary(q)[~inside] @ q[np.ix_(~inside, inside)]
    return q[np.ix_(inside, inside)], entry / entry.sum()


def survival(block, entry, t):
    """P(a dwell in the level lasts beyond t): entry exp(Q_mm t) 1."""
    return expm(block[None] * t[:, None, None]).sum(axis=2) @ entry


def cvm_distance(q_fit, fit_levels, q_true, truth_levels, level):
    """The integral of (F_fit - F_true)^2 dF_true of the dwell-time distributions in `level`."""
    fit, truth = level_block(q_fit, fit_levels, level), level_block(q_true, truth_levels, level)
    decays = np.concatenate([-np.linalg.eigvals(b).real for b, _ in (fit, truth)])
    t = np.concatenate([[0], np.geomspace(1e-3 / decays.max(), TAIL / decays.min(), GRID)])
    f_fit, f_true = 1 - survival(*fit, t), 1 - survival(*truth, t)
    return float(np.trapezoid((f_fit - f_true) ** 2, f_true))


def matched_states(truth_levels, fit_levels):
    """For each true state the fitted state of the same level and rank within it (-1: none);
    both numbered level by level, fast first."""
    match = np.full(len(truth_levels), -1)
    if truth_levels.max() != fit_levels.max():
        return match
    for i, level in enumerate(truth_levels):
        rank = np.count_nonzero(truth_levels[:i] == level)
        candidates = np.flatnonzero(fit_levels == level)
        if rank < candidates.size:
            match[i] = candidates[rank]
    return match


def grouped_levels(result):
    """The configuration of a model that gives each state a level of its own, its states
    grouped into FRET levels where their levels lie within SAME_LEVEL of each other."""
    level_of = np.concatenate([[0], np.cumsum(np.diff(result.levels) > SAME_LEVEL)])
    return Configuration(np.bincount(level_of).tolist(), "full", level_of)


def fitted_scheme(result):
    """The fitted rate matrix, its interval bounds and the level of each state, states
    numbered level by level, fast first; and the configuration."""
    found = configuration_of(result)
    if not hasattr(result, "state_levels"):
        found = grouped_levels(result)
    order = ordered_states(found.state_levels, result.rates)
    pick = np.ix_(order, order)
    bounds = result.rates_lower[pick], result.rates_upper[pick]
    return result.rates[pick], bounds, found.state_levels[order], found


def rate_rows(set_name, q_true, q_fit, bounds, match):
    """Each rate non-zero in the truth or in the fit (of matched states) against the other;
    NaN where a true state has no fitted match, the error NaN for a rate the truth lacks."""
    rows = []
    for i, j in zip(*np.nonzero(~np.eye(len(q_true), dtype=bool))):
        a, b = match[i], match[j]
        known = a >= 0 and b >= 0 and a != b
        fitted, lower, upper = (x[a, b] if known else np.nan for x in (q_fit, *bounds))
        if q_true[i, j] == 0 and not (known and fitted != 0):
            continue
        rows.append(
            {
                "set": set_name,
                "from": int(i),
                "to": int(j),
                "true": q_true[i, j],
                "fitted": fitted,
                "lower": lower,
                "upper": upper,
                "error": fitted / q_true[i, j] - 1 if q_true[i, j] else np.nan,
            }
        )
    return rows


def evaluate(set_name, scheme, data, bootstrap, seed, settings):
    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = fit_hmm(data, bootstrap=bootstrap, seed=seed, **settings)
    seconds = time.perf_counter() - started
    q_fit, bounds, fit_levels, found = fitted_scheme(result)
    q_true, truth_levels = scheme.generator(), scheme.state_levels()
    true_per_level = np.bincount(truth_levels).tolist()
    per_level_right = found.states_per_level == true_per_level
    right = per_level_right and np.array_equal(q_fit != 0, q_true != 0)
    rates = rate_rows(set_name, q_true, q_fit, bounds, matched_states(truth_levels, fit_levels))
    levels = range(truth_levels.max() + 1)
    comparable = fit_levels.max() == truth_levels.max() and not np.isnan(q_fit).any()
    cvm = [
        cvm_distance(q_fit, fit_levels, q_true, truth_levels, m) if comparable else np.nan
        for m in levels
    ]
    errors = np.abs([r["error"] for r in rates if r["true"]])
    row = {
        "set": set_name,
        "scheme": scheme.name,
        "traces": len(data),
        "frames": sum(len(v) for _, v in data),
        "states_per_level": "+".join(map(str, found.states_per_level)),
        "topology": found.topology,
        "levels": " ".join(f"{v:.2f}" for v in np.unique(result.levels)),
        "per_level_right": per_level_right,
        "right": bool(right),
        "worst_rate_error": np.nanmax(errors) if np.isfinite(errors).any() else np.nan,
        "rates_within": int(np.count_nonzero(errors <= RATE_TOLERANCE)),
        **{f"cvm_level_{m}": d for m, d in zip(levels, cvm)},
        "cvm_within": int(np.count_nonzero(np.asarray(cvm) <= CVM_TARGET)),
        "true_levels": len(cvm),
        "seconds": seconds,
        "warnings": len(caught),
    }
    return row, rates


def plan(args):
    """(set name, scheme, traces, frames) of every set the options ask for."""
    sets = []
    if args.only in (None, "hidden"):
        sets += [(f"hidden {n + 1}", HIDDEN, None, None) for n in range(args.sets)]
    if args.only in (None, "controls"):
        sets += [("two-state", TWO_STATE, None, None), ("three-state", THREE_STATE, None, None)]
    if args.only in (None, "timing"):
        sets.append(("timing 250x200", HIDDEN, *TIMING_SIZE))
    return sets


def group_of(set_name):
    return set_name.split()[0] if set_name.split()[0] in ("hidden", "timing") else "controls"


def summary(sets, rates):
    """Per group of sets (hidden, controls, timing): the counts the targets speak of."""
    for group, chosen in sets.groupby(sets["set"].map(group_of), sort=False):
        errors = rates.loc[rates["set"].isin(chosen["set"]) & (rates["true"] > 0), "error"].abs()
        print(
            f"{group}: right configuration {int(chosen['right'].sum())} of {len(chosen)}, "
            f"states per level right {int(chosen['per_level_right'].sum())}; rates within "
            f"{RATE_TOLERANCE:.0%} {int((errors <= RATE_TOLERANCE).sum())} of {len(errors)}; "
            f"levels with CvM <= {CVM_TARGET} {chosen['cvm_within'].sum()} of "
            f"{chosen['true_levels'].sum()}; slowest fit {chosen['seconds'].max():.1f} s"
        )
    print(f"targets: 8 of 10 hidden sets right, the timing set within {TIME_TARGET:.0f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", type=int, default=10, help="hidden-state sets")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--bootstrap", type=int, default=0)
    parser.add_argument("--out", type=Path, default=Path("hidden_states"))
    parser.add_argument("--only", choices=["hidden", "controls", "timing"])
    parser.add_argument("--fit", type=json.loads, default={}, help="more fit_hmm keywords, JSON")
    args = parser.parse_args()
    pd.set_option("display.width", 250)
    pd.set_option("display.max_columns", 30)
    rows, rates = [], []
    for n, (name, scheme, traces, frames) in enumerate(plan(args)):
        rng = np.random.default_rng([args.seed, n])
        data = simulate(scheme, rng, traces, frames)
        row, set_rates = evaluate(name, scheme, data, args.bootstrap, args.seed, args.fit)
        rows.append(row)
        rates += set_rates
        print(pd.DataFrame([row]).to_string(index=False, float_format="%.4g"), flush=True)
    sets, rates = pd.DataFrame(rows), pd.DataFrame(rates)
    args.out.mkdir(parents=True, exist_ok=True)
    sets.to_csv(args.out / "sets.csv", index=False)
    rates.to_csv(args.out / "rates.csv", index=False)
    print(sets.to_string(index=False, float_format="%.4g"))
    print(rates.to_string(index=False, float_format="%.4g"))
    summary(sets, rates)


if __name__ == "__main__":
    main()
