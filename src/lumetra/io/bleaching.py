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

from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class Bleaching:
    """First bleaching of a two-colour trace. `frame` is the first bleached frame (keep frames
    [0, frame)), None when neither dye bleaches; `dye` is "donor", "acceptor" or None;
    `donor_frame` and `acceptor_frame` are where each dye's channel reaches background."""

    frame: Optional[int]
    dye: Optional[str]
    donor_frame: Optional[int]
    acceptor_frame: Optional[int]


def bleach_step(values, background=0.0, **settings):
    """The lasting step of one signal to `background`: a dict with frame (None when not
    bleached), score, level_before, level_after and noise."""
    from lumetra import traceio

    return traceio.bleach_step(values, background, **settings)


def first_bleach(trace, background=None, **settings):
    """The first bleaching of either dye of a two-colour Trace. `background` maps channel names
    (donor, acceptor, acceptor_direct) to the level each falls to; missing ones are 0."""
    from lumetra import traceio

    if not trace.two_colour:
        raise ValueError(f"{trace.source}: a single-channel trace; use bleach_step(intensity)")
    background = dict(background or {})
    result = traceio.first_bleach(
        trace.donor,
        trace.acceptor,
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
