import os
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
