"""The explorer object: parameters, construction, reactions and the results table."""

import datetime
import types

import numpy as np
import pandas as pd
import panel as pn
import pytest

SHORT = "two_level_short_noisy.txt"
DEFAULTS = {"halfWindowsLen": 9, "rratio": 0.177, "thrate": 0.2, "filterWidth": 0}


class FakeState:
    """Stands in for panel.state: records the task calls."""

    def __init__(self, cancel_error=None):
        self.scheduled = []
        self.cancelled = []
        self.cancel_error = cancel_error

    def schedule_task(self, name, callback, at=None):
        self.scheduled.append((name, callback, at))

    def cancel_task(self, name):
        self.cancelled.append(name)
        if self.cancel_error is not None:
            raise self.cancel_error


@pytest.fixture
def explorer(explorer_module, explorer_dir):
    explorer = explorer_module.fretExplorer(str(explorer_dir / SHORT))
    explorer.panel = types.SimpleNamespace(state=FakeState())
    return explorer


def build(explorer):
    tf = explorer.tf
    return explorer.plotSubPlots(tf.frames, tf.CH1mBGND1, explorer.title, 19)


def test_class_layout(explorer_module, explorer_dir):
    cls = explorer_module.fretExplorer
    assert cls.explorerDir == str(explorer_dir) + "/"
    assert type(cls.tf).__name__ == "lumetraTrace"
    own = [name for name in vars(cls) if not name.startswith("_") and name != "name"]
    assert own == [
        "explorerDir", "tf", "fileName", "halfWindowsLen", "rratio", "thrate", "filterWidth",
        "button", "plotMultiLevelFRET", "plotSubPlots", "updateTab", "reset_param",
        "reload_data", "plot",
    ]  # fmt: skip
    params = cls.param
    assert params["fileName"].path == str(explorer_dir) + "/*"
    assert sorted(params["fileName"].objects) == sorted(map(str, explorer_dir.glob("*")))
    for name, default in DEFAULTS.items():
        assert params[name].default == default
    assert [params[n].bounds for n in DEFAULTS] == [(5, 21), (-1, 3), (0, 1), (0, 21)]
    assert params["button"].label == "reset param"


def test_parameter_bounds_are_enforced(explorer):
    with pytest.raises(ValueError):
        explorer.halfWindowsLen = 22
    with pytest.raises(ValueError):
        explorer.thrate = -0.1
    explorer.rratio = -1  # inclusive
    assert explorer.rratio == -1


def test_a_fresh_explorer_has_an_empty_table(explorer, explorer_dir):
    path = str(explorer_dir / SHORT)
    assert (explorer.title, explorer.fileName, explorer.tf.fileName) == (path, path, path)
    assert explorer.sampleIdx == 0
    assert explorer.renderTab1taskDone is False
    assert list(explorer.stream_df.columns) == ["p0", "p1", "idx", "m2"]
    assert list(explorer.stream_df.dtypes.astype(str)) == ["int64", "int64", "int64", "float64"]
    assert explorer.stream_df.empty and explorer.stream_table.value.empty
    table = explorer.stream_table
    assert isinstance(table, pn.widgets.Tabulator)
    assert table.layout == "fit_columns" and table.height == 550
    assert table.sorters == [{"field": "idx", "dir": "desc"}, {"field": "index", "dir": "asc"}]
    assert table.groupby == ["idx"] and table.hidden_columns == ["index", "idx"]


def test_explorers_share_one_trace_object(explorer_module, explorer_dir):
    first = explorer_module.fretExplorer(str(explorer_dir / "two_level.txt"))
    second = explorer_module.fretExplorer(str(explorer_dir / "one_level.txt"))
    assert first.tf is second.tf is explorer_module.fretExplorer.tf
    assert first.tf.fileName == str(explorer_dir / "one_level.txt")
    assert len(first.tf.CH1mBGND1) == 1500


def test_plot_passes_the_odd_window_length(explorer, monkeypatch):
    calls = []

    def record(*args):
        calls.append(args)
        return {"data": [], "layout": {}}

    monkeypatch.setattr(explorer, "plotSubPlots", record)
    explorer.thrate = 0.4
    pane = explorer.plot()
    tf = explorer.tf
    (args,) = calls
    assert args[0] is tf.frames and args[1] is tf.CH1mBGND1
    assert args[2:] == (explorer.title, 19, 0.177, 0.4, 0)
    assert isinstance(pane, pn.pane.Plotly)
    assert pane.config == {"responsive": True}
    explorer.halfWindowsLen = 21
    explorer.plot()
    assert calls[-1][3] == 43


def test_a_shown_view_rebuilds_on_a_parameter_change(explorer):
    view = pn.panel(explorer.plot)
    built = explorer.sampleIdx
    assert built >= 1
    explorer.rratio = 0.5
    assert explorer.sampleIdx == built + 1
    assert view.object is not None


