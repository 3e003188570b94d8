"""Fit many trace files at once, on local cores or on a Dask cluster.

    from lumetra.batch import fit_traces

    result = fit_traces(["data/*.txt"], "results/", jobs=2)
    result.segments, result.failures, result.kinetics

For every trace file: load it, search the four fit parameters (or take the given ones), fit,
merge indistinguishable neighbours (one_file). The outputs (outputs.OutputWriter) are one
segment table for the batch, one idealised trace per file, the spreadsheet that
`lumetraTrace.transitionStatistics` reads, the failures, and the kinetics of the levels
(kinetics); every file is written atomically (lumetra.atomic).

The idealised trace holds, on every frame, the level of the segment the frame belongs to. The
frames of a transition stretch between two segments are split at its middle: the first half
keeps the level before, the rest takes the level after (lumetra.batchcore.frame_segments).

Two options go beyond that: criterion="bic" searches the parameters by the BIC of each fit over
every frame (optimizeFitness(criterion="bic")), and refine=True takes the segments and levels
from refineTransitions, which places one or two change points inside every transition stretch.

Each file's record (records) lets a batch started again on the same output directory take the
files already fitted from there; each trace's parameter search is seeded by the batch's seed
and the file's checksum, so the outputs do not depend on how the batch ran.

Modules, each importing only those before it: types, inputs, names, lock, pool, kinetics,
one_file, records, spreadsheet, summaries, hmm_stage, outputs, run.
"""

from lumetra.batch.config import FitConfig
from lumetra.batch.inputs import expand_inputs
from lumetra.batch.one_file import fit_file, fit_source, fit_trace
from lumetra.batch.run import fit_traces, run_fits
from lumetra.batch.types import BatchResult, FileFit, HmmSettings, TraceFit
from lumetra.batchcore import CRITERIA, PARAMETER_NAMES
from lumetra.stepfit import (
    FitRejected,
    check_criterion,
    load_trace,
    normalise_params,
    search_arguments,
    search_parameters,
    step_fit,
)

__all__ = [
    "CRITERIA",
    "PARAMETER_NAMES",
    "BatchResult",
    "FileFit",
    "FitConfig",
    "FitRejected",
    "HmmSettings",
    "TraceFit",
    "check_criterion",
    "expand_inputs",
    "fit_file",
    "fit_source",
    "fit_trace",
    "fit_traces",
    "load_trace",
    "normalise_params",
    "run_fits",
    "search_arguments",
    "search_parameters",
    "step_fit",
]
