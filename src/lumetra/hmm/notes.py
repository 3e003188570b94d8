"""The notes a model carries on how it was made: a bootstrap made otherwise than asked, fits
that stopped at their iteration limit."""

from __future__ import annotations

import pandas as pd

from lumetra.hmm.intervals import LINEAR_CHECKS


def bootstrap_notes(asked: str, made: str) -> list[str]:
    """Why the bootstrap was not made as asked."""
    if asked == made:
        return []
    return [
        "the rate intervals are from refits of every resample: the linearised bootstrap strayed "
        f"from refits of its first {LINEAR_CHECKS} resamples, or the traces do not determine a "
        "parameter of the model"
    ]


def convergence_notes(table: pd.DataFrame, converged: bool) -> list[str]:
    """What the fits that stopped at their iteration limit mean for the result."""
    notes = []
    if not converged:
        notes.append(
            "the model kept did not converge within its iteration limit: its rates and levels "
            "are those of the last iteration"
        )
    stopped = table[~table["converged"].astype(bool) & (table["abandoned"] == "")]
    if len(stopped):
        names = ", ".join(
            f"K={k} {kind} {scheme} {topology}"
            for k, kind, scheme, topology in stopped[
                ["states", "spreads", "states_per_level", "topology"]
            ].itertuples(index=False)
        )
        notes.append(
            f"{len(stopped)} of {len(table)} candidate model(s) did not converge within the "
            f"iteration limit ({names}): their BIC is that of the last iteration"
        )
    return notes
