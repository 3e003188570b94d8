"""The traces of a shared model: held in memory, or spooled to a file and read a chunk at a time.

A batch of 10^5 traces of 1,000 frames has 10^8 frames, 800 MB as float64: more than the
process that fits the model should hold. A `Spool` takes each trace's values once, as the batch
reads them, into a file; the model reads the file CHUNK_FRAMES at a time for every pass over
all traces (E-steps, paths) and whole only for the subset it compares candidates on
(lumetra.hmm.search_set). `Held` gives the same interface to traces already in memory.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from functools import cached_property
from pathlib import Path
from typing import Any, Protocol, cast

import numpy as np

from lumetra import hmmcore
from lumetra.progress import stage
from lumetra.stepfit import FloatArray, IntArray

CHUNK_FRAMES = 1 << 21  # frames read at a time, 16 MiB of float64
HELD_CHUNK = 1000  # traces in memory taken at a time
_ITEM = np.dtype(np.float64).itemsize

Chunk = tuple[int, list[FloatArray]]  # the first trace's number and the chunk's traces
Expect = Callable[[Any, bool, bool], FloatArray]  # hmmcore.fit_source's E-step


class Passes:
    """The model's passes over all traces, a chunk (`chunks`) at a time."""

    def chunks(self) -> Iterator[Chunk]:
        raise NotImplementedError

    def expect(self, frame_blur: bool) -> Expect:
        """The E-step of all traces for hmmcore.fit_source: the chunks' fixed tallies added,
        their per-trace tallies joined in trace order."""

        def expect(model: hmmcore._Model, full: bool, per_trace: bool) -> FloatArray:
            fixed = hmmcore.flat_tally_size(len(model["means"]))
            total: FloatArray | None = None
            own: list[FloatArray] = []
            for first, chunk in self.chunks():
                tally = hmmcore.expectation(
                    chunk, own_model(model, first, len(chunk)), frame_blur, per_trace
                )
                total = tally[:fixed].copy() if total is None else total + tally[:fixed]
                own.append(tally[fixed:])
            assert total is not None  # a set has a trace
            return np.concatenate([total, *own])

        return expect

    def tallies(self, frame_blur: bool) -> Callable[[Any], FloatArray]:
        """Every trace's complete tally at a model, a row each in trace order."""

        def tallies(model: hmmcore._Model) -> FloatArray:
            return np.vstack(
                [
                    hmmcore.trace_tallies(chunk, own_model(model, first, len(chunk)), frame_blur)
                    for first, chunk in self.chunks()
                ]
            )

        return tallies

    def decode(self, model: hmmcore._Model, frame_blur: bool) -> list[IntArray]:
        """The Viterbi path of every trace, as the smallest integers that hold the states."""
        paths = []
        for first, chunk in self.chunks():
            own = own_model(model, first, len(chunk))
            paths += [compact(p, model) for p in hmmcore.viterbi(chunk, own, frame_blur)]
        return paths

    @cached_property
    def spread(self) -> float:
        """The standard deviation of all non-NaN frames, from one pass of running sums (made
        once: a spool is read through for it)."""
        sums = np.zeros(3)
        for _, chunk in self.chunks():
            sums += frame_sums(chunk)
        return spread_of(sums)


def frame_sums(traces: list[FloatArray]) -> FloatArray:
    """The count, sum and sum of squares of the traces' non-NaN frames."""
    frames = np.concatenate(traces)
    frames = frames[~np.isnan(frames)]
    return np.array([frames.size, frames.sum(), frames @ frames])


def spread_of(sums: FloatArray) -> float:
    """The standard deviation of frames from their frame_sums (added over parts)."""
    count, total, squares = sums
    mean = total / max(count, 1)
    return float(np.sqrt(max(squares / max(count, 1) - mean * mean, 0.0)))


def compact(path: IntArray, model: hmmcore._Model) -> IntArray:
    """A path of states in one byte a frame while the model has at most 127 states."""
    kind = np.int8 if len(model["means"]) <= np.iinfo(np.int8).max else np.int64
    return cast("IntArray", path.astype(kind))


