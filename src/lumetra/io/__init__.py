"""Reading and writing smFRET trace files, and the signals computed from them.

    from lumetra import io

    traces = io.read_traces("trace_1.txt")          # format told from the content
    traces[0].format                                # "kinsoft"
    e = io.fret_efficiency(traces[0], gamma=1.1, leakage=0.07)
    cut = io.first_bleach(traces[0]).frame          # None: no bleaching

Every reader returns a list of Trace objects (one per molecule in the file). Formats (each
reader's module documents its layout and where it comes from):

- ``kinsoft``: kinSoft challenge ASCII (time, Idd, Ida, Iaa, E), lumetra.io.kinsoft;
- ``hammy``: HaMMy text (time, donor, acceptor), lumetra.io.hammy;
- ``ebfret-stacked``, ``ebfret-unstacked``: ebFRET's raw text files, lumetra.io.ebfret;
- ``spartan``: SPARTAN binary .traces, lumetra.io.spartan;
- ``delimited``: delimited text with caller-named columns, lumetra.io.delimited;
- ``single-channel``: lumetra's own Frame/10, CH1-BGND1 files, lumetra.io.single_channel.

Content that does not fit its format raises TraceFormatError (a ValueError) naming the file,
the line or record, and the value at fault.
"""

from lumetra.io import delimited, ebfret, hammy, kinsoft, single_channel, spartan
from lumetra.io._detect import NUL, detect
from lumetra.io._table import decode
from lumetra.io._trace import Trace, TraceFormatError
from lumetra.io.bleaching import Bleaching, bleach_step, first_bleach
from lumetra.io.fret import estimate_background, fret_efficiency, signal
from lumetra.io.writers import write_kinsoft, write_single_channel

TEXT_READERS = {
    kinsoft.FORMAT: kinsoft.read,
    hammy.FORMAT: hammy.read,
    ebfret.STACKED: ebfret.read_stacked,
    ebfret.UNSTACKED: ebfret.read_unstacked,
    single_channel.FORMAT: single_channel.read,
}
FORMATS = (*TEXT_READERS, spartan.FORMAT, delimited.FORMAT)

__all__ = [
    "FORMATS",
    "Bleaching",
    "Trace",
    "TraceFormatError",
    "bleach_step",
    "detect_format",
    "estimate_background",
    "first_bleach",
    "fret_efficiency",
    "read_traces",
    "signal",
    "write_kinsoft",
    "write_single_channel",
]


def _content(path):
    with open(path, "rb") as f:
        return f.read()


def detect_format(path):
    """The name of the format the file's content is in (see lumetra.io._detect for the rules);
    TraceFormatError when it cannot be told."""
    return detect(str(path), _content(path))


def read_traces(path, format="auto", columns=None, frame_time=None):
    """The traces of one file, as a list of Trace.

    format: a name of FORMATS, or "auto" to tell it from the content ("delimited" when
    `columns` is given). columns: the column spec of the delimited format, e.g.
    "time=0,donor=1,acceptor=2" or {"donor": "Idd", "acceptor": "Ida"}. frame_time: seconds
    per frame for files without a time axis (ebFRET; SPARTAN files that count frames;
    delimited files without a time column); otherwise ignored."""
    source, data = str(path), _content(path)
    text = None if spartan.is_spartan(data) or NUL in data else decode(data)
    if format == "auto":
        format = delimited.FORMAT if columns is not None else detect(source, data, text)
    if format not in FORMATS:
        raise ValueError(f"unknown trace format {format!r}; one of {', '.join(FORMATS)}")
    if format == spartan.FORMAT:
        return spartan.read(source, data, frame_time)
    if text is None:
        what = "SPARTAN .traces content" if spartan.is_spartan(data) else "binary content"
        raise TraceFormatError(
            source, f"{what} (a NUL byte at offset {data.index(NUL)}) in a {format} file"
        )
    if format == delimited.FORMAT:
        if columns is None:
            raise ValueError(
                "the delimited format needs columns=, e.g. 'time=0,donor=1,acceptor=2'"
            )
        return delimited.read(source, text, columns, frame_time)
    return TEXT_READERS[format](source, text, frame_time)
