"""Time streamNS from Python on a long trace: the native fast path against the
window-by-window path that any other component takes.

    .venv/bin/python bench/stream_bench.py [--frames 100000] [--window 19] [--runs 20]
"""

import argparse
import statistics
import time

import numpy as np
import pandas as pd

import nonstationarity
from lumetra import dataStatsCalac


class WindowByWindow(nonstationarity.NonStationary):
    def nsFuncRange(self, nsAlgo, start, end):
        return super().nsFuncRange(nsAlgo, start, end)


def timed(fn, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--window", type=int, default=19)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    trace = pd.Series(rng.normal(500.0, 40.0, args.frames))
    fast = dataStatsCalac.streamNS(trace, args.window)

    median, best = timed(lambda: dataStatsCalac.streamNS(trace, args.window), args.runs)
    print(f"streamNS, native component: median {median * 1e3:.2f} ms, best {best * 1e3:.2f} ms")

    class Module:
        NonStationary = WindowByWindow

    dataStatsCalac.ns = Module
    try:
        slow = dataStatsCalac.streamNS(trace, args.window)
        median, best = timed(lambda: dataStatsCalac.streamNS(trace, args.window), 3)
    finally:
        dataStatsCalac.ns = nonstationarity
    print(f"streamNS, window by window:  median {median * 1e3:.2f} ms, best {best * 1e3:.2f} ms")
    print(f"same values: {fast == slow}; {len(fast)} windows of {args.window} samples")


if __name__ == "__main__":
    main()
