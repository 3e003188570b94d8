import importlib
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def write_trace(tmp_path):
    """Writes a tab-separated trace file from columns and returns its path."""

    def write(columns, name="trace.txt"):
        names = list(columns)
        rows = zip(*(columns[n] for n in names))
        lines = ["\t".join(names)]
        lines += ["\t".join("" if v is None else repr(v) for v in row) for row in rows]
        path = tmp_path / name
        path.write_text("\n".join(lines) + "\n")
        return str(path)

    return write


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter with tmp_path as working directory."""

    def run(code, *flags):
        result = subprocess.run(
            [sys.executable, *flags, "-c", textwrap.dedent(code)],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONWARNINGS": "ignore"},
        )
        return result

    return run


EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "traces"


@pytest.fixture(scope="session")
def explorer_dir(tmp_path_factory):
    """The data directory the explorer module is imported with: the example traces."""
    data = tmp_path_factory.mktemp("explorer-data")
    for trace in EXAMPLES.glob("*.txt"):
        shutil.copy(trace, data / trace.name)
    return data


@pytest.fixture(scope="session")
def explorer_module(explorer_dir):
    """lumetra.nsLumetraPlotly, imported where its settings file names explorer_dir."""
    settings = explorer_dir.parent / "explorer-settings"
    settings.mkdir()
    with open(settings / "explorerDir.pickle", "wb") as out:
        pickle.dump(str(explorer_dir) + os.sep, out)
    cwd = os.getcwd()
    os.chdir(settings)
    try:
        return importlib.import_module("lumetra.nsLumetraPlotly")
    finally:
        os.chdir(cwd)
