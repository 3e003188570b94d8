"""The results page of `lumetra explore --results DIR`: every trace of a batch in a sortable,
filterable table with its class and whether it is usable, ticked traces taken in or left out
(lumetra.cli.results_screening); the chosen trace with its idealised paths and masked frames;
the transition density plot, level and dwell-time histograms, rates and BIC per K of the batch,
or of the usable traces of a selection, fitted again in place; the batch's report to download
(lumetra.results.report). The folder is read once
(lumetra.results.folder); each browser session gets its own page and selection. A chosen
trace's files are read in an executor thread, so the event loop goes on serving every session
meanwhile."""

from __future__ import annotations

import asyncio
import html
import io
import traceback
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

import pandas as pd

from lumetra.cli.results_screening import ScreeningControls
from lumetra.progress import silenced
from lumetra.results.dwells import dwell_model
from lumetra.results.figures import (
    dwell_checks_figure,
    dwells_figure,
    levels_figure,
    trace_figure,
    transitions_figure,
)
from lumetra.results.folder import ResultsFolder, trace_view
from lumetra.results.kinetics import (
    Kinetics,
    batch_kinetics,
    bic_table,
    selected_segments,
    selection_kinetics,
)
from lumetra.results.model_notes import check_summary, convergence_warning
from lumetra.results.report import REPORT, build_report

if TYPE_CHECKING:
    import panel as pn

Result = TypeVar("Result")

TABLE_WIDTH = 640
PAGE_SIZE = 15
FIGURE_HEIGHT = 420


class SafeFigure:
    """A figure pane that shows the error in its place when its figure cannot be drawn."""

    def __init__(self, **size: Any) -> None:
        import panel as pn

        self.pane = pn.pane.Plotly(None, **size)
        self.error = pn.pane.Alert("", alert_type="danger", visible=False)
        self.layout = pn.Column(self.error, self.pane, **size)
        self.requests = 0  # figures asked of draw_in_thread, the last one shown

    def draw(self, build: Callable[[], Any]) -> None:
        self.show(attempt(build))

    async def draw_in_thread(self, build: Callable[[], Any]) -> None:
        """Builds the figure in an executor thread; one asked for meanwhile supersedes it."""
        self.requests += 1
        request = self.requests
        outcome = await asyncio.get_running_loop().run_in_executor(None, attempt, build)
        if request == self.requests:
            self.show(outcome)

    def show(self, outcome: Any) -> None:
        if isinstance(outcome, Exception):
            self.show_error(f"{type(outcome).__name__}: {outcome}")
        else:
            self.pane.object = outcome
            self.error.visible = False

    def show_error(self, message: str) -> None:
        # Escaped: the message names files and traces as the folder spells them.
        self.error.object = f"**This figure could not be drawn:** {html.escape(message)}"
        self.error.visible = True


def attempt(build: Callable[[], Any]) -> Any:
    """The figure, or the exception that kept it from being built (its traceback printed)."""
    try:
        return build()
    except Exception as error:  # noqa: BLE001 (shown in the page; the server goes on)
        traceback.print_exc()
        return error


def frame_table(frame: pd.DataFrame, **options: Any) -> pn.widgets.Tabulator:
    import panel as pn

    return pn.widgets.Tabulator(frame, disabled=True, show_index=False, **options)


