"""The record a batch writes for each input file once its traces are written, and what a
batch started again on the same output directory reads back from it.

    records/NAME.json         lumetra version, source, sha256, the fit options, and per trace
                              its index, parameters, score, segments (first frames, ends,
                              levels, spreads), reading, seconds, screening metrics and
                              masked frames, and why the step fit was not made (note); the
                              traces skipped or failed in the file

The record is written after the file's idealised traces, atomically: a file whose record is
there has every trace written. A record is reused when the version, the checksum of the
source and the options are the ones of the new batch and every trace file it names is there;
the fit's summary (lumetra.batch.types.TraceFit) is then rebuilt from the record, and its frames
are in the idealised trace (lumetra.batch.store), which holds every value exactly (pandas
writes the shortest representation that reads back as the same float).
"""

from __future__ import annotations

import json
import sys
import zlib
from pathlib import Path
from typing import Any

import numpy as np

from lumetra import atomic
from lumetra.batch.types import SourceFit, TraceFit

RECORDS = "records"  # the directory of the records, beside traces/


def plain(value: dict[str, Any]) -> dict[str, Any]:
    """`value` as JSON gives it back (tuples as lists, ...), for comparing options."""
    back: dict[str, Any] = json.loads(json.dumps(value))
    return back


def fit_summary(fit: TraceFit) -> dict[str, Any]:
    return {
        "part": fit.part,
        "params": fit.params,
        "score": fit.score,
        "starts": fit.starts.tolist(),
        "ends": fit.ends.tolist(),
        "levels": fit.levels.tolist(),
        "spreads": fit.spreads.tolist(),
        "frames": fit.frames,
        "reading": fit.reading,
        "seconds": fit.seconds,
        "screen": fit.screen,
        "note": fit.note,
    }


def write_record(
    path: Path, source: str, checksum: str, options: dict[str, Any], version: str, fit: SourceFit
) -> bytes:
    """Writes the record and returns it packed (`packed`; `unpacked` gives it as read_record
    reads it back)."""
    record = {
        "lumetra": version,
        "source": source,
        "sha256": checksum,
        "options": options,
        "fits": [fit_summary(one) for one in fit.fits],
        "skipped": fit.skipped,
        "failed": fit.failures,
    }
    text = json.dumps(record, indent=2, default=str) + "\n"  # values JSON lacks as strings
    atomic.write_text(path, text)
    return packed(text)


def packed(text: str) -> bytes:
    """A record's text, compressed: a batch keeps every file's record until the fits are
    gathered, about a tenth of its size as parsed objects."""
    return zlib.compress(text.encode("utf-8"), 1)


def unpacked(blob: bytes) -> dict[str, Any]:
    record: dict[str, Any] = json.loads(zlib.decompress(blob), object_pairs_hook=_shared)
    return record


SHARED_LENGTH = 32  # string values up to this long are held once however many records repeat them


def _shared(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object whose keys and short strings are interned: a batch holds the summaries of
    all its traces, whose readings repeat the same few words."""
    return {
        sys.intern(key): sys.intern(value)
        if isinstance(value, str) and len(value) <= SHARED_LENGTH
        else value
        for key, value in pairs
    }


def read_record(path: Path) -> dict[str, Any] | None:
    """The record at `path`, or None when there is none or it cannot be read."""
    found = read_packed(path)
    return None if found is None else found[0]


def read_packed(path: Path) -> tuple[dict[str, Any], bytes] | None:
    """The record at `path` and its text packed, or None when there is none or it cannot be
    read."""
    try:
        text = path.read_text(encoding="utf-8")
        record: dict[str, Any] = json.loads(text, object_pairs_hook=_shared)
    except (OSError, ValueError):
        return None
    return (record, packed(text)) if isinstance(record, dict) else None


def matches(
    record: dict[str, Any], source: str, checksum: str, options: dict[str, Any], version: str
) -> bool:
    """Whether the record holds the fit of this very file (path and content) with these
    options by this version."""
    return (
        record.get("lumetra") == version
        and record.get("source") == source
        and record.get("sha256") == checksum
        and record.get("options") == plain(options)
        and all("screen" in fit for fit in record.get("fits", []))  # screened traces only
    )


def source_fit(record: dict[str, Any]) -> SourceFit:
    """The fits of one file (their summaries), its skipped and failed traces, from its record."""
    source, checksum = record["source"], record["sha256"]
    fits = [load_fit(one, source, checksum) for one in record["fits"]]
    return SourceFit(fits, dict(record["skipped"]), dict(record["failed"]), checksum)


def load_fit(summary: dict[str, Any], source: str, checksum: str) -> TraceFit:
    """The fit of one trace from its summary in a record (fit_summary)."""
    return TraceFit(
        path=source,
        sha256=checksum,
        params=summary["params"],
        score=float(summary["score"]),
        starts=np.asarray(summary["starts"], dtype=np.int64),
        ends=np.asarray(summary["ends"], dtype=np.int64),
        levels=np.asarray(summary["levels"], dtype=float),
        spreads=np.asarray(summary["spreads"], dtype=float),
        frames=int(summary["frames"]),
        seconds=float(summary["seconds"]),
        part=summary["part"],
        reading=summary["reading"],
        screen=summary["screen"],
        note=summary["note"],
    )
