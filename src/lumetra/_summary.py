"""Fit step trajectories to trace files and print the levels found.

    python -m lumetra summary [--fixed H R T F] FILE [FILE ...]

For each file: load the trace, search the four fit parameters by differential evolution (or
take them from --fixed), fit with the best ones, merge neighbouring levels, and print the
levels found.
"""

import time

MAX_SEGMENTS_SHOWN = 12


def describe_levels(trace, partitions):
    shown = [
        f"{mean:.0f} [{start}-{end - 1}]"
        for (start, end, _), mean in zip(partitions[:MAX_SEGMENTS_SHOWN], trace.means)
    ]
    more = len(partitions) - len(shown)
    return ", ".join(shown) + (f", ... ({more} more)" if more > 0 else "")


def fit_file(path, fixed):
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.loadData(path)
    guess = "several levels" if trace.stateNum == 2 else "one level"
    lines = [f"{path}: {len(trace.CH1mBGND1)} frames, looks like {guess}"]
    if fixed is None:
        start = time.perf_counter()
        trace.optimizeFitness()
        elapsed = time.perf_counter() - start
        best = trace.optRes.params.valuesdict()
        fixed = (
            round(best["halfWinLen"]),
            best["rratio"],
            best["thrate"],
            round(best["filterWidth"]),
        )
        lines.append(
            f"  search: {trace.optRes.nfev} fits in {elapsed:.2f} s; best halfWinLen {fixed[0]}, "
            f"rratio {fixed[1]:.3f}, thrate {fixed[2]:.3f}, filterWidth {fixed[3]}"
        )
    score = trace.fitTrajectory(*fixed)
    fitted = len(trace.partitions)
    if score == 9999999999:
        lines.append("  fit rejected: too few partitions for this trace")
        return "\n".join(lines)
    partitions = trace.finalPartitions()
    lines.append(
        f"  fit: score {score:.1f}, {len(trace.newPairs)} candidate transitions, "
        f"{len(trace.pairs3)} accepted; {fitted} segments, {len(partitions)} after merging"
    )
    lines.append(f"  levels (mean [frames]): {describe_levels(trace, partitions)}")
    return "\n".join(lines)


def add_arguments(parser):
    parser.add_argument("files", nargs="+", help="tab-separated trace files")
    parser.add_argument(
        "--fixed",
        nargs=4,
        type=float,
        metavar=("HALFWIN", "RRATIO", "THRATE", "FILTERWIDTH"),
        help="fit with these parameters instead of searching them",
    )


def run(args):
    fixed = None
    if args.fixed is not None:
        half, rratio, thrate, width = args.fixed
        if half < 1:
            raise SystemExit("lumetra summary: HALFWIN must be at least 1")
        fixed = (int(half), rratio, thrate, width)
    for path in args.files:
        print(fit_file(path, fixed))
    return 0
