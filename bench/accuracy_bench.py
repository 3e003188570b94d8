"""How well the step fit finds transitions and levels, with and without the all-frames score
and the change-point refinement, against a Gaussian HMM and PELT.

    .venv/bin/pip install ".[bench]"        # hmmlearn and ruptures
    .venv/bin/python bench/accuracy_bench.py [--traces 50] [--jobs 2] [--sets fast,three,slow]

Simulates three data sets with lumetra.simulation.simulate_traces (frame time 0.2 s):
  fast   two states 600/1000, rates 0.15 and 0.22 s^-1, SNR 4, 600 frames
  three  three states 400/700/1000, rates 0.1 between neighbours and 0.05 between the outer
         two, SNR 3, 600 frames
  slow   two states 600/1000, mean dwells 100 and 200 frames (rates 0.05, 0.025 s^-1), SNR 4,
         1000 frames
and fits every trace with
  xic          the parameter search as specified (optimizeFitness(), default bounds)
  bic          optimizeFitness(criterion="bic")
  bic+refine   the same fit, then refineTransitions (lumetra.batch.fit_file(..., refine=True))
  hmm          hmmlearn GaussianHMM with the true number of states, best of 3 EM starts
               (reference)
  pelt         ruptures PELT, l2 cost, BIC penalty 2 sigma^2 ln N (reference)
Each search is seeded (numpy's global generator, which differential evolution draws from); the
searches run with their full evaluation limit, traces in parallel on --jobs processes.

Measures, over all traces of a set:
  precision, recall, F1  of the transitions, a found one matching a true one within +-2 frames
                          (one to one, nearest first)
  level error            mean over frames of |fitted level - noiseless intensity|, in units
                          of the smallest level spacing
  levels right           fraction of traces whose number of levels equals the number of
                          states they visit; levels are the segment levels of the idealised
                          trace, sorted and grouped while within the noise of the group (the
                          larger of sigma and three standard errors of the difference, two edge
                          frames of a group allowed to be blurred by a transition; sigma from
                          the frame-to-frame differences), as refineTransitions groups them
For the bic fit it also counts where each true transition is lost in the step pipeline: no
candidate pair near it, pair too narrow for the width filter, rejected by the ratio test,
rejected by the nonstationarity test, merged away by neighbour merging, or kept.
"""

import argparse
import concurrent.futures
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra.batchcore import PARAMETER_NAMES
from lumetra.simulation import simulate_traces

TOLERANCE = 2  # frames
SETS = {
    "fast": dict(
        label="2 states, SNR 4, fast (rates 0.15, 0.22 s^-1), 600 frames",
        levels=[600, 1000],
        rates=[0.15, 0.22],
        frames=600,
        snr=4,
    ),
    "three": dict(
        label="3 states, SNR 3, 600 frames",
        levels=[400, 700, 1000],
        rates=[[0, 0.1, 0.05], [0.1, 0, 0.1], [0.05, 0.1, 0]],
        frames=600,
        snr=3,
    ),
    "slow": dict(
        label="2 states, SNR 4, slow (dwells 100 and 200 frames), 1000 frames",
        levels=[600, 1000],
        rates=[0.05, 0.025],
        frames=1000,
        snr=4,
    ),
}
METHODS = ("xic", "bic", "bic+refine", "hmm", "pelt")
LOSSES = ("no pair", "too narrow", "ratio test", "NS test", "merged away", "kept")


def noise_sigma(y):
    """Noise standard deviation from the median absolute frame-to-frame difference."""
    return float(np.median(np.abs(np.diff(y))) / (0.6745 * np.sqrt(2)))


def segments_of(path):
    change = np.flatnonzero(np.diff(path) != 0) + 1
    return np.concatenate([[0], change]), np.concatenate([change, [len(path)]])


