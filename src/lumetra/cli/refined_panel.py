"""The explorer page's optional panel: for the explorer's current file and parameters, the path
the batch's default fit makes of the trace (the fit scored by BIC, its levels and change points
refined by refineTransitions), drawn over the trace. It fits a trace object of its own, so the
explorer's figure and table are left as they are."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from lumetra.batchcore import PARAMETER_NAMES
from lumetra.stepfit import (
    FitRejected,
    Params,
    load_trace,
    normalise_params,
    refined_segments,
    step_fit,
)

if TYPE_CHECKING:
    import panel as pn
    import plotly.graph_objects as go

    from lumetra.lumetraTrace import lumetraTrace
    from lumetra.nsLumetraPlotly import fretExplorer

PANEL_HEIGHT = 380
# The explorer's parameters, in the order of the fit's (PARAMETER_NAMES).
PARAMETERS = ("halfWindowsLen", "rratio", "thrate", "filterWidth")
LABEL = "Show the refined path (BIC, refineTransitions): what lumetra fit makes of this trace"


def refined_figure(trace: lumetraTrace, params: Params) -> go.Figure:
    """The trace with its refined path; the title says why when the fit is rejected."""
    import plotly.graph_objects as go

    frames, values = np.asarray(trace.frames), np.asarray(trace.CH1mBGND1)
    figure = go.Figure(go.Scatter(x=frames, y=values, name="trace", line={"color": "#7f7f7f"}))
    try:
        score = step_fit(trace, params, "bic")
        starts, ends, levels = refined_segments(trace)
    except FitRejected as error:
        figure.update_layout(title=f"No refined path: {error}")
        return figure
    figure.add_trace(
        go.Scatter(
            x=frames,
            y=np.repeat(levels, ends - starts),
            name="refined path",
            line={"shape": "hv", "color": "#d62728"},
        )
    )
    figure.update_layout(
        title=f"Refined path: {len(starts) - 1} transitions, BIC {score:.1f}",
        margin={"t": 50},
    )
    return figure


class RefinedPanel:
    def __init__(self, explorer: fretExplorer) -> None:
        import panel as pn

        self.explorer = explorer
        self.show = pn.widgets.Checkbox(name=LABEL, value=False)
        self.trace: lumetraTrace | None = None
        self.file = ""
        watched = [explorer.param[name] for name in ("fileName", *PARAMETERS)]
        self.view = pn.bind(self.draw, self.show, *watched)
        self.layout = pn.Column(self.show, self.view, sizing_mode="stretch_width")

    def draw(self, show: bool, file: str, *values: Any) -> pn.viewable.Viewable:
        import panel as pn

        if not show:
            return pn.pane.Markdown("")
        try:
            if file != self.file or self.trace is None:
                self.trace, self.file = load_trace(file), file
            params = normalise_params(dict(zip(PARAMETER_NAMES, values)))
            figure = refined_figure(self.trace, params)
        except Exception as error:  # noqa: BLE001 (shown in the page; the server goes on)
            return pn.pane.Alert(f"**No refined path:** {type(error).__name__}: {error}")
        return pn.pane.Plotly(figure, sizing_mode="stretch_width", height=PANEL_HEIGHT)
