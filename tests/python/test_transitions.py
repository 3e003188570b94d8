import collections
import io
import math

import numpy as np
import pandas as pd
import plotly.graph_objects as go
import pytest

from lumetra.lumetraTrace import lumetraTrace, transitionDensityPlot

TIMES = [0, 1, 2, 3, 4, 5]
STEPS = [0.2, 0.2, 0.8, 0.8, 0.8, 0.2]
nan = float("nan")


@pytest.fixture
def write_sheet(tmp_path):
    """Writes columns to a spreadsheet (header row, then one row per frame); returns its path."""

    def write(columns, name="ideal.xlsx"):
        path = tmp_path / name
        pd.DataFrame(columns).to_excel(path, index=False)
        return str(path)

    return write


@pytest.fixture(autouse=True)
def tails():
    """The class-level tail list, empty for the test and restored afterwards."""
    saved = list(lumetraTrace.trimTails)
    lumetraTrace.trimTails.clear()
    yield lumetraTrace.trimTails
    lumetraTrace.trimTails[:] = saved


def statistics(path, **kwargs):
    trace = lumetraTrace()
    assert trace.transitionStatistics(path, **kwargs) is None
    return trace


def dwell_items(trace):
    """The dwell-time dictionary as (key, values) pairs by key, NaN keys last as the text 'nan'."""
    items = sorted(trace.dwellTime.items(), key=lambda kv: (math.isnan(kv[0]), kv[0]))
    return [("nan" if math.isnan(k) else k, v) for k, v in items]


def test_worked_sheet_with_default_arguments(write_sheet, tails):
    trace = statistics(write_sheet({"time": TIMES, "Idl1": STEPS}))
    assert trace.mergeAllTrace is True
    assert trace.trans0 == [0.2, 0.8] and trace.trans1 == [0.8, 0.2]
    assert trace.dwellTime == {0.2: [2], 0.8: [3]}
    assert tails == [-1]
    # Levels and times are the cells pandas delivers; the object has a dictionary of its own.
    assert {type(v) for v in trace.trans0 + trace.trans1 + list(trace.dwellTime)} == {np.float64}
    assert {type(d) for values in trace.dwellTime.values() for d in values} == {np.int64}
    assert lumetraTrace.dwellTime == {}


def test_first_dwell_is_measured_from_time_zero(write_sheet):
    trace = statistics(write_sheet({"Time": [10.0, 10.5, 11.0, 11.5, 12.0, 12.5], "Idl1": STEPS}))
    assert trace.dwellTime == {0.2: [11.0], 0.8: [1.5]}
    assert type(trace.dwellTime[0.2][0]) is np.float64


@pytest.mark.parametrize("threshold", [0.5, 1, 1.0, 3])
def test_tail_from_frame_zero_leaves_nothing_to_scan(write_sheet, tails, threshold):
    # 0.5 is used as given; 1 and above stand for |lowest ideal value| = 0.2.
    trace = statistics(write_sheet({"time": TIMES, "Idl1": STEPS}), trimTailsThreshold=threshold)
    assert (trace.trans0, trace.trans1, trace.dwellTime) == ([], [], {})
    assert tails == [0]


def test_tail_trimming_with_the_lowest_ideal_value(write_sheet, tails):
    path = write_sheet({"time": [10, 11, 12, 13, 14, 15], "Idl": [0.8, 0.8, 0.5, 0.5, 0.1, 0.1]})
    trace = statistics(path, trimTailsThreshold=1)
    assert (trace.trans0, trace.trans1) == ([0.8], [0.5])
    assert trace.dwellTime == {0.8: [12]}
    assert tails == [4]
    # At or below a given threshold: the tail starts with the first 0.5, before the step into it.
    trace = statistics(path, trimTailsThreshold=0.5)
    assert (trace.trans0, trace.dwellTime) == ([], {})
    assert tails == [4, 2]
    # -1 in either spelling trims nothing.
    for off in (-1, -1.0):
        assert statistics(path, trimTailsThreshold=off).trans0 == [0.8, 0.5]
    assert tails == [4, 2, -1, -1]


