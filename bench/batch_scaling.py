"""Wall time and peak memory of the collecting process of a batch fit.

    .venv/bin/python bench/batch_scaling.py [--traces 1000] [--frames 500] [--jobs 2]
                                            [--no-spreadsheet] [--method classic|hmm|default]
                                            [--keep DIR]

Simulates the traces (two states, 300 and 800, rates 0.05 and 0.08 s^-1, frame time 0.1 s) in a
child process and runs `fit_traces` on a pool of --jobs processes: with the parameters fixed
(5, -1, 0.2, 0) and the classic kinetics (--method classic) or the shared hidden Markov model
with 20 resamples (--method hmm), or the default pipeline of `lumetra fit` (--method default:
each trace's parameters searched, screening, the shared model with its K search and bootstrap).
Prints the wall time and the peak resident memory of this process (the one that collects the
results, fits the shared model and writes the summaries; the workers are not counted). With
--keep, the simulated traces are kept in DIR/traces and reused by the next run of the same size.
Run it once per size, each in a fresh interpreter, so that the peaks do not carry over.
"""

import argparse
import multiprocessing
import resource
import shutil
import tempfile
import time
from pathlib import Path

from lumetra.batch import HmmSettings, fit_traces
from lumetra.simulation import simulate_traces


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux: KiB


def simulate(folder: Path, traces: int, frames: int) -> None:
    simulate_traces(folder, traces, [300, 800], [0.05, 0.08], 0.1, frames, snr=6, seed=7)


def inputs(folder: Path, traces: int, frames: int) -> list[str]:
    """The simulated trace files, made in a child process unless `folder` holds them."""
    stamp = folder / f"simulated-{traces}x{frames}"
    if not stamp.exists():
        shutil.rmtree(folder, ignore_errors=True)
        child = multiprocessing.get_context("spawn").Process(
            target=simulate, args=(folder, traces, frames)
        )
        child.start()
        child.join()
        if child.exitcode != 0:
            raise SystemExit(f"simulating the traces failed ({child.exitcode})")
        stamp.touch()
    return sorted(str(p) for p in folder.glob("trace_*.txt"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=1000)
    parser.add_argument("--frames", type=int, default=500)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-spreadsheet", action="store_true")
    parser.add_argument("--method", choices=["classic", "hmm", "default"], default="classic")
    parser.add_argument("--keep", help="write inputs and results here instead of a temp dir")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(args.keep or tmp)
        files = inputs(root / "traces", args.traces, args.frames)
        shutil.rmtree(root / "results", ignore_errors=True)
        before = peak_mib()
        start = time.perf_counter()
        fixed = {
            "params": (5, -1, 0.2, 0),
            "method": args.method,
            "hmm": HmmSettings(bootstrap=20) if args.method == "hmm" else None,
        }
        result = fit_traces(
            files,
            root / "results",
            jobs=args.jobs,
            progress=False,
            spreadsheet=not args.no_spreadsheet,
            **({} if args.method == "default" else fixed),
        )
        wall = time.perf_counter() - start
        print(
            f"{args.traces} traces x {args.frames} frames, {args.method}, on {args.jobs} "
            f"processes: {wall:.1f} s wall (fits {result.timings['fits']:.1f} s, outputs "
            f"{result.timings['outputs']:.1f} s); peak RSS of the collecting process "
            f"{peak_mib():.0f} MiB ({before:.0f} MiB before the batch)"
        )


if __name__ == "__main__":
    main()
