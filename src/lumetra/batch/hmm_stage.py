"""The batch's kinetics by the hidden Markov model shared by all its traces (lumetra.hmm),
started from the segments the step fit of each file found, and the files it writes:

    kinetics.csv              from_state, to_state, rate, rate_lower, rate_upper (1 / time unit)
    hmm_model.json            K, the levels, spreads, transition matrix, BIC per K, frame time,
                              log-likelihood, resamples and seed
    hmm/NAME.csv              the model's path of each trace: frame, time, signal, state, level
    transition_density.html   the transition density plot of those paths

A model that cannot be fitted (traces of different frame times, more states asked for than the
traces carry, lumetra.hmm.limits) or that has no rate constants is not written: the reason is
reported as the batch's failure to write it (manifest, standard error, exit status 1), and the
step fits and the other summaries are written all the same.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any, Callable

import numpy as np
import pandas as pd

from lumetra import atomic
from lumetra.batch.memory import Trimmer
from lumetra.batch.store import TraceStore
from lumetra.batch.summaries import SharedAxes
from lumetra.batch.types import HmmSettings, TraceFit
from lumetra.hmm.fit import HmmResult, fit_shared_model, missing_rates
from lumetra.hmm.inputs import HmmTrace
from lumetra.hmm.plot import transition_density_figure
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray

Frames = tuple[FloatArray, FloatArray]  # time and signal of one trace


def read_frames(store: TraceStore, names: list[str], axes: SharedAxes) -> list[Frames]:
    """Every trace's time (held once per distinct axis) and signal, from the store."""
    held, trim = [], Trimmer()
    for name in names:
        trim()
        time, signal = store.frames(name)
        held.append((axes(time), signal))
    return held


def fit_batch_model(fits: list[TraceFit], frames: list[Frames], settings: HmmSettings) -> HmmResult:
    """The shared model of the traces, started from their step fits."""
    data = [HmmTrace(fit.label, time, signal) for fit, (time, signal) in zip(fits, frames)]
    return fit_shared_model(
        data,
        [Segments.from_fit(fit) for fit in fits],
        settings.states,
        settings.max_states,
        bootstrap=settings.bootstrap,
        seed=settings.seed,
    )


MODEL_OUTPUT = "hidden Markov model"


def fit_or_report(
    fits: list[TraceFit],
    frames: list[Frames],
    settings: HmmSettings,
    failed: Callable[[str, Exception], None],
) -> tuple[HmmResult | None, list[str]]:
    """The model and its notes (a K range cut to what the traces carry), or None when it could
    not be fitted or has no rates: then `failed` is told why (the other outputs go on)."""
    try:
        model = fit_batch_model(fits, frames, settings)
        missing = missing_rates(model)
        if missing:
            raise RuntimeError(missing)
    except (ValueError, RuntimeError) as error:
        failed(MODEL_OUTPUT, error)
        return None, []
    return model, list(model.notes)


def model_record(result: HmmResult, seed: int) -> dict[str, Any]:
    """The model as plain values, for hmm_model.json and the manifest."""
    return {
        "states": result.states,
        "levels": result.levels.tolist(),
        "spreads": result.spreads.tolist(),
        "start": result.start.tolist(),
        "transition": result.transition.tolist(),
        "bic": {str(k): v for k, v in result.bic.items()},
        "frame_time": result.frame_time,
        "frames": result.frames,
        "log_likelihood": result.log_likelihood,
        "converged": result.converged,
        "resamples": result.resamples,
        "seed": seed,
    }


def write_model_outputs(
    out: Path,
    result: HmmResult,
    fits: list[TraceFit],
    names: list[str],
    frames: list[Frames],
    settings: HmmSettings,
    version: str,
) -> list[Path]:
    """kinetics.csv, hmm_model.json, the transition density plot and every trace's path."""
    written = [atomic.write_csv(out / "kinetics.csv", result.rate_table)]
    record = model_record(result, settings.seed)
    written.append(atomic.write_json(out / "hmm_model.json", record))
    figure = transition_density_figure(result)
    figure.update_layout(title=f"Transitions of the shared model: {len(fits)} traces")
    # A fixed element id (plotly would draw a random one): the same model, the same page.
    page = out / "transition_density.html"
    written.append(
        atomic.atomic_write(
            page, lambda tmp: figure.write_html(tmp, include_plotlyjs=True, div_id=page.stem)
        )
    )
    (out / "hmm").mkdir(exist_ok=True)
    for fit, name, (time, signal), states, levels in zip(
        fits, names, frames, result.paths, result.path_levels
    ):
        frame = pd.DataFrame(
            {
                "frame": np.arange(len(time)),
                "time": time,
                "signal": signal,
                "state": states,
                "level": levels,
            }
        )
        header = {"lumetra": version, "source": fit.label, "sha256": fit.sha256}
        written.append(atomic.write_csv(out / "hmm" / f"{name}.csv", frame, header))
    return written
