"""Photobleaching of a trace's dyes: where a channel falls to background for good.

The detection runs in the numeric core (lumetra.traceio). A channel counts as bleached from the
frame k on when "constant level before k, background from k to the end" fits it much better
than a constant level (by `min_score` noise variances), at least `min_bleached_frames` frames
are left after k, and the mean of those frames is within `max_residual` of background relative
to the level before. Background defaults to 0, as in background-corrected traces. The donor's
bleaching shows in the total intensity under donor excitation (donor + acceptor), the
acceptor's in the acceptor-excitation channel; without that channel only the donor is seen.
Settings left out take the core's defaults.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

from lumetra.io._trace import Trace, two_colour_channels

if TYPE_CHECKING:
    import numpy.typing as npt
    from typing_extensions import Unpack

    from lumetra.traceio import _BleachSettings, _BleachStep


@dataclass(frozen=True)
class Bleaching:
    """First bleaching of a two-colour trace. `frame` is the first bleached frame (keep frames
    [0, frame)), None when neither dye bleaches; `dye` is "donor", "acceptor" or None;
    `donor_frame` and `acceptor_frame` are where each dye's channel reaches background."""

    frame: int | None
    dye: str | None
    donor_frame: int | None
    acceptor_frame: int | None


def bleach_step(
    values: npt.ArrayLike, background: float = 0.0, **settings: Unpack[_BleachSettings]
) -> _BleachStep:
    """The lasting step of one signal to `background`: a dict with frame (None when not
    bleached), score, level_before, level_after and noise."""
    from lumetra import traceio

    return traceio.bleach_step(values, background, **settings)


def first_bleach(
    trace: Trace,
    background: Mapping[str, float] | None = None,
    **settings: Unpack[_BleachSettings],
) -> Bleaching:
    """The first bleaching of either dye of a two-colour Trace. `background` maps channel names
    (donor, acceptor, acceptor_direct) to the level each falls to; missing ones are 0."""
    from lumetra import traceio

    if not trace.two_colour:
        raise ValueError(f"{trace.source}: a single-channel trace; use bleach_step(intensity)")
    background = dict(background or {})
    donor, acceptor = two_colour_channels(trace)
    result = traceio.first_bleach(
        donor,
        acceptor,
        trace.acceptor_direct,
        total_background=background.get("donor", 0.0) + background.get("acceptor", 0.0),
        direct_background=background.get("acceptor_direct", 0.0),
        **settings,
    )
    direct = result["direct"]
    return Bleaching(
        frame=result["frame"],
        dye=result["dye"],
        donor_frame=result["total"]["frame"],
        acceptor_frame=direct["frame"] if direct else None,
    )
