"""Rate constants by their public name: from the dwell times of idealised traces (described in
lumetra.batch.kinetics, which the batch outputs use) and from the hidden Markov model shared
by many traces (lumetra.hmm.fit, its transition density plot lumetra.hmm.plot)."""

from lumetra.batch.kinetics import (
    collect_dwells,
    dwell_figure,
    dwell_kinetics,
    fit_rates,
    plot_dwell_times,
)
from lumetra.hmm.fit import HmmResult, fit_hmm
from lumetra.hmm.plot import transition_density_figure

__all__ = [
    "HmmResult",
    "collect_dwells",
    "dwell_figure",
    "dwell_kinetics",
    "fit_hmm",
    "fit_rates",
    "plot_dwell_times",
    "transition_density_figure",
]
