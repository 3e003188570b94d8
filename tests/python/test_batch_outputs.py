"""Batch fitting end to end on a few simulated traces with fixed parameters: the files it
writes, what they record, bad files, the command line."""

import hashlib
import json
import pickle
from concurrent.futures import ThreadPoolExecutor
from unittest.mock import Mock

import numpy as np
import pandas as pd
import pytest

from lumetra.__main__ import main
from lumetra.batch import fit_traces
from lumetra.lumetraTrace import lumetraTrace
from lumetra.simulation import simulate_traces

FIXED = (5, -1.0, 0.2, 0)
PARAMS = {"halfWinLen": 5, "rratio": -1.0, "thrate": 0.2, "filterWidth": 0}


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    out = tmp_path_factory.mktemp("sim")
    files = simulate_traces(out, 3, [300, 800], [0.05, 0.08], 0.1, 1500, snr=6, seed=5)
    return out, files


@pytest.fixture(scope="module")
def batch(traces, tmp_path_factory):
    out = tmp_path_factory.mktemp("fit")
    with ThreadPoolExecutor(2) as executor:
        result = fit_traces(
            traces[1], out, executor=executor, params=FIXED, progress=False, method="classic"
        )
    return result, out


def test_segment_table_matches_the_trace_objects_fit(traces, batch):
    result, out = batch
    segments = pd.read_csv(out / "segments.csv")
    pd.testing.assert_frame_equal(pd.read_parquet(out / "segments.parquet"), segments)
    assert result.ok and len(result.fits) == 3
    for path in traces[1]:
        trace = lumetraTrace()
        trace.loadData(path)
        score = trace.fitTrajectory(*FIXED)
        partitions = trace.finalPartitions()
        rows = segments[segments.file == path]
        assert list(rows.start_frame) == [p[0] for p in partitions]
        assert list(rows.end_frame) == [p[1] - 1 for p in partitions]
        np.testing.assert_allclose(rows.level, trace.means, rtol=1e-12)
        spreads = [np.std(trace.CH1mBGND1[a:b]) for a, b, _ in partitions]
        np.testing.assert_allclose(rows.spread, spreads, rtol=1e-9)
        np.testing.assert_allclose(rows.start_time, trace.frames[rows.start_frame])
        assert set(rows.score) == {score}
        assert set(rows.sha256) == {hashlib.sha256(open(path, "rb").read()).hexdigest()}
        for name, value in PARAMS.items():
            assert set(rows[name]) == {value}
    assert set(segments.lumetra_version) == {"0.1.0"}
    # Two states: every segment is labelled with the nearer of the two fitted levels.
    levels = sorted(set(segments.state_level))
    assert len(levels) == 2 and abs(levels[0] - 300) < 15 and abs(levels[1] - 800) < 15


def test_idealised_traces_record_their_source(traces, batch):
    result, out = batch
    path = traces[1][0]
    text = (out / "traces" / "trace_0001.csv").read_text().splitlines()
    assert text[:3] == [
        "# lumetra: 0.1.0",
        f"# source: {path}",
        f"# sha256: {result.fits[0].sha256}",
    ]
    assert "halfWinLen=5 rratio=-1.0 thrate=0.2 filterWidth=0" in text[3]
    ideal = pd.read_csv(out / "traces" / "trace_0001.csv", comment="#")
    assert list(ideal.columns) == ["frame", "time", "intensity", "level"]
    raw = pd.read_table(path)
    np.testing.assert_array_equal(ideal.intensity, raw["CH1-BGND1"])
    np.testing.assert_array_equal(ideal.time, raw["Frame/10"])
    segments = result.segments[result.segments.file == path]
    for row in segments.itertuples():
        inside = ideal.level[row.start_frame : row.end_frame + 1]
        assert (inside == row.level).all()
    # Frames between two segments take one of the two neighbouring levels.
    assert set(ideal.level) == set(segments.level)


