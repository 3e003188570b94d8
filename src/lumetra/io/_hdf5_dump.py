"""What lumetra.io.smd needs of an HDF5 file, read in a process of its own.

The HDF5 library is not hardened against damaged files: some make it crash (a segmentation
fault) or loop for ever. lumetra.io.smd therefore runs this file as a script in a child
process (only h5py and numpy imported): the file's bytes on standard input, the most values a
dataset may hold as the argument; on standard output a pickle of a dict, either
{"error": message} or

- "datasets": every dataset of the file as (path, shape, dtype);
- "groups": per group marked format = "SMD" (any case), in the order visited: "name",
  "attrs" (the group's attributes), "data_attrs" (its data group's), "raw" (data/raw as an
  array, or a description "SHAPE DTYPE" where it is no numeric array of 2 or 3 dimensions and
  at most that many values, or None where there is none), "source_index" (an array, a
  description, or None), "sources" (the attributes of each member of its sources group) and
  "tmaven" (classes, pre_list and post_list of its tMAVEN group, each as source_index).

A crash or hang takes only the child with it; the parent reports the file as damaged.
"""

from __future__ import annotations

import io
import pickle
import sys
from typing import Any

import h5py
import numpy as np

MARK = "smd"
TMAVEN = "tmaven"
TMAVEN_LISTS = ("classes", "pre_list", "post_list")


def plain(value: Any) -> Any:
    """An HDF5 attribute as a plain Python value (text, number, list)."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()] if value.dtype.kind in "OS" else value.tolist()
    return value.item() if isinstance(value, np.generic) else value


def attributes(node: Any) -> dict[str, Any]:
    return {str(key): plain(value) for key, value in node.attrs.items()}


def array(node: Any, dimensions: tuple[int, ...], limit: int) -> Any:
    """The dataset's values, or a description of it when it is not what is read."""
    if not isinstance(node, h5py.Dataset):
        return None
    readable = node.ndim in dimensions and node.dtype.kind in "iuf" and node.size <= limit
    return np.asarray(node[()]) if readable else f"{node.shape} {node.dtype}"


def is_smd(node: Any) -> bool:
    return str(plain(node.attrs.get("format", ""))).lower() == MARK


def group(node: Any, limit: int) -> dict[str, Any]:
    data = node.get("data")
    data = data if isinstance(data, h5py.Group) else None
    sources = node.get("sources")
    tmaven = next((node[k] for k in node if k.lower() == TMAVEN), None)
    tmaven = tmaven if isinstance(tmaven, h5py.Group) else None
    return {
        "name": node.name,
        "attrs": attributes(node),
        "data_attrs": {} if data is None else attributes(data),
        "raw": None if data is None else array(data.get("raw"), (2, 3), limit),
        "source_index": None if data is None else array(data.get("source_index"), (1,), limit),
        "sources": (
            {str(k): attributes(v) for k, v in sources.items()}
            if isinstance(sources, h5py.Group)
            else {}
        ),
        "tmaven": {
            key: None if tmaven is None else array(tmaven.get(key), (1,), limit)
            for key in TMAVEN_LISTS
        },
    }


def dump(file: Any, limit: int) -> dict[str, Any]:
    datasets: list[tuple[str, tuple[int, ...], str]] = []
    marked = [file] if is_smd(file) else []

    def visit(name: str, node: Any) -> None:
        if isinstance(node, h5py.Dataset):
            datasets.append((f"/{name}", node.shape, str(node.dtype)))
        elif isinstance(node, h5py.Group) and is_smd(node):
            marked.append(node)

    file.visititems(visit)
    return {"datasets": datasets, "groups": [group(node, limit) for node in marked]}


def main() -> None:
    limit = int(sys.argv[1])
    data = sys.stdin.buffer.read()
    try:
        file = h5py.File(io.BytesIO(data), "r")
    except Exception as error:  # noqa: BLE001 - every failure of the library is reported
        found: dict[str, Any] = {"error": f"not a readable HDF5 file: {error}"}
    else:
        try:
            with file:
                found = dump(file, limit)
        except Exception as error:  # noqa: BLE001
            found = {"error": f"a damaged HDF5 file: {error}"}
    sys.stdout.buffer.write(pickle.dumps(found))


if __name__ == "__main__":
    main()
