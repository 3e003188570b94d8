"""What the batch's shared model says of itself, in sentences (Markdown, `**` for emphasis):
the fits that stopped at their iteration limit, and the re-simulation check (hmm_model.json),
for the results page and the report."""

from __future__ import annotations

from typing import Any


def convergence_warning(model: dict[str, Any] | None) -> str | None:
    """A sentence on the shared model's fits that stopped at their iteration limit (None when
    every fit converged or there is no model)."""
    if not model:
        return None
    candidates = model.get("candidates", [])
    stopped = [c for c in candidates if c.get("converged") is False and not c.get("abandoned")]
    parts = []
    if model.get("converged") is False:
        parts.append("the model kept did not converge within its iteration limit")
    if stopped:
        parts.append(f"{len(stopped)} candidate model(s) did not converge (see the BIC table)")
    return f"**Not converged:** {'; '.join(parts)}." if parts else None


def check_summary(check: dict[str, Any]) -> str:
    """The re-simulation check (hmm_model.json: model_check) in a sentence."""
    fitted = check.get("states_per_level", {}).get("fitted")
    again = check.get("states_per_level", {}).get("resimulated")
    topology = check.get("topology", {})
    scheme = f"{fitted} states per level, {topology.get('fitted')}"
    if not check.get("same_configuration"):
        return (
            f"**Re-simulation check:** the model ({scheme}) simulated as the data came back as "
            f"{again} states per level, {topology.get('resimulated')}: the data may not "
            "determine the scheme."
        )
    largest = check.get("largest_relative_difference")
    rates = "" if largest is None else f"; rates within {100 * float(largest):.0f}%"
    return f"**Re-simulation check:** the model ({scheme}) came back from its simulation{rates}."
