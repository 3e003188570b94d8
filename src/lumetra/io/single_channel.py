"""lumetra's own single-channel trace files, read as lumetraTrace.loadData reads them.

Layout (the trace file of lumetraTrace.loadData): tab-separated text whose first line holds the
column names and whose every further line is one frame, read with pandas.read_table and its
defaults. Two columns are used, found by their exact header text: ``Frame/10``, the time axis,
and ``CH1-BGND1``, the background-corrected intensity; other columns are ignored, and empty
intensity cells are NaN, as loadData leaves them. The intensity becomes the trace's
`intensity`; the trace id is the file name without its extension.
"""

from __future__ import annotations

import io
import re
from collections.abc import Iterable
from pathlib import Path
from typing import SupportsFloat

import numpy as np
import pandas as pd

from lumetra.io._trace import Trace, TraceFormatError, make_trace, quoted

FORMAT = "single-channel"
TIME, INTENSITY = "Frame/10", "CH1-BGND1"


def text(time: Iterable[SupportsFloat], values: Iterable[SupportsFloat]) -> str:
    """The text of a single-channel trace file; numbers written so they read back exactly."""
    rows = "".join(f"{t!r}\t{v!r}\n" for t, v in zip(map(float, time), map(float, values)))
    return f"{TIME}\t{INTENSITY}\n{rows}"


LINE_END = re.compile(r"\r\n|\r|\n")  # where pandas ends a line


def header_matches(line: str) -> bool:
    names = LINE_END.split(line)[0].split("\t")
    return TIME in names and INTENSITY in names


def _row_lines(text: str) -> list[int]:
    """The file line of the header and of every row after it, as pandas.read_table counts rows:
    lines end at LF, CR LF or CR, and those holding only spaces are skipped (a tab makes a row)."""
    return [n for n, line in enumerate(LINE_END.split(text), 1) if "\t" in line or line.strip()]


def read(source: str, text: str, frame_time: float | None = None) -> list[Trace]:
    try:
        table = pd.read_table(io.StringIO(text))
    except (ValueError, pd.errors.EmptyDataError) as error:
        raise TraceFormatError(
            source, f"not a tab-separated table ({quoted(str(error).strip())})"
        ) from None
    lines = _row_lines(text)

    def line_of(row: int) -> int | None:  # None where pandas saw rows the count above does not
        return lines[row + 1] if row + 1 < len(lines) else None

    for name in (TIME, INTENSITY):
        if name not in table.columns:
            raise TraceFormatError(
                source,
                f"no column {name!r} in the header {quoted(list(table.columns))}",
                line=lines[0] if lines else None,
            )
    columns = {}
    for name in (TIME, INTENSITY):
        values = pd.to_numeric(table[name], errors="coerce")
        bad = np.flatnonzero(values.isna() & table[name].notna())
        if bad.size:
            raise TraceFormatError(
                source,
                f"non-numeric cell {quoted(table[name].iloc[bad[0]])} in column {name!r}",
                line=line_of(int(bad[0])),
            )
        columns[name] = values.to_numpy(dtype=float)
    return [
        make_trace(
            source,
            FORMAT,
            columns[TIME],
            line_of=line_of,
            intensity=columns[INTENSITY],
            trace_id=Path(source).stem,
        )
    ]
