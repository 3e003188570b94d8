import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra import dataStatsCalac

nan = float("nan")


# The formulas written out in Python, to compare the compiled functions with.
def gen_pairs_formula(data, th):
    lend = len(data)
    pairs, pair, idx = [], [], 0
    for i in range(lend):
        if i + 1 < lend:
            if data[i] >= th and data[i + 1] < th:
                if len(pair) == 0 and len(pairs) == 0:
                    pair += [0, i + 1]
                if len(pair) == 1:
                    pair.append(i + 1)
                if len(pair) == 2:
                    pair.append(idx)
                    idx += 1
                    pairs.append(list(pair))
                    pair = []
            elif data[i] <= th and data[i + 1] > th and len(pair) == 0:
                pair.append(i)
        elif len(pair) == 1:
            pair += [i, idx]
            idx += 1
            pairs.append(list(pair))
            pair = []
    idx = 0
    while idx < len(pairs) - 1:
        if pairs[idx + 1][0] - pairs[idx][1] < 2:
            pairs[idx][1] = pairs[idx + 1][1]
            del pairs[idx + 1]
        else:
            idx += 1
    return pairs


def gen_partitions_formula(pairs, half, data_len):
    if len(pairs) < 1:
        return []
    parts = [[0, pairs[0][0] + half, 0]]
    for i in range(len(pairs) - 1):
        parts.append([pairs[i][1] + half, pairs[i + 1][0] + half, len(parts)])
    last = pairs[-1]
    if last[1] < data_len - (2 * half + 1):
        parts.append([last[1] + half, data_len, len(parts)])
    else:
        parts[-1][1] = data_len
    return parts


@pytest.mark.parametrize(
    "data, expected",
    [
        ([], []),
        ([3], []),
        ([0, 0, 5, 5, 0, 0], [[1, 4, 0]]),
        ([5, 5, 0, 0], [[0, 2, 0]]),
        ([0, 5, 5, 5], [[0, 3, 0]]),
        ([5, 5, 5], []),
        ([0, 5, 0, 5, 0, 0, 0, 5, 0], [[0, 4, 0], [6, 8, 2]]),
        ([0, 5, 1, 0], [[0, 3, 0]]),
        ([0, 1, 1, 0], [[0, 3, 0]]),
        ([0, 5, 0, 0, 5, 0], [[0, 5, 0]]),
        ([0, 5, 0, 0, 0, 5, 0], [[0, 2, 0], [4, 6, 1]]),
        ([0, 5, nan, 0, 0, 0], [[0, 5, 0]]),
    ],
)
def test_gen_pairs_worked_examples(data, expected):
    assert dataStatsCalac.genPairs(data, 1) == expected
    assert dataStatsCalac.genPairs(np.array(data, dtype=float), th=1) == expected
    assert dataStatsCalac.genPairs(data=pd.Series(data, dtype=float), th=1.0) == expected


def test_pairs_are_separate_lists_of_python_ints():
    pairs = dataStatsCalac.genPairs(np.array([0, 5, 0, 0, 0, 5, 0, 0, 0, 5, 5]), np.int64(1))
    assert pairs == [[0, 2, 0], [4, 6, 1], [8, 10, 2]]
    assert all(type(p) is list and all(type(v) is int for v in p) for p in pairs)
    assert len({id(p) for p in pairs}) == 3
    pairs[0].append("note")
    pairs[1][0] = 99
    assert pairs[2] == [8, 10, 2]


def test_threshold_is_only_compared_when_there_is_something_to_compare():
    assert dataStatsCalac.genPairs([1.0], None) == []
    with pytest.raises(TypeError):
        dataStatsCalac.genPairs([1.0, 2.0], None)
    with pytest.raises(TypeError):
        dataStatsCalac.genPairs([1.0, 2.0])


def test_chain_filters_worked_examples_share_the_pair_objects():
    pairs = [[0, 2, 0], [5, 9, 1]]
    kept = dataStatsCalac.chainFilters(pairs, 5, None)
    assert kept == pairs and kept is not pairs
    assert all(k is p for k, p in zip(kept, pairs))
    only_wide = dataStatsCalac.chainFilters(pairs, 5, None, th=3)
    assert only_wide == [[5, 9, 1]] and only_wide[0] is pairs[1]
    assert dataStatsCalac.chainFilters(pairs=pairs, halfWin=9, dx=0.1) == [[5, 9, 1]]
    # A pair list edited through the result is the caller's own.
    only_wide[0][2] = 7
    assert pairs[1] == [5, 9, 7]