def level_count(y, path):
    """Segment levels of the path grouped as refineTransitions groups them: sorted, closest
    neighbours first, joined while within sigma or three standard errors of each other, after
    allowing for two edge frames blurred by a transition."""
    sigma = noise_sigma(y)
    starts, ends = segments_of(path)
    order = np.argsort(path[starts], kind="stable")
    groups = [[path[starts][k] * (ends - starts)[k], float((ends - starts)[k])] for k in order]
    while len(groups) > 1:
        ratios = [
            (b[0] / b[1] - a[0] / a[1])
            * max(0.0, 1 - 2 / min(a[1], b[1]))
            / max(sigma, 3 * sigma * np.sqrt(1 / a[1] + 1 / b[1]))
            for a, b in zip(groups, groups[1:])
        ]
        i = int(np.argmin(ratios))
        if ratios[i] > 1:
            break
        groups[i] = [groups[i][0] + groups[i + 1][0], groups[i][1] + groups[i + 1][1]]
        del groups[i + 1]
    return len(groups)


def match(true, found):
    """Matched pairs (true index, found index), one to one within the tolerance."""
    used = np.zeros(len(found), bool)
    pairs = []
    for i, t in enumerate(true):
        near = np.flatnonzero(~used & (np.abs(found - t) <= TOLERANCE))
        if len(near):
            j = near[np.argmin(np.abs(found[near] - t))]
            used[j] = True
            pairs.append((i, j))
    return pairs


def hmm_path(y, states, seed, restarts=3):
    """Viterbi path of the best of a few Gaussian HMM fits (EM finds local optima)."""
    from hmmlearn.hmm import GaussianHMM

    x = y.reshape(-1, 1)
    best, best_score = None, -np.inf
    for k in range(restarts):
        model = GaussianHMM(
            n_components=states, covariance_type="diag", n_iter=200, random_state=seed + k
        )
        model.fit(x)
        score = model.score(x)
        if score > best_score:
            best, best_score = model, score
    return best.means_[best.predict(x), 0]


def pelt_path(y):
    import ruptures

    penalty = 2 * noise_sigma(y) ** 2 * np.log(len(y))
    ends = ruptures.Pelt(model="l2", min_size=2, jump=1).fit(y).predict(pen=penalty)
    path = np.empty_like(y)
    start = 0
    for end in ends:
        path[start:end] = y[start:end].mean()
        start = end
    return path


def batch_path(fit):
    return fit.levels[fit.frame_segment]


def flat(y):
    """The idealised trace of a fit that failed (a rejected search): one level, no transition."""
    return np.full_like(y, y.mean())


def losses(path, params, true, matched_refined):
    """Where each true transition is lost in the step fit with `params` (the bic fit)."""
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.loadData(path)
    trace.fitTrajectory(*(params[k] for k in PARAMETER_NAMES))
    half = params["halfWinLen"]
    frames = lambda p: (p[0] + half - TOLERANCE, p[1] + half + TOLERANCE)  # noqa: E731
    kept = {tuple(p[:2]) for p in trace.newPairs}
    tests = {
        tuple(p[:2]): (rr, ns)
        for p, rr, ns in zip(trace.newPairs, trace.thresholdBoolRR, trace.thresholdBoolNS)
    }
    final = trace.finalPartitions()
    gaps = [(a[1] - TOLERANCE, b[0] + TOLERANCE) for a, b in zip(final, final[1:])]
    counts = {name: [0, 0] for name in LOSSES}  # [lost here, matched after refinement]
    for i, t in enumerate(true):
        near = [tuple(p[:2]) for p in trace.pairs if frames(p)[0] <= t <= frames(p)[1]]
        if not near:
            stage = "no pair"
        elif not any(p in kept for p in near):
            stage = "too narrow"
        elif not any(tests[p][0] for p in near if p in kept):
            stage = "ratio test"
        elif not any(tests[p][1] for p in near if p in kept):
            stage = "NS test"
        elif not any(a <= t <= b for a, b in gaps):
            stage = "merged away"
        else:
            stage = "kept"
        counts[stage][0] += 1
        counts[stage][1] += i in matched_refined
    return counts


