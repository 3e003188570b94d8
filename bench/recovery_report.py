"""Why rate constants from batch fits of fast two-state traces are off.

    .venv/bin/python bench/recovery_report.py [--traces 50] [--frames 1000] [--jobs 2]

Simulates the recovery scheme (frame time 0.2 s, rates 0.15 and 0.22 s^-1, level gap four
times the noise), fits it in batch with searched (half window 3 to 7) and with fixed
parameters, and compares the detected transitions with the true ones: matched (within
--tolerance seconds), missed and spurious, how many fitted segments neighbour merging joined,
and how short the missed dwells were.
"""

import argparse
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra.batch import fit_traces
from lumetra.lumetraTrace import lumetraTrace
from lumetra.simulation import simulate_traces

RATES = [0.15, 0.22]


def transitions(times, levels):
    change = np.flatnonzero(np.diff(levels) != 0) + 1
    return times[change]


def compare(result, truth, tolerance):
    matched = missed = spurious = 0
    missed_lengths, all_lengths = [], []
    for fit in result.fits:
        name = Path(fit.path).name
        visits = truth[truth.file == name]
        true_times = visits.start.to_numpy()[1:]
        rows = result.segments[result.segments.file == fit.path]
        found = transitions(fit.time, rows.state.to_numpy()[fit.frame_segment])
        used = np.zeros(len(found), bool)
        durations = visits.duration.to_numpy()
        for k, t in enumerate(true_times):
            near = np.flatnonzero(~used & (np.abs(found - t) <= tolerance))
            # the shorter of the two dwells the transition separates
            shorter = min(durations[k], durations[k + 1])
            all_lengths.append(shorter)
            if len(near):
                used[near[np.argmin(np.abs(found[near] - t))]] = True
                matched += 1
            else:
                missed += 1
                missed_lengths.append(shorter)
        spurious += int((~used).sum())
    return matched, missed, spurious, np.array(missed_lengths), np.array(all_lengths)


def merged_segments(files, params):
    before = after = 0
    for path in files:
        trace = lumetraTrace()
        trace.loadData(path)
        trace.fitTrajectory(*params)
        before += len(trace.partitions)
        after += len(trace.finalPartitions())
    return before, after


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=50)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--tolerance", type=float, default=2.0, help="seconds")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        sim = Path(tmp) / "sim"
        files = simulate_traces(
            sim, args.traces, [600, 1000], RATES, 0.2, args.frames, snr=4, seed=2024
        )
        truth = pd.read_csv(sim / "truth_dwells.csv")
        complete = (
            truth[~truth.censored].groupby("file").apply(lambda v: v.iloc[1:], include_groups=False)
        )
        true_rates = [1 / complete[complete.state == s].duration.mean() for s in (0, 1)]
        print(f"{args.traces} traces x {args.frames} frames, {len(truth)} true visits")
        print(f"rates of the true complete dwells: {np.round(true_rates, 4)} s^-1")
        runs = {
            "searched (halfWinLen 3-7)": {"search": {"halfWinLen": (3, 7, 1)}},
            "fixed (5, -1, 0.2, 0)": {"params": (5, -1.0, 0.2, 0)},
        }
        for label, options in runs.items():
            result = fit_traces(
                files,
                Path(tmp) / label[:5],
                jobs=args.jobs,
                progress=False,
                method="classic",
                **options,
            )
            matched, missed, spurious, missed_len, all_len = compare(result, truth, args.tolerance)
            rates = result.kinetics.rate.to_numpy()
            print(f"\n{label}:")
            print(f"  levels {np.round(result.kinetics.level.to_numpy(), 1)}")
            errors = np.round(100 * (rates / RATES - 1), 1)
            print(f"  rates {np.round(rates, 4)} s^-1, errors {errors} %")
            print(
                f"  true transitions {matched + missed}: matched {matched}, missed {missed}; "
                f"spurious {spurious}"
            )
            if len(missed_len):
                print(
                    f"  missed transitions border a dwell of median {np.median(missed_len):.2f} s "
                    f"(all transitions: {np.median(all_len):.2f} s); "
                    f"{np.mean(missed_len < 2.0):.0%} of them one shorter than 2 s"
                )
            params = {tuple(fit.params.values()) for fit in result.fits}
            before = after = 0
            for p in params:
                subset = [f.path for f in result.fits if tuple(f.params.values()) == p]
                b, a = merged_segments(subset, p)
                before, after = before + b, after + a
            print(f"  segments: {before} fitted, {after} after neighbour merging")


if __name__ == "__main__":
    main()
