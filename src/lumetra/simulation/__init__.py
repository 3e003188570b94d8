"""Simulated trace files with their ground truth.

- lumetra.simulation.traces: single-channel traces of a kinetic scheme (simulate_traces);
- lumetra.simulation.experiment: two-colour experiments with alternating excitation, junk and
  artefacts included, each trace and frame labelled (simulate_experiment);
- lumetra.simulation.molecules: one spot's channels and truth (classes, camera, artefacts).
"""

from lumetra.simulation.experiment import class_counts, simulate_experiment
from lumetra.simulation.molecules import CLASSES, JUNK, USABLE, Artefacts, Camera
from lumetra.simulation.traces import noise_sigma, rate_matrix, simulate_traces

__all__ = [
    "CLASSES",
    "JUNK",
    "USABLE",
    "Artefacts",
    "Camera",
    "class_counts",
    "noise_sigma",
    "rate_matrix",
    "simulate_experiment",
    "simulate_traces",
]
