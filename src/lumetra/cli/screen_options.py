"""The screening's options of `lumetra fit`: one flag per threshold of
lumetra.screening.ScreenSettings (--min-frames, --max-e-noise, ...) and --overrides."""

from __future__ import annotations

import argparse
from dataclasses import fields
from pathlib import Path

from lumetra.batch.quality import OVERRIDES
from lumetra.screening import ScreenSettings


def flag(name: str) -> str:
    return "--" + name.replace("_", "-")


def add_screen_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "screening", "thresholds of the trace classes written to quality.csv"
    )
    for item in fields(ScreenSettings):
        default = item.default
        group.add_argument(
            flag(item.name),
            type=type(default),
            default=default,
            help=f"{item.metadata['help']} (default {default})",
        )
    group.add_argument(
        "--overrides",
        type=Path,
        help=f"CSV of name,usable: traces taken in or left out whatever their class (default: "
        f"OUT/{OVERRIDES} when there is one, as the results page saves it)",
    )


def screen_settings(args: argparse.Namespace) -> ScreenSettings:
    """ValueError for a threshold out of range."""
    names = [item.name for item in fields(ScreenSettings)]
    return ScreenSettings(**{name: getattr(args, name) for name in names})
