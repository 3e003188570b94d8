"""Convert trace files of any format into single-channel trace files or kinSoft ASCII.

    python -m lumetra convert IN [IN ...] --out DIR [--to trace|kinsoft]
                              [--format F] [--signal S] [--gamma G] ... [--no-cut]

--to trace (the default) writes one file per trace that lumetraTrace.loadData reads: the time
in "Frame/10", the chosen signal (FRET efficiency by default, with the corrections given, cut
at the first photobleaching unless --no-cut) in "CH1-BGND1". --to kinsoft writes the channels
as read, every trace whole. Exit status: 0 when every file was converted, 1 when some failed,
2 when no input file was found.
"""

from __future__ import annotations

import argparse
import sys

from lumetra.batch import expand_inputs
from lumetra.cli.options import add_signal_options, inputs_help, signal_options, warn
from lumetra.io.convert import TARGETS, convert_files


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", help=inputs_help())
    parser.add_argument("--out", required=True, help="output directory")
    parser.add_argument("--to", choices=TARGETS, default="trace", help="format to write")
    add_signal_options(parser)


def run(args: argparse.Namespace) -> int:
    options = signal_options(args, "convert")
    try:
        files = expand_inputs(args.inputs)
    except FileNotFoundError as error:
        warn("convert", str(error))
        return 2
    if not files:
        warn("convert", "no trace files found")
        return 2
    written, failures = convert_files(files, args.out, options, args.to)
    print(f"{len(files) - len(failures)} of {len(files)} file(s) -> {len(written)} trace file(s)")
    for path, reason in failures.items():
        print(f"  {path}: {reason}", file=sys.stderr)
    return 1 if failures else 0
