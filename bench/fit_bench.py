"""Time the step fit and the parameter search on simulated traces.

    .venv/bin/python bench/fit_bench.py [--runs 200]

Prints: fitTrajectory(9, 0.177, 0.2, 0) on a 10,000-frame trace (one C++ call, and the
call-by-call evaluation forced by wrapping one statistics function), optimizeFitness() on a
2,000-frame trace, and the same search over a trivial objective (lmfit's own cost).
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
from lmfit import Minimizer, Parameters

from lumetra import dataStatsCalac
from lumetra.batchcore import SEARCH_DEFAULTS
from lumetra.lumetraTrace import lumetraTrace


def simulated_trace(frames, seed, path):
    """Two to three levels with exponential dwells (mean 150 frames) and Gaussian noise."""
    rng = np.random.default_rng(seed)
    levels = np.array([300.0, 800.0, 1200.0])
    ideal, state = [], 0
    while len(ideal) < frames:
        ideal += [levels[state]] * max(1, int(rng.exponential(150)))
        state = rng.choice([s for s in range(3) if s != state])
    intensity = np.array(ideal[:frames]) + rng.normal(0, 60, frames)
    lines = ["Frame/10\tCH1-BGND1"] + [f"{i / 10!r}\t{float(v)!r}" for i, v in enumerate(intensity)]
    path.write_text("\n".join(lines) + "\n")
    trace = lumetraTrace()
    trace.loadData(str(path))
    return trace


def median_ms(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def trivial_search():
    calls = 0

    def objective(params):
        nonlocal calls
        calls += 1
        p = params.valuesdict()
        return round(p["halfWinLen"]) + p["rratio"] ** 2 + p["thrate"] + round(p["filterWidth"])

    params = Parameters()
    params.add_many(
        ("halfWinLen", 9, True),
        ("rratio", 0.18, True),
        ("thrate", 0.2, True),
        ("filterWidth", 9, True),
    )
    for name, (lo, hi, step) in SEARCH_DEFAULTS.items():
        params[name].set(min=lo, max=hi, brute_step=step)
    start = time.perf_counter()
    Minimizer(objective, params, nan_policy="omit", max_nfev=2000).minimize(
        method="differential_evolution"
    )
    return time.perf_counter() - start, calls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        long_trace = simulated_trace(10_000, 1, Path(tmp) / "long.txt")
        short_trace = simulated_trace(2_000, 2, Path(tmp) / "short.txt")

    fast = median_ms(lambda: long_trace.fitTrajectory(9, 0.177, 0.2, 0), args.runs)
    print(f"fitTrajectory, 10,000 frames, one C++ call: {fast:.3f} ms (median of {args.runs})")
    own = dataStatsCalac.dataStd
    dataStatsCalac.dataStd = lambda data, partitions: own(data, partitions)
    try:
        composed = median_ms(lambda: long_trace.fitTrajectory(9, 0.177, 0.2, 0), 20)
    finally:
        dataStatsCalac.dataStd = own
    print(f"fitTrajectory, 10,000 frames, call by call: {composed:.3f} ms (median of 20)")

    start = time.perf_counter()
    short_trace.optimizeFitness()
    search = time.perf_counter() - start
    evaluations = short_trace.optRes.nfev
    print(f"optimizeFitness, 2,000 frames: {search:.3f} s for {evaluations} evaluations")

    # The search stops once it converges; 2,000 evaluations of the objective at settings drawn
    # over the search's bounds give the cost of a search that uses its whole budget.
    rng = np.random.default_rng(3)
    draws = zip(
        rng.uniform(5, 21, 2000),
        rng.uniform(-1, 3.1, 2000),
        rng.uniform(0, 1.1, 2000),
        rng.uniform(1, 21, 2000),
    )
    start = time.perf_counter()
    for h, r, t, w in draws:
        short_trace.fitTrajectory(round(h), r, t, round(w))
    objective = time.perf_counter() - start
    print(f"2,000 fits at settings drawn over the bounds, 2,000 frames: {objective:.3f} s")
    overhead, trivial_calls = trivial_search()
    per_call = overhead / trivial_calls
    print(
        f"the same search over a trivial objective: {overhead:.3f} s for {trivial_calls} "
        f"evaluations ({per_call * 1e6:.0f} us of lmfit per evaluation)"
    )
    print(
        f"a search using all 2,000 evaluations: about {objective + 2000 * per_call:.3f} s, "
        f"of which lmfit {2000 * per_call:.3f} s"
    )


if __name__ == "__main__":
    main()
