"""A `lumetra fit` output folder of a real experiment against the targets for real data.

    .venv/bin/lumetra fit ../shared/data/kinsoft-experimental-2/traces --out /tmp/exp2 --quiet
    .venv/bin/python bench/real_set.py /tmp/exp2 [--states 0.22 0.75 0.89]

Prints the files that failed, the traces of quality.csv by class (and whether every trace of
the batch has its row), the model's K, levels and spreads per state, and the distance of each
published major state to the nearest level (target: within 0.05; spreads 0.03 to 0.15).
"""

import argparse
import json
from pathlib import Path

import numpy as np
import pandas as pd

PUBLISHED = [0.22, 0.75, 0.89]  # a published analysis's major states of the kinSoft real sets


def report(out: Path, published: list[float]) -> None:
    failures = pd.read_csv(out / "failures.csv", comment="#")
    manifest = json.loads((out / "manifest.json").read_text())
    print(f"failed files: {len(failures)}")
    for row in failures.itertuples():
        print(f"  {row.file}: {row.error}")
    quality = out / "quality.csv"
    if quality.exists():
        table = pd.read_csv(quality)
        names = {entry["name"] for entry in manifest["inputs"]}
        print(
            f"quality.csv: {len(table)} rows; every fitted trace has one: "
            f"{names <= set(table.name)}; usable {int(table.usable.sum())}"
        )
        print(table.groupby("class").size().to_string())
        noise = table["trace_noise"].dropna()
        if len(noise):
            print(
                f"per-trace noise scale: median {noise.median():.3f}, "
                f"5-95% {noise.quantile(0.05):.3f}-{noise.quantile(0.95):.3f}"
            )
    else:
        print("quality.csv: not available")
    model = manifest.get("hmm")
    if not model:
        print("no model:", manifest.get("output_failures"))
        return
    levels, spreads = np.array(model["levels"]), np.array(model["spreads"])
    print(
        f"K = {model['states']}; levels {np.round(levels, 3).tolist()}; "
        f"spreads {np.round(spreads, 3).tolist()}"
    )
    print(f"spreads within 0.03-0.15: {bool(np.all((spreads >= 0.03) & (spreads <= 0.15)))}")
    for state in published:
        near = levels[np.argmin(np.abs(levels - state))]
        print(f"  published {state:.2f}: nearest level {near:.3f} (off {abs(near - state):.3f})")
    print(pd.read_csv(out / "kinetics.csv", comment="#").to_string(index=False))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--states", type=float, nargs="+", default=PUBLISHED)
    args = parser.parse_args()
    report(args.out, args.states)


if __name__ == "__main__":
    main()