def test_lowest_ideal_value_is_taken_over_the_whole_sheet(write_sheet, tails):
    path = write_sheet(
        {
            "time": TIMES,
            "Idl1": [0.8, 0.8, 0.5, 0.5, 0.6, 0.6],
            "Idl2": [-0.4, 0.9, 0.9, 0.6, 0.6, 0.6],
        }
    )
    # Threshold |-0.4|: the first trace (alone it would give 0.5) never reaches it, the second
    # starts below it.
    trace = statistics(path, trimTailsThreshold=1)
    assert tails == [-1, 0]
    assert (trace.trans0, trace.trans1) == ([0.8, 0.5], [0.5, 0.6])


def test_two_ideal_columns_per_trace_and_merged(write_sheet, tails):
    path = write_sheet({"time": TIMES, "Idl1": STEPS, "Idl2": [0.5, 0.2, 0.2, 0.2, 0.5, 0.5]})
    trace = statistics(path, mergeAll=False)
    assert trace.mergeAllTrace is False
    assert trace.trans0 == [[0.2, 0.8], [0.5, 0.2]]
    assert trace.trans1 == [[0.8, 0.2], [0.2, 0.5]]
    # Dwell times of one level are pooled over the traces, in order of occurrence.
    assert trace.dwellTime == {0.2: [2, 3], 0.8: [3], 0.5: [1]}
    assert tails == [-1, -1]

    merged = statistics(path, mergeAll=1)
    assert merged.mergeAllTrace == 1
    assert merged.trans0 == [0.2, 0.8, 0.5, 0.2] and merged.trans1 == [0.8, 0.2, 0.2, 0.5]
    assert merged.dwellTime == trace.dwellTime
    assert statistics(path, mergeAll=0).trans0 == trace.trans0


def test_column_names_match_case_insensitively(write_sheet, tails):
    path = write_sheet(
        {
            "TIME (s)": TIMES,
            "idl": STEPS,
            "IDL_2": [0.4, 0.4, 0.4, 0.4, 0.4, 0.6],
            "Donor": [0.3, 0.7, 0.7, 0.3, 0.3, 0.7],
            "Idl-3": [0.1, 0.1, 0.1, 0.9, 0.9, 0.9],
        }
    )
    trace = statistics(path)
    assert trace.trans0 == [0.2, 0.8, 0.4, 0.1] and trace.trans1 == [0.8, 0.2, 0.6, 0.9]
    assert tails == [-1, -1, -1]
    # tgtCol is matched the same way, anywhere in the name.
    trace = statistics(path, tgtCol="NOR")
    assert trace.trans0 == [0.3, 0.7, 0.3]
    assert trace.dwellTime == {0.3: [1, 2], 0.7: [2]}


def test_last_time_column_counts_and_a_column_may_be_both(write_sheet):
    path = write_sheet({"time": TIMES, "Idl1": STEPS, "Time2": [0, 10, 20, 30, 40, 50]})
    assert statistics(path).dwellTime == {0.2: [20], 0.8: [30]}
    # IdlTime is the time column and an ideal column at once.
    trace = statistics(write_sheet({"IdlTime": [0, 1, 1, 3]}, name="both.xlsx"))
    assert (trace.trans0, trace.trans1, trace.dwellTime) == ([0, 1], [1, 3], {0: [1], 1: [2]})
    assert {type(k) for k in trace.dwellTime} == {np.int64}


def test_sheet_without_ideal_columns(write_sheet, tails):
    trace = statistics(write_sheet({"time": TIMES, "Donor": STEPS}), trimTailsThreshold=1)
    assert (trace.trans0, trace.trans1, trace.dwellTime) == ([], [], {})
    assert tails == []


