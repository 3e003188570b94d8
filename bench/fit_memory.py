"""Memory of repeated fits: the resident set after a warm-up and after many fits.

    .venv/bin/python bench/fit_memory.py [--fits 10000] [--warmup 500] [--max-growth-mib M]

Fits the bundled example traces in turn with a few parameter settings through
fitTrajectory and finalPartitions; every tenth fit passes the half window as a numpy integer,
which takes the call-by-call path, and every hundredth asks for a window longer than the
trace, whose error is caught.  Prints VmRSS (from /proc/self/status) after the warm-up fits and at
the end.  With --max-growth-mib it exits with status 1 when the resident set grew by more.
"""

import argparse
import itertools
import logging
import sys
import time
import warnings
from pathlib import Path

import numpy as np

import lumetra
from lumetra.lumetraTrace import lumetraTrace

SETTINGS = [(9, 0.177, 0.2, 0), (5, -1.0, 0.2, 0), (15, 0.1, 0.5, 3), (7, 0.3, 0.0, 2)]


def resident_kib():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def load_traces():
    traces = []
    for path in sorted((Path(lumetra.__file__).parent / "examples" / "traces").glob("*.txt")):
        trace = lumetraTrace()
        trace.loadData(str(path))
        traces.append(trace)
    return traces


def fit_once(trace, settings, count):
    halfWinLen, rratio, thrate, filterWidth = settings
    if count % 100 == 99:
        try:
            trace.fitTrajectory(10**6, rratio, thrate, filterWidth)
        except Exception:  # the library's own error for a window longer than the trace
            pass
        return
    if count % 10 == 9:
        halfWinLen = np.int64(halfWinLen)
    trace.fitTrajectory(halfWinLen, rratio, thrate, filterWidth)
    trace.finalPartitions()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fits", type=int, default=10_000)
    parser.add_argument("--warmup", type=int, default=500)
    parser.add_argument("--max-growth-mib", type=float)
    args = parser.parse_args()
    # The call-by-call path logs each step; the log file is not what is measured.
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore", RuntimeWarning)  # numpy's, for the window that is too long

    traces = load_traces()
    cases = itertools.cycle(itertools.product(traces, SETTINGS))
    start = time.perf_counter()
    for count in range(args.warmup):
        fit_once(*next(cases), count)
    warm = resident_kib()
    for count in range(args.fits):
        fit_once(*next(cases), count)
    end = resident_kib()
    growth = (end - warm) / 1024
    print(
        f"{args.warmup} warm-up fits, then {args.fits} fits in "
        f"{time.perf_counter() - start:.1f} s: VmRSS {warm / 1024:.1f} MiB after the warm-up, "
        f"{end / 1024:.1f} MiB at the end ({growth:+.2f} MiB)"
    )
    if args.max_growth_mib is not None and growth > args.max_growth_mib:
        print(f"the resident set grew by more than {args.max_growth_mib} MiB", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
