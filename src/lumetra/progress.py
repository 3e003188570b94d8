"""Progress of the long stages, on a terminal.

Every stage that can take more than a few seconds reports through this module: a bar over its
items (`steps`: the files of a batch, the traces read, the candidate models of the K search), a
count of items whose number is not known in advance (`counter`: the kinetic schemes tried) or a
line naming the stage with its running time (`stage`: one native call, such as the bootstrap).
They draw on standard error, and only while it is a terminal: logs, pipes and notebooks get
nothing. `silenced()` turns them off for everything called within it (`lumetra fit --quiet`,
fit_traces(progress=False)), in the calling thread and its context only.
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TypeVar

from tqdm import tqdm

Item = TypeVar("Item")
REFRESH = 0.5  # seconds between redraws of a stage line's clock
_shown: ContextVar[bool] = ContextVar("lumetra_progress", default=True)


def active() -> bool:
    """Whether progress is drawn here and now: not silenced, and standard error a terminal."""
    if not _shown.get():
        return False
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, OSError, ValueError):  # no stream, or a closed one
        return False


@contextmanager
def silenced(quiet: bool = True) -> Iterator[None]:
    """No progress within, when `quiet`; silenced further out, it stays so either way."""
    token = _shown.set(_shown.get() and not quiet)
    try:
        yield
    finally:
        _shown.reset(token)


def steps(
    items: Iterable[Item], what: str, total: int | None = None, unit: str = "it"
) -> Iterator[Item]:
    """The items, counted on a bar as they are taken."""
    if not active():
        return iter(items)
    return iter(tqdm(items, desc=what, total=total, unit=unit, file=sys.stderr))


@contextmanager
def counter(what: str, unit: str) -> Iterator[Callable[[], object]]:
    """A count of items of a number not known in advance: yields the function counting one."""
    if not active():
        yield lambda: None
        return
    with tqdm(desc=what, unit=f" {unit}s", file=sys.stderr) as bar:  # "3 schemes [00:01, ...]"
        yield bar.update


@contextmanager
def stage(what: str) -> Iterator[None]:
    """A line naming the stage and its running time, redrawn until the stage ends."""
    if not active():
        yield
        return
    done = threading.Event()
    with tqdm(desc=what, bar_format="{desc}: {elapsed}", file=sys.stderr) as bar:

        def tick() -> None:
            while not done.wait(REFRESH):
                bar.refresh()

        clock = threading.Thread(target=tick, daemon=True)
        clock.start()
        try:
            yield
        finally:
            done.set()
            clock.join()