class ResultsPage:
    def __init__(self, folder: ResultsFolder) -> None:
        import panel as pn

        self.folder = folder
        self.kinetics = batch_kinetics(folder)
        self.table = frame_table(
            folder.table,
            selectable="checkbox",
            header_filters=True,
            pagination="local",
            page_size=PAGE_SIZE,
            width=TABLE_WIDTH,
            layout="fit_data_table",
            formatters={"usable": {"type": "tickCross", "allowEmpty": True}},
        )
        self.screening = ScreeningControls(folder, self.table)
        self.table.on_click(self.choose)
        self.trace = SafeFigure(sizing_mode="stretch_width", height=FIGURE_HEIGHT)
        self.density = SafeFigure(width=620, height=620)
        self.levels = SafeFigure(sizing_mode="stretch_width", height=FIGURE_HEIGHT)
        self.dwells = SafeFigure(sizing_mode="stretch_width", height=FIGURE_HEIGHT)
        self.rates = frame_table(self.kinetics.rates, width=TABLE_WIDTH)
        self.dwell_checks = self.batch_dwell_checks()
        self.bic = frame_table(bic_table(self.kinetics), width=300)
        self.rerun = pn.widgets.Button(
            name="Fit the kinetics of the selection", button_type="primary"
        )
        self.rerun.on_click(self.fit_selection)
        self.whole = pn.widgets.Button(name="Whole batch")
        self.whole.on_click(lambda _: self.show(batch_kinetics(folder), "the whole batch"))
        self.progress = pn.indicators.Progress(active=False, visible=False, width=200)
        self.status = pn.pane.Markdown("Showing the whole batch.")
        self.downloads = pn.Row(
            pn.widgets.FileDownload(
                callback=self.segments_csv, filename="segments_selection.csv", label="Segments CSV"
            ),
            pn.widgets.FileDownload(
                callback=self.rates_csv, filename="rates_selection.csv", label="Rates CSV"
            ),
            pn.widgets.FileDownload(
                callback=self.report_file, filename=REPORT, label="Download report"
            ),
        )
        self.draw_batch_figures()
        # The first trace shown: the first usable one, else the first fitted.
        fitted = folder.table["status"] == "fitted"
        usable = fitted & folder.table["usable"].astype(bool)
        first = folder.table.index[usable if usable.any() else fitted]
        if len(first):
            self.show_trace(str(folder.table.at[first[0], "name"]))

    def layout(self) -> pn.Column:
        import panel as pn

        counts = self.folder.table["status"].value_counts()
        summary = ", ".join(f"{counts[s]} {s}" for s in counts.index)
        hint = (
            "Click a row to show its trace (grey: frames the model does not read); tick rows (or "
            "filter the table) and fit the kinetics of the usable traces of that selection, or "
            "take ticked traces in or leave them out and save that for the next batch."
        )
        warning = convergence_warning(self.folder.model)
        return pn.Column(
            pn.pane.Markdown(f"## lumetra results: {self.folder.root}\n{summary}. {hint}"),
            *([pn.pane.Alert(warning, alert_type="warning")] if warning else []),
            pn.Row(
                pn.Column(
                    self.screening.layout(),
                    self.table,
                    pn.Row(self.rerun, self.whole),
                    pn.Row(self.progress, self.status),
                    self.downloads,
                    width=TABLE_WIDTH + 20,
                ),
                self.trace.layout,
                sizing_mode="stretch_width",
            ),
            pn.Row(self.density.layout, self.levels.layout, sizing_mode="stretch_width"),
            self.dwells.layout,
            *self.dwell_checks,
            pn.Row(
                pn.Column("### Rate constants (95% intervals)", self.rates),
                pn.Column("### K and BIC", self.bic),
            ),
            sizing_mode="stretch_width",
        )

    def batch_dwell_checks(self) -> list[Any]:
        """The batch model's dwell-time checks (dwell_checks.csv) and, when its model has the
        rates per kinetic state, their figure; nothing for a folder without them."""
        import panel as pn

        checks = self.folder.dwell_checks
        if checks is None:
            return []
        heading = "### Dwell times per level against the rate matrix (whole batch)"
        parts: list[Any] = [pn.Column(heading, frame_table(checks, width=TABLE_WIDTH))]
        check = (self.folder.model or {}).get("model_check")
        if isinstance(check, dict):
            parts.append(pn.pane.Markdown(check_summary(check)))
        model = dwell_model(self.folder.model)
        if model is not None:
            figure = SafeFigure(sizing_mode="stretch_width", height=FIGURE_HEIGHT)
            figure.draw(lambda: dwell_checks_figure(self.folder, model))
            parts.append(figure.layout)
        return parts

    def choose(self, event: Any) -> None:
        if event.row is None:
            return
        row = self.table.value.iloc[event.row]
        if row["name"] in self.folder.paths:
            self.show_trace(str(row["name"]))
        elif row["status"] == "unreadable":
            self.trace.show_error(str(row["reason"]))

    def show_trace(self, name: str) -> None:
        """Draws the trace when the page is loaded (at once outside a server)."""
        import panel as pn

        async def draw() -> None:
            await self.trace.draw_in_thread(lambda: trace_figure(trace_view(self.folder, name)))

        pn.state.onload(draw)

    def draw_batch_figures(self) -> None:
        self.density.draw(lambda: transitions_figure(self.kinetics))
        self.levels.draw(lambda: levels_figure(self.kinetics))
        self.dwells.draw(lambda: dwells_figure(self.kinetics))

    def show(self, kinetics: Kinetics, what: str) -> None:
        self.kinetics = kinetics
        self.draw_batch_figures()
        self.rates.value = kinetics.rates
        self.bic.value = bic_table(kinetics)
        self.status.object = f"Showing {what}: {len(kinetics.names)} traces."

    def selected_names(self) -> list[str]:
        """The ticked rows, or without any the rows the table's filters leave."""
        table = self.folder.table
        rows = table.iloc[self.table.selection] if self.table.selection else self.table.current_view
        return [n for n in rows["name"] if n in self.folder.paths]

    async def fit_selection(self, _event: Any) -> None:
        names = self.selected_names()
        usable = self.screening.usable()
        left = sum(not usable.get(n, False) for n in names)
        self.rerun.disabled = self.whole.disabled = True
        self.progress.visible = self.progress.active = True
        self.status.object = f"Fitting the kinetics of {len(names) - left} usable traces" + (
            f" ({left} not usable left out) ..." if left else " ..."
        )
        try:
            loop = asyncio.get_running_loop()
            overrides = dict(self.screening.overrides)
            kinetics = await loop.run_in_executor(
                None, quietly(lambda: selection_kinetics(self.folder, names, overrides=overrides))
            )
        except Exception as error:  # noqa: BLE001 (shown in the page; the server goes on)
            message = html.escape(f"{type(error).__name__}: {error}")
            self.status.object = f"**No kinetics for the selection:** {message}"
        else:
            self.show(kinetics, "the selection")
        finally:
            self.progress.visible = self.progress.active = False
            self.rerun.disabled = self.whole.disabled = False

    def segments_csv(self) -> io.StringIO:
        return io.StringIO(selected_segments(self.folder, self.kinetics.names).to_csv(index=False))

    def rates_csv(self) -> io.StringIO:
        return io.StringIO(self.kinetics.rates.to_csv(index=False))

    async def report_file(self) -> io.BytesIO:
        """The report of the whole batch (lumetra.results.report), made in an executor thread."""
        loop = asyncio.get_running_loop()
        report = await loop.run_in_executor(None, quietly(lambda: build_report(self.folder)))
        return io.BytesIO(report.html.encode())


def quietly(work: Callable[[], Result]) -> Callable[[], Result]:
    """`work` without progress bars: the page shows its own; the server's terminal stays quiet."""

    def run() -> Result:
        with silenced():
            return work()

    return run


def build_results_page(folder: ResultsFolder) -> pn.viewable.Viewable:
    """The page of one browser session, or the error that kept it from being built."""
    import panel as pn

    try:
        return ResultsPage(folder).layout()
    except Exception as error:  # noqa: BLE001 (shown in the page; the server goes on)
        traceback.print_exc()
        return pn.pane.Alert(
            "**The results page could not be built:** "
            + html.escape(f"{type(error).__name__}: {error}"),
            alert_type="danger",
        )
