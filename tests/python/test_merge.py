import types

import numpy as np
import pandas as pd
import pytest

from lumetra import lumetraTrace as module
from lumetra.lumetraTrace import lumetraTrace

GAP = 1000.0  # intensity of the frames between partitions


def trace_of(segments):
    """A trace whose partitions (start, end) have intensities alternating mean - std, mean + std."""
    length = max((end for _, end, _, _ in segments), default=0)
    values = np.full(length, GAP)
    for start, end, mean, std in segments:
        values[start:end] = mean + std * (-1) ** np.arange(end - start)
    trace = lumetraTrace()
    trace.CH1mBGND1 = pd.Series(values)
    trace.partitions = [[start, end, k] for k, (start, end, _, _) in enumerate(segments)]
    return trace


@pytest.fixture(params=["numpy", "replaced numpy"])
def numpy_calls(request, monkeypatch):
    """Names looked up on the module's np when it is replaced by a recording wrapper, else None."""
    if request.param == "numpy":
        return None
    calls = []
    wrapper = types.ModuleType("numpy")
    wrapper.__getattr__ = lambda name: calls.append(name) or getattr(np, name)
    monkeypatch.setattr(module, "np", wrapper)
    return calls


@pytest.mark.parametrize(
    "segments, survivors",
    [
        # means 10, 10.5, 20, 20.2 with deviation 1: 1 joins 0, 3 joins 2
        (
            [(0, 100, 10, 1), (106, 200, 10.5, 1), (206, 300, 20, 1), (306, 400, 20.2, 1)],
            [[0, 200, 0], [206, 400, 2]],
        ),
        # a chain joins whole, although its ends lie 3 apart
        ([(0, 10, 0, 1.5), (10, 20, 1, 1.5), (20, 30, 2, 1.5), (30, 40, 3, 1.5)], [[0, 40, 0]]),
        # a difference equal to the larger deviation joins, whichever partition has it
        ([(0, 10, 1, 1), (12, 20, 2, 0)], [[0, 20, 0]]),
        ([(0, 10, 2, 0), (12, 20, 1, 1)], [[0, 20, 0]]),
        ([(0, 10, 1, 1), (12, 20, 2.001, 0)], [[0, 10, 0], [12, 20, 1]]),
        # an empty partition has NaN statistics: it joins nothing and nothing joins it
        ([(0, 10, 5, 1), (10, 10, 5, 1), (10, 20, 5, 1)], [[0, 10, 0], [10, 10, 1], [10, 20, 2]]),
        ([(0, 10, 5, 1)], [[0, 10, 0]]),
        ([], []),
    ],
)
def test_merge_edits_the_partition_list_in_place(numpy_calls, segments, survivors):
    trace = trace_of(segments)
    partitions, originals = trace.partitions, list(trace.partitions)
    assert trace.mergeNeighbours() is None
    assert trace.partitions is partitions
    assert partitions == survivors
    assert all(p is originals[p[2]] for p in partitions)
    if numpy_calls is not None:
        assert numpy_calls.count("mean") == numpy_calls.count("std") == len(segments)


def test_final_partitions_merge_again_on_a_second_call(numpy_calls):
    # the first merge joins two dark levels and the bright gap between them; the spread of the
    # joined partition then covers the next level
    trace = trace_of([(0, 20, 0, 0), (30, 50, 0, 0), (60, 80, 50, 0)])
    first = trace.finalPartitions()
    assert first is trace.partitions
    assert first == [[0, 50, 0], [60, 80, 2]]
    assert trace.means == [200.0, 50.0]
    assert all(type(m) is np.float64 for m in trace.means)
    means = trace.means
    assert trace.finalPartitions() is first == [[0, 80, 0]]
    assert trace.means == [262.5] and trace.means is not means
    first.clear()
    assert trace.partitions == []
    assert trace.finalPartitions() is first and trace.means == []
