"""Converting trace files of any format into lumetra's single-channel files or kinSoft ASCII.

    written = convert_file("movie.traces", "converted/", SignalOptions(gamma=1.1))

To "trace": one single-channel file per trace (``Frame/10`` the time axis, ``CH1-BGND1`` the
signal the fit would see: FRET efficiency by default, cut at the first photobleaching unless
the options say otherwise), named after the file, with the trace's index for a file of several.
A file already in that format with the intensity as it stands is copied as it is. To "kinsoft":
the channels as read, every trace whole (the format needs the acceptor-excitation channel).
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

from lumetra.atomic import write_text
from lumetra.io import single_channel
from lumetra.io.prepare import SignalOptions, prepare_file
from lumetra.io.reading import read_traces
from lumetra.io.writers import write_kinsoft

TARGETS = ("trace", "kinsoft")
SUFFIX = ".txt"


@dataclass
class Names:
    """Output names not yet taken in one directory: a repeated name gets _2, _3, ..."""

    taken: set[str] = field(default_factory=set)

    def claim(self, name: str) -> str:
        unique, n = name, 1
        while unique in self.taken:
            n += 1
            unique = f"{name}_{n}"
        self.taken.add(unique)
        return unique


def convert_file(
    path: str | os.PathLike[str],
    out_dir: str | os.PathLike[str],
    options: SignalOptions | None = None,
    to: str = "trace",
    names: Names | None = None,
) -> list[Path]:
    """The files written for one input file (TraceFormatError or ValueError when it cannot be
    converted; nothing is written for it then)."""
    if to not in TARGETS:
        raise ValueError(f"unknown target {to!r}; one of {', '.join(TARGETS)}")
    options = options or SignalOptions()
    names = names or Names()
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    source = str(path)
    if to == "kinsoft":
        traces = read_traces(source, options.format, options.columns, options.frame_time)
        stem = Path(source).stem
        several = len(traces) > 1
        planned = [(t, stem if not several else f"{stem}_{t.index}") for t in traces]
        lacking = [t.index for t, _ in planned if not t.two_colour or t.acceptor_direct is None]
        if lacking:  # the whole file is refused before any of it is written
            raise ValueError(
                f"{source}: trace(s) {lacking[:5]} lack the donor, acceptor or "
                "acceptor-excitation channel the kinSoft format needs"
            )
        return [write_kinsoft(out / (names.claim(n) + SUFFIX), t) for t, n in planned]
    prepared = prepare_file(source, options)
    written = []
    for one in prepared:
        target = out / (names.claim(one.name) + SUFFIX)
        if one.format == single_channel.FORMAT and options.keeps_intensity():  # nothing to convert
            shutil.copyfile(source, target)
            written.append(target)
        else:
            written.append(write_text(target, single_channel.text(one.time, one.values)))
    return written


def convert_files(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    options: SignalOptions | None = None,
    to: str = "trace",
) -> tuple[list[Path], dict[str, str]]:
    """Converts every file; returns (files written, failures by input path with the reason).
    A file that fails does not stop the others."""
    names = Names()
    written: list[Path] = []
    failures: dict[str, str] = {}
    for path in paths:
        try:
            written += convert_file(path, out_dir, options, to, names)
        except (OSError, ValueError) as error:
            failures[str(path)] = f"{type(error).__name__}: {error}"
    return written, failures
