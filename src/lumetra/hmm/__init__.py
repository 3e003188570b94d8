"""The hidden Markov model shared by the traces of one experiment: its inputs and start from
the step fit (inputs), the fit with its rates and their bootstrap (fit) and the transition
density plot of its paths (plot). Public names: lumetra.kinetics."""
