"""Fit many trace files in parallel and write tables, idealised traces and kinetics.

    python -m lumetra fit DIR_OR_GLOB [...] --out results/ [--jobs N | --scheduler ADDRESS]
                          [--fixed H R T F | --search NAME MIN MAX STEP ...]
                          [--states K] [--max-states N] [--bootstrap B]
                          [--bootstrap-method linearised|refit] [--seed S]
                          [--classic [--criterion xic|bic] [--refine] [--double]]
                          [--shortest T] [--restart] [--search-engine lmfit|native] [--quiet]
                          [--format F] [--columns SPEC] [--signal fret|acceptor|donor|total]
                          [--gamma G] [--leakage A] [--direct D] [--background B] [--no-cut]

Each file is step-fitted (the parameters searched by BIC, the change points refined), and then
one hidden Markov model shared by all traces, started from those fits, gives the states, their
levels and the rate constants with bootstrap intervals (kinetics.csv, hmm_model.json, hmm/,
transition_density.html). --classic gives the dwell-time kinetics of the step fit's levels.

Every trace format of lumetra.io is read (told from the content unless --format says); a file
of several traces gives one output per trace; two-colour traces are fitted as their FRET
efficiency (or --signal), cut at the first photobleaching unless --no-cut. Every trace is
screened (quality.csv: its class, whether it is usable and why, its metrics, its masked frames:
blinks, frames after bleaching, outliers); only usable traces, without their masked frames,
reach the shared model, and --overrides (or OUT/overrides.csv) takes traces in or out. A trace
too short for the step fit, or whose step fit is rejected or fails, is listed in skipped.csv
and still screened and modelled, starting from the states of the others.

A run started again on the same --out takes every file already fitted with the same options
from its record (records/NAME.json) and fits only the rest; --restart fits all again.
The parameter search of each trace is seeded by --seed and the file's checksum: the same
inputs and options give the same outputs. The search runs its differential evolution in C++ on
the core fit (--search-engine native, the default for the step fits that seed the shared model)
or through lmfit (--search-engine lmfit, the default with --classic): the same kind of optimum,
native in a fraction of the time (its parameters differ from lmfit's, as two seeds' do).

Exit status: 0 when every file was fitted and every output written, 1 when some file failed
(see failures.csv) or some output could not be written (see the manifest's output_failures), 2
when no input file was found.
"""

from __future__ import annotations

import argparse
import sys
from collections import Counter
from typing import TYPE_CHECKING

from lumetra.batch import (
    CRITERIA,
    PARAMETER_NAMES,
    HmmSettings,
    expand_inputs,
    fit_traces,
    normalise_params,
)
from lumetra.batch.config import FitConfig, engine_for
from lumetra.batch.lock import OutputBusy
from lumetra.batch.quality import OverrideError
from lumetra.cli.options import (
    add_fixed,
    add_signal_options,
    failure,
    inputs_help,
    signal_options,
    warn,
)
from lumetra.cli.scheme_options import states_per_level, topology
from lumetra.cli.screen_options import add_screen_options, screen_settings
from lumetra.hmm.limits import BOOTSTRAP, BOOTSTRAP_METHODS, MAX_STATES
from lumetra.stepfit import SEARCH_ENGINES

