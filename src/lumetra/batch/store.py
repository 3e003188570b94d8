"""The frames of a batch's traces, where its output folder holds them: traces/NAME.csv, the
idealised trace of each (frame, time, intensity, level). A batch keeps each trace's summary
(lumetra.batch.types.TraceFit) and reads its frames from here when they are needed, so that a
batch of 10^5 traces holds no more than their summaries."""

from __future__ import annotations

from pathlib import Path

import pandas as pd

from lumetra.batch.names import BatchNames
from lumetra.batch.types import TraceFit
from lumetra.stepfit import FloatArray

TRACES = "traces"  # the folder of the idealised traces


class TraceStore:
    def __init__(self, out: Path, names: BatchNames) -> None:
        self.out = out
        self.names = names

    def name(self, fit: TraceFit) -> str:
        """The trace's name in the batch: its file's, with its index in a file of several."""
        return self.names.trace(fit.path, fit.part)

    def path(self, name: str) -> Path:
        return self.out / TRACES / f"{name}.csv"

    def frames(self, name: str) -> tuple[FloatArray, FloatArray]:
        """(time, intensity) of the trace, as fitted."""
        table = pd.read_csv(self.path(name), comment="#", usecols=["time", "intensity"])
        return table["time"].to_numpy(dtype=float), table["intensity"].to_numpy(dtype=float)
