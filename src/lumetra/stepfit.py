"""The step fit of one loaded trace object: the checks of the fit parameters, search bounds and
criterion, the parameter search, the fit and its refined segments. The batch, the summary and
the hidden Markov model's start all fit a trace this way.

lumetra.lumetraTrace is imported inside the functions: importing it points the root logger at
debug.log in the working directory, which importing the batch (or the command line) must not.
"""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Union, overload

import numpy as np
import numpy.typing as npt

from lumetra import batchcore
from lumetra.batchcore import CRITERIA, PARAMETER_NAMES, SEARCH_KEYWORDS
from lumetra.errors import LumetraError

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
# The four fit parameters by name; halfWinLen and filterWidth are integers.
Params = dict[str, float]
ParamsInput = Union[dict[str, float], Sequence[float]]
# {parameter: (min, max, step)} of the parameter search.
SearchBounds = Mapping[str, tuple[float, float, float]]
# How the parameters are searched: optimizeFitness through lmfit, or its differential evolution
# in C++ on the core fit.
SEARCH_ENGINES = ("lmfit", "native")


class FitRejected(LumetraError, RuntimeError):
    """The step fit found fewer segments than the trace needs (score batchcore.REJECTED_SCORE)."""


@overload
def normalise_params(params: None) -> None: ...
@overload
def normalise_params(params: ParamsInput) -> Params: ...
def normalise_params(params: ParamsInput | None) -> Params | None:
    """The four fit parameters as a dict, window sizes as integers; None stays None."""
    if params is None:
        return None
    if not isinstance(params, dict):
        params = dict(zip(PARAMETER_NAMES, params))
    missing = [name for name in PARAMETER_NAMES if name not in params]
    if missing:
        raise ValueError(f"fit parameters lack {', '.join(missing)}")
    out = {name: float(params[name]) for name in PARAMETER_NAMES}
    out["halfWinLen"] = round(out["halfWinLen"])
    out["filterWidth"] = round(out["filterWidth"])
    if out["halfWinLen"] < 1:
        raise ValueError("halfWinLen must be at least 1")
    return out


def search_arguments(search: SearchBounds | None) -> dict[str, tuple[float, ...]]:
    """optimizeFitness keywords from {parameter: (min, max, step)}."""
    unknown = set(search or {}) - set(SEARCH_KEYWORDS)
    if unknown:
        raise ValueError(f"unknown search parameter(s): {', '.join(sorted(unknown))}")
    return {SEARCH_KEYWORDS[name]: tuple(bounds) for name, bounds in (search or {}).items()}


def check_criterion(criterion: str) -> str:
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(CRITERIA)}, not {criterion!r}")
    return criterion


def check_engine(engine: str) -> str:
    if engine not in SEARCH_ENGINES:
        raise ValueError(f"search engine must be one of {SEARCH_ENGINES}, not {engine!r}")
    return engine


def check_seed(seed: int) -> int:
    """The seed, or ValueError for a negative one (seeds reach the core as unsigned)."""
    if seed < 0:
        raise ValueError(f"seed must be at least 0, not {seed}")
    return seed


def load_trace(path: str) -> lumetraTrace:
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.loadData(path)
    return trace


# optimizeFitness draws from numpy's global generator; a seeded search holds this lock while
# that generator carries its seed, so searches in threads of one process do not interleave.
_GLOBAL_GENERATOR = threading.Lock()


def search_seed(seed: int, checksum: str, part: int | None = None) -> np.random.SeedSequence:
    """The seed of one trace's search: the batch's seed, the file's SHA-256 and the trace's
    place in its file, so that it depends on nothing else (not order, worker or job count)."""
    check_seed(seed)
    words = [int(checksum[i : i + 8], 16) for i in range(0, len(checksum), 8)]
    return np.random.SeedSequence([seed, *words, 0 if part is None else part + 1])


