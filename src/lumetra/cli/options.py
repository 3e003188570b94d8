"""What the subcommands share: their interface, the --fixed option, the options of trace files
and signals, and the form of their messages."""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Protocol

if TYPE_CHECKING:
    from lumetra.io.prepare import SignalOptions

FIXED_METAVARS = ("HALFWIN", "RRATIO", "THRATE", "FILTERWIDTH")


class Subcommand(Protocol):
    """A module of lumetra.cli; the first line of its docstring is the subcommand's help."""

    __doc__: str | None

    def add_arguments(self, parser: argparse.ArgumentParser) -> None: ...

    def run(self, args: argparse.Namespace) -> int: ...


def add_fixed(parser: argparse.ArgumentParser, help: str) -> None:
    """--fixed HALFWIN RRATIO THRATE FILTERWIDTH, the four fit parameters as numbers."""
    parser.add_argument("--fixed", nargs=4, type=float, metavar=FIXED_METAVARS, help=help)


def failure(command: str, message: str) -> SystemExit:
    """The exit (status 1) of `lumetra COMMAND` with this message on standard error."""
    return SystemExit(f"lumetra {command}: {message}")


def warn(command: str, message: str) -> None:
    print(f"lumetra {command}: {message}", file=sys.stderr)


class _ToStandardError(logging.Handler):
    """Prints a record as "lumetra: MESSAGE" on the standard error of the moment."""

    def emit(self, record: logging.LogRecord) -> None:
        try:
            print(f"lumetra: {record.getMessage()}", file=sys.stderr)
        except Exception:  # noqa: BLE001 - logging's own report of a handler that failed
            self.handleError(record)


@contextmanager
def package_notes_on_stderr() -> Iterator[None]:
    """For the block: the notes the package logs (INFO and above) as "lumetra: MESSAGE" lines on
    standard error, and there only (the statistics module's root handler writes debug.log)."""
    logger = logging.getLogger("lumetra")
    handler = _ToStandardError(logging.INFO)
    level, propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
        logger.propagate = propagate


def inputs_help() -> str:
    """The help of the trace-file inputs of fit and convert."""
    from lumetra.batch.inputs import TRACE_SUFFIXES

    return f"trace files, directories ({', '.join('*' + s for s in TRACE_SUFFIXES)}) or globs"


def add_signal_options(parser: argparse.ArgumentParser) -> None:
    """How trace files are read and which signal of a two-colour trace is fitted."""
    from lumetra.io import FORMATS
    from lumetra.io.fret import BLEACHED, KINDS

    group = parser.add_argument_group("trace files and signal")
    group.add_argument(
        "--format",
        choices=("auto", *FORMATS),
        default="auto",
        help="format of the trace files (default: told from the content)",
    )
    group.add_argument(
        "--columns",
        metavar="SPEC",
        help="columns of delimited text by position or header name, e.g. "
        "time=0,donor=1,acceptor=2 (implies --format delimited)",
    )
    group.add_argument(
        "--signal",
        choices=KINDS,
        help="signal of two-colour traces to fit (default: fret, E = FA / (gamma FD + FA))",
    )
    group.add_argument("--gamma", type=float, default=1.0, help="detection-efficiency ratio")
    group.add_argument(
        "--leakage", type=float, default=0.0, help="donor leakage into the acceptor channel"
    )
    group.add_argument(
        "--direct", type=float, default=0.0, help="direct acceptor excitation (needs Iaa)"
    )
    group.add_argument(
        "--background",
        metavar="LEVELS",
        help=f"{BLEACHED!r} (each channel's mean after bleaching) or levels per channel, "
        "e.g. donor=120,acceptor=80,acceptor_direct=60 (default: none subtracted)",
    )
    group.add_argument(
        "--no-cut", action="store_true", help="do not cut two-colour traces at photobleaching"
    )
    group.add_argument(
        "--frame-time",
        type=float,
        metavar="SECONDS",
        help="seconds per frame for files without a time axis",
    )


def parse_background(text: str | None) -> str | dict[str, float] | None:
    """--background as lumetra.io.fret takes it; ValueError names what is wrong."""
    from lumetra.io.fret import BLEACHED

    if text is None or text == BLEACHED:
        return text
    channels = ("donor", "acceptor", "acceptor_direct")
    levels: dict[str, float] = {}
    for item in text.split(","):
        name, _, value = item.partition("=")
        name = name.strip()
        if name not in channels or not value.strip():
            raise ValueError(
                f"--background {text!r}: {item!r} is not CHANNEL=LEVEL with CHANNEL one of "
                f"{', '.join(channels)} (or give {BLEACHED!r})"
            )
        try:
            levels[name] = float(value)
        except ValueError:
            raise ValueError(f"--background {text!r}: {value.strip()!r} is not a number") from None
    return levels


def signal_options(args: argparse.Namespace, command: str) -> SignalOptions:
    """The SignalOptions of the command line (exit status 1 with a message when invalid)."""
    from lumetra.io.prepare import SignalOptions

    try:
        background = parse_background(args.background)
    except ValueError as error:
        raise failure(command, str(error)) from None
    if args.gamma <= 0:
        raise failure(command, f"--gamma must be positive, not {args.gamma}")
    if args.frame_time is not None and not args.frame_time > 0:
        raise failure(command, f"--frame-time must be positive, not {args.frame_time}")
    if args.columns is not None:
        from lumetra.io.delimited import parse_columns

        try:
            parse_columns(args.columns)
        except ValueError as error:
            raise failure(command, f"--columns: {error}") from None
    return SignalOptions(
        format=args.format,
        columns=args.columns,
        signal=args.signal,
        gamma=args.gamma,
        leakage=args.leakage,
        direct=args.direct,
        background=background,
        cut=not args.no_cut,
        frame_time=args.frame_time,
    )
