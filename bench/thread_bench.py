"""Time fits of two traces in one thread and in two threads at once.

    .venv/bin/python bench/thread_bench.py [--frames 20000] [--fits 100]

The C++ part of a fit runs without the GIL, so two threads, each fitting its own trace object,
overlap on two cores; prints the wall time of both ways and the speed-up.
"""

import argparse
import threading
import time

import numpy as np
import pandas as pd

from lumetra.lumetraTrace import lumetraTrace


def simulated(seed, frames):
    rng = np.random.default_rng(seed)
    ideal = np.repeat(rng.uniform(300, 1200, frames // 150 + 1), 150)[:frames]
    trace = lumetraTrace()
    trace.frames = pd.Series(np.arange(frames) * 0.1)
    trace.CH1mBGND1 = pd.Series(ideal + rng.normal(0, 60, frames))
    return trace


def fit_all(trace, settings):
    for setting in settings:
        trace.fitTrajectory(*setting)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=20000)
    parser.add_argument("--fits", type=int, default=100, help="fits per trace")
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(3)
    settings = [
        (int(rng.integers(5, 21)), float(rng.uniform(-1, 3)), float(rng.uniform(0, 1.1)), 0)
        for _ in range(args.fits)
    ]
    traces = [simulated(1, args.frames), simulated(2, args.frames)]
    for trace in traces:
        trace.fitTrajectory(9, 0.177, 0.2, 0)  # prepares the trace for the fits that follow

    def one_thread():
        for trace in traces:
            fit_all(trace, settings)

    def two_threads():
        threads = [threading.Thread(target=fit_all, args=(t, settings)) for t in traces]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    best = {}
    for name, run in (("one thread", one_thread), ("two threads", two_threads)):
        times = []
        for _ in range(args.repeats):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        best[name] = min(times)
        print(f"{name:12s} {2 * args.fits} fits of {args.frames} frames: {best[name]:.3f} s")
    print(f"speed-up of two threads: {best['one thread'] / best['two threads']:.2f}x")


if __name__ == "__main__":
    main()
