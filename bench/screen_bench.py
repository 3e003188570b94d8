"""Time batchcore.screen_trace and screen_signal per trace: synthetic two-colour traces with
two FRET states, blinks, spikes and a bleaching step, and (--data) real traces of a folder.

    .venv/bin/python bench/screen_bench.py [--frames 1000] [--traces 200] [--runs 5]
        [--data ../shared/data/kinsoft-experimental-2/traces]
"""

import argparse
import pathlib
import statistics
import time

import numpy as np

from lumetra import batchcore, io


def synthetic(rng, frames):
    """Donor, acceptor and acceptor-direct channels of one molecule."""
    state = np.cumsum(rng.random(frames) < 0.02) % 2
    efficiency = np.where(state == 1, 0.8, 0.25)
    total = np.full(frames, 1000.0)
    total[int(0.8 * frames) :] = 0.0
    for start in rng.integers(0, frames - 5, 3):
        total[start : start + 3] = 0.0
    donor = total * (1 - efficiency) + rng.normal(0, 40, frames)
    acceptor = total * efficiency + rng.normal(0, 40, frames)
    acceptor[rng.integers(0, frames, 2)] += 1500.0
    direct = np.where(total > 0, 900.0, 0.0) + rng.normal(0, 40, frames)
    return donor, acceptor, direct


def per_trace(fn, inputs, runs):
    """Median over runs of the time per trace of fn over all inputs, in ms."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        for args in inputs:
            fn(*args)
        times.append((time.perf_counter() - start) / len(inputs))
    return statistics.median(times) * 1e3


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--traces", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--data", type=pathlib.Path)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    traces = [synthetic(rng, args.frames) for _ in range(args.traces)]
    with_direct = per_trace(batchcore.screen_trace, traces, args.runs)
    two_colour = per_trace(batchcore.screen_trace, [t[:2] for t in traces], args.runs)
    single = per_trace(batchcore.screen_signal, [(t[0] + t[1],) for t in traces], args.runs)
    print(
        f"{args.frames} frames: screen_trace {two_colour:.3f} ms, with acceptor_direct "
        f"{with_direct:.3f} ms, screen_signal {single:.3f} ms per trace"
    )

    if args.data:
        real = [io.read_traces(path)[0] for path in sorted(args.data.glob("*.dat"))]
        channels = [(t.donor, t.acceptor) for t in real]
        frames = sum(len(t) for t in real)
        elapsed = per_trace(batchcore.screen_trace, channels, args.runs) * len(real)
        print(
            f"{len(real)} traces of {args.data.name} ({frames} frames): {elapsed:.2f} ms in "
            f"all, {elapsed / frames * 1e3:.3f} ms per 1,000 frames"
        )


if __name__ == "__main__":
    main()