if TYPE_CHECKING:
    from distributed import Client


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("inputs", nargs="+", help=inputs_help())
    parser.add_argument("--out", required=True, help="output directory")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=int, help="worker processes (default: all cores)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on this Dask scheduler")
    add_fixed(parser, "fit every file with these parameters instead of searching them")
    parser.add_argument(
        "--search",
        nargs=4,
        action="append",
        metavar=("NAME", "MIN", "MAX", "STEP"),
        help=f"bounds of the parameter search for one parameter ({', '.join(PARAMETER_NAMES)}); "
        "repeat for several",
    )
    parser.add_argument(
        "--classic",
        action="store_true",
        help="kinetics from the dwell times of the step fit's levels (the search scored by xic, "
        "no refinement) instead of the hidden Markov model shared by all traces",
    )
    parser.add_argument(
        "--criterion",
        choices=CRITERIA,
        help="score of the parameter search: xic, or bic over every frame (default: bic; "
        "xic with --classic)",
    )
    parser.add_argument(
        "--refine",
        action="store_true",
        help="place one or two change points in every transition stretch (refineTransitions; "
        "always without --classic)",
    )
    parser.add_argument(
        "--states",
        type=int,
        help="states of the model (default: chosen by BIC from 1 to --max-states); with "
        "--classic, the states segment levels are grouped into (default 2; 0: no kinetics)",
    )
    parser.add_argument(
        "--states-per-level",
        type=states_per_level,
        help="kinetic states on each FRET level: N (every level) or N,N,... (one per level); "
        "default: chosen by BIC (1 to 3)",
    )
    parser.add_argument(
        "--topology",
        type=topology,
        help="rates that may be non-zero: full, chain, ring, or a CSV file of an S x S 0/1 "
        "matrix (default: chosen by BIC)",
    )
    parser.add_argument(
        "--check-model",
        action="store_true",
        help="simulate the fitted model as the data and fit it again: does the same model come "
        "back? (model_check in hmm_model.json; costs about one more fit)",
    )
    parser.add_argument(
        "--max-states",
        type=int,
        default=MAX_STATES,
        help=f"largest K tried by BIC (default {MAX_STATES})",
    )
    parser.add_argument(
        "--bootstrap",
        type=int,
        default=BOOTSTRAP,
        help=f"resamples of the traces for the rates' 95%% intervals (default {BOOTSTRAP}; "
        "0: none)",
    )
    parser.add_argument(
        "--bootstrap-method",
        choices=BOOTSTRAP_METHODS,
        default=BOOTSTRAP_METHODS[0],
        help="linearised: each resample's model read off the EM map linearised about the fit "
        "(default; checked against refits of its first resamples; on the benchmark sets its "
        "intervals' widths are within 5%% of the refits' on clear states and 0.88-1.42 times "
        "them on short noisy traces of hidden states, in a small share of their time); refit: "
        "each resample fitted",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=0,
        help="seed of the parameter search (with the file's checksum) and of the bootstrap's "
        "resampling (default 0)",
    )
    parser.add_argument(
        "--search-engine",
        choices=SEARCH_ENGINES,
        help="lmfit: optimizeFitness (the default with --classic); native: the same "
        "differential evolution in C++ on the core fit, many times faster (the default for the "
        "step fits that seed the shared model)",
    )
    parser.add_argument("--double", action="store_true", help="also fit two exponentials")
    parser.add_argument(
        "--shortest",
        type=float,
        default=0.0,
        help="leave out dwells shorter than this (time unit) and shift the rest by it",
    )
    parser.add_argument("--no-spreadsheet", action="store_true", help="do not write ideal.xlsx")
    parser.add_argument(
        "--restart",
        action="store_true",
        help="fit every file again, ignoring the records an earlier run left in --out",
    )
    parser.add_argument(
        "--quiet", action="store_true", help="no progress of the stages on standard error"
    )
    add_signal_options(parser)
    add_screen_options(parser)


