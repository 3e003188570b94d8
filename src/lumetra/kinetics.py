"""Rate constants from the dwell times of idealised traces, by their public name: the
functions and their description live in lumetra.batch.kinetics, which the batch outputs use."""

from lumetra.batch.kinetics import (
    collect_dwells,
    dwell_figure,
    dwell_kinetics,
    fit_rates,
    plot_dwell_times,
)

__all__ = ["collect_dwells", "dwell_figure", "dwell_kinetics", "fit_rates", "plot_dwell_times"]
