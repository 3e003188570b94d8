"""The batch's kinetics by the hidden Markov model shared by all its traces (lumetra.hmm),
started from the segments the step fit of each file found, fitted to the traces the screening
finds usable (lumetra.batch.quality) with their masked frames left out, and the files it writes:

    kinetics.csv              from_state, to_state, rate, rate_lower, rate_upper (1 / time unit),
                              from_level, to_level (the FRET level of each kinetic state)
    hmm_model.json            the states, their levels and spreads, the FRET levels and which
                              states share each (level_states), the scheme (states_per_level,
                              topology), the transition and rate matrices, relaxation times with
                              intervals, BIC per K and every candidate (K, spread kind,
                              log-likelihood, parameters, scheme, whether it converged or
                              why it was abandoned), the outlier share, frame time,
                              log-likelihood, whether it converged, resamples, bootstrap
                              method and seed
    dwell_checks.csv          per FRET level, its idealised dwells against the distribution the
                              rate matrix implies (lumetra.hmm.checks); with check_model the
                              re-simulation check in hmm_model.json (model_check)
    hmm/NAME.csv              the model's path of each trace: frame, time, signal, state, level,
                              masked (1: a frame the screening kept from the model)
    transition_density.html   the transition density plot of those paths

A model that cannot be fitted (traces of different frame times, more states asked for than the
traces carry, lumetra.hmm.limits) or that has no rate constants is not written: the reason is
reported as the batch's failure to write it (manifest, standard error, exit status 1), and the
step fits and the other summaries are written all the same.
"""

from __future__ import annotations

import secrets
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import numpy as np

from lumetra import atomic
from lumetra.batch.memory import Trimmer
from lumetra.batch.quality import masked_signal
from lumetra.batch.store import TraceStore
from lumetra.batch.summaries import SharedAxes
from lumetra.batch.types import HmmSettings, TraceFit
from lumetra.hmm.fit import HmmResult, fit_shared_model, missing_rates
from lumetra.hmm.paths import Placed
from lumetra.hmm.plot import transition_density_figure
from lumetra.hmm.trace_sets import Spool, TraceAxis, TraceSet
from lumetra.progress import steps
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray

Frames = tuple[FloatArray, FloatArray]  # time and signal of one trace


def spool_path(out: Path, what: str) -> Path:
    """A spool file beside the outputs, named as atomic.remove_leftovers finds it, so that one
    a killed run left goes with the next run's leftovers."""
    return out / f".{what}.{secrets.token_hex(4)}.tmp.f64"


class BatchFrames:
    """Every trace's time axis (held once per distinct axis) and signal (spooled to a file
    beside the outputs), read from the store once; `remove` deletes the spool."""

    def __init__(self, store: TraceStore, names: list[str], axes: SharedAxes) -> None:
        self.times: list[FloatArray] = []
        self.signals = Spool(spool_path(store.out, "signals"))
        trim = Trimmer()
        for name in steps(names, "reading traces", len(names), "trace"):
            trim()
            time, signal = store.frames(name)
            self.times.append(axes(time))
            self.signals.add(signal)

    def __getitem__(self, i: int) -> Frames:
        return self.times[i], self.signals[i]

    def remove(self) -> None:
        self.signals.remove()


@dataclass(frozen=True)
class ModelInput:
    """What the model reads: the usable traces (`picked`, indices into the batch's fits), their
    fits and names, the batch's frames, and the picked traces' signals with the masked frames
    as NaN (spooled beside the outputs; `remove` deletes the spool)."""

    picked: list[int]
    fits: list[TraceFit]
    names: list[str]
    frames: BatchFrames
    values: Spool
    total: int  # traces in the batch

    @classmethod
    def of(
        cls, fits: list[TraceFit], names: list[str], frames: BatchFrames, picked: list[int]
    ) -> ModelInput:
        values = Spool(spool_path(frames.signals.path.parent, "model"))
        for i in steps(picked, "model input", len(picked), "trace"):
            values.add(masked_signal(fits[i], frames.signals[i]))
        chosen = [fits[i] for i in picked]
        return cls(picked, chosen, [names[i] for i in picked], frames, values, len(fits))

    def remove(self) -> None:
        self.values.remove()

    def spread(self, per_trace: Sequence[Any]) -> Placed:
        """Values of the modelled traces in the places of all the batch's traces (None for the
        others), each read when indexed."""
        return Placed(per_trace, self.picked, self.total)

    def noise_of(self, result: HmmResult) -> dict[str, float]:
        """The model's noise scale of each modelled trace, by name."""
        return {name: float(v) for name, v in zip(self.names, result.trace_noise)}