@pytest.mark.parametrize(
    "half_win, minimum", [(1, 0.0), (2, 0.5), (3, 1.0), (5, 1.0), (7, 2.0), (9, 3.0), (11, 4.0)]
)
def test_chain_filters_derives_the_minimum_width(half_win, minimum):
    pairs = [[10, 10 + w, w] for w in (0, 0.5, 1, 2, 3, 4, 5)]
    kept = dataStatsCalac.chainFilters(pairs, half_win, None, 0.0)
    assert [p[1] - p[0] for p in kept] == [w for w in (0, 0.5, 1, 2, 3, 4, 5) if w >= minimum]


def test_chain_filters_argument_rules():
    assert dataStatsCalac.chainFilters([[0, 4, 0]], 5, None, nan) == []
    assert dataStatsCalac.chainFilters([], 5, None, None) == []
    with pytest.raises(TypeError):
        dataStatsCalac.chainFilters([[0, 4, 0]], 5, None, None)
    with pytest.raises(TypeError):
        dataStatsCalac.chainFilters([], None, None)  # the derived width needs halfWin
    with pytest.raises(IndexError):
        dataStatsCalac.chainFilters([[0]], 5, None)
    with pytest.raises(TypeError):
        dataStatsCalac.chainFilters([[0, 4, 0]], 5)
    with pytest.raises(TypeError):
        dataStatsCalac.chainFilters([[0, 4, 0]], 5, None, 1, 2)


@pytest.mark.parametrize(
    "pairs, expected",
    [
        ([], []),
        ([[10, 20, 0], [40, 50, 1]], [[0, 15, 0], [25, 45, 1], [55, 100, 2]]),
        # the last pair ends at the last window position, 100 - 11 = 89: no third partition
        ([[10, 20, 0], [40, 89, 1]], [[0, 15, 0], [25, 100, 1]]),
        ([[10, 20, 0], [40, 88, 1]], [[0, 15, 0], [25, 45, 1], [93, 100, 2]]),
    ],
)
def test_gen_partitions_worked_examples(pairs, expected):
    before = [list(p) for p in pairs]
    partitions = dataStatsCalac.genPartitions(pairs, 5, 100)
    assert partitions == expected
    assert pairs == before
    assert all(type(p) is list and all(type(v) is int for v in p) for p in partitions)
    assert len({id(p) for p in partitions}) == len(partitions)
    assert dataStatsCalac.genPartitions(pairs=pairs, halfWinLen=5, dataLen=100) == expected


def test_gen_partitions_errors():
    with pytest.raises(IndexError):
        dataStatsCalac.genPartitions([[10]], 5, 100)
    with pytest.raises(IndexError):
        dataStatsCalac.genPartitions([[10, 20, 0], []], 5, 100)
    with pytest.raises(TypeError):
        dataStatsCalac.genPartitions([[10, 20, 0]], 5)
    with pytest.raises(TypeError):
        dataStatsCalac.genPartitions([[10, 20, 0]], 5, 100, 1)


series_values = st.lists(
    st.one_of(st.integers(-3, 3).map(float), st.just(nan)), min_size=0, max_size=60
)


@settings(max_examples=300, deadline=None)
@given(values=series_values, th=st.sampled_from([-1.0, 0.0, 0.5, 1.0, 2.0]))
def test_gen_pairs_matches_the_formula(values, th):
    expected = gen_pairs_formula(np.array(values), th)
    assert dataStatsCalac.genPairs(np.array(values), th) == expected
    assert dataStatsCalac.genPairs(pd.Series(values, dtype=float), th) == expected


@settings(max_examples=200, deadline=None)
@given(
    values=series_values,
    half=st.integers(1, 6),
    extra=st.integers(-3, 20),
    limit=st.sampled_from([0, 0.0, 1, 2.5, 4]),
)
def test_filters_and_partitions_match_the_formulas(values, half, extra, limit):
    pairs = gen_pairs_formula(values, 0.5)
    data_len = len(values) + 2 * half + extra
    kept = dataStatsCalac.chainFilters(pairs, half, None, limit)
    if limit == 0:
        t = (half - 1) / 2 - 1
        limit = t if t > 0 else (half - 1) / 2
    assert kept == [p for p in pairs if p[1] - p[0] >= limit]
    assert dataStatsCalac.genPartitions(kept, half, data_len) == gen_partitions_formula(
        kept, half, data_len
    )
