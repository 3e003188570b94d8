"""The trace files a batch is given: paths, directories and glob patterns, each file once."""

from __future__ import annotations

import fnmatch
import glob
import os
from collections.abc import Iterable, Iterator

# What a directory given as input contributes: the suffixes of the trace formats read. Plain
# .json is not among them (a simulated set's truth.json is no trace file): OpenFRET .json files
# are named, or matched by a pattern.
TRACE_SUFFIXES = (".txt", ".dat", ".traces", ".h5", ".hdf5", ".json.zip")
RECURSIVE = "**"


def expand_inputs(items: Iterable[str | os.PathLike[str]]) -> list[str]:
    """Trace files from paths, directories (their files ending in TRACE_SUFFIXES) and glob
    patterns, in the order given; a file reached twice (a repeated path, another spelling, a
    link) is taken once, the first time. `**` in a pattern matches any number of directories
    but does not enter linked directories, so a link back up the tree cannot make it loop. A
    pattern that matches nothing is an error; a path that does not exist is kept (it becomes
    a failure of its own)."""
    files: dict[str, str] = {}  # real path: the path as first met
    for given in items:
        item = os.fspath(given)
        if os.path.isdir(item):
            found = sorted(
                path
                for suffix in TRACE_SUFFIXES
                for path in glob.glob(os.path.join(glob.escape(item), "*" + suffix))
                if os.path.isfile(path)
            )
        elif glob.has_magic(item):
            found = sorted(set(_matches(item)))
            if not found:
                raise FileNotFoundError(f"no file matches {item}")
        else:
            found = [item]
        for path in found:
            files.setdefault(os.path.realpath(path), path)
    return list(files.values())


def _matches(pattern: str) -> Iterator[str]:
    """The files matching a glob pattern, as glob.glob(pattern, recursive=True) finds them
    but for linked directories under `**`."""
    head, *parts = pattern.split(os.sep)
    relative = glob.has_magic(head)
    if head == "":  # an absolute pattern
        head = os.sep
    elif relative:
        head, parts = os.curdir, [head, *parts]
    for path in _walk(head, parts):
        if os.path.isfile(path):
            yield os.path.relpath(path) if relative else path


def _walk(base: str, parts: list[str]) -> Iterator[str]:
    if not parts:
        yield base
        return
    part, rest = parts[0], parts[1:]
    if part == RECURSIVE:
        for directory in _directories(base):
            if rest:
                yield from _walk(directory, rest)
            else:  # everything below
                yield from _walk(directory, ["*"])
    elif not glob.has_magic(part):
        yield from _walk(os.path.join(base, part), rest)
    else:
        try:
            entries = sorted(os.scandir(base), key=lambda entry: entry.name)
        except OSError:
            return
        for entry in entries:
            hidden = entry.name.startswith(".") and not part.startswith(".")
            if not hidden and fnmatch.fnmatchcase(entry.name, part):
                if not rest or entry.is_dir():
                    yield from _walk(os.path.join(base, entry.name), rest)


def _directories(top: str) -> Iterator[str]:
    """`top` and every directory below it that is not hidden, without entering links."""
    for directory, subdirectories, _ in os.walk(top, followlinks=False):
        subdirectories[:] = sorted(d for d in subdirectories if not d.startswith("."))
        yield directory
