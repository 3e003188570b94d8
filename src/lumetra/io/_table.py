"""Numeric text tables: numpy parses them; when it refuses one, the table is walked line by line
to name the first line and cell at fault."""

from __future__ import annotations

import io
import warnings
from collections.abc import Iterator, Sequence

import numpy as np

from lumetra.io._trace import Floats, LineOf, TraceFormatError, quoted


def decode(data: bytes) -> str:
    """A text file's content. Bytes that are not UTF-8 are read as Latin-1 (one character each),
    so a stray byte shows up as a non-numeric cell instead of a decoding error; a UTF-8
    byte-order mark is dropped."""
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def split(line: str, delimiter: str | None) -> list[str]:
    """The cells of one line: split at `delimiter`, or at runs of whitespace for None."""
    return line.split(delimiter) if delimiter is not None else line.split()


def data_lines(text: str, skip: int) -> Iterator[tuple[int, str]]:
    """(line number, line) of each non-blank line after the first `skip` lines; lines end at
    "\n" (a "\r" before it is dropped), as numpy's parser splits them."""
    start, number = 0, 0
    while start < len(text):
        end = text.find("\n", start)
        end = len(text) if end < 0 else end
        number += 1
        line = text[start:end]
        if number > skip and line.strip():
            yield number, line.rstrip("\r")
        start = end + 1


def line_numbers(text: str, skip: int) -> list[int]:
    """The file line of each data row."""
    return [number for number, _ in data_lines(text, skip)]


def line_of_row(text: str, skip: int) -> LineOf:
    """A function from data row to file line, for messages; the lines are counted only when it
    is called."""
    return lambda row: line_numbers(text, skip)[row]


def numeric_table(
    source: object,
    text: str,
    *,
    delimiter: str | None = None,
    skip: int = 0,
    columns: int | None = None,
    usecols: Sequence[int] | None = None,
) -> Floats:
    """The rows after the first `skip` lines as a float64 array (rows, columns); blank lines are
    left out. Every row must have the same number of cells (`columns`, when given), each a
    finite number; with `usecols`, only those columns are read and need to be numbers."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # numpy's "input contained no data"
            values = np.loadtxt(
                io.StringIO(text),
                delimiter=delimiter,
                skiprows=skip,
                comments=None,
                ndmin=2,
                usecols=usecols,
            )
    except ValueError as error:
        locate_bad_cell(source, text, delimiter, skip, columns, usecols)
        raise TraceFormatError(
            source, f"not a numeric table ({quoted(str(error).strip())})"
        ) from None
    if values.size == 0:
        raise TraceFormatError(source, "no data rows")
    ragged = columns is not None and usecols is None and values.shape[1] != columns
    if ragged or usecols is not None or not np.isfinite(values).all():
        locate_bad_cell(source, text, delimiter, skip, columns, usecols)
    return values


def locate_bad_cell(
    source: object,
    text: str,
    delimiter: str | None,
    skip: int,
    columns: int | None = None,
    usecols: Sequence[int] | None = None,
) -> None:
    """Raises TraceFormatError for the first ragged row, or empty, non-numeric or non-finite
    cell (of `usecols` only, when given); returns when it finds none."""
    for number, line in data_lines(text, skip):
        cells = split(line, delimiter)
        if columns is None:
            columns = len(cells)
        if len(cells) != columns:
            raise TraceFormatError(
                source, f"ragged row: {len(cells)} cells, expected {columns}", number
            )
        for position, cell in enumerate(cells, start=1):
            if usecols is not None and position - 1 not in usecols:
                continue
            try:
                value = float(cell)
            except ValueError:
                value = None
            if value is None or "_" in cell:
                what = (
                    "empty cell" if not cell.strip() else f"non-numeric cell {quoted(cell.strip())}"
                )
                raise TraceFormatError(source, f"{what} in column {position}", number)
            if not np.isfinite(value):
                raise TraceFormatError(
                    source, f"non-finite value {quoted(cell.strip())} in column {position}", number
                )