def fit_batch_model(data: ModelInput, settings: HmmSettings, client: Any = None) -> HmmResult:
    """The shared model of the usable traces, started from their step fits (a trace whose step
    fit was not made starts from the states of the others); its passes over all traces on the
    workers of `client` (a Dask client) when given."""
    if not data.fits:
        raise ValueError("no usable trace to model (quality.csv gives each trace's class)")
    axes = [TraceAxis(fit.label, data.frames.times[i]) for fit, i in zip(data.fits, data.picked)]
    return fit_shared_model(
        axes,
        [None if fit.note else Segments.from_fit(fit) for fit in data.fits],
        settings.states,
        settings.max_states,
        bootstrap=settings.bootstrap,
        seed=settings.seed,
        states_per_level=settings.states_per_level,
        topology=settings.topology,
        bootstrap_method=settings.bootstrap_method,
        values=data.values if client is None else worker_set(client, data.values),
    )


def worker_set(client: Any, spool: Spool) -> TraceSet:
    from lumetra.hmm.distributed import WorkerSet  # only with a cluster: a heavy import

    return WorkerSet(client, spool)


MODEL_OUTPUT = "hidden Markov model"


def fit_or_report(
    data: ModelInput,
    settings: HmmSettings,
    failed: Callable[[str, Exception], None],
    client: Any = None,
) -> tuple[HmmResult | None, list[str]]:
    """The model and its notes (a K range cut to what the traces carry), or None when it could
    not be fitted or has no rates: then `failed` is told why (the other outputs go on)."""
    try:
        model = fit_batch_model(data, settings, client)
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
        "fret_levels": result.fret_levels.tolist(),
        "state_levels": result.state_levels.tolist(),
        # Which kinetic states share each FRET level.
        "level_states": [
            np.flatnonzero(result.state_levels == m).tolist()
            for m in range(len(result.fret_levels))
        ],
        "states_per_level": result.states_per_level,
        "topology": result.topology,
        "rates": result.rates.tolist(),
        "relaxation_times": result.relaxation_times.tolist(),
        "relaxation_lower": result.relaxation_lower.tolist(),
        "relaxation_upper": result.relaxation_upper.tolist(),
        "spreads": result.spreads.tolist(),
        "start": result.start.tolist(),
        "transition": result.transition.tolist(),
        "bic": {str(k): v for k, v in result.bic.items()},
        # Every candidate: K, spread kind, log-likelihood, parameters, BIC.
        "candidates": result.bic_table.to_dict(orient="records"),
        "outlier_share": result.outlier_share,
        "frame_time": result.frame_time,
        "frames": result.frames,
        "log_likelihood": result.log_likelihood,
        "converged": result.converged,
        "resamples": result.resamples,
        "bootstrap_method": result.bootstrap_method,
        "seed": seed,
    }


def model_check(result: HmmResult, settings: HmmSettings) -> dict[str, Any]:
    """The re-simulation check of the model (lumetra.hmm.resimulate), the re-fit started from
    k-means of the simulated frames (the step fits are this batch's own)."""
    from lumetra.hmm.resimulate import resimulation_check

    return resimulation_check(
        result,
        [len(path) for path in result.paths],
        seed=settings.seed,
        states=settings.states,
        max_states=settings.max_states,
        states_per_level=settings.states_per_level,
        topology=settings.topology,
        start="kmeans",
    )


def write_model_outputs(
    out: Path, result: HmmResult, data: ModelInput, settings: HmmSettings, version: str
) -> list[Path]:
    """kinetics.csv, hmm_model.json, the transition density plot and every trace's path."""
    written = [
        atomic.write_csv(out / "kinetics.csv", result.rate_table),
        atomic.write_csv(out / "dwell_checks.csv", result.dwell_checks),
    ]
    record = model_record(result, settings.seed)
    if settings.check_model:
        record["model_check"] = model_check(result, settings)
    written.append(atomic.write_json(out / "hmm_model.json", record))
    # Pooled: the same plot from the K x K pairs of levels, not a point per transition (at 10^5
    # traces, millions of points held as lists and written out as text).
    figure = transition_density_figure(result, pooled=True)
    figure.update_layout(title=f"Transitions of the shared model: {len(data.fits)} traces")
    # A fixed element id (plotly would draw a random one): the same model, the same page.
    page = out / "transition_density.html"
    written.append(
        atomic.atomic_write(
            page, lambda tmp: figure.write_html(tmp, include_plotlyjs=True, div_id=page.stem)
        )
    )
    (out / "hmm").mkdir(exist_ok=True)
    kept = {f"{name}.csv" for name in data.names}
    for earlier in (out / "hmm").glob("*.csv"):  # of traces an earlier run modelled, now not
        if earlier.name not in kept:
            earlier.unlink()
    modelled = zip(data.picked, data.fits, data.names)
    for j, (i, fit, name) in enumerate(steps(modelled, "writing paths", len(data.fits), "trace")):
        time, signal = data.frames[i]
        seen, states, levels = data.values[j], result.paths[j], result.path_levels[j]
        columns: dict[str, np.ndarray[Any, Any]] = {
            "frame": np.arange(len(time)),
            "time": time,
            "signal": signal,
            "state": states,
            "level": levels,
            "masked": (np.isnan(seen) & ~np.isnan(signal)).astype(np.int8),
        }
        header = {"lumetra": version, "source": fit.label, "sha256": fit.sha256}
        written.append(atomic.write_columns(out / "hmm" / f"{name}.csv", columns, header))
    return written
