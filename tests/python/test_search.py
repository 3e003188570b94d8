import lmfit
import numpy as np
import pandas as pd
import pytest

from lumetra import lumetraTrace as module
from lumetra.batchcore import PARAMETER_NAMES, REJECTED_SCORE, SEARCH_DEFAULTS, SEARCH_KEYWORDS
from lumetra.lumetraTrace import lumetraTrace

NAMES = list(PARAMETER_NAMES)
DEFAULT_BOUNDS = SEARCH_DEFAULTS


@pytest.fixture
def trace():
    """A 400-frame trace of three levels."""
    rng = np.random.default_rng(5)
    ideal = np.repeat([10.0, 30.0, 20.0, 30.0, 10.0], [90, 60, 110, 70, 70])
    trace = lumetraTrace()
    trace.frames = pd.Series(np.arange(ideal.size) / 10)
    trace.CH1mBGND1 = pd.Series(ideal + rng.normal(0, 1.5, ideal.size))
    trace.stateNum = 2
    return trace


@pytest.fixture
def fits(trace):
    """The calls of fitTrajectory on the trace, each answered with a sentinel score."""
    calls = []
    trace.fitTrajectory = lambda *args, **kwargs: calls.append((args, kwargs)) or calls
    return calls


class Minimizer:
    """Stands in for lmfit's Minimizer: records its set-up and returns a sentinel result."""

    made = []
    result = object()

    def __init__(self, function, params, **settings):
        self.function, self.params, self.settings, self.methods = function, params, settings, []
        Minimizer.made.append(self)

    def minimize(self, **kwargs):
        self.methods.append(kwargs)
        return Minimizer.result


@pytest.fixture
def minimizer(monkeypatch):
    Minimizer.made = []
    monkeypatch.setattr(module, "Minimizer", Minimizer)
    return Minimizer


