"""The shared model's noise settings side by side: one spread for all traces and no outlier term
(noise="shared", outliers=False, shared_spread=True) against the defaults (a noise scale per
trace, the outlier term, the spread kind chosen by BIC).

    .venv/bin/python bench/hmm_noise_bench.py [--only kinsoft|real|bright] [--bootstrap 200]
        [--dark 0.3]

- kinsoft: kinSoft level 1 (simulated, one noise for all), through hmm_bench.evaluate: K,
  transition F1, levels and rates (true 1.0 and 0.666 /s).
- real: the real traces of kinsoft-experimental-2: E = A / (D + A), frames with D + A at most
  --dark (DARK) times the trace's bright level (its 90th percentile of D + A) set to NaN
  (--dark 0: only D + A <= 0), started from k-means of the frames (the step fit takes no NaN
  frames); K, levels, spreads, the range of the trace scales, the outlier share.
- bright: two-state traces (E 0.3 and 0.7) whose molecules differ in noise, drawn uniformly
  from NOISE_RANGE (in E): K by BIC and the levels.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hmm_bench import evaluate, kinsoft_data  # noqa: E402

from lumetra import batchcore  # noqa: E402
from lumetra.kinetics import fit_hmm  # noqa: E402
from lumetra.simulation import rate_matrix  # noqa: E402

OLD = {"noise": "shared", "outliers": False, "shared_spread": True}
NEW: dict[str, object] = {}
SETTINGS = (("shared noise, no outliers", OLD), ("defaults", NEW))
REAL = Path(__file__).resolve().parents[2] / "shared/data/kinsoft-experimental-2/traces"
DARK = 0.3
NOISE_RANGE = (0.04, 0.15)


def kinsoft(bootstrap):
    data, truths, levels, rates = kinsoft_data()
    for label, settings in SETTINGS:
        rows = evaluate(
            "kinSoft L1", data, truths, levels, rates, bootstrap, every=False, fit=settings
        )
        frame = pd.DataFrame(rows[1:2])
        print(f"--- {label}")
        print(frame.to_string(index=False), flush=True)


def real_traces(dark):
    traces = []
    for path in sorted(REAL.glob("*.dat")):
        time, donor, acceptor = np.loadtxt(path, unpack=True)
        total = donor + acceptor
        bright = np.percentile(total, 90)
        e = np.where(total > dark * bright, acceptor / np.where(total > 0, total, 1), np.nan)
        traces.append((time, e))
    return traces


def summary(result):
    scales = result.trace_noise
    return {
        "K": result.states,
        "levels": np.round(result.levels, 3).tolist(),
        "spreads": np.round(result.spreads, 3).tolist(),
        "trace scales (5%, 50%, 95%)": np.round(np.percentile(scales, [5, 50, 95]), 2).tolist(),
        "outlier share": round(result.outlier_share, 4),
        "BIC": {k: round(v) for k, v in result.bic.items()},
    }


def real(bootstrap, dark=DARK):
    traces = real_traces(dark)
    print(f"{len(traces)} real traces, {sum(np.count_nonzero(~np.isnan(e)) for _, e in traces)}")
    for label, settings in SETTINGS:
        # The step fit takes no NaN frames: the model starts from k-means of the frames.
        result = fit_hmm(traces, bootstrap=bootstrap, start="kmeans", **settings)
        print(f"--- {label}: {summary(result)}")
        print(result.bic_table.to_string(index=False))
        print(result.rate_table.to_string(index=False), flush=True)


def bright(bootstrap, count=60, frames=500, seed=5):
    rng = np.random.default_rng(seed)
    levels, dt = [0.3, 0.7], 0.1
    matrix = rate_matrix(levels, [[0, 1.0], [0.666, 0]])
    traces = []
    for n in range(count):
        sigma = rng.uniform(*NOISE_RANGE)
        t = batchcore.simulate_kinetics(
            levels, matrix, dt, frames, gaussian_sigma=sigma, seed=seed * 1000 + n
        )
        traces.append((np.asarray(t["time"]), np.asarray(t["intensity"])))
    print(f"{count} traces of {frames} frames, noise per molecule uniform in {NOISE_RANGE}")
    for label, settings in SETTINGS:
        result = fit_hmm(traces, bootstrap=bootstrap, **settings)
        print(f"--- {label}: {summary(result)}")
        print(result.rate_table.to_string(index=False), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=["kinsoft", "real", "bright"])
    parser.add_argument("--bootstrap", type=int, default=0)
    parser.add_argument("--dark", type=float, default=DARK, help="mask of the real traces")
    args = parser.parse_args()
    pd.set_option("display.width", 250)
    pd.set_option("display.max_columns", 30)
    runs = (("kinsoft", kinsoft), ("real", lambda b: real(b, args.dark)), ("bright", bright))
    for name, run in runs:
        if args.only in (None, name):
            print(f"=== {name}", flush=True)
            run(args.bootstrap)


if __name__ == "__main__":
    main()
