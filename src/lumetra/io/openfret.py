"""OpenFRET datasets: JSON text, or a zip archive holding one JSON file.

Layout from the OpenFRET data format, version 1.0.0 (openFRET.yaml, its OpenAPI
3.0.0 schema, and the README of the OpenFRET repository; the `openfret` package on PyPI reads
and writes it, `write_data(..., compress=True)` as FILE.json.zip):

- Dataset, a JSON object: ``title`` and ``traces`` required; ``description``,
  ``experiment_type``, ``authors``, ``institution``, ``date``, ``metadata``,
  ``sample_details``, ``instrument_details`` optional.
- Trace: ``channels`` required (a list), ``metadata`` (any object) optional.
- Channel: ``channel_type`` (e.g. donor, acceptor, FRET) and ``data`` (the intensity of every
  frame) required; ``excitation_wavelength``, ``emission_wavelength`` (nm),
  ``exposure_time`` (s per frame) and ``metadata`` optional.

The channel types read, compared without case, spaces, ``_`` or ``-``: ``donor``, ``acceptor``,
``acceptor_direct`` (acceptor emission under acceptor excitation) and, for single-channel
traces, ``intensity``; other channels (``FRET``, ...) are named in the metadata and not read.
The format has no time axis: a trace's time is frame number times the channels'
``exposure_time`` (taken as the frame interval), or, where the trace's metadata holds a list
``time`` (a number per frame, in seconds: what lumetra writes for an axis that is not regular),
that axis. Without either, time counts frames unless the caller gives the frame time. The trace's
id is its metadata's ``name``, ``molecule_id`` or ``id``, else its 1-based number.

Every Trace keeps the file's metadata: ``metadata["dataset"]`` (the dataset's fields but
``traces``), ``metadata["trace"]`` (the trace's metadata but the ``time`` axis) and
``metadata["channels"]`` (by channel type, each channel's fields but ``data``).

A trace whose channels do not fit (a value that is no finite number, channels of different
lengths or exposure times, a donor without an acceptor) is refused alone, naming it; the
file's other traces are read all the same.
"""

from __future__ import annotations

import io
import json
import math
import re
import zipfile
from collections.abc import Mapping
from typing import Any

import numpy as np

from lumetra.io._trace import BadTrace, Trace, TraceFormatError, each_trace, make_trace, quoted

FORMAT = "openfret"
ZIP_SIGNATURE = b"PK\x03\x04"
JSON_SUFFIX = ".json"
CHANNELS = {
    "donor": "donor",
    "acceptor": "acceptor",
    "acceptordirect": "acceptor_direct",
    "intensity": "intensity",
}
TIME = "time"  # trace metadata: the time axis, where exposure_time does not give it
NAME_KEYS = ("name", "molecule_id", "id")
EXPOSURE = "exposure_time"
# The most a zipped dataset may unpack to: an archive that claims or gives more (a zip bomb) is
# refused before it fills the memory.
MAX_UNPACKED_BYTES = 2**30


def is_zip(data: bytes) -> bool:
    return data[: len(ZIP_SIGNATURE)] == ZIP_SIGNATURE


def channel_key(channel_type: str) -> str:
    return re.sub(r"[\s_\-]", "", channel_type).lower()


def json_member(source: str, data: bytes) -> zipfile.ZipInfo:
    """The one JSON file of a zip archive (or its one file); TraceFormatError otherwise."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as error:
        raise TraceFormatError(source, f"a damaged zip archive: {error}") from None
    files = [i for i in archive.infolist() if not i.is_dir()]
    found = [i for i in files if i.filename.lower().endswith(JSON_SUFFIX)]
    if len(found) != 1 and len(files) == 1:
        found = files
    if len(found) != 1:
        names = quoted([i.filename for i in files])
        raise TraceFormatError(
            source, f"a zip archive of {names}: an OpenFRET archive holds one JSON file"
        )
    return found[0]


def unpacked(data: bytes, member: zipfile.ZipInfo) -> bytes:
    """The member's bytes; MemoryError once they pass MAX_UNPACKED_BYTES, whatever the archive
    claims."""
    if member.file_size > MAX_UNPACKED_BYTES:
        raise MemoryError
    chunks, size = [], 0
    with zipfile.ZipFile(io.BytesIO(data)) as archive, archive.open(member) as stream:
        while chunk := stream.read(2**20):
            size += len(chunk)
            if size > MAX_UNPACKED_BYTES:
                raise MemoryError
            chunks.append(chunk)
    return b"".join(chunks)


def document(source: str, data: bytes) -> dict[str, Any]:
    """The dataset object of the file: its JSON text, or the JSON file of its zip archive."""
    where = None
    if is_zip(data):
        member = json_member(source, data)
        where = f"member {member.filename!r}"
        try:
            data = unpacked(data, member)
        except (zipfile.BadZipFile, OSError, EOFError) as error:
            raise TraceFormatError(source, f"cannot unpack: {error}", where=where) from None
        except MemoryError:
            raise TraceFormatError(
                source, f"unpacks to more than {MAX_UNPACKED_BYTES} bytes", where=where
            ) from None
    try:
        parsed = json.loads(data)
    except json.JSONDecodeError as error:
        raise TraceFormatError(
            source, f"not valid JSON: {error.msg} (column {error.colno})", error.lineno, where
        ) from None
    except (UnicodeDecodeError, RecursionError) as error:
        raise TraceFormatError(source, f"not valid JSON: {error}", where=where) from None
    if not isinstance(parsed, dict):
        kind = type(parsed).__name__
        raise TraceFormatError(
            source, f"not an OpenFRET dataset: the JSON holds a {kind}, not an object", where=where
        )
    if not isinstance(parsed.get("traces"), list):
        raise TraceFormatError(
            source,
            f"not an OpenFRET dataset: no list of 'traces' (keys found: {quoted(sorted(parsed))})",
            where=where,
        )
    return parsed


def read(source: str, data: bytes, frame_time: float | None = None) -> list[Trace | BadTrace]:
    """The dataset's traces; one that does not fit is a BadTrace, the others are read."""
    dataset = document(source, data)
    entries: list[Any] = dataset["traces"]
    if not entries:
        raise TraceFormatError(source, "the dataset holds no traces")
    shared = {key: value for key, value in dataset.items() if key != "traces"}
    return each_trace(len(entries), lambda n: _trace(source, n, entries[n], shared, frame_time))


