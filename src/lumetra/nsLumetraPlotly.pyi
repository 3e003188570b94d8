# The explorer dashboard: tuning parameters as widgets, the fitted trace as a two-row figure and
# the segments of every build. Importing it reads explorerDir.pickle in the working directory.
from collections.abc import Callable
from types import ModuleType
from typing import Any

import pandas as pd
import panel as pn
import param
from plotly.subplots import make_subplots as make_subplots

from lumetra.lumetraTrace import lumetraTrace as _lumetraTrace

class fretExplorer(param.Parameterized):
    explorerDir: str  # the data directory, with a trailing separator
    tf: _lumetraTrace  # the one trace object that every explorer fits
    # Parameters
    fileName: str
    halfWindowsLen: int
    rratio: float
    thrate: float
    filterWidth: int
    button: Callable[[fretExplorer], None]
    # Set by __init__
    title: str
    stream_df: pd.DataFrame
    stream_table: pn.widgets.Tabulator
    sampleIdx: int
    panel: ModuleType
    renderTab1taskDone: bool

    def __init__(self, filename: str, pnLayout: object = None) -> None: ...
    def plotMultiLevelFRET(
        self, frames: pd.Series, CH1mBGND1: pd.Series, partitions: list[list[int]], fig: Any
    ) -> Any: ...
    def plotSubPlots(
        self,
        frames: pd.Series,
        CH1mBGND1: pd.Series,
        title: str,
        windowsLen: int,
        rratio: float = 0.177,
        thrate: float = 0.2,
        filterWidth: int = 0,
    ) -> Any: ...
    def updateTab(self) -> None: ...
    def reset_param(self) -> None: ...
    def reload_data(self) -> None: ...
    def plot(self) -> pn.pane.Plotly: ...