@contextmanager
def seeded_global_generator(sequence: np.random.SeedSequence) -> Iterator[None]:
    """numpy's global generator seeded from `sequence` inside the block, its state restored
    after it."""
    seeded = np.random.RandomState(np.random.MT19937(sequence)).get_state()
    with _GLOBAL_GENERATOR:
        saved = np.random.get_state()
        np.random.set_state(seeded)
        try:
            yield
        finally:
            np.random.set_state(saved)


def search_parameters(
    trace: lumetraTrace,
    search: SearchBounds | None = None,
    criterion: str = "xic",
    seed: np.random.SeedSequence | int | None = None,
    engine: str = "lmfit",
) -> Params:
    """The four parameters found within `search` ({parameter: (min, max, step)},
    optimizeFitness's defaults for the others), scored by `criterion`: by optimizeFitness
    (engine "lmfit"), or by the same differential evolution run in C++ on the core fit
    ("native"; a trace the core fit does not model is searched by optimizeFitness). With
    `seed` (a search_seed or an integer) the search draws from a generator seeded by it and
    gives the same parameters every time; without, lmfit's draws from numpy's global
    generator as it stands and the native one from seed 0."""
    check_engine(engine)
    arguments = search_arguments(search)
    check_criterion(criterion)
    if isinstance(seed, int):
        seed = np.random.SeedSequence(check_seed(seed))
    if engine == "native":
        native_seed = 0 if seed is None else int(seed.generate_state(1, np.uint64)[0])
        found = native_search(trace, search, criterion, native_seed)
        if found is not None:
            return found
    if seed is None:
        trace.optimizeFitness(**arguments, criterion=criterion)
    else:
        with seeded_global_generator(seed):
            trace.optimizeFitness(**arguments, criterion=criterion)
    best: dict[str, float] = trace.optRes.params.valuesdict()
    return normalise_params(best)


def native_search(
    trace: lumetraTrace, search: SearchBounds | None, criterion: str, seed: int
) -> Params | None:
    """The best setting of batchcore.search_step_fit, or None for a trace it leaves to
    optimizeFitness (saved reference pairs, or a setting the core fit does not model)."""
    if trace.keepPairs is not None:
        return None
    bounds = {**batchcore.SEARCH_DEFAULTS, **(search or {})}
    found = batchcore.search_step_fit(
        np.asarray(trace.frames, dtype=float),
        np.asarray(trace.CH1mBGND1, dtype=float),
        [float(bounds[name][0]) for name in PARAMETER_NAMES],
        [float(bounds[name][1]) for name in PARAMETER_NAMES],
        criterion=criterion,
        state_num=int(trace.stateNum),
        seed=check_seed(seed),
    )
    return None if found is None else normalise_params(found["values"])


def step_fit(trace: lumetraTrace, params: Params, criterion: str = "xic") -> float:
    """Fits the loaded trace with `params` and returns the score: xic's, or for "bic" the BIC of
    the fit over every frame. Raises FitRejected when the fit is rejected."""
    from lumetra.lumetraTrace import bic

    half_window, rratio, thrate, filter_width = (params[n] for n in batchcore.PARAMETER_NAMES)
    score = trace.fitTrajectory(half_window, rratio, thrate, filter_width)
    if score == batchcore.REJECTED_SCORE:
        raise FitRejected(
            f"fit rejected with {params}: {len(trace.partitions)} segment(s), "
            f"at least {trace.stateNum} needed"
        )
    if check_criterion(criterion) == "bic":
        score = bic(trace.partitions, trace.CH1mBGND1)
    return score


def refined_segments(trace: lumetraTrace) -> tuple[IntArray, IntArray, FloatArray]:
    """Segments of refineTransitions' ideal path: first frames, ends and levels."""
    trace.refineTransitions()
    changes = np.asarray(trace.changePoints, dtype=np.int64)
    starts = np.concatenate([[0], changes]).astype(np.int64)
    ends = np.concatenate([changes, [len(trace.idealPath)]]).astype(np.int64)
    return starts, ends, np.asarray(trace.idealPath)[starts]
