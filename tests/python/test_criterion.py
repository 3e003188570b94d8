import math
import time
import warnings

import numpy as np
import pandas as pd
import pytest
from helpers import outcome
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra import lumetraTrace

nan = float("nan")
TRACE = pd.Series([1.0, 3.0, 1.0, 3.0, 10.0, 12.0, 10.0, 12.0])
TWO_PARTS = [[0, 4, 0], [4, 8, 1]]


# The formulas written out with numpy, to compare the compiled functions with.
def in_peak_list_formula(x, peak_list):
    for p in peak_list:
        if x >= p[0] and x <= p[1]:
            return True
    return False


def xic_formula(partitions, intensity, peak_list, half_win_len):
    rss, used = 0, 0
    k = 3 * len(partitions) + 2 * len(peak_list)
    for p in partitions:
        yc = []
        for pi in range(p[0], p[1]):
            if not in_peak_list_formula(pi, peak_list):
                yc.append(intensity[pi])
        n = len(yc)
        if n > 0:
            mean = np.mean(yc)
            rss = rss + np.sum(np.square(yc - mean))
            used = used + n
    return k * np.log2(len(intensity)) + used * np.log(rss / used)


def test_module_functions_follow_the_class():
    names = [name for name in vars(lumetraTrace) if name in ("lumetraTrace", "inPeakList", "xic")]
    assert names == ["lumetraTrace", "inPeakList", "xic"]


def test_in_peak_list_intervals_are_closed():
    assert lumetraTrace.inPeakList(5, [[5, 9, 0]]) is True
    assert lumetraTrace.inPeakList(9, [[5, 9, 0]]) is True
    assert lumetraTrace.inPeakList(10, [[5, 9, 0]]) is False
    assert lumetraTrace.inPeakList(x=3, PeakList=[]) is False
    assert lumetraTrace.inPeakList(7.5, ([1, 2], (7, 8))) is True
    # The upper bound is read only when the lower one is passed.
    assert lumetraTrace.inPeakList(0, [[5], [0, 1]]) is True
    with pytest.raises(IndexError):
        lumetraTrace.inPeakList(6, [[5], [0, 9]])
    with pytest.raises(TypeError):
        lumetraTrace.inPeakList(5)


def test_xic_worked_values():
    assert lumetraTrace.xic(TWO_PARTS, TRACE, [], 3) == 18.0
    score = lumetraTrace.xic(TWO_PARTS, TRACE, [[3, 4, 0]], 3)
    assert score == pytest.approx(23.2933, abs=5e-5)
    assert score == xic_formula(TWO_PARTS, TRACE, [[3, 4, 0]], 3)
    keywords = dict(partitions=TWO_PARTS, CH1mBGND1=TRACE, peakList=[[3, 4, 0]], halfWinLen=None)
    assert lumetraTrace.xic(**keywords) == score
    with pytest.raises(TypeError):
        lumetraTrace.xic(TWO_PARTS, TRACE, [])


def test_xic_without_any_frame_divides_zero_by_zero():
    with pytest.raises(ZeroDivisionError):
        lumetraTrace.xic([], TRACE, [], 3)
    with pytest.raises(ZeroDivisionError):
        lumetraTrace.xic(TWO_PARTS, TRACE, [[-5, 20, 0]], 3)
    with pytest.raises(ZeroDivisionError):
        lumetraTrace.xic([[3, 3, 0], [5, 2, 1]], TRACE, [], 3)


