"""The explorer's two-row figure: every trace, span, line and level, and its sameness with the
figure plotly's one-call-per-item API builds."""

import types

import numpy as np
import pandas as pd
import pytest
from dashboard_reference import build_figure
from plotly import graph_objects as go
from plotly.subplots import make_subplots

N = 100
HALF = 9


class ScriptedTrace:
    """A trace object whose fit result is fixed, to reach every drawing rule."""

    def __init__(self):
        rng = np.random.default_rng(3)
        self.frames = pd.Series(np.arange(N) / 10)
        self.CH1mBGND1 = pd.Series(np.where(np.arange(N) < 50, 300.0, 800.0) + rng.normal(0, 9, N))

    def fitTrajectory(self, halfWinLen, rratio, thrate, filterWidth):
        assert halfWinLen == HALF
        positions = N - 2 * halfWinLen
        self.dataVar = [float(v) for v in np.linspace(1.0, 2.0, positions)]
        self.dataNS = [float(v) for v in np.linspace(0.0, 3.0, positions)]
        self.thresholdVar = 1.5
        self.thresholdNS = 2.5
        # A run from the first window, and one that ends past the last sample.
        self.pairs = [[0, 5, 0], [70, 95, 1]]
        self.newPairs = [[10, 20, 0], [30, 40, 1], [50, 60, 2]]
        self.integralDy = [[float(k) for k in range(10)] for _ in range(3)]
        # Passes the ratio test; has a ratio only; has none.
        self.thresholdBoolRR = [True, False, False]
        self.rr = [0.123456, 0.5, None]
        self.fr = [1.234567, 2.0, None]
        self.pairs3 = [[10, 20, 0], [80, 95, 1]]
        self.partitions = [[0, 19, 0], [29, 60, 1], [61, 100, 2]]
        return 123.25

    def mergeNeighbours(self):
        self.partitions[1:] = [[29, 100, 1]]


@pytest.fixture
def explorer(explorer_module, explorer_dir):
    explorer = explorer_module.fretExplorer(str(explorer_dir / "two_level_short_noisy.txt"))
    explorer.renderTab1taskDone = True
    return explorer


def scripted_figure(explorer):
    explorer.tf = ScriptedTrace()
    tf = explorer.tf
    return explorer.plotSubPlots(tf.frames, tf.CH1mBGND1, "scripted", 2 * HALF + 1), tf


def spans(fig):
    return [s for s in fig.layout.shapes if s.type == "rect"]


def test_scripted_fit_draws_every_rule(explorer):
    fig, tf = scripted_figure(explorer)
    frames = tf.frames
    raw = [s for s in spans(fig) if s.yref == "y3 domain" and s.opacity == 0.25][:2]
    assert (raw[0].x0, raw[0].x1) == (frames[0], frames[HALF + 5])  # from the first sample
    assert (raw[1].x0, raw[1].x1) == (frames[HALF + 70], frames[N - 1])  # clamped
    # Row 1 holds the passing candidate and the accepted ones; row 2 every candidate with a ratio.
    row1 = [(s.x0, s.opacity) for s in spans(fig) if s.yref == "y domain"]
    assert row1 == [(frames[19], 0.25), (frames[19], 0.5), (frames[89], 0.5)]
    row2 = [s.x0 for s in spans(fig) if s.yref == "y3 domain"][2:]
    assert row2 == [frames[19], frames[39]]
    accepted = [s for s in spans(fig) if s.opacity == 0.5]
    assert accepted[1].x1 == frames[N - 1]
    # Every candidate's integral is drawn, the one without a ratio too.
    integrals = [t for t in fig.data if t.name is None]
    assert [(t.xaxis, t.yaxis, len(t.x)) for t in integrals] == [("x", "y", 10)] * 3

    labels = [a.text for a in fig.layout.annotations[2:]]
    assert labels[:2] == ["[0]", "[1]"]
    assert labels[2:4] == ["thresholdVar", "mean"]
    assert labels[4:7] == ["1.2346:0.1235[0]1.0"] * 2 + ["2.0:0.5[1]1.0"]
    assert labels[7:] == ["[0]1.0", "[1]1.0"]


def test_thresholds_and_traces(explorer):
    fig, tf = scripted_figure(explorer)
    lines = {s.yref: s for s in fig.layout.shapes if s.xref == "x domain"}
    assert lines["y2"].name == "Mean NS" and lines["y2"].y0 == 2.5
    threshold, mean = [s for s in fig.layout.shapes if s.xref == "x domain" and s.yref == "y"]
    assert threshold.y0 == 1.5 and threshold.line.color == "green"
    assert mean.y0 == pytest.approx(1.5) and mean.line.dash == "dot"
    names = [(t.name, t.xaxis, t.yaxis, len(t.x)) for t in fig.data if t.name]
    assert names == [
        ("CH1mBGND1", "x2", "y4", N),
        ("var", "x2", "y3", N - 2 * HALF),
        ("NS", "x", "y2", N - 2 * HALF - 1),
    ]
    assert fig.layout.height == 950 and fig.layout.autosize is True
    assert [a.text for a in fig.layout.annotations[:2]] == ["scripted", "scripted"]


