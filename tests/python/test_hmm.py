"""The shared hidden Markov model: what fit_hmm recovers from simulated traces, the kinds
of input it takes, and the settings and data it refuses."""

import re
from pathlib import Path

import numpy as np
import pytest

from lumetra import hmmcore
from lumetra.hmm.fit import fit_shared_model
from lumetra.hmm.inputs import collect_traces
from lumetra.hmm.trace_sets import Spool, TraceAxis
from lumetra.kinetics import fit_hmm, transition_density_figure
from lumetra.lumetraTrace import lumetraTrace
from lumetra.simulation import simulate_traces
from lumetra.stepfit import native_search, search_parameters, search_seed

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
    assert list(table.columns) == [
        *("from_state", "to_state", "rate", "rate_lower", "rate_upper"),
        *("from_level", "to_level"),
    ]
    assert result.states_per_level == [1, 1]  # no hidden states where there are none
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
    pooled = transition_density_figure(result, bin_size=50, fret0=0, fret1=1200, pooled=True)
    assert len(pooled.data[0].x) <= 2 and sum(pooled.data[0].z) == changes


def test_many_traces_compare_candidates_on_a_subset_and_fit_the_kept_model_on_all(
    simulated, monkeypatch, tmp_path
):
    monkeypatch.setattr("lumetra.hmm.search_set.SEARCH_FRAMES", 3000)
    monkeypatch.setattr("lumetra.hmm.trace_sets.HELD_CHUNK", 5)  # 5 traces at a time
    with pytest.warns(UserWarning, match=r"compared on 5 of 16 traces \(3000 frames"):
        result = fit_hmm(simulated, max_states=3, bootstrap=40, seed=1)
    assert result.states == 2 and result.bootstrap_method == "linearised"
    assert result.frames == 16 * 600 and len(result.trace_noise) == 16
    assert [p.size for p in result.paths] == [600] * 16
    np.testing.assert_allclose(result.levels, LEVELS, rtol=0.02)
    np.testing.assert_allclose(result.rate_table["rate"], [1.0, 0.5], rtol=0.2)
    assert (result.rate_table["rate_lower"] < result.rate_table["rate"]).all()
    # The same traces spooled to a file and read 1,000 frames at a time: the same model.
    monkeypatch.setattr("lumetra.hmm.trace_sets.CHUNK_FRAMES", 1000)
    data = collect_traces(simulated)
    spool = Spool(tmp_path / "traces.f64")
    for trace in data:
        spool.add(trace.values)
    axes = [TraceAxis(t.name, t.time) for t in data]
    spooled = fit_shared_model(axes, None, max_states=3, bootstrap=40, seed=1, values=spool)
    held = fit_shared_model(data, None, max_states=3, bootstrap=40, seed=1)
    np.testing.assert_allclose(spooled.rates, held.rates, rtol=1e-6)
    np.testing.assert_allclose(spooled.rates_upper, held.rates_upper, rtol=1e-4)
    assert all(np.array_equal(a, b) for a, b in zip(spooled.paths, held.paths))


def test_files_pairs_and_trace_objects_give_the_same_fit(simulated):
    files = simulated[:4]
    objects = []
    for path in files:
        trace = lumetraTrace()
        trace.loadData(path)
        objects.append(trace)
    pairs = [(t.frames.to_numpy(), t.CH1mBGND1.to_numpy()) for t in objects]
    kinds = (files, pairs, objects, files)
    fits = [fit_hmm(kind, states=2, bootstrap=0) for kind in kinds]
    for fit in fits[1:]:  # the step fits' searches are seeded: the very same model every time
        np.testing.assert_array_equal(fit.levels, fits[0].levels)
        np.testing.assert_array_equal(fit.transition, fits[0].transition)
    assert np.isnan(fits[0].rates_upper).all()  # no bootstrap, no interval
    kmeans = fit_hmm(pairs, states=2, bootstrap=0, start="kmeans")
    np.testing.assert_allclose(kmeans.levels, fits[0].levels, rtol=0.01)
    # A single path, in place of the list, is that file.
    listed = fit_hmm(files[:1], states=2, bootstrap=0, start="kmeans")
    for single in (files[0], Path(files[0])):
        fit = fit_hmm(single, states=2, bootstrap=0, start="kmeans")
        assert fit.names == listed.names
        np.testing.assert_allclose(fit.levels, listed.levels)
    with pytest.raises(ValueError):
        fit_hmm(pairs, start="levels")
    with pytest.raises(ValueError):
        fit_hmm([(np.arange(3.0), np.arange(4.0))])
    with pytest.raises(ValueError):
        fit_hmm([])


