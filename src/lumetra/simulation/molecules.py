"""One spot's two-colour trace under alternating excitation, with what real experiments add:
blinks, bleaching, brightness that differs between molecules, molecules that lack a dye or
come in pairs, camera noise.

Intensities are camera counts, background-subtracted: a dark channel is noise around 0. Under
donor excitation a molecule of brightness b (photons per frame, donor + acceptor) in a state of
FRET efficiency E gives the donor channel b (1 - E) and the acceptor channel b E plus the
donor's leakage; while its acceptor is dark (blinked, bleached or absent) the donor channel gets
b and the acceptor channel the leakage alone; while its donor is dark both get nothing. Under
acceptor excitation the acceptor gives its own brightness whenever it emits.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from lumetra import batchcore
from lumetra.screening import CLASSES as CLASSES
from lumetra.screening import USABLE as USABLE

Floats = npt.NDArray[np.float64]
Flags = npt.NDArray[np.bool_]

JUNK = CLASSES[len(USABLE) :]  # the screening's unusable classes
NOT_ONE_STATE = -1  # the truth's state where no one molecule's FRET state is seen


@dataclass(frozen=True)
class Camera:
    """Molecules' brightness and how the camera counts their photons."""

    brightness: float = 100.0  # median photons per donor-excited frame, donor + acceptor
    brightness_spread: float = 0.3  # sigma of the log brightness between molecules
    direct: float = 0.8  # acceptor-excitation photons relative to the molecule's brightness
    leakage: float = 0.05  # share of the donor's photons seen in the acceptor channel
    background: float = 30.0  # photons per channel and frame: subtracted, its shot noise stays
    excess: float = 2.0  # photon variance over the mean (EMCCD excess noise; 1 for Poisson)
    gain: float = 70.0  # counts per photon
    read_noise: float = 100.0  # counts, Gaussian

    def __post_init__(self) -> None:
        if not (self.brightness > 0 and self.brightness_spread >= 0):
            raise ValueError("the brightness must be > 0 and its spread >= 0")

    def molecule_brightness(self, rng: np.random.Generator) -> float:
        return float(self.brightness * np.exp(self.brightness_spread * rng.standard_normal()))

    def counts(self, photons: Floats, rng: np.random.Generator) -> Floats:
        """Background-subtracted counts of a channel receiving `photons` per frame."""
        shot = np.sqrt(self.excess * (photons + self.background))
        noise = shot * rng.standard_normal(photons.shape)
        return self.gain * (photons + noise) + self.read_noise * rng.standard_normal(photons.shape)


@dataclass(frozen=True)
class Artefacts:
    """Blinks, bleaching and the lengths of traces, as a user's cuts leave them."""

    acceptor_blink_rate: float = 0.03  # 1/s, the acceptor going dark for a while
    donor_blink_rate: float = 0.02  # 1/s, the donor going dark (both channels dark)
    blink_recovery_rate: float = 2.0  # 1/s back from dark: 0.5 s on average
    donor_bleach_rate: float = 0.02  # 1/s
    acceptor_bleach_rate: float = 0.015  # 1/s
    shortest: int = 50  # frames a molecule emits at least before either dye bleaches
    step_kept_share: float = 0.5  # cuts made a few frames after a bleaching step, not at it
    frames_after_step: tuple[int, int] = (2, 8)  # frames such a cut leaves after the step
    noisy_brightness: float = 0.15  # brightness of hopelessly noisy molecules, relative
    short_frames: tuple[int, int] = (3, 9)  # frames of traces too short to use


@dataclass(frozen=True)
class Scheme:
    """The kinetic scheme: FRET efficiency of each state, rate matrix (1/s), frame time (s)."""

    levels: list[float]
    rates: Floats
    frame_time: float


@dataclass
class Spot:
    """One spot's channels (counts) and per-frame truth."""

    kind: str
    donor: Floats
    acceptor: Floats
    direct: Floats
    state: npt.NDArray[np.int64]
    e_ideal: Floats  # noiseless apparent E: D + A photons' acceptor share; NaN while dark
    blink: Flags
    bleached: Flags
    brightness: float

    @property
    def usable(self) -> bool:
        return self.kind in USABLE


