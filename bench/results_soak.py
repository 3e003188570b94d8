"""Soak test of the served pages: one `lumetra explore DIR --results OUT` on 127.0.0.1, several
headless Chromium sessions at once for a bounded time, each in turn choosing a file and a half
window on the explorer tab and picking a trace on the results tab. Every figure is checked
against what its own session chose (a figure drawing another session's trace is a leak); the
server's output is searched for errors and its resident memory sampled.

    .venv/bin/python bench/results_soak.py [--sessions 4] [--seconds 120] [--results OUT]
                                           [--crafted]

Without OUT, a folder of 40 synthetic traces (bench/results_folder.py) is served, with
--crafted holding hostile entries too (a FIFO and /dev/zero as sources, whose figures must say
why their channels are missing, and a name reaching outside the folder, which must not be
shown); the explorer serves the bundled example traces. The server's answer time is probed
along with its memory: a read blocking the event loop shows as a long one.
"""

import argparse
import os
import queue
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from results_folder import CRAFTED_NAME, write_folder  # noqa: E402

from lumetra.cli.explore import bundled_traces_dir  # noqa: E402

WAIT = 60  # seconds for any one figure
SAMPLE = 5  # seconds between memory samples
REFUSED = "not a regular file"  # the note of a trace whose source is a FIFO or a device
DEEP = """
function deepAll(root, out = []) {
  for (const e of root.querySelectorAll('*')) {
    out.push(e);
    if (e.shadowRoot) deepAll(e.shadowRoot, out);
  }
  return out;
}
"""
FIGURES = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('js-plotly-plot') && e.layout)
  .filter(e => e.offsetParent !== null)
  .map(e => ({title: (e.layout.title && e.layout.title.text) || '',
              notes: (e.layout.annotations || []).map(a => a.text || ''),
              traces: e.data.map(t => [t.name || '', t.x ? t.x.length : 0])}));
"""
)
CLICK_TAB = (
    DEEP
    + """
const isTab = e => e.classList.contains('bk-tab') && e.textContent.trim() === arguments[0];
deepAll(document).find(isTab).click();
"""
)
SET_FILE = (
    DEEP
    + """
const select = deepAll(document).find(e => e.tagName === 'SELECT');
select.value = arguments[0];
select.dispatchEvent(new Event('change'));
"""
)
INPUT_AFTER_LABEL = (
    DEEP
    + """
const all = deepAll(document);
const isLabel = e => e.childElementCount === 0 && e.textContent.trim() === arguments[0];
const label = all.findIndex(isLabel);
return label < 0 ? null : all.slice(label).find(e => e.tagName === 'INPUT') || null;
"""
)
CLICK_ROW = (
    DEEP
    + """
const rows = deepAll(document).filter(e => e.classList.contains('tabulator-row'))
  .filter(r => r.querySelector('[tabulator-field="name"]'));
const cell = rows[arguments[0]].querySelector('[tabulator-field="frames"]');
const name = rows[arguments[0]].querySelector('[tabulator-field="name"]').textContent.trim();
cell.click();
return name;
"""
)
ROWS = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('tabulator-row'))
  .filter(r => r.querySelector('[tabulator-field="name"]')).length;
"""
)


HAS_SELECT = DEEP + "return deepAll(document).some(e => e.tagName === 'SELECT');"


def frames_of(path: Path) -> int:
    return sum(1 for _ in path.open()) - 1


def start_server(traces: Path, results: Path, state: Path) -> tuple[subprocess.Popen, str, list]:
    command = [sys.executable, "-m", "lumetra", "explore", str(traces), "--results", str(results)]
    process = subprocess.Popen(
        [*command, "--port", "0", "--no-show"],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        env={**os.environ, "XDG_STATE_HOME": str(state)},
    )
    lines: queue.Queue = queue.Queue()
    log: list[str] = []
    threading.Thread(target=lambda: [lines.put(x) for x in process.stdout], daemon=True).start()
    threading.Thread(
        target=lambda: [log.append(lines.get()) for _ in iter(int, 1)], daemon=True
    ).start()
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        found = [re.search(r"Serving the dashboard at (http://\S+/)", x) for x in list(log)]
        if any(found):
            return process, next(f for f in found if f).group(1), log
        time.sleep(0.2)
    process.kill()
    raise SystemExit("the server did not start:\n" + "".join(log))