def two_levels(pattern, frames=600, frame_time=0.1, seed=0):
    """A (time, values) pair of levels 0 and 1 repeated as `pattern`, with a little noise."""
    values = np.resize(np.asarray(pattern, dtype=float), frames)
    noise = np.random.default_rng(seed).normal(0, 0.05, frames)
    return np.arange(frames) * frame_time, values + noise


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda data, trace: fit_hmm(data, bootstrap=-1), "bootstrap must be at least 0"),
        (
            lambda data, trace: fit_hmm(data, bootstrap_method="jackknife"),
            "bootstrap_method must be one of .* not 'jackknife'",
        ),
        (lambda data, trace: fit_hmm(data, states=0), "states must be at least 1, not 0"),
        (lambda data, trace: fit_hmm(data, max_states=0), "max_states must be at least 1"),
        (lambda data, trace: fit_hmm(data, seed=-1), "seed must be at least 0, not -1"),
        (lambda data, trace: search_seed(-1, "ab" * 32), "seed must be at least 0, not -1"),
        (lambda data, trace: search_parameters(trace, seed=-1), "seed must be at least 0"),
        (lambda data, trace: native_search(trace, None, "bic", -1), "seed must be at least 0"),
    ],
    ids=[
        "bootstrap",
        "bootstrap method",
        "states",
        "max_states",
        "seed",
        "search_seed",
        "search",
        "native search",
    ],
)
def test_settings_no_fit_can_have_are_refused(simulated, call, message):
    trace = lumetraTrace()
    trace.loadData(simulated[0])
    with pytest.raises(ValueError, match=message):
        call([two_levels([0] * 50 + [1] * 50)], trace)


@pytest.mark.parametrize(
    "pattern, settings, outcome, message",
    [
        (
            [0] * 50 + [1] * 50,
            {"states": 50, "start": "kmeans"},
            ValueError,
            "states=50 refused: a model of 50 states has 2550 free parameters .* at most 7 states",
        ),
        (
            [0] * 150 + [1] * 150,
            {"states": 3},
            ValueError,
            "600 frames and 3 level changes of the step fit carry at most 2 states",
        ),
        (
            [0] * 50 + [1] * 50,
            {"max_states": 8, "start": "kmeans"},
            UserWarning,
            "max_states=8 cut to 7: .*600 frames carry at most 7 states",
        ),
        (
            [0, 1],
            {"states": 2, "start": "kmeans"},
            RuntimeWarning,
            "no rate constants: the 2-state model's transition matrix",
        ),
    ],
    ids=["states beyond the frames", "states beyond the changes", "max_states cut", "no rates"],
)
def test_more_states_than_the_traces_carry(pattern, settings, outcome, message):
    traces = [two_levels(pattern)]
    if not issubclass(outcome, Warning):
        with pytest.raises(outcome, match=message):
            fit_hmm(traces, bootstrap=0, **settings)
        return
    with pytest.warns(outcome, match=message):
        result = fit_hmm(traces, bootstrap=0, **settings)
    if outcome is UserWarning:
        assert max(result.bic) == 7 and result.states == 2 and len(result.notes) == 1
    else:
        assert np.isnan(result.rates).all()


def test_traces_of_different_frame_times_are_refused(simulated, tmp_path):
    pattern = [0] * 50 + [1] * 50
    fast, slow = two_levels(pattern, frame_time=0.1), two_levels(pattern, frame_time=1.0)
    with pytest.raises(
        ValueError, match="frame time 0.1 in trace 0, trace 2; frame time 1 in trace 1"
    ):
        fit_hmm([fast, slow, fast], states=2, bootstrap=0, start="kmeans")
    # Time axes that differ by their rounding are one frame time.
    jittered = (fast[0] * (1 + 1e-4), fast[1])
    fit = fit_hmm([fast, jittered], states=2, bootstrap=0, start="kmeans")
    assert fit.frame_time == pytest.approx(0.1, rel=1e-4)
    # Files are named by their paths, and refused before their step fits are made.
    slow_file = simulate_traces(tmp_path, 1, LEVELS, RATES, 1.0, 300, snr=4, seed=5)[0]
    named = f"frame time 0.1 in {simulated[0]}#0, {simulated[2]}#0; frame time 1 in {slow_file}#0"
    with pytest.raises(ValueError, match=re.escape(named)):
        fit_hmm([simulated[0], slow_file, simulated[2]], states=2, bootstrap=0)


def reversed_states(model):
    """The same model with its states numbered the other way round."""
    flip = slice(None, None, -1)
    flipped = {name: model[name][flip] for name in ("means", "spreads", "start")}
    return {**model, **flipped, "transition": model["transition"][flip, flip]}


