"""Fit step trajectories to trace files and print the levels found.

    python -m lumetra summary [--fixed H R T F] [--format F --signal S ...] FILE [FILE ...]

For each trace of each file (any format of lumetra.io; two-colour traces as their FRET
efficiency, cut at photobleaching, as `lumetra fit` reads them): load the trace, search the
four fit parameters by differential evolution (or take them from --fixed), fit with the best
ones, merge neighbouring levels, and print the levels found.
"""

from __future__ import annotations

import argparse
import time
from typing import TYPE_CHECKING

from lumetra.batch import FitRejected, search_parameters, step_fit
from lumetra.batch.config import FitConfig
from lumetra.batch.one_file import NO_TRACES, too_short
from lumetra.batchcore import PARAMETER_NAMES
from lumetra.cli.options import add_fixed, add_signal_options, failure, signal_options, warn
from lumetra.io import single_channel
from lumetra.io.prepare import SignalOptions, TraceData, prepare_file
from lumetra.stepfit import Params, normalise_params

if TYPE_CHECKING:
    from lumetra.lumetraTrace import lumetraTrace

MAX_SEGMENTS_SHOWN = 12


def describe_levels(
    trace: lumetraTrace, partitions: list[list[int]], decimals: int = 0, scale: float = 1.0
) -> str:
    shown = [
        f"{mean / scale:.{decimals}f} [{start}-{end - 1}]"
        for (start, end, _), mean in zip(partitions[:MAX_SEGMENTS_SHOWN], trace.means)
    ]
    more = len(partitions) - len(shown)
    return ", ".join(shown) + (f", ... ({more} more)" if more > 0 else "")


def describe_reading(prepared: TraceData, own: bool) -> str:
    """How a trace of another format than lumetra's own was read, or "" for lumetra's own."""
    if own:
        return ""
    cut = "" if prepared.cut_frame is None else f", cut at frame {prepared.cut_frame}"
    return f" ({prepared.format}, {prepared.signal} of {prepared.frames} frames{cut})"


def summarise_file(path: str, fixed: Params | None, options: SignalOptions | None = None) -> str:
    """The summary of one file, trace by trace: the batch's steps of a fit, each reported."""
    options = options or SignalOptions()
    prepared = prepare_file(path, options)
    if not prepared:
        return f"{path}: {NO_TRACES}; skipped"
    return "\n".join(summarise_trace(one, one.file_label, fixed, options) for one in prepared)


def summarise_trace(
    prepared: TraceData, name: str, fixed: Params | None, options: SignalOptions
) -> str:
    short = too_short(prepared, FitConfig(normalise_params(fixed)).shortest_trace())
    if short is not None:
        return f"{name}: {short}; skipped"
    trace = prepared.trace_object(scaled=True)
    guess = "several levels" if trace.stateNum == 2 else "one level"
    own = prepared.format == single_channel.FORMAT and options.keeps_intensity()
    reading = describe_reading(prepared, own)
    decimals = 0 if own else 3  # intensities in counts; E and the like
    lines = [f"{name}: {len(trace.CH1mBGND1)} frames{reading}, looks like {guess}"]
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
    levels = describe_levels(trace, partitions, decimals, prepared.fit_scale)
    lines.append(f"  levels (mean [frames]): {levels}")
    return "\n".join(lines)


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", help="trace files of any format lumetra reads")
    add_fixed(parser, "fit with these parameters instead of searching them")
    add_signal_options(parser)


def run(args: argparse.Namespace) -> int:
    options = signal_options(args, "summary")
    fixed = None
    if args.fixed is not None:
        half, rratio, thrate, width = args.fixed
        if half < 1:
            raise failure("summary", "HALFWIN must be at least 1")
        # Unlike `lumetra fit`, HALFWIN is truncated and FILTERWIDTH passed as given.
        fixed = dict(zip(PARAMETER_NAMES, (int(half), rratio, thrate, width)))
    status = 0
    for path in args.files:
        try:
            print(summarise_file(path, fixed, options))
        except (OSError, ValueError) as error:  # a file that cannot be read: the others go on
            warn("summary", f"{path}: {type(error).__name__}: {error}")
            status = 1
    return status
