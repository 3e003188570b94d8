"""Simulated trace files with their ground truth, from a kinetic scheme.

    from lumetra.simulation import simulate_traces

    simulate_traces("sim/", count=50, levels=[600, 1000], rates=[[0, 0.15], [0.22, 0]],
                    frame_time=0.2, frames=1000, snr=4, seed=1)

Writes sim/trace_0001.txt ... (the trace files lumetraTrace.loadData and `lumetra fit` read:
Frame/10 = time in seconds, CH1-BGND1 = intensity, Ideal = noiseless intensity),
sim/truth/trace_0001.csv (frame, time, state, ideal; state -1 once the donor bleached),
sim/truth_dwells.csv (every visit: file, state, level, start, duration, censored) and
sim/truth.json (the settings and the package version).
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra import __version__, atomic, batchcore


def rate_matrix(levels: Sequence[float], rates: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """rates as a square matrix with one row per level; accepts a matrix or, for two states,
    the pair (rate 0 -> 1, rate 1 -> 0)."""
    n = len(levels)
    matrix = np.asarray(rates, dtype=float)
    if n == 2 and matrix.shape == (2,):
        matrix = np.array([[0.0, matrix[0]], [matrix[1], 0.0]])
    if matrix.shape != (n, n):
        raise ValueError(f"rates must be a {n} x {n} matrix for {n} levels")
    return matrix


def noise_sigma(
    levels: Sequence[float], noise: float | None = None, snr: float | None = None
) -> float:
    """Gaussian sigma: given directly, or as the smallest gap between levels over `snr`."""
    if snr is not None:
        if noise is not None:
            raise ValueError("give the noise or the signal-to-noise ratio, not both")
        if snr <= 0:
            raise ValueError("the signal-to-noise ratio must be > 0")
        return float(np.min(np.diff(np.sort(np.asarray(levels, dtype=float))))) / snr
    return 0.0 if noise is None else float(noise)


def simulate_traces(
    out_dir: atomic.PathArg,
    count: int,
    levels: Sequence[float],
    rates: npt.ArrayLike,
    frame_time: float,
    frames: int,
    noise: float | None = None,
    snr: float | None = None,
    shot_noise: bool = False,
    bleach_rate: float = 0.0,
    bleached_level: float = 0.0,
    seed: int = 0,
) -> list[str]:
    """Writes `count` simulated traces and their truth to out_dir; returns the list of trace
    files. The same arguments always give the same files."""
    out = Path(out_dir)
    levels = [float(v) for v in levels]
    matrix = rate_matrix(levels, rates)
    sigma = noise_sigma(levels, noise, snr)
    seeds = np.random.SeedSequence(seed).generate_state(count, dtype=np.uint64)
    width = max(4, len(str(count)))
    files, visits = [], []
    for i, trace_seed in enumerate(seeds, start=1):
        name = f"trace_{i:0{width}d}"
        t = batchcore.simulate_kinetics(
            levels,
            matrix,
            frame_time,
            frames,
            shot_noise=shot_noise,
            gaussian_sigma=sigma,
            bleach_rate=bleach_rate,
            bleached_level=bleached_level,
            seed=int(trace_seed),
        )
        path = out / f"{name}.txt"
        atomic.write_text(path, batchcore.format_trace(t["time"], t["intensity"], t["ideal"]))
        truth = pd.DataFrame(
            {
                "frame": np.arange(frames),
                "time": t["time"],
                "state": t["state"],
                "ideal": t["ideal"],
            }
        )
        atomic.write_csv(out / "truth" / f"{name}.csv", truth)
        dwells = pd.DataFrame(t["dwells"])
        dwells.insert(0, "file", path.name)
        dwells.insert(2, "level", np.asarray(levels)[dwells["state"].to_numpy()])
        visits.append(dwells)
        files.append(str(path))
    atomic.write_csv(out / "truth_dwells.csv", pd.concat(visits, ignore_index=True))
    settings = {
        "lumetra": __version__,
        "count": count,
        "levels": levels,
        "rates_per_second": matrix.tolist(),
        "frame_time": frame_time,
        "frames": frames,
        "gaussian_sigma": sigma,
        "snr": snr,
        "shot_noise": shot_noise,
        "bleach_rate": bleach_rate,
        "bleached_level": bleached_level,
        "seed": seed,
    }
    atomic.write_json(out / "truth.json", settings)
    return files
