"""ebFRET's raw donor-acceptor text files, stacked and unstacked.

Layouts from the ebFRET user guide (release 1.1, "Loading Data: File Formats", item 2, "Raw
donor-acceptor time series (.dat)"), with ebfret.data.fret.load_raw for the details; N traces in
one ASCII file of whitespace-separated numbers, no header, no time axis:

- stacked (``ebfret-stacked``, for traces of different lengths): one line per frame of three
  numbers, ``label(n)  D(n, t)  A(n, t)``, the frames of trace 1 first, then those of trace 2,
  and so on; label(n) is a numeric id unique to each trace. MASH-FRET writes the same layout for
  ebFRET (docs/output-files/dat-ebfret-traces.md).
- unstacked (``ebfret-unstacked``, traces of one length T): a T+1 by 2N matrix whose first row
  holds the labels, each twice, ``label(1) label(1) ... label(N) label(N)``, and whose column
  pairs then hold donor and acceptor: ``D(1, t) A(1, t) ... D(N, t) A(N, t)``.

The label (written as an integer when it is one) is the trace id. The files carry no time, so
time counts frames unless the caller gives the frame time.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from lumetra.io._table import line_numbers, numeric_table
from lumetra.io._trace import BadTrace, Trace, TraceFormatError, each_trace, make_trace

STACKED = "ebfret-stacked"
UNSTACKED = "ebfret-unstacked"


def label_text(value: float) -> str:
    return str(int(value)) if float(value).is_integer() else repr(float(value))


def _time(frames: int, frame_time: float | None) -> npt.NDArray[np.floating[Any]] | None:
    return None if frame_time is None else np.arange(frames) * float(frame_time)


def read_stacked(source: str, text: str, frame_time: float | None = None) -> list[Trace | BadTrace]:
    values = numeric_table(source, text)
    if values.shape[1] != 3:
        raise TraceFormatError(
            source, f"{values.shape[1]} columns; stacked ebFRET files have 3 (label, D, A)"
        )
    labels = values[:, 0]
    starts = np.flatnonzero(np.r_[True, labels[1:] != labels[:-1]])
    seen: dict[float, np.intp] = {}  # label -> row of its first frame
    for start in starts:
        label = labels[start]
        if label in seen:
            raise TraceFormatError(
                source,
                f"label {label_text(label)} starts a second block (the first began at line "
                f"{line_numbers(text, 0)[seen[label]]}): each trace must be one run of lines",
                line=line_numbers(text, 0)[start],
            )
        seen[label] = start
    ends = np.r_[starts[1:], len(labels)]

    def trace(n: int) -> Trace:
        start, end, label = starts[n], ends[n], label_text(labels[starts[n]])
        return make_trace(
            source,
            STACKED,
            _time(end - start, frame_time),
            where=f"trace {label}",
            donor=values[start:end, 1],
            acceptor=values[start:end, 2],
            trace_id=label,
            index=n,
        )

    return each_trace(len(starts), trace)


def read_unstacked(
    source: str, text: str, frame_time: float | None = None
) -> list[Trace | BadTrace]:
    values = numeric_table(source, text)
    rows, columns = values.shape
    first_line = line_numbers(text, 0)[0]
    if columns % 2 or rows < 2:
        raise TraceFormatError(
            source,
            f"{rows} rows of {columns} columns; unstacked ebFRET files have a label row and an "
            "even number of columns (donor, acceptor per trace)",
        )
    labels = values[0]
    if np.any(labels[0::2] != labels[1::2]):
        pair = int(np.flatnonzero(labels[0::2] != labels[1::2])[0])
        raise TraceFormatError(
            source,
            f"label row: columns {2 * pair + 1} and {2 * pair + 2} hold "
            f"{label_text(labels[2 * pair])} and {label_text(labels[2 * pair + 1])}; "
            "each trace's label must be written twice",
            line=first_line,
        )

    def trace(n: int) -> Trace:
        return make_trace(
            source,
            UNSTACKED,
            _time(rows - 1, frame_time),
            where=f"trace {label_text(labels[2 * n])}",
            donor=values[1:, 2 * n],
            acceptor=values[1:, 2 * n + 1],
            trace_id=label_text(labels[2 * n]),
            index=n,
        )

    return each_trace(columns // 2, trace)
