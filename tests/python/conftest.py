import importlib
import os
import pathlib
import pickle
import queue
import re
import shutil
import subprocess
import sys
import textwrap
import threading
import time

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


@pytest.fixture
def serve_explorer(tmp_path):
    """Starts `python -m lumetra explore ARGS --port 0 --no-show` (or another serving command)
    in tmp_path, with its state directory under tmp_path, and returns the address it prints;
    stops the servers at the end."""
    servers = []

    def serve(*args, timeout=60, command="explore"):
        process = subprocess.Popen(
            [sys.executable, "-m", "lumetra", command, *args, "--port", "0", "--no-show"],
            cwd=tmp_path,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            env={**os.environ, "XDG_STATE_HOME": str(tmp_path / "state")},
        )
        lines = queue.Queue()
        # Drain the output all along, so a chatty server never blocks on a full pipe.
        threading.Thread(
            target=lambda: [lines.put(line) for line in process.stdout], daemon=True
        ).start()
        servers.append(process)
        output = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and process.poll() is None:
            try:
                line = lines.get(timeout=0.5)
            except queue.Empty:
                continue
            output.append(line)
            found = re.search(r"Serving the dashboard at (http://\S+/)", line)
            if found:
                return found.group(1)
        pytest.fail(f"the dashboard did not start; it printed:\n{''.join(output)}")

    yield serve
    for process in servers:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


KINSOFT_L1 = pathlib.Path("/work/shared/data/kinsoft-training-L1/traces")
BATCH_TRACES = 8


@pytest.fixture(scope="session")
def results_batch(tmp_path_factory):
    """The output directory of a batch (shared model) of the first kinSoft level-1 traces and
    one unreadable file, and its BatchResult."""
    if not KINSOFT_L1.is_dir():
        pytest.skip(f"needs the kinSoft training traces in {KINSOFT_L1}")
    from lumetra.batch import fit_traces
    from lumetra.batch.types import HmmSettings

    inputs = tmp_path_factory.mktemp("batch-inputs")
    for number in range(1, BATCH_TRACES + 1):
        shutil.copy(KINSOFT_L1 / f"trace_{number}.txt", inputs)
    (inputs / "broken.txt").write_bytes(b"not a trace\x00")
    out = tmp_path_factory.mktemp("batch-results")
    result = fit_traces(
        [inputs], out, jobs=1, progress=False, method="hmm", hmm=HmmSettings(bootstrap=20)
    )
    return out, result
