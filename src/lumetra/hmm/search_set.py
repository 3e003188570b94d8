"""The traces the candidate models are compared on.

Comparing candidates (every K, spread kind and scheme, lumetra.hmm.select and scheme_search) is
most of the model's work, and BIC decides between them long before 10^5 traces: up to
SEARCH_FRAMES observed frames every trace takes part; beyond, a random subset of whole traces
drawn from the fit's seed, holding at least SEARCH_FRAMES frames. The model kept is then fitted
on from there to all traces, and its intervals, paths and checks are those of all traces.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from lumetra import hmmcore
from lumetra.stepfit import IntArray

SEARCH_FRAMES = 250_000  # observed frames beyond which candidates are compared on a subset


@dataclass(frozen=True)
class SearchSet:
    """The traces (indices, ascending) the candidates are compared on, of `traces` in all."""

    picked: IntArray
    traces: int
    frames: int  # observed frames of the picked traces

    @property
    def everything(self) -> bool:
        return len(self.picked) == self.traces

    def note(self) -> str:
        if self.everything:
            return ""
        return (
            f"the candidate models were compared on {len(self.picked)} of {self.traces} traces "
            f"({self.frames} frames, drawn at random from the seed); the model kept was then "
            "fitted on all traces"
        )

    def on_all(self, model: hmmcore._Model) -> hmmcore._Model:
        """The model of the picked traces as the start of a fit of all of them: the picked
        traces keep their noise scales, the others start from 1."""
        scales = np.asarray(model.get("trace_scales", np.ones(0)), dtype=float)
        if self.everything or len(scales) != len(self.picked):
            return model
        every = np.ones(self.traces)
        every[self.picked] = scales
        return {**model, "trace_scales": every}


def search_set(observed: IntArray, seed: int) -> SearchSet:
    """All traces (`observed`: the non-NaN frames of each) up to SEARCH_FRAMES frames; otherwise
    traces drawn without replacement (from `seed`) until they hold SEARCH_FRAMES."""
    total = int(observed.sum())
    if total <= SEARCH_FRAMES:
        return SearchSet(np.arange(len(observed)), len(observed), total)
    order = np.random.default_rng(seed).permutation(len(observed))
    count = int(np.searchsorted(np.cumsum(observed[order]), SEARCH_FRAMES)) + 1
    picked = np.sort(order[:count])
    return SearchSet(picked, len(observed), int(observed[picked].sum()))