def test_states_are_numbered_from_the_lowest_level_whatever_order_the_fit_gives(monkeypatch):
    # Dwells of 30 frames low and 60 high, every trace starting low.
    traces = [two_levels([0] * 30 + [1] * 60, seed=n) for n in range(4)]
    settings = {"states": 2, "bootstrap": 0, "start": "kmeans"}
    as_fitted = fit_hmm(traces, **settings)
    fit = hmmcore.fit
    monkeypatch.setattr(hmmcore, "fit", lambda *args, **kw: reversed_states(fit(*args, **kw)))
    reordered = fit_hmm(traces, **settings)
    for result in (as_fitted, reordered):
        np.testing.assert_allclose(result.levels, [0, 1], atol=0.01)
        assert result.start[0] > 0.99
        assert result.rates[0, 1] == pytest.approx(2 * result.rates[1, 0], rel=0.1)
        for (_, values), path in zip(traces, result.paths):  # off by a frame at some changes
            assert np.mean(path == (values > 0.5)) > 0.97
    np.testing.assert_array_equal(reordered.transition, as_fitted.transition)


def test_every_trace_gets_a_path_of_its_own_length_in_input_order(simulated):
    def scaled(pair):  # to the levels of the simulated files
        return pair[0], LEVELS[0] + (LEVELS[1] - LEVELS[0]) * pair[1]

    high, low = scaled(two_levels([1], frames=450)), scaled(two_levels([0], frames=200, seed=1))
    time, steps = scaled(two_levels([0] * 50 + [1] * 50, frames=300, seed=2))
    steps[10] = np.nan  # a lost frame keeps its place in the path
    result = fit_hmm([high, simulated[0], (time, steps), low], states=2, bootstrap=0)
    assert result.names == ["trace 0", f"{simulated[0]}#0", "trace 2", "trace 3"]
    assert [path.size for path in result.paths] == [450, 600, 300, 200]
    level = [result.state_levels[path] for path in result.paths]  # kinetic states may share
    assert (level[0] == 1).all() and (level[3] == 0).all()
    assert np.mean(level[2] == (steps > 700)) > 0.97
    for path, levels in zip(result.paths, result.path_levels):
        np.testing.assert_array_equal(levels, result.levels[path])


def molecules_of_different_noise(count=24, frames=400, seed=7):
    """Two-level (time, E) pairs whose molecules differ in noise (0.04 ... 0.15 in E), one frame
    in a hundred a blink far outside [0, 1]; and each molecule's noise."""
    rng = np.random.default_rng(seed)
    noise = rng.uniform(0.04, 0.15, count)
    traces = []
    for sigma in noise:
        dwells = rng.geometric(0.05, frames)
        states = np.resize(np.repeat(np.arange(dwells.size) % 2, dwells), frames)
        values = np.where(states == 1, 0.7, 0.3) + rng.normal(0, sigma, frames)
        blinks = rng.random(frames) < 0.01
        values[blinks] = rng.choice([-1, 1], blinks.sum()) * rng.uniform(20, 90, blinks.sum())
        traces.append((np.arange(frames) * 0.1, values))
    return traces, noise


def test_molecules_of_different_noise_and_blinks_give_the_levels_not_noise_classes():
    traces, noise = molecules_of_different_noise()
    result = fit_hmm(traces, max_states=3, bootstrap=0, start="kmeans")
    assert result.states == 2
    np.testing.assert_allclose(result.levels, [0.3, 0.7], atol=0.01)
    # Each molecule's spread is the model's times its scale.
    np.testing.assert_allclose(result.spreads.mean() * result.trace_noise, noise, rtol=0.2)
    assert 0.005 < result.outlier_share < 0.03
    table = result.bic_table
    columns = ["states", "spreads", "log_likelihood", "parameters", "bic", "distinct"]
    columns += ["converged", "abandoned"]
    columns += ["states_per_level", "topology"]
    assert list(table.columns) == columns
    table = table[table["topology"].eq("full") & ~table["states_per_level"].str.contains("2|3")]
    assert list(zip(table["states"], table["spreads"])) == [
        (1, "shared"),
        *((k, kind) for k in (2, 3) for kind in ("shared", "per_state")),
    ]
    # No candidate stops silently: it converged, or it was left once it could not be kept.
    assert (table["converged"] | table["abandoned"].ne("")).all()
    # A spread per state that splits one level by its noise is listed, not chosen.
    eligible = table[table["distinct"] | (table["spreads"] == "shared")]
    assert result.bic == eligible.groupby("states")["bic"].min().to_dict()
    # One spread for all and no outlier term: the blinks take the spread, and the model its rates.
    with pytest.warns(RuntimeWarning, match="no rate constants"):
        shared = fit_hmm(
            traces,
            states=2,
            bootstrap=0,
            start="kmeans",
            noise="shared",
            outliers=False,
            shared_spread=True,
        )
    assert shared.spreads[0] > 1 and (shared.trace_noise == 1).all()
    assert shared.outlier_share == 0 and len(shared.bic_table) == 1
    with pytest.raises(ValueError, match="noise must be one of"):
        fit_hmm(traces, noise="per_molecule")
