"""Time of one explorer figure build (fit included) on a long trace.

    python bench/explorer_bench.py [--frames 10000] [--runs 20]

Writes a two-level trace with Gaussian noise into a temporary directory, builds an explorer on
it and times plotSubPlots at the default parameters (window length 19). Prints the median and
the spread of the runs (wall clock and CPU time) and what the figure draws.
"""

import argparse
import os
import pickle
import statistics
import sys
import tempfile
import time

import numpy as np


def write_trace(path, frames, seed=7):
    rng = np.random.default_rng(seed)
    levels = np.empty(frames)
    position, state = 0, 0
    while position < frames:
        dwell = int(rng.exponential(100 if state == 0 else 70)) + 5
        levels[position : position + dwell] = (300.0, 800.0)[state]
        position += dwell
        state = 1 - state
    intensity = levels + rng.normal(0.0, 50.0, frames)
    with open(path, "w") as out:
        out.write("Frame/10\tCH1-BGND1\n")
        for k in range(frames):
            out.write(f"{k / 10}\t{float(intensity[k])!r}\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=20)
    args = parser.parse_args()

    data = tempfile.mkdtemp()
    trace = os.path.join(data, "trace.txt")
    write_trace(trace, args.frames)
    with open(os.path.join(data, "explorerDir.pickle"), "wb") as out:
        pickle.dump(data + os.sep, out)
    os.chdir(data)
    sys.stdout.flush()
    from lumetra.nsLumetraPlotly import fretExplorer

    explorer = fretExplorer(trace)
    explorer.renderTab1taskDone = True  # stream rows at once: no task needs an event loop
    tf = explorer.tf
    times, cpu = [], []
    for _ in range(args.runs + 2):
        start, start_cpu = time.perf_counter(), time.process_time()
        fig = explorer.plotSubPlots(tf.frames, tf.CH1mBGND1, trace, 19)
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    # The first builds pay for plotly's lazy imports.
    times, cpu = times[2:], cpu[2:]
    start = time.perf_counter()
    tf.fitTrajectory(9, 0.177, 0.2, 0)
    fit = time.perf_counter() - start

    shapes = fig.layout.shapes
    spans = sum(1 for s in shapes if s.type == "rect")
    lines = len(shapes) - spans
    levels = sum(1 for s in shapes if (s.name or "").startswith("mFRET")) // 3
    print(f"plotSubPlots on {args.frames} frames, window 19, {args.runs} runs:")
    print(
        f"  median {statistics.median(times) * 1e3:.1f} ms "
        f"(min {min(times) * 1e3:.1f}, max {max(times) * 1e3:.1f}); "
        f"the fit alone {fit * 1e3:.2f} ms"
    )
    # CPU time is what the build costs even when other work shares the cores.
    print(f"  CPU time: median {statistics.median(cpu) * 1e3:.1f} ms, min {min(cpu) * 1e3:.1f}")
    print(
        f"  figure: {len(fig.data)} traces, {spans} spans, {lines} lines "
        f"({levels} levels x 3 + 3 thresholds), {len(fig.layout.annotations)} labels"
    )


if __name__ == "__main__":
    main()
