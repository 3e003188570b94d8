# Photobleaching detection on the channels of a trace. Defaults left as `...` are the numeric
# core's (lumetra::BleachSettings); the underscored dicts exist for type checking only.
from typing import Literal, TypedDict

import numpy.typing as npt

class _BleachSettings(TypedDict, total=False):
    min_bleached_frames: int
    max_residual: float
    min_score: float

class _BleachStep(TypedDict):
    frame: int | None  # first bleached frame
    score: float
    level_before: float
    level_after: float
    noise: float

class _FirstBleach(TypedDict):
    dye: Literal["donor", "acceptor"] | None
    frame: int | None
    total: _BleachStep
    direct: _BleachStep | None  # None without acceptor_direct

def bleach_step(
    signal: npt.ArrayLike,
    background: float = ...,
    min_bleached_frames: int = ...,
    max_residual: float = ...,
    min_score: float = ...,
) -> _BleachStep: ...
def first_bleach(
    donor: npt.ArrayLike,
    acceptor: npt.ArrayLike,
    acceptor_direct: npt.ArrayLike | None = None,
    total_background: float = ...,
    direct_background: float = ...,
    min_bleached_frames: int = ...,
    max_residual: float = ...,
    min_score: float = ...,
) -> _FirstBleach: ...