@dataclass
class Photons:
    """Photons per frame of one or more molecules, before the camera."""

    donor: Floats
    acceptor: Floats
    direct: Floats

    def __add__(self, other: Photons) -> Photons:
        return Photons(
            self.donor + other.donor, self.acceptor + other.acceptor, self.direct + other.direct
        )


def dark_frames(
    frames: int, rate: float, frame_time: float, recovery: float, rng: np.random.Generator
) -> Flags:
    """Frames of a dye's blinks: a switch to dark at `rate`, back at `recovery` (1/s)."""
    to_dark, to_bright = 1 - np.exp(-rate * frame_time), 1 - np.exp(-recovery * frame_time)
    draws = rng.random(frames)
    dark = np.zeros(frames, dtype=bool)
    now = False
    for i, u in enumerate(draws):
        now = u >= to_bright if now else u < to_dark
        dark[i] = now
    return dark


def bleach_cut(
    frames: int,
    frame_time: float,
    rates: tuple[float, float],
    artefacts: Artefacts,
    rng: np.random.Generator,
    keep_step: bool | None = None,
) -> tuple[int, int | None, str | None]:
    """(length of the trace, frame of its bleaching step or None, dye that bleached): the first
    dye to bleach (donor, acceptor `rates` in 1/s) ends the molecule's useful life; the user's
    cut is at that step or, for a share of traces, a few frames after it."""
    waits = [rng.exponential(1 / r) / frame_time if r > 0 else np.inf for r in rates]
    first = int(np.argmin(waits))
    step = artefacts.shortest + int(waits[first])
    if step >= frames:
        return frames, None, None
    if keep_step is None:
        keep_step = bool(rng.random() < artefacts.step_kept_share)
    if not keep_step:
        return step, None, None
    low, high = artefacts.frames_after_step
    return min(frames, step + int(rng.integers(low, high + 1))), step, ("donor", "acceptor")[first]


def emitted(
    e: Floats, donor_on: Flags, acceptor_on: Flags, brightness: float, camera: Camera
) -> Photons:
    """Photons of one molecule per frame (see the module's notes)."""
    donor = np.where(donor_on, brightness * np.where(acceptor_on, 1 - e, 1.0), 0.0)
    acceptor = np.where(donor_on, brightness * np.where(acceptor_on, e, 0.0), 0.0)
    acceptor += camera.leakage * donor
    direct = np.where(acceptor_on, camera.direct * brightness, 0.0)
    return Photons(donor, acceptor, direct)


@dataclass
class Molecule:
    photons: Photons
    state: npt.NDArray[np.int64]
    blink: Flags


def molecule(
    scheme: Scheme,
    frames: int,
    brightness: float,
    camera: Camera,
    artefacts: Artefacts,
    rng: np.random.Generator,
    *,
    dynamic: bool = True,
    donor: bool = True,
    acceptor: bool = True,
    donor_bleach: int | None = None,
    acceptor_bleach: int | None = None,
) -> Molecule:
    """One molecule over `frames` frames, its dyes present or not, each bleached from the frame
    given on (None: not in the trace), blinking at the rates of `artefacts`."""
    rates = scheme.rates if dynamic else np.zeros_like(scheme.rates)
    seed = int(rng.integers(2**63))
    path = batchcore.simulate_kinetics(scheme.levels, rates, scheme.frame_time, frames, seed=seed)
    index = np.arange(frames)
    dt, back = scheme.frame_time, artefacts.blink_recovery_rate
    donor_dark = dark_frames(frames, artefacts.donor_blink_rate, dt, back, rng) & donor
    acceptor_dark = dark_frames(frames, artefacts.acceptor_blink_rate, dt, back, rng) & acceptor
    donor_gone = index >= (frames if donor_bleach is None else donor_bleach)
    acceptor_gone = index >= (frames if acceptor_bleach is None else acceptor_bleach)
    donor_on = donor & ~donor_dark & ~donor_gone
    acceptor_on = acceptor & ~acceptor_dark & ~acceptor_gone
    e = np.asarray(path["ideal"], dtype=float)
    state = np.where(donor_gone | acceptor_gone, NOT_ONE_STATE, path["state"]).astype(np.int64)
    blink = (donor_dark & ~donor_gone) | (acceptor_dark & ~acceptor_gone)
    return Molecule(emitted(e, donor_on, acceptor_on, brightness, camera), state, blink)


