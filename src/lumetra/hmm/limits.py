"""The settings the shared model takes, and the number of states its data can carry.

A K-state model has p(K) free parameters: K - 1 start probabilities, K (K - 1) transition
probabilities, K levels and one spread (K of them without a shared spread), so K^2 + K with a
shared spread. The traces carry a K-state model when

  - they hold at least FRAMES_PER_PARAMETER frames (not NaN) per free parameter, and
  - when the model starts from the step fit, its level changes over all traces are at least
    the K (K - 1) transition probabilities: each is estimated from the changes between two
    states, so a scheme with more of them than changes seen is not determined by the data.

A larger K is not determined by the traces: Baum-Welch then shares their frames among states
that copy one another (identical levels), the transition matrix may have no rate matrix behind
it (every rate NaN), and each K costs time in K^2 per frame. A K asked for (`states`) that the
data do not carry is refused; a range (`max_states`) is cut to the largest K they carry, with a
note saying so.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from lumetra import hmmcore
from lumetra.segments import Segments
from lumetra.stepfit import check_seed

MAX_STATES = 4  # the largest K the model tries by default
BOOTSTRAP = hmmcore.RESAMPLES  # resamples of the traces for the rate intervals, by default

# How the bootstrap reads each resample's model: "linearised", off the EM map linearised about
# the fit (hmmcore.bootstrap(linearised=True), one E-step per trace and two per parameter), or
# "refit", each resample fitted to convergence.
BOOTSTRAP_METHODS = ("linearised", "refit")

FRAMES_PER_PARAMETER = 10


def check_settings(
    states: int | None,
    max_states: int,
    bootstrap: int,
    seed: int,
    bootstrap_method: str = BOOTSTRAP_METHODS[0],
) -> None:
    """ValueError for a setting no fit can have."""
    if bootstrap_method not in BOOTSTRAP_METHODS:
        raise ValueError(
            f"bootstrap_method must be one of {BOOTSTRAP_METHODS}, not {bootstrap_method!r}"
        )
    if states is not None and states < 1:
        raise ValueError(f"states must be at least 1, not {states}")
    if max_states < 1:
        raise ValueError(f"max_states must be at least 1, not {max_states}")
    if bootstrap < 0:
        raise ValueError(f"bootstrap must be at least 0 (0: no rate intervals), not {bootstrap}")
    check_seed(seed)


@dataclass(frozen=True)
class Support:
    """What the traces hold: frames (not NaN) and, with a step-fit start, its level changes."""

    frames: int
    changes: int | None
    shared_spread: bool

    def parameters(self, states: int) -> int:
        return int(hmmcore.parameter_count(states, self.shared_spread))

    def carries(self, states: int) -> bool:
        enough_frames = FRAMES_PER_PARAMETER * self.parameters(states) <= self.frames
        return enough_frames and (self.changes is None or states * (states - 1) <= self.changes)

    def largest(self, limit: int) -> int:
        """The largest K <= limit the traces carry (0: not even one state); what a K needs
        grows with K."""
        k = 0
        while k < limit and self.carries(k + 1):
            k += 1
        return k

    def reason(self, states: int) -> str:
        """Why a `states`-state model is (not) carried, and the largest K that is."""
        held = f"{self.frames} frames"
        if self.changes is not None:
            held += f" and {self.changes} level changes of the step fit"
        rule = f"at least {FRAMES_PER_PARAMETER} frames per free parameter"
        if self.changes is not None:
            rule += " and a level change per transition probability"
        return (
            f"a model of {plural(states, 'state')} has {self.parameters(states)} free parameters "
            f"({states * (states - 1)} transition probabilities); {held} carry at most "
            f"{plural(self.largest(states), 'state')} ({rule})"
        )


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


def support_of(
    frames: int, segments: Sequence[Segments | None] | None, shared_spread: bool
) -> Support:
    """What `frames` observed frames and the step fits' segments carry."""
    changes = (
        None
        if segments is None
        else sum(max(s.levels.size - 1, 0) for s in segments if s is not None)
    )
    return Support(frames, changes, shared_spread)


def candidate_states(
    states: int | None, max_states: int, support: Support
) -> tuple[list[int], str]:
    """The K to fit and a note when the range was cut; ValueError for a K the data do not
    carry, or when they carry none."""
    if states is not None:
        if not support.carries(states):
            raise ValueError(f"states={states} refused: {support.reason(states)}")
        return [states], ""
    largest = support.largest(max_states)
    if largest < 1:
        raise ValueError(f"too few data for any model: {support.reason(1)}")
    if largest == max_states:
        return list(range(1, max_states + 1)), ""
    note = f"max_states={max_states} cut to {largest}: {support.reason(max_states)}"
    return list(range(1, largest + 1)), note
