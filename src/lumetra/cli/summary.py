"""Fit step trajectories to trace files and print the levels found.

    python -m lumetra summary [--fixed H R T F] FILE [FILE ...]

For each file: load the trace, search the four fit parameters by differential evolution (or
take them from --fixed), fit with the best ones, merge neighbouring levels, and print the
levels found.
"""

from __future__ import annotations

import argparse
import time
from typing import TYPE_CHECKING

from lumetra.batch import FitRejected, load_trace, search_parameters, step_fit
from lumetra.batch.types import Params
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.cli.options import add_fixed, failure

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace

MAX_SEGMENTS_SHOWN = 12


def describe_levels(trace: lumetraTrace, partitions: list[list[int]]) -> str:
    shown = [
        f"{mean:.0f} [{start}-{end - 1}]"
        for (start, end, _), mean in zip(partitions[:MAX_SEGMENTS_SHOWN], trace.means)
    ]
    more = len(partitions) - len(shown)
    return ", ".join(shown) + (f", ... ({more} more)" if more > 0 else "")


def fit_file(path: str, fixed: Params | None) -> str:
    """The summary of one file: the batch's steps of a fit, each one reported."""
    trace = load_trace(path)
    guess = "several levels" if trace.stateNum == 2 else "one level"
    lines = [f"{path}: {len(trace.CH1mBGND1)} frames, looks like {guess}"]
    params = fixed
    if params is None:
        start = time.perf_counter()
        params = search_parameters(trace)
        elapsed = time.perf_counter() - start
        lines.append(
            f"  search: {trace.optRes.nfev} fits in {elapsed:.2f} s; best halfWinLen "
            f"{params['halfWinLen']}, rratio {params['rratio']:.3f}, thrate "
            f"{params['thrate']:.3f}, filterWidth {params['filterWidth']}"
        )
    try:
        score = step_fit(trace, params)
    except FitRejected:
        lines.append("  fit rejected: too few partitions for this trace")
        return "\n".join(lines)
    fitted = len(trace.partitions)
    partitions = trace.finalPartitions()
    lines.append(
        f"  fit: score {score:.1f}, {len(trace.newPairs)} candidate transitions, "
        f"{len(trace.pairs3)} accepted; {fitted} segments, {len(partitions)} after merging"
    )
    lines.append(f"  levels (mean [frames]): {describe_levels(trace, partitions)}")
    return "\n".join(lines)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", help="tab-separated trace files")
    add_fixed(parser, "fit with these parameters instead of searching them")


def run(args: argparse.Namespace) -> int:
    fixed = None
    if args.fixed is not None:
        half, rratio, thrate, width = args.fixed
        if half < 1:
            raise failure("summary", "HALFWIN must be at least 1")
        # Unlike `lumetra fit`, HALFWIN is truncated and FILTERWIDTH passed as given.
        fixed = dict(zip(PARAMETER_NAMES, (int(half), rratio, thrate, width)))
    for path in args.files:
        print(fit_file(path, fixed))
    return 0
