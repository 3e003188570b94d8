"""Freed memory handed back to the system as a batch goes through its traces.

glibc's malloc keeps the pages of freed small blocks inside its heap while any live block sits
above them, so a process that reads and lets go of 10^5 traces one after the other grows as if
it held most of them. malloc_trim(0) gives the free pages back; where there is no glibc, this
does nothing.
"""

from __future__ import annotations

import ctypes
import ctypes.util
from typing import Callable

TRIM_EVERY = 500  # traces between two trims: a trim of a heap of 1 GiB takes about a millisecond


def _malloc_trim() -> Callable[[int], int] | None:
    name = ctypes.util.find_library("c")
    try:
        trim: Callable[[int], int] = ctypes.CDLL(name).malloc_trim
    except (OSError, AttributeError, TypeError):
        return None
    return trim


_TRIM = _malloc_trim()


class Trimmer:
    """Call once per trace: every TRIM_EVERY calls, the free pages go back to the system."""

    def __init__(self) -> None:
        self._count = 0

    def __call__(self) -> None:
        self._count += 1
        if _TRIM is not None and self._count % TRIM_EVERY == 0:
            _TRIM(0)
