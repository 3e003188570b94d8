"""The re-simulation check: the fitted model simulated and fitted again."""

import json

import numpy as np
import pytest

from lumetra import batchcore
from lumetra.hmm.resimulate import resimulation_check, simulate_result
from lumetra.kinetics import fit_hmm

SETTINGS = {"max_states": 3, "start": "kmeans"}


def test_the_fitted_model_is_given_back_and_a_different_one_is_told_apart():
    rng = np.random.default_rng(4)
    lengths = rng.integers(200, 600, 30).tolist()
    traces = []
    for n, frames in enumerate(lengths):
        t = batchcore.simulate_kinetics(
            [0.3, 0.7],
            [[0, 0.8], [0.5, 0]],
            0.1,
            frames,
            gaussian_sigma=rng.uniform(0.04, 0.12),
            seed=n,
        )
        traces.append((t["time"], t["intensity"]))
    result = fit_hmm(traces, bootstrap=0, **SETTINGS)
    assert result.states == 2

    # Each simulated trace has the data's length, frame time and its molecule's noise.
    simulated = simulate_result(result, lengths, np.random.default_rng(1))
    assert [v.size for _, v in simulated] == lengths
    assert simulated[0][0][1] == pytest.approx(0.1)
    noise = [np.median(np.abs(np.diff(v))) / (0.6745 * np.sqrt(2)) for _, v in simulated]
    ratio = noise / (result.trace_noise * result.spreads.mean())
    assert np.median(ratio) == pytest.approx(1, abs=0.15) and np.ptp(ratio) < 0.4

    check = resimulation_check(result, lengths, seed=1, **SETTINGS)
    assert json.loads(json.dumps(check, allow_nan=False)) == check
    assert check["same_configuration"] and check["states_per_level"]["resimulated"] == [1, 1]
    assert [(r["from_state"], r["to_state"]) for r in check["rates"]] == [(0, 1), (1, 0)]
    assert check["largest_relative_difference"] < 0.15
    assert check["frames"] == sum(lengths)

    # Fitted again with one state, the model is not given back and no rate is compared.
    one = resimulation_check(result, lengths, seed=1, states=1, start="kmeans")
    assert not one["same_configuration"] and one["largest_relative_difference"] is None
    assert all(r["resimulated"] is None for r in one["rates"])
    with pytest.raises(ValueError, match="one length >= 1 per trace"):
        resimulation_check(result, lengths[1:])
