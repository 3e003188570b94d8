"""Kinetic schemes with more states than FRET levels: which states share a level, and which rates
may be non-zero.

A scheme puts n_m >= 1 kinetic states on each FRET level m (states_per_level); the states of
one level share its emission (level and spread), so only their kinetics tell them apart: the time
spent on a level with two states is a sum of two exponentials. States are numbered level by
level. The rates between them are fitted as one rate matrix Q (the transition matrix between
frames exactly exp(Q dt)) with a topology of rates that may be non-zero:

  - "full": every rate;
  - "chain": state i with i - 1 and i + 1 only (level by level, so the last state of a level
    links to the first of the next);
  - "ring": the chain with its two ends linked;
  - a user's S x S 0/1 matrix ("given").

The search starts each scheme near its answer: from the model with one state per level, whose
idealised dwells on a level are fitted with two exponentials (rates l_f > l_s, weights w_f,
w_s); two states a - b on a level that is left only from b have, entered at b, the dwell
distribution of those exponentials when k_out = w_f l_f + w_s l_s, k_ab = l_f l_s / k_out and
k_ba = l_f + l_s - k_ab - k_out.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy.linalg import expm

from lumetra import hmmcore
from lumetra.stepfit import FloatArray, IntArray

TOPOLOGIES = ("full", "chain", "ring")
MAX_PER_LEVEL = 3  # kinetic states per level the search tries at most
MIN_START_RATE = 1e-4  # per frame: a start rate no smaller, so every free rate can grow
EXTRA_LINK = 0.1  # a start's links beyond the chain, as a share of the smallest chain rate
DISTINCT_RATES = 1.5  # two exponentials whose rates differ less than this are one
TopologyArg = str | npt.ArrayLike | None


@dataclass(frozen=True)
class Scheme:
    """States per level, the topology's name and its S x S pattern of free rates."""

    per_level: tuple[int, ...]
    topology: str
    free: IntArray

    @property
    def states(self) -> int:
        return sum(self.per_level)

    @property
    def state_levels(self) -> IntArray:
        return np.repeat(np.arange(len(self.per_level)), self.per_level).astype(np.int64)

    @property
    def label(self) -> str:
        return "+".join(str(n) for n in self.per_level)

    @property
    def free_rates(self) -> int:
        return int(self.free.sum())

    @property
    def simple(self) -> bool:
        """One state per level and every rate free: the plain model."""
        return all(n == 1 for n in self.per_level) and self.topology == "full"


def pattern(name: str, states: int) -> IntArray:
    """The free rates of a named topology over `states` states."""
    index = np.arange(states)
    gap = np.abs(index[:, None] - index[None, :])
    if name not in TOPOLOGIES:
        raise ValueError(f"topology must be one of {TOPOLOGIES} or a matrix, not {name!r}")
    free = gap > 0 if name == "full" else gap == 1
    if name == "ring" and states > 2:
        free |= gap == states - 1
    out: IntArray = free.astype(np.int64)
    return out


def scheme_of(per_level: Sequence[int], topology: TopologyArg) -> Scheme:
    """The scheme of the counts and a topology (a name or an S x S matrix; None: full);
    ValueError for counts below 1 or a matrix of the wrong shape."""
    counts = tuple(int(n) for n in per_level)
    if not counts or min(counts) < 1:
        raise ValueError(f"states per level must be at least 1, not {list(counts)}")
    states = sum(counts)
    if topology is None or isinstance(topology, str):
        name = topology or "full"
        return Scheme(counts, name, pattern(name, states))
    matrix = np.asarray(topology)
    if matrix.shape != (states, states):
        raise ValueError(f"the topology must be a {states} x {states} matrix, not {matrix.shape}")
    free = (matrix != 0).astype(np.int64)
    np.fill_diagonal(free, 0)
    return Scheme(counts, "given", free)


def topologies(per_level: tuple[int, ...], topology: TopologyArg) -> list[Scheme]:
    """The schemes of those counts to try: the given topology, or every named one that differs
    from the others."""
    if topology is not None:
        return [scheme_of(per_level, topology)]
    schemes: list[Scheme] = []
    for name in ("chain", "ring", "full"):
        scheme = scheme_of(per_level, name)
        if not any(np.array_equal(scheme.free, s.free) for s in schemes):
            schemes.append(scheme)
    return schemes


def dwells_per_level(paths: Sequence[IntArray], levels: int) -> list[FloatArray]:
    """The lengths (frames) of every visit to each level, the first and last of each trace left
    out (cut by its ends)."""
    out: list[list[float]] = [[] for _ in range(levels)]
    for path in paths:
        change = np.flatnonzero(np.diff(path)) + 1
        bounds = np.concatenate(([0], change, [len(path)]))
        for start, end in zip(bounds[1:-2], bounds[2:-1]):
            out[int(path[start])].append(float(end - start))
    return [np.asarray(d) for d in out]


def two_exponentials(dwells: FloatArray) -> tuple[float, float, float] | None:
    """(l_f, l_s, w_f) of two exponentials fitted to the dwells by EM, or None for too few
    dwells or rates that do not differ."""
    if len(dwells) < 10:
        return None
    mean = float(np.mean(dwells))
    fast, slow, weight = 3 / mean, 0.5 / mean, 0.5
    for _ in range(200):
        a = weight * fast * np.exp(-fast * dwells)
        b = (1 - weight) * slow * np.exp(-slow * dwells)
        share = a / np.maximum(a + b, 1e-300)
        weight = float(np.clip(np.mean(share), 1e-3, 1 - 1e-3))
        fast = float(np.sum(share) / max(np.sum(share * dwells), 1e-300))
        slow = float(np.sum(1 - share) / max(np.sum((1 - share) * dwells), 1e-300))
    fast, slow, weight = (fast, slow, weight) if fast >= slow else (slow, fast, 1 - weight)
    return (fast, slow, weight) if fast > DISTINCT_RATES * slow else None


