"""HDF5 trace files in tMAVEN's single-molecule dataset (SMD) layout.

Layout from tMAVEN's documentation, "SMD Files" (docs/quarto/info_pysmd.qmd of the tMAVEN
repository, published as the page info_pysmd.html of its site), an HDF5 form of the SMD format
of Greenfeld et al., BMC Bioinformatics 16, 3 (2015); the details (which group holds what, the
tMAVEN group's datasets) as tMAVEN's pysmd.py and controllers/io.py write and read them:

- any number of SMD groups, anywhere in the file, each marked by the attribute
  ``format = "SMD"`` (any case), with ``date_created``, ``date_modified`` and ``description``
  attributes (on the group or on its ``data`` group);
- ``GROUP/data/raw``: the traces, an array (molecules, frames, colours) of numbers. Two colours
  are donor and acceptor (tMAVEN's FRET is the last colour over their sum); one colour (or a
  2-D array) is a single-channel intensity;
- ``GROUP/data/source_index`` (optional): per molecule, the number of its source, whose group
  ``GROUP/sources/NUMBER`` holds the source's metadata as attributes (``source_name``, ...);
- ``GROUP/tMAVEN`` (optional, attribute ``format = "tMAVEN"``): per molecule ``classes`` (its
  class), ``pre_list`` and ``post_list`` (the first frame kept and the one after the last).

Where the tMAVEN group gives them, a trace holds the frames pre_list to post_list only. The
files carry no time axis: time counts frames unless the caller gives the frame time. Trace
ids are ``GROUP/N`` (N the 0-based molecule number in its group), and each Trace's metadata
holds ``group``, ``smd`` (the group's attributes), ``source`` (its source's attributes) and,
from the tMAVEN group, ``class``, ``pre`` and ``post``.

An HDF5 file without an SMD group is refused with the list of the datasets it holds.
"""

from __future__ import annotations

import io
from typing import TYPE_CHECKING, Any

import numpy as np

from lumetra.io._trace import BadTrace, Trace, TraceFormatError, each_trace, make_trace

if TYPE_CHECKING:
    import h5py

FORMAT = "smd"
SIGNATURE = b"\x89HDF\r\n\x1a\n"
FIRST_USER_BLOCK = 512  # the signature is at 0 or at 512, 1024, 2048, ... (a user block)
MARK = "smd"  # the value of the SMD group's `format` attribute, in any case
TMAVEN = "tmaven"  # the name of tMAVEN's own group in an SMD group, in any case
TMAVEN_LISTS = ("classes", "pre_list", "post_list")
COLOURS = {1: ("intensity",), 2: ("donor", "acceptor")}
LISTED = 40  # datasets an error names at most


def is_hdf5(data: bytes) -> bool:
    offset = 0
    while offset + len(SIGNATURE) <= len(data):
        if data[offset : offset + len(SIGNATURE)] == SIGNATURE:
            return True
        offset = FIRST_USER_BLOCK if offset == 0 else 2 * offset
    return False


