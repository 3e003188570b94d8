"""Run the whole job on a simulated experiment and serve the explorer and the results page.

    python -m lumetra demo [--dir DIR] [--refit] [--port PORT] [--address ADDRESS] [--no-show]

The experiment (DEMO_TRACES two-colour traces of a two-state molecule, a share of junk among
them, known truth) is simulated on the first run into DIR/traces (by default the demo folder of
the state directory, $XDG_STATE_HOME/lumetra/demo/); `lumetra fit` with the defaults screens
it, fits the step trajectories and the shared model with its rate intervals into DIR/results;
then the explorer (a trace's step fit) and the results page (every trace, the model, its
figures) are served as two tabs of one page. Later runs reuse the traces and the results of
the same package version (--refit fits again). What the page should show is printed with the
truth the traces were simulated from (DIR/truth.json, DIR/truth_classes.csv).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import tempfile
from pathlib import Path

from lumetra import __version__
from lumetra.cli import explore, fit
from lumetra.cli.options import failure

DEMO_TRACES = 60
DEMO_FRAMES = 800
DEMO_FRAME_TIME = 0.1  # seconds
DEMO_LEVELS = (0.25, 0.7)  # FRET efficiencies of the two states
DEMO_RATES = ((0.0, 0.5), (0.3, 0.0))  # s^-1, from row to column
DEMO_JUNK = 0.15
DEMO_SEED = 7
TRUTH_FILE = "truth.json"
# What the simulator writes beside the traces about their truth: kept beside the folder instead,
# so that every file the explorer and the fit see is a trace.
TRUTH_FILES = (TRUTH_FILE, "truth_classes.csv", "truth")
MODEL_FILE = "hmm_model.json"


def default_dir() -> Path:
    return explore.state_dir().parent / "demo"


def simulated(folder: Path) -> Path:
    """The experiment's traces in folder/traces, simulated unless this version made them there.
    Written into a temporary folder first, so an interrupted run leaves no half experiment."""
    from lumetra.simulation import simulate_experiment

    traces, truth = folder / "traces", folder / TRUTH_FILE
    if (
        traces.is_dir()
        and truth.is_file()
        and json.loads(truth.read_text()).get("lumetra") == __version__
    ):
        return traces
    folder.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=".traces-", dir=folder))
    simulate_experiment(
        staging,
        DEMO_TRACES,
        DEMO_LEVELS,
        DEMO_RATES,
        DEMO_FRAME_TIME,
        DEMO_FRAMES,
        seed=DEMO_SEED,
        junk=DEMO_JUNK,
        static_share=0.0,
    )
    shutil.rmtree(traces, ignore_errors=True)
    for name in TRUTH_FILES:
        shutil.rmtree(folder / name, ignore_errors=True)
        if (staging / name).exists():
            os.replace(staging / name, folder / name)
    os.replace(staging, traces)
    print(f"Simulated {DEMO_TRACES} two-colour traces into {traces}", flush=True)
    return traces


def fitted(traces: Path, results: Path, refit: bool) -> None:
    """`lumetra fit` with the defaults, unless results of this version are there already."""
    manifest = results / "manifest.json"
    if not refit and (results / MODEL_FILE).is_file() and manifest.is_file():
        if json.loads(manifest.read_text()).get("lumetra") == __version__:
            return
    print(f"Fitting them with the defaults (lumetra fit {traces} --out {results})", flush=True)
    parser = argparse.ArgumentParser()
    fit.add_arguments(parser)
    code = fit.run(parser.parse_args([str(traces), "--out", str(results), "--restart"]))
    if code != 0 or not (results / MODEL_FILE).is_file():
        raise failure("demo", f"the fit of {traces} made no model (exit status {code})")


def what_to_look_at(folder: Path) -> str:
    truth = json.loads((folder / TRUTH_FILE).read_text())
    levels = ", ".join(f"{v:g}" for v in truth["levels"])
    rates = truth["rates_per_second"]
    junk = sum(n for kind, n in truth["classes"].items() if kind not in ("dynamic", "static"))
    return "\n".join(
        [
            "What to look at:",
            "  Results tab: the table of every trace with its class (junk flagged by the",
            "    screening), the chosen trace's idealised path, the transition density plot,",
            "    the level and dwell-time histograms, and the model: states, rates with",
            "    intervals and BIC per K. Tick traces to refit a selection in place.",
            "  Explorer tab: one trace's step fit; move the fit parameters on the left.",
            f"  Truth: FRET levels {levels}; k 0->1 = {rates[0][1]:g} /s, k 1->0 = "
            f"{rates[1][0]:g} /s; {junk} junk trace(s) of {truth['count']}.",
        ]
    )


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--dir", help="where the traces and results go (default: state dir)")
    parser.add_argument("--refit", action="store_true", help="fit again even if results exist")
    explore.add_serving_options(parser)


def run(args: argparse.Namespace) -> int:
    folder = Path(args.dir).resolve() if args.dir else default_dir()
    traces = simulated(folder)
    results = folder / "results"
    fitted(traces, results, args.refit)
    served = [str(traces), "--results", str(results), "--port", str(args.port)]
    served += ["--address", args.address] + ([] if args.show else ["--no-show"])
    parser = argparse.ArgumentParser()
    explore.add_arguments(parser)
    return explore.run(parser.parse_args(served), note=what_to_look_at(folder))
