"""The command-line forms of a kinetic scheme: states per level and the topology of its rates."""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from lumetra.hmm.schemes import TOPOLOGIES


def states_per_level(text: str) -> int | list[int]:
    """N (on every level) or N,N,... (one per level)."""
    try:
        counts = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected N or N,N,... (whole numbers), not {text!r}"
        ) from None
    if min(counts) < 1:
        raise argparse.ArgumentTypeError(f"states per level must be at least 1, not {text!r}")
    return counts[0] if len(counts) == 1 and "," not in text else counts


def topology(text: str) -> str | list[list[int]]:
    """A topology's name, or a CSV file of a square 0/1 matrix (rates that may be non-zero)."""
    if text in TOPOLOGIES:
        return text
    path = Path(text)
    if not path.is_file():
        raise argparse.ArgumentTypeError(
            f"expected one of {', '.join(TOPOLOGIES)} or a CSV file of a 0/1 matrix, not {text!r}"
        )
    try:
        matrix = np.loadtxt(path, delimiter=",", ndmin=2)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{path}: not a matrix of numbers ({error})") from None
    if matrix.shape[0] != matrix.shape[1] or not np.isin(matrix, (0, 1)).all():
        raise argparse.ArgumentTypeError(
            f"{path}: expected a square matrix of 0 and 1, found shape {matrix.shape}"
        )
    return [[int(v) for v in row] for row in matrix]