def run(args: argparse.Namespace) -> int:
    if args.jobs is not None and args.jobs < 1:
        raise failure("fit", "--jobs must be at least 1")
    try:
        files = expand_inputs(args.inputs)
    except FileNotFoundError as error:
        warn("fit", str(error))
        return 2
    if not files:
        warn("fit", "no trace files found")
        return 2
    search = {
        name: (float(low), float(high), float(step)) for name, low, high, step in args.search or []
    }
    if args.seed < 0:
        raise failure("fit", f"--seed must be at least 0, not {args.seed}")
    hmm = None
    if args.classic and args.states is not None and args.states < 0:
        raise failure("fit", f"--states must be at least 0 with --classic, not {args.states}")
    try:
        config = FitConfig(
            normalise_params(args.fixed),
            search,
            args.criterion or ("xic" if args.classic else "bic"),
            args.refine or not args.classic,
            signal_options(args, "fit"),
            args.seed,
            engine_for(args.search_engine, not args.classic),
        )
        if not args.classic:
            hmm = HmmSettings(
                args.states,
                args.max_states,
                args.bootstrap,
                args.seed,
                args.states_per_level,
                args.topology,
                args.check_model,
                args.bootstrap_method,
            )
        screening = screen_settings(args)
    except ValueError as error:
        raise failure("fit", str(error)) from None
    states = 2 if args.states is None else args.states
    client: Client | None = None
    if args.scheduler:
        from distributed import Client  # only for a cluster: a heavy import

        client = Client(args.scheduler)
    try:
        result = fit_traces(
            files,
            args.out,
            jobs=args.jobs,
            states=states,
            double=args.double,
            shortest=args.shortest,
            progress=not args.quiet,
            spreadsheet=not args.no_spreadsheet,
            method="classic" if args.classic else "hmm",
            hmm=hmm,
            restart=args.restart,
            config=config,
            screening=screening,
            overrides=args.overrides,
            client=client,
        )
    except (OSError, OutputBusy, OverrideError) as error:  # the output folder or overrides
        raise failure("fit", str(error)) from None
    finally:
        if client is not None:
            client.close()
    fitted = len({fit.path for fit in result.fits})
    traces = f" ({len(result.fits)} traces)" if len(result.fits) != fitted else ""
    segments = sum(len(fit.starts) for fit in result.fits)  # the table's rows, not read back
    print(f"{fitted} of {len(files)} file(s) fitted{traces}, {segments} segments -> {args.out}")
    formats = Counter(fit.reading.get("format", "?") for fit in result.fits)
    cut = sum(fit.reading.get("cut_frame") is not None for fit in result.fits)
    if formats:
        read = ", ".join(f"{name} x{count}" for name, count in sorted(formats.items()))
        print(f"  read as {read}; {cut} trace(s) cut at photobleaching")
    if result.quality is not None and len(result.quality):
        usable = int(result.quality["usable"].sum())
        kinds = Counter(result.quality["class"])
        shown = ", ".join(f"{kind} x{count}" for kind, count in sorted(kinds.items()))
        print(f"  screening: {usable} of {len(result.quality)} trace(s) usable ({shown})")
    if result.skipped is not None and len(result.skipped):
        print(f"  {len(result.skipped)} trace(s) skipped (see skipped.csv for why)")
    if result.hmm is not None:
        model = result.hmm
        levels = ", ".join(f"{level:.4g}" for level in model.levels)
        bic = ", ".join(f"K={k}: {v:.1f}" for k, v in model.bic.items())
        spreads = ", ".join(f"{spread:.3g}" for spread in model.spreads)
        print(f"  shared model: K = {model.states} (BIC {bic}); levels {levels}; spreads {spreads}")
        if model.states > len(model.fret_levels):
            print(
                f"  kinetic scheme: {'+'.join(map(str, model.states_per_level))} states per "
                f"level, {model.topology} topology"
            )
        for row in model.rate_table.itertuples():
            print(
                f"  k {row.from_state}->{row.to_state} = {row.rate:.4g} "
                f"[{row.rate_lower:.4g}, {row.rate_upper:.4g}] per time unit"
            )
    elif result.kinetics is not None:
        for row in result.kinetics.itertuples():
            rate = getattr(row, "rate", float("nan"))
            print(
                f"  level {row.level:.4g}: {row.dwells} dwells, k = {rate:.4g} "
                f"[{getattr(row, 'rate_lower', float('nan')):.4g}, "
                f"{getattr(row, 'rate_upper', float('nan')):.4g}] per time unit"
            )
    if not result.ok:
        if len(result.failures):
            print(f"{len(result.failures)} file(s) failed:", file=sys.stderr)
        for row in result.failures.itertuples():
            print(f"  {row.file}: {row.error}", file=sys.stderr)
        if result.output_failures:
            print(f"{len(result.output_failures)} output(s) not written:", file=sys.stderr)
        for name, why in result.output_failures.items():
            print(f"  {name}: {why}", file=sys.stderr)
        return 1
    return 0
