"""How well `lumetra fit` tells usable traces from junk, masks blinks and recovers the rates, on a
simulated two-colour experiment with known classes (lumetra.simulation.experiment).

    .venv/bin/python bench/screening_benchmark.py [--count 300] [--junk 0.3] [--seed 1]
                                                  [--clean] [--work DIR] [--evaluate-only]
                                                  [-- FIT OPTIONS ...]

Simulates --count traces (two states at E 0.25 and 0.75, 0 -> 1 at 0.5 /s, 1 -> 0 at 0.3 /s,
10 frames per second, a 600-frame recording), runs `lumetra fit DATA --out RESULTS` on them as a
user does (default options, or those after `--`), and reads back:

- RESULTS/quality.csv (one row per trace: name, file, class, usable, ...): the confusion matrix
  of true against called classes, usable/unusable accuracy and accuracy per class;
- RESULTS/hmm/NAME.csv (frame, ..., masked): the share of true blink frames masked;
- RESULTS/kinetics.csv and hmm_model.json: the rates against the truth (relative error), each
  true state matched to the model level nearest its apparent E;
- failures.csv and skipped.csv: what the batch refused, per true class.

An output or column the batch does not write (yet) is reported as "not available". --clean
simulates no junk and molecules all of the same brightness (blinks and bleaching steps stay):
no trace of it should be called unusable. --work keeps the data and results there;
--evaluate-only reads an earlier run of --work again.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from dataclasses import replace
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra.simulation import CLASSES, Camera, simulate_experiment

LEVELS = [0.25, 0.75]
RATES = [[0.0, 0.5], [0.3, 0.0]]  # per second
FRAME_TIME = 0.1
FRAMES = 600
NOT_AVAILABLE = "not available"


def read_table(path, **options):
    """A CSV output, or None when the batch did not write it."""
    return pd.read_csv(path, comment="#", **options) if path.is_file() else None


def simulate(data, args):
    camera = Camera()
    if args.clean:
        camera = replace(camera, brightness_spread=0.0)
    junk = 0.0 if args.clean else args.junk
    started = time.perf_counter()
    simulate_experiment(
        data,
        args.count,
        LEVELS,
        RATES,
        FRAME_TIME,
        FRAMES,
        seed=args.seed,
        junk=junk,
        static_share=args.static_share,
        camera=camera,
    )
    print(f"simulated {args.count} traces (junk {junk:g}) in {time.perf_counter() - started:.1f} s")


def fit(data, results, options):
    command = [sys.executable, "-m", "lumetra", "fit", str(data), "--out", str(results), *options]
    print("$", " ".join(command))
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    print(f"exit status {done.returncode} after {time.perf_counter() - started:.0f} s")
    for line in done.stderr.splitlines()[-8:]:
        print("  " + line[:160])


def batch_outcome(truth, results):
    """Per true trace: fitted, skipped, refused by the reader or failed in the fit."""
    outcome = pd.Series("fitted", index=truth.index)
    skipped = read_table(results / "skipped.csv")
    failures = read_table(results / "failures.csv")
    if skipped is not None:
        outcome[outcome.index.isin(skipped["file"].map(lambda f: Path(f).stem))] = "skipped"
    if failures is not None:
        stems = failures["file"].map(lambda f: Path(f).stem)
        reader = failures["error"].str.startswith("TraceFormatError")
        outcome[outcome.index.isin(stems[reader])] = "refused (reader)"
        outcome[outcome.index.isin(stems[~reader])] = "failed (fit)"
    return outcome


def print_table(title, table):
    print(f"\n{title}")
    print(table.to_string())


def is_true(value):
    """A usable flag as a CSV file gives it back: 1, 1.0, True or "true"; missing is False."""
    if isinstance(value, str):
        return value.strip().lower() in ("1", "1.0", "true")
    return bool(value == value and value)  # NaN (a trace not in the table) is False


def screening(truth, results):
    """The called class and usability of each true trace, or None without quality.csv."""
    quality = read_table(results / "quality.csv")
    needed = {"file", "class", "usable"}
    if quality is None or not needed <= set(quality.columns):
        what = (
            "quality.csv" if quality is None else f"columns {sorted(needed - set(quality.columns))}"
        )
        print(f"\nscreening: {NOT_AVAILABLE} ({what} missing)")
        return None
    quality = quality.assign(stem=quality["file"].map(lambda f: Path(f).stem)).set_index("stem")
    called = quality.reindex(truth.index)
    called["class"] = called["class"].fillna("(not in quality.csv)")
    usable = called["usable"].map(is_true)
    return called.assign(usable=usable)


def report_screening(truth, called, clean):
    confusion = pd.crosstab(truth["class"], called["class"], margins=True)
    print_table("confusion (rows: true class, columns: called class)", confusion)
    right = truth["usable"].astype(bool) == called["usable"]
    print(f"\nusable/unusable accuracy: {right.mean():.3f} ({right.sum()} of {len(right)})")
    print("accuracy per true class (class called right, usability called right):")
    for kind in CLASSES:
        rows = truth["class"] == kind
        if rows.any():
            exact = (called.loc[rows, "class"] == kind).mean()
            usable = right[rows].mean()
            print(f"  {kind:11s} n={rows.sum():4d}  class {exact:.3f}  usability {usable:.3f}")
    lost = truth["usable"].astype(bool) & ~called["usable"]
    label = "clean traces called unusable" if clean else "usable traces called unusable"
    print(
        f"{label}: {lost.sum()}"
        + (f" ({', '.join(truth.index[lost][:10])} ...)" if lost.any() else "")
    )


def report_masks(truth, data, results, called):
    """Share of true blink (and bleached) frames masked in the model's paths."""
    hmm = results / "hmm"
    if not hmm.is_dir():
        print(f"\nblink masking: {NOT_AVAILABLE} (no hmm/ folder)")
        return
    counts = dict.fromkeys(
        ("blink", "blink_masked", "bleached", "bleached_masked", "dropped", "pathless"), 0
    )
    has_mask = False
    for name in truth.index:
        if called is not None and isinstance(called.get("name", {}).get(name), str):
            name_out = called.at[name, "name"]
        else:
            name_out = name
        frame = read_table(hmm / f"{name_out}.csv")
        true = pd.read_csv(data / "truth" / f"{name}.csv")
        if frame is None:
            counts["pathless"] += int(true["blink"].sum())
            continue
        has_mask = has_mask or "masked" in frame.columns
        seen = true.set_index("frame").reindex(frame["frame"])
        masked = (
            frame["masked"].to_numpy(bool)
            if "masked" in frame.columns
            else np.zeros(len(frame), bool)
        )
        for kind in ("blink", "bleached"):
            hit = seen[kind].to_numpy() == 1
            counts[kind] += int(hit.sum())
            counts[f"{kind}_masked"] += int((hit & masked).sum())
        counts["dropped"] += int(true["blink"].sum() - seen["blink"].sum())
    print(
        f"\ntrue blink frames in the model's paths: {counts['blink']} (and {counts['dropped']} "
        f"cut off with a trace's end, {counts['pathless']} in traces without a path)"
    )
    print(f"true bleached frames in the model's paths: {counts['bleached']}")
    if not has_mask:
        print(f"share masked: {NOT_AVAILABLE} (hmm/NAME.csv has no 'masked' column)")
        return
    for kind in ("blink", "bleached"):
        share = counts[f"{kind}_masked"] / max(counts[kind], 1)
        print(f"share of true {kind} frames masked: {share:.3f}")


