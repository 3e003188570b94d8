"""How results show themselves in a notebook: the `_repr_html_` of an HmmResult
(lumetra.kinetics.fit_hmm) and of a results folder (lumetra.results.load_folder).

Both show the model's tables (levels and spreads, rate constants with their intervals,
relaxation times, BIC of every candidate, the dwell checks) and one small figure: the states'
levels as Gaussians of their spreads, and the smallest BIC per number of FRET levels. A folder
adds its traces counted by status and class. The figure is an SVG drawn here: no script and no
network, so it shows offline, in exported HTML and on notebook viewers alike. Everything comes
from the tables the result holds, never from the traces' paths: a folder of 10^5 traces shows
at once.
"""

from __future__ import annotations

import html
import math
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

MAX_ROWS = 40  # rows of a table shown; the rest are counted
COLOURS = ("#636efa", "#ef553b", "#00cc96", "#ab63fa", "#ffa15a", "#19d3f3")  # by FRET level
PANEL = (250, 130)  # width and height of a panel's plot area, in pixels
MARGIN = (45, 18, 30)  # left, top, bottom
CURVE_POINTS = 80
STYLE = (
    "<style>.lumetra-summary table{margin:0 1.2em 0.8em 0;font-size:0.85em}"
    ".lumetra-summary .tables{display:flex;flex-wrap:wrap;align-items:flex-start}"
    ".lumetra-summary caption{font-weight:bold;text-align:left}</style>"
)
BIC_SHOWN = ["states", "states_per_level", "topology", "spreads", "parameters", "bic"]


def number(value: float) -> str:
    return f"{value:.4g}"


def table_html(frame: pd.DataFrame | None, caption: str) -> str:
    """The frame as an HTML table (its first MAX_ROWS rows), or nothing for None or empty."""
    if frame is None or frame.empty:
        return ""
    shown = frame.head(MAX_ROWS).to_html(
        index=False, border=0, float_format=number, na_rep="", escape=True
    )
    more = len(frame) - MAX_ROWS
    note = f"<p>... and {more} more rows</p>" if more > 0 else ""
    return shown.replace(">", f"><caption>{html.escape(caption)}</caption>", 1) + note


def summary_html(
    title: str, facts: Sequence[str], tables: str, figure: str, notes: Sequence[str]
) -> str:
    items = "".join(f"<li>{html.escape(note)}</li>" for note in notes)
    return (
        f'{STYLE}<div class="lumetra-summary"><h4>{html.escape(title)}</h4>'
        f"<p>{html.escape('; '.join(facts))}</p>{figure}"
        f'<div class="tables">{tables}</div>'
        + (f"<p>Notes:</p><ul>{items}</ul>" if items else "")
        + "</div>"
    )


def bic_shown(table: pd.DataFrame | None, scheme: str, topology: str) -> pd.DataFrame | None:
    """The candidates' main columns; `kept` marks the model's scheme (the smallest BIC of its
    rows: the one fitted on)."""
    if table is None:
        return None
    shown = table[[c for c in BIC_SHOWN if c in table]]
    if {"states_per_level", "topology", "bic"} - set(table):
        return shown
    same = (table["states_per_level"].astype(str) == scheme) & (table["topology"] == topology)
    kept = same & (table["bic"] == table["bic"].where(same).min())
    return shown.assign(kept=np.where(kept, "yes", ""))


def model_tables(
    levels: pd.DataFrame | None,
    rates: pd.DataFrame | None,
    relaxation: pd.DataFrame | None,
    bic: pd.DataFrame | None,
    checks: pd.DataFrame | None,
    scheme: tuple[str, str] = ("", ""),
) -> str:
    return "".join(
        [
            table_html(levels, "Levels and spreads"),
            table_html(rates, "Rate constants (95% intervals)"),
            table_html(relaxation, "Relaxation times"),
            table_html(bic_shown(bic, *scheme), "BIC of every candidate"),
            table_html(checks, "Dwell checks"),
        ]
    )


def result_html(result: Any) -> str:
    """An HmmResult's summary (typed loosely: the classes drawn here import this module)."""
    scheme = "+".join(map(str, result.states_per_level))
    facts = [
        f"{result.states} states on {len(result.fret_levels)} FRET levels "
        f"({scheme}, {result.topology} topology)",
        f"{len(result.names)} traces, {result.frames} frames of {number(result.frame_time)}",
        f"log-likelihood {number(result.log_likelihood)}"
        + ("" if result.converged else ", not converged"),
        f"bootstrap: {result.resamples} resamples, {result.bootstrap_method}",
    ]
    figure = figure_svg(result.level_table, result.bic, len(result.fret_levels))
    tables = model_tables(
        result.level_table,
        result.rate_table,
        result.relaxation_table,
        result.bic_table,
        result.dwell_checks,
        (scheme, result.topology),
    )
    return summary_html("Shared hidden Markov model", facts, tables, figure, result.notes)


def folder_html(folder: Any) -> str:
    """A ResultsFolder's summary."""
    manifest = folder.manifest
    statuses = folder.table["status"].value_counts()
    facts = [
        f"lumetra {manifest.get('lumetra', '?')}, started {manifest.get('started', '?')}",
        ", ".join(f"{count} {status}" for status, count in statuses.items()) or "no traces",
        "kinetics: "
        + ("the shared hidden Markov model" if "hmm" in manifest else "dwell times (--classic)"),
        f"seed {manifest['seed']}" if "seed" in manifest else "",
    ]
    model = folder.model
    figure = ""
    if model is not None and folder.levels is not None:
        per_k = {int(k): float(v) for k, v in model.get("bic", {}).items()}
        fret_levels = len(model.get("fret_levels", model["levels"]))
        figure = figure_svg(folder.levels, per_k, fret_levels)
    tables = table_html(folder.class_counts, "Traces by class") + model_tables(
        folder.levels,
        folder.kinetics,
        folder.relaxation_times,
        folder.bic,
        folder.dwell_checks,
        scheme_of(model),
    )
    notes = [str(n) for n in manifest.get("notes", [])]
    title = f"Results of lumetra fit: {folder.root}"
    return summary_html(title, [f for f in facts if f], tables, figure, notes)


