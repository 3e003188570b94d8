"""Rate constants from the dwell times of idealised traces.

    from lumetra.kinetics import dwell_kinetics, plot_dwell_times

    table, dwells = dwell_kinetics([(time, levels), ...])   # one pair of arrays per trace
    plot_dwell_times(dwells, table, "dwell_times.html")

A trace is its time axis and its idealised level per frame (the 'Idl' columns of the
spreadsheet that `lumetra fit` writes, or any step trace). A dwell is a run of one level with a
transition at both ends; the first and last run of each trace are cut by the recording and are
left out. Dwells of one level are pooled over all traces. Rates are in 1 / (unit of the time
axis), so in s^-1 for times in seconds.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra import batchcore
from lumetra.atomic import PathArg, atomic_write

if TYPE_CHECKING:
    import plotly.graph_objects as go

FloatArray = npt.NDArray[np.float64]
# Dwell times by level, levels ascending.
Dwells = dict[float, FloatArray]
# A trace: its time axis and its idealised level per frame.
Trace = tuple["npt.ArrayLike", "npt.ArrayLike"]


class DwellPool:
    """Dwell times by level, pooled as traces are added one at a time."""

    def __init__(self) -> None:
        self._pooled: dict[float, list[FloatArray]] = {}

    def add(self, time: npt.ArrayLike, levels: npt.ArrayLike) -> None:
        level, duration = batchcore.complete_dwells(
            np.asarray(levels, dtype=float), np.asarray(time, dtype=float)
        )
        for value in np.unique(level):
            self._pooled.setdefault(float(value), []).append(duration[level == value])

    def dwells(self) -> Dwells:
        return {level: np.concatenate(parts) for level, parts in sorted(self._pooled.items())}


def collect_dwells(traces: Iterable[Trace]) -> Dwells:
    """Dwell times by level: {level: array of durations}, levels ascending."""
    pool = DwellPool()
    for time, levels in traces:
        pool.add(time, levels)
    return pool.dwells()


def fit_rates(
    dwells: Mapping[float, FloatArray],
    double: bool = False,
    shortest: float = 0.0,
    confidence: float = 0.95,
) -> pd.DataFrame:
    """One row per level: the single-exponential rate by maximum likelihood with its exact
    confidence interval and, with `double`, a two-exponential mixture. Dwells shorter than
    `shortest` are left out and the rest shifted by it (dead time of the detection)."""
    rows: list[dict[str, Any]] = []
    for level, durations in dwells.items():
        row: dict[str, Any] = {
            "level": level,
            "dwells": len(durations),
            "mean_dwell": float(np.mean(durations)),
        }
        try:
            single = batchcore.fit_single_exponential(durations, shortest, confidence)
            row |= {
                "fitted_dwells": single["count"],
                "rate": single["rate"],
                "rate_lower": single["lower"],
                "rate_upper": single["upper"],
            }
        except ValueError as error:
            row["note"] = str(error)
        if double:
            try:
                mixture = batchcore.fit_double_exponential(durations, shortest, confidence)
                row |= {
                    "fraction_fast": mixture["fraction"],
                    "fraction_fast_lower": mixture["fraction_lower"],
                    "fraction_fast_upper": mixture["fraction_upper"],
                }
                for name in ("fast", "slow"):
                    part = mixture[name]
                    row |= {
                        f"{name}_rate": part["rate"],
                        f"{name}_rate_lower": part["lower"],
                        f"{name}_rate_upper": part["upper"],
                    }
            except ValueError as error:
                row["note"] = str(error)
        rows.append(row)
    columns = ["level", "dwells", "mean_dwell", "fitted_dwells", "rate", "rate_lower", "rate_upper"]
    if double:
        columns += ["fraction_fast", "fraction_fast_lower", "fraction_fast_upper"]
        columns += [f"{n}_rate{end}" for n in ("fast", "slow") for end in ("", "_lower", "_upper")]
    table = pd.DataFrame(rows, columns=[*columns, "note"])
    table["note"] = table["note"].astype(object).fillna("")
    return table


def dwell_kinetics(
    traces: Iterable[Trace], double: bool = False, shortest: float = 0.0, confidence: float = 0.95
) -> tuple[pd.DataFrame, Dwells]:
    """(rate table, dwells by level) of a set of (time, levels) traces."""
    dwells = collect_dwells(traces)
    return fit_rates(dwells, double, shortest, confidence), dwells


def dwell_figure(
    dwells: Mapping[float, FloatArray],
    table: pd.DataFrame,
    shortest: float = 0.0,
    title: str = "Dwell times",
) -> go.Figure:
    """Histograms of the dwell times of each level (probability density) with the fitted
    single exponential over them, and the mixture where the table has one."""
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    levels = list(dwells)
    rows: dict[Any, Any] = {row.level: row for row in table.itertuples()}
    figure = make_subplots(
        rows=1,
        cols=max(1, len(levels)),
        subplot_titles=[f"level {level:.4g}" for level in levels] or ["no dwells"],
    )
    for column, level in enumerate(levels, start=1):
        durations = dwells[level]
        row = rows[level]
        figure.add_trace(
            go.Histogram(
                x=durations, histnorm="probability density", name=f"dwells at {level:.4g}"
            ),
            row=1,
            col=column,
        )
        t = np.linspace(shortest, max(float(np.max(durations)), shortest), 200)
        rate = getattr(row, "rate", np.nan)
        if np.isfinite(rate):
            figure.add_trace(
                go.Scatter(
                    x=t,
                    y=rate * np.exp(-rate * (t - shortest)),
                    mode="lines",
                    name=f"k = {rate:.3g} [{row.rate_lower:.3g}, {row.rate_upper:.3g}]",
                ),
                row=1,
                col=column,
            )
        fast = getattr(row, "fast_rate", np.nan)
        if np.isfinite(fast):
            a, slow = row.fraction_fast, row.slow_rate
            density = a * fast * np.exp(-fast * (t - shortest))
            density += (1 - a) * slow * np.exp(-slow * (t - shortest))
            figure.add_trace(
                go.Scatter(
                    x=t,
                    y=density,
                    mode="lines",
                    line={"dash": "dash"},
                    name=f"{a:.2f} x {fast:.3g} + {1 - a:.2f} x {slow:.3g}",
                ),
                row=1,
                col=column,
            )
        figure.update_xaxes(title_text="dwell time", row=1, col=column)
    figure.update_yaxes(title_text="probability density", row=1, col=1)
    figure.update_layout(title=title, bargap=0.05)
    return figure


def plot_dwell_times(
    dwells: Mapping[float, FloatArray],
    table: pd.DataFrame,
    path: PathArg,
    shortest: float = 0.0,
    title: str = "Dwell times",
) -> Path:
    """Writes dwell_figure(...) as a self-contained HTML page to `path`, atomically."""
    figure = dwell_figure(dwells, table, shortest, title)
    return atomic_write(
        path, lambda tmp: figure.write_html(tmp, include_plotlyjs=True, div_id=Path(path).stem)
    )
