"""The hidden Markov model shared by the traces of one experiment: its inputs and start from
the step fit (inputs), the fit with its rates and their bootstrap (fit), the transition
density plot of its paths (plot) and the checks of its rates against their dwell times
(checks). Public names: lumetra.kinetics."""
