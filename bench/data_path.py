"""How often a batch opens each of its files, and what one trace's fit costs.

    .venv/bin/python bench/data_path.py [--files 20] [--runs 5] [--trace FILE]

Opens: `lumetra fit` (the shared model, native search) on the first --files kinSoft level-1
traces, every process of the run (the command and its workers) counting its open() calls
through an audit hook; reported per source file, per record, per traces/ and hmm/ file, and
for the other outputs.

Timing: one 2,000-frame two-colour trace (--trace, or a simulated one) fitted as the batch's
workers fit it (fit_source, native search by BIC, refined), --runs times, each stage timed:
reading, building the trace object, the search, the fit and summaries.
"""

import argparse
import collections
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np

KINSOFT = Path(__file__).resolve().parents[2] / "shared/data/kinsoft-training-L1/traces"

HOOK = """
import os, sys
_log = os.environ["LUMETRA_OPEN_LOG"]
def _hook(event, args):
    if event == "open" and isinstance(args[0], str) and not args[0].startswith(_log):
        with open(f"{_log}.{os.getpid()}", "a") as f:
            f.write(f"{args[1]}\\t{args[0]}\\n")
sys.addaudithook(_hook)
"""


def count_opens(files: int) -> None:
    sources = sorted(KINSOFT.glob("*.txt"))[:files]
    with tempfile.TemporaryDirectory() as work:
        hook_dir = Path(work, "hook")
        hook_dir.mkdir()
        (hook_dir / "sitecustomize.py").write_text(textwrap.dedent(HOOK))
        log = Path(work, "opens")
        out = Path(work, "out")
        env = dict(os.environ, PYTHONPATH=str(hook_dir), LUMETRA_OPEN_LOG=str(log))
        command = [sys.executable, "-m", "lumetra", "fit", *map(str, sources), "--out", str(out)]
        command += ["--search-engine", "native", "--bootstrap", "20", "--quiet", "--jobs", "2"]
        subprocess.run(command, env=env, check=True, stdout=subprocess.DEVNULL)
        opened: collections.Counter[str] = collections.Counter()
        for part in Path(work).glob("opens.*"):
            for line in part.read_text().splitlines():
                mode, path = line.split("\t", 1)
                if "r" in mode and "+" not in mode:  # reads only: each output is written once
                    opened[os.path.realpath(path)] += 1
    groups: dict[str, list[int]] = collections.defaultdict(list)
    for source in sources:
        groups["source file"].append(opened.pop(str(source.resolve()), 0))
    for path in list(opened):
        if not path.startswith(str(Path(work).resolve())):
            continue
        relative = Path(path).relative_to(Path(out).resolve())
        kind = (
            f"{relative.parts[0]}/*{relative.suffix}" if len(relative.parts) > 1 else relative.name
        )
        groups[kind].append(opened.pop(path))
    print(f"reads on {len(sources)} kinSoft files (lumetra fit, native search, 2 jobs):")
    for kind, counts in sorted(groups.items()):
        spread = f"{min(counts)}" if min(counts) == max(counts) else f"{min(counts)}-{max(counts)}"
        print(f"  {kind:<20} {len(counts):>3} file(s), opened {spread} time(s) each")


def simulated_trace(path: Path) -> Path:
    rng = np.random.default_rng(1)
    frames = 2000
    efficiency = np.repeat(rng.choice([0.25, 0.75], size=frames // 100), 100)
    total = 1000.0
    acceptor = total * efficiency + rng.normal(0, 60, frames)
    donor = total * (1 - efficiency) + rng.normal(0, 60, frames)
    time_axis = np.arange(frames) * 0.1
    rows = np.column_stack([time_axis, donor, acceptor])  # headerless: hammy's layout
    np.savetxt(path, rows, fmt="%.4f", delimiter="\t")
    return path


def time_one(trace: Path, runs: int) -> None:
    from lumetra.batch import FitConfig, fit_source
    from lumetra.io.prepare import prepare_each

    config = FitConfig(criterion="bic", refine=True, engine="native")
    options = config.reading
    seconds: dict[str, list[float]] = collections.defaultdict(list)
    for _ in range(runs):
        start = time.perf_counter()
        (prepared,) = prepare_each(str(trace), options)
        seconds["read"].append(time.perf_counter() - start)
        start = time.perf_counter()
        prepared.trace_object(scaled=True)
        seconds["trace object"].append(time.perf_counter() - start)
        start = time.perf_counter()
        fit_source(trace, config)
        seconds["whole fit_source"].append(time.perf_counter() - start)
    print(f"one trace ({trace.name}), {runs} runs, median seconds:")
    for stage, values in seconds.items():
        print(f"  {stage:<18} {np.median(values):.4f}  (min {min(values):.4f})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--trace", type=Path)
    args = parser.parse_args()
    count_opens(args.files)
    with tempfile.TemporaryDirectory() as work:
        time_one(args.trace or simulated_trace(Path(work, "trace.txt")), args.runs)


if __name__ == "__main__":
    main()
