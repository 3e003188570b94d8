"""The shared hidden Markov model: what fit_hmm recovers from simulated traces, and the kinds
of input it takes."""

import numpy as np
import pytest

from lumetra.kinetics import fit_hmm, transition_density_figure
from lumetra.lumetraTrace import lumetraTrace
from lumetra.simulation import simulate_traces

LEVELS = [400.0, 1000.0]
RATES = [[0, 1.0], [0.5, 0]]  # per second


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    out = tmp_path_factory.mktemp("sim")
    return simulate_traces(out, 16, LEVELS, RATES, 0.1, 600, snr=4, seed=3)


def test_recovers_levels_rates_and_the_number_of_states(simulated):
    result = fit_hmm(simulated, max_states=3, bootstrap=40, seed=1)
    assert result.states == 2 and set(result.bic) == {1, 2, 3}
    assert min(result.bic, key=result.bic.get) == 2
    assert result.frame_time == pytest.approx(0.1)
    np.testing.assert_allclose(result.levels, LEVELS, rtol=0.02)
    table = result.rate_table
    assert list(table.columns) == ["from_state", "to_state", "rate", "rate_lower", "rate_upper"]
    assert [tuple(r) for r in table[["from_state", "to_state"]].to_numpy()] == [(0, 1), (1, 0)]
    np.testing.assert_allclose(table["rate"], [1.0, 0.5], rtol=0.2)
    assert (table["rate_lower"] < table["rate"]).all() and (
        table["rate"] < table["rate_upper"]
    ).all()
    np.testing.assert_allclose(result.rates.sum(axis=1), 0, atol=1e-9)
    assert [p.size for p in result.paths] == [600] * 16
    assert set(np.unique(np.concatenate(result.path_levels))) == set(result.levels)
    # The density plot counts every change of every path, binned by its arguments.
    figure = transition_density_figure(result, bin_size=50, fret0=0, fret1=1200)
    changes = sum(int(np.count_nonzero(np.diff(p))) for p in result.paths)
    histogram = figure.data[0]
    assert len(histogram.x) == changes and histogram.xbins.size == 50
    assert histogram.ybins.end == 1200 and figure.layout.width == 600


def test_files_pairs_and_trace_objects_give_the_same_fit(simulated):
    files = simulated[:4]
    objects = []
    for path in files:
        trace = lumetraTrace()
        trace.loadData(path)
        objects.append(trace)
    pairs = [(t.frames.to_numpy(), t.CH1mBGND1.to_numpy()) for t in objects]
    fits = [fit_hmm(kind, states=2, bootstrap=0) for kind in (files, pairs, objects)]
    for fit in fits[1:]:  # the same optimum (the step fit's search may start elsewhere)
        np.testing.assert_allclose(fit.levels, fits[0].levels, rtol=1e-5)
        np.testing.assert_allclose(fit.transition, fits[0].transition, rtol=1e-4)
    assert np.isnan(fits[0].rates_upper).all()  # no bootstrap, no interval
    kmeans = fit_hmm(pairs, states=2, bootstrap=0, start="kmeans")
    np.testing.assert_allclose(kmeans.levels, fits[0].levels, rtol=0.01)
    with pytest.raises(ValueError):
        fit_hmm(pairs, start="levels")
    with pytest.raises(ValueError):
        fit_hmm([(np.arange(3.0), np.arange(4.0))])
    with pytest.raises(ValueError):
        fit_hmm([])
