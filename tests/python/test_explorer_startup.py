"""Importing the dashboard module: its settings file and what a bad one does."""

import os
import pickle

import pytest

IMPORT = """
import sys
try:
    import lumetra.nsLumetraPlotly as ns
except BaseException as error:
    print("RAISED", type(error).__module__, type(error).__name__, error)
    sys.exit(0)
print("LOADED", repr(ns.fretExplorer.explorerDir))
print("CHOICES", sorted(ns.fretExplorer.param["fileName"].objects))
"""

MISSING = (
    "\n Sorry! We can't find explorerDir.pickle. The app need explorerDir variable in "
    "explorerDir.pickle to define the directory that contains data!\n You need create this "
    "file before you import the module!\n"
)


def write_settings(tmp_path, payload):
    (tmp_path / "explorerDir.pickle").write_bytes(payload)


def last_line(result, prefix):
    lines = [line for line in result.stdout.splitlines() if line.startswith(prefix)]
    assert lines, result.stdout + result.stderr
    return lines[-1]


def test_missing_settings_prints_the_message_then_fails_with_name_error(run_python):
    result = run_python(IMPORT)
    assert result.stdout.startswith(MISSING)
    assert last_line(result, "RAISED") == (
        "RAISED builtins NameError name 'explorerDir' is not defined"
    )


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_a_pickled_directory_lists_the_files_inside_it(run_python, tmp_path, protocol):
    data = tmp_path / "data"
    data.mkdir()
    (data / "a.txt").write_text("Frame/10\tCH1-BGND1\n")
    (data / "b.txt").write_text("Frame/10\tCH1-BGND1\n")
    # Only the first object of the file counts.
    write_settings(
        tmp_path, pickle.dumps(str(data) + os.sep, protocol) + pickle.dumps("ignored", protocol)
    )
    result = run_python(IMPORT)
    assert last_line(result, "LOADED") == f"LOADED {str(data) + os.sep!r}"
    assert last_line(result, "CHOICES") == (
        f"CHOICES {[str(data / 'a.txt'), str(data / 'b.txt')]!r}"
    )


def test_a_directory_without_trailing_separator_matches_its_siblings(run_python, tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    (data / "inside.txt").write_text("")
    (tmp_path / "data_sibling.txt").write_text("")
    write_settings(tmp_path, pickle.dumps(str(data)))
    result = run_python(IMPORT)
    choices = last_line(result, "CHOICES")
    assert str(tmp_path / "data_sibling.txt") in choices
    assert "inside.txt" not in choices


def test_a_settings_file_that_would_run_code_is_refused(run_python, tmp_path):
    marker = tmp_path / "ran"

    class RunsCode:
        def __reduce__(self):
            return (os.system, (f"touch {marker}",))

    write_settings(tmp_path, pickle.dumps(RunsCode()))
    result = run_python(IMPORT)
    raised = last_line(result, "RAISED")
    assert raised.startswith("RAISED _pickle UnpicklingError")
    assert "system" in raised
    assert not marker.exists()
    assert "Sorry" not in result.stdout


@pytest.mark.parametrize(
    ("payload", "expected"),
    [
        # A number is read, then cannot be joined with "*".
        (pickle.dumps(42), "RAISED builtins TypeError unsupported operand type(s) for +"),
        # A damaged file fails in the unpickler, without the missing-file message.
        (pickle.dumps("/data/")[:-3], "RAISED _pickle UnpicklingError"),
        (b"", "RAISED builtins EOFError"),
    ],
    ids=["number", "truncated", "empty"],
)
def test_bad_settings_fail_the_import_without_the_message(run_python, tmp_path, payload, expected):
    write_settings(tmp_path, payload)
    result = run_python(IMPORT)
    assert last_line(result, "RAISED").startswith(expected)
    assert "Sorry" not in result.stdout


@pytest.mark.parametrize(
    ("folder", "decoy"), [("tr[1]", "tr1"), ("all*", "all-more"), ("q?", "qa")]
)
def test_a_folder_named_like_a_pattern_lists_its_own_files(run_python, tmp_path, folder, decoy):
    for directory, file in ((folder, "inside.txt"), (decoy, "decoy.txt")):
        (tmp_path / directory).mkdir()
        (tmp_path / directory / file).write_text("")
    write_settings(tmp_path, pickle.dumps(str(tmp_path / folder) + os.sep))
    result = run_python(IMPORT)
    assert last_line(result, "CHOICES") == f"CHOICES {[str(tmp_path / folder / 'inside.txt')]!r}"
