"""Writing traces: lumetra's single-channel trace files and kinSoft ASCII files.

Each file is written whole to a temporary file beside it and then moved over its name, so a
reader never sees half of one. Numbers are written with the shortest text that reads back to
the same float64, so a file read back holds exactly the values written (kinSoft's E column
excepted, which the format gives to three decimals).
"""

from lumetra._outputs import write_text
from lumetra.io import kinsoft, single_channel
from lumetra.io.fret import signal


def _rows(*columns):
    return "".join("\t".join(map(repr, map(float, row))) + "\n" for row in zip(*columns))


def write_single_channel(path, trace, kind=None, **corrections):
    """A trace file lumetraTrace.loadData reads: ``Frame/10`` = the time axis, ``CH1-BGND1`` =
    signal(trace, kind, **corrections), tab-separated. Returns the path."""
    values = signal(trace, kind, **corrections)
    header = f"{single_channel.TIME}\t{single_channel.INTENSITY}\n"
    return write_text(path, header + _rows(trace.time, values))


def write_kinsoft(path, trace):
    """A kinSoft ASCII file of a two-colour trace with the acceptor-excitation channel: time,
    Idd, Ida, Iaa and E = Ida / (Idd + Ida) to three decimals. Returns the path."""
    if not trace.two_colour or trace.acceptor_direct is None:
        raise ValueError(
            f"{trace.source}: the kinSoft format needs donor, acceptor and acceptor-excitation "
            "channels"
        )
    efficiency = signal(trace, "fret")
    header = kinsoft.DELIMITER.join(kinsoft.HEADER) + "\n"
    lines = [
        "\t".join((repr(float(t)), repr(float(d)), repr(float(a)), repr(float(aa)), f"{e:+.3f}"))
        for t, d, a, aa, e in zip(
            trace.time, trace.donor, trace.acceptor, trace.acceptor_direct, efficiency
        )
    ]
    return write_text(path, header + "\n".join(lines) + "\n")
