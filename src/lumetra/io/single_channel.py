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
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra.io._table import line_numbers, line_of_row
from lumetra.io._trace import Trace, TraceFormatError, make_trace

FORMAT = "single-channel"
TIME, INTENSITY = "Frame/10", "CH1-BGND1"


def header_matches(line: str) -> bool:
    names = line.rstrip("\r\n").split("\t")
    return TIME in names and INTENSITY in names


def read(source: str, text: str, frame_time: float | None = None) -> list[Trace]:
    try:
        table = pd.read_table(io.StringIO(text))
    except (ValueError, pd.errors.EmptyDataError) as error:
        raise TraceFormatError(source, f"not a tab-separated table ({error})") from None
    for name in (TIME, INTENSITY):
        if name not in table.columns:
            raise TraceFormatError(
                source, f"no column {name!r} in the header {list(table.columns)}", line=1
            )
    columns = {}
    for name in (TIME, INTENSITY):
        values = pd.to_numeric(table[name], errors="coerce")
        bad = np.flatnonzero(values.isna() & table[name].notna())
        if bad.size:
            raise TraceFormatError(
                source,
                f"non-numeric cell {table[name].iloc[bad[0]]!r} in column {name!r}",
                line=line_numbers(text, 1)[bad[0]],
            )
        columns[name] = values.to_numpy(dtype=float)
    return [
        make_trace(
            source,
            FORMAT,
            columns[TIME],
            line_of=line_of_row(text, 1),
            intensity=columns[INTENSITY],
            trace_id=Path(source).stem,
        )
    ]
