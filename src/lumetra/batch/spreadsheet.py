"""The batch's spreadsheet of idealised traces, the input of
lumetraTrace.transitionStatistics: sheet 'ideal', the time axis and one 'Idl N' column per
trace; sheet 'files', which file each column is.

An .xlsx sheet holds at most 16,384 columns, so a batch of more than TRACES_PER_WORKBOOK traces
is split over ideal.xlsx, ideal_2.xlsx, ... each of at most that many traces (the columns keep
their numbers across the workbooks). Workbooks take their traces one at a time and write each
workbook once its traces are in, so that a batch holds one workbook's traces at most, each
idealised path as its runs of one level (Runs) and one time axis for the traces that share it;
the 'ideal' sheet is written a block of rows at a time.
"""

from __future__ import annotations

from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra import atomic
from lumetra.batch import xlsx
from lumetra.batch.types import TraceFit
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.stepfit import FloatArray

TRACES_PER_WORKBOOK = 16_000


ROWS_PER_BLOCK = 32  # frames gathered at a time when the 'ideal' sheet is written


class Runs:
    """A piecewise-constant series kept as its runs: where each starts and its value, told
    apart by their bits (so -0.0 and every NaN stay as they were)."""

    def __init__(self, series: FloatArray) -> None:
        values = np.ascontiguousarray(series, dtype=np.float64)
        bits = values.view(np.int64)
        self.starts = np.r_[0, np.flatnonzero(bits[1:] != bits[:-1]) + 1][: len(values)]
        self.values = values[self.starts]
        self.length = len(values)

    def __len__(self) -> int:
        return self.length

    def window(self, top: int, end: int) -> FloatArray:
        """The values of frames top ... end - 1 that the series holds."""
        frames = np.arange(top, min(end, self.length))
        values: FloatArray = self.values[np.searchsorted(self.starts, frames, side="right") - 1]
        return values


def workbook_names(traces: int) -> list[str]:
    """ideal.xlsx, then ideal_2.xlsx, ... for `traces` traces."""
    count = max(1, -(-traces // TRACES_PER_WORKBOOK))
    return ["ideal.xlsx"] + [f"ideal_{k}.xlsx" for k in range(2, count + 1)]


def files_sheet(fits: list[TraceFit], version: str, first: int) -> pd.DataFrame:
    """Which file each 'Idl N' column is, with its checksum and parameters."""
    rows = [
        {"column": f"Idl {i}", "file": fit.label, "sha256": fit.sha256, "lumetra": version}
        | {k: fit.params[k] for k in PARAMETER_NAMES}
        for i, fit in enumerate(fits, start=first)
    ]
    return pd.DataFrame(rows)


def write_workbook(
    path: Path,
    fits: list[TraceFit],
    times: list[FloatArray],
    paths: list[Runs],
    version: str,
    first: int,
) -> Path:
    """The 'ideal' and 'files' sheets (lumetra.batch.xlsx), the rows of 'ideal' made and
    streamed into the file a block at a time; its columns are numbered from `first`. Traces
    share the time axis of the longest one; shorter ones hold their last level to its end,
    which adds no transition. A trace without a step fit has empty parameter cells."""
    longest = max(times, key=len)
    length = len(longest)
    files = files_sheet(fits, version, first)
    letters = xlsx.column_letters(len(fits) + 1)

    def ideal() -> Iterator[str]:
        yield xlsx.value_rows([["time", *files["column"]]], 1)
        for top in range(0, length, ROWS_PER_BLOCK):
            end = min(top + ROWS_PER_BLOCK, length)
            block = np.empty((end - top, len(fits) + 1))
            block[:, 0] = longest[top:end]
            for j, runs in enumerate(paths, start=1):
                inside = runs.window(top, end)
                block[: len(inside), j] = inside
                block[len(inside) :, j] = runs.values[-1]
            yield xlsx.number_rows(block, top + 2, letters)

    table = [list(files.columns), *files.itertuples(index=False)]
    sheets = [
        ("ideal", xlsx.used_range(length + 1, len(fits) + 1), ideal()),
        ("files", xlsx.used_range(len(table), len(files.columns)), [xlsx.value_rows(table, 1)]),
    ]
    return atomic.atomic_write(path, lambda tmp: xlsx.write(tmp, sheets))


class Workbooks:
    """The workbooks of a batch of `total` traces, added in their order with their time axis
    and idealised levels; each workbook is written once its last trace is added."""

    def __init__(self, out: Path, total: int, version: str):
        self.out, self.total, self.version = out, total, version
        self.names = workbook_names(total)
        self.written: list[Path] = []
        self.last = self.names[0]  # the workbook written last, or tried
        self.mismatched: list[str] = []  # traces whose time axis is not their workbook's
        self._first, self._made = 1, 0  # first column of the next workbook; workbooks tried
        self._fits: list[TraceFit] = []
        self._times: list[FloatArray] = []
        self._paths: list[Runs] = []

    def add(self, fit: TraceFit, time: FloatArray, path: FloatArray) -> None:
        self._fits.append(fit)
        # A time axis the trace before had already is held once.
        same = self._times and np.array_equal(time, self._times[-1])
        self._times.append(self._times[-1] if same else time)
        self._paths.append(Runs(path))
        last = self._first + len(self._fits) - 1
        if len(self._fits) >= TRACES_PER_WORKBOOK or last >= self.total:
            self._write()

    def _write(self) -> None:
        """The workbook of the traces added since the last one; the next one starts afresh
        even when this one cannot be written (the error goes to the caller)."""
        fits, times, paths, first = self._fits, self._times, self._paths, self._first
        self._first += len(fits)
        self._fits, self._times, self._paths = [], [], []
        self.last = self.names[self._made]
        self._made += 1
        longest = max(times, key=len)
        shared = [np.allclose(time, longest[: len(time)]) for time in times]
        self.mismatched += [fit.label for fit, same in zip(fits, shared) if not same]
        self.written.append(
            write_workbook(self.out / self.last, fits, times, paths, self.version, first)
        )

    def note(self) -> str | None:
        """On traces whose time axis is not the one of their workbook, whose times it uses."""
        if not self.mismatched:
            return None
        return (
            f"{len(self.mismatched)} file(s) have another time axis than the longest trace of "
            f"their spreadsheet, whose times it uses: {', '.join(self.mismatched[:5])}"
        )
