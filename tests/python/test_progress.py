"""Progress of the long stages: drawn on a terminal, silent with --quiet and in logs."""

import fcntl
import io
import os
import pty
import struct
import subprocess
import sys
import termios
import threading

import pytest

from lumetra import progress
from lumetra.batch import HmmSettings, fit_traces
from lumetra.simulation import simulate_experiment


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    out = tmp_path_factory.mktemp("experiment")
    simulate_experiment(
        out, count=8, levels=[0.3, 0.7], rates=[1.0, 1.5], frame_time=0.1, frames=300, seed=3
    )
    return out


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_is_silent_when_quiet_or_not_on_a_terminal(experiment, tmp_path, monkeypatch):
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    with progress.stage("drawn"):
        pass
    assert "drawn" in terminal.getvalue()  # the terminal stands in for one
    terminal.truncate(0)
    result = fit_traces(
        [experiment / "*.txt"],
        tmp_path / "quiet",
        jobs=1,
        progress=False,
        hmm=HmmSettings(bootstrap=5),
    )
    assert result.hmm is not None and terminal.getvalue() == ""  # every stage, the model's too

    log = io.StringIO()  # a log file: no terminal
    monkeypatch.setattr(sys, "stderr", log)
    list(progress.steps(range(3), "steps"))
    with progress.counter("counted", "item") as count, progress.stage("stage"):
        count()
    assert log.getvalue() == ""


def test_the_fit_command_shows_its_stages_on_a_terminal(experiment, tmp_path):
    main, side = pty.openpty()
    fcntl.ioctl(side, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
    command = [
        sys.executable,
        "-m",
        "lumetra",
        "fit",
        str(experiment),
        "--out",
        str(tmp_path / "out"),
        "--jobs",
        "1",
        "--bootstrap",
        "5",
    ]
    process = subprocess.Popen(
        command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=side
    )
    os.close(side)
    drawn = []

    def read():
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # the other side closed
                return
            if not chunk:
                return
            drawn.append(chunk)

    reader = threading.Thread(target=read)
    reader.start()
    stdout, _ = process.communicate(timeout=120)
    reader.join(timeout=10)
    os.close(main)
    shown = b"".join(drawn).decode(errors="replace")
    assert process.returncode in (0, 1) and b"shared model" in stdout
    for stage in ("step fits", "screening", "K search", "bootstrap", "writing paths"):
        assert stage in shown, f"no {stage!r} on the terminal:\n{shown[-2000:]}"
