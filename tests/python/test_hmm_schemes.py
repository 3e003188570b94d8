"""Kinetic schemes with more states than FRET levels: found, fitted as rates, checked."""

import numpy as np
import pytest

from lumetra import batchcore
from lumetra.kinetics import fit_hmm

# A slow and a fast state on each of two levels, in a chain slow - fast - fast - slow (1/s).
LEVELS = [0.2, 0.2, 0.75, 0.75]
RATES = np.zeros((4, 4))
RATES[0, 1], RATES[1, 0], RATES[1, 2] = 0.05, 0.3, 0.7
RATES[2, 1], RATES[2, 3], RATES[3, 2] = 0.5, 0.2, 0.03
# The same states numbered as a fit numbers them: level by level, the fastest first.
AS_FITTED = [1, 0, 2, 3]


@pytest.fixture(scope="module")
def hidden():
    rng = np.random.default_rng(3)
    traces = []
    for _ in range(120):
        seed = int(rng.integers(1 << 31))
        t = batchcore.simulate_kinetics(LEVELS, RATES, 0.2, 400, gaussian_sigma=0.07, seed=seed)
        traces.append((t["time"], t["intensity"]))
    return traces


def test_a_level_of_a_fast_and_a_slow_state_is_found_and_its_rates_fitted(hidden):
    result = fit_hmm(hidden, max_states=2, bootstrap=0)
    assert result.states_per_level == [2, 2] and result.states == 4
    np.testing.assert_array_equal(result.state_levels, [0, 0, 1, 1])
    np.testing.assert_allclose(result.fret_levels, [0.2, 0.75], atol=0.01)
    np.testing.assert_allclose(result.levels, result.fret_levels[result.state_levels])
    truth = RATES[np.ix_(AS_FITTED, AS_FITTED)]
    present = truth > 0
    np.testing.assert_allclose(result.rates[present], truth[present], rtol=0.3)
    assert (result.rates[~present & ~np.eye(4, dtype=bool)] < 0.02).all()
    # Every scheme tried is in the table, the plain model's among them.
    assert {"1+1", "2+1", "1+2", "2+2"} <= set(result.bic_table["states_per_level"])
    checks = result.dwell_checks
    assert list(checks["level"]) == [0, 1] and not checks["single_exponential"].any()
    assert (checks["cvm"] < checks["cvm_single"]).all()
    assert len(result.relaxation_times) == 3 and (np.diff(result.relaxation_times) < 0).all()


def test_a_given_scheme_keeps_its_zero_rates_and_gets_intervals(hidden):
    result = fit_hmm(
        hidden[:60], states=2, states_per_level=[2, 2], topology="chain", bootstrap=8, seed=2
    )
    assert result.topology == "chain" and result.states_per_level == [2, 2]
    links = result.rates > 0
    assert links.sum() == 6  # a chain of four states: three links, both ways
    assert (result.rates[~links & ~np.eye(4, dtype=bool)] == 0).all()
    assert (result.rates_lower[links] <= result.rates[links]).all()
    assert (result.rates[links] <= result.rates_upper[links]).all()
    low, high = result.relaxation_lower, result.relaxation_upper
    assert (low <= result.relaxation_times).all() and (result.relaxation_times <= high).all()


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"states": 2, "states_per_level": [2]}, "1 counts for 2 levels"),
        ({"states_per_level": 4}, "at most 3"),
        ({"states_per_level": [1, 0]}, "at least 1"),
        ({"topology": "star"}, "topology must be one of"),
        ({"topology": np.ones((2, 2))}, "a topology matrix needs states_per_level"),
    ],
)
def test_scheme_settings_no_fit_can_have_are_refused(hidden, settings, message):
    with pytest.raises(ValueError, match=message):
        fit_hmm(hidden[:2], bootstrap=0, **settings)
