"""Fits in two threads at once: the C++ part of a fit runs without the GIL."""

import threading

import numpy as np
import pandas as pd

from lumetra.lumetraTrace import lumetraTrace


def trace(seed, frames=3000):
    rng = np.random.default_rng(seed)
    levels = rng.uniform(0, 100, 4)
    ideal = np.repeat(levels[rng.integers(0, 4, frames // 150)], 150)
    obj = lumetraTrace()
    obj.frames = pd.Series(np.arange(frames) * 0.1)
    obj.CH1mBGND1 = pd.Series(ideal + rng.normal(0, 4, frames))
    return obj


def fits(obj, settings):
    """Every fit's score, partitions and nonstationarity stream, in order."""
    out = []
    for setting in settings:
        score = obj.fitTrajectory(*setting)
        out.append((score, [list(p) for p in obj.partitions], obj.dataNS))
    return out


def test_two_threads_fitting_two_traces_get_what_one_thread_gets():
    rng = np.random.default_rng(11)
    settings = [
        (int(rng.integers(3, 16)), float(rng.uniform(-1, 1)), float(rng.uniform(0, 1)), 0)
        for _ in range(150)
    ]
    # each thread refits its own trace, so the prepared traces of both are in use at once
    traces = [trace(1), trace(2)]
    alone = [fits(obj, settings) for obj in traces]
    together = [None, None]
    start = threading.Barrier(2)

    def run(k):
        start.wait()
        together[k] = fits(traces[k], settings)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert together == alone
    assert alone[0] != alone[1]