def test_spreadsheet_feeds_transition_statistics_and_matches_the_kinetics(batch):
    result, out = batch
    files = pd.read_excel(out / "ideal.xlsx", sheet_name="files")
    assert list(files.file) == [fit.path for fit in result.fits]
    trace = lumetraTrace()
    shared = len(lumetraTrace.trimTails)  # a class-level list every call appends to
    try:
        trace.transitionStatistics(str(out / "ideal.xlsx"))
        assert lumetraTrace.trimTails[shared:] == [-1] * len(result.fits)
    finally:
        del lumetraTrace.trimTails[shared:]
    levels = set(result.segments.state_level)
    assert set(trace.trans0) | set(trace.trans1) <= levels
    assert all(a != b for a, b in zip(trace.trans0, trace.trans1))
    # transitionStatistics also counts each trace's first dwell, which the kinetics leave out.
    traces_with_steps = sum(len(set(fit.levels)) > 1 for fit in result.fits)
    assert len(trace.trans0) == result.kinetics.dwells.sum() + traces_with_steps
    assert (out / "dwell_times.html").read_text().count("probability density") >= 1
    manifest = (out / "manifest.json").read_text()
    assert '"lumetra": "0.1.0"' in manifest and result.fits[2].sha256 in manifest


def test_bad_files_fail_alone(traces, tmp_path, capsys):
    good = traces[1][0]
    no_column = tmp_path / "no_column.txt"
    no_column.write_text("Frame/10\tOther\n0\t1\n0.1\t2\n")
    flat = tmp_path / "flat.txt"  # two frames: too short for any transition window, skipped
    flat.write_text("Frame/10\tCH1-BGND1\n0\t5\n0.1\t5\n")
    missing = tmp_path / "missing.txt"
    out = tmp_path / "out"
    (out / "traces").mkdir(parents=True)
    earlier = out / "traces" / "earlier.csv"
    earlier.write_text("kept\n")

    argv = ["fit", good, str(no_column), str(flat), str(missing), "--out", str(out)]
    code = main([*argv, "--fixed", *map(str, FIXED), "--jobs", "2", "--quiet"])

    assert code == 1
    failures = pd.read_csv(out / "failures.csv")
    assert sorted(failures.file) == sorted([str(no_column), str(missing)])
    errors = dict(zip(failures.file, failures.error))
    assert errors[str(no_column)].startswith(f"TraceFormatError: {no_column}, line 1: header")
    skipped = pd.read_csv(out / "skipped.csv")
    assert dict(zip(skipped.file, skipped.reason)) == {
        str(flat): "2 frames: the fit needs at least 11"
    }
    assert errors[str(missing)].startswith("FileNotFoundError")
    assert (
        failures.set_index("file").sha256[str(no_column)]
        == hashlib.sha256(no_column.read_bytes()).hexdigest()
    )
    assert set(pd.read_csv(out / "segments.csv").file) == {good, str(flat)}  # flat: unfitted
    assert (out / "traces" / "trace_0001.csv").exists() and earlier.read_text() == "kept\n"
    assert not list(out.rglob("*.tmp*"))
    captured = capsys.readouterr()
    assert "2 file(s) failed" in captured.err and "no_column.txt: TraceFormatError" in captured.err


def test_an_output_that_cannot_be_written_leaves_the_others(traces, tmp_path, monkeypatch, capsys):
    from lumetra.batch import outputs, spreadsheet

    monkeypatch.setattr(spreadsheet, "TRACES_PER_WORKBOOK", 2)  # 3 traces: two workbooks

    def disk_full(*args):
        raise OSError("disk full")

    monkeypatch.setattr(outputs, "plot_dwell_times", disk_full)
    argv = ["fit", *traces[1], "--out", str(tmp_path), "--classic", "--quiet", "--jobs", "1"]
    assert main([*argv, "--fixed", *map(str, FIXED)]) == 1
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert manifest["output_failures"] == {"dwell_times.html": "OSError: disk full"}
    assert "dwell_times.html not written: OSError: disk full" in capsys.readouterr().err
    assert manifest["spreadsheets"] == {
        "files": ["ideal.xlsx", "ideal_2.xlsx"],
        "traces_per_file": 2,
    }
    second = pd.read_excel(tmp_path / "ideal_2.xlsx", sheet_name=None)
    assert list(second["ideal"].columns) == ["time", "Idl 3"]
    assert list(second["files"].file) == [traces[1][2]]
    assert pd.read_csv(tmp_path / "kinetics.csv").dwells.sum() > 0
    assert not (tmp_path / "dwell_times.html").exists()


