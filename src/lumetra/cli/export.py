"""Export a batch's traces, idealisation and classification to an exchange format (OpenFRET).

    python -m lumetra export OUT --to openfret [--out FILE]

OUT is the output directory of `lumetra fit`. The OpenFRET file (by default OUT/openfret.json; a
name ending in .zip is compressed as the openfret package compresses) holds every trace with an
idealised path: its channels as its source file holds them, and in its metadata the
idealisation and the screening's verdict; the dataset's metadata holds the manifest, the model
and the rates with their intervals (lumetra.results.export). The trace files must be where the
batch read them. Exit status: 0 when written, 1 when not (nothing is written then).
"""

from __future__ import annotations

import argparse

from lumetra.cli.options import failure


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from lumetra.results.export import DEFAULT_NAME, TARGETS

    parser.add_argument("folder", metavar="OUT", help="output directory of lumetra fit")
    parser.add_argument("--to", choices=TARGETS, required=True, help="format to write")
    parser.add_argument(
        "--out", metavar="FILE", help=f"file to write (default: OUT/{DEFAULT_NAME})"
    )


def run(args: argparse.Namespace) -> int:
    from lumetra.results.export import export_openfret

    try:
        written = export_openfret(args.folder, args.out)
    except (OSError, ValueError) as error:
        raise failure("export", str(error)) from None
    print(f"{args.folder} -> {written}")
    return 0
