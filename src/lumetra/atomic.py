"""Writing result files so that a reader never sees half of one.

Each file is written to a temporary file in the same directory and moved over its final name
with os.replace, which is atomic on one file system: an interrupted run leaves either the old
file or the new one, never a torn one.
"""

from __future__ import annotations

import hashlib
import json
import os
import secrets
import tempfile
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any, Callable, Union

import numpy as np
import pandas as pd

from lumetra import batchcore

PathArg = Union[str, "os.PathLike[str]"]


def sha256_of(path: PathArg) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def atomic_write(path: PathArg, write: Callable[[str], object]) -> Path:
    """Calls write(temporary_path), then moves the temporary file to `path`."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = _temporary(path)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
    return path


def _temporary(path: Path) -> str:
    """A new empty file beside `path`, named as remove_leftovers finds it, with the mode the
    process's umask gives new files (mkstemp's 0600 would stay through the rename and keep
    the results from the rest of a lab's group)."""
    for _ in range(tempfile.TMP_MAX):
        tmp = path.parent / f".{path.stem}.{secrets.token_hex(4)}.tmp{path.suffix}"
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return str(tmp)
    raise FileExistsError(f"no free temporary name beside {path}")


def remove_leftovers(directory: PathArg) -> None:
    """Deletes the temporary files that a run killed mid-write (SIGKILL, power loss) left in
    `directory`; none of them was ever a finished output."""
    for leftover in Path(directory).glob(".*.tmp*"):
        if leftover.is_file():
            leftover.unlink(missing_ok=True)


def write_text(path: PathArg, text: str) -> Path:
    return write_stream(path, lambda f: f.write(text))


def write_stream(path: PathArg, write: Callable[[Any], object]) -> Path:
    """A text file that write(file) writes piece by piece, never held whole."""

    def to_file(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8") as f:
            write(f)

    return atomic_write(path, to_file)


def write_json(path: PathArg, data: object) -> Path:
    def write(f: Any) -> None:
        json.dump(data, f, indent=2, default=str)
        f.write("\n")

    return write_stream(path, write)


def write_csv(
    path: PathArg, frame: pd.DataFrame, header: Mapping[str, object] | None = None
) -> Path:
    """A CSV file; `header` (a dict) goes first as '# key: value' lines."""
    names = list(frame.columns)
    if _native(names, list(frame.dtypes)):
        return _write_native(
            path, names, [frame.iloc[:, i].to_numpy() for i in range(len(names))], header
        )

    def write(f: Any) -> None:
        f.write(_header_lines(header))
        frame.to_csv(f, index=False, lineterminator="\n")

    return write_stream(path, write)


def write_columns(
    path: PathArg,
    columns: Mapping[str, np.ndarray[Any, Any]],
    header: Mapping[str, object] | None = None,
) -> Path:
    """write_csv of a DataFrame of these columns (of one length), without making the frame
    where every column is of a dtype the native writer takes."""
    names, arrays = list(columns), [np.asarray(c) for c in columns.values()]
    if _native(names, [a.dtype for a in arrays]):
        return _write_native(path, names, arrays, header)
    return write_csv(path, pd.DataFrame(dict(zip(names, arrays))), header)


def _header_lines(header: Mapping[str, object] | None) -> str:
    return "".join(f"# {key}: {value}\n" for key, value in (header or {}).items())


def _write_native(
    path: PathArg,
    names: list[str],
    arrays: list[np.ndarray[Any, Any]],
    header: Mapping[str, object] | None,
) -> Path:
    def write(f: Any) -> None:
        f.write(_header_lines(header) + ",".join(names) + "\n")
        batchcore.write_csv_rows(arrays, f.write)

    return write_stream(path, write)


# The dtypes batchcore.write_csv_rows writes as pandas would, in a fraction of its time.
_NATIVE_CSV_DTYPES = frozenset(np.dtype(name) for name in ("float64", "int64", "int32", "int8"))


def _native(names: list[Any], dtypes: list[Any]) -> bool:
    """Whether the native writer writes these columns as pandas would: every one of those
    dtypes, every name a plain ASCII identifier, which the csv module writes unquoted."""
    if not names or not all(isinstance(n, str) and n.isascii() and n.isidentifier() for n in names):
        return False
    return all(isinstance(d, np.dtype) and d in _NATIVE_CSV_DTYPES for d in dtypes)


ROWS_PER_GROUP = 1 << 16  # rows converted and written at a time (one row group each)


def row_groups(parts: Iterable[pd.DataFrame]) -> Iterator[pd.DataFrame]:
    """The rows of `parts` (frames of the same columns, in order) ROWS_PER_GROUP at a time, the
    last one fewer; the first part, empty, when there are no rows."""
    pending: list[pd.DataFrame] = []
    held, written, first = 0, False, None
    for part in parts:
        first = part if first is None else first
        if len(part):
            pending.append(part)
            held += len(part)
        while held >= ROWS_PER_GROUP:
            rows = pending[0] if len(pending) == 1 else pd.concat(pending, ignore_index=True)
            yield rows.iloc[:ROWS_PER_GROUP]
            written, held = True, held - ROWS_PER_GROUP
            pending = [rows.iloc[ROWS_PER_GROUP:]] if held else []
    if held:
        yield pending[0] if len(pending) == 1 else pd.concat(pending, ignore_index=True)
    elif not written and first is not None:  # every part empty
        yield first


def write_parquet(
    path: PathArg, frame: pd.DataFrame | Iterable[pd.DataFrame], metadata: Mapping[str, Any]
) -> Path:
    """A Parquet file of a table, or of its parts in order, written ROWS_PER_GROUP rows at a
    time (one row group each), so that a table of millions of rows is never held twice or at
    all; `metadata` as JSON under the schema key 'lumetra'."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    parts = [frame] if isinstance(frame, pd.DataFrame) else frame

    def write(tmp: str) -> None:
        writer, schema = None, None
        try:
            for rows in row_groups(parts):
                table = pa.Table.from_pandas(rows, preserve_index=False, schema=schema)
                if writer is None:
                    merged = {
                        **(table.schema.metadata or {}),
                        b"lumetra": json.dumps(metadata).encode(),
                    }
                    schema = table.schema.with_metadata(merged)
                    table = table.replace_schema_metadata(merged)
                    writer = pq.ParquetWriter(tmp, schema)
                writer.write_table(table)
        finally:
            if writer is not None:
                writer.close()
        if writer is None:
            raise ValueError(f"no table to write to {path}")

    try:
        return atomic_write(path, write)
    finally:  # Arrow's allocator keeps what it freed for the next table otherwise
        pa.default_memory_pool().release_unused()


def write_csv_parts(
    path: PathArg, parts: Iterable[pd.DataFrame], header: Mapping[str, object] | None = None
) -> Path:
    """write_csv of a table given as its parts (frames of the same columns, in order), one part
    held at a time."""

    def write(f: Any) -> None:
        f.write(_header_lines(header))
        for k, part in enumerate(parts):
            part.to_csv(f, index=False, header=k == 0, lineterminator="\n")

    return write_stream(path, write)


def write_excel(path: PathArg, sheets: Sequence[tuple[str, pd.DataFrame]]) -> Path:
    """An .xlsx workbook with one sheet per (name, DataFrame) item, in order."""

    def write(tmp: str) -> None:
        with pd.ExcelWriter(tmp, engine="openpyxl") as writer:
            for name, frame in sheets:
                frame.to_excel(writer, sheet_name=name, index=False)

    return atomic_write(path, write)
