"""FRET efficiency and the other signals of a two-colour trace, with the standard corrections.

With I the intensities less their backgrounds, for a donor-excited frame:

    F_DD = I_DD                               donor emission
    F_DA = I_DA - alpha * I_DD - delta * I_AA acceptor emission from FRET alone: less the donor's
                                              leakage into the acceptor channel (alpha) and the
                                              acceptor's direct excitation by the donor laser
                                              (delta, measured by I_AA of alternating excitation)
    E    = F_DA / (gamma * F_DD + F_DA)       gamma: detection-efficiency and quantum-yield
                                              ratio of acceptor to donor

With the defaults alpha = delta = 0, gamma = 1 and no background, E = I_DA / (I_DD + I_DA).
Frames where the denominator is 0 give NaN.

Backgrounds: None (the channels are background-corrected already, as every format read here
stores them), a mapping from channel name (donor, acceptor, acceptor_direct) to a level (0 for
missing ones), or "bleached": each channel's mean over the frames after the dye it depends on
has bleached (lumetra.io.bleaching): donor and acceptor after the donor's bleaching, the
acceptor-excitation channel after the acceptor's. That is a refinement for what the extraction
left of the background; a trace without the bleaching it needs raises ValueError.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, TypedDict, Union

import numpy as np

from lumetra.io._trace import Floats, Trace, two_colour_channels
from lumetra.io.bleaching import first_bleach

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from lumetra.traceio import _BleachSettings

KINDS = ("fret", "acceptor", "donor", "total")
BLEACHED = "bleached"

Background = Union[None, str, Mapping[str, float]]  # None, BLEACHED or {channel: level}


class Corrections(TypedDict, total=False):
    """The corrections signal() takes by keyword."""

    gamma: float
    leakage: float
    direct: float
    background: Background


def estimate_background(trace: Trace, **settings: Unpack[_BleachSettings]) -> dict[str, float]:
    """{channel: mean after bleaching} for the channels whose dye bleaches in the trace."""
    bleach = first_bleach(trace, **settings)
    donor, acceptor = two_colour_channels(trace)
    out = {}
    if bleach.donor_frame is not None:
        out["donor"] = float(np.mean(donor[bleach.donor_frame :]))
        out["acceptor"] = float(np.mean(acceptor[bleach.donor_frame :]))
    direct = trace.acceptor_direct  # present whenever the acceptor's bleaching is found
    if bleach.acceptor_frame is not None and direct is not None:
        out["acceptor_direct"] = float(np.mean(direct[bleach.acceptor_frame :]))
    return out


def _backgrounds(trace: Trace, background: Background, needed: Sequence[str]) -> dict[str, float]:
    if background is None:
        return dict.fromkeys(needed, 0.0)
    if isinstance(background, str):
        if background != BLEACHED:
            raise ValueError(f"background {background!r}: a mapping, None or {BLEACHED!r}")
        estimated = estimate_background(trace)
        missing = [name for name in needed if name not in estimated]
        if missing:
            raise ValueError(
                f"{trace.source}: no background for {', '.join(missing)}: its dye does not "
                "bleach in this trace"
            )
        return estimated
    unknown = set(background) - {"donor", "acceptor", "acceptor_direct", "intensity"}
    if unknown:
        raise ValueError(f"background for unknown channels {sorted(unknown)}")
    return {name: float(background.get(name, 0.0)) for name in needed}


def signal(
    trace: Trace,
    kind: str | None = None,
    *,
    gamma: float = 1.0,
    leakage: float = 0.0,
    direct: float = 0.0,
    background: Background = None,
) -> Floats:
    """One signal of a Trace as a float64 array: "fret" (E), "acceptor" (F_DA), "donor" (F_DD)
    or "total" (gamma * F_DD + F_DA). A single-channel trace has "total" only, its intensity
    less its background. kind None: "fret" for two-colour traces, "total" otherwise."""
    if kind is None:
        kind = "fret" if trace.two_colour else "total"
    if kind not in KINDS:
        raise ValueError(f"unknown signal {kind!r}; one of {', '.join(KINDS)}")
    if trace.intensity is not None:  # a single-channel trace
        if kind != "total":
            raise ValueError(f"{trace.source}: a single-channel trace has no {kind!r} signal")
        b = _backgrounds(trace, background, ["intensity"])
        return trace.intensity - b["intensity"]
    i_aa = trace.acceptor_direct
    if direct and i_aa is None:
        raise ValueError(f"{trace.source}: direct excitation needs the acceptor-excitation channel")
    i_dd, i_da = two_colour_channels(trace)
    needed = ["donor", "acceptor"] + (["acceptor_direct"] if direct else [])
    b = _backgrounds(trace, background, needed)
    donor = i_dd - b["donor"]
    if kind == "donor":
        return donor
    acceptor = i_da - b["acceptor"] - leakage * donor
    if direct and i_aa is not None:
        acceptor = acceptor - direct * (i_aa - b["acceptor_direct"])
    if kind == "acceptor":
        return acceptor
    total = gamma * donor + acceptor
    if kind == "total":
        return total
    with np.errstate(divide="ignore", invalid="ignore"):
        efficiency = acceptor / total
    efficiency[total == 0] = np.nan
    return efficiency


def fret_efficiency(
    trace: Trace,
    gamma: float = 1.0,
    leakage: float = 0.0,
    direct: float = 0.0,
    background: Background = None,
) -> Floats:
    """E = F_DA / (gamma * F_DD + F_DA) of a two-colour Trace (see the module notes)."""
    return signal(trace, "fret", gamma=gamma, leakage=leakage, direct=direct, background=background)