def evaluate(path, truth_path, states, seed):
    """Every method on one trace: {method: (true, found, matched, level error sum, frames,
    levels right)} and the loss counts of the bic fit."""
    from lumetra.batch import FitRejected, fit_file

    truth = pd.read_csv(truth_path)
    state = truth.state.to_numpy()
    ideal = truth.ideal.to_numpy(float)
    true = np.flatnonzero(np.diff(state) != 0) + 1
    visited = len(np.unique(state[state >= 0]))
    y = pd.read_table(path)["CH1-BGND1"].to_numpy(float)
    paths, seconds = {}, {}

    failed = []
    start = time.perf_counter()
    np.random.seed(seed)
    try:
        paths["xic"] = batch_path(fit_file(path))
    except FitRejected:
        paths["xic"] = flat(y)
        failed.append("xic")
    seconds["xic"] = time.perf_counter() - start
    start = time.perf_counter()
    np.random.seed(seed)
    try:
        fit = fit_file(path, criterion="bic")
        paths["bic"] = batch_path(fit)
        seconds["bic"] = time.perf_counter() - start
        start = time.perf_counter()
        paths["bic+refine"] = batch_path(fit_file(path, fit.params, criterion="bic", refine=True))
        seconds["bic+refine"] = seconds["bic"] + time.perf_counter() - start
    except FitRejected:
        fit = None
        paths["bic"] = paths["bic+refine"] = flat(y)
        seconds["bic"] = seconds["bic+refine"] = time.perf_counter() - start
        failed += ["bic", "bic+refine"]
    start = time.perf_counter()
    paths["hmm"] = hmm_path(y, states, seed % 2**31)
    seconds["hmm"] = time.perf_counter() - start
    start = time.perf_counter()
    paths["pelt"] = pelt_path(y)
    seconds["pelt"] = time.perf_counter() - start

    out = {}
    for method, fitted in paths.items():
        found = np.flatnonzero(np.diff(fitted) != 0) + 1
        matched = match(true, found)
        out[method] = dict(
            true=len(true),
            found=len(found),
            matched=len(matched),
            error=float(np.abs(fitted - ideal).sum()),
            frames=len(y),
            levels_right=level_count(y, fitted) == visited,
            seconds=seconds[method],
            rejected=method in failed,
        )
    refined_found = np.flatnonzero(np.diff(paths["bic+refine"]) != 0) + 1
    matched_refined = {i for i, _ in match(true, refined_found)}
    if fit is None:
        return out, {k: [len(true) if k == "no pair" else 0, 0] for k in LOSSES}
    return out, losses(path, fit.params, true, matched_refined)


def run_set(name, spec, traces, jobs, root):
    files = simulate_traces(
        root / name,
        traces,
        spec["levels"],
        spec["rates"],
        0.2,
        spec["frames"],
        snr=spec["snr"],
        seed=2024,
    )
    spacing = float(np.min(np.diff(spec["levels"])))
    states = len(spec["levels"])
    jobs_args = [
        (f, str(root / name / "truth" / (Path(f).stem + ".csv")), states, 1000 + i)
        for i, f in enumerate(files)
    ]
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs) as pool:
        results = list(pool.map(evaluate, *zip(*jobs_args)))
    rows = []
    for method in METHODS:
        per = [r[0][method] for r in results]
        total = {k: sum(p[k] for p in per) for k in per[0]}
        precision = total["matched"] / max(total["found"], 1)
        recall = total["matched"] / max(total["true"], 1)
        f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
        rows.append(
            dict(
                method=method,
                precision=precision,
                recall=recall,
                F1=f1,
                level_error=total["error"] / total["frames"] / spacing,
                levels_right=total["levels_right"] / len(per),
                rejected=total["rejected"],
                seconds_per_trace=total["seconds"] / len(per),
            )
        )
    loss = {k: [sum(r[1][k][0] for r in results), sum(r[1][k][1] for r in results)] for k in LOSSES}
    return pd.DataFrame(rows), loss, sum(r[0]["xic"]["true"] for r in results)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=50)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--sets", default="fast,three,slow")
    args = parser.parse_args()
    pd.set_option("display.width", 120)
    with tempfile.TemporaryDirectory() as tmp:
        for name in args.sets.split(","):
            spec = SETS[name]
            start = time.perf_counter()
            table, loss, true = run_set(name, spec, args.traces, args.jobs, Path(tmp))
            print(f"\n== {name}: {spec['label']}, {args.traces} traces, {true} true transitions")
            print(table.to_string(index=False, float_format=lambda v: f"{v:.4f}"))
            print("  true transitions by where the bic fit loses them (matched after refinement):")
            print("  " + ", ".join(f"{k} {v[0]} ({v[1]})" for k, v in loss.items()))
            print(f"  wall time {time.perf_counter() - start:.0f} s on {args.jobs} processes")


if __name__ == "__main__":
    main()
