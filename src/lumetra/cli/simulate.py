"""Simulate trace files of a 2- to 4-state kinetic scheme, with their ground truth.

    python -m lumetra simulate OUT_DIR --levels 600,1000 --rate 0 1 0.15 --rate 1 0 0.22
                               --frame-time 0.2 --frames 1000 (--snr 4 | --noise SIGMA)
                               [--count N] [--shot-noise] [--bleach-rate K] [--seed S]
    python -m lumetra simulate OUT_DIR --experiment --levels 0.25,0.75 --rate 0 1 0.5
                               --rate 1 0 0.3 --frames 600 [--count N] [--junk 0.3]
                               [--brightness PHOTONS] [--brightness-spread S] [--seed S]

States are numbered from 0 in the order of --levels; --rate FROM TO K sets the rate constant
(s^-1) from one state to another, unset ones are 0. --experiment writes two-colour traces with
alternating excitation (levels are FRET efficiencies), blinks, bleaching and a --junk share of
unusable spots, each trace labelled by class (lumetra.simulation.experiment); otherwise
single-channel traces (lumetra.simulation.traces). See those modules for the files.
"""

from __future__ import annotations

import argparse
from dataclasses import replace

import numpy as np
import numpy.typing as npt

from lumetra.cli.options import failure
from lumetra.simulation import Camera, simulate_experiment, simulate_traces
from lumetra.simulation.experiment import DEFAULT_JUNK

# Options of the single-channel simulation that an experiment has no use for.
SINGLE_CHANNEL_ONLY = ("noise", "snr", "shot_noise", "bleach_rate", "bleached_level")


def levels_list(text: str) -> list[float]:
    return [float(v) for v in text.split(",")]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("out", help="output directory")
    parser.add_argument("--count", type=int, default=1, help="number of traces (default 1)")
    parser.add_argument("--levels", type=levels_list, required=True, help="L0,L1[,L2[,L3]]")
    parser.add_argument(
        "--rate",
        nargs=3,
        action="append",
        required=True,
        metavar=("FROM", "TO", "K"),
        help="rate constant in s^-1 from state FROM to state TO (repeat)",
    )
    parser.add_argument("--frame-time", type=float, default=0.1, help="seconds per frame")
    parser.add_argument("--frames", type=int, required=True, help="frames per trace")
    noise = parser.add_mutually_exclusive_group()
    noise.add_argument("--noise", type=float, help="Gaussian noise sigma")
    noise.add_argument("--snr", type=float, help="smallest level gap over the Gaussian sigma")
    parser.add_argument("--shot-noise", action="store_true", help="Poisson photon counts")
    parser.add_argument("--bleach-rate", type=float, default=0.0, help="donor bleaching, s^-1")
    parser.add_argument("--bleached-level", type=float, default=0.0, help="intensity after")
    parser.add_argument("--seed", type=int, default=0)
    experiment = parser.add_argument_group("two-colour experiment")
    experiment.add_argument(
        "--experiment", action="store_true", help="labelled two-colour traces, junk included"
    )
    experiment.add_argument(
        "--junk", type=float, default=DEFAULT_JUNK, help=f"share of junk (default {DEFAULT_JUNK})"
    )
    experiment.add_argument(
        "--brightness",
        type=float,
        default=Camera.brightness,
        help=f"median photons per frame of a molecule (default {Camera.brightness:g})",
    )
    experiment.add_argument(
        "--brightness-spread",
        type=float,
        default=Camera.brightness_spread,
        help="sigma of the log brightness between molecules "
        f"(default {Camera.brightness_spread:g})",
    )


def run(args: argparse.Namespace) -> int:
    n = len(args.levels)
    if not 2 <= n <= 4:
        raise failure("simulate", "--levels needs 2 to 4 values")
    rates = np.zeros((n, n))
    for source, target, value in args.rate:
        i, j = int(source), int(target)
        if not (0 <= i < n and 0 <= j < n) or i == j:
            raise failure("simulate", f"--rate {source} {target}: no such transition")
        rates[i, j] = float(value)
    if args.count < 1 or args.frames < 1:
        raise failure("simulate", "--count and --frames must be at least 1")
    if args.experiment:
        return run_experiment(args, rates)
    try:
        files = simulate_traces(
            args.out,
            args.count,
            args.levels,
            rates,
            args.frame_time,
            args.frames,
            noise=args.noise,
            snr=args.snr,
            shot_noise=args.shot_noise,
            bleach_rate=args.bleach_rate,
            bleached_level=args.bleached_level,
            seed=args.seed,
        )
    except ValueError as error:
        raise failure("simulate", str(error)) from None
    print(f"{len(files)} trace(s) -> {args.out}")
    return 0


def run_experiment(args: argparse.Namespace, rates: npt.NDArray[np.float64]) -> int:
    unused = [name for name in SINGLE_CHANNEL_ONLY if getattr(args, name)]
    if unused:
        flags = ", ".join("--" + name.replace("_", "-") for name in unused)
        raise failure("simulate", f"{flags}: not an option of --experiment")
    camera = replace(Camera(), brightness=args.brightness, brightness_spread=args.brightness_spread)
    try:
        files = simulate_experiment(
            args.out,
            args.count,
            args.levels,
            rates,
            args.frame_time,
            args.frames,
            seed=args.seed,
            junk=args.junk,
            camera=camera,
        )
    except ValueError as error:
        raise failure("simulate", str(error)) from None
    print(f"{len(files)} two-colour trace(s) -> {args.out}")
    return 0
