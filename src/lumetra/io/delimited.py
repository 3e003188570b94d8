"""Delimited text traces with the columns named by the caller.

Layout: one trace per file, one line per frame, cells separated by a tab, comma or semicolon
(the first of these found in the first line) or else by whitespace, optionally below a header
line (taken as one when any of its cells is not a number). Which column holds what is given by
`columns`, mapping the roles ``time``, ``donor``, ``acceptor``, ``acceptor_direct`` and
``intensity`` to 0-based column positions or to header names, as a mapping or as text::

    "time=0,donor=1,acceptor=2"
    "time=%t (s),donor=Idd (a.u.),acceptor=Ida (a.u.),acceptor_direct=Iaa (a.u.)"

A two-colour trace needs donor and acceptor; a single-channel trace, intensity. Without a time
column, time counts frames (or steps by the given frame time). Only the named columns need to
hold numbers; every row must have as many cells as the first. The trace id is the file name
without its extension.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from lumetra.io._table import data_lines, line_of_row, numeric_table, split
from lumetra.io._trace import Trace, TraceFormatError, make_trace, quoted

FORMAT = "delimited"
ROLES = ("time", "donor", "acceptor", "acceptor_direct", "intensity")
DELIMITERS = ("\t", ",", ";")

Column = Union[int, str]  # a 0-based position or a header name


def parse_columns(columns: str | Mapping[str, Column]) -> dict[str, Column]:
    """The column spec as {role: position or name}; raises ValueError for a malformed one."""
    if isinstance(columns, str):
        pairs = [item.split("=", 1) for item in columns.split(",") if item.strip()]
        if any(len(pair) != 2 for pair in pairs):
            raise ValueError(f"column spec {quoted(columns)}: expected role=column items")
        columns = {role.strip(): column.strip() for role, column in pairs}
    spec = {}
    for role, column in dict(columns).items():
        if role not in ROLES:
            raise ValueError(f"unknown column role {quoted(role)}; roles are {', '.join(ROLES)}")
        if isinstance(column, str) and column.strip().lstrip("-").isdigit():
            column = int(column)
        spec[role] = column
    if not ({"donor", "acceptor"} <= spec.keys() or "intensity" in spec):
        raise ValueError("columns must name donor and acceptor, or intensity")
    if "intensity" in spec and spec.keys() & {"donor", "acceptor", "acceptor_direct"}:
        raise ValueError("intensity is the one channel of a single-channel trace")
    return spec


def sniff_delimiter(line: str) -> str | None:
    return next((d for d in DELIMITERS if d in line), None)


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def read(
    source: str, text: str, columns: str | Mapping[str, Column], frame_time: float | None = None
) -> list[Trace]:
    try:
        spec = parse_columns(columns)
    except ValueError as error:
        raise TraceFormatError(source, str(error)) from None
    first = next(data_lines(text, 0), None)
    if first is None:
        raise TraceFormatError(source, "no data rows")
    number, line = first
    delimiter = sniff_delimiter(line)
    cells = [cell.strip() for cell in split(line, delimiter)]
    header = None if all(_is_number(cell) for cell in cells) else cells
    positions = {}
    for role, column in spec.items():
        if isinstance(column, int):
            if not 0 <= column < len(cells):
                raise TraceFormatError(
                    source, f"{role}: no column {column} in rows of {len(cells)}", line=number
                )
            positions[role] = column
        elif header is None:
            raise TraceFormatError(source, f"{role}: column {quoted(column)} named but no header")
        elif column not in header:
            raise TraceFormatError(
                source,
                f"{role}: no column {quoted(column)} in the header {quoted(header)}",
                line=number,
            )
        else:
            positions[role] = header.index(column)
    skip = number if header else 0
    used = sorted(set(positions.values()))
    values = numeric_table(
        source, text, delimiter=delimiter, skip=skip, columns=len(cells), usecols=used
    )
    channels = {role: values[:, used.index(p)] for role, p in positions.items()}
    time: npt.NDArray[np.floating[Any]] | None = channels.pop("time", None)
    if time is None and frame_time is not None:
        time = np.arange(len(values)) * float(frame_time)
    return [
        make_trace(
            source,
            FORMAT,
            time,
            line_of=line_of_row(text, skip),
            donor=channels.get("donor"),
            acceptor=channels.get("acceptor"),
            acceptor_direct=channels.get("acceptor_direct"),
            intensity=channels.get("intensity"),
            trace_id=Path(source).stem,
        )
    ]