def plain(value: Any) -> Any:
    """An HDF5 attribute as a plain Python value (text, number, list)."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()] if value.dtype.kind in "OS" else value.tolist()
    return value.item() if isinstance(value, np.generic) else value


def attributes(node: h5py.Group | h5py.Dataset) -> dict[str, Any]:
    return {str(key): plain(value) for key, value in node.attrs.items()}


def datasets(root: h5py.Group) -> list[str]:
    """Every dataset of the file, as 'path (shape dtype)'."""
    import h5py

    found: list[str] = []

    def visit(name: str, node: object) -> None:
        if isinstance(node, h5py.Dataset):
            found.append(f"/{name} {node.shape} {node.dtype}")

    root.visititems(visit)
    return found


def listing(names: list[str]) -> str:
    if not names:
        return "none"
    more = f"; ... ({len(names)} in all)" if len(names) > LISTED else ""
    return "; ".join(names[:LISTED]) + more


def smd_groups(root: h5py.Group) -> list[h5py.Group]:
    import h5py

    found: list[h5py.Group] = []

    def visit(_: str, node: object) -> None:
        if (
            isinstance(node, h5py.Group)
            and str(plain(node.attrs.get("format", ""))).lower() == MARK
        ):
            found.append(node)

    root.visititems(visit)
    return found


def read(source: str, data: bytes, frame_time: float | None = None) -> list[Trace | BadTrace]:
    """The traces of every SMD group of the file, group by group."""
    import h5py

    try:
        file = h5py.File(io.BytesIO(data), "r")
    except (OSError, ValueError) as error:
        raise TraceFormatError(source, f"not a readable HDF5 file: {error}") from None
    with file:
        groups = smd_groups(file)
        if not groups:
            raise TraceFormatError(
                source,
                "an HDF5 file of unknown layout: no group marked format='SMD' (tMAVEN's "
                f"layout); the datasets found: {listing(datasets(file))}",
            )
        molecules: list[tuple[_Group, int]] = []
        for group in groups:
            found = _Group(source, group, frame_time)
            molecules += [(found, n) for n in range(found.count)]
        if not molecules:
            raise TraceFormatError(source, "its SMD groups hold no molecules")
        return each_trace(len(molecules), lambda i: molecules[i][0].trace(molecules[i][1], i))


class _Group:
    """One SMD group, read whole and checked."""

    def __init__(self, source: str, group: h5py.Group, frame_time: float | None) -> None:
        import h5py

        self.source, self.name, self.frame_time = source, group.name, frame_time
        raw = group.get("data/raw")
        if not isinstance(raw, h5py.Dataset):
            raise TraceFormatError(
                source,
                f"SMD group {self.name} has no dataset data/raw; it holds: "
                f"{listing(datasets(group))}",
            )
        if raw.ndim not in (2, 3) or raw.dtype.kind not in "iuf":
            raise TraceFormatError(
                source,
                f"{raw.name} is {raw.shape} {raw.dtype}: SMD traces are numbers of shape "
                "(molecules, frames, colours)",
            )
        colours = 1 if raw.ndim == 2 else raw.shape[2]
        if colours not in COLOURS:
            raise TraceFormatError(
                source,
                f"{raw.name} has {colours} colours; 1 (intensity) or 2 (donor, acceptor) are read",
            )
        values = np.asarray(raw[()], dtype=float)
        self.values = values.reshape(*values.shape[:2], colours)
        self.count, self.frames = self.values.shape[:2]
        self.channels = COLOURS[colours]
        self.meta = attributes(group) | attributes(group["data"])
        self.sources_of = self._per_molecule(group.get("data/source_index"), "source_index")
        sources = group.get("sources")
        self.sources = (
            {str(key): attributes(node) for key, node in sources.items()}
            if isinstance(sources, h5py.Group)
            else {}
        )
        tmaven = next((group[k] for k in group if k.lower() == TMAVEN), None)
        tmaven = tmaven if isinstance(tmaven, h5py.Group) else None
        self.lists = {
            key: self._per_molecule(None if tmaven is None else tmaven.get(key), key)
            for key in TMAVEN_LISTS
        }

    def _per_molecule(self, node: Any, what: str) -> np.ndarray[Any, Any] | None:
        if node is None:
            return None
        values = np.asarray(node[()])
        if values.shape != (self.count,) or values.dtype.kind not in "iuf":
            raise TraceFormatError(
                self.source,
                f"{node.name} is {values.shape} {values.dtype}: {what} holds a number per "
                f"molecule, {self.count} here",
            )
        return values

    def trace(self, n: int, index: int) -> Trace:
        where = f"{self.name}, molecule {n}"
        start, end = self._frames(n, where)
        meta: dict[str, Any] = {"group": self.name, "smd": self.meta}
        if self.sources_of is not None:
            meta["source"] = self.sources.get(str(int(self.sources_of[n])), {})
        for key, name in zip(TMAVEN_LISTS, ("class", "pre", "post")):
            found = self.lists[key]
            if found is not None:
                meta[name] = int(found[n])
        values = self.values[n, start:end]
        bad = np.argwhere(~np.isfinite(values))
        if bad.size:
            frame, colour = (int(i) for i in bad[0])
            raise TraceFormatError(
                self.source,
                f"non-finite value {values[frame, colour]!r} in channel '{self.channels[colour]}'",
                where=f"{where}, frame {start + frame}",
            )
        time = None if self.frame_time is None else np.arange(end - start) * self.frame_time
        return make_trace(
            self.source,
            FORMAT,
            time,
            where=where,
            trace_id=f"{self.name.lstrip('/')}/{n}",
            index=index,
            metadata=meta,
            **dict(zip(self.channels, values.T)),
        )

    def _frames(self, n: int, where: str) -> tuple[int, int]:
        pre, post = self.lists["pre_list"], self.lists["post_list"]
        start = 0 if pre is None else int(pre[n])
        end = self.frames if post is None else int(post[n])
        if not 0 <= start < end <= self.frames:
            raise TraceFormatError(
                self.source,
                f"pre_list {start} and post_list {end} do not bound frames of a trace of "
                f"{self.frames}",
                where=where,
            )
        return start, end
