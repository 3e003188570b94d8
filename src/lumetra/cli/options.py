"""What the subcommands share: their interface, the --fixed option and the form of their
messages."""

from __future__ import annotations

import argparse
import sys
from typing import Protocol

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