def test_nan_cells_are_unequal_to_everything(write_sheet, tails):
    path = write_sheet(
        {
            "time": TIMES,
            "Idl1": [0.2, nan, 0.2, 0.2, 0.8, 0.8],  # a gap
            "Idl2": [0.5, 0.5, 0.3, nan, nan, nan],  # a trace shorter than the sheet
        }
    )
    trace = statistics(path, mergeAll=False)
    first, second = trace.trans0
    assert first[0] == 0.2 and math.isnan(first[1]) and first[2] == 0.2
    assert math.isnan(trace.trans1[0][0]) and trace.trans1[0][1:] == [0.2, 0.8]
    assert second[:2] == [0.5, 0.3] and all(math.isnan(v) for v in second[2:])
    assert len(second) == 4 and all(math.isnan(v) for v in trace.trans1[1][1:])
    # Each NaN level left is a key of its own, since NaN never equals a key already there.
    assert dwell_items(trace) == [
        (0.2, [1, 2]),
        (0.3, [1]),
        (0.5, [2]),
        ("nan", [1]),
        ("nan", [1]),
        ("nan", [1]),
    ]
    assert tails == [-1, -1]


def test_nan_cells_never_start_a_tail(write_sheet, tails):
    path = write_sheet({"time": [1, 2, 3], "Idl": [nan, 0.8, 0.3]})
    trace = statistics(path, trimTailsThreshold=0.5)
    assert tails == [2]
    # Even frame 0 is a transition when it is NaN.
    assert all(math.isnan(v) for v in trace.trans0) and len(trace.trans0) == 2
    assert math.isnan(trace.trans1[0]) and trace.trans1[1] == 0.8
    assert dwell_items(trace) == [("nan", [1]), ("nan", [1])]
    # A leading NaN makes the trace's minimum NaN, which takes no part in the lowest value:
    # the threshold stays 1 and the tail starts at 0.8.
    statistics(path, trimTailsThreshold=1)
    assert tails == [2, 1]


def test_keywords_and_file_objects(write_sheet, tails):
    with open(write_sheet({"Time": TIMES, "fret": STEPS}), "rb") as f:
        sheet = io.BytesIO(f.read())
    trace = lumetraTrace()
    trace.transitionStatistics(xlsx=sheet, tgtCol="FRET", mergeAll=False, trimTailsThreshold=0.1)
    assert trace.trans0 == [[0.2, 0.8]] and tails == [-1]
    doc = lumetraTrace.transitionStatistics.__doc__
    assert "Make transition's statistics" in doc
    assert (
        "trimTailsThreshold float: When trimTailsThreshold=-1, we don't trim tails; when "
        "trimTailsThreshold=1 it trims tails with Threshold=abs(minidl)"
    ) in doc


def test_every_call_starts_afresh_but_the_tail_list_is_shared(write_sheet, tails):
    path = write_sheet({"time": TIMES, "Idl1": STEPS})
    trace, other = lumetraTrace(), lumetraTrace()
    trace.transitionStatistics(path, mergeAll=False)
    first = trace.dwellTime
    trace.transitionStatistics(path)
    assert trace.dwellTime is not first and trace.dwellTime == {0.2: [2], 0.8: [3]}
    assert trace.trans0 == [0.2, 0.8]
    other.transitionStatistics(path, trimTailsThreshold=0.5)
    assert tails == [-1, -1, 0] and other.trimTails is tails
    # An object's own list, where it has one, receives the entries instead.
    other.trimTails = []
    other.transitionStatistics(path)
    assert other.trimTails == [-1] and tails == [-1, -1, 0]


def test_dwell_time_dict_is_ordered_by_level(write_sheet):
    assert lumetraTrace().getDwellTimeDict() == collections.OrderedDict()
    trace = statistics(write_sheet({"time": TIMES, "Idl": [0.8, 0.8, 0.2, 0.5, 0.5, 0.8]}))
    assert list(trace.dwellTime) == [0.8, 0.2, 0.5]
    ordered = trace.getDwellTimeDict()
    assert type(ordered) is collections.OrderedDict
    assert list(ordered.items()) == [(0.2, [1]), (0.5, [2]), (0.8, [2])]
    assert all(ordered[k] is trace.dwellTime[k] for k in ordered)
    assert trace.getDwellTimeDict() is not ordered