def test_xic_of_constant_segments_is_minus_infinity():
    flat = pd.Series([2.0, 2.0, 2.0, 5.0, 5.0])
    with pytest.warns(RuntimeWarning, match="divide by zero encountered in log"):
        assert lumetraTrace.xic([[0, 3, 0], [3, 5, 1]], flat, [], 1) == -math.inf
    with np.errstate(divide="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert lumetraTrace.xic([[0, 3, 0], [3, 5, 1]], flat, [], 1) == -math.inf


def test_xic_nan_in_a_used_frame_spoils_the_score_even_in_a_series():
    trace = TRACE.copy()
    trace[1] = nan
    assert math.isnan(lumetraTrace.xic(TWO_PARTS, trace, [], 3))
    assert math.isfinite(lumetraTrace.xic(TWO_PARTS, trace, [[1, 1, 0]], 3))


def test_xic_reads_items_the_way_python_does():
    # A Series is indexed by label: a partition beyond its labels fails, one inside a peak not.
    with pytest.raises(KeyError):
        lumetraTrace.xic([[6, 9, 0]], TRACE, [], 3)
    assert lumetraTrace.xic([[6, 9, 0]], TRACE, [[8, 8, 0]], 3) == xic_formula(
        [[6, 9, 0]], TRACE, [[8, 8, 0]], 3
    )
    shifted = pd.Series(TRACE.to_numpy(), index=range(100, 108))
    assert lumetraTrace.xic([[100, 104, 0]], shifted, [], 3) == xic_formula(
        [[100, 104, 0]], shifted, [], 3
    )
    # An array counts negative indices from the end.
    array = TRACE.to_numpy()
    assert lumetraTrace.xic([[-4, 0, 0]], array, [], 3) == xic_formula([[-4, 0, 0]], array, [], 3)
    with pytest.raises(IndexError):
        lumetraTrace.xic([[6, 9, 0]], array, [], 3)
    # Bounds of any real kind, in any order, overlapping.
    peaks = [[5.5, 6.2, 0], (np.int64(0), 1), [4, 3], [2, 2.0, 9, 9], [1, 2]]
    assert lumetraTrace.xic(TWO_PARTS, TRACE, peaks, 3) == xic_formula(TWO_PARTS, TRACE, peaks, 3)
    with pytest.raises(TypeError):
        lumetraTrace.xic([[0.0, 4, 0]], TRACE, [], 3)


def test_xic_honours_a_replaced_in_peak_list(monkeypatch):
    asked = []

    def every_third(x, peak_list):
        asked.append((x, peak_list))
        return x % 3 == 0

    peaks = [[3, 4, 0]]
    monkeypatch.setattr(lumetraTrace, "inPeakList", every_third)
    score = lumetraTrace.xic(TWO_PARTS, TRACE, peaks, 3)
    assert asked == [(frame, peaks) for frame in range(8)]
    assert asked[0][1] is peaks
    # frames 0, 3 and 6 left out, and K counts the one peak
    kept = [[3.0, 1.0], [10.0, 12.0, 12.0]]
    rss = sum(np.sum(np.square(np.array(k) - np.mean(k))) for k in kept)
    assert score == pytest.approx(8 * 3 + 5 * math.log(rss / 5))


def test_xic_honours_a_replaced_numpy(monkeypatch):
    calls = []

    class Numpy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(lumetraTrace, "np", Numpy())
    assert lumetraTrace.xic(TWO_PARTS, TRACE, [[3, 4, 0]], 3) == xic_formula(
        TWO_PARTS, TRACE, [[3, 4, 0]], 3
    )
    assert calls == ["mean", "sum", "square"] * 2 + ["log2", "log"]


def test_xic_tests_frames_against_merged_intervals():
    # 20,000 frames against 10,000 pairs: one linear scan per frame would take seconds
    trace = pd.Series(np.random.default_rng(1).normal(size=20_000))
    peaks = [[i, i + 1, i] for i in range(0, 20_000, 4)][::-1]
    parts = [[0, 10_000, 0], [10_000, 20_000, 1]]
    start = time.perf_counter()
    score = lumetraTrace.xic(parts, trace, peaks, 3)
    elapsed = time.perf_counter() - start
    frames = [f for f in range(20_000) if f % 4 > 1]
    kept = [trace.to_numpy()[[f for f in frames if f < 10_000]], trace.to_numpy()[frames[5000:]]]
    rss = sum(np.sum(np.square(k - np.mean(k))) for k in kept)
    assert score == (3 * 2 + 2 * 5000) * np.log2(20_000) + 10_000 * np.log(rss / 10_000)
    assert elapsed < 0.5


finite = st.floats(-1e3, 1e3, allow_nan=False)


@settings(max_examples=200, deadline=None)
@given(
    values=st.lists(st.one_of(finite, finite, finite, st.just(nan)), min_size=1, max_size=40),
    kind=st.sampled_from([np.array, pd.Series, list]),
    data=st.data(),
)
def test_xic_matches_numpy(values, kind, data):
    intensity = kind(values)
    n = len(values)
    bounds = st.integers(-2, n + 2)
    partitions = data.draw(st.lists(st.tuples(bounds, bounds).map(list), max_size=4))
    peak_bound = st.one_of(bounds, st.floats(-3, n + 3, allow_nan=False))
    peaks = data.draw(st.lists(st.tuples(peak_bound, peak_bound).map(list), max_size=4))
    got = outcome(lumetraTrace.xic, partitions, intensity, peaks, 3)
    want = outcome(xic_formula, partitions, intensity, peaks, 3)
    if isinstance(want, type):
        assert got is want
    else:
        assert got == want or (math.isnan(got) and math.isnan(want))