def test_levels_are_drawn_after_merging(explorer):
    fig, tf = scripted_figure(explorer)
    levels = [s for s in fig.layout.shapes if (s.name or "").startswith("mFRET")]
    assert [s.name for s in levels] == ["mFRET0"] * 3 + ["mFRET1"] * 3
    assert explorer.stream_df["p1"].tolist() == [19, 100]
    assert explorer.stream_df["m2"].iloc[-1] == -123.25


@pytest.mark.parametrize(
    "trace",
    [
        ("two_level_short_noisy.txt", (19, 0.177, 0.2, 0)),
        ("two_level_short_noisy.txt", (43, -0.5, 0.9, 0)),
        ("two_level.txt", (13, 0.3, 0.6, 2)),
        ("scripted", (19, 0.177, 0.2, 0)),
    ],
    ids=["defaults", "wide", "filtered", "scripted"],
)
def test_figure_is_the_one_built_call_by_call(explorer, explorer_dir, trace):
    name, args = trace
    if name == "scripted":
        fast_tf, slow_tf = ScriptedTrace(), ScriptedTrace()
    else:
        explorer.tf.loadData(str(explorer_dir / name))
        fast_tf = slow_tf = explorer.tf
    explorer.tf = fast_tf
    fast = explorer.plotSubPlots(fast_tf.frames, fast_tf.CH1mBGND1, name, *args)
    slow, _ = build_figure(slow_tf, slow_tf.frames, slow_tf.CH1mBGND1, name, *args)
    assert len(fast.layout.shapes) == len(slow.layout.shapes) > 6
    assert fast.to_dict() == slow.to_dict()


def test_levels_of_two_partitions(explorer_module, explorer):
    frames = pd.Series(np.arange(N) * 0.5)
    values = pd.Series(np.arange(N, dtype=float) ** 1.5)
    fig = make_subplots(rows=2, cols=1, specs=[[{"secondary_y": True}]] * 2)
    explorer.plotMultiLevelFRET(frames, values, [[0, 40, 0], [45, 100, 1]], fig)
    shapes = fig.layout.shapes
    assert [s.name for s in shapes] == ["mFRET0"] * 3 + ["mFRET1"] * 3
    assert {(s.xref, s.yref, s.type) for s in shapes} == {("x2", "y4", "line")}
    first, second = shapes[0], shapes[3]
    assert (first.x0, first.x1) == (0.0, 20.0) and (second.x0, second.x1) == (22.5, 49.5)
    assert first.y0 == first.y1 == pytest.approx(values[:40].mean())
    assert second.y0 == pytest.approx(values[45:99].mean())  # the last sample is left out
    assert shapes[1].y0 == pytest.approx(values[:40].mean() + values[:40].std(ddof=0))
    assert shapes[2].y0 == pytest.approx(values[:40].mean() - values[:40].std(ddof=0))
    assert (first.line.width, first.line.color) == (3, "yellow")
    assert {(s.line.color, s.line.width, s.line.dash) for s in shapes[1:3]} == {
        ("LightSeaGreen", 2, "dashdot")
    }


def test_level_drawing_edge_cases(explorer):
    frames = pd.Series(np.arange(10.0))
    fig = make_subplots(rows=2, cols=1, specs=[[{"secondary_y": True}]] * 2)
    before = fig.to_dict()
    assert explorer.plotMultiLevelFRET(frames, frames, [], fig) is None
    assert fig.to_dict() == before
    with pytest.raises(IndexError):
        explorer.plotMultiLevelFRET(frames, frames, [[0, 5]], fig)
    with pytest.raises(Exception, match="make_subplots"):
        explorer.plotMultiLevelFRET(frames, frames, [[0, 5, 0]], go.Figure())


def test_replaced_module_names_are_used(explorer_module, explorer, monkeypatch):
    made = []

    class CountingScatter(go.Scatter):
        def __init__(self, *args, **kwargs):
            made.append(kwargs.get("name"))
            super().__init__(*args, **kwargs)

    fake_np = types.SimpleNamespace(mean=lambda values: 7.0, std=np.std)
    monkeypatch.setattr(explorer_module, "go", types.SimpleNamespace(Scatter=CountingScatter))
    monkeypatch.setattr(explorer_module, "np", fake_np)
    fig, tf = scripted_figure(explorer)
    assert made == ["CH1mBGND1", "var", "NS", None, None, None]
    assert len(fig.data) == 6
    level = next(s for s in fig.layout.shapes if s.name == "mFRET0")
    assert level.y0 == 7.0


def test_an_own_level_drawing_is_called(explorer):
    calls = []
    explorer.plotMultiLevelFRET = lambda *args: calls.append(args)
    fig, tf = scripted_figure(explorer)
    ((frames, values, partitions, drawn_on),) = calls
    assert frames is tf.frames and values is tf.CH1mBGND1
    assert partitions is tf.partitions and drawn_on is fig
    assert not any((s.name or "").startswith("mFRET") for s in fig.layout.shapes)
