"""Invariants of pairs, partitions, merging and the two ways of running a fit, on generated
traces and series."""

import math
import warnings

import numpy as np
import pandas as pd
from helpers import FIT_RESULTS
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from lumetra import dataStatsCalac as stats
from lumetra.lumetraTrace import lumetraTrace

quick = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@st.composite
def step_traces(draw):
    """A noisy step trace of 40 to 1500 frames, with its frame axis."""
    levels = draw(st.lists(st.floats(-50, 300), min_size=1, max_size=5))
    dwells = draw(st.lists(st.integers(3, 300), min_size=1, max_size=12))
    ideal = np.concatenate([np.full(d, levels[k % len(levels)]) for k, d in enumerate(dwells)])
    ideal = np.resize(ideal, max(40, min(len(ideal), 1500)))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    intensity = ideal + rng.normal(0, draw(st.floats(0.1, 20)), ideal.size)
    step = draw(st.sampled_from([0.03, 0.1, 1.0]))
    return pd.Series(np.arange(ideal.size) * step), pd.Series(intensity)


fit_settings = st.tuples(
    st.integers(1, 15),
    st.floats(-1, 3),
    st.floats(0, 1.1),
    st.one_of(st.integers(0, 20), st.floats(0, 20)),
)


def fitted(trace, fit, state_num=1):
    frames, intensity = trace
    obj = lumetraTrace()
    obj.frames, obj.CH1mBGND1, obj.stateNum = frames, intensity, state_num
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            score = obj.fitTrajectory(*fit)
        except ValueError:
            score = None  # a window longer than the trace
    return obj, score


def assert_ordered_inside(partitions, length):
    for start, end, _ in partitions:
        assert 0 <= start < end <= length
    for (_, end, _), (start, _, _) in zip(partitions, partitions[1:]):
        assert end <= start


@quick
@given(
    values=st.lists(st.one_of(st.floats(-5, 5), st.just(math.nan)), max_size=200),
    threshold=st.floats(-3, 3),
)
def test_pairs_are_ordered_and_two_apart(values, threshold):
    pairs = stats.genPairs(values, threshold)
    for start, end, _ in pairs:
        assert 0 <= start < end <= len(values) - 1
    for (_, end, _), (start, _, _) in zip(pairs, pairs[1:]):
        assert start - end >= 2


@quick
@given(
    values=st.lists(st.floats(-5, 5), min_size=1, max_size=200),
    threshold=st.floats(-3, 3),
    half_window=st.integers(1, 12),
)
def test_partitions_of_generated_pairs_lie_ordered_in_the_trace(values, threshold, half_window):
    # values play a windowed series of a trace that is 2 * half_window frames longer
    length = len(values) + 2 * half_window
    pairs = stats.genPairs(values, threshold)
    partitions = stats.genPartitions(pairs, half_window, length)
    assert_ordered_inside(partitions, length)
    assert [seq for _, _, seq in partitions] == list(range(len(partitions)))
    if partitions:
        assert partitions[0][0] == 0 and partitions[-1][1] == length
        assert len(partitions) in (len(pairs), len(pairs) + 1)


@quick
@given(trace=step_traces(), fit=fit_settings)
def test_fitted_partitions_lie_ordered_in_the_trace_and_merging_only_joins(trace, fit):
    obj, score = fitted(trace, fit)
    if score is None:
        return
    length = len(trace[0])
    assert_ordered_inside(obj.partitions, length)
    before = [list(p) for p in obj.partitions]
    obj.mergeNeighbours()
    after = obj.partitions
    assert len(after) <= len(before)
    assert_ordered_inside(after, length)
    if before:
        assert (after[0][0], after[-1][1]) == (before[0][0], before[-1][1])
        # every merged partition starts where one of the fitted ones started
        assert {p[0] for p in after} <= {p[0] for p in before}


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a):
        return math.isnan(b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@quick
@given(trace=step_traces(), fit=fit_settings, state_num=st.integers(0, 3))
def test_the_one_call_fit_equals_the_call_by_call_fit(trace, fit, state_num):
    fast, fast_score = fitted(trace, fit, state_num)
    original = stats.thNS
    stats.thNS = lambda ns: original(ns)
    try:
        composed, composed_score = fitted(trace, fit, state_num)
    finally:
        stats.thNS = original
    assert same(fast_score, composed_score) or fast_score == composed_score
    for name in FIT_RESULTS:
        assert same(getattr(fast, name, None), getattr(composed, name, None)), name
