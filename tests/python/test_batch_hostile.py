"""A batch given careless or hostile input: names that clash, links that loop, two runs on one
folder, absurd job counts, a killed parent, a shared lab server's umask."""

import hashlib
import os
import shutil
import stat
import subprocess
import sys
import time

import pandas as pd
import pytest
from conftest import EXAMPLES
from test_batch_formats import FIXED, PARAMS, stacked_ebfret

from lumetra.batch import expand_inputs, fit_traces
from lumetra.batch.lock import OutputBusy, output_lock
from lumetra.batch.pool import JOBS_PER_CORE, usable_cores, worker_count
from lumetra.cli import main

FIT = ["--classic", "--fixed", *FIXED, "--quiet", "--no-spreadsheet"]


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def test_clashing_names_never_swap_results_and_resume_finds_each_file(tmp_path, capsys):
    files = {
        "a/trace.txt": "two_level.txt",
        "b/trace.txt": "three_level.txt",
        "c/trace_2.txt": "one_level.txt",  # the name a repeat of trace would get
        "movie_0.txt": "two_level_short_noisy.txt",  # the name of movie.dat's first trace
    }
    for name, example in files.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        shutil.copy(EXAMPLES / example, tmp_path / name)
    stacked_ebfret(tmp_path / "movie.dat", [240, 240, 240])
    inputs = [str(tmp_path / name) for name in [*files, "movie.dat"]]
    out = tmp_path / "out"
    for run in range(2):
        assert main(["fit", *inputs, "--out", str(out), *FIT]) == 0
        taken = "5 file(s) taken from the records" in capsys.readouterr().err
        assert taken == (run == 1)
        segments = pd.read_csv(out / "segments.csv")
        per_file = segments.groupby("file").agg({"sha256": set, "name": set})
        for path in inputs:
            assert per_file.loc[path, "sha256"] == {sha256(tmp_path / path)}, path
        names = [n for row in per_file.name for n in row]
        assert len(names) == len({n.casefold() for n in names}) == 7
        assert len(list((out / "traces").glob("*.csv"))) == 7
        assert len(list((out / "records").glob("*.json"))) == 5


def test_inputs_are_taken_once_and_links_never_loop(tmp_path, monkeypatch):
    tree = tmp_path / "data" / "deep"
    tree.mkdir(parents=True)
    shutil.copy(EXAMPLES / "two_level.txt", tree / "one.txt")
    (tree / "loop").symlink_to(tmp_path / "data")
    (tree / "again.txt").symlink_to(tree / "one.txt")
    monkeypatch.chdir(tmp_path)
    given = ["data/**/*.txt", "data/deep", "./data/deep/one.txt", str(tree / "one.txt")]
    assert expand_inputs(given) == ["data/deep/again.txt"]  # the first met of one file
    with pytest.raises(FileNotFoundError, match="no file matches"):
        expand_inputs(["data/**/*.dat"])


def test_a_second_batch_on_a_busy_folder_stops_at_once(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, time\n"
            "from pathlib import Path\nfrom lumetra.batch.lock import output_lock\n"
            f"with output_lock(Path({str(out)!r})):\n    print('held', flush=True)\n"
            "    time.sleep(60)",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert holder.stdout.readline() == "held\n"
        busy = subprocess.run(
            [sys.executable, "-m", "lumetra", "fit", str(EXAMPLES), "--out", str(out), *FIT],
            capture_output=True,
            text=True,
        )
        assert busy.returncode == 1
        assert f"pid {holder.pid}" in busy.stderr and "is writing to" in busy.stderr
        assert sorted(p.name for p in out.iterdir()) == [".lumetra.lock"]
        with pytest.raises(OutputBusy):  # nor another batch of the same process
            with output_lock(out):
                pass
    finally:
        holder.kill()  # SIGKILL: the lock goes with the process
        holder.wait()
    with output_lock(out), pytest.raises(OutputBusy, match="this process"):
        fit_traces([EXAMPLES], out, params=PARAMS, progress=False, method="classic")
    assert fit_traces([EXAMPLES], out, params=PARAMS, progress=False, method="classic").ok


def test_workers_are_bounded_and_die_with_their_parent(tmp_path, capsys, caplog):
    cores = usable_cores()
    assert worker_count(100_000, 3) == min(3, JOBS_PER_CORE * cores)
    # The cut is a note of the log (which the command line prints), never the library's stderr.
    assert f"100000 jobs asked for, {JOBS_PER_CORE * cores} used" in caplog.text
    assert capsys.readouterr().err == ""
    assert worker_count(100_000, 10**6) == JOBS_PER_CORE * cores
    assert worker_count(None, 1) == 1
    for number in range(6):
        shutil.copy(EXAMPLES / "two_level.txt", tmp_path / f"t{number}.txt")
    search = ["--search", "halfWinLen", "3", "9", "1"]
    batch = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "lumetra",
            "fit",
            str(tmp_path),
            "--out",
            str(tmp_path / "o"),
            "--jobs",
            "2",
            "--quiet",
            *search,
        ],
        stderr=subprocess.PIPE,
    )
    workers = []
    deadline = time.monotonic() + 60
    while len(workers) < 2 and time.monotonic() < deadline:
        time.sleep(0.2)
        workers = children(batch.pid)
    batch.kill()
    batch.wait()
    assert len(workers) >= 2
    deadline = time.monotonic() + 10
    while any(alive(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(alive(pid) for pid in workers)


def children(pid):
    """The processes whose parent is `pid`, from /proc (no ps: it may not run where the
    sanitizer runtime is preloaded)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as status:
                parent = int(status.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if parent == pid:
            found.append(int(entry))
    return found


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as status:  # a zombie is dead
        return status.read().rsplit(")", 1)[1].split()[0] != "Z"


def test_outputs_are_as_readable_as_the_umask_says(tmp_path):
    old = os.umask(0o022)
    try:
        assert main(["fit", str(EXAMPLES / "two_level.txt"), "--out", str(tmp_path), *FIT]) == 0
    finally:
        os.umask(old)
    for path in tmp_path.rglob("*"):
        if path.is_file() and path.name != ".lumetra.lock":
            assert stat.S_IMODE(path.stat().st_mode) == 0o644, path


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["--out", "{file}"], "is a file, not a folder"),
        (["--out", "/sys/lumetra"], "cannot make the output folder /sys/lumetra"),
        (["--out", "o", "--classic", "--states", "-1"], "--states must be at least 0"),
    ],
)
def test_unusable_outputs_and_options_stop_with_a_message(
    tmp_path, monkeypatch, arguments, message
):
    monkeypatch.chdir(tmp_path)
    taken = tmp_path / "taken.txt"
    taken.write_text("x")
    arguments = [a.format(file=taken) for a in arguments]
    with pytest.raises(SystemExit, match=message):
        main(["fit", str(EXAMPLES / "two_level.txt"), *arguments, "--quiet"])
