"""The record a batch writes for each input file once its traces are written, and what a
batch started again on the same output directory reads back from it.

    records/NAME.json         lumetra version, source, sha256, the fit options, and per trace
                              its index, parameters, score, segments (first frames, ends,
                              levels, spreads), reading and seconds; the traces skipped or
                              failed in the file

The record is written after the file's idealised traces, atomically: a file whose record is
there has every trace written. A record is reused when the version, the checksum of the
source and the options are the ones of the new batch and every trace file it names is there;
the fit is then rebuilt from the record and the idealised traces (time and intensity), which
hold every value exactly (pandas writes the shortest representation that reads back as the
same float). A fit read back (StoredFit) holds its record's summary only and reads its frames
from the idealised trace when they are asked for, so that a batch of 10^5 traces holds no
more than their summaries.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumetra import atomic, batchcore
from lumetra.batch.types import FileFit, FloatArray, IntArray, SourceFit

RECORDS = "records"  # the directory of the records, beside traces/


def plain(value: dict[str, Any]) -> dict[str, Any]:
    """`value` as JSON gives it back (tuples as lists, ...), for comparing options."""
    back: dict[str, Any] = json.loads(json.dumps(value))
    return back


def fit_summary(fit: FileFit) -> dict[str, Any]:
    return {
        "part": fit.part,
        "params": fit.params,
        "score": fit.score,
        "starts": fit.starts.tolist(),
        "ends": fit.ends.tolist(),
        "levels": fit.levels.tolist(),
        "spreads": fit.spreads.tolist(),
        "frames": len(fit.intensity),
        "reading": fit.reading,
        "seconds": fit.seconds,
    }


def write_record(
    path: Path, source: str, checksum: str, options: dict[str, Any], version: str, fit: SourceFit
) -> Path:
    record = {
        "lumetra": version,
        "source": source,
        "sha256": checksum,
        "options": options,
        "fits": [fit_summary(one) for one in fit.fits],
        "skipped": fit.skipped,
        "failed": fit.failed,
    }
    return atomic.write_json(path, record)


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
    try:
        text = path.read_text(encoding="utf-8")
        record: dict[str, Any] = json.loads(text, object_pairs_hook=_shared)
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


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
    )


class StoredFit(FileFit):
    """The fit of one trace as a batch's folder holds it: the summary from its record, the
    time and intensity read from its idealised trace (trace_file) on every use, not kept."""

    def __init__(self, trace_file: Path, frames: int | None, **summary: Any) -> None:
        self.trace_file = str(trace_file)  # a Path holds its parts as well: 100,000 of them add up
        self.frames = frames  # None in records of earlier versions: told by the trace file
        self.part, self.reading = None, {}
        for name, value in summary.items():
            setattr(self, name, value)

    def arrays(self) -> tuple[FloatArray, FloatArray]:
        table = pd.read_csv(self.trace_file, comment="#", usecols=["time", "intensity"])
        return table["time"].to_numpy(dtype=float), table["intensity"].to_numpy(dtype=float)

    # Read-only: a fit read back is not changed in place.
    @property
    def time(self) -> FloatArray:  # type: ignore[override]
        return self.arrays()[0]

    @property
    def intensity(self) -> FloatArray:  # type: ignore[override]
        return self.arrays()[1]

    @property
    def frame_segment(self) -> IntArray:  # type: ignore[override]
        frames = self.frames if self.frames is not None else len(self.arrays()[1])
        return batchcore.frame_segments(frames, self.starts, self.ends)


def load_fit(summary: dict[str, Any], source: str, checksum: str, trace_file: Path) -> StoredFit:
    """The fit of one trace from its summary in a record and its idealised trace file."""
    return StoredFit(
        trace_file,
        summary.get("frames"),
        path=source,
        sha256=checksum,
        params=summary["params"],
        score=float(summary["score"]),
        starts=np.asarray(summary["starts"], dtype=np.int64),
        ends=np.asarray(summary["ends"], dtype=np.int64),
        levels=np.asarray(summary["levels"], dtype=float),
        spreads=np.asarray(summary["spreads"], dtype=float),
        seconds=float(summary["seconds"]),
        part=summary["part"],
        reading=summary["reading"],
    )
