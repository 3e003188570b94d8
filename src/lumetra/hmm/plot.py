"""The transition density plot of the shared model's paths: a two-dimensional histogram of the
level left (horizontal) and the level entered (vertical) at every change of state, binned as
lumetraTrace.transitionDensityPlot bins."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING

import numpy as np

from lumetra.hmm.fit import HmmResult
from lumetra.stepfit import FloatArray

if TYPE_CHECKING:
    import plotly.graph_objects as go


def transitions(result: HmmResult) -> tuple[list[float], list[float]]:
    """The levels before and after every change of state of every path."""
    return path_transitions(result.path_levels)


def transition_pairs(paths: Iterable[FloatArray]) -> tuple[FloatArray, FloatArray]:
    """The levels before and after every change of level of every path (a level per frame),
    in path and frame order; a path at a time, so that only the changes are ever held."""
    before, after = [np.empty(0)], [np.empty(0)]
    for path in paths:
        levels = np.asarray(path, dtype=float)
        change = np.flatnonzero(levels[1:] != levels[:-1]) + 1
        before.append(levels[change - 1])
        after.append(levels[change])
    return np.concatenate(before), np.concatenate(after)


def path_transitions(paths: Iterable[FloatArray]) -> tuple[list[float], list[float]]:
    """transition_pairs as lists."""
    before, after = transition_pairs(paths)
    return before.tolist(), after.tolist()


def transition_density_figure(
    result: HmmResult,
    bin_size: float = 0.1,
    fig_size: int = 600,
    fret0: float = 0,
    fret1: float = 1,
    pooled: bool = False,
) -> go.Figure:
    """The square figure of the histogram; bins of width bin_size from fret0 to fret1 on both
    axes, or placed by plotly (only their width given) when fret0 >= fret1. pooled: as
    density_figure's, a point per pair of the model's levels rather than one per transition."""
    return density_figure(result.path_levels, bin_size, fig_size, fret0, fret1, pooled)


def density_figure(
    paths: Iterable[FloatArray],
    bin_size: float = 0.1,
    fig_size: int = 600,
    fret0: float = 0,
    fret1: float = 1,
    pooled: bool = False,
) -> go.Figure:
    """transition_density_figure of any idealised paths (a level per frame). pooled: each
    distinct (before, after) pair given once, its count as its weight, which plotly sums into
    the same bins: the same plot from a few points instead of one per transition."""
    import plotly.graph_objects as go

    before, after = transition_pairs(paths)
    bins = {"start": fret0, "end": fret1, "size": bin_size} if fret0 < fret1 else {"size": bin_size}
    weights: dict[str, object] = {}
    if pooled and before.size:
        pairs, counts = np.unique(before + 1j * after, return_counts=True)
        before, after = pairs.real, pairs.imag
        weights = {"z": counts.tolist(), "histfunc": "sum"}
    x, y = before.tolist(), after.tolist()
    histogram = go.Histogram2d(
        x=x, y=y, autobinx=False, xbins=dict(bins), autobiny=False, ybins=dict(bins), **weights
    )
    fig = go.Figure(histogram)
    fig.update_layout(autosize=False, width=fig_size, height=fig_size)
    return fig