def report_rates(results, truth_settings):
    kinetics = read_table(results / "kinetics.csv")
    model_file = results / "hmm_model.json"
    if kinetics is None or not model_file.is_file():
        print(f"\nrates: {NOT_AVAILABLE} (kinetics.csv or hmm_model.json missing)")
        manifest = results / "manifest.json"
        failures = (
            json.loads(manifest.read_text()).get("output_failures") if manifest.is_file() else None
        )
        for output, why in (failures or {}).items():
            print(f"  {output} not written: {str(why)[:200]}")
        return
    levels = np.asarray(json.loads(model_file.read_text())["levels"])
    rates = np.asarray(truth_settings["rates_per_second"])
    leakage = truth_settings["camera"]["leakage"]
    true_levels = np.asarray(truth_settings["levels"])
    apparent = (true_levels + leakage * (1 - true_levels)) / (1 + leakage * (1 - true_levels))
    print(
        f"\nmodel: K = {len(levels)}, levels {np.round(levels, 3).tolist()}; "
        f"truth: apparent E {np.round(apparent, 3).tolist()}"
    )
    # Each model state belongs to the true state whose apparent E is nearest; a true rate is
    # compared with each of its states' total rate into the target's states.
    group = np.array([int(np.argmin(np.abs(apparent - level))) for level in levels])
    model = np.zeros((len(levels), len(levels)))
    for row in kinetics.itertuples():
        model[int(row.from_state), int(row.to_state)] = row.rate
    for i, j in np.argwhere(rates > 0):
        sources = np.flatnonzero(group == i)
        if sources.size == 0 or not np.any(group == j):
            print(f"  {i} -> {j}: true {rates[i, j]:.3f} /s, no model state near both levels")
            continue
        for a in sources:
            found = model[a, group == j].sum()
            error = (found - rates[i, j]) / rates[i, j]
            print(
                f"  {i} -> {j}: true {rates[i, j]:.3f} /s, model state {a} {found:.3f} /s, "
                f"relative error {error:+.3f}"
            )
    if len(levels) != len(apparent):
        print(f"  (K = {len(levels)} against {len(apparent)} true states)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--junk", type=float, default=0.3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--clean", action="store_true", help="no junk, one brightness")
    parser.add_argument(
        "--static-share",
        type=float,
        default=0.2,
        help="share of the good molecules that never change (their own population: 0 to "
        "compare the rates with those of the exchanging molecules alone)",
    )
    parser.add_argument("--work", type=Path, help="keep the data and results here")
    parser.add_argument("--evaluate-only", action="store_true", help="read --work's run again")
    parser.add_argument("fit_options", nargs="*", help="options of lumetra fit, after --")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        work = args.work or Path(scratch)
        data, results = work / "data", work / "results"
        if not args.evaluate_only:
            simulate(data, args)
            fit(data, results, args.fit_options)
        truth = pd.read_csv(data / "truth_classes.csv").set_index("name")
        settings = json.loads((data / "truth.json").read_text())
        outcome = batch_outcome(truth, results)
        print_table(
            "batch outcome per true class", pd.crosstab(truth["class"], outcome, margins=True)
        )
        called = screening(truth, results)
        if called is not None:
            report_screening(truth, called, args.clean)
        report_masks(truth, data, results, called)
        report_rates(results, settings)


if __name__ == "__main__":
    main()
