"""The batch's spreadsheet of idealised traces, the input of
lumetraTrace.transitionStatistics: sheet 'ideal', the time axis and one 'Idl N' column per
trace; sheet 'files', which file each column is.

An .xlsx sheet holds at most 16,384 columns, so a batch of more than TRACES_PER_WORKBOOK traces
is split over ideal.xlsx, ideal_2.xlsx, ... each of at most that many traces (the columns keep
their numbers across the workbooks). The 'ideal' sheet is written a block of rows at a time, so
that writing it holds no more than the traces themselves.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra import atomic
from lumetra.batch.types import FileFit, FloatArray
from lumetra.batchcore import PARAMETER_NAMES

TRACES_PER_WORKBOOK = 16_000


ROWS_PER_BLOCK = 256  # frames gathered at a time when the 'ideal' sheet is written


def workbook_names(traces: int) -> list[str]:
    """ideal.xlsx, then ideal_2.xlsx, ... for `traces` traces."""
    count = max(1, -(-traces // TRACES_PER_WORKBOOK))
    return ["ideal.xlsx"] + [f"ideal_{k}.xlsx" for k in range(2, count + 1)]


def files_sheet(fits: list[FileFit], version: str, first: int) -> pd.DataFrame:
    """Which file each 'Idl N' column is, with its checksum and parameters."""
    rows = [
        {"column": f"Idl {i}", "file": fit.label, "sha256": fit.sha256, "lumetra": version}
        | {k: fit.params[k] for k in PARAMETER_NAMES}
        for i, fit in enumerate(fits, start=first)
    ]
    return pd.DataFrame(rows)


def write_rows(sheet: Any, start: int, rows: npt.NDArray[np.float64]) -> None:
    """Rows of numbers from row `start` on; NaN cells stay empty."""
    for k, row in enumerate(rows.tolist(), start=start):
        if any(value != value for value in row):
            row = [None if value != value else value for value in row]
        sheet.write_row(k, 0, row)


def write_workbook(
    path: Path, fits: list[FileFit], paths: list[FloatArray], version: str, first: int
) -> Path:
    """The 'ideal' and 'files' sheets, streamed row by row (xlsxwriter's constant memory mode):
    the columns are numbered from `first`. Traces share the time axis of the longest one;
    shorter ones hold their last level to its end, which adds no transition."""
    import xlsxwriter

    longest = max(fits, key=lambda f: len(f.time))
    length = len(longest.time)
    files = files_sheet(fits, version, first)

    def write(tmp: str) -> None:
        with xlsxwriter.Workbook(tmp, {"constant_memory": True}) as book:
            ideal = book.add_worksheet("ideal")
            ideal.write_row(0, 0, ["time", *files["column"]])
            for top in range(0, length, ROWS_PER_BLOCK):
                end = min(top + ROWS_PER_BLOCK, length)
                block = np.empty((end - top, len(fits) + 1))
                block[:, 0] = longest.time[top:end]
                for j, values in enumerate(paths, start=1):
                    inside = values[top:end]
                    block[: len(inside), j] = inside
                    block[len(inside) :, j] = values[-1]
                write_rows(ideal, top + 1, block)
            table = book.add_worksheet("files")
            table.write_row(0, 0, list(files.columns))
            for k, row in enumerate(files.itertuples(index=False), start=1):
                table.write_row(k, 0, list(row))

    return atomic.atomic_write(path, write)


def write_spreadsheets(
    out: Path, fits: list[FileFit], paths: list[FloatArray], version: str
) -> tuple[list[Path], str | None]:
    """The workbooks written, and a note on traces whose time axis is not the shared one."""
    written, mismatched = [], []
    for k, name in enumerate(workbook_names(len(fits))):
        part = slice(k * TRACES_PER_WORKBOOK, (k + 1) * TRACES_PER_WORKBOOK)
        longest = max(fits[part], key=lambda f: len(f.time)).time
        mismatched += [
            fit.label for fit in fits[part] if not np.allclose(fit.time, longest[: len(fit.time)])
        ]
        written.append(write_workbook(out / name, fits[part], paths[part], version, part.start + 1))
    note = None
    if mismatched:
        note = (
            f"{len(mismatched)} file(s) have another time axis than the longest trace of their "
            f"spreadsheet, whose times it uses: {', '.join(mismatched[:5])}"
        )
    return written, note
