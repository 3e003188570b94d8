"""The transition density plot of the shared model's paths: a two-dimensional histogram of the
level left (horizontal) and the level entered (vertical) at every change of state, binned as
lumetraTrace.transitionDensityPlot bins."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from lumetra.hmm.fit import HmmResult

if TYPE_CHECKING:
    import plotly.graph_objects as go


def transitions(result: HmmResult) -> tuple[list[float], list[float]]:
    """The levels before and after every change of state of every path."""
    before: list[float] = []
    after: list[float] = []
    for levels in result.path_levels:
        change = np.flatnonzero(np.diff(levels) != 0) + 1
        before.extend(levels[change - 1].tolist())
        after.extend(levels[change].tolist())
    return before, after


def transition_density_figure(
    result: HmmResult,
    bin_size: float = 0.1,
    fig_size: int = 600,
    fret0: float = 0,
    fret1: float = 1,
) -> go.Figure:
    """The square figure of the histogram; bins of width bin_size from fret0 to fret1 on both
    axes, or placed by plotly (only their width given) when fret0 >= fret1."""
    import plotly.graph_objects as go

    x, y = transitions(result)
    bins = {"start": fret0, "end": fret1, "size": bin_size} if fret0 < fret1 else {"size": bin_size}
    histogram = go.Histogram2d(
        x=x, y=y, autobinx=False, xbins=dict(bins), autobiny=False, ybins=dict(bins)
    )
    fig = go.Figure(histogram)
    fig.update_layout(autosize=False, width=fig_size, height=fig_size)
    return fig
