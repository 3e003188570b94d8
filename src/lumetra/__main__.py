"""Command line: summarise trace files.

python -m lumetra [--half-window N] FILE [FILE ...]
"""

import argparse
import sys

TOP_PEAKS = 8


def stretches_above(values, threshold):
    """(first, last) window positions of each run of values strictly above threshold."""
    runs, start = [], None
    for i, v in enumerate(values):
        if v > threshold and start is None:
            start = i
        elif not v > threshold and start is not None:
            runs.append((start, i - 1))
            start = None
    if start is not None:
        runs.append((start, len(values) - 1))
    return runs


def summarise(path, half_window):
    from lumetra import dataStatsCalac
    from lumetra.lumetraTrace import lumetraTrace

    trace = lumetraTrace()
    trace.loadData(path)
    windows_len = 2 * half_window + 1
    stream = dataStatsCalac.streamNS(trace.CH1mBGND1, windows_len)
    lines = [f"{path}", f"  frames: {len(trace.CH1mBGND1)}"]
    lines.append(f"  level guess: {'several levels' if trace.stateNum == 2 else 'one level'}")
    if not stream:
        lines.append(f"  shorter than one window of {windows_len} frames: no stream")
        return "\n".join(lines)
    threshold = dataStatsCalac.thNS(stream)
    runs = stretches_above(stream, threshold)
    above = sum(last - first + 1 for first, last in runs)
    lines.append(
        f"  nonstationarity stream (window {windows_len}): threshold {threshold:.3f}, "
        f"{100 * above / len(stream):.1f}% of windows above it in {len(runs)} stretches"
    )
    # the peak of each stretch; window position k is centred on frame k + half_window
    peaks = [max(range(first, last + 1), key=stream.__getitem__) for first, last in runs]
    strongest = sorted(peaks, key=stream.__getitem__, reverse=True)[:TOP_PEAKS]
    if strongest:
        listed = ", ".join(f"frame {k + half_window} ({stream[k]:.1f})" for k in sorted(strongest))
        lines.append(f"  strongest peaks: {listed}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="lumetra", description="Summarise trace files.")
    parser.add_argument("files", nargs="+", help="tab-separated trace files")
    parser.add_argument("--half-window", type=int, default=9, help="half window length")
    args = parser.parse_args(argv)
    if args.half_window < 1:
        parser.error("--half-window must be at least 1")
    for path in args.files:
        print(summarise(path, args.half_window))
    return 0


if __name__ == "__main__":
    sys.exit(main())
