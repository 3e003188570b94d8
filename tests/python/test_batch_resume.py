"""Batches that give the same outputs however they run: runs of a parameter search (one
process, two, two threads), a batch killed with SIGKILL and started again until it finishes, and a
Dask batch that loses a worker, all compared file by file with an undisturbed run (apart from
the recorded times)."""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pandas as pd
import pytest

from lumetra.batch import HmmSettings, fit_traces
from lumetra.batch.lock import LOCK_FILE
from lumetra.simulation import simulate_traces

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "traces")
SEARCH = ["--search", "halfWinLen", "5", "9", "1", "--bootstrap", "20", "--quiet"]
# A small search, so that the fits take most of a run (about 10 s for the 24 traces).
BOUNDS = {"halfWinLen": (5.0, 9.0, 1.0), "filterWidth": (0.0, 3.0, 1.0)}
CLASSIC = ["--classic", "--quiet"]
CLASSIC += [word for n, b in BOUNDS.items() for word in ("--search", n, *map(str, b))]
TIMES = ("started", "seconds")


def without_times(data):
    if isinstance(data, dict):
        return {k: without_times(v) for k, v in data.items() if k not in TIMES}
    if isinstance(data, list):
        return [without_times(v) for v in data]
    return data


def contents(path):
    """What a file holds apart from the times a run records (and the lock's holder)."""
    if path.name == LOCK_FILE:
        return None
    if path.suffix == ".json":
        return without_times(json.loads(path.read_text()))
    if path.suffix == ".xlsx":  # the workbook's zip entries carry the time they were written
        return {k: v.to_dict("list") for k, v in pd.read_excel(path, sheet_name=None).items()}
    if path.suffix == ".parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        meta = without_times(json.loads(table.schema.metadata[b"lumetra"]))
        return table.to_pandas().to_dict("list"), meta
    return path.read_bytes()


def assert_same_outputs(out, reference):
    files = sorted(p.relative_to(reference) for p in reference.rglob("*") if p.is_file())
    assert files == sorted(p.relative_to(out) for p in out.rglob("*") if p.is_file())
    for name in files:
        assert contents(out / name) == contents(reference / name), name


def lumetra_fit(*args):
    return [sys.executable, "-m", "lumetra", "fit", *map(str, args)]


@pytest.mark.parametrize("engine", ["lmfit", "native"])
def test_a_searched_batch_gives_the_same_outputs_on_one_and_two_processes(tmp_path, engine):
    first, second = tmp_path / "one", tmp_path / "two"
    search = [*SEARCH, "--search-engine", engine]
    for out, jobs in ((first, "1"), (second, "2")):
        done = subprocess.run(
            lumetra_fit(EXAMPLES, "--out", out, "--jobs", jobs, *search),
            capture_output=True,
            text=True,
            cwd=tmp_path,
        )
        assert done.returncode == 0, done.stderr
    assert_same_outputs(second, first)
    # Two threads of one process: the searches take turns with numpy's global generator.
    threads = tmp_path / "threads"
    with ThreadPoolExecutor(2) as executor:
        fit_traces(
            [EXAMPLES],
            threads,
            executor=executor,
            search={"halfWinLen": (5.0, 9.0, 1.0)},
            progress=False,
            method="hmm",
            hmm=HmmSettings(bootstrap=20),
            search_engine=engine,
        )
    assert_same_outputs(threads, first)
    manifest = json.loads((first / "manifest.json").read_text())
    assert manifest["seed"] == 0 and len(manifest["inputs"]) == 4
    assert manifest.get("search_engine", "lmfit") == engine
    # Another seed gives another search; the outputs say which.
    other = tmp_path / "seed7"
    code = subprocess.run(
        lumetra_fit(EXAMPLES, "--out", other, "--seed", "7", *search), cwd=tmp_path
    )
    assert code.returncode == 0
    seven = json.loads((other / "manifest.json").read_text())
    assert seven["seed"] == 7
    found = [[one["parameters"] for one in m["inputs"]] for m in (manifest, seven)]
    assert found[0] != found[1]


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    out = tmp_path_factory.mktemp("resume")
    simulate_traces(out, 24, [300, 800], [0.05, 0.08], 0.1, 1000, snr=5, seed=11)
    return out


@pytest.fixture(scope="module")
def undisturbed(simulated, tmp_path_factory):
    out = tmp_path_factory.mktemp("undisturbed")
    start = time.monotonic()
    command = lumetra_fit(simulated / "*.txt", "--out", out, "--jobs", "2", *CLASSIC)
    assert subprocess.run(command, cwd=out.parent).returncode == 0
    return out, time.monotonic() - start


def committed(out):
    """Records written in full: a kill during a write leaves a hidden temporary file, which
    pathlib's * matches too."""
    return sum(not p.name.startswith(".") for p in out.glob("records/*.json"))


def test_a_batch_killed_again_and_again_finishes_with_the_outputs_of_an_undisturbed_one(
    simulated, undisturbed, tmp_path
):
    reference = undisturbed[0]
    out = tmp_path / "out"
    command = lumetra_fit(simulated / "*.txt", "--out", out, "--jobs", "2", *CLASSIC)
    # Killed once 3-5, 8-10, 13-15 and 18-20 of the 24 files are recorded, a moment later:
    # counted, not timed, so that a loaded machine cannot move the kills out of the fits.
    chance = random.Random(16)
    moments = [(low + chance.randrange(3), chance.uniform(0, 0.3)) for low in (3, 8, 13, 18)]
    recorded = []
    for count, delay in moments:
        batch = subprocess.Popen(command, cwd=tmp_path, start_new_session=True)
        while batch.poll() is None and committed(out) < count:
            time.sleep(0.02)
        time.sleep(delay)
        if batch.poll() is None:
            os.killpg(batch.pid, signal.SIGKILL)  # the batch and its worker processes
        batch.wait()
        recorded.append(committed(out))
    finished = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True)
    assert finished.returncode == 0, finished.stderr
    print(f"\nkilled at {moments} (records, s); files recorded after each: {recorded}")
    assert 0 < recorded[0] < 24  # the first kill came in the middle of the fits
    assert f"{recorded[-1]} file(s) taken from the records" in finished.stderr
    assert_same_outputs(out, reference)
    # --restart fits every file again, to the same outputs.
    again = subprocess.run([*command, "--restart"], cwd=tmp_path, capture_output=True, text=True)
    assert again.returncode == 0 and "taken from the records" not in again.stderr
    assert_same_outputs(tmp_path / "out", reference)


def test_a_dask_batch_that_loses_a_worker_gives_the_outputs_of_an_undisturbed_one(
    simulated, undisturbed, tmp_path
):
    distributed = pytest.importorskip("distributed")

    reference = undisturbed[0]
    out = tmp_path / "out"
    killed = []

    def kill_one_worker(cluster):
        while committed(out) < 4:
            time.sleep(0.01)
        nanny = next(iter(cluster.workers.values()))
        killed.append(nanny.process.pid)
        os.kill(nanny.process.pid, signal.SIGKILL)

    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        killer = threading.Thread(target=kill_one_worker, args=(cluster,), daemon=True)
        killer.start()
        result = fit_traces(
            [simulated / "*.txt"],
            out,
            executor=client.get_executor(),
            search=BOUNDS,
            progress=False,
            method="classic",
        )
        killer.join(timeout=1)
    assert killed and result.ok
    assert sorted(fit.path for fit in result.fits) == sorted(
        str(p) for p in simulated.glob("*.txt")
    )
    assert_same_outputs(out, reference)