def test_failures_propagate(write_sheet, tails, tmp_path):
    trace = statistics(write_sheet({"time": TIMES, "Idl1": STEPS}))
    kept = trace.dwellTime
    # Without a time column: the statistics lists are already new, the dwell times are not.
    with pytest.raises(TypeError):
        trace.transitionStatistics(write_sheet({"Idl1": STEPS}, name="no_time.xlsx"), mergeAll=0)
    assert (trace.mergeAllTrace, trace.trans0, trace.trans1) == (0, [], [])
    assert trace.dwellTime is kept
    with pytest.raises(ValueError):
        statistics(write_sheet({"time": [], "Idl1": []}, name="empty.xlsx"))
    with pytest.raises(TypeError):
        statistics(write_sheet({"time": [0, 1], "Idl1": [0.2, "high"]}, name="text.xlsx"))
    with pytest.raises(AttributeError):
        statistics(write_sheet({"time": [0, 1], 5: [0.2, 0.8]}, name="number.xlsx"))
    with pytest.raises(TypeError):
        statistics(write_sheet({"time": [0, 1], "Idl": [0.2, 0.8]}), trimTailsThreshold="0.5")
    with pytest.raises(FileNotFoundError):
        statistics(str(tmp_path / "missing.xlsx"))
    assert tails == [-1]


@pytest.fixture
def shown(monkeypatch):
    """The figures transitionDensityPlot hands to plotly's display, which stays closed."""
    figures = []
    monkeypatch.setattr(go.Figure, "show", lambda fig, *a, **k: figures.append(fig))
    return figures


@pytest.fixture
def two_traces(write_sheet):
    return write_sheet({"time": TIMES, "Idl1": STEPS, "Idl2": [0.5, 0.2, 0.2, 0.2, 0.5, 0.5]})


def only_histogram(figures):
    assert len(figures) == 1
    (histogram,) = figures[0].data
    assert isinstance(histogram, go.Histogram2d)
    return histogram


def test_density_plot_with_default_arguments(two_traces, shown):
    trace = statistics(two_traces)
    assert transitionDensityPlot(trace) is None
    histogram = only_histogram(shown)
    assert list(histogram.x) == [0.2, 0.8, 0.5, 0.2] and list(histogram.y) == [0.8, 0.2, 0.2, 0.5]
    assert histogram.autobinx is False and histogram.autobiny is False
    for bins in (histogram.xbins, histogram.ybins):
        assert (bins.start, bins.end, bins.size) == (0, 1, 0.1)
    layout = shown[0].layout
    assert (layout.autosize, layout.width, layout.height) == (False, 600, 600)


@pytest.mark.parametrize("fret0, fret1", [(1, 0), (0.5, 0.5)])
def test_density_plot_without_a_range_lets_plotly_place_the_bins(two_traces, shown, fret0, fret1):
    transitionDensityPlot(statistics(two_traces), 0.25, 400, 0, fret0, fret1)
    histogram = only_histogram(shown)
    for bins in (histogram.xbins, histogram.ybins):
        assert (bins.start, bins.end, bins.size) == (None, None, 0.25)
    assert (shown[0].layout.width, shown[0].layout.height) == (400, 400)


def test_density_plot_index_picks_a_trace_only_when_kept_per_trace(two_traces, shown):
    merged = statistics(two_traces)
    transitionDensityPlot(merged, i=7)
    assert list(only_histogram(shown).x) == [0.2, 0.8, 0.5, 0.2]

    shown.clear()
    per_trace = statistics(two_traces, mergeAll=False)
    transitionDensityPlot(
        lumetraObj=per_trace, binSize=0.05, figSize=300, i=1, fret0=0.1, fret1=0.9
    )
    histogram = only_histogram(shown)
    assert list(histogram.x) == [0.5, 0.2] and list(histogram.y) == [0.2, 0.5]
    assert (histogram.xbins.start, histogram.xbins.end, histogram.xbins.size) == (0.1, 0.9, 0.05)
    assert shown[0].layout.width == 300

    shown.clear()
    with pytest.raises(IndexError):
        transitionDensityPlot(per_trace, i=2)
    with pytest.raises(AttributeError):
        transitionDensityPlot(lumetraTrace())
    assert shown == []
