"""Reading the traces of a file in any of the formats, told from the content or given."""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping, Sequence
from typing import Optional, TypeVar, Union

from lumetra.io import delimited, ebfret, hammy, kinsoft, openfret, single_channel, smd, spartan
from lumetra.io._detect import NUL, SIGNED, binary_format, detect
from lumetra.io._table import decode
from lumetra.io._trace import BadTrace, Trace, TraceFormatError
from lumetra.io.delimited import Column

T = TypeVar("T")
TextReader = Callable[[str, str, Optional[float]], Sequence[Union[Trace, BadTrace]]]
BinaryReader = Callable[[str, bytes, Optional[float]], Sequence[Union[Trace, BadTrace]]]

TEXT_READERS: dict[str, TextReader] = {
    kinsoft.FORMAT: kinsoft.read,
    hammy.FORMAT: hammy.read,
    ebfret.STACKED: ebfret.read_stacked,
    ebfret.UNSTACKED: ebfret.read_unstacked,
    single_channel.FORMAT: single_channel.read,
}
# Formats read from the file's bytes: binary ones, and OpenFRET's JSON (which may be zipped).
BINARY_READERS: dict[str, BinaryReader] = {
    spartan.FORMAT: spartan.read,
    openfret.FORMAT: openfret.read,
    smd.FORMAT: smd.read,
}
FORMATS = (*TEXT_READERS, *BINARY_READERS, delimited.FORMAT)


def file_content(path: str | os.PathLike[str]) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def detect_format(path: str | os.PathLike[str]) -> str:
    """The name of the format the file's content is in (see lumetra.io._detect for the rules);
    TraceFormatError when it cannot be told."""
    return detect(str(path), file_content(path))


def read_traces(
    path: str | os.PathLike[str],
    format: str = "auto",
    columns: str | Mapping[str, Column] | None = None,
    frame_time: float | None = None,
) -> list[Trace]:
    """The traces of one file, as a list of Trace (TraceFormatError for the first that does not
    fit its format, naming it).

    format: a name of FORMATS, or "auto" to tell it from the content ("delimited" when
    `columns` is given). columns: the column spec of the delimited format, e.g.
    "time=0,donor=1,acceptor=2" or {"donor": "Idd", "acceptor": "Ida"}. frame_time: seconds
    per frame for files without a time axis (ebFRET; SMD; SPARTAN files that count frames;
    OpenFRET files without exposure times; delimited files without a time column); otherwise
    ignored."""
    return only_good(read_each(path, format, columns, frame_time))


def only_good(traces: Sequence[T | BadTrace]) -> list[T]:
    """The traces, or the error of the first bad one raised."""
    bad = next((t for t in traces if isinstance(t, BadTrace)), None)
    if bad is not None:
        raise bad.error
    return [t for t in traces if not isinstance(t, BadTrace)]


def read_each(
    path: str | os.PathLike[str],
    format: str = "auto",
    columns: str | Mapping[str, Column] | None = None,
    frame_time: float | None = None,
    content: bytes | None = None,
) -> Sequence[Trace | BadTrace]:
    """As read_traces, but in a file of several traces one that does not fit its format is a
    BadTrace in its place, and the others are read all the same. content: the file's bytes,
    when the caller has read them already."""
    source = str(path)
    data = file_content(path) if content is None else content
    signed = binary_format(data)
    text = None if signed or NUL in data else decode(data)
    if format == "auto":
        format = delimited.FORMAT if columns is not None else detect(source, data, text)
    if format not in FORMATS:
        raise ValueError(f"unknown trace format {format!r}; one of {', '.join(FORMATS)}")
    if format in BINARY_READERS:
        return BINARY_READERS[format](source, data, frame_time)
    if text is None:
        what = f"{SIGNED[signed]} content" if signed else "binary content"
        at = f" (a NUL byte at offset {data.index(NUL)})" if NUL in data else ""
        raise TraceFormatError(source, f"{what}{at} in a {format} file")
    if format == delimited.FORMAT:
        if columns is None:
            raise ValueError(
                "the delimited format needs columns=, e.g. 'time=0,donor=1,acceptor=2'"
            )
        return delimited.read(source, text, columns, frame_time)
    return TEXT_READERS[format](source, text, frame_time)