def spot(
    kind: str,
    scheme: Scheme,
    frames: int,
    camera: Camera,
    artefacts: Artefacts,
    rng: np.random.Generator,
) -> Spot:
    """One spot of class `kind` (CLASSES) in a recording of `frames` frames."""
    if kind not in CLASSES:
        raise ValueError(f"class {kind!r}: one of {', '.join(CLASSES)}")
    brightness = camera.molecule_brightness(rng)
    bleach_rates = (artefacts.donor_bleach_rate, artefacts.acceptor_bleach_rate)
    if kind == "donor_only":
        bleach_rates = (bleach_rates[0], 0.0)
    elif kind == "no_donor":
        bleach_rates = (0.0, bleach_rates[1])
    elif kind == "noisy":
        brightness *= artefacts.noisy_brightness
    if kind == "aggregate":
        return aggregate(scheme, frames, camera, artefacts, rng)
    dt = scheme.frame_time
    if kind == "too_short":
        low, high = artefacts.short_frames
        length, step, dye = int(rng.integers(low, high + 1)), None, None
    else:
        length, step, dye = bleach_cut(frames, dt, bleach_rates, artefacts, rng)
    one = molecule(
        scheme,
        length,
        brightness,
        camera,
        artefacts,
        rng,
        dynamic=kind != "static",
        donor=kind != "no_donor",
        acceptor=kind != "donor_only",
        donor_bleach=step if dye == "donor" else None,
        acceptor_bleach=step if dye == "acceptor" else None,
    )
    bleached = np.arange(length) >= (length if step is None else step)
    state = one.state if kind in USABLE + ("noisy", "too_short") else np.full(length, NOT_ONE_STATE)
    return observed(kind, one.photons, state, one.blink, bleached, brightness, camera, rng)


def aggregate(
    scheme: Scheme, frames: int, camera: Camera, artefacts: Artefacts, rng: np.random.Generator
) -> Spot:
    """Two molecules in one spot, each of its own brightness and path: about twice the
    intensity, and two donor bleaching steps, the second a few frames before the cut."""
    rates = (artefacts.donor_bleach_rate, 0.0)
    length, last, _ = bleach_cut(frames, scheme.frame_time, rates, artefacts, rng, keep_step=True)
    if last is None:
        low, high = artefacts.frames_after_step
        last = length - int(rng.integers(low, high + 1))
    first = int(rng.integers(last // 4, 3 * last // 4))
    brightness = [camera.molecule_brightness(rng) for _ in range(2)]
    pair = [
        molecule(scheme, length, b, camera, artefacts, rng, donor_bleach=step)
        for b, step in zip(brightness, (first, last))
    ]
    photons = pair[0].photons + pair[1].photons
    bleached = np.arange(length) >= last
    state = np.full(length, NOT_ONE_STATE, dtype=np.int64)
    blink = pair[0].blink | pair[1].blink
    return observed("aggregate", photons, state, blink, bleached, sum(brightness), camera, rng)


def observed(
    kind: str,
    photons: Photons,
    state: npt.NDArray[np.int64],
    blink: Flags,
    bleached: Flags,
    brightness: float,
    camera: Camera,
    rng: np.random.Generator,
) -> Spot:
    """The spot as the camera records it, with its truth."""
    total = photons.donor + photons.acceptor
    with np.errstate(invalid="ignore", divide="ignore"):
        e_ideal = np.where(total > 0, photons.acceptor / total, np.nan)
    return Spot(
        kind=kind,
        donor=camera.counts(photons.donor, rng),
        acceptor=camera.counts(photons.acceptor, rng),
        direct=camera.counts(photons.direct, rng),
        state=state,
        e_ideal=e_ideal,
        blink=blink,
        bleached=bleached,
        brightness=brightness,
    )
