"""The linearised bootstrap against refits of every resample: each rate's 95% interval and the
wall time of each, on the same resamples (same seed).

    .venv/bin/python bench/bootstrap_bench.py [--sets l1,three,noisy] [--seeds 3,5,7]

- l1: the kinSoft level-1 traces (100 traces, 120k frames; fit_hmm on the files);
- three: the three-state chain of bench/model_stage_bench.py (lumetra simulate, 100 traces);
- noisy: its short noisy traces of four kinetic states on two FRET levels, one set per seed.
Each set is fitted twice with the defaults, once per bootstrap method; the difference of the
two wall times is the difference of the bootstraps. Prints per rate the two intervals and the
ratio of their widths (linearised / refit).
"""

import argparse
import tempfile
import time
from pathlib import Path

import model_stage_bench as stage
import numpy as np

from lumetra.kinetics import fit_hmm


def intervals(data, method):
    started = time.perf_counter()
    result = fit_hmm(data, bootstrap_method=method)
    seconds = time.perf_counter() - started
    shown = result.rate_table.query("rate > 0")
    return seconds, shown, result.bootstrap_method


def compare(name, data):
    refit_seconds, refit, _ = intervals(data, "refit")
    linear_seconds, linear, method = intervals(data, "linearised")
    ratio = (linear["rate_upper"] - linear["rate_lower"]).to_numpy() / (
        refit["rate_upper"] - refit["rate_lower"]
    ).to_numpy()
    print(
        f"{name}: refit {refit_seconds:.1f} s, linearised {linear_seconds:.1f} s "
        f"(bootstrap made by: {method}); width ratio {np.round(ratio, 3)}"
    )
    for (_, a), (_, b) in zip(refit.iterrows(), linear.iterrows()):
        print(
            f"  k {a['from_state']}->{a['to_state']} = {a['rate']:.4g}: refit "
            f"[{a['rate_lower']:.4g}, {a['rate_upper']:.4g}], linearised "
            f"[{b['rate_lower']:.4g}, {b['rate_upper']:.4g}]"
        )
    return ratio


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sets", default="l1,three,noisy")
    parser.add_argument("--seeds", default="3,5,7", help="of the noisy sets")
    args = parser.parse_args()
    sets = args.sets.split(",")
    ratios = []
    if "l1" in sets:
        files = sorted((stage.DATA / "kinsoft-training-L1/traces").iterdir())
        ratios.append(compare("kinSoft level 1", [str(f) for f in files]))
    if "three" in sets:
        with tempfile.TemporaryDirectory() as folder:
            traces = Path(folder) / "three"
            rates = [a for r in stage.THREE_RATES for a in ("--rate", *r)]
            made = stage.lumetra(
                "simulate", str(traces), "--count", "100", *stage.THREE_STATE, *rates,
                "--noise", "0.07", "--seed", "3",
            )  # fmt: skip
            if made.returncode:
                raise SystemExit(made.stderr)
            files = [str(f) for f in sorted(traces.glob("trace_*.txt"))]
            ratios.append(compare("three-state chain", files))
    if "noisy" in sets:
        for seed in map(int, args.seeds.split(",")):
            ratios.append(compare(f"noisy hidden states, seed {seed}", stage.noisy_set(seed)))
    every = np.concatenate(ratios)
    print(f"width ratios over all rates: {np.min(every):.3f} ... {np.max(every):.3f}")


if __name__ == "__main__":
    main()
