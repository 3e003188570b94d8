"""The shared model's fit with its E-steps on Dask workers against the fit in one process.

    .venv/bin/python bench/dask_model_bench.py [--traces 400] [--frames 1000] [--chunks 4]

Simulated traces (two states, rates 0.1 and 0.0666 per frame, each frame the mean level over its
exposure, a noise scale per molecule, a blink in two hundred frames) written as .npy files; the
model of the default options (frame blur, a noise scale per trace, the outlier term over
select.outlier_window). Prints: the local fit (hmmcore.fit, 1 and 2 threads); on a LocalCluster
of 1 and 2 single-threaded worker processes, the largest difference from the local fit (means,
transition, log-likelihood), seconds per E-step and bytes per E-step (pickled models sent,
tallies received); and a 2-worker fit during which the worker holding the first chunk is killed
(SIGKILL after three E-steps), against the fit without the loss.
"""

import argparse
import os
import signal
import tempfile
import threading
import time
from pathlib import Path

import numpy as np
from distributed import Client, LocalCluster

from lumetra import hmmcore
from lumetra.hmm.distributed import Traffic, fit_distributed, load_chunks
from lumetra.hmm.select import outlier_window

LEVELS = (0.3, 0.7)
RATES = (0.1, 0.0666)  # per frame, out of state 0 and out of state 1


def blurred_trace(frames, rng):
    """A two-state chain in continuous time seen by a camera that integrates each frame."""
    state = int(rng.random() < RATES[0] / sum(RATES))
    change = rng.exponential(1 / RATES[state])
    x = np.empty(frames)
    for t in range(frames):
        total, at = 0.0, float(t)
        while change < t + 1:
            total += (change - at) * LEVELS[state]
            at, state = change, 1 - state
            change += rng.exponential(1 / RATES[state])
        x[t] = total + (t + 1 - at) * LEVELS[state]
    x += 0.06 * rng.lognormal(0, 0.3) * rng.standard_normal(frames)
    x[rng.random(frames) < 0.005] = rng.uniform(-1, 2)
    return x


def largest_difference(a, b):
    return max(
        float(np.max(np.abs(a["means"] - b["means"]))),
        float(np.max(np.abs(a["transition"] - b["transition"]))),
        abs(a["log_likelihood"] - b["log_likelihood"]) / abs(b["log_likelihood"]),
    )


def kill_after(steps, traffic, pid):
    while traffic.steps < steps:
        time.sleep(0.002)
    os.kill(pid, signal.SIGKILL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--traces", type=int, default=400)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--chunks", type=int, default=4)
    args = parser.parse_args()
    rng = np.random.default_rng(5)
    traces = [blurred_trace(args.frames, rng) for _ in range(args.traces)]
    window = outlier_window(traces)
    assert window is not None
    start: hmmcore._Model = {
        "means": np.array([0.1, 0.9]),
        "spreads": np.array([0.3, 0.3]),
        "start": np.array([0.5, 0.5]),
        "transition": np.array([[0.5, 0.5], [0.5, 0.5]]),
        "outlier_share": 0.01,
        "outlier_density": 1 / (window[1] - window[0]),
    }
    options = {"fit_trace_scales": True, "fit_outliers": True}
    for threads in (1, 2):
        began = time.perf_counter()
        local = hmmcore.fit(traces, start, frame_blur=True, threads=threads, **options)
        seconds = time.perf_counter() - began
        print(
            f"local, {threads} thread(s): {local['iterations']} iterations, "
            f"{seconds / (local['iterations'] + 1):.3f} s per E-step (with M-steps), "
            f"converged {local['converged']}"
        )
    with tempfile.TemporaryDirectory() as folder:
        files = []
        for n, trace in enumerate(traces):
            files.append(Path(folder) / f"{n}.npy")
            np.save(files[-1], trace)
        parts = [list(part) for part in np.array_split(np.array(files), args.chunks)]
        for workers in (1, 2):
            with (
                LocalCluster(
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
                ) as cluster,
                Client(cluster) as client,
            ):
                chunks = load_chunks(client, parts)
                traffic = Traffic()
                fit = fit_distributed(chunks, start, frame_blur=True, traffic=traffic, **options)
                print(
                    f"{workers} worker(s), {args.chunks} chunks: {fit['iterations']} iterations, "
                    f"largest difference from the local fit {largest_difference(fit, local):.2e}; "
                    f"{np.median(traffic.seconds):.3f} s per E-step (median); per E-step "
                    f"{traffic.sent / traffic.steps:.0f} bytes sent, "
                    f"{traffic.received / traffic.steps:.0f} bytes received "
                    f"(the frames: {8 * args.traces * args.frames} bytes)"
                )
                if workers < 2:
                    continue
                key = chunks.futures[0].key
                pid = client.run(os.getpid)[client.who_has(chunks.futures[0])[key][0]]
                watched = Traffic()
                threading.Thread(target=kill_after, args=(3, watched, pid), daemon=True).start()
                began = time.perf_counter()
                again = fit_distributed(chunks, start, frame_blur=True, traffic=watched, **options)
                seconds = time.perf_counter() - began
                alive = pid in client.run(os.getpid).values()
                print(
                    f"a worker killed after 3 E-steps (still alive: {alive}): "
                    f"{again['iterations']} iterations in {seconds:.1f} s, largest difference "
                    f"from the fit without the loss {largest_difference(again, fit):.2e}, "
                    f"slowest E-step {max(watched.seconds):.2f} s"
                )


if __name__ == "__main__":
    main()