def level_rates(model: hmmcore._Model) -> FloatArray:
    """The rate matrix per frame of a one-state-per-level model (the nearest valid one; P - I
    when its transition matrix has no logarithm)."""
    q = hmmcore.rate_matrix(model["transition"], 1.0)
    return model["transition"] - np.eye(len(model["means"])) if q is None else q


def start_rates(scheme: Scheme, parent: FloatArray, dwells: list[FloatArray]) -> FloatArray:
    """Rates per frame to start the scheme from: each level's flux to another shared among the
    links between them, the links within a level at the level's exit rate, and a level of two
    states left from one of them set by its dwells' two exponentials; links beyond the chain
    start small."""
    chain = scheme.free if scheme.topology == "chain" else pattern("chain", scheme.states)
    q = np.zeros((scheme.states, scheme.states))
    level_of = scheme.state_levels
    for m in range(len(scheme.per_level)):
        mine = np.flatnonzero(level_of == m)
        for n in range(len(scheme.per_level)):
            links = [(i, j) for i in mine for j in np.flatnonzero(level_of == n) if chain[i, j]]
            for i, j in links:
                q[i, j] = (-parent[m, m] if m == n else parent[m, n] * len(mine)) / (
                    1 if m == n else len(links)
                )
        split = two_exponentials(dwells[m]) if len(mine) == 2 else None
        leaving = [i for i in mine if any(chain[i, j] for j in np.flatnonzero(level_of != m))]
        if split is not None and len(leaving) == 1:
            fast, slow, weight = split
            out = weight * fast + (1 - weight) * slow
            b = leaving[0]
            a = mine[0] if mine[1] == b else mine[1]
            q[a, b] = fast * slow / out
            q[b, a] = max(fast + slow - q[a, b] - out, MIN_START_RATE)
            others = q[b, level_of != m]
            q[b, level_of != m] = others * out / max(others.sum(), 1e-300)
    smallest = q[chain > 0].min() if (chain > 0).any() else MIN_START_RATE
    q = np.where(scheme.free > 0, np.maximum(q, EXTRA_LINK * smallest), 0.0)
    q = np.where(scheme.free > 0, np.maximum(q, MIN_START_RATE), 0.0)
    np.fill_diagonal(q, -q.sum(axis=1))
    return q


def scheme_start(
    scheme: Scheme, parent: hmmcore._Model, dwells: list[FloatArray]
) -> hmmcore._Model:
    """The start of a scheme from the fitted one-state-per-level model `parent` (levels
    ascending): its levels, spreads, trace scales and outlier term, the start split evenly
    among each level's states, the rates from start_rates."""
    level_of = scheme.state_levels
    counts = np.asarray(scheme.per_level, dtype=float)
    rates = start_rates(scheme, level_rates(parent), dwells)
    model: hmmcore._Model = {
        "means": parent["means"][level_of],
        "spreads": parent["spreads"][level_of],
        "start": (parent["start"] / counts)[level_of],
        "transition": transition_of(rates),
        "state_levels": level_of,
        "rates": rates,
    }
    for key in ("trace_scales", "outlier_share", "outlier_density"):
        if key in parent:
            model[key] = parent[key]
    return model


def transition_of(rates: FloatArray) -> FloatArray:
    """exp(Q) with rows summing to 1."""
    p: FloatArray = np.clip(expm(rates), 0, None)
    out: FloatArray = p / p.sum(axis=1, keepdims=True)
    return out


def state_order(model: hmmcore._Model) -> IntArray:
    """The states level by level (levels ascending), within a level by ascending lifetime
    (1 / -Q[i, i]: the fastest first)."""
    levels = model["state_levels"]
    means = model["means"]
    level_order = np.argsort([means[levels == m][0] for m in range(levels.max() + 1)])
    rank = np.empty_like(level_order)
    rank[level_order] = np.arange(len(level_order))
    lifetime = 1 / np.maximum(-np.diag(model["rates"]), 1e-300)
    return np.lexsort((lifetime, rank[levels])).astype(np.int64)


def reordered(model: hmmcore._Model, order: IntArray) -> hmmcore._Model:
    """The model with its states in `order`, levels renumbered in the order they now appear."""
    out = dict(model)
    for key in ("means", "spreads", "start"):
        out[key] = model[key][order]
    levels = model["state_levels"][order]
    _, first = np.unique(levels, return_index=True)
    renumber = np.empty(levels.max() + 1, dtype=np.int64)
    renumber[levels[np.sort(first)]] = np.arange(len(first))
    out["state_levels"] = renumber[levels]
    for key in ("transition", "rates"):
        out[key] = model[key][np.ix_(order, order)]  # type: ignore[literal-required]
    return out  # type: ignore[return-value]


def reordered_scheme(scheme: Scheme, order: IntArray) -> Scheme:
    """The scheme with its states in `order` (the counts per level stay)."""
    return Scheme(scheme.per_level, scheme.topology, scheme.free[np.ix_(order, order)])