def rss_mib(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def answer_seconds(url: str) -> float:
    """How long the server takes to answer a request (any status: the event loop answered)."""
    start = time.monotonic()
    try:
        urllib.request.urlopen(url + "favicon.ico", timeout=WAIT).close()
    except urllib.error.HTTPError:
        pass
    except OSError:
        return float("inf")
    return time.monotonic() - start


def chromium():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


class Session(threading.Thread):
    def __init__(
        self,
        number: int,
        url: str,
        files: dict[str, int],
        results: dict[str, int],
        deadline: float,
        noted: set[str],
    ) -> None:
        super().__init__(daemon=True)
        self.number, self.url, self.files, self.results = number, url, files, results
        self.deadline, self.noted = deadline, noted  # traces whose figure must say REFUSED
        self.random = random.Random(number)
        self.actions, self.leaks, self.errors = 0, [], []
        self.noted_shown = 0  # figures of traces in `noted` checked

    def wait_figure(self, driver, check) -> list:
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            figures = driver.execute_script(FIGURES) or []
            if check(figures):
                return figures
            time.sleep(0.25)
        raise TimeoutError(f"session {self.number}: no matching figure in {WAIT} s")

    def wait_script(self, driver, script: str) -> None:
        end = time.monotonic() + WAIT
        while not driver.execute_script(script) and time.monotonic() < end:
            time.sleep(0.25)

    def explorer_step(self, driver) -> None:
        from selenium.webdriver.common.keys import Keys

        self.wait_script(driver, HAS_SELECT)
        path = self.random.choice(list(self.files))
        driver.execute_script(SET_FILE, Path(path).name)  # options show the names
        box = driver.execute_script(INPUT_AFTER_LABEL, "HalfWindowsLen:")
        half = str(self.random.randint(5, 21))
        box.send_keys(Keys.END, *[Keys.BACKSPACE] * 3, half, Keys.ENTER)

        def mine(figures):
            return any(any(path in n for n in f["notes"]) for f in figures)

        figures = self.wait_figure(driver, mine)
        drawn = [p for f in figures for name, p in f["traces"] if name == "CH1mBGND1"]
        if drawn != [self.files[path]]:
            self.leaks.append(f"explorer: {Path(path).name} drawn with {drawn} points")

    def results_step(self, driver) -> None:
        row = self.random.randrange(driver.execute_script(ROWS) or 1)
        name = driver.execute_script(CLICK_ROW, row)
        if name not in self.results:
            return
        figures = self.wait_figure(driver, lambda fs: any(f["title"] == name for f in fs))
        (chosen,) = [f for f in figures if f["title"] == name]
        points = dict(chosen["traces"]).get("signal")
        if points != self.results[name]:
            self.leaks.append(f"results: {name} drawn with {points} points")
        if (name in self.noted) != any(REFUSED in note for note in chosen["notes"]):
            self.leaks.append(f"results: {name} drawn with notes {chosen['notes']}")
        self.noted_shown += name in self.noted

    def run(self) -> None:
        driver = chromium()
        try:
            driver.get(self.url)
            self.wait_figure(driver, lambda fs: bool(fs))
            while time.monotonic() < self.deadline:
                try:
                    self.explorer_step(driver)
                    driver.execute_script(CLICK_TAB, "Results")
                    self.wait_script(driver, ROWS)
                    self.results_step(driver)
                    driver.execute_script(CLICK_TAB, "Explorer")
                    self.actions += 2
                except Exception as error:  # noqa: BLE001 (counted and reported)
                    self.errors.append(f"{type(error).__name__}: {str(error)[:200]}")
                    driver.get(self.url)
                    self.wait_figure(driver, lambda fs: bool(fs))
        finally:
            driver.quit()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sessions", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--results", type=Path)
    parser.add_argument("--crafted", action="store_true", help="hostile entries in the folder")
    args = parser.parse_args()
    if args.crafted and args.results:
        parser.error("--crafted makes its own folder: without --results")
    with tempfile.TemporaryDirectory() as scratch:
        results = args.results or write_folder(
            Path(scratch) / "results", 40, 1000, sources=True, crafted=args.crafted
        )
        traces = bundled_traces_dir()
        files = {str(p): frames_of(p) for p in sorted(traces.glob("*.txt"))}
        from lumetra.results.folder import load_folder

        folder = load_folder(results)
        lengths = {n: len(p.time) for n, p in folder.paths.items()}
        noted = {"trace_1", "trace_2"} if args.crafted else set()
        if args.crafted:
            row = folder.table.set_index("name").loc[CRAFTED_NAME]
            print(f"{CRAFTED_NAME}: {row['status']}, {row['reason']}")
        server, url, log = start_server(traces, results, Path(scratch) / "state")
        print(f"server {server.pid} at {url}; {args.sessions} sessions x {args.seconds:.0f} s")
        start = time.monotonic()
        deadline = start + args.seconds
        sessions = [Session(n, url, files, lengths, deadline, noted) for n in range(args.sessions)]
        for session in sessions:
            session.start()
        memory, answers = [], []
        while any(s.is_alive() for s in sessions):
            memory.append((time.monotonic() - start, rss_mib(server.pid)))
            answers.append(answer_seconds(url))
            time.sleep(SAMPLE)
        server.terminate()
        server.wait(timeout=30)
    errors = [line for line in log if re.search(r"Traceback|ERROR|Exception", line)]
    after_minute = next((m for t, m in memory if t >= 60), memory[-1][1])
    print(f"actions: {[s.actions for s in sessions]} (explorer and results steps per session)")
    print(f"cross-session leaks and wrong notes: {sum(len(s.leaks) for s in sessions)}")
    if noted:
        print(f"figures of {sorted(noted)} checked: {sum(s.noted_shown for s in sessions)}")
    for session in sessions:
        for leak in session.leaks[:5]:
            print(f"  session {session.number}: {leak}")
    print(f"session errors (timeouts, lost elements): {sum(len(s.errors) for s in sessions)}")
    for session in sessions:
        for error in session.errors[:3]:
            print(f"  session {session.number}: {error}")
    print(f"server error lines: {len(errors)}")
    for line in errors[:10]:
        print(f"  {line.rstrip()}")
    print(f"server answers: {len(answers)} probes, slowest {max(answers):.3f} s")
    print("RSS samples (s, MiB): " + ", ".join(f"{t:.0f} {m:.0f}" for t, m in memory))
    print(
        f"server RSS: {memory[0][1]:.0f} MiB at start, {after_minute:.0f} MiB after 1 minute, "
        f"{memory[-1][1]:.0f} MiB at the end ({memory[-1][1] - after_minute:+.0f} MiB), "
        f"peak {max(m for _, m in memory):.0f} MiB"
    )


if __name__ == "__main__":
    main()