def test_a_batch_written_in_parts_equals_one_written_whole(traces, batch, tmp_path, monkeypatch):
    """One file in flight, Parquet row groups of 2 rows, one workbook per trace, the second of
    which cannot be written: the summaries are those of the batch written at once."""
    import pyarrow.parquet as pq

    from lumetra import atomic
    from lumetra.batch import run, spreadsheet, summaries

    result, whole = batch
    monkeypatch.setattr(run, "IN_FLIGHT", 1)
    monkeypatch.setattr(atomic, "ROWS_PER_GROUP", 2)
    monkeypatch.setattr(summaries, "TRACES_PER_PART", 1)
    monkeypatch.setattr(spreadsheet, "TRACES_PER_WORKBOOK", 1)
    write_workbook = spreadsheet.write_workbook

    def second_fails(path, *args):
        if path.name == "ideal_2.xlsx":
            raise OSError("disk full")
        return write_workbook(path, *args)

    monkeypatch.setattr(spreadsheet, "write_workbook", second_fails)
    parts = fit_traces(traces[1], tmp_path, jobs=1, params=FIXED, progress=False, method="classic")

    assert parts.output_failures == {"ideal_2.xlsx": "OSError: disk full"}
    for name in ("segments.csv", "kinetics.csv"):
        assert (tmp_path / name).read_bytes() == (whole / name).read_bytes(), name
    stored = pq.ParquetFile(tmp_path / "segments.parquet")
    assert stored.metadata.num_row_groups == -(-len(result.segments) // 2)
    pd.testing.assert_frame_equal(stored.read().to_pandas(), result.segments)
    third = pd.read_excel(tmp_path / "ideal_3.xlsx", sheet_name="ideal")
    assert list(third.columns) == ["time", "Idl 3"]
    assert third["Idl 3"].tolist() == pd.read_excel(whole / "ideal.xlsx")["Idl 3"].tolist()
    assert not (tmp_path / "ideal_2.xlsx").exists()
    outputs = json.loads((tmp_path / "manifest.json").read_text())["outputs"]
    assert outputs[5:7] == ["ideal.xlsx", "ideal_3.xlsx"]
    # Without its Parquet file, the result's table is built again from the fits.
    monkeypatch.setattr(atomic, "write_parquet", Mock(side_effect=OSError("disk full")))
    again = fit_traces(
        traces[1], tmp_path / "b", jobs=1, params=FIXED, progress=False, method="classic"
    )
    pd.testing.assert_frame_equal(pickle.loads(pickle.dumps(again)).segments, result.segments)


def test_command_line_refuses_what_it_cannot_run(tmp_path, capsys):
    assert main(["fit", str(tmp_path / "*.txt"), "--out", str(tmp_path / "o")]) == 2
    assert "no file matches" in capsys.readouterr().err
    with pytest.raises(SystemExit, match="unknown search parameter"):
        main(["fit", "x.txt", "--out", "o", "--search", "window", "1", "2", "1"])
    with pytest.raises(SystemExit, match="halfWinLen must be at least 1"):
        main(["fit", "x.txt", "--out", "o", "--fixed", "0", "0", "0", "0"])


def test_atomic_write_keeps_the_old_file_when_writing_fails(tmp_path):
    from lumetra.atomic import atomic_write, write_text

    target = write_text(tmp_path / "table.csv", "old\n")

    def broken(tmp):
        with open(tmp, "w") as f:
            f.write("half")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        atomic_write(target, broken)
    assert target.read_text() == "old\n"
    assert [p.name for p in tmp_path.iterdir()] == ["table.csv"]
