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
- ``openfret``: OpenFRET datasets (JSON, or zipped JSON), lumetra.io.openfret;
- ``smd``: HDF5 files in tMAVEN's SMD layout, lumetra.io.smd;
- ``delimited``: delimited text with caller-named columns, lumetra.io.delimited;
- ``single-channel``: lumetra's own Frame/10, CH1-BGND1 files, lumetra.io.single_channel.

Content that does not fit its format raises TraceFormatError (a ValueError) naming the file,
the line or record, and the value at fault. What a file says of a trace beyond its frames
(OpenFRET's and SMD's metadata) is in Trace.metadata.
"""

from lumetra.io._trace import BadTrace, Trace, TraceFormatError
from lumetra.io.bleaching import Bleaching, bleach_step, first_bleach
from lumetra.io.fret import estimate_background, fret_efficiency, signal
from lumetra.io.prepare import SignalOptions, TraceData, prepare_file
from lumetra.io.reading import FORMATS, detect_format, read_traces
from lumetra.io.writers import write_kinsoft, write_single_channel

__all__ = [
    "FORMATS",
    "BadTrace",
    "Bleaching",
    "TraceData",
    "SignalOptions",
    "Trace",
    "TraceFormatError",
    "bleach_step",
    "detect_format",
    "estimate_background",
    "first_bleach",
    "fret_efficiency",
    "prepare_file",
    "read_traces",
    "signal",
    "write_kinsoft",
    "write_single_channel",
]
