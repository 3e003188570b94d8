# The hidden Markov model shared by many traces (Gaussian states, Baum-Welch), on numpy arrays.
# Defaults left as `...` are the numeric core's (lumetra::HmmOptions); the underscored dicts
# exist for type checking only.
from collections.abc import Callable, Sequence
from typing import NotRequired, TypedDict

import numpy as np
import numpy.typing as npt

_Floats = npt.NDArray[np.float64]
_States = npt.NDArray[np.int64]

class _Model(TypedDict):
    means: _Floats  # per state
    spreads: _Floats  # standard deviation per state
    start: _Floats  # probability of each state at a trace's first frame
    transition: _Floats  # K x K: P(state j at frame t + 1 | state i at t)
    trace_scales: NotRequired[_Floats]  # per trace, its spreads' factor (empty: all 1)
    outlier_share: NotRequired[float]  # of the flat outlier density
    outlier_density: NotRequired[float]  # 0: no outlier term
    state_levels: NotRequired[_States]  # the level of each state (empty: each its own)
    rates: NotRequired[_Floats]  # K x K per frame when fitted as rates (empty otherwise)

class _Fit(_Model):
    log_likelihood: float
    iterations: int
    converged: bool
    frames: int  # frames that are not NaN
    empty_states: list[int]

class _Bootstrap(TypedDict):
    means: _Floats  # resamples x K, states ordered by mean
    spreads: _Floats  # resamples x K
    transition: _Floats  # resamples x K x K
    rates: NotRequired[_Floats]  # resamples x K x K per frame, with free_rates

class _Runs(TypedDict):
    level: _States  # per run of the path
    frames: _States
    censored: npt.NDArray[np.bool_]  # the path's first and last run

class _Mixture(TypedDict):
    weights: _Floats
    means: _Floats  # frames, ascending
    log_likelihood: float
    bic: float
    iterations: int

class _Mixtures(TypedDict):
    fits: list[_Mixture]  # 1, 2, ... components
    chosen: int  # the index BIC picks

FRAME_BLUR: bool  # frames that hold a change modelled as a mix of two levels, by default
RESAMPLES: int  # bootstrap resamples of the rate intervals, by default
MAX_ITERATIONS: int  # Baum-Welch iterations of a fit at most, by default
MAX_DWELL_COMPONENTS: int  # geometric components of a level's dwells, at most

def kmeans_levels(values: npt.ArrayLike, weights: npt.ArrayLike, states: int) -> _Floats: ...
def nearest_states(trace: npt.ArrayLike, centres: npt.ArrayLike) -> _States: ...
def start_model(
    traces: Sequence[npt.ArrayLike],
    paths: Sequence[npt.ArrayLike],
    centres: npt.ArrayLike,
    shared_spread: bool = True,
) -> _Model: ...
def fit(
    traces: Sequence[npt.ArrayLike],
    model: _Model,
    shared_spread: bool = True,
    frame_blur: bool = True,
    max_iterations: int = ...,
    tolerance: float = ...,
    threads: int = 0,
    fit_trace_scales: bool = False,
    fit_outliers: bool = False,
    free_rates: npt.ArrayLike | None = None,
) -> _Fit: ...
def expectation(
    traces: Sequence[npt.ArrayLike],
    model: _Model,
    frame_blur: bool = True,
    per_trace: bool = False,
    threads: int = 0,
) -> _Floats: ...
def trace_tallies(
    traces: Sequence[npt.ArrayLike],
    model: _Model,
    frame_blur: bool = True,
    threads: int = 0,
) -> _Floats: ...
def flat_tally_size(states: int, traces: int = 0) -> int: ...
def fit_source(
    expect: Callable[[_Model, bool, bool], npt.ArrayLike],
    observed_frames: npt.ArrayLike,
    data_spread: float,
    model: _Model,
    shared_spread: bool = True,
    max_iterations: int = ...,
    tolerance: float = ...,
    fit_trace_scales: bool = False,
    fit_outliers: bool = False,
    free_rates: npt.ArrayLike | None = None,
) -> _Fit: ...
def viterbi(
    traces: Sequence[npt.ArrayLike], model: _Model, frame_blur: bool = True
) -> list[_States]: ...
def bootstrap(
    traces: Sequence[npt.ArrayLike],
    model: _Model,
    resamples: int = 200,
    seed: int = 0,
    shared_spread: bool = True,
    frame_blur: bool = True,
    max_iterations: int = ...,
    tolerance: float = ...,
    threads: int = 0,
    fit_trace_scales: bool = False,
    fit_outliers: bool = False,
    free_rates: npt.ArrayLike | None = None,
    linearised: bool = False,
) -> _Bootstrap: ...
def bootstrap_source(
    expect: Callable[[_Model, bool, bool], npt.ArrayLike],
    trace_tallies: Callable[[_Model], npt.ArrayLike],
    observed_frames: npt.ArrayLike,
    data_spread: float,
    model: _Model,
    resamples: int = 200,
    seed: int = 0,
    shared_spread: bool = True,
    max_iterations: int = ...,
    tolerance: float = ...,
    threads: int = 0,
    fit_trace_scales: bool = False,
    fit_outliers: bool = False,
    free_rates: npt.ArrayLike | None = None,
) -> _Bootstrap: ...
def rate_matrix(transition: npt.ArrayLike, frame_time: float) -> _Floats | None: ...
def scheme_parameter_count(
    states: int,
    levels: int,
    free_rates: int,
    shared_spread: bool = True,
    scaled_traces: int = 0,
    outlier_share: bool = False,
) -> int: ...
def parameter_count(
    states: int, shared_spread: bool = True, scaled_traces: int = 0, outlier_share: bool = False
) -> int: ...
def level_dwells(levels: npt.ArrayLike) -> _Runs: ...
def level_dwell_cdf(
    rates: npt.ArrayLike,
    state_levels: npt.ArrayLike,
    level: int,
    frame_time: float,
    max_frames: int,
) -> _Floats: ...
def cramer_von_mises(dwells: npt.ArrayLike, cdf: npt.ArrayLike) -> float: ...
def geometric_mixtures(dwells: npt.ArrayLike, max_components: int = 3) -> _Mixtures: ...
def geometric_mixture_cdf(
    weights: npt.ArrayLike, means: npt.ArrayLike, max_frames: int
) -> _Floats: ...
