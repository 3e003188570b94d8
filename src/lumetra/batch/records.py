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
same float).
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from lumetra import atomic, batchcore
from lumetra.batch.types import FileFit, SourceFit

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


def read_record(path: Path) -> dict[str, Any] | None:
    """The record at `path`, or None when there is none or it cannot be read."""
    try:
        record: dict[str, Any] = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def matches(record: dict[str, Any], checksum: str, options: dict[str, Any], version: str) -> bool:
    return (
        record.get("lumetra") == version
        and record.get("sha256") == checksum
        and record.get("options") == plain(options)
    )


def load_fit(summary: dict[str, Any], source: str, checksum: str, trace_file: Path) -> FileFit:
    """The fit of one trace from its summary in a record and its idealised trace file."""
    table = pd.read_csv(trace_file, comment="#")
    starts = np.asarray(summary["starts"], dtype=np.int64)
    ends = np.asarray(summary["ends"], dtype=np.int64)
    intensity = table["intensity"].to_numpy(dtype=float)
    return FileFit(
        path=source,
        sha256=checksum,
        params=summary["params"],
        score=float(summary["score"]),
        time=table["time"].to_numpy(dtype=float),
        intensity=intensity,
        starts=starts,
        ends=ends,
        levels=np.asarray(summary["levels"], dtype=float),
        spreads=np.asarray(summary["spreads"], dtype=float),
        frame_segment=batchcore.frame_segments(len(intensity), starts, ends),
        seconds=float(summary["seconds"]),
        part=summary["part"],
        reading=summary["reading"],
    )
