"""Wall time of a batch fit with the parameter search on every file.

    .venv/bin/python bench/batch_bench.py [--traces 1000] [--frames 2000] [--jobs 2]
                                          [--no-spreadsheet] [--keep DIR]

Simulates the traces (two states, 300 and 800, rates 0.05 and 0.08 s^-1, frame time 0.1 s,
level gap six times the noise), then runs `fit_traces` with optimizeFitness per file on a pool
of --jobs processes and prints the wall time of the fits and of writing the outputs.
"""

import argparse
import tempfile
import time
from pathlib import Path

from lumetra.batch import fit_traces
from lumetra.simulation import simulate_traces


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-spreadsheet", action="store_true")
    parser.add_argument("--keep", help="write inputs and results here instead of a temp dir")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(args.keep or tmp)
        start = time.perf_counter()
        files = simulate_traces(
            root / "traces", args.traces, [300, 800], [0.05, 0.08], 0.1, args.frames, snr=6, seed=7
        )
        print(
            f"simulated {len(files)} traces x {args.frames} frames in "
            f"{time.perf_counter() - start:.1f} s"
        )

        start = time.perf_counter()
        result = fit_traces(
            files,
            root / "results",
            jobs=args.jobs,
            spreadsheet=not args.no_spreadsheet,
            method="classic",
        )
        wall = time.perf_counter() - start
        fit_seconds = sum(fit.seconds for fit in result.fits)
        print(f"batch fit with optimizeFitness on {args.jobs} processes: {wall:.1f} s wall")
        print(f"  fits {result.timings['fits']:.1f} s, outputs {result.timings['outputs']:.1f} s")
        print(
            f"  {len(result.fits)} fitted, {len(result.failures)} failed, "
            f"{len(result.segments)} segments"
        )
        print(
            f"  per file: {fit_seconds / max(1, len(result.fits)):.3f} s in a worker "
            f"(sum {fit_seconds:.1f} s, {fit_seconds / wall:.2f} workers busy on average)"
        )
        print(
            f"  levels {result.kinetics.level.round(1).tolist()}, "
            f"rates {result.kinetics.rate.round(4).tolist()} s^-1"
        )


if __name__ == "__main__":
    main()
