"""Transitions, levels, K and rates of five methods on kinSoft level 1 and on simulated sets.

    .venv/bin/python bench/hmm_bench.py [--sets 10] [--bootstrap 200] [--only kinsoft|sim|cycle]

Simulated sets have the size of kinSoft L1: 100 traces of 1,000 frames, SNR 3. Of the --sets
three-state cycles (with and without shot noise) the first runs every method, the others the
step fit and the seeded HMM (K chosen and rates); --only cycle runs the cycles alone.

Methods: the step fit (BIC search + refineTransitions, levels grouped by k-means into the true
K, rates from the dwells: exit rate times the share of exits to each state); the shared HMM
started from the step fit; the shared HMM started from k-means of the frames; hmmlearn's
GaussianHMM per trace with the true K (best of 3 starts); PELT (ruptures, l2 cost, penalty
2 s^2 ln n) with its segment levels grouped as the step fit's. hmmlearn's and PELT's rates come
from the frame to frame changes of their paths, pooled over traces, through log(P) / dt. Only
the shared HMMs choose K (BIC over 1 ... 4) and have rate intervals (bootstrap over traces).

Transition F1: a change of state is found when a true change frame lies within 2 frames (each
matched once; kinsoft_eval.matched); on kinSoft against both truths of kinsoft_eval (every true
change, and the changes of the true per-frame majority path). Level error: the largest
|level - true level| when K is right.
"""

import argparse
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kinsoft_eval import DEFAULT_TRUTH, TRUTHS, matched, true_changes  # noqa: E402

from lumetra import hmmcore  # noqa: E402
from lumetra.hmm.inputs import collect_traces, frame_time  # noqa: E402
from lumetra.kinetics import dwell_kinetics, fit_hmm  # noqa: E402
from lumetra.segments import Segments  # noqa: E402
from lumetra.simulation import simulate_traces  # noqa: E402

TOLERANCE = 2
KINSOFT = DEFAULT_TRUTH.parent
HMMLEARN_STARTS = 3
CYCLE = [[0, 0.3, 0.05], [0.05, 0, 0.4], [0.5, 0.05, 0]]  # 0 -> 1 -> 2 -> 0, back 0.05 /s


def f1(paths, truths):
    found = [np.flatnonzero(np.diff(p) != 0) + 1 for p in paths]
    hits = sum(matched(f.tolist(), t, TOLERANCE) for f, t in zip(found, truths))
    n_found, n_true = sum(f.size for f in found), sum(len(t) for t in truths)
    p, r = hits / max(n_found, 1), hits / max(n_true, 1)
    return 2 * p * r / max(p + r, 1e-300)


def counted_rates(paths, k, dt):
    counts = np.ones((k, k))
    for p in paths:
        np.add.at(counts, (p[:-1], p[1:]), 1)
    q = hmmcore.rate_matrix(counts / counts.sum(axis=1, keepdims=True), dt)
    return np.full((k, k), np.nan) if q is None else q


def grouped(levels_per_trace, lengths_per_trace, k):
    """Paths of segment levels grouped into k states (k-means weighted by length)."""
    centres = hmmcore.kmeans_levels(
        np.concatenate(levels_per_trace), np.concatenate(lengths_per_trace).astype(float), k
    )
    paths = [
        np.repeat(hmmcore.nearest_states(lv, centres), n)
        for lv, n in zip(levels_per_trace, lengths_per_trace)
    ]
    return centres, paths


def dwell_rates(paths, centres, time_axes, k):
    table, _ = dwell_kinetics([(t, centres[p]) for t, p in zip(time_axes, paths)])
    rates = np.full((k, k), np.nan)
    for s in range(k):
        row = table[np.isclose(table["level"], centres[s])]
        if row.empty:
            continue
        exits = np.zeros(k)
        for p in paths:
            change = np.flatnonzero(np.diff(p) != 0)
            np.add.at(exits, p[change + 1][p[change] == s], 1)
        if exits.sum() > 0:
            rates[s] = float(row["rate"].iloc[0]) * exits / exits.sum()
    np.fill_diagonal(rates, np.nan)
    return rates


