"""Opening the files a results folder names, which may be hostile: a manifest can name any path
as a trace's source and any string as its name. Only regular files are read (a FIFO would block
the reader, a device such as /dev/zero never ends), up to MAX_FILE_BYTES, and a trace's files
only inside the output folder."""

from __future__ import annotations

import os
import stat
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO, TypeVar

T = TypeVar("T")

MAX_FILE_BYTES = 512 * 2**20  # far beyond any trace or table a batch writes

KINDS = {
    stat.S_IFIFO: "a FIFO",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFSOCK: "a socket",
    stat.S_IFDIR: "a directory",
}


def check_regular(path: str | os.PathLike[str], info: os.stat_result) -> None:
    if not stat.S_ISREG(info.st_mode):
        kind = KINDS.get(stat.S_IFMT(info.st_mode), "not a file")
        raise ValueError(f"{os.fspath(path)} is not a regular file ({kind}): not read")
    if info.st_size > MAX_FILE_BYTES:
        raise ValueError(
            f"{os.fspath(path)} holds {info.st_size} bytes, more than the {MAX_FILE_BYTES} "
            "a trace or table file may hold: not read"
        )


def open_regular(path: str | os.PathLike[str]) -> BinaryIO:
    """The file, open for reading; ValueError naming it when it is no regular file or too large.
    Nothing else is opened (opening a device can act on it), and what was opened is checked
    again: the path may have been swapped meanwhile. Opening never waits for a FIFO's writer."""
    check_regular(path, os.stat(path))
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        check_regular(path, os.fstat(descriptor))
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_file(path: Path, parse: Callable[[BinaryIO], T]) -> T:
    """parse(file) of the regular file at `path`; ValueError naming the path when it cannot."""
    with open_regular(path) as file:
        try:
            return parse(file)
        except ValueError as error:  # json's and pandas' errors do not name the file
            raise ValueError(f"{path}: {error}") from error


class CheckedPath(os.PathLike[str]):
    """A regular file opened and checked (open_regular), for readers that take a path: they
    reopen it through its descriptor, so they read the file that was checked; messages name
    the path."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self.file = open_regular(path)

    def __fspath__(self) -> str:
        return f"/dev/fd/{self.file.fileno()}"

    def __str__(self) -> str:
        return self.path

    def __enter__(self) -> CheckedPath:
        return self

    def __exit__(self, *_: object) -> None:
        self.file.close()


def trace_file(root: Path, folder: str, name: str) -> Path:
    """ROOT/FOLDER/NAME.csv; ValueError when the name leads elsewhere (an absolute name, '..',
    or a link out of the output folder)."""
    path = root / folder / f"{name}.csv"
    if Path(name).is_absolute() or ".." in Path(name).parts or "\0" in name:
        raise ValueError(f"trace name {name!r} leads outside {root}: not read")
    try:
        inside = path.resolve().is_relative_to(root.resolve())
    except (OSError, RuntimeError) as error:  # a loop of links
        raise ValueError(f"{path}: {error}") from error
    if not inside:
        raise ValueError(f"{path} leads outside {root} (through a link): not read")
    return path
