# The numeric work of batch fitting, kinetics and simulation, on numpy arrays.
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

_Floats = npt.NDArray[np.float64]
_Integers = npt.NDArray[np.int64]

REJECTED_SCORE: int  # the score of a rejected fit
CRITERIA: tuple[str, ...]  # scores of the parameter search
PARAMETER_NAMES: tuple[str, ...]  # the four fit parameters, in fitTrajectory's order
SEARCH_DEFAULTS: dict[str, tuple[float, float, float]]  # (min, max, step) by parameter
SEARCH_KEYWORDS: dict[str, str]  # optimizeFitness keyword of each parameter's bounds
FIT_ATTRIBUTES: tuple[str, ...]  # what a fit writes on the trace, in order
SCREEN_DEFAULTS: dict[str, float]  # screen_trace's and screen_signal's keywords and defaults

def summarise_segments(
    intensity: npt.ArrayLike, starts: npt.ArrayLike, ends: npt.ArrayLike
) -> tuple[_Floats, _Floats]: ...
def frame_segments(frames: int, starts: npt.ArrayLike, ends: npt.ArrayLike) -> _Integers: ...
def state_guess(intensity: object) -> int: ...
def cluster_levels(
    values: npt.ArrayLike, weights: npt.ArrayLike, k: int
) -> tuple[_Floats, _Integers]: ...
def complete_dwells(levels: npt.ArrayLike, time: npt.ArrayLike) -> tuple[_Floats, _Floats]: ...

# rate, lower, upper, count, log_likelihood
def fit_single_exponential(
    dwells: npt.ArrayLike, shortest: float = 0.0, confidence: float = 0.95
) -> dict[str, Any]: ...

# fraction, fraction_lower, fraction_upper, fast and slow (each as above), log_likelihood,
# iterations
def fit_double_exponential(
    dwells: npt.ArrayLike, shortest: float = 0.0, confidence: float = 0.95
) -> dict[str, Any]: ...

# time, ideal, intensity, state (-1 once bleached), dwells (state, start, duration,
# censored), bleach_time
def simulate_kinetics(
    levels: Sequence[float],
    rates: npt.ArrayLike,
    frame_time: float,
    frames: int,
    *,
    shot_noise: bool = False,
    gaussian_sigma: float = 0.0,
    bleach_rate: float = 0.0,
    bleached_level: float = 0.0,
    seed: int = 0,
) -> dict[str, Any]: ...

# values (by parameter name), score, evaluations, generations, converged, half_windows; None
# when a setting needs the step-by-step fit
def search_step_fit(
    frames: npt.ArrayLike,
    intensity: npt.ArrayLike,
    minimum: Sequence[float],
    maximum: Sequence[float],
    *,
    criterion: str = "xic",
    state_num: int = 1,
    seed: int = 0,
    max_evaluations: int = 2000,
) -> dict[str, Any] | None: ...

# mask (uint8 per frame: 1 dark, 2 bleached, 4 outlier), frames, dark_frames, bleached_frames,
# outlier_frames, masked_frames, snr_donor, snr_acceptor, snr_total, snr_direct,
# anticorrelation, intensity, direct_intensity, e_median, e_low, e_high, e_noise, e_spread,
# donor_steps, acceptor_steps, partial_bleaches
def screen_trace(
    donor: npt.ArrayLike,
    acceptor: npt.ArrayLike,
    acceptor_direct: npt.ArrayLike | None = None,
    *,
    dark_fraction: float = ...,
    outlier_spread: float = ...,
    step_fraction: float = ...,
    step_penalty: float = ...,
    e_lowest: float = ...,
    e_highest: float = ...,
) -> dict[str, Any]: ...

# mask (4 for spikes), frames, outlier_frames, snr, noise, intensity, steps, e_* (NaN)
def screen_signal(
    values: npt.ArrayLike,
    *,
    dark_fraction: float = ...,
    outlier_spread: float = ...,
    step_fraction: float = ...,
    step_penalty: float = ...,
    e_lowest: float = ...,
    e_highest: float = ...,
) -> dict[str, Any]: ...
def format_trace(time: npt.ArrayLike, intensity: npt.ArrayLike, ideal: npt.ArrayLike) -> str: ...
def write_csv_rows(columns: list[npt.NDArray[Any]], write: Callable[[str], object]) -> None: ...
