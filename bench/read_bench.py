"""How fast lumetra.io reads kinSoft ASCII trace files.

    .venv/bin/python bench/read_bench.py [--traces 10000] [--frames 1000] [--repeat 1]

Writes --traces files of --frames frames in the kinSoft layout (the challenge's own number
formats: %.3f time, %+.3e intensities, %+.3f E) to a temporary directory, then times
lumetra.io.read_traces on every file with the format told from the content, as a user's loop
over a folder would run. Reports the time to write, the time to read (best of --repeat) and
the read rate; the target is 10,000 traces of 1,000 frames in at most 10 s.
"""

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np

from lumetra import io
from lumetra.io import kinsoft

TARGET_SECONDS = 10.0  # for 10,000 traces of 1,000 frames


def write_files(directory, traces, frames, seed=0):
    rng = np.random.default_rng(seed)
    header = kinsoft.DELIMITER.join(kinsoft.HEADER) + "\n"
    time_axis = np.arange(frames) * 0.1
    paths = []
    for n in range(traces):
        efficiency = np.where(rng.random(frames) < 0.5, 0.3, 0.7)
        donor = 10000 * (1 - efficiency) + rng.normal(0, 800, frames)
        acceptor = 10000 * efficiency + rng.normal(0, 800, frames)
        direct = 10000 + rng.normal(0, 800, frames)
        table = np.column_stack([time_axis, donor, acceptor, direct, acceptor / (donor + acceptor)])
        path = directory / f"trace_{n + 1}.txt"
        with open(path, "w") as f:
            f.write(header)
            np.savetxt(f, table, fmt=["%.3f", "%+.3e", "%+.3e", "%+.3e", "%+.3f"], delimiter="\t")
        paths.append(path)
    return paths


def read_all(paths):
    start = time.perf_counter()
    frames = sum(len(io.read_traces(p)[0]) for p in paths)
    return time.perf_counter() - start, frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--traces", type=int, default=10000)
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        start = time.perf_counter()
        paths = write_files(Path(tmp), args.traces, args.frames)
        written = time.perf_counter() - start
        size = sum(p.stat().st_size for p in paths) / 1e6
        print(
            f"wrote {args.traces} files of {args.frames} frames ({size:.0f} MB) in {written:.1f} s"
        )
        best, frames = min(read_all(paths) for _ in range(args.repeat))
        assert frames == args.traces * args.frames
        scaled = best * 10000 * 1000 / (args.traces * args.frames)
        print(
            f"read {args.traces} traces in {best:.2f} s: {args.traces / best:.0f} traces/s, "
            f"{size / best:.0f} MB/s; {scaled:.2f} s per 10,000 x 1,000 frames "
            f"(target {TARGET_SECONDS:.0f} s)"
        )


if __name__ == "__main__":
    main()
