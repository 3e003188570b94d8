import math

import numpy as np
import pandas as pd
import pytest

import nonstationarity
from lumetra import dataStatsCalac

ALGOS = ["NSLocaltoGlobal", "NSLefttoRight", "NSdichotomy", "NSCircleLefttoRight"]


def component(data, windows_len=11):
    nsm = nonstationarity.NonStationary()
    nsm.setupDS(windows_len)
    nsm.data = list(data)
    return nsm


class WindowByWindow(nonstationarity.NonStationary):
    """A Python subclass: streamNS must drive it one window at a time."""

    calls = 0

    def nsFuncRange(self, nsAlgo, start, end):
        WindowByWindow.calls += 1
        return super().nsFuncRange(nsAlgo, start, end)


@pytest.fixture
def noisy_trace():
    rng = np.random.default_rng(7)
    levels = np.repeat([100.0, 160.0, 100.0, 220.0], [60, 45, 70, 55])
    trace = levels + rng.normal(0, 12, levels.size)
    trace[[5, 90, 91, 200]] = np.nan
    return trace


@pytest.mark.parametrize("algo", ALGOS)
@pytest.mark.parametrize("windows_len", [5, 11, 19, 43])
def test_fast_stream_equals_window_by_window(monkeypatch, noisy_trace, algo, windows_len):
    series = pd.Series(noisy_trace)
    fast = dataStatsCalac.streamNS(series, windows_len, algo)

    class Module:
        NonStationary = WindowByWindow

    WindowByWindow.calls = 0
    monkeypatch.setattr(dataStatsCalac, "ns", Module)
    slow = dataStatsCalac.streamNS(series, windows_len, algo)
    assert WindowByWindow.calls == len(slow) == len(noisy_trace) - windows_len + 1
    assert fast == slow
    assert all(isinstance(v, float) and math.isfinite(v) and v >= 0 for v in fast)


def test_replaced_method_is_honoured(monkeypatch):
    monkeypatch.setattr(nonstationarity.NonStationary, "nsFuncRange", lambda self, a, s, e: -1.0)
    assert dataStatsCalac.streamNS(np.zeros(15), 11) == [-1.0] * 5


def test_component_interface():
    nsm = nonstationarity.NonStationary()
    assert nsm.setupDS(11) is None
    values = [1.0, 2.0, 3.0]
    nsm.data = values
    assert nsm.data is values
    with pytest.raises(ValueError, match="NSbogus"):
        nsm.nsFuncRange("NSbogus", 0, 3)
    with pytest.raises(TypeError):
        nsm.data = ["a", "b"]
    with pytest.raises(TypeError):
        nonstationarity.NonStationary(1)


@pytest.mark.parametrize("algo", ALGOS)
def test_constant_and_short_windows_score_zero(algo):
    rng = np.random.default_rng(1)
    trace = list(rng.normal(0, 1, 50)) + [5.0] * 20 + [float("nan")] * 5 + [1.0, 2.0, 3.0]
    nsm = component(trace)
    assert nsm.nsFuncRange(algo, 50, 70) == 0.0  # constant
    assert nsm.nsFuncRange(algo, 70, 78) == 0.0  # fewer than two finite samples a side
    assert nsm.nsFuncRange(algo, 10, 10) == 0.0  # empty


def test_step_scores_about_its_size_over_the_noise():
    rng = np.random.default_rng(3)
    sigma, step, n = 1.0, 3.0, 20
    trace = rng.normal(0, sigma, 5000)
    trace[3000:] += step
    nsm = component(trace, n)
    value = nsm.nsFuncRange("NSLocaltoGlobal", 3000 - n // 2, 3000 + n // 2)
    expected = step**2 * n / (4 * sigma**2)  # 45
    assert 0.4 * expected < value < 2.0 * expected
    # far from the step the same window scores like noise
    quiet = [nsm.nsFuncRange("NSLocaltoGlobal", i, i + n) for i in range(0, 2000, n)]
    assert np.mean(quiet) < 3


def test_nan_samples_are_skipped():
    rng = np.random.default_rng(5)
    clean = list(rng.normal(0, 1, 40))
    with_nan = clean[:20] + [float("nan")] * 3 + clean[20:]
    a, b = component(clean), component(with_nan)
    for algo in ALGOS:
        assert b.nsFuncRange(algo, 10, 33) == pytest.approx(a.nsFuncRange(algo, 10, 30), rel=1e-12)
