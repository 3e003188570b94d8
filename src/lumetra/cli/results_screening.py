"""The screening controls of the results page: the trace table filtered by class and to the
usable traces, ticked traces taken in or left out whatever their class, and those choices saved
as the folder's overrides.csv, which the next `lumetra fit` on the folder reads. The choices hold
for the page's own re-fits of a selection at once, saved or not."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING

import pandas as pd

from lumetra.hmm.inputs import shown
from lumetra.results.folder import ResultsFolder
from lumetra.results.screening import save_overrides
from lumetra.screening import CLASSES

if TYPE_CHECKING:
    import panel as pn

RERUN_NOTE = (
    "`lumetra fit` with the same inputs and this output folder reads it: the shared model is "
    "fitted again to the usable traces, the step fits are not."
)


class ScreeningControls:
    """The filters and override buttons of one page's trace table (`table`, whose value is
    the folder's table with the usable column as this page's choices make it)."""

    def __init__(self, folder: ResultsFolder, table: pn.widgets.Tabulator) -> None:
        import panel as pn

        self.folder = folder
        self.table = table
        self.overrides = dict(folder.screening.overrides)  # name -> usable, as chosen here
        present = set(folder.table["class"])
        self.classes = pn.widgets.MultiChoice(
            label="class", options=[c for c in CLASSES if c in present], width=300
        )
        self.usable_only = pn.widgets.Checkbox(label="usable only")
        table.add_filter(
            pn.bind(self.screen_filter, classes=self.classes, usable_only=self.usable_only)
        )
        self.include = pn.widgets.Button(label="Take in ticked")
        self.include.on_click(lambda _: self.choose(True))
        self.exclude = pn.widgets.Button(label="Leave out ticked")
        self.exclude.on_click(lambda _: self.choose(False))
        self.save = pn.widgets.Button(label="Save overrides", color="success")
        self.save.on_click(lambda _: self.save_file())
        self.message = pn.pane.Markdown("")
        table.value = self.shown_table()

    def layout(self) -> pn.Column:
        import panel as pn

        return pn.Column(
            pn.Row(self.classes, self.usable_only),
            pn.Row(self.include, self.exclude, self.save),
            self.message,
        )

    @staticmethod
    def screen_filter(frame: pd.DataFrame, classes: list[str], usable_only: bool) -> pd.DataFrame:
        """The rows of the chosen classes (all without a choice), only usable ones if asked."""
        keep = frame["class"].isin(classes) if classes else pd.Series(True, index=frame.index)
        if usable_only:
            keep &= frame["usable"].map(lambda usable: bool(pd.notna(usable) and usable))
        return frame[keep]

    def usable(self) -> dict[str, bool]:
        """Whether each trace is usable after this page's choices."""
        return self.folder.usable(self.overrides)

    def shown_table(self) -> pd.DataFrame:
        """The folder's table with this page's usable column (empty for the traces of a folder
        without screening that were not chosen here)."""
        usable = self.usable()
        classed = self.folder.screening.quality is not None
        frame = self.folder.table.copy()
        frame["usable"] = [
            usable[n] if n in usable and (classed or n in self.overrides) else None
            for n in frame["name"]
        ]
        return frame

    def ticked(self) -> list[str]:
        rows = self.folder.table.iloc[self.table.selection]
        return [n for n in rows["name"] if n in self.folder.paths]

    def choose(self, usable: bool) -> None:
        names = self.ticked()
        if not names:
            self.message.object = "Tick the traces to take in or leave out first."
            return
        self.overrides |= dict.fromkeys(names, usable)
        self.table.value = self.shown_table()
        what = "taken in" if usable else "left out"
        self.message.object = html.escape(
            f"{len(names)} traces {what}: {shown(names)}. Not saved yet."
        )

    def save_file(self) -> None:
        try:
            path = save_overrides(self.folder.root, self.overrides)
        except OSError as error:
            message = html.escape(f"{type(error).__name__}: {error}")
            self.message.object = f"**The overrides could not be saved:** {message}"
            return
        taken = [n for n, usable in self.overrides.items() if usable]
        left = [n for n, usable in self.overrides.items() if not usable]
        parts = [f"{len(taken)} taken in ({shown(taken)})" if taken else "none taken in"]
        parts.append(f"{len(left)} left out ({shown(left)})" if left else "none left out")
        self.message.object = html.escape(f"Saved {path}: {', '.join(parts)}.") + f" {RERUN_NOTE}"
