"""The native parameter search against lmfit's, side by side: time and accuracy.

    .venv/bin/python bench/native_search_bench.py [--jobs 2] [--speed-traces 1000]
                                                  [--only accuracy|speed]

Accuracy: every trace of the simulated sets of bench/accuracy_bench.py (fast, three, slow; 50
traces each) and of kinSoft level 1 is fitted as the hidden Markov model's start fits it
(parameters searched by BIC, the step fit, refineTransitions), once with each engine: lmfit's
search and the native one, each seeded per trace.
Reported per set and engine: transition F1 (within 2 frames, against the simulator's per-frame
states or kinSoft's distinct change frames), the dwell-time rates of the paths grouped into the
true number of states, on kinSoft also the rates of the shared model started from them, and the
search time; a second lmfit search from other seeds gives the spread between two equally good
searches.

Speed: --speed-traces simulated traces of 2,000 frames (three states, SNR 3) searched (the search
alone, by BIC) by each engine on --jobs processes; lmfit's time on fewer traces (--lmfit-traces)
is scaled up.
"""

import argparse
import concurrent.futures
import json
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
from accuracy_bench import SETS  # noqa: E402
from hmm_bench import KINSOFT, f1, step_method  # noqa: E402
from kinsoft_eval import DEFAULT_TRUTH, true_changes  # noqa: E402

from lumetra.hmm.fit import fit_shared_model  # noqa: E402
from lumetra.hmm.inputs import collect_traces, frame_time  # noqa: E402
from lumetra.segments import Segments  # noqa: E402
from lumetra.simulation import simulate_traces  # noqa: E402

# (label, engine, seed offset): a second lmfit search from other seeds shows how far two
# equally good searches differ.
RUNS = (("lmfit", "lmfit", 0), ("native", "native", 0), ("lmfit, other seeds", "lmfit", 1000))


def segments_of(args):
    trace, engine, seed = args
    start = time.perf_counter()
    segments = Segments.from_step_fit(trace.trace_object(), engine, seed)
    return segments, time.perf_counter() - start


def search_of(args):
    from lumetra.stepfit import search_parameters

    trace, engine, seed = args
    return search_parameters(trace.trace_object(), None, "bic", seed, engine)


def fit_all(data, engine, jobs, work=segments_of, offset=0):
    tasks = [(t, engine, offset + n) for n, t in enumerate(data)]
    with concurrent.futures.ProcessPoolExecutor(jobs) as pool:
        done = list(pool.map(work, tasks, chunksize=8))
    return done if work is search_of else ([d[0] for d in done], sum(d[1] for d in done))


def simulated_set(name, out):
    s = SETS[name]
    files = simulate_traces(
        out, 50, s["levels"], s["rates"], 0.2, s["frames"], snr=s["snr"], seed=1
    )
    truths = []
    for path in files:
        state = pd.read_csv(Path(out) / "truth" / (Path(path).stem + ".csv"))["state"]
        truths.append((np.flatnonzero(np.diff(state.to_numpy()) != 0) + 1).tolist())
    rates = np.asarray(s["rates"], float)
    if rates.ndim == 1:
        rates = np.array([[0, rates[0]], [rates[1], 0]])
    return collect_traces(files), truths, len(s["levels"]), rates


def kinsoft_set():
    truth = json.loads(DEFAULT_TRUTH.read_text())["traces"]
    files = sorted((KINSOFT / "traces").glob("*.txt"))
    data = collect_traces(files)
    truths = [true_changes(truth[Path(t.name.split("#")[0]).name], "frames") for t in data]
    return data, truths, 2, np.array([[0, 1.0], [0.666, 0]])


def accuracy(jobs):
    rows = []
    with tempfile.TemporaryDirectory() as out:
        sets = {name: simulated_set(name, Path(out) / name) for name in SETS}
        sets["kinSoft L1"] = kinsoft_set()
        for name, (data, truths, k, true_rates) in sets.items():
            dt = frame_time(data)
            for label, engine, offset in RUNS:
                segments, seconds = fit_all(data, engine, jobs, offset=offset)
                _, paths, rates = step_method(data, segments, k, dt)
                row = {"set": name, "engine": label, "F1": round(f1(paths, truths), 4)}
                for i in range(k):
                    for j in range(k):
                        if i != j and true_rates[i, j] > 0:
                            row[f"dwell k{i}{j} ({true_rates[i, j]:g})"] = round(rates[i, j], 4)
                if name == "kinSoft L1":
                    model = fit_shared_model(data, segments, states=2, bootstrap=0)
                    row["HMM F1"] = round(f1(model.paths, truths), 4)
                    row["HMM k01"] = round(model.rates[0, 1], 4)
                    row["HMM k10"] = round(model.rates[1, 0], 4)
                row["search+fit CPU s"] = round(seconds, 1)
                rows.append(row)
                print(pd.DataFrame([row]).to_string(index=False), flush=True)
    return rows


def speed(jobs, traces, lmfit_traces):
    with tempfile.TemporaryDirectory() as out:
        files = simulate_traces(
            out,
            traces,
            [400, 700, 1000],
            [[0, 0.1, 0.05], [0.1, 0, 0.1], [0.05, 0.1, 0]],
            0.1,
            2000,
            snr=3,
            seed=5,
        )
        data = collect_traces(files)
        for engine, count in (("native", traces), ("lmfit", lmfit_traces)):
            start = time.perf_counter()
            fit_all(data[:count], engine, jobs, search_of)
            wall = time.perf_counter() - start
            whole = wall * traces / count
            scaled = f" (x{traces / count:g}: {whole:.0f} s)" if count < traces else ""
            print(f"{engine}: {count} traces x 2000 frames, {jobs} processes: {wall:.1f} s{scaled}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--speed-traces", type=int, default=1000)
    parser.add_argument("--lmfit-traces", type=int, default=100)
    parser.add_argument("--only", choices=["accuracy", "speed"])
    args = parser.parse_args()
    pd.set_option("display.width", 250)
    if args.only != "accuracy":
        speed(args.jobs, args.speed_traces, args.lmfit_traces)
    if args.only != "speed":
        print(pd.DataFrame(accuracy(args.jobs)).to_string(index=False))


if __name__ == "__main__":
    main()
