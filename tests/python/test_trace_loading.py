import copy
import math
import pickle

import numpy as np
import pandas as pd
import pytest

from lumetra import lumetraTrace as module
from lumetra.lumetraTrace import lumetraTrace


def load(write_trace, intensity, **extra):
    columns = {"Frame/10": [i / 10 for i in range(len(intensity))], "CH1-BGND1": intensity}
    columns.update(extra)
    trace = lumetraTrace()
    trace.loadData(write_trace(columns))
    return trace


def test_module_top_level_names():
    import collections
    import copy as copy_module

    import lmfit

    from lumetra import dataStatsCalac

    assert module.dataStatsCalac is dataStatsCalac
    assert module.copy is copy_module
    assert module.np is np and module.pd is pd
    assert module.Minimizer is lmfit.Minimizer and module.Parameters is lmfit.Parameters
    assert module.collections is collections


def test_class_is_plain_with_shared_class_attributes():
    assert lumetraTrace.__bases__ == (object,)
    assert lumetraTrace.__module__ == "lumetra.lumetraTrace"
    trace, other = lumetraTrace(), lumetraTrace()
    assert vars(trace) == {}
    assert (trace.stateNum, trace.keepPairs, trace.dwellTime, trace.trimTails) == (1, None, {}, [])
    trace.trimTails.append(7)
    try:
        assert other.trimTails == [7]
        assert lumetraTrace.trimTails is other.trimTails
    finally:
        lumetraTrace.trimTails.clear()
    trace.stateNum = 2
    del trace.stateNum
    assert trace.stateNum == 1


def test_loaded_object_copies_and_pickles(write_trace):
    trace = load(write_trace, [1.0, 5.0, 2.0, 8.0])
    for clone in (copy.deepcopy(trace), pickle.loads(pickle.dumps(trace))):
        assert type(clone) is lumetraTrace
        pd.testing.assert_series_equal(clone.CH1mBGND1, trace.CH1mBGND1)
        assert clone.fileName == trace.fileName


def test_load_takes_the_two_columns_and_ignores_others(write_trace):
    trace = load(write_trace, [100.0, 101.0, 99.0, 100.0], Ideal=[1, 2, 3, 4])
    assert trace.loadData.__name__ == "loadData"
    assert isinstance(trace.frames, pd.Series) and trace.frames.name == "Frame/10"
    assert trace.CH1mBGND1.tolist() == [100.0, 101.0, 99.0, 100.0]
    assert trace.frames.tolist() == [0.0, 0.1, 0.2, 0.3]
    assert trace.fileName.endswith("trace.txt")
    assert trace.stateNum == 1


def test_load_by_keyword_and_missing_columns(write_trace):
    trace = lumetraTrace()
    path = write_trace({"Frame/10": [0, 1], "Other": [1, 2]})
    with pytest.raises(KeyError, match="CH1-BGND1"):
        trace.loadData(filename=path)
    assert trace.frames.tolist() == [0, 1]  # set before the failing lookup
    with pytest.raises(KeyError, match="Frame/10"):
        lumetraTrace().loadData(write_trace({"CH1-BGND1": [1, 2]}, name="b.txt"))
    with pytest.raises(FileNotFoundError):
        lumetraTrace().loadData("/nonexistent/trace.txt")
    with pytest.raises(TypeError):
        lumetraTrace().loadData()


@pytest.mark.parametrize(
    "intensity, expected",
    [
        # r = (max - mean) / (mean - min)
        ([9.0, 9.0, 9.0, 13.0], 1),  # r = 3 / 1 = 3 exactly: not above
        ([0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 8.0], 2),  # r = 7
        ([100.0, 233.0, 222.0, 222.0, 223.0], 1),  # r = 33 / 100 = 0.33 exactly: not below
        ([0.0, 33.0, 33.0, 33.0, 33.0, 33.0, 33.0, 33.0, 33.0, 33.0, 34.0], 2),  # r < 0.33
        ([10.0, 20.0, 30.0], 1),  # range 20 < 2 * mean 40
        ([0.0, 10.0, 20.0], 1),  # range 20 == 2 * mean 20: not above
        ([-5.0, -1.0, -3.0], 2),  # negative mean
        ([4.0, 4.0, 4.0], 1),  # constant: r is NaN, range 0 < 8
        ([-4.0, -4.0, -4.0], 2),  # constant below zero: 0 > -8
    ],
)
def test_level_guess_uses_strict_comparisons(write_trace, intensity, expected):
    with np.errstate(all="ignore"):
        assert load(write_trace, intensity).stateNum == expected


def test_nan_cells_are_left_out_of_the_guess_but_kept(write_trace):
    # with the empty cell read as 0 the range would be lopsided
    trace = load(write_trace, [10.0, None, 12.0, 11.0])
    assert math.isnan(trace.CH1mBGND1[1])
    assert len(trace.CH1mBGND1) == 4
    assert trace.stateNum == 1


def test_guess_is_made_afresh_for_each_trace(write_trace):
    trace = lumetraTrace()
    trace.loadData(write_trace({"Frame/10": [0, 1, 2, 3], "CH1-BGND1": [0.0, 0, 0, 80]}, "a.txt"))
    assert trace.stateNum == 2
    trace.loadData(write_trace({"Frame/10": [0, 1, 2], "CH1-BGND1": [10.0, 20, 30]}, "b.txt"))
    assert trace.stateNum == 1
    assert trace.fileName.endswith("b.txt")
