"""One batch at a time per output folder.

A batch holds an advisory lock (POSIX record lock, `fcntl.lockf`) on OUT/.lumetra.lock while
it runs. The system drops the lock when the process ends, however it ends (SIGKILL and power
loss included), so a lock is never stale; worker processes do not inherit it. A second batch
on the same folder, from another process or from this one, stops at once with OutputBusy.
"""

from __future__ import annotations

import errno
import fcntl
import os
import socket
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from lumetra.errors import LumetraError

LOCK_FILE = ".lumetra.lock"

# Record locks belong to a process, so batches in threads of one process are told apart here.
_held: set[str] = set()
_guard = threading.Lock()


class OutputBusy(LumetraError, RuntimeError):
    """Another batch is writing to the output folder."""


@contextmanager
def output_lock(folder: Path) -> Iterator[None]:
    """Holds the folder's lock for the duration of the block (the folder must exist)."""
    key = os.path.realpath(folder)
    with _guard:
        if key in _held:
            raise OutputBusy(f"{folder} is the output folder of another batch of this process")
        _held.add(key)
    try:
        fd = os.open(Path(folder) / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            _lock(fd, folder)
            os.ftruncate(fd, 0)
            os.write(fd, f"pid {os.getpid()} on {socket.gethostname()}\n".encode())
            yield
        finally:
            os.close(fd)  # drops the lock
    finally:
        with _guard:
            _held.discard(key)


def _lock(fd: int, folder: Path) -> None:
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        if error.errno not in (errno.EACCES, errno.EAGAIN):
            raise
        holder = os.pread(fd, 200, 0).decode(errors="replace").strip() or "unknown"
        raise OutputBusy(
            f"another lumetra batch ({holder}) is writing to {folder}; wait for it to end "
            "or choose another output folder"
        ) from None
