"""The shared model's Baum-Welch with its E-step on Dask workers.

The traces stay on the workers in chunks, each chunk loaded by a task from files (so that the
scheduler can load a lost worker's chunk again elsewhere) and kept for the whole fit. Each
E-step is one task per chunk that returns the chunk's flat tally (`hmmcore.expectation`); only
the model and those tallies travel. The fit loop itself (tolerance, extrapolation, M-step) is
`hmmcore.fit_source`, the same as `hmmcore.fit`'s, so the fit equals the one of all traces in
one process up to the rounding of summing the chunks' tallies in another order.

    chunks = load_chunks(client, [paths_a, paths_b])   # lists of .npy files, one per trace
    fit = fit_distributed(chunks, model, frame_blur=True, fit_trace_scales=True)
"""

from __future__ import annotations

import pickle
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from itertools import count, pairwise
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from distributed import Client, Future

from lumetra import hmmcore
from lumetra.hmm.trace_sets import own_model

FloatArray = npt.NDArray[np.float64]
Loader = Callable[[Sequence[str]], list[FloatArray]]

# Times a chunk's task is tried again after it raised (a worker that died does not count).
RETRIES = 3


def read_npy(paths: Sequence[str]) -> list[FloatArray]:
    """One trace per .npy file, as float64 (NaN: a frame without an observation)."""
    return [np.asarray(np.load(path), dtype=np.float64) for path in paths]


def _summary(traces: list[FloatArray]) -> tuple[npt.NDArray[np.int64], FloatArray]:
    """Non-NaN frames per trace, and the count, sum and sum of squares of all of them."""
    observed = np.array([np.count_nonzero(~np.isnan(t)) for t in traces], dtype=np.int64)
    frames = np.concatenate(traces)
    frames = frames[~np.isnan(frames)]
    return observed, np.array([frames.size, frames.sum(), np.dot(frames, frames)])


def _expectation(
    traces: list[FloatArray], model: hmmcore._Model, frame_blur: bool, per_trace: bool
) -> FloatArray:
    # One thread: a chunk's tally is then the same on whichever worker makes it.
    return hmmcore.expectation(traces, model, frame_blur, per_trace, threads=1)


@dataclass(frozen=True)
class Chunks:
    """Traces held on Dask workers: a future per chunk (its list of traces), the first trace of
    each chunk and the end, each trace's non-NaN frames, and the spread of all of them."""

    client: Client
    futures: list[Future[list[FloatArray]]]
    bounds: list[int]
    observed: npt.NDArray[np.int64]
    spread: float


def load_chunks(
    client: Client, files: Sequence[Sequence[str | Path]], loader: Loader = read_npy
) -> Chunks:
    """Chunks of traces loaded on the workers by `loader`, one task per list of files."""
    futures = [
        client.submit(loader, [str(path) for path in paths], retries=RETRIES) for paths in files
    ]
    summaries = client.gather([client.submit(_summary, future) for future in futures])
    observed = [summary[0] for summary in summaries]
    n, total, squares = np.sum([summary[1] for summary in summaries], axis=0)
    mean = total / n
    spread = float(np.sqrt(max(squares / n - mean * mean, 0.0)))
    bounds = np.cumsum([0, *(len(o) for o in observed)]).tolist()
    return Chunks(client, futures, bounds, np.concatenate(observed), spread)


@dataclass
class Traffic:
    """What the E-steps of a fit sent and received (pickled models and tallies) and took."""

    steps: int = 0
    sent: int = 0
    received: int = 0
    seconds: list[float] = field(default_factory=list)


def fit_distributed(
    chunks: Chunks,
    model: hmmcore._Model,
    *,
    frame_blur: bool = hmmcore.FRAME_BLUR,
    retries: int = RETRIES,
    traffic: Traffic | None = None,
    **options: Any,
) -> hmmcore._Fit:
    """`hmmcore.fit` of all traces of `chunks` from `model`, each E-step one task per chunk;
    `options`: those of hmmcore.fit_source (shared_spread, max_iterations, tolerance,
    fit_trace_scales, fit_outliers, free_rates). `traffic`, when given, is counted."""
    client, fit_id, steps = chunks.client, uuid.uuid4().hex, count()
    fixed = hmmcore.flat_tally_size(len(model["means"]))  # the part chunks add

    def expect(current: hmmcore._Model, full: bool, per_trace: bool) -> FloatArray:
        started, step = time.perf_counter(), next(steps)
        models = [
            own_model(current, start, stop - start) for start, stop in pairwise(chunks.bounds)
        ]
        futures = [
            client.submit(
                _expectation,
                chunk,
                own,
                frame_blur,
                per_trace,
                key=f"hmm-expectation-{fit_id}-{step}-{i}",
                retries=retries,
            )
            for i, (chunk, own) in enumerate(zip(chunks.futures, models, strict=True))
        ]
        tallies: list[FloatArray] = client.gather(futures)
        total = tallies[0][:fixed].copy()
        for tally in tallies[1:]:
            total += tally[:fixed]
        if traffic is not None:
            traffic.steps += 1
            traffic.sent += sum(len(pickle.dumps(own, protocol=5)) for own in models)
            traffic.received += sum(len(pickle.dumps(t, protocol=5)) for t in tallies)
            traffic.seconds.append(time.perf_counter() - started)
        return np.concatenate([total, *(tally[fixed:] for tally in tallies)])

    return hmmcore.fit_source(expect, chunks.observed, chunks.spread, model, **options)
