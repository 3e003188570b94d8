"""Checks of a kinetic model against the dwell times of its idealised paths. A FRET level may
hold several kinetic states, so the time spent on it is a sum of exponentials; per level, the
table says how far the dwells lie from the distribution the rate matrix Q implies, and whether
they are one exponential at all (mixtures of 1 to 3 geometric distributions, chosen by BIC).

    level_paths = [result.state_levels[path] for path in result.paths]
    table = dwell_checks(level_paths, result.rates, result.state_levels, result.frame_time)

Dwells are counted in frames; a path's first and last run (censored) are left out. The
distances are Cramér-von Mises omega^2 (lumetra.hmmcore.cramer_von_mises): about 0 for dwells
that follow the distribution, growing with the gap.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra import hmmcore
from lumetra.stepfit import FloatArray, IntArray

if TYPE_CHECKING:
    import plotly.graph_objects as go

COLUMNS = [
    "level",
    "dwells",
    "mean_dwell",
    "cvm",
    "exponentials",
    "single_exponential",
    "cvm_single",
]
FIGURE_BINS = 40  # histogram bins of a level's dwells, at most (one per frame when fewer)


@dataclass(frozen=True)
class LevelDwells:
    """The uncensored dwells on one level (frames) with the distributions they are checked
    against, each as Pr(D <= d) for d = 0..longest dwell."""

    level: int
    dwells: IntArray
    model_cdf: FloatArray  # the rate matrix's (NaN: the model never enters the level)
    mixtures: hmmcore._Mixtures | None  # None without a dwell

    def fit_cdf(self, components: int) -> FloatArray:
        """The distribution of the mixture of that many components."""
        assert self.mixtures is not None
        fit = self.mixtures["fits"][components - 1]
        return hmmcore.geometric_mixture_cdf(fit["weights"], fit["means"], self.longest)

    @property
    def longest(self) -> int:
        return int(self.dwells.max(initial=0))

    @property
    def chosen(self) -> int:
        """The number of components BIC picks (0 without a dwell)."""
        return 0 if self.mixtures is None else self.mixtures["chosen"] + 1


def uncensored_dwells(level_paths: Sequence[npt.ArrayLike]) -> dict[int, IntArray]:
    """The dwells (frames) of every level the paths visit, the first and last run of each path
    left out."""
    found: dict[int, list[IntArray]] = {}
    for path in level_paths:
        runs = hmmcore.level_dwells(np.asarray(path, dtype=np.int64))
        kept = ~runs["censored"]
        for level in np.unique(runs["level"][kept]):
            found.setdefault(int(level), []).append(runs["frames"][kept & (runs["level"] == level)])
    return {level: np.concatenate(parts) for level, parts in found.items()}


def level_checks(
    level_paths: Sequence[npt.ArrayLike],
    rates: npt.ArrayLike,
    state_levels: npt.ArrayLike,
    frame_time: float,
) -> list[LevelDwells]:
    """Every level of the model (those state_levels names, ascending) with its dwells and
    distributions; ValueError when rates is no rate matrix of len(state_levels) states or
    frame_time <= 0."""
    q = np.asarray(rates, dtype=float)
    owners = np.asarray(state_levels, dtype=np.int64)
    dwells = uncensored_dwells(level_paths)
    checks = []
    for level in np.unique(owners).tolist():
        observed = dwells.get(level, np.empty(0, dtype=np.int64))
        longest = int(observed.max(initial=0))
        cdf = hmmcore.level_dwell_cdf(q, owners, level, frame_time, longest)
        mixtures = hmmcore.geometric_mixtures(observed) if observed.size else None
        checks.append(LevelDwells(level, observed, cdf, mixtures))
    return checks


def dwell_checks(
    level_paths: Sequence[npt.ArrayLike],
    rates: npt.ArrayLike,
    state_levels: npt.ArrayLike,
    frame_time: float,
) -> pd.DataFrame:
    """One row per level (COLUMNS): its uncensored dwells, their mean (time units), their
    distance from the rate matrix's distribution (cvm), the number of exponentials BIC picks,
    whether that is one, and their distance from the best single exponential (cvm_single). A
    level without an uncensored dwell has NaN (NA) values."""
    rows = []
    for check in level_checks(level_paths, rates, state_levels, frame_time):
        row: dict[str, object] = {"level": check.level, "dwells": check.dwells.size}
        if check.dwells.size:
            row |= {
                "mean_dwell": float(check.dwells.mean()) * frame_time,
                "cvm": hmmcore.cramer_von_mises(check.dwells, check.model_cdf),
                "exponentials": check.chosen,
                "single_exponential": check.chosen == 1,
                "cvm_single": hmmcore.cramer_von_mises(check.dwells, check.fit_cdf(1)),
            }
        rows.append(row)
    table = pd.DataFrame(rows, columns=COLUMNS)
    return table.astype(
        {
            "level": int,
            "dwells": int,
            "mean_dwell": float,
            "cvm": float,
            "cvm_single": float,
            "exponentials": "Int64",
            "single_exponential": "boolean",
        }
    )


def dwell_figure(
    level_paths: Sequence[npt.ArrayLike],
    rates: npt.ArrayLike,
    state_levels: npt.ArrayLike,
    frame_time: float,
    fret_levels: Sequence[float] | None = None,
    title: str = "Dwell times per level",
) -> go.Figure:
    """Per level, the histogram of the idealised dwells (counts, log scale) with the counts the
    rate matrix, the best single exponential and the mixture BIC picks expect in each bin."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    checks = level_checks(level_paths, rates, state_levels, frame_time)
    fret = list(fret_levels or [])
    names = [
        f"level {c.level}" + (f" (FRET {fret[c.level]:.3g})" if c.level < len(fret) else "")
        for c in checks
    ]
    figure = make_subplots(rows=1, cols=max(1, len(checks)), subplot_titles=names or ["no level"])
    colours = {"rates": "#d62728", "single": "#7f7f7f", "mixture": "#2ca02c"}
    for column, check in enumerate(checks, start=1):
        figure.update_xaxes(title_text="dwell time", row=1, col=column)
        if not check.dwells.size:
            continue
        # Bin k holds the dwells of edges[k] + 1 .. edges[k + 1] frames.
        edges = np.unique(np.round(np.linspace(0, check.longest, FIGURE_BINS + 1))).astype(int)
        counts, _ = np.histogram(check.dwells, edges + 0.5)
        centres = (edges[:-1] + 1 + edges[1:]) / 2 * frame_time
        widths = np.diff(edges) * frame_time
        first = column == 1  # one legend entry per kind
        figure.add_trace(
            go.Bar(
                x=centres,
                y=counts,
                width=widths,
                name="dwells",
                marker_color="#1f77b4",
                opacity=0.6,
                showlegend=first,
            ),
            row=1,
            col=column,
        )
        curves = {"rates": check.model_cdf, "single": check.fit_cdf(1)}
        if check.chosen > 1:
            curves["mixture"] = check.fit_cdf(check.chosen)
        labels = {
            "rates": "rate matrix",
            "single": "single exponential",
            "mixture": f"{check.chosen} exponentials",
        }
        for kind, cdf in curves.items():
            expected = check.dwells.size * np.diff(cdf[edges])
            figure.add_trace(
                go.Scatter(
                    x=centres,
                    y=expected,
                    mode="lines+markers",
                    name=labels[kind],
                    line={"color": colours[kind], "dash": "dash" if kind == "single" else "solid"},
                    showlegend=kind == "mixture" or first,
                    legendgroup=labels[kind],
                ),
                row=1,
                col=column,
            )
    figure.update_yaxes(type="log", row=1, col=1, title_text="dwells")
    for column in range(2, len(checks) + 1):
        figure.update_yaxes(type="log", row=1, col=column)
    figure.update_layout(title=title, bargap=0)
    return figure
