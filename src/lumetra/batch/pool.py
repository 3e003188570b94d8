"""The process pool a batch fits on when it is given no executor."""

from __future__ import annotations

import concurrent.futures
import ctypes
import logging
import os
import signal
import sys

# Workers per usable core at most: the fits are CPU-bound, so more only cost memory (each
# worker holds numpy, pandas and lmfit) and start-up time.
JOBS_PER_CORE = 2
_PR_SET_PDEATHSIG = 1  # prctl(2) option: a signal for this process when its parent dies
log = logging.getLogger(__name__)


def usable_cores() -> int:
    if hasattr(os, "sched_getaffinity"):
        return max(1, len(os.sched_getaffinity(0)))
    return os.cpu_count() or 1


def worker_count(jobs: int | None, files: int) -> int:
    """Workers for `files` files: `jobs` (all usable cores when None), never more than there
    are files nor more than JOBS_PER_CORE per core; a request cut down says so in the log."""
    cores = usable_cores()
    limit = JOBS_PER_CORE * cores
    wanted = jobs or cores
    if wanted > limit:
        log.warning(f"{wanted} jobs asked for, {limit} used ({JOBS_PER_CORE} per core of {cores})")
    return max(1, min(wanted, limit, files))


def _die_with(parent: int) -> None:
    """In a worker: ends it when the process that started it ends, even by SIGKILL, so that no
    worker is left fitting for nobody."""
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # the parent died before the line above
        os._exit(1)


def process_pool(jobs: int | None, files: int) -> concurrent.futures.ProcessPoolExecutor:
    return concurrent.futures.ProcessPoolExecutor(
        max_workers=worker_count(jobs, files), initializer=_die_with, initargs=(os.getpid(),)
    )
