"""Writing traces: lumetra's single-channel trace files and kinSoft ASCII files.

Each file is written whole to a temporary file beside it and then moved over its name, so a
reader never sees half of one. Numbers are written with the shortest text that reads back to
the same float64, so a file read back holds exactly the values written (kinSoft's E column
excepted, which the format gives to three decimals).
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from pathlib import Path
from typing import TYPE_CHECKING, SupportsFloat

from lumetra.atomic import write_text
from lumetra.io import kinsoft, single_channel
from lumetra.io._trace import Trace, two_colour_channels
from lumetra.io.fret import Corrections, signal

if TYPE_CHECKING:
    from typing_extensions import Unpack


def _rows(*columns: Iterable[SupportsFloat]) -> str:
    return "".join("\t".join(map(repr, map(float, row))) + "\n" for row in zip(*columns))


def write_single_channel(
    path: str | os.PathLike[str],
    trace: Trace,
    kind: str | None = None,
    **corrections: Unpack[Corrections],
) -> Path:
    """A trace file lumetraTrace.loadData reads: ``Frame/10`` = the time axis, ``CH1-BGND1`` =
    signal(trace, kind, **corrections), tab-separated. Returns the path."""
    values = signal(trace, kind, **corrections)
    header = f"{single_channel.TIME}\t{single_channel.INTENSITY}\n"
    return write_text(path, header + _rows(trace.time, values))


def write_kinsoft(path: str | os.PathLike[str], trace: Trace) -> Path:
    """A kinSoft ASCII file of a two-colour trace with the acceptor-excitation channel: time,
    Idd, Ida, Iaa and E = Ida / (Idd + Ida) to three decimals. Returns the path."""
    if not trace.two_colour or trace.acceptor_direct is None:
        raise ValueError(
            f"{trace.source}: the kinSoft format needs donor, acceptor and acceptor-excitation "
            "channels"
        )
    donor, acceptor = two_colour_channels(trace)
    efficiency = signal(trace, "fret")
    header = kinsoft.DELIMITER.join(kinsoft.HEADER) + "\n"
    lines = [
        "\t".join((repr(float(t)), repr(float(d)), repr(float(a)), repr(float(aa)), f"{e:+.3f}"))
        for t, d, a, aa, e in zip(trace.time, donor, acceptor, trace.acceptor_direct, efficiency)
    ]
    return write_text(path, header + "\n".join(lines) + "\n")
