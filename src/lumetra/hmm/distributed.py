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
from itertools import pairwise
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from distributed import Client, Future

from lumetra import hmmcore
from lumetra.hmm.trace_sets import Spool, compact, frame_sums, own_model, spread_of

FloatArray = npt.NDArray[np.float64]
Loader = Callable[[Sequence[str]], list[FloatArray]]

# Times a chunk's task is tried again after it raised (a worker that died does not count).
RETRIES = 3


def read_npy(paths: Sequence[str]) -> list[FloatArray]:
    """One trace per .npy file, as float64 (NaN: a frame without an observation)."""
    return [np.asarray(np.load(path), dtype=np.float64) for path in paths]


def _summary(traces: list[FloatArray]) -> tuple[npt.NDArray[np.int64], FloatArray]:
    """Non-NaN frames per trace, and the frame_sums of all of them."""
    observed = np.array([np.count_nonzero(~np.isnan(t)) for t in traces], dtype=np.int64)
    return observed, frame_sums(traces)


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
    spread = spread_of(np.sum([summary[1] for summary in summaries], axis=0))
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
    expect = chunk_expectation(chunks, frame_blur, retries, traffic)
    return hmmcore.fit_source(expect, chunks.observed, chunks.spread, model, **options)


def _each(
    chunks: Chunks,
    task: Callable[..., Any],
    model: hmmcore._Model,
    retries: int,
    *args: Any,
) -> tuple[list[Any], list[hmmcore._Model]]:
    """task(chunk, the chunk's own model, *args) on every chunk, gathered in chunk order."""
    name = f"hmm-{task.__name__.strip('_')}-{uuid.uuid4().hex}"
    models = [own_model(model, start, stop - start) for start, stop in pairwise(chunks.bounds)]
    futures = [
        chunks.client.submit(task, chunk, own, *args, key=f"{name}-{i}", retries=retries)
        for i, (chunk, own) in enumerate(zip(chunks.futures, models, strict=True))
    ]
    return chunks.client.gather(futures), models


def chunk_expectation(
    chunks: Chunks, frame_blur: bool, retries: int = RETRIES, traffic: Traffic | None = None
) -> Callable[[hmmcore._Model, bool, bool], FloatArray]:
    """The E-step of all traces of `chunks` for hmmcore.fit_source, one task per chunk."""

    def expect(model: hmmcore._Model, full: bool, per_trace: bool) -> FloatArray:
        started = time.perf_counter()
        fixed = hmmcore.flat_tally_size(len(model["means"]))  # the part chunks add
        tallies, models = _each(chunks, _expectation, model, retries, frame_blur, per_trace)
        total = tallies[0][:fixed].copy()
        for tally in tallies[1:]:
            total += tally[:fixed]
        if traffic is not None:
            traffic.steps += 1
            traffic.sent += sum(len(pickle.dumps(own, protocol=5)) for own in models)
            traffic.received += sum(len(pickle.dumps(t, protocol=5)) for t in tallies)
            traffic.seconds.append(time.perf_counter() - started)
        return np.concatenate([total, *(tally[fixed:] for tally in tallies)])

    return expect


def read_spool(path: str, begin: int, lengths: list[int]) -> list[FloatArray]:
    """Traces of a spool file (lumetra.hmm.trace_sets.Spool) from frame `begin` on."""
    frames = np.fromfile(path, dtype=np.float64, count=sum(lengths), offset=begin * 8)
    return np.split(frames, np.cumsum(lengths)[:-1])


def _tallies(traces: list[FloatArray], model: hmmcore._Model, frame_blur: bool) -> FloatArray:
    return hmmcore.trace_tallies(traces, model, frame_blur, threads=1)


def _paths(traces: list[FloatArray], model: hmmcore._Model, frame_blur: bool) -> list[Any]:
    return [compact(p, model) for p in hmmcore.viterbi(traces, model, frame_blur)]


class WorkerSet:
    """A spool's traces held by Dask workers for the model's passes over all of them: a chunk
    per task, read from the spool file (which the workers must reach: a local cluster, or a
    file system they share), so that a lost worker's chunk is read again elsewhere; traces
    needed whole are read from the spool here."""

    def __init__(self, client: Client, spool: Spool, retries: int = RETRIES) -> None:
        self.spool, self.retries = spool, retries
        bounds = spool.bounds()
        futures = [
            client.submit(read_spool, str(spool.path), *spool.frames_of(*b), retries=retries)
            for b in bounds
        ]
        starts = [first for first, _ in bounds] + [len(spool)]
        self.chunks = Chunks(client, futures, starts, spool.observed, spool.spread)

    def __len__(self) -> int:
        return len(self.spool)

    @property
    def observed(self) -> npt.NDArray[np.int64]:
        return self.spool.observed

    @property
    def spread(self) -> float:
        return self.chunks.spread

    def load(self, numbers: Sequence[int]) -> list[FloatArray]:
        return self.spool.load(numbers)

    def expect(self, frame_blur: bool) -> Callable[[hmmcore._Model, bool, bool], FloatArray]:
        return chunk_expectation(self.chunks, frame_blur, self.retries)

    def tallies(self, frame_blur: bool) -> Callable[[hmmcore._Model], FloatArray]:
        def tallies(model: hmmcore._Model) -> FloatArray:
            rows, _ = _each(self.chunks, _tallies, model, self.retries, frame_blur)
            return np.vstack(rows)

        return tallies

    def decode(self, model: hmmcore._Model, frame_blur: bool) -> list[Any]:
        paths, _ = _each(self.chunks, _paths, model, self.retries, frame_blur)
        return [path for chunk in paths for path in chunk]