def test_first_build_schedules_the_task_and_later_builds_stream(explorer):
    state = explorer.panel.state
    before = datetime.datetime.now()
    build(explorer)
    ((name, callback, at),) = state.scheduled
    assert name == "renderTab1task"
    assert callback == explorer.updateTab
    assert (
        before + datetime.timedelta(seconds=3)
        <= at
        <= datetime.datetime.now() + (datetime.timedelta(seconds=3))
    )
    assert explorer.stream_table.value.empty
    build(explorer)  # before the task ran: scheduled again, the rows of build 2 replace build 1
    assert [s[0] for s in state.scheduled] == ["renderTab1task"] * 2

    explorer.updateTab()
    assert explorer.renderTab1taskDone is True
    assert state.cancelled == ["renderTab1task"]
    assert set(explorer.stream_table.value["idx"]) == {2}

    build(explorer)
    assert len(state.scheduled) == 2
    table = explorer.stream_table.value
    assert set(table["idx"]) == {2, 3}
    assert len(table) == 2 * len(explorer.stream_df)


def test_update_tab_without_a_task_says_so(explorer, capsys):
    explorer.panel.state.cancel_error = KeyError("renderTab1task")
    build(explorer)
    explorer.updateTab()
    assert capsys.readouterr().out == "Error: No such task\n"
    assert explorer.renderTab1taskDone is True
    assert len(explorer.stream_table.value) == len(explorer.stream_df) > 0


def test_update_tab_passes_other_errors_on(explorer):
    explorer.panel.state.cancel_error = RuntimeError("loop closed")
    with pytest.raises(RuntimeError, match="loop closed"):
        explorer.updateTab()
    assert explorer.renderTab1taskDone is True


def test_rows_of_a_build(explorer):
    tf = explorer.tf
    build(explorer)
    score = tf.fitTrajectory(9, 0.177, 0.2, 0)
    fitted = len(tf.partitions)
    tf.mergeNeighbours()
    assert len(tf.partitions) < fitted  # the fit's own spreads no longer line up
    rows = explorer.stream_df
    assert [list(r) for r in rows[["p0", "p1"]].itertuples(index=False)] == [
        p[:2] for p in tf.partitions
    ]
    assert list(rows["idx"]) == [1] * len(tf.partitions)
    assert list(rows.index) == list(range(len(tf.partitions)))
    # The spread of every partition as merged; the score, negated, in the last row.
    segments = [np.std(tf.CH1mBGND1.iloc[p[0] : p[1]]) for p in tf.partitions]
    np.testing.assert_allclose(rows["m2"].iloc[:-1], segments[:-1], rtol=1e-12)
    assert rows["m2"].iloc[-1] == -score
    build(explorer)
    assert set(explorer.stream_df["idx"]) == {2}


def test_reset_with_defaults_rebuilds_nothing_and_empties_the_table(explorer):
    changes = []
    explorer.param.watch(changes.append, list(DEFAULTS))
    build(explorer)
    explorer.updateTab()
    assert not explorer.stream_table.value.empty
    explorer.param.trigger("button")
    assert changes == []
    assert explorer.stream_table.value.empty
    assert list(explorer.stream_table.value.columns) == ["p0", "p1", "idx", "m2"]
    assert explorer.sampleIdx == 1 and not explorer.stream_df.empty


def test_reset_restores_a_changed_parameter_once(explorer):
    explorer.thrate = 0.7
    explorer.halfWindowsLen = 12
    changes = []
    explorer.param.watch(changes.append, list(DEFAULTS))
    explorer.param["button"].default(explorer)  # what pressing the button does
    assert sorted(c.name for c in changes) == ["halfWindowsLen", "thrate"]
    assert {name: getattr(explorer, name) for name in DEFAULTS} == DEFAULTS


def test_choosing_another_file_reloads_the_trace_before_the_rebuild(explorer, explorer_dir):
    other = str(explorer_dir / "three_level.txt")
    figures = []
    own = explorer.plotSubPlots

    def record(frames, CH1mBGND1, title, *args):
        figures.append((len(frames), own(frames, CH1mBGND1, title, *args)))
        return figures[-1][1]

    explorer.plotSubPlots = record
    pn.panel(explorer.plot)
    explorer.fileName = other
    assert explorer.title == other
    assert explorer.tf.fileName == other
    frames, fig = figures[-1]
    assert frames == 3000
    assert [a.text for a in fig.layout.annotations[:2]] == [other, other]


def test_a_bad_file_keeps_the_old_title(explorer, explorer_dir):
    broken = explorer_dir / "broken.txt"
    broken.write_text("time\tsignal\n0\t1\n")
    try:
        explorer.param["fileName"].objects = sorted(map(str, explorer_dir.glob("*")))
        title = explorer.title
        with pytest.raises(KeyError):
            explorer.fileName = str(broken)
        assert explorer.title == title
    finally:
        broken.unlink()


def test_even_window_length_fails_the_assertion(explorer):
    tf = explorer.tf
    with pytest.raises(AssertionError):
        explorer.plotSubPlots(tf.frames, tf.CH1mBGND1, "t", 18)
    assert explorer.sampleIdx == 0


def test_rows_are_the_same_whatever_number_types_the_partitions_hold(explorer, monkeypatch):
    tf = explorer.tf
    build(explorer)
    plain = explorer.stream_df
    partitions = [[np.int64(a), np.int64(b), s] for a, b, s in tf.partitions]
    monkeypatch.setattr(tf, "mergeNeighbours", lambda: setattr(tf, "partitions", partitions))
    explorer.sampleIdx = 0
    build(explorer)
    pd.testing.assert_frame_equal(explorer.stream_df, plain, check_index_type=True)
