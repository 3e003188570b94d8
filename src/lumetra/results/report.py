"""The report of a batch: one HTML file that keeps the batch's results and how they were made,
viewed without a network (the figures drawn by the plotly.js written into it).

    report = build_report(load_folder("results/"))
    write_report("results/")   # results/report.html, written whole or not at all

Its sections: Methods (a paragraph to paste into a paper, lumetra.results.report_methods), the
inputs with their checksums, the screening, the model (levels, spreads, rates with intervals,
relaxation times, BIC per K), the figures of the results page (transition density, levels,
dwell times, example traces), the model checks and the batch's notes
(lumetra.results.report_sections). A figure that cannot be drawn says why in its place and in
the notes; the rest of the report is still made.
"""

from __future__ import annotations

import os
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING

import pandas as pd

from lumetra import __version__, atomic
from lumetra.results.dwells import dwell_model
from lumetra.results.figures import (
    dwell_checks_figure,
    dwells_figure,
    levels_figure,
    trace_figure,
    transitions_figure,
)
from lumetra.results.folder import ResultsFolder, load_folder, trace_view
from lumetra.results.kinetics import batch_kinetics
from lumetra.results.report_html import Section, escape, figure_html, page, paragraph
from lumetra.results.report_methods import methods_text
from lumetra.results.report_sections import (
    checks_section,
    inputs_section,
    model_section,
    notes_section,
    screening_section,
    sha256_or_reason,
)

if TYPE_CHECKING:
    import plotly.graph_objects as go

REPORT = "report.html"
EXAMPLE_TRACES = 3
DENSITY_SIZE = 620  # pixels: the transition density plot is square
# The parts made one after the other, the progress bar's steps: the folder read, the methods,
# inputs, screening and model, three batch figures, the example traces, the checks and notes,
# the page.
STEPS = 1 + 4 + 3 + EXAMPLE_TRACES + 2 + 1
# Each section's heading and the files of the folder it reads.
SOURCES = {
    "methods": ("Methods", "manifest.json,quality.csv,hmm_model.json"),
    "inputs": ("Inputs", "manifest.json,failures.csv,skipped.csv"),
    "screening": ("Screening", "quality.csv,manifest.json"),
    "model": ("Model", "hmm_model.json,kinetics.csv"),
    "figures": ("Figures", "hmm_model.json,hmm/,traces/"),
    "checks": ("Model checks", "dwell_checks.csv,hmm_model.json,hmm/"),
    "notes": ("Notes", "manifest.json"),
}


@dataclass
class Report:
    html: str
    problems: list[str] = field(default_factory=list)  # figures and sections not made, and why


class Steps:
    """The progress bar of the report's making (tqdm on standard error: only on a terminal,
    never when `shown` is False)."""

    def __init__(self, shown: bool) -> None:
        from tqdm import tqdm

        self.bar = tqdm(total=STEPS, unit="part", desc="report", disable=None if shown else True)

    @contextmanager
    def step(self, what: str) -> Iterator[None]:
        self.bar.set_postfix_str(what if what.isprintable() else repr(what))  # a trace's name
        yield
        self.bar.update()

    def skip(self, count: int) -> None:
        """Steps that are not needed (fewer example traces)."""
        self.bar.update(count)

    def close(self) -> None:
        self.bar.close()


def example_traces(folder: ResultsFolder, count: int = EXAMPLE_TRACES) -> list[str]:
    """The usable traces with the most transitions (the first of equals in batch order)."""
    table = folder.table
    usable = table["usable"].map(lambda value: value is None or value is pd.NA or bool(value))
    fitted = table[(table["status"] == "fitted") & usable & table["name"].isin(list(folder.paths))]
    ordered = fitted.sort_values("transitions", ascending=False, kind="stable")
    return [str(name) for name in ordered["name"].head(count)]