def step_method(data, segments, k, dt):
    centres, paths = grouped([s.levels for s in segments], [s.lengths for s in segments], k)
    return centres, paths, dwell_rates(paths, centres, [t.time for t in data], k)


def pelt_method(data, k, dt):
    import ruptures

    levels, lengths = [], []
    for t in data:
        x = t.values
        sigma = np.median(np.abs(np.diff(x))) / (0.6745 * np.sqrt(2))
        ends = (
            ruptures.Pelt(model="l2", min_size=1, jump=1)
            .fit(x)
            .predict(pen=2 * sigma**2 * np.log(x.size))
        )
        starts = [0] + ends[:-1]
        levels.append(np.array([x[a:b].mean() for a, b in zip(starts, ends)]))
        lengths.append(np.diff([0] + ends))
    centres, paths = grouped(levels, lengths, k)
    return centres, paths, counted_rates(paths, k, dt)


def hmmlearn_method(data, k, dt):
    from hmmlearn.hmm import GaussianHMM

    paths, means = [], []
    for n, t in enumerate(data):
        x = t.values.reshape(-1, 1)
        model, best = None, -np.inf
        for start in range(HMMLEARN_STARTS):  # EM finds local optima: the best of a few starts
            candidate = GaussianHMM(
                n_components=k, covariance_type="tied", n_iter=200, random_state=n * 10 + start
            )
            candidate.fit(x)
            score = candidate.score(x)
            if score > best:
                model, best = candidate, score
        order = np.argsort(model.means_.ravel())
        rank = np.empty(k, dtype=int)
        rank[order] = np.arange(k)
        paths.append(rank[model.predict(x)])
        means.append(np.sort(model.means_.ravel()))
    return np.median(means, axis=0), paths, counted_rates(paths, k, dt)


def evaluate(name, data, truths, true_levels, true_rates, bootstrap, seed=0, every=True, fit=None):
    """One row per method (every=False: the seeded HMM and the step fit alone); `fit`: more
    keywords of fit_hmm."""
    k = len(true_levels)
    dt = frame_time(data)
    rows = []

    def row(method, k_found, levels, paths, rates, lower, upper, seconds):
        entry = {"set": name, "method": method, "K": k_found}
        entry.update({label: f1(paths, t) for label, t in truths.items()})
        entry["level_error"] = (
            float(np.max(np.abs(np.sort(levels) - true_levels))) if k_found == k else np.nan
        )
        for i in range(k):
            for j in range(k):
                if i != j and true_rates[i][j] > 0 and k_found == k:
                    interval = (
                        "" if np.isnan(lower[i, j]) else f" [{lower[i, j]:.3f}, {upper[i, j]:.3f}]"
                    )
                    entry[f"k{i}{j} ({true_rates[i][j]:g})"] = f"{rates[i, j]:.3f}{interval}"
        entry["seconds"] = seconds
        rows.append(entry)

    nan = np.full((k, k), np.nan)
    start = time.perf_counter()
    segments = [Segments.from_step_fit(t.trace_object()) for t in data]
    step_seconds = time.perf_counter() - start
    centres, paths, rates = step_method(data, segments, k, dt)
    row("steps+dwells", k, centres, paths, rates, nan, nan, time.perf_counter() - start)
    starts = (("HMM seeded", "steps"), ("HMM k-means", "kmeans"))
    for method, start_kind in starts if every else starts[:1]:
        start = time.perf_counter()
        r = fit_hmm(
            data_inputs(data), bootstrap=bootstrap, seed=seed, start=start_kind, **(fit or {})
        )
        seconds = time.perf_counter() - start
        row(method, r.states, r.levels, r.paths, r.rates, r.rates_lower, r.rates_upper, seconds)
        rows[-1]["BIC K=1..4"] = " ".join(f"{v:.0f}" for v in r.bic.values())
    seeded = rows[-2] if every else rows[-1]
    seeded["seconds"] = f"{seeded['seconds']:.1f} (step fits {step_seconds:.1f})"
    if not every:
        return rows
    for method, function in (("hmmlearn/trace", hmmlearn_method), ("PELT", pelt_method)):
        start = time.perf_counter()
        levels, paths, rates = function(data, k, dt)
        row(method, k, levels, paths, rates, nan, nan, time.perf_counter() - start)
    return rows