class RecordingTrace(lumetraTrace):
    """A trace object without a trace whose fit records its calls."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def fitTrajectory(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.calls


@pytest.mark.parametrize("holder", ["loaded trace", "subclass without a trace"])
@pytest.mark.parametrize("half, width, rounded", [(8.5, 10.5, (8, 10)), (9.5, 11.5, (10, 12))])
def test_fitness_rounds_the_window_parameters_half_to_even(
    trace, fits, half, width, rounded, holder
):
    if holder == "subclass without a trace":
        trace = RecordingTrace()
        fits = trace.calls
    params = lmfit.Parameters()
    params.add_many(("halfWinLen", half), ("rratio", 0.25), ("thrate", 0.75))
    params.add("filterWidth", width)
    assert trace._fitness(params) is fits
    assert fits == [((rounded[0], 0.25, 0.75, rounded[1]), {})]
    assert [type(a) for a in fits[0][0]] == [int, float, float, int]


@pytest.mark.parametrize(
    "args, kwargs, bounds",
    [
        ((), {}, {}),
        ((), {"sRR": (0, 1, 0.05)}, {"rratio": (0, 1, 0.05)}),
        (
            ((4, 30, 2, "unused"), [-2, 2, 0.5]),
            {"sThR": (0.1, 0.9, 0.05), "sFilterW": (2, 12, 1)},
            {
                "halfWinLen": (4, 30, 2),
                "rratio": (-2, 2, 0.5),
                "thrate": (0.1, 0.9, 0.05),
                "filterWidth": (2, 12, 1),
            },
        ),
    ],
)
def test_search_sets_up_four_bounded_parameters(trace, fits, minimizer, args, kwargs, bounds):
    assert trace.optimizeFitness(*args, **kwargs) is None
    (search,) = minimizer.made
    assert search.function == trace._fitness
    assert search.settings == {"nan_policy": "omit", "max_nfev": 2000}
    assert search.methods == [{"method": "differential_evolution"}]
    assert trace.optRes is minimizer.result
    params = search.params
    assert list(params) == NAMES
    assert [params[n].value for n in NAMES] == [9, 0.18, 0.2, 9]
    expected = {**DEFAULT_BOUNDS, **bounds}
    for name in NAMES:
        p = params[name]
        assert p.vary and (p.min, p.max, p.brute_step) == expected[name], name
    assert fits == []


@pytest.mark.parametrize("argument", SEARCH_KEYWORDS.values())
def test_bounds_of_two_items_fail_before_any_evaluation(trace, fits, minimizer, argument):
    with pytest.raises(IndexError):
        trace.optimizeFitness(**{argument: (0, 10)})
    assert minimizer.made == [] and fits == []
    assert not hasattr(trace, "optRes")


def test_search_leaves_its_best_setting_in_opt_res(trace):
    trace.optimizeFitness()
    result = trace.optRes
    assert isinstance(result, lmfit.minimizer.MinimizerResult) and result.nfev > 1
    best = result.params.valuesdict()
    assert list(best) == NAMES
    for name, (low, high, _) in DEFAULT_BOUNDS.items():
        assert low <= best[name] <= high
    # the reported score is the fit of the reported setting
    assert result.residual[0] == trace._fitness(result.params)


def test_search_of_a_short_trace_fits_only_the_windows_that_fit(fits, trace):
    """A trace shorter than a setting's window is not fitted at that setting: the search takes it
    as rejected (fitTrajectory itself still fails on it), and refinement copes with a fit that
    accepted nothing."""
    trace.CH1mBGND1 = trace.CH1mBGND1[:30]
    trace.frames = trace.frames[:30]
    params = lmfit.Parameters()
    for name, value in zip(NAMES, (14.6, 0.2, 0.2, 9)):
        params.add(name, value)
    assert trace._fitness(params) == REJECTED_SCORE and not fits
    params["halfWinLen"].set(value=14.4)
    assert trace._fitness(params) is fits and fits[0][0][0] == 14

    del trace.fitTrajectory
    with pytest.raises(ValueError):
        trace.fitTrajectory(15, 0.2, 0.2, 9)
    trace.fitTrajectory(14, 10.0, 0.2, 0)  # nothing accepted: no partition
    assert trace.partitions == []
    trace.refineTransitions()
    assert len(trace.idealPath) == 30 and not np.isnan(trace.idealPath).any()


def test_the_shared_constants_keep_their_documented_values():
    """Written once in the core; a change there would change every search and rejected score."""
    assert REJECTED_SCORE == 9999999999
    assert SEARCH_DEFAULTS == {
        "halfWinLen": (5, 21, 1),
        "rratio": (-1, 3.1, 0.01),
        "thrate": (0, 1.1, 0.1),
        "filterWidth": (1, 21, 1),
    }
    assert [type(v) for v in SEARCH_DEFAULTS["rratio"]] == [int, float, float]


@pytest.mark.parametrize("criterion", ["xic", "bic"])
def test_native_search_scores_as_well_as_lmfit_and_repeats_with_its_seed(trace, criterion):
    from lumetra.stepfit import search_parameters, step_fit

    def fitted(engine, seed):
        copy = lumetraTrace()
        copy.frames, copy.CH1mBGND1, copy.stateNum = trace.frames, trace.CH1mBGND1, 2
        params = search_parameters(copy, None, criterion, seed, engine)
        return params, step_fit(copy, params, criterion), copy

    lmfit_params, lmfit_score, _ = fitted("lmfit", 1)
    native_params, native_score, fitted_copy = fitted("native", 1)
    assert not hasattr(fitted_copy, "optRes")  # searched without lmfit
    assert native_score <= lmfit_score + 1e-9 * abs(lmfit_score)
    assert fitted("native", 1)[0] == native_params
    for name, (low, high, _) in DEFAULT_BOUNDS.items():
        assert low <= native_params[name] <= high

    trace.keepPairs = [[0, 5, 2]]  # scored against saved pairs: lmfit's search does it
    search_parameters(trace, None, criterion, 1, "native")
    assert isinstance(trace.optRes, lmfit.minimizer.MinimizerResult)
    with pytest.raises(ValueError, match="search engine"):
        search_parameters(trace, None, criterion, engine="fast")
