"""The batch's spreadsheet of idealised traces, the input of
lumetraTrace.transitionStatistics: sheet 'ideal', the time axis and one 'Idl N' column per
trace; sheet 'files', which file each column is.

An .xlsx sheet holds at most 16,384 columns, so a batch of more than TRACES_PER_WORKBOOK traces
is split over ideal.xlsx, ideal_2.xlsx, ... each of at most that many traces (the columns keep
their numbers across the workbooks).
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from lumetra import atomic
from lumetra.batch.types import FileFit, FloatArray
from lumetra.batchcore import PARAMETER_NAMES

TRACES_PER_WORKBOOK = 16_000


def padded(values: FloatArray, length: int) -> FloatArray:
    """values extended to `length` by repeating the last one (no new transitions)."""
    return np.concatenate([values, np.full(length - len(values), values[-1])])


def workbook_names(traces: int) -> list[str]:
    """ideal.xlsx, then ideal_2.xlsx, ... for `traces` traces."""
    count = max(1, -(-traces // TRACES_PER_WORKBOOK))
    return ["ideal.xlsx"] + [f"ideal_{k}.xlsx" for k in range(2, count + 1)]


def sheets(
    fits: list[FileFit], paths: list[FloatArray], version: str, first: int = 1
) -> tuple[pd.DataFrame, pd.DataFrame, list[str]]:
    """The 'ideal' and 'files' sheets, columns numbered from `first`, and the traces whose
    time axis differs from the longest one's. Traces share the time axis of the longest one;
    shorter ones hold their last level to its end, which adds no transition."""
    longest = max(fits, key=lambda f: len(f.time))
    length = len(longest.time)
    columns = {"time": longest.time}
    rows, mismatched = [], []
    for i, (fit, path) in enumerate(zip(fits, paths), start=first):
        column = f"Idl {i}"
        columns[column] = padded(path, length)
        if not np.allclose(fit.time, longest.time[: len(fit.time)]):
            mismatched.append(fit.label)
        rows.append(
            {"column": column, "file": fit.label, "sha256": fit.sha256, "lumetra": version}
            | {k: fit.params[k] for k in PARAMETER_NAMES}
        )
    return pd.DataFrame(columns), pd.DataFrame(rows), mismatched


def write_spreadsheets(
    out: Path, fits: list[FileFit], paths: list[FloatArray], version: str
) -> tuple[list[Path], str | None]:
    """The workbooks written, and a note on traces whose time axis is not the shared one."""
    written, mismatched = [], []
    for k, name in enumerate(workbook_names(len(fits))):
        part = slice(k * TRACES_PER_WORKBOOK, (k + 1) * TRACES_PER_WORKBOOK)
        ideal, files, odd = sheets(fits[part], paths[part], version, part.start + 1)
        mismatched += odd
        written.append(atomic.write_excel(out / name, [("ideal", ideal), ("files", files)]))
    note = None
    if mismatched:
        note = (
            f"{len(mismatched)} file(s) have another time axis than the longest trace of their "
            f"spreadsheet, whose times it uses: {', '.join(mismatched[:5])}"
        )
    return written, note
