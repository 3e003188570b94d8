"""Screening of every trace: what the molecule shows, whether its trace belongs in the kinetics,
and which of its frames the model must not read.

    metrics = measure(trace)                 # lumetra.io.prepare: the numeric core (batchcore)
    verdict = classify(metrics, levels=2, reference=batch_intensity)
    verdict.kind, verdict.usable, verdict.reason

The metrics of one trace (lumetra.batchcore.screen_trace, screen_signal for single-channel
traces) come with a mask of its frames, bit flags: MASK_DARK (a blink: the donor-excitation
intensity near background, or the acceptor-excitation channel dark), MASK_BLEACHED (after a
bleaching step, and the frame in which the dye bleached partway) and MASK_OUTLIER (an isolated
spike of E, or E far outside [0, 1]). Masked frames carry no observation for the model.

The class needs the batch: a molecule twice as bright as the others is an aggregate. So the
metrics are measured where each trace is read (the worker) and the classes given once every
trace is in (classify, with the batch's median intensity). Classes, tested in this order:

    too_short   fewer than `min_frames` frames (or, after the others, unmasked frames)
    no_donor    nothing under donor excitation: most frames dark (noisy when the acceptor's own
                excitation shows nothing either), or the intensity a small share of the batch's
    donor_only  no acceptor: its excitation channel at noise level (with alternating
                excitation) or, without it, E at the level of leakage
    aggregate   a donor bleached while the total stays lit (donor and acceptor falling
                together, not to background), two or more bleaching steps of the acceptor's own
                excitation channel, or well above the batch's intensity
    noisy       the intensity's signal-to-noise too low, or E's frame noise too high
    dynamic     usable, and the step fit found a level change
    static      usable, one level throughout (evidence of slow kinetics, so it is modelled)

Single-channel traces can only be too_short, noisy, dynamic or static.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass, field, fields
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from lumetra.stepfit import IntArray

MASK_DARK, MASK_BLEACHED, MASK_OUTLIER = 1, 2, 4
CLASSES = ("dynamic", "static", "donor_only", "no_donor", "aggregate", "noisy", "too_short")
USABLE = ("dynamic", "static")


def _threshold(default: Any, meaning: str) -> Any:
    return field(default=default, metadata={"help": meaning})


@dataclass(frozen=True)
class ScreenSettings:
    """The thresholds of the classes (each one an option of `lumetra fit`, recorded in the
    manifest)."""

    min_frames: int = _threshold(10, "fewer frames, or unmasked frames: too_short")
    max_dark_share: float = _threshold(0.5, "more dark frames than this share: no_donor")
    min_intensity_ratio: float = _threshold(0.2, "intensity below this times the batch's: no_donor")
    min_direct_snr: float = _threshold(
        2.0, "acceptor-excitation signal-to-noise below this: donor_only"
    )
    donor_only_e: float = _threshold(
        0.1, "without acceptor excitation, a median E below this: donor_only"
    )
    max_intensity_ratio: float = _threshold(
        2.0, "intensity above this times the batch's: aggregate"
    )
    partial_bleaches: int = _threshold(
        1, "this many donor bleaching steps that leave the total lit: aggregate (0: not used)"
    )
    aggregate_steps: int = _threshold(
        2, "this many downward steps of the acceptor-excitation channel: aggregate"
    )
    min_snr: float = _threshold(3.0, "intensity signal-to-noise below this: noisy")
    max_e_noise: float = _threshold(0.25, "frame-to-frame noise of E above this: noisy")

    def __post_init__(self) -> None:
        for item in fields(self):
            value = getattr(self, item.name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
                raise ValueError(f"screening: {item.name} must be a number >= 0, not {value!r}")

    def record(self) -> dict[str, Any]:
        return asdict(self)


@dataclass(frozen=True)
class Verdict:
    kind: str
    usable: bool
    reason: str


def mask_ranges(mask: np.ndarray[Any, Any]) -> list[list[int]]:
    """The runs of masked frames as [first, one past the last] pairs (how records hold them)."""
    flagged = np.concatenate([[0], (np.asarray(mask) != 0).astype(np.int8), [0]])
    edges = np.flatnonzero(np.diff(flagged))
    return [[int(a), int(b)] for a, b in zip(edges[::2], edges[1::2])]


def masked_frames(ranges: list[list[int]], frames: int) -> IntArray:
    """The frames of `ranges` (mask_ranges) within the first `frames`."""
    picked = [np.arange(a, min(b, frames)) for a, b in ranges if a < frames]
    return np.concatenate(picked).astype(np.int64) if picked else np.zeros(0, np.int64)


REFERENCE_TRACES = 10  # two-colour traces the batch's typical intensity is taken from, at least


def reference_intensity(metrics: list[dict[str, Any]]) -> float:
    """The batch's typical intensity: the median over its two-colour traces; NaN for fewer
    than REFERENCE_TRACES (then no trace is judged by its brightness)."""
    values = [
        float(m["intensity"])
        for m in metrics
        if m.get("two_colour") and math.isfinite(float(m.get("intensity", math.nan)))
    ]
    return float(np.median(values)) if len(values) >= REFERENCE_TRACES else math.nan


def _number(metrics: dict[str, Any], key: str) -> float:
    value = metrics.get(key)
    return math.nan if value is None else float(value)


def _count(metrics: dict[str, Any], key: str) -> int:
    """A count of the metrics; 0 when it was not measured."""
    value = _number(metrics, key)
    return int(value) if math.isfinite(value) else 0


def classify(
    metrics: dict[str, Any],
    levels: int,
    reference: float,
    settings: ScreenSettings | None = None,
) -> Verdict:
    """The class of one trace from its metrics, the number of distinct levels its step fit
    found and the batch's reference intensity (reference_intensity)."""
    s = settings or ScreenSettings()

    def get(key: str) -> float:  # NaN for what was not measured
        return _number(metrics, key)

    frames = _count(metrics, "frames")
    if frames < s.min_frames:
        return Verdict("too_short", False, f"{frames} frames, fewer than {s.min_frames}")
    direct = get("snr_direct")
    if metrics.get("two_colour"):
        ratio = get("intensity") / reference if reference > 0 else math.nan
        dark = get("dark_frames") / frames
        if dark > s.max_dark_share:  # with its own excitation the acceptor tells noise apart
            if math.isfinite(direct) and direct < s.min_direct_snr:
                return Verdict("noisy", False, f"dark in {dark:.0%} of frames, acceptor too")
            return Verdict("no_donor", False, f"dark under donor excitation: {dark:.0%} of frames")
        if ratio < s.min_intensity_ratio:
            return Verdict("no_donor", False, f"intensity {ratio:.2f} times the batch's")
        if math.isfinite(direct) and direct < s.min_direct_snr:
            return Verdict("donor_only", False, f"acceptor-excitation SNR {direct:.2f}")
        if not math.isfinite(direct) and get("e_median") < s.donor_only_e:
            return Verdict("donor_only", False, f"median E {get('e_median'):.3f}: leakage only")
        partial = _count(metrics, "partial_bleaches")
        if s.partial_bleaches and partial >= s.partial_bleaches:
            return Verdict("aggregate", False, f"{partial} donor(s) bleached, the total still lit")
        # Steps of the acceptor under donor excitation are FRET changes too: only those of
        # its own excitation tell two acceptors bleaching apart.
        steps = _count(metrics, "acceptor_steps") if math.isfinite(direct) else 0
        if steps >= s.aggregate_steps:
            return Verdict("aggregate", False, f"{steps} bleaching steps of the acceptor")
        if ratio > s.max_intensity_ratio:
            return Verdict("aggregate", False, f"intensity {ratio:.2f} times the batch's")
        if get("e_noise") > s.max_e_noise:
            return Verdict("noisy", False, f"E noise {get('e_noise'):.3f} per frame")
    readable = frames - _count(metrics, "masked_frames")
    if readable < s.min_frames:
        return Verdict("too_short", False, f"{readable} frames left unmasked of {frames}")
    if get("snr_total") < s.min_snr:
        return Verdict("noisy", False, f"intensity SNR {get('snr_total'):.2f}")
    if levels >= 2:
        return Verdict("dynamic", True, f"{levels} levels")
    return Verdict("static", True, "one level")
