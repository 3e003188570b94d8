"""The shared model's tables as pandas frames, the same whether made from an HmmResult or read
back from a results folder's hmm_model.json (lumetra.results.folder):

    rate_table        from_state, to_state, rate, rate_lower, rate_upper, from_level, to_level
    level_table       state, fret_level, level, spread
    relaxation_table  time, time_lower, time_upper: slowest first
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra.stepfit import FloatArray, IntArray

RATE_COLUMNS = [
    "from_state",
    "to_state",
    "rate",
    "rate_lower",
    "rate_upper",
    "from_level",
    "to_level",
]
LEVEL_COLUMNS = ["state", "fret_level", "level", "spread"]
RELAXATION_COLUMNS = ["time", "time_lower", "time_upper"]


def rate_table(
    rates: FloatArray, lower: FloatArray, upper: FloatArray, levels: IntArray
) -> pd.DataFrame:
    """One row per off-diagonal rate constant (zero where the scheme holds it so), with the
    FRET level of each state."""
    k = rates.shape[0]
    rows = [
        (i, j, rates[i, j], lower[i, j], upper[i, j], int(levels[i]), int(levels[j]))
        for i in range(k)
        for j in range(k)
        if i != j
    ]
    return pd.DataFrame(rows, columns=RATE_COLUMNS)


def level_table(
    levels: npt.ArrayLike, spreads: npt.ArrayLike, state_levels: npt.ArrayLike | None = None
) -> pd.DataFrame:
    """One row per kinetic state: its FRET level's number (None: each state a level of its
    own), level and spread."""
    means = np.asarray(levels, dtype=float)
    shared = np.arange(means.size) if state_levels is None else np.asarray(state_levels, int)
    return pd.DataFrame(
        {
            "state": np.arange(means.size),
            "fret_level": shared,
            "level": means,
            "spread": np.asarray(spreads, dtype=float),
        },
        columns=LEVEL_COLUMNS,
    )


def relaxation_table(
    times: npt.ArrayLike, lower: npt.ArrayLike, upper: npt.ArrayLike
) -> pd.DataFrame:
    """The relaxation times with their bootstrap intervals (NaN without one), slowest first."""
    columns = (np.asarray(v, dtype=float) for v in (times, lower, upper))
    return pd.DataFrame(dict(zip(RELAXATION_COLUMNS, columns)), columns=RELAXATION_COLUMNS)