def scheme_of(model: Mapping[str, Any] | None) -> tuple[str, str]:
    """The scheme hmm_model.json records, as the BIC table writes it (states per level, and
    the topology); a model of an earlier version: a state per level."""
    if model is None:
        return "", ""
    counts = model.get("states_per_level") or [1] * len(model.get("levels", []))
    return "+".join(str(n) for n in counts), str(model.get("topology", "full"))


def polyline(xs: npt.ArrayLike, ys: npt.ArrayLike, colour: str, dashed: bool = False) -> str:
    points = " ".join(f"{x:.1f},{y:.1f}" for x, y in zip(np.asarray(xs), np.asarray(ys)))
    dash = ' stroke-dasharray="4 3"' if dashed else ""
    return f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="1.5"{dash}/>'


def text(x: float, y: float, words: str, anchor: str = "middle") -> str:
    return f'<text x="{x:.1f}" y="{y:.1f}" text-anchor="{anchor}">{html.escape(words)}</text>'


class Panel:
    """A plot area at `left` of the figure, mapping data ranges onto it."""

    def __init__(self, left: float, xs: tuple[float, float], ys: tuple[float, float]) -> None:
        self.left, self.xs, self.ys = left + MARGIN[0], xs, ys

    def x(self, value: npt.ArrayLike) -> npt.NDArray[np.float64]:
        low, high = self.xs
        share = (np.asarray(value, dtype=float) - low) / ((high - low) or 1.0)
        return self.left + share * PANEL[0]

    def y(self, value: npt.ArrayLike) -> npt.NDArray[np.float64]:
        low, high = self.ys
        share = (np.asarray(value, dtype=float) - low) / ((high - low) or 1.0)
        return MARGIN[1] + (1 - share) * PANEL[1]

    def frame(self, title: str, x_ticks: Sequence[float], y_ticks: Sequence[float]) -> str:
        bottom, right = MARGIN[1] + PANEL[1], self.left + PANEL[0]
        parts = [
            f'<path d="M{self.left},{MARGIN[1]} V{bottom} H{right}" fill="none" stroke="#444"/>',
            text(self.left + PANEL[0] / 2, MARGIN[1] - 5, title),
        ]
        parts += [text(float(self.x(t)), bottom + 14, number(t)) for t in x_ticks]
        parts += [text(self.left - 4, float(self.y(t)) + 4, number(t), "end") for t in y_ticks]
        return "".join(parts)


def levels_panel(levels: pd.DataFrame, left: float) -> str:
    """Each state's Gaussian (of unit area) on the level axis, coloured by its FRET level."""
    shown = levels[np.isfinite(levels["level"]) & (levels["spread"] > 0)]
    if shown.empty:
        return ""
    low = float((shown["level"] - 4 * shown["spread"]).min())
    high = float((shown["level"] + 4 * shown["spread"]).max())
    xs = np.linspace(low, high, CURVE_POINTS)
    curves = [
        np.exp(-0.5 * ((xs - row.level) / row.spread) ** 2) / (row.spread * math.sqrt(2 * math.pi))
        for row in shown.itertuples()
    ]
    panel = Panel(left, (low, high), (0.0, max(float(c.max()) for c in curves)))
    seen: set[int] = set()
    lines = []
    for row, curve in zip(shown.itertuples(), curves):
        level = int(row.fret_level)
        lines.append(
            polyline(panel.x(xs), panel.y(curve), COLOURS[level % len(COLOURS)], level in seen)
        )
        seen.add(level)
    return panel.frame("levels and spreads", [low, (low + high) / 2, high], []) + "".join(lines)


def bic_panel(bic: Mapping[int, float], chosen: int, left: float) -> str:
    """The smallest BIC of each number of FRET levels, the chosen one marked."""
    ks = sorted(k for k, v in bic.items() if math.isfinite(v))
    if not ks:
        return ""
    values = [bic[k] for k in ks]
    panel = Panel(left, (ks[0] - 0.5, ks[-1] + 0.5), (min(values), max(values)))
    xs, ys = panel.x(ks), panel.y(values)
    marks = "".join(
        f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{5 if k == chosen else 3}" '
        f'fill="{COLOURS[0] if k == chosen else "#fff"}" stroke="{COLOURS[0]}"/>'
        for k, x, y in zip(ks, xs, ys)
    )
    ticks = sorted({min(values), max(values)})
    return panel.frame("BIC per K (FRET levels)", ks, ticks) + polyline(xs, ys, COLOURS[0]) + marks


def figure_svg(levels: pd.DataFrame, bic: Mapping[int, float], chosen: int) -> str:
    """The figure's two panels side by side, as inline SVG (nothing when neither can be drawn)."""
    width = MARGIN[0] + PANEL[0] + 20
    panels = levels_panel(levels, 0) + bic_panel(bic, chosen, width)
    if not panels:
        return ""
    height = MARGIN[1] + PANEL[1] + MARGIN[2]
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{2 * width}" height="{height}" '
        f'font-family="sans-serif" font-size="10" role="img">{panels}</svg>'
    )