def _trace(
    source: str, n: int, entry: object, dataset: dict[str, Any], frame_time: float | None
) -> Trace:
    where = f"trace {n + 1}"
    if not isinstance(entry, dict) or not isinstance(entry.get("channels"), list):
        raise TraceFormatError(
            source, "a trace is an object with a list of 'channels'", where=where
        )
    meta = entry.get("metadata") or {}
    if not isinstance(meta, dict):
        raise TraceFormatError(source, f"metadata {quoted(meta)} is not an object", where=where)
    read_channels: dict[str, np.ndarray[Any, np.dtype[np.float64]]] = {}
    described: dict[str, dict[str, Any]] = {}
    exposures: dict[str, float] = {}
    for number, channel in enumerate(entry["channels"], 1):
        place = f"{where}, channel {number}"
        if not isinstance(channel, dict) or not isinstance(channel.get("channel_type"), str):
            raise TraceFormatError(source, "a channel needs a 'channel_type' string", where=place)
        kind = channel["channel_type"]
        if kind in described:
            raise TraceFormatError(source, f"a second channel of type {kind!r}", where=place)
        described[kind] = {k: v for k, v in channel.items() if k != "data"}
        name = CHANNELS.get(channel_key(kind))
        if name is None:
            continue
        read_channels[name] = _values(source, channel.get("data"), f"{place} ({kind})")
        exposure = channel.get(EXPOSURE)
        if exposure is not None:
            exposures[kind] = _exposure(source, exposure, f"{place} ({kind})")
    if "donor" in read_channels or "acceptor" in read_channels:
        read_channels.pop("intensity", None)
        if not {"donor", "acceptor"} <= set(read_channels):
            raise TraceFormatError(
                source,
                "a two-colour trace needs donor and acceptor channels; it has "
                f"{quoted(list(described))}",
                where=where,
            )
    if not read_channels:
        raise TraceFormatError(
            source,
            f"no channel lumetra reads among {quoted(list(described))} (donor and acceptor, or "
            "intensity)",
            where=where,
        )
    if len(set(exposures.values())) > 1:
        raise TraceFormatError(
            source, f"channels of different exposure times {exposures}", where=where
        )
    frames = len(next(iter(read_channels.values())))
    time = _time(source, meta, frames, next(iter(exposures.values()), frame_time), where)
    label = next((meta[k] for k in NAME_KEYS if isinstance(meta.get(k), (str, int))), n + 1)
    return make_trace(
        source,
        FORMAT,
        time,
        where=where,
        trace_id=str(label),
        index=n,
        metadata={
            "dataset": dataset,
            "trace": {k: v for k, v in meta.items() if k != TIME or not isinstance(v, list)},
            "channels": described,
        },
        donor=read_channels.get("donor"),
        acceptor=read_channels.get("acceptor"),
        acceptor_direct=read_channels.get("acceptor_direct"),
        intensity=read_channels.get("intensity"),
    )


def _is_number(value: object) -> bool:
    return type(value) in (int, float) and math.isfinite(value)  # type: ignore[arg-type]


def _values(source: str, data: object, where: str) -> np.ndarray[Any, np.dtype[np.float64]]:
    """A channel's data: a list of finite numbers."""
    if not isinstance(data, list):
        raise TraceFormatError(
            source, f"'data' is {quoted(data)}, not a list of numbers", where=where
        )
    bad = next((i for i, v in enumerate(data) if not _is_number(v)), None)
    if bad is not None:
        raise TraceFormatError(
            source, f"frame {bad + 1} holds {quoted(data[bad])}, not a finite number", where=where
        )
    return np.array(data, dtype=float)


def _exposure(source: str, value: object, where: str) -> float:
    if not _is_number(value) or float(value) <= 0:  # type: ignore[arg-type]
        raise TraceFormatError(
            source, f"exposure_time {quoted(value)} is not a positive number", where=where
        )
    return float(value)  # type: ignore[arg-type]


def _time(
    source: str, meta: Mapping[str, Any], frames: int, step: float | None, where: str
) -> np.ndarray[Any, np.dtype[np.float64]] | None:
    if isinstance(meta.get(TIME), list):
        axis = _values(source, meta[TIME], f"{where}, metadata 'time'")
        if len(axis) != frames:
            raise TraceFormatError(
                source, f"metadata 'time' holds {len(axis)} values for {frames} frames", where=where
            )
        return axis
    return None if step is None else np.arange(frames, dtype=float) * step
