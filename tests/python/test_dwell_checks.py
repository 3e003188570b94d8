"""Dwell-time checks of a rate matrix against paths drawn from it (lumetra.hmm.checks)."""

import numpy as np
import pytest
from scipy.linalg import expm

from lumetra.hmm.checks import COLUMNS, dwell_checks, dwell_figure

DT = 0.1


def level_paths(rates, state_levels, traces=30, frames=3000, seed=1):
    """Paths of levels of the chain P = exp(Q dt) started in its stationary distribution."""
    rng = np.random.default_rng(seed)
    p = expm(np.asarray(rates) * DT)
    cumulative = np.cumsum(p, axis=1)
    stationary = np.linalg.matrix_power(p, 2**20)[0]
    paths = []
    for _ in range(traces):
        state = rng.choice(len(p), p=stationary)
        states = np.empty(frames, dtype=np.int64)
        for t, u in enumerate(rng.random(frames)):
            state = min(int(np.searchsorted(cumulative[state], u)), len(p) - 1)
            states[t] = state
        paths.append(np.asarray(state_levels)[states])
    return paths


def test_two_states_dwell_as_single_exponentials():
    rates = np.array([[-2.0, 2.0], [0.5, -0.5]])
    table = dwell_checks(level_paths(rates, [0, 1]), rates, np.array([0, 1]), DT)
    assert list(table.columns) == COLUMNS and table["level"].tolist() == [0, 1]
    assert table["single_exponential"].tolist() == [True, True]
    # The mean dwell in frames is 1 / (1 - P_ii).
    expected = DT / (1 - np.diag(expm(rates * DT)))
    assert np.allclose(table["mean_dwell"], expected, rtol=0.1)
    assert (table["cvm"] < 0.01).all()


def test_a_level_of_a_fast_and_a_slow_state_is_no_single_exponential():
    # Level 0: state 0 lives 0.2 s, state 1 lives 5 s, both left for level 1 (state 2).
    rates = np.array([[-5.0, 0.0, 5.0], [0.0, -0.2, 0.2], [0.5, 0.5, -1.0]])
    state_levels = np.array([0, 0, 1])
    paths = level_paths(rates, state_levels)
    table = dwell_checks(paths, rates, state_levels, DT).set_index("level")
    assert not table.at[0, "single_exponential"]
    assert table.at[0, "exponentials"] >= 2
    assert table.at[1, "single_exponential"]
    # The rate matrix explains the level's dwells; one exponential does not.
    assert table.at[0, "cvm"] < 0.01 < table.at[0, "cvm_single"]
    figure = dwell_figure(paths, rates, state_levels, DT, fret_levels=[0.2, 0.7])
    names = {trace.name for trace in figure.data}
    assert {"dwells", "rate matrix", "single exponential"} <= names
    assert any(name.endswith("exponentials") for name in names)


def test_levels_without_uncensored_dwells_are_nan():
    rates = np.array([[-1.0, 1.0], [1.0, -1.0]])
    table = dwell_checks([np.zeros(50, dtype=np.int64)], rates, np.array([0, 1]), DT)
    assert table["dwells"].tolist() == [0, 0]
    assert table[["mean_dwell", "cvm", "exponentials", "single_exponential"]].isna().all().all()
    dwell_figure([np.zeros(50, dtype=np.int64)], rates, np.array([0, 1]), DT)
    with pytest.raises(ValueError):
        dwell_checks([np.zeros(5, dtype=np.int64)], -rates, np.array([0, 1]), DT)
