"""Command line of lumetra.

    python -m lumetra demo [--dir DIR] [--port PORT] [--no-show]
    python -m lumetra summary [--fixed H R T F] FILE [FILE ...]
    python -m lumetra explore [DIR] [--port PORT] [--address ADDRESS] [--no-show]
    python -m lumetra fit DIR_OR_GLOB [...] --out DIR [--jobs N | --scheduler ADDRESS]
    python -m lumetra simulate OUT_DIR --levels L0,L1 --rate 0 1 K01 --rate 1 0 K10 ...
    python -m lumetra convert IN [...] --out DIR [--to trace|kinsoft]
    python -m lumetra report OUT [--out FILE]
    python -m lumetra export OUT --to openfret [--out FILE]

summary, explore, fit and convert read every trace format of lumetra.io (see `--format`).

Each subcommand lives in its own module and offers `add_arguments(parser)` and `run(args)`;
the first line of its docstring is its help.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from lumetra.cli import convert, demo, explore, export, fit, report, simulate, summary
from lumetra.cli.options import Subcommand, package_notes_on_stderr

SUBCOMMANDS: dict[str, Subcommand] = {
    "demo": demo,
    "summary": summary,
    "explore": explore,
    "fit": fit,
    "simulate": simulate,
    "convert": convert,
    "report": report,
    "export": export,
}


def first_line(text: str | None) -> str:
    return (text or "").splitlines()[0]


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="lumetra", description=first_line(__doc__))
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, module in SUBCOMMANDS.items():
        module.add_arguments(commands.add_parser(name, help=first_line(module.__doc__)))
    args = parser.parse_args(argv)
    with package_notes_on_stderr():
        return SUBCOMMANDS[args.command].run(args)
