"""The explorer's figure built the slow way, one plotly call per trace, span, line and shape.

The dashboard builds the same figure with a few batched layout updates; the tests compare the two.
"""

import numpy as np
from plotly import graph_objects as go
from plotly.subplots import make_subplots


def span_style():
    # A new annotation dictionary for every span: plotly writes the label's position into it.
    return dict(
        annotation_textangle=90,
        annotation=dict(font_size=15, font_family="Times New Roman"),
        fillcolor="green",
        line_width=0,
    )


BAND = dict(color="LightSeaGreen", width=2, dash="dashdot")


def draw_levels(frames, CH1mBGND1, partitions, fig):
    for p in partitions:
        i0 = p[0]
        i1 = min(p[1], len(CH1mBGND1) - 1, len(frames) - 1)
        x0, x1 = frames[i0], frames[i1]
        y0 = np.mean(CH1mBGND1[i0:i1])
        std = np.std(CH1mBGND1[i0:i1])
        name = "mFRET" + str(p[2])
        common = dict(type="line", x0=x0, x1=x1, row=2, col=1, secondary_y=True, name=name)
        fig.add_shape(y0=y0, y1=y0, line_width=3, line_color="yellow", **common)
        fig.add_shape(y0=y0 + std, y1=y0 + std, line=BAND, **common)
        fig.add_shape(y0=y0 - std, y1=y0 - std, line=BAND, **common)


def candidate_text(tf, frames, inewp, p0, p1):
    return (
        str(round(tf.fr[inewp], 4))
        + ":"
        + str(round(tf.rr[inewp], 4))
        + "["
        + str(tf.newPairs[inewp][2])
        + "]"
        + str(round(frames[p1] - frames[p0], 3))
    )


def build_figure(tf, frames, CH1mBGND1, title, windowsLen, rratio, thrate, filterWidth):
    """Returns the figure and the fit score; leaves tf fitted and merged."""
    half = int((windowsLen - 1) / 2)
    fig = make_subplots(
        rows=2,
        cols=1,
        row_heights=[0.5, 0.5],
        subplot_titles=[title, title],
        specs=[[{"secondary_y": True}], [{"secondary_y": True}]],
    )
    ic = tf.fitTrajectory(half, rratio, thrate, filterWidth)
    fig.add_trace(
        go.Scatter(x=frames, y=CH1mBGND1, name="CH1mBGND1"), row=2, col=1, secondary_y=True
    )
    fig.add_trace(
        go.Scatter(x=frames[half:-half], y=tf.dataVar, name="var"),
        row=2,
        col=1,
        secondary_y=False,
    )
    for pair in tf.pairs:
        p0, p1 = half + pair[0], half + pair[1]
        if pair[0] == 0:
            p0 = 0
        if p1 > len(frames) - 1:
            p1 = len(frames) - 1
        fig.add_vrect(
            x0=frames[p0],
            x1=frames[p1],
            row=2,
            col=1,
            annotation_text="[" + str(pair[2]) + "]",
            annotation_position="top left",
            opacity=0.25,
            **span_style(),
        )
    # Drawn whatever else row 1 holds yet (plotly would skip them on a subplot with no trace).
    fig.add_hline(
        y=tf.thresholdVar,
        line_color="green",
        annotation_text="thresholdVar",
        annotation_position="bottom right",
        annotation_font_size=20,
        annotation_font_color="green",
        row=1,
        col=1,
        exclude_empty_subplots=False,
    )
    fig.add_hline(
        y=np.mean(tf.dataVar),
        line_dash="dot",
        line_color="yellow",
        annotation_text="mean",
        annotation_position="bottom right",
        annotation_font_size=20,
        annotation_font_color="yellow",
        row=1,
        col=1,
        exclude_empty_subplots=False,
    )
    fig.add_trace(
        go.Scatter(x=frames[half : -half - 1], y=tf.dataNS, name="NS"),
        row=1,
        col=1,
        secondary_y=True,
    )
    fig.add_hline(y=tf.thresholdNS, name="Mean NS", row=1, col=1, secondary_y=True)
    for inewp in range(len(tf.newPairs)):
        p0 = tf.newPairs[inewp][0] + half
        p1 = tf.newPairs[inewp][1] + half
        fig.add_trace(go.Scatter(x=frames[p0:p1], y=tf.integralDy[inewp]), row=1, col=1)
        if tf.thresholdBoolRR[inewp]:
            fig.add_vrect(
                x0=frames[p0],
                x1=frames[p1],
                row=1,
                col=1,
                annotation_text=candidate_text(tf, frames, inewp, p0, p1),
                annotation_position="top left",
                opacity=0.25,
                **span_style(),
            )
        if tf.rr[inewp] != None:  # noqa: E711 -- the interpreter's inequality test
            fig.add_vrect(
                x0=frames[p0],
                x1=frames[p1],
                row=2,
                col=1,
                annotation_text=candidate_text(tf, frames, inewp, p0, p1),
                annotation_position="bottom right",
                opacity=0.25,
                **span_style(),
            )
    for p in tf.pairs3:
        i0 = p[0] + half
        i1 = min(p[1] + half, len(frames) - 1)
        fig.add_vrect(
            x0=frames[i0],
            x1=frames[i1],
            row=1,
            col=1,
            annotation_text="[" + str(p[2]) + "]" + str(round(frames[i1] - frames[i0], 3)),
            annotation_position="top left",
            opacity=0.5,
            **span_style(),
        )
    tf.mergeNeighbours()
    draw_levels(frames, CH1mBGND1, tf.partitions, fig)
    fig.update_layout(height=950)
    fig.layout.autosize = True
    return fig, ic
