"""Writes a synthetic output directory of `lumetra fit` (shared model) for the results page's
benchmarks: two-state traces (FRET 0.3 and 0.7, k 0->1 = 1, k 1->0 = 0.6 per s, 10 frames per
s), each with its kinSoft source file, step fit (traces/NAME.csv, segments.csv) and model path
(hmm/NAME.csv), hmm_model.json, kinetics.csv and manifest.json, in the layout the batch
writes (lumetra.batch.outputs, lumetra.batch.hmm_stage). The step fit is the true path.
With --crafted the manifest holds entries a hostile folder may hold as well (`craft_entries`).

    .venv/bin/python bench/results_folder.py OUT --traces 10000 --frames 500 [--crafted]
"""

import argparse
import json
import os
import shutil
from pathlib import Path

import numpy as np
import pandas as pd

from lumetra import io
from lumetra.io import Trace

LEVELS = np.array([0.3, 0.7])
SPREAD = 0.07
RATES = (1.0, 0.6)
DT = 0.1
INTENSITY = 8000.0


def two_state_path(rng: np.random.Generator, frames: int) -> np.ndarray:
    stay = np.exp(-np.array(RATES) * DT)
    states = np.empty(frames, dtype=np.int64)
    states[0] = rng.integers(2)
    flips = rng.random(frames)
    for i in range(1, frames):
        prev = states[i - 1]
        states[i] = prev if flips[i] < stay[prev] else 1 - prev
    return states


def csv_text(header: dict, columns: dict) -> str:
    lines = "".join(f"# {k}: {v}\n" for k, v in header.items())
    return lines + pd.DataFrame(columns).to_csv(index=False, lineterminator="\n")


CRAFTED_NAME = "../../leak"  # reaches OUT/../leak.csv


def craft_entries(out: Path, inputs: list[dict]) -> None:
    """The first trace's source made a FIFO (a read waits for a writer forever), the second's
    /dev/zero (a read never ends), and one more trace named to read a path outside OUT."""
    fifo = out / "sources" / "fifo.txt"
    os.mkfifo(fifo)
    inputs[0]["file"] = f"{fifo}#0"
    inputs[1]["file"] = "/dev/zero#0"
    shutil.copy(out / "hmm" / f"{inputs[2]['name']}.csv", out.parent / "leak.csv")
    inputs.append({"file": str(out.parent / "leak.csv"), "name": CRAFTED_NAME, "sha256": ""})


def write_folder(
    out: Path, traces: int, frames: int, sources: bool, seed: int = 0, crafted: bool = False
) -> Path:
    rng = np.random.default_rng(seed)
    for sub in ("traces", "hmm", "sources"):
        (out / sub).mkdir(parents=True, exist_ok=True)
    inputs, segments = [], []
    for n in range(1, traces + 1):
        name = f"trace_{n}"
        source = out / "sources" / f"{name}.txt"
        states = two_state_path(rng, frames)
        levels = LEVELS[states]
        signal = levels + rng.normal(0, SPREAD, frames)
        time = np.arange(frames) * DT
        if sources:
            acceptor = INTENSITY * signal
            io.write_kinsoft(
                source,
                Trace(
                    time=time,
                    donor=INTENSITY - acceptor,
                    acceptor=acceptor,
                    acceptor_direct=np.full(frames, INTENSITY),
                    source=str(source),
                ),
            )
        label = f"{source}#0"
        inputs.append({"file": label, "name": name, "sha256": "", "score": 0.0})
        frame = np.arange(frames)
        (out / "traces" / f"{name}.csv").write_text(
            csv_text(
                {"source": label},
                {"frame": frame, "time": time, "intensity": signal, "level": levels},
            )
        )
        (out / "hmm" / f"{name}.csv").write_text(
            csv_text(
                {"source": label},
                {"frame": frame, "time": time, "signal": signal, "state": states, "level": levels},
            )
        )
        starts = np.concatenate([[0], np.flatnonzero(np.diff(states)) + 1])
        ends = np.concatenate([starts[1:], [frames]]) - 1
        segments.append(
            pd.DataFrame(
                {
                    "file": label,
                    "name": name,
                    "segment": np.arange(len(starts)),
                    "start_frame": starts,
                    "end_frame": ends,
                    "level": levels[starts],
                    "spread": SPREAD,
                    "score": 0.0,
                }
            )
        )
    pd.concat(segments).to_csv(out / "segments.csv", index=False)
    for table, column in (("failures.csv", "error"), ("skipped.csv", "reason")):
        pd.DataFrame(columns=["file", "sha256", column]).to_csv(out / table, index=False)
    rates = pd.DataFrame(
        {
            "from_state": [0, 1],
            "to_state": [1, 0],
            "rate": RATES,
            "rate_lower": [r * 0.95 for r in RATES],
            "rate_upper": [r * 1.05 for r in RATES],
        }
    )
    rates.to_csv(out / "kinetics.csv", index=False)
    stay = np.exp(-np.array(RATES) * DT)
    model = {
        "states": 2,
        "levels": LEVELS.tolist(),
        "spreads": [SPREAD, SPREAD],
        "start": [0.5, 0.5],
        "transition": [[stay[0], 1 - stay[0]], [1 - stay[1], stay[1]]],
        "bic": {"1": 0.0, "2": -1.0, "3": -0.5},
        "frame_time": DT,
        "frames": traces * frames,
        "resamples": 0,
        "seed": 0,
    }
    (out / "hmm_model.json").write_text(json.dumps(model))
    if crafted:
        craft_entries(out, inputs)
    (out / "manifest.json").write_text(json.dumps({"inputs": inputs, "method": "hmm"}))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--traces", type=int, default=100)
    parser.add_argument("--frames", type=int, default=500)
    parser.add_argument("--no-sources", dest="sources", action="store_false")
    parser.add_argument("--crafted", action="store_true", help="add hostile entries as well")
    args = parser.parse_args()
    write_folder(args.out, args.traces, args.frames, args.sources, crafted=args.crafted)


if __name__ == "__main__":
    main()