class Spool(Passes):
    """Traces written one after the other to `path` (float64 frames) and read back by number
    or in chunks of consecutive traces; `remove` deletes the file."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self._file = open(path, "w+b")  # noqa: SIM115 - open for the spool's life
        self._ends = [0]  # frame offsets: trace n is [ends[n], ends[n + 1])
        self._observed: list[int] = []

    def add(self, values: FloatArray) -> None:
        self.__dict__.pop("spread", None)  # of the traces before this one
        data = np.ascontiguousarray(values, dtype=np.float64)
        self._file.write(data.tobytes())
        self._ends.append(self._ends[-1] + data.size)
        self._observed.append(int(np.count_nonzero(~np.isnan(data))))

    def __len__(self) -> int:
        return len(self._observed)

    @property
    def observed(self) -> IntArray:
        return np.asarray(self._observed, dtype=np.int64)

    def _read(self, first: int, stop: int) -> FloatArray:
        """The frames of traces first ... stop - 1, end to end."""
        self._file.flush()
        begin, end = self._ends[first], self._ends[stop]
        data = os.pread(self._file.fileno(), (end - begin) * _ITEM, begin * _ITEM)
        return np.frombuffer(data, dtype=np.float64).copy()

    def __getitem__(self, n: int) -> FloatArray:
        return self._read(n, n + 1)

    def load(self, numbers: Sequence[int]) -> list[FloatArray]:
        return [self[int(n)] for n in numbers]

    def bounds(self) -> list[tuple[int, int]]:
        """The chunks' first trace and end: runs of consecutive traces of CHUNK_FRAMES frames
        at most (or one longer trace)."""
        out, first = [], 0
        while first < len(self):
            stop = first + 1
            while stop < len(self) and self._ends[stop + 1] - self._ends[first] <= CHUNK_FRAMES:
                stop += 1
            out.append((first, stop))
            first = stop
        return out

    def frames_of(self, first: int, stop: int) -> tuple[int, list[int]]:
        """Where traces first ... stop - 1 start in the file (in frames) and their lengths."""
        return self._ends[first], list(np.diff(self._ends[first : stop + 1]).tolist())

    def chunks(self) -> Iterator[Chunk]:
        for first, stop in self.bounds():
            frames = self._read(first, stop)
            cuts = np.asarray(self._ends[first + 1 : stop]) - self._ends[first]
            yield first, np.split(frames, cuts)

    def remove(self) -> None:
        self._file.close()
        self.path.unlink(missing_ok=True)


class Timed(Protocol):
    """What the model reads of a trace besides its values: its name and time axis."""

    @property
    def name(self) -> str: ...
    @property
    def time(self) -> FloatArray: ...


@dataclass(frozen=True)
class TraceAxis:
    """A trace's name and time axis, its values held elsewhere."""

    name: str
    time: FloatArray


@dataclass(frozen=True)
class Held(Passes):
    """Traces in memory, as a Spool reads them: the chunks are runs of HELD_CHUNK traces."""

    values: list[FloatArray]

    def __len__(self) -> int:
        return len(self.values)

    @property
    def observed(self) -> IntArray:
        return np.asarray([np.count_nonzero(~np.isnan(v)) for v in self.values], dtype=np.int64)

    def load(self, numbers: Sequence[int]) -> list[FloatArray]:
        return [self.values[int(n)] for n in numbers]

    def chunks(self) -> Iterator[Chunk]:
        for first in range(0, len(self.values), HELD_CHUNK):
            yield first, self.values[first : first + HELD_CHUNK]


class TraceSet(Protocol):
    """Traces the model reads: their number, each one's observed frames, some of them whole,
    and the passes over all of them (Passes)."""

    def __len__(self) -> int: ...
    @property
    def observed(self) -> IntArray: ...
    def load(self, numbers: Sequence[int]) -> list[FloatArray]: ...
    def expect(self, frame_blur: bool) -> Expect: ...
    def tallies(self, frame_blur: bool) -> Callable[[Any], FloatArray]: ...
    def decode(self, model: hmmcore._Model, frame_blur: bool) -> list[IntArray]: ...
    @property
    def spread(self) -> float: ...


def own_model(model: hmmcore._Model, first: int, count: int) -> hmmcore._Model:
    """The model as a chunk of traces reads it: its traces' own scales."""
    scales = model.get("trace_scales")
    if scales is None or len(scales) == 0:
        return model
    return {**model, "trace_scales": np.asarray(scales)[first : first + count]}


def fit_all(
    traces: TraceSet, start: hmmcore._Model, frame_blur: bool, settings: dict[str, Any]
) -> hmmcore._Fit:
    """hmmcore.fit of all traces from `start`; a spool's a chunk at a time (hmmcore.fit_source,
    the same fit up to the rounding of the chunks' sums)."""
    with stage(f"model fitted on to all {len(traces)} traces"):
        if isinstance(traces, Held):
            return hmmcore.fit(traces.values, start, frame_blur=frame_blur, **settings)
        expect = traces.expect(frame_blur)
        return hmmcore.fit_source(expect, traces.observed, traces.spread, start, **settings)


def bootstrap_of(
    traces: TraceSet,
    model: hmmcore._Model,
    resamples: int,
    seed: int,
    linearised: bool,
    options: dict[str, Any],
) -> hmmcore._Bootstrap:
    """hmmcore.bootstrap of all traces; a spool's linearised a chunk at a time
    (hmmcore.bootstrap_source), its refits on its traces read whole."""
    if isinstance(traces, Held) or not linearised:
        values = traces.values if isinstance(traces, Held) else traces.load(range(len(traces)))
        return hmmcore.bootstrap(
            values, model, resamples=resamples, seed=seed, linearised=linearised, **options
        )
    settings = {k: v for k, v in options.items() if k != "frame_blur"}
    blur = bool(options.get("frame_blur", hmmcore.FRAME_BLUR))
    return hmmcore.bootstrap_source(
        traces.expect(blur),
        traces.tallies(blur),
        traces.observed,
        traces.spread,
        model,
        resamples=resamples,
        seed=seed,
        **settings,
    )
