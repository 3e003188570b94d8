"""The names a batch gives its outputs: one per input file (records/NAME.json) and one per
trace (traces/NAME.csv, hmm/NAME.csv, the segment table's `name`).

A file's name is its stem; a stem met again gets _2, _3, ... (the first number that is no
other file's stem or name). A trace is named after its file, and trace K of a file of
several traces NAME_K; where NAME_K is the name of another file of the batch, NAME_K-2 (-3,
...). Names are compared without case, as a case-insensitive file system would. Every name
depends only on the list of inputs (and a trace's on its own file), so a batch started again
on the same inputs finds the records of the first run under the same names.

Why this is enough: two files' names differ; a name NAME_K of a trace splits, at its last
underscore, into its file's name and K, so traces of two files never share one; a trace's
name is never another file's (renamed where it would be); and a renamed trace's name, which
ends in -N, is neither NAME_K nor a file's name.
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path


def _key(name: str) -> str:
    return name.casefold()


class BatchNames:
    """The output names of the files of one batch, in input order (files without repeats)."""

    def __init__(self, files: Sequence[str]) -> None:
        stems = [Path(f).stem for f in files]
        stem_keys = {_key(s) for s in stems}
        taken: set[str] = set()
        self.files: dict[str, str] = {}
        for path, stem in zip(files, stems):
            name, n = stem, 1
            while _key(name) in taken or (n > 1 and _key(name) in stem_keys):
                n += 1
                name = f"{stem}_{n}"
            taken.add(_key(name))
            self.files[path] = name
        self._file_keys = taken

    def __getitem__(self, path: str) -> str:
        return self.files[path]

    def __contains__(self, path: object) -> bool:
        return path in self.files

    def trace(self, path: str, part: int | None) -> str:
        """The name of trace `part` of file `path` (None: the file's only trace)."""
        name = self.files[path]
        if part is None:
            return name
        name = f"{name}_{part}"
        if _key(name) not in self._file_keys:
            return name
        n = 2
        while _key(f"{name}-{n}") in self._file_keys:
            n += 1
        return f"{name}-{n}"
