"""Server time of the results page (lumetra explore --results): choosing a trace of 5,000 frames
(its step fit and source read, the figure built and handed to the page's Bokeh document), and
the batch-wide figures (transition density, level and dwell-time histograms) of a batch of
10,000 traces. Folders are synthesised by bench/results_folder.py unless given.

    .venv/bin/python bench/results_bench.py [--long DIR] [--batch DIR] [--repeat 20]

Targets: a trace chosen in <= 0.3 s, the batch-wide figures in <= 2 s.
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from results_folder import write_folder  # noqa: E402

from lumetra.cli.results_page import ResultsPage  # noqa: E402
from lumetra.results.folder import load_folder  # noqa: E402

TRACE_TARGET = 0.3
FIGURES_TARGET = 2.0


def attached_page(directory: Path) -> tuple[ResultsPage, float]:
    """The page of one session, its models in a Bokeh document as a served page has them."""
    from bokeh.document import Document

    start = time.perf_counter()
    folder = load_folder(directory)
    loaded = time.perf_counter() - start
    page = ResultsPage(folder)
    page.layout().get_root(Document())
    return page, loaded


def timed(action, repeat: int) -> list[float]:
    seconds = []
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        seconds.append(time.perf_counter() - start)
    return seconds


def report(what: str, seconds: list[float], target: float) -> None:
    worst = max(seconds)
    verdict = "within" if worst <= target else "OVER"
    print(
        f"{what}: median {statistics.median(seconds):.3f} s, max {worst:.3f} s "
        f"({len(seconds)} runs; {verdict} the target {target} s)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--long", type=Path, help="results folder of 5,000-frame traces")
    parser.add_argument("--batch", type=Path, help="results folder of 10,000 traces")
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        long = args.long or write_folder(Path(scratch) / "long", 20, 5000, sources=True)
        page, _ = attached_page(long)
        names = page.folder.names
        choices = iter(names * (args.repeat + 1))
        first = timed(lambda: page.show_trace(next(choices)), 1)[0]
        print(f"first trace chosen (imports, caches cold): {first:.3f} s")
        seconds = timed(lambda: page.show_trace(next(choices)), args.repeat)
        report(
            f"choose a trace of {len(page.folder.paths[names[0]].time)} frames",
            seconds,
            TRACE_TARGET,
        )

        if args.batch is None:
            print("writing a folder of 10,000 traces ...", flush=True)
        batch = args.batch or write_folder(Path(scratch) / "batch", 10_000, 500, sources=False)
        page, loaded = attached_page(batch)
        print(f"read {len(page.folder.names)} traces in {loaded:.2f} s (once, at start)")
        first = timed(page.draw_batch_figures, 1)[0]
        print(f"batch-wide figures, first draw: {first:.3f} s")
        seconds = timed(page.draw_batch_figures, max(3, args.repeat // 5))
        report(
            f"density plot and histograms of {len(page.folder.names)} traces",
            seconds,
            FIGURES_TARGET,
        )


if __name__ == "__main__":
    main()
