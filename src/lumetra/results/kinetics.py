"""The kinetics of a set of traces of a results folder: the batch's own (read from its files)
or those of a selection of its traces, fitted again as the batch fitted them, and the data the
figures draw from them (level histogram with the states' Gaussians, dwell times, transitions).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from lumetra.batch.kinetics import Dwells, dwell_kinetics
from lumetra.batch.types import HmmSettings
from lumetra.hmm.fit import fit_shared_model
from lumetra.hmm.inputs import HmmTrace
from lumetra.hmm.limits import MAX_STATES
from lumetra.results.folder import ResultsFolder, TracePath
from lumetra.segments import Segments
from lumetra.stepfit import FloatArray

LEVEL_BINS = 100  # bins of the level histogram over the range of the signal
GAUSSIAN_POINTS = 400


@dataclass(frozen=True)
class Kinetics:
    """What the batch-wide figures and tables show for a set of traces."""

    names: list[str]
    paths: list[TracePath]
    rates: pd.DataFrame  # kinetics.csv, or the refit's rate table
    states: int | None = None
    levels: FloatArray | None = None  # the states' levels and spreads (shared model only)
    spreads: FloatArray | None = None
    bic: dict[int, float] | None = None


def batch_kinetics(folder: ResultsFolder) -> Kinetics:
    """The batch's kinetics as its files hold them (with the shared model, of the traces it
    read)."""
    rates = folder.kinetics if folder.kinetics is not None else pd.DataFrame()
    model = folder.model
    if model is None:
        return Kinetics(folder.names, [folder.paths[n] for n in folder.names], rates)
    names = [n for n in folder.names if n in folder.modelled]
    return Kinetics(
        names,
        [folder.paths[n] for n in names],
        rates,
        int(model["states"]),
        np.asarray(model["levels"], float),
        np.asarray(model["spreads"], float),
        {int(k): float(v) for k, v in model["bic"].items()},
    )


def batch_settings(folder: ResultsFolder) -> HmmSettings:
    """The settings the batch fitted its model with, as its manifest holds them; for a folder
    of an earlier version, told from its model: K by BIC up to its largest K."""
    stored = folder.manifest.get("model_settings")
    if isinstance(stored, dict):
        try:
            return HmmSettings(**stored)
        except TypeError as error:  # keys of no setting
            raise ValueError(f"model_settings of the manifest: {error}") from None
    model = folder.model or {}
    return HmmSettings(
        max_states=max((int(k) for k in model.get("bic", {})), default=MAX_STATES),
        bootstrap=int(model.get("resamples", 0)),
        seed=int(model.get("seed", 0)),
    )


def selection_kinetics(
    folder: ResultsFolder,
    names: Sequence[str],
    bootstrap: int | None = None,
    report: Callable[[str], None] = lambda _: None,
    overrides: dict[str, bool] | None = None,
) -> Kinetics:
    """The kinetics of the usable traces of `names` (after `overrides`, by default those the
    folder's next batch reads), fitted again as the batch did: the shared model with the
    batch's settings (batch_settings), the masked frames left out, started from the step fit's
    segments (a trace without a step fit from the others' states), rate intervals from
    `bootstrap` resamples (by default the batch's), or, for a batch without it, the dwell-time
    rates of the traces' paths. ValueError for a selection of no usable trace."""
    usable = folder.usable(overrides)
    names = [n for n in names if usable.get(n, False)]
    if not names:
        raise ValueError("no usable trace selected")
    paths = [folder.paths[n] for n in names]
    model = folder.model
    if model is None:
        report(f"dwell-time rates of {len(names)} traces")
        rates, _ = dwell_kinetics([(p.time, p.levels) for p in paths])
        return Kinetics(names, paths, rates)
    data = [HmmTrace(n, p.time, p.model_signal()) for n, p in zip(names, paths)]
    table = folder.segments
    segments = [
        Segments.from_table(table[table["name"] == n], len(p.time))
        if folder.screening.step_fitted(n)
        else None
        for n, p in zip(names, paths)
    ]
    starts = segments if any(s is not None for s in segments) else None
    settings = batch_settings(folder)
    resamples = settings.bootstrap if bootstrap is None else bootstrap
    ks = f"K = {settings.states}" if settings.states else f"K = 1 ... {settings.max_states}"
    report(f"shared model of {len(names)} traces, {ks}, {resamples} resamples")
    result = fit_shared_model(
        data,
        starts,
        settings.states,
        settings.max_states,
        bootstrap=resamples,
        seed=settings.seed,
        states_per_level=settings.states_per_level,
        topology=settings.topology,
    )
    fitted = [
        TracePath(p.time, p.signal, levels, p.masked)
        for p, levels in zip(paths, result.path_levels)
    ]
    return Kinetics(
        names, fitted, result.rate_table, result.states, result.levels, result.spreads, result.bic
    )


@dataclass(frozen=True)
class LevelHistogram:
    centres: FloatArray
    density: FloatArray  # probability density of the frames' signal
    x: FloatArray  # where the Gaussians are drawn
    gaussians: list[tuple[float, FloatArray]]  # (level, weighted density) per state


def level_histogram(kinetics: Kinetics, bins: int = LEVEL_BINS) -> LevelHistogram:
    """The histogram of every frame's signal with each state's Gaussian, weighted by the
    share of frames the paths spend in it (the model's states; none without a model)."""
    signal = np.concatenate([p.signal for p in kinetics.paths])
    signal = signal[np.isfinite(signal)]
    if not signal.size:
        raise ValueError("no finite signal in the traces")
    density, edges = np.histogram(signal, bins=bins, density=True)
    centres = (edges[:-1] + edges[1:]) / 2
    x = np.linspace(edges[0], edges[-1], GAUSSIAN_POINTS)
    gaussians = []
    if kinetics.levels is not None and kinetics.spreads is not None:
        frames = np.concatenate([p.levels for p in kinetics.paths])
        for level, spread in zip(kinetics.levels, kinetics.spreads):
            share = np.count_nonzero(frames == level) / frames.size
            curve = (
                share * np.exp(-0.5 * ((x - level) / spread) ** 2) / (spread * np.sqrt(2 * np.pi))
            )
            gaussians.append((float(level), curve))
    return LevelHistogram(centres, density, x, gaussians)


def dwell_times(kinetics: Kinetics) -> tuple[Dwells, pd.DataFrame]:
    """Dwell times of every level of the paths and their single-exponential rates."""
    table, dwells = dwell_kinetics([(p.time, p.levels) for p in kinetics.paths])
    return dwells, table


def bic_table(kinetics: Kinetics) -> pd.DataFrame:
    """BIC per K, the K of the model's FRET levels chosen: the BIC of K is that of K levels of
    one kinetic state each, and a model of more states per level has fewer levels than states."""
    bic = kinetics.bic or {}
    levels = None if kinetics.levels is None else np.unique(kinetics.levels).size
    chosen = kinetics.states if levels is None else levels
    return pd.DataFrame(
        {"K": list(bic), "BIC": list(bic.values()), "chosen": [k == chosen for k in bic]}
    )


def selected_segments(folder: ResultsFolder, names: Sequence[str]) -> pd.DataFrame:
    return folder.segments[folder.segments["name"].isin(list(names))]
