"""The plotly figures of the results page: one trace with its idealised paths, the level
histogram with the states' Gaussians, the dwell-time histograms and the transition density
plot of a set of traces (lumetra.results.kinetics), and the batch model's dwell-time checks
(lumetra.results.dwells)."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

import numpy as np

from lumetra.batch.kinetics import dwell_figure
from lumetra.hmm.checks import dwell_figure as level_dwell_figure
from lumetra.hmm.plot import density_figure
from lumetra.results.dwells import DwellModel, model_level_paths
from lumetra.results.folder import ResultsFolder, TraceView
from lumetra.results.kinetics import Kinetics, dwell_times, level_histogram
from lumetra.screening import mask_ranges

if TYPE_CHECKING:
    import plotly.graph_objects as go

STEP_COLOUR = "#1f77b4"
MODEL_COLOUR = "#2ca02c"
CHANNEL_COLOURS = {"donor": "#2ca02c", "acceptor": "#d62728", "acceptor_direct": "#9467bd"}
MASKED_SHADE = {"fillcolor": "#7f7f7f", "opacity": 0.2, "line_width": 0, "layer": "below"}


def trace_figure(view: TraceView) -> go.Figure:
    """The signal with the step fit and the shared model's path over it, the frames the model
    did not read shaded grey; the source's donor and acceptor channels below when it had them,
    or above the plot why they are not shown."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    rows = 2 if view.channels else 1
    figure = make_subplots(rows=rows, cols=1, shared_xaxes=True, vertical_spacing=0.08)
    line = {"shape": "hv"}
    figure.add_trace(
        go.Scatter(x=view.time, y=view.signal, name="signal", line={"color": "#7f7f7f"}),
        row=1,
        col=1,
    )
    if view.step is not None:
        figure.add_trace(
            go.Scatter(
                x=view.time, y=view.step, name="step fit", line=line | {"color": STEP_COLOUR}
            ),
            row=1,
            col=1,
        )
    if view.model is not None:
        figure.add_trace(
            go.Scatter(
                x=view.time,
                y=view.model,
                name="shared model",
                line=line | {"color": MODEL_COLOUR, "dash": "dot"},
            ),
            row=1,
            col=1,
        )
    for name, values in view.channels.items():
        figure.add_trace(
            go.Scatter(
                x=view.time[: len(values)],
                y=values,
                name=name,
                line={"color": CHANNEL_COLOURS.get(name)},
            ),
            row=2,
            col=1,
        )
    shade_masked(figure, view)
    figure.update_yaxes(title_text="signal", row=1, col=1)
    if view.channels:
        figure.update_yaxes(title_text="intensity", row=2, col=1)
    figure.update_xaxes(title_text="time", row=rows, col=1)
    figure.update_layout(title=view.name, margin={"t": 50}, legend={"orientation": "h"})
    if view.source_error:
        figure.add_annotation(
            text=f"Source channels not shown: {html.escape(view.source_error)}",
            xref="paper",
            yref="paper",
            x=1,
            y=1,
            xanchor="right",
            yanchor="bottom",
            showarrow=False,
        )
    return figure


def shade_masked(figure: go.Figure, view: TraceView) -> None:
    """A grey band over each run of masked frames, from half a frame before its first to half a
    frame after its last, across every row."""
    if view.masked is None or not view.masked.any() or len(view.time) < 2:
        return
    half = float(np.median(np.diff(view.time))) / 2
    for first, end in mask_ranges(view.masked):
        x0, x1 = view.time[first] - half, view.time[end - 1] + half
        figure.add_vrect(x0=x0, x1=x1, row="all", col=1, **MASKED_SHADE)


def levels_figure(kinetics: Kinetics) -> go.Figure:
    import plotly.graph_objects as go

    histogram = level_histogram(kinetics)
    figure = go.Figure(
        go.Bar(
            x=histogram.centres,
            y=histogram.density,
            name="frames",
            marker={"color": "#1f77b4"},
            opacity=0.6,
        )
    )
    if histogram.gaussians:
        total = np.sum([curve for _, curve in histogram.gaussians], axis=0)
        figure.add_trace(
            go.Scatter(
                x=histogram.x,
                y=total,
                mode="lines",
                name="sum",
                line={"color": "black", "width": 1},
            )
        )
    for level, curve in histogram.gaussians:
        figure.add_trace(
            go.Scatter(
                x=histogram.x,
                y=curve,
                mode="lines",
                name=f"state at {level:.3g}",
                line={"dash": "dash", "width": 3},
            )
        )
    figure.update_layout(
        title=f"Levels: {len(kinetics.names)} traces",
        xaxis_title="signal",
        yaxis_title="probability density",
        bargap=0,
    )
    return figure


def dwells_figure(kinetics: Kinetics) -> go.Figure:
    dwells, table = dwell_times(kinetics)
    return dwell_figure(dwells, table, title=f"Dwell times: {len(kinetics.names)} traces")


def dwell_checks_figure(folder: ResultsFolder, model: DwellModel) -> go.Figure:
    """Per level, the dwells of the batch model's paths with the distributions they are
    checked against (lumetra.hmm.checks.dwell_figure)."""
    paths = model_level_paths(folder, model)
    title = f"Dwell times per level against the rate matrix: {len(paths)} traces"
    return level_dwell_figure(
        paths, model.rates, model.state_levels, model.frame_time, model.fret_levels, title
    )


def transitions_figure(kinetics: Kinetics) -> go.Figure:
    """The transition density plot, binned as transitionDensityPlot (FRET 0 to 1 in steps of
    0.1; bins placed by plotly for signals outside that range)."""
    paths = [p.levels for p in kinetics.paths]
    inside = all(p.size == 0 or (p.min() >= 0 and p.max() <= 1) for p in paths)
    bounds = {} if inside else {"fret0": 1, "fret1": 0}
    figure = density_figure(paths, pooled=True, **bounds)
    figure.update_layout(
        title=f"Transition density: {len(kinetics.names)} traces",
        xaxis_title="level before",
        yaxis_title="level after",
    )
    return figure
