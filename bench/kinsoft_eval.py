"""Scores a `lumetra fit` output folder of the kinSoft level-1 traces against their truth.

    .venv/bin/python bench/kinsoft_eval.py results/ [--truth PATH] [--tolerance 2]

Per trace, the idealised levels of traces/NAME.csv (and the shared model's states of hmm/NAME.csv
when the batch fitted one) are put into states by the nearest level of
kinetics.csv (states as the batch grouped them); a transition is a frame whose state differs
from the frame before. It counts as found when a true change frame (`change_frames`, the first
frame whose majority is the new state) lies within the tolerance, each true one matched once.
Three truths are scored: "frames", the distinct change frames (9,086: a dwell shorter than a
frame can put two changes on one frame, and a path that changes state once per frame finds one
change there); "changes", every true change (9,443; the true majority path itself scores F1
0.952 against them); and "majority", the changes of the true per-frame majority path
(`majority_segments`, 8,577), which that path matches exactly. Prints precision, recall, F1, the
levels and the rates of kinetics.csv next to the true ones.
"""

import argparse
import json
from pathlib import Path

import numpy as np
import pandas as pd

DEFAULT_TRUTH = Path(__file__).resolve().parents[2] / "shared/data/kinsoft-training-L1/truth.json"


def source_of(path):
    with open(path) as f:
        for line in f:
            if not line.startswith("#"):
                break
            key, _, value = line[1:].partition(":")
            if key.strip() == "source":
                return Path(value.strip()).name
    raise ValueError(f"{path}: no '# source:' line")


def matched(found, truth, tolerance):
    """How many found frames lie within the tolerance of a true frame, each used once."""
    truth = sorted(truth)
    used = [False] * len(truth)
    hits = 0
    for frame in sorted(found):
        lo = np.searchsorted(truth, frame - tolerance)
        for k in range(lo, len(truth)):
            if truth[k] > frame + tolerance:
                break
            if not used[k]:
                used[k] = True
                hits += 1
                break
    return hits


def states_of(path, levels):
    """The state of every frame of one output trace: the model's own (hmm/), or the nearest
    of `levels` to the step fit's idealised level (traces/)."""
    table = pd.read_csv(path, comment="#")
    if "state" in table:
        return table["state"].to_numpy(int)
    level = table["level"].to_numpy(float)
    return np.abs(level[:, None] - levels[None, :]).argmin(axis=1)


TRUTHS = ("frames", "changes", "majority")


def true_changes(trace, against):
    if against == "frames":
        return sorted(set(trace["change_frames"]))
    if against == "changes":
        return trace["change_frames"]
    return [start for start, _, _ in trace["majority_segments"][1:]]


def evaluate(results, truth_path, tolerance, folder="traces", against="frames"):
    truth = json.loads(Path(truth_path).read_text())["traces"]
    dwell_table = Path(results) / "dwell_kinetics.csv"
    if not dwell_table.exists():
        dwell_table = Path(results) / "kinetics.csv"
    kinetics = pd.read_csv(dwell_table, comment="#")
    levels = np.sort(kinetics["level"].to_numpy(float))
    found_total = true_total = hits = 0
    for path in sorted((Path(results) / folder).glob("*.csv")):
        name = source_of(path)
        found = np.flatnonzero(np.diff(states_of(path, levels))) + 1
        changes = true_changes(truth[name], against)
        found_total += found.size
        true_total += len(changes)
        hits += matched(found.tolist(), changes, tolerance)
    precision = hits / max(found_total, 1)
    recall = hits / max(true_total, 1)
    f1 = 2 * precision * recall / max(precision + recall, 1e-300)
    return {
        "found": found_total,
        "true": true_total,
        "precision": precision,
        "recall": recall,
        "f1": f1,
        "kinetics": kinetics,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="output folder of lumetra fit")
    parser.add_argument("--truth", default=str(DEFAULT_TRUTH))
    parser.add_argument("--tolerance", type=int, default=2, help="frames either side")
    args = parser.parse_args()
    folders = ["traces"] + (["hmm"] if (Path(args.results) / "hmm").is_dir() else [])
    for folder in folders:
        for against in TRUTHS:
            score = evaluate(args.results, args.truth, args.tolerance, folder, against)
            print(
                f"{folder}/ against {against}: {score['found']} found, {score['true']} true; "
                f"precision {score['precision']:.3f}, recall {score['recall']:.3f}, "
                f"F1 {score['f1']:.3f}"
            )
    print("true: levels E 0.30 and 0.70; exit rates 1.0 /s (0.30) and 0.666 /s (0.70)")
    print("dwell-time rates of the step fit:")
    print(score["kinetics"].to_string(index=False))
    if len(folders) > 1:
        print("rates of the shared model (kinetics.csv):")
        print(pd.read_csv(Path(args.results) / "kinetics.csv").to_string(index=False))


if __name__ == "__main__":
    main()
