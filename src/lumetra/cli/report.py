"""Write one self-contained HTML report of a batch: methods, inputs, screening, model, figures.

    python -m lumetra report OUT [--out FILE] [--quiet]

OUT is the output directory of `lumetra fit`; the report goes to OUT/report.html unless --out
names another file. It holds a Methods paragraph told from the manifest (version, options,
seeds, traces used, how K was chosen, bootstrap), the inputs with their checksums, the
screening's classes, the shared model (levels, spreads, rates with 95% intervals, relaxation
times, BIC per K), the figures of the results page and the model checks; a batch of the classic
method says what it lacks. The figures are drawn by the plotly.js written into the file: it
opens without a network. Exit status: 0 when the report was written whole, 1 when it was
written with figures that could not be drawn (each says why in its place) or could not be
written at all.
"""

from __future__ import annotations

import argparse

from lumetra.cli.options import failure, warn


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("folder", metavar="OUT", help="output directory of lumetra fit")
    parser.add_argument("--out", metavar="FILE", help="the report's file (default OUT/report.html)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def run(args: argparse.Namespace) -> int:
    from lumetra.results.report import write_report

    try:
        path, report = write_report(args.folder, args.out, progress=not args.quiet)
    except (OSError, ValueError) as error:
        raise failure("report", str(error)) from None
    for problem in report.problems:
        warn("report", problem)
    print(f"report written to {path}")
    return 1 if report.problems else 0
