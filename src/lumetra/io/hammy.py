"""HaMMy trace files.

Layout of the text files HaMMy (S. A. McKinney, C. Joo, T. Ha, Biophys. J. 91, 1941 (2006))
reads, as the tools that export for it document and write them:

- MASH-FRET's "HaMMy trace files" page (docs/output-files/dat-hammy-traces.md): one molecule per
  file, no header, one line per frame with three columns: time, donor intensity, acceptor
  intensity (MASH writes tab-separated, time in seconds);
- SPARTAN's forHammy.m ("FORMAT: <time> <donor intensity> <acceptor intensity> ..."), which
  writes the same triples one after another on a single space-separated line.

Both are read: cells are split at any whitespace, and a file of one line holding a multiple of
three numbers is taken as consecutive (time, donor, acceptor) triples. The trace id is the file
name without its extension.
"""

from __future__ import annotations

from pathlib import Path

from lumetra.io._table import line_numbers, line_of_row, numeric_table
from lumetra.io._trace import Trace, TraceFormatError, make_trace

FORMAT = "hammy"
COLUMNS = 3


def read(source: str, text: str, frame_time: float | None = None) -> list[Trace]:
    values = numeric_table(source, text)
    line_of = None
    if values.shape[0] == 1 and values.shape[1] > COLUMNS:
        if values.shape[1] % COLUMNS:
            raise TraceFormatError(
                source,
                f"one line of {values.shape[1]} numbers: not (time, donor, acceptor) triples",
                line=line_numbers(text, 0)[0],
            )
        values = values.reshape(-1, COLUMNS)
    elif values.shape[1] != COLUMNS:
        raise TraceFormatError(
            source, f"{values.shape[1]} columns; HaMMy files have 3 (time, donor, acceptor)"
        )
    else:
        line_of = line_of_row(text, 0)
    return [
        make_trace(
            source,
            FORMAT,
            values[:, 0],
            line_of=line_of,
            donor=values[:, 1],
            acceptor=values[:, 2],
            trace_id=Path(source).stem,
        )
    ]