def data_inputs(data):
    return [(t.time, t.values) for t in data]


def kinsoft_data():
    """kinSoft L1's traces, their true change frames, levels and rates."""
    truth = json.loads(DEFAULT_TRUTH.read_text())
    files = sorted((KINSOFT / "traces").glob("*.txt"), key=lambda p: int(p.stem.split("_")[1]))
    data = collect_traces(files)
    traces = [truth["traces"][Path(t.name.split("#")[0]).name] for t in data]
    truths = {f"F1 {against}": [true_changes(t, against) for t in traces] for against in TRUTHS}
    return data, truths, np.array([0.3, 0.7]), [[0, 1.0], [0.666, 0]]


def kinsoft(bootstrap):
    return evaluate("kinSoft L1", *kinsoft_data(), bootstrap)


def simulated(
    name, levels, rates, seed, bootstrap, shot_noise=False, count=100, frames=1000, every=True
):
    with tempfile.TemporaryDirectory() as out:
        files = simulate_traces(
            out, count, levels, rates, 0.1, frames, snr=3, shot_noise=shot_noise, seed=seed
        )
        data = collect_traces([(t.time, t.values) for t in collect_traces(files)])
        truths = []
        for path in files:
            state = pd.read_csv(Path(out) / "truth" / (Path(path).stem + ".csv"))["state"]
            truths.append((np.flatnonzero(np.diff(state.to_numpy()) != 0) + 1).tolist())
    return evaluate(
        name, data, {"F1": truths}, np.array(levels, float), rates, bootstrap, seed, every
    )


def timings():
    """The speed of the shared fit alone on kinSoft L1 (k-means start, no step fit)."""
    from lumetra.hmm.select import start_model

    data = collect_traces(sorted((KINSOFT / "traces").glob("*.txt")))
    values = [t.values for t in data]
    out = {}
    for threads in (1, 2):
        start = time.perf_counter()
        fit = hmmcore.fit(
            values, start_model(data, 2, None, True), frame_blur=True, threads=threads
        )
        out[f"K=2 fit, {threads} thread(s)"] = time.perf_counter() - start
        start = time.perf_counter()
        for k in range(1, 5):
            hmmcore.fit(values, start_model(data, k, None, True), frame_blur=True, threads=threads)
        out[f"K=1..4 fits, {threads} thread(s)"] = time.perf_counter() - start
    start = time.perf_counter()
    hmmcore.bootstrap(values, fit, resamples=200, frame_blur=True, threads=2)
    out["200 bootstrap refits, 2 threads"] = time.perf_counter() - start
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sets", type=int, default=10, help="simulated three-state sets")
    parser.add_argument("--bootstrap", type=int, default=200)
    parser.add_argument("--only", choices=["kinsoft", "sim", "cycle"])
    args = parser.parse_args()
    pd.set_option("display.width", 250)
    pd.set_option("display.max_columns", 30)
    if args.only not in ("sim", "cycle"):
        for what, seconds in timings().items():
            print(f"{what}: {seconds:.3f} s")
        print(pd.DataFrame(kinsoft(args.bootstrap)).to_string(index=False), flush=True)
    if args.only == "kinsoft":
        return
    two_state = (
        ("2 states fast", [[0, 2.0], [1.5, 0]]),
        ("2 states slow", [[0, 0.2], [0.15, 0]]),
    )
    for name, rates in two_state if args.only != "cycle" else ():
        rows = simulated(name, [600, 1000], rates, 1, args.bootstrap)
        print(pd.DataFrame(rows).to_string(index=False), flush=True)
    for shot in (False, True):
        chosen = []
        for seed in range(1, args.sets + 1):
            boot = args.bootstrap if seed == 1 else 0
            name = f"cycle{' shot' if shot else ''} #{seed}"
            rows = simulated(
                name, [400, 700, 1000], CYCLE, seed, boot, shot_noise=shot, every=seed == 1
            )
            chosen.append(rows[1]["K"])
            print(pd.DataFrame(rows).to_string(index=False), flush=True)
        print(f"cycle{' with shot noise' if shot else ''}: seeded HMM chose K = {chosen}")


if __name__ == "__main__":
    main()
