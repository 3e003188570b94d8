"""`python -m lumetra explore`: which data it serves, where its settings file goes, and what it
prints."""

import os
import pickle
import shutil
import subprocess
import sys
import urllib.request
from pathlib import Path

import numpy as np
import pytest

from lumetra.cli import explore as _explore

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "traces"


def stored_directory(tmp_path):
    with open(tmp_path / "state" / "lumetra" / "explorer" / "explorerDir.pickle", "rb") as file:
        return pickle.load(file)


def test_bundled_traces_are_installed_with_the_package():
    bundled = _explore.bundled_traces_dir()
    assert bundled.is_relative_to(Path(_explore.__file__).parents[1])  # the package directory
    names = sorted(p.name for p in bundled.iterdir())
    assert names == sorted(p.name for p in EXAMPLES.glob("*.txt"))


def test_trace_files_come_sorted_text_files_first(tmp_path):
    for name in ("b.txt", "a.dat", "a.txt", "notes.md"):
        (tmp_path / name).write_text("")
    (tmp_path / "0-subdirectory").mkdir()
    assert [p.name for p in _explore.trace_files(tmp_path)] == [
        "a.txt",
        "b.txt",
        "a.dat",
        "notes.md",
    ]


def test_state_directory_follows_xdg_state_home(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    assert _explore.state_dir() == tmp_path / "lumetra" / "explorer"
    monkeypatch.delenv("XDG_STATE_HOME")
    assert _explore.state_dir() == Path.home() / ".local" / "state" / "lumetra" / "explorer"


def test_serves_the_bundled_traces_without_touching_the_working_directory(serve_explorer, tmp_path):
    url = serve_explorer()
    assert url.startswith("http://127.0.0.1:")
    with urllib.request.urlopen(url, timeout=60) as page:
        assert page.status == 200
        assert b"<title>lumetra explorer</title>" in page.read()
    assert stored_directory(tmp_path) == os.path.join(_explore.bundled_traces_dir(), "")
    assert not (tmp_path / "explorerDir.pickle").exists()
    assert not (tmp_path / "debug.log").exists()
    assert (tmp_path / "state" / "lumetra" / "explorer" / "debug.log").exists()


def test_a_relative_directory_is_stored_absolute_with_a_separator(serve_explorer, tmp_path):
    (tmp_path / "my traces").mkdir()
    shutil.copy(EXAMPLES / "two_level_short_noisy.txt", tmp_path / "my traces")
    serve_explorer("my traces")
    assert stored_directory(tmp_path) == str(tmp_path / "my traces") + os.sep


@pytest.mark.parametrize(
    ("directory", "message"),
    [("missing", "is not a directory"), ("empty", "no files in")],
)
def test_refuses_a_directory_without_traces(tmp_path, directory, message):
    (tmp_path / "empty").mkdir()
    result = subprocess.run(
        [sys.executable, "-m", "lumetra", "explore", directory, "--no-show"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env={**os.environ, "XDG_STATE_HOME": str(tmp_path / "state")},
        timeout=60,
    )
    assert result.returncode != 0
    assert message in result.stderr
    assert not (tmp_path / "state").exists()


def test_two_colour_files_are_served_as_converted_trace_files(serve_explorer, tmp_path):
    from test_io_prepare import bleaching_trace

    from lumetra import io

    data = tmp_path / "mixed"
    data.mkdir()
    io.write_kinsoft(data / "molecule.txt", bleaching_trace("molecule.txt"))
    shutil.copy(EXAMPLES / "two_level_short_noisy.txt", data)
    serve_explorer(str(data), "--no-cut")
    served = Path(stored_directory(tmp_path))
    assert served.parent == tmp_path / "state" / "lumetra" / "explorer" / "converted"
    assert sorted(p.name for p in served.iterdir()) == ["molecule.txt", "two_level_short_noisy.txt"]
    (converted,) = io.read_traces(served / "molecule.txt")
    assert np.array_equal(
        converted.intensity, io.fret_efficiency(io.read_traces(data / "molecule.txt")[0])
    )
    copied = (served / "two_level_short_noisy.txt").read_bytes()
    assert copied == (EXAMPLES / "two_level_short_noisy.txt").read_bytes()


def test_each_served_session_fits_its_own_trace(explorer_module, explorer_dir):
    import panel as pn

    shared = explorer_module.fretExplorer.tf
    shared_file = getattr(shared, "fileName", None)
    pages = [
        _explore.build_page(explorer_module.fretExplorer, explorer_dir / name)
        for name in ("two_level.txt", "three_level.txt")
    ]
    first, second = (page.select(pn.Param)[0].object for page in pages)
    first.halfWindowsLen = 11  # a rebuild of the first session after the second one loaded
    drawn = first.plot().object
    assert first.title == str(explorer_dir / "two_level.txt")
    assert [len(t.x) for t in drawn.data if t.name == "CH1mBGND1"] == [2000]
    assert len(second.tf.CH1mBGND1) == 3000
    assert first.tf is not second.tf
    # The dashboard class's trace object, for pages composed by hand, is left alone.
    assert explorer_module.fretExplorer.tf is shared
    assert getattr(shared, "fileName", None) == shared_file


def test_the_refined_path_panel_follows_the_explorer(explorer_module, explorer_dir):
    from lumetra.cli.refined_panel import RefinedPanel
    from lumetra.stepfit import load_trace, refined_segments, step_fit

    explorer = _explore.session_class(explorer_module.fretExplorer)(
        str(explorer_dir / "two_level.txt")
    )
    panel = RefinedPanel(explorer)
    assert panel.view().object == ""  # off until asked for
    panel.show.value = True
    explorer.fileName = str(explorer_dir / "three_level.txt")
    explorer.rratio = 0.5
    figure = panel.view().object
    trace = load_trace(str(explorer_dir / "three_level.txt"))
    params = {"halfWinLen": 9, "rratio": 0.5, "thrate": 0.2, "filterWidth": 0}
    step_fit(trace, params, "bic")
    starts, _, _ = refined_segments(trace)
    path = next(t for t in figure.data if t.name == "refined path")
    assert len(path.y) == 3000 and np.count_nonzero(np.diff(path.y)) == len(starts) - 1
    assert panel.trace is not explorer.tf  # the explorer's own fit is left alone


@pytest.mark.parametrize(
    ("address", "reachable"),
    [("0.0.0.0", True), ("::", True), ("", True), ("10.1.2.3", True)]
    + [("127.0.0.1", False), ("127.0.0.2", False), ("::1", False), ("localhost", False)],
)
def test_serving_to_other_machines_is_said_on_standard_error(capsys, address, reachable):
    _explore.warn_if_reachable(address, 5006)
    said = capsys.readouterr()
    assert said.out == ""
    assert ("reachable from other machines" in said.err) == reachable
    assert ("fits run" in said.err) == reachable
