"""Simulated two-colour experiments: the traces a TIRF movie gives, junk included, each labelled
with its class and, per frame, its blinks and bleaching.

    from lumetra.simulation import simulate_experiment

    simulate_experiment("exp/", count=300, levels=[0.25, 0.75], rates=[0.5, 0.3],
                        frame_time=0.1, frames=600, seed=1)

Writes exp/trace_0001.txt ... (kinSoft ASCII with alternating excitation: time, Idd, Ida, Iaa,
E; lumetra.io.kinsoft), exp/truth/trace_0001.csv (frame, time, state, e_ideal, blink,
bleached), exp/truth_classes.csv (name, class, usable, frames, brightness, blink_frames,
bleached_frames) and exp/truth.json (the settings, the class counts and the package version).

Classes (molecules.CLASSES): usable are `dynamic` (the scheme) and `static` (one state
throughout); junk are `donor_only` (no acceptor), `no_donor`, `aggregate` (two molecules),
`noisy` (hopeless signal-to-noise ratio) and `too_short` (under 10 frames). `junk` is the share
of junk traces, `mix` their classes' relative weights (default: equal), `static_share` the
share of static molecules among the usable ones. Usable traces hold blinks and, near their end,
bleaching steps (molecules.Artefacts); brightness differs between molecules (molecules.Camera).
`state` is -1 where no one molecule's FRET state shows: junk but noisy and too-short traces,
and bleached frames; `e_ideal` is NaN where nothing emits under donor excitation.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import asdict
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

from lumetra import __version__, atomic
from lumetra.io import Trace, write_kinsoft
from lumetra.simulation.molecules import (
    CLASSES,
    JUNK,
    USABLE,
    Artefacts,
    Camera,
    Scheme,
    Spot,
    spot,
)
from lumetra.simulation.traces import rate_matrix

DEFAULT_JUNK = 0.3
DEFAULT_STATIC_SHARE = 0.2


def apportion(total: int, weights: Sequence[float]) -> list[int]:
    """`total` split in proportion to `weights` (largest remainders), summing to `total`."""
    w = np.asarray(weights, dtype=float)
    if w.size == 0 or np.any(w < 0) or w.sum() <= 0:
        raise ValueError("class weights must be >= 0 and not all 0")
    exact = total * w / w.sum()
    counts = np.floor(exact).astype(int)
    order = np.argsort(-(exact - counts), kind="stable")
    counts[order[: total - counts.sum()]] += 1
    return [int(c) for c in counts]


def class_counts(
    count: int, junk: float, mix: Mapping[str, float] | None, static_share: float
) -> dict[str, int]:
    """How many traces of each class an experiment of `count` traces holds."""
    if not 0 <= junk <= 1 or not 0 <= static_share <= 1:
        raise ValueError("the junk share and the static share must lie in [0, 1]")
    weights = dict.fromkeys(JUNK, 1.0) if mix is None else dict(mix)
    unknown = set(weights) - set(JUNK)
    if unknown:
        raise ValueError(f"junk classes {sorted(unknown)}: one of {', '.join(JUNK)}")
    junk_count = round(junk * count)
    usable = apportion(count - junk_count, [1 - static_share, static_share])
    counts = dict(zip(USABLE, usable))
    if junk_count:
        counts.update(zip(weights, apportion(junk_count, list(weights.values()))))
    return {kind: counts.get(kind, 0) for kind in CLASSES}


def truth_frame(s: Spot, frame_time: float) -> pd.DataFrame:
    frames = np.arange(len(s.donor))
    return pd.DataFrame(
        {
            "frame": frames,
            "time": frames * frame_time,
            "state": s.state,
            "e_ideal": s.e_ideal,
            "blink": s.blink.astype(int),
            "bleached": s.bleached.astype(int),
        }
    )


def simulate_experiment(
    out_dir: atomic.PathArg,
    count: int,
    levels: Sequence[float],
    rates: npt.ArrayLike,
    frame_time: float,
    frames: int,
    seed: int = 0,
    junk: float = DEFAULT_JUNK,
    mix: Mapping[str, float] | None = None,
    static_share: float = DEFAULT_STATIC_SHARE,
    camera: Camera | None = None,
    artefacts: Artefacts | None = None,
) -> list[str]:
    """Writes `count` labelled two-colour traces of a `frames`-frame recording and their truth
    to out_dir (levels are FRET efficiencies); returns the list of trace files. The same
    arguments always give the same files."""
    if count < 1 or frames < 1 or frame_time <= 0:
        raise ValueError("count and frames must be at least 1, the frame time > 0")
    camera = camera or Camera()
    artefacts = artefacts or Artefacts()
    levels = [float(v) for v in levels]
    scheme = Scheme(levels, rate_matrix(levels, rates), frame_time)
    counts = class_counts(count, junk, mix, static_share)
    order, *streams = np.random.SeedSequence(seed).spawn(count + 1)
    kinds = np.random.default_rng(order).permutation(
        [kind for kind, n in counts.items() for _ in range(n)]
    )
    out = Path(out_dir)
    width = max(4, len(str(count)))
    files, rows = [], []
    for i, (kind, stream) in enumerate(zip(kinds, streams), start=1):
        name = f"trace_{i:0{width}d}"
        s = spot(str(kind), scheme, frames, camera, artefacts, np.random.default_rng(stream))
        time = np.arange(len(s.donor), dtype=float) * frame_time
        path = out / f"{name}.txt"
        trace = Trace(time=time, donor=s.donor, acceptor=s.acceptor, acceptor_direct=s.direct)
        write_kinsoft(path, trace)
        atomic.write_csv(out / "truth" / f"{name}.csv", truth_frame(s, frame_time))
        files.append(str(path))
        rows.append(
            {
                "name": name,
                "class": s.kind,
                "usable": int(s.usable),
                "frames": len(s.donor),
                "brightness": s.brightness,
                "blink_frames": int(s.blink.sum()),
                "bleached_frames": int(s.bleached.sum()),
            }
        )
    atomic.write_csv(out / "truth_classes.csv", pd.DataFrame(rows))
    settings = {
        "lumetra": __version__,
        "format": "kinsoft",
        "count": count,
        "levels": levels,
        "rates_per_second": scheme.rates.tolist(),
        "frame_time": frame_time,
        "frames": frames,
        "seed": seed,
        "junk": junk,
        "static_share": static_share,
        "classes": counts,
        "camera": asdict(camera),
        "artefacts": asdict(artefacts),
    }
    atomic.write_json(out / "truth.json", settings)
    return files
