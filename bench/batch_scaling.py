"""Wall time and peak memory of the collecting process of a batch fit with fixed parameters.

    .venv/bin/python bench/batch_scaling.py [--traces 1000] [--frames 500] [--jobs 2]
                                            [--no-spreadsheet] [--keep DIR]

Simulates the traces (two states, 300 and 800, rates 0.05 and 0.08 s^-1, frame time 0.1 s),
runs `fit_traces` with the parameters fixed (5, -1, 0.2, 0) and the classic kinetics on a pool
of --jobs processes, and prints the wall time and the peak resident memory of this process
(the one that collects the results and writes the summaries; the workers are not counted).
Run it once per size, each in a fresh interpreter, so that the peaks do not carry over.
"""

import argparse
import resource
import tempfile
import time
from pathlib import Path

from lumetra.batch import fit_traces
from lumetra.simulation import simulate_traces


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux: KiB


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--frames", type=int, default=500)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-spreadsheet", action="store_true")
    parser.add_argument("--keep", help="write inputs and results here instead of a temp dir")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(args.keep or tmp)
        files = simulate_traces(
            root / "traces", args.traces, [300, 800], [0.05, 0.08], 0.1, args.frames, snr=6, seed=7
        )
        before = peak_mib()
        start = time.perf_counter()
        result = fit_traces(
            files,
            root / "results",
            jobs=args.jobs,
            params=(5, -1, 0.2, 0),
            progress=False,
            spreadsheet=not args.no_spreadsheet,
        )
        wall = time.perf_counter() - start
        print(
            f"{args.traces} traces x {args.frames} frames on {args.jobs} processes: "
            f"{wall:.1f} s wall (fits {result.timings['fits']:.1f} s, outputs "
            f"{result.timings['outputs']:.1f} s); peak RSS of the collecting process "
            f"{peak_mib():.0f} MiB ({before:.0f} MiB after simulating)"
        )


if __name__ == "__main__":
    main()