class Parts:
    """Makes the report's figures, numbered as the page's elements, and its sections; keeps
    what could not be made: each says why in its place."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.figures = 0
        self.problems: list[str] = []

    def figure(self, build: Callable[[], go.Figure], what: str) -> str:
        self.figures += 1
        element, problem = figure_html(build, f"figure-{self.figures}")
        if problem:
            self.problems.append(f"{what}: {problem}")
        return element

    def section(self, ident: str, make: Callable[[], Section]) -> Section:
        """The section, or in its place why the files it is made from (SOURCES) did not give
        it: files the batch would not have written so."""
        try:
            return make()
        except Exception as error:  # noqa: BLE001 (said in the report; the rest is still made)
            heading, files = SOURCES[ident]
            problem = f"{self.root}/{{{files}}}: {type(error).__name__}: {error}"
            self.problems.append(f"the {heading.lower()} section: {problem}")
            text = f"This section could not be made from {problem}"
            return Section(ident, heading, paragraph(text, "problem"))


def figures_section(folder: ResultsFolder, parts: Parts, steps: Steps) -> Section:
    kinetics = batch_kinetics(folder)

    def density() -> go.Figure:
        figure = transitions_figure(kinetics)
        figure.update_layout(width=DENSITY_SIZE, height=DENSITY_SIZE)
        return figure

    shown = []
    for title, build in (
        ("Transition density", density),
        ("Levels", lambda: levels_figure(kinetics)),
        ("Dwell times", lambda: dwells_figure(kinetics)),
    ):
        with steps.step(title.lower()):
            shown.append(parts.figure(build, f"the {title.lower()} figure"))
    names = example_traces(folder)
    paths = (
        "the step fit and the shared model's path (grey: frames the model did not read)"
        if folder.model is not None
        else "its step fit"
    )
    shown.append(
        "<h3>Example traces</h3>"
        + paragraph(
            f"The {len(names)} usable traces with the most transitions: the signal with {paths}."
        )
    )
    for name in names:
        with steps.step(name):
            build = partial(example_figure, folder, name)
            shown.append(parts.figure(build, f"trace {name}"))
    steps.skip(EXAMPLE_TRACES - len(names))
    return Section("figures", "Figures", "\n".join(shown))


def example_figure(folder: ResultsFolder, name: str) -> go.Figure:
    return trace_figure(trace_view(folder, name))


def model_checks(folder: ResultsFolder, parts: Parts) -> Section:
    """The model checks with the figure of the dwell-time checks, when the model has rates."""
    model = dwell_model(folder.model)
    figure = ""
    if folder.dwell_checks is not None and model is not None:
        build = partial(dwell_checks_figure, folder, model)
        figure = parts.figure(build, "the dwell-time checks figure")
    return checks_section(folder, figure)


def header(folder: ResultsFolder) -> str:
    manifest = folder.manifest
    made = time.strftime("%Y-%m-%d %H:%M:%S %z")
    return paragraph(
        f"Batch {folder.root.resolve()}: fitted with lumetra {manifest.get('lumetra')} "
        f"(started {manifest.get('started')}, {manifest.get('seconds')} s). Report made "
        f"{made} with lumetra {__version__}."
    )


def build_report(
    folder: ResultsFolder,
    checksum: Callable[[str], str] = sha256_or_reason,
    steps: Steps | None = None,
) -> Report:
    """The report of a loaded results folder; `checksum` gives an input's checksum where the
    batch recorded none; `steps` shows the progress."""
    steps = steps or Steps(False)
    parts = Parts(folder.root)
    makers: dict[str, Callable[[], Section]] = {
        "methods": lambda: methods_section(folder),
        "inputs": lambda: inputs_section(folder, checksum),
        "screening": lambda: screening_section(folder),
        "model": lambda: model_section(folder, batch_kinetics(folder)),
        "figures": lambda: figures_section(folder, parts, steps),  # its own steps
        "checks": partial(model_checks, folder, parts),
        "notes": lambda: notes_section(folder, parts.problems),  # those of all the others
    }
    sections = []
    for ident, make in makers.items():
        if ident == "figures":
            sections.append(parts.section(ident, make))
            continue
        with steps.step(SOURCES[ident][0].lower()):
            sections.append(parts.section(ident, make))
    with steps.step("page"):
        title = f"lumetra report: {folder.root.resolve().name}"
        text = page(title, header(folder), sections, parts.figures > 0)
    return Report(text, parts.problems)


def methods_section(folder: ResultsFolder) -> Section:
    return Section("methods", "Methods", f'<p class="methods">{escape(methods_text(folder))}</p>')


def write_report(
    root: str | os.PathLike[str], out: str | os.PathLike[str] | None = None, progress: bool = False
) -> tuple[Path, Report]:
    """ROOT/report.html (or `out`) of the batch in ROOT, written atomically, with a progress
    bar on a terminal when `progress`; ValueError for a directory that holds no batch."""
    steps = Steps(progress)
    try:
        with steps.step("reading the folder"):
            folder = load_folder(Path(root))
        report = build_report(folder, steps=steps)
    finally:
        steps.close()
    path = Path(out) if out is not None else Path(root) / REPORT
    try:
        return atomic.write_text(path, report.html), report
    except OSError as error:  # its message names the temporary file
        raise OSError(f"{path}: the report could not be written: {error.strerror}") from error
