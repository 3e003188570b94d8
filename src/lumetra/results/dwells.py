"""The batch model's kinetics as the dwell-time checks need them (lumetra.hmm.checks): the rate
matrix over its kinetic states and the level of each state (hmm_model.json: rates, S x S per
time unit; state_levels; frame_time; fret_levels or the levels per state), and the level of
every frame of the paths it made (hmm/NAME.csv: state). A folder of an earlier version, whose
model holds no such rates, has none: `dwell_model` gives None, and the page shows nothing."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from lumetra.results.folder import ResultsFolder
from lumetra.stepfit import FloatArray, IntArray


@dataclass(frozen=True)
class DwellModel:
    rates: FloatArray  # S x S, per time unit
    state_levels: IntArray  # the level (0 .. M - 1) of each kinetic state
    frame_time: float
    fret_levels: list[float] | None  # the FRET value of each level, when the model gives them


def numbers(value: Any) -> FloatArray | None:
    """A list (of lists) of numbers as a float array; None for anything else."""
    try:
        array = np.asarray(value, dtype=float)
    except (TypeError, ValueError):
        return None
    return array if array.dtype == float else None


def dwell_model(model: dict[str, Any] | None) -> DwellModel | None:
    """The rates and state levels of the model of hmm_model.json; None when it has none, or
    they do not fit together (sizes, levels that are not whole numbers from 0 to fewer than
    the states, the frame time)."""
    if not isinstance(model, dict):
        return None
    rates, owners = numbers(model.get("rates")), numbers(model.get("state_levels"))
    frame_time = model.get("frame_time")
    if rates is None or owners is None or owners.ndim != 1 or not owners.size:
        return None
    if rates.shape != (owners.size, owners.size) or not isinstance(frame_time, (int, float)):
        return None
    if not (
        np.all(owners >= 0) and np.all(owners == np.floor(owners)) and owners.max() < owners.size
    ):
        return None
    if not (math.isfinite(frame_time) and frame_time > 0):
        return None
    state_levels = owners.astype(np.int64)
    return DwellModel(rates, state_levels, float(frame_time), fret_values(model, state_levels))


def fret_values(model: dict[str, Any], state_levels: IntArray) -> list[float] | None:
    """The FRET value of each level: fret_levels, or the first of its states' levels."""
    count = int(state_levels.max()) + 1
    given = numbers(model.get("fret_levels"))
    if given is not None and given.shape == (count,):
        return [float(v) for v in given]
    per_state = numbers(model.get("levels"))
    if per_state is None or per_state.shape != state_levels.shape:
        return None
    first = {int(level): int(np.argmax(state_levels == level)) for level in state_levels}
    return [
        float(per_state[first[level]]) if level in first else math.nan for level in range(count)
    ]


def model_level_paths(folder: ResultsFolder, model: DwellModel) -> list[IntArray]:
    """The level of every frame of each path of the model whose states are known; ValueError
    naming a trace whose states the model does not have."""
    paths = []
    for name in folder.names:
        states = folder.paths[name].states
        if name not in folder.modelled or states is None:
            continue
        if states.size and states.max() >= model.state_levels.size:
            raise ValueError(
                f"hmm/{name}.csv: state {states.max()} of a model of {model.state_levels.size}"
            )
        paths.append(model.state_levels[states])
    return paths
