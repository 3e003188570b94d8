"""The report of a batch (lumetra report): its sections hold the folder's own numbers, a batch
of the classic method says what it lacks, the progress bar shows on a terminal only, and the
file opens in headless Chromium without a network with every figure drawn (its screenshot goes
to build/test-artifacts/report.png)."""

import asyncio
import fcntl
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import termios
from html.parser import HTMLParser

import numpy as np
import pandas as pd
import pytest
from conftest import KINSOFT_L1
from test_dashboard_browser import ARTIFACTS, CHROMEDRIVER, CHROMIUM, browser, wait_for

from lumetra.results.report import STEPS, write_report
from lumetra.results.report_sections import UNREADABLE

__all__ = ["browser"]  # the fixture, shared with the explorer's browser test
SECTIONS = {"methods", "inputs", "screening", "model", "figures", "checks", "notes"}


class Page(HTMLParser):
    """The report's section ids, its tables by id (rows of cell texts, the header first), its
    paragraphs' text and every src and href."""

    def __init__(self, text):
        super().__init__()
        self.sections, self.tables, self.links, self.text = set(), {}, [], []
        self.table, self.row = None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.links += [attrs[k] for k in ("src", "href") if k in attrs]
        if tag == "section":
            self.sections.add(attrs["id"])
        elif tag == "table":
            self.table = self.tables.setdefault(attrs.get("id"), [])
        elif tag == "tr" and self.table is not None:
            self.row = []
            self.table.append(self.row)
        elif tag in ("td", "th") and self.row is not None:
            self.row.append("")

    def handle_endtag(self, tag):
        if tag == "table":
            self.table = self.row = None

    def handle_data(self, data):
        if self.row:
            self.row[-1] += data
        elif self.lasttag != "script":
            self.text.append(data)

    def frame(self, ident):
        header, *rows = self.tables[ident]
        return pd.DataFrame(rows, columns=header)


def shown(values):
    """Numbers as the report writes them: four significant digits, nothing for NaN."""
    return ["" if np.isnan(float(v)) else f"{float(v):.4g}" for v in values]


def test_the_report_holds_the_folders_inputs_model_and_methods(results_batch, tmp_path):
    from lumetra.cli.results_page import ResultsPage
    from lumetra.results.folder import load_folder

    out, result = results_batch
    copy = tmp_path / "results"
    shutil.copytree(out, copy)
    # Inputs whose checksums were not recorded: one readable, one gone.
    failures = pd.read_csv(copy / "failures.csv")
    broken = failures.loc[0, "file"]
    failures["sha256"] = ""
    failures.to_csv(copy / "failures.csv", index=False)
    skipped = pd.DataFrame({"file": [str(tmp_path / "gone.txt")], "sha256": [""], "reason": ["x"]})
    skipped.to_csv(copy / "skipped.csv", index=False)

    path, report = write_report(copy)
    assert path == copy / "report.html" and report.problems == []
    page = Page(path.read_text())
    assert page.sections == SECTIONS

    inputs = page.frame("inputs").set_index("file")
    manifest = json.loads((copy / "manifest.json").read_text())
    for entry in manifest["inputs"]:
        assert inputs.loc[entry["file"], "sha256"] == entry["sha256"]
    assert inputs.loc[broken, "status"] == "failed"
    with open(broken, "rb") as file:
        assert inputs.loc[broken, "sha256"] == hashlib.sha256(file.read()).hexdigest()
    assert inputs.loc[str(tmp_path / "gone.txt"), "sha256"] == UNREADABLE

    rates = page.frame("rates")
    for column in ("rate", "rate_lower", "rate_upper"):
        assert rates[column].tolist() == shown(result.kinetics[column])
    model = json.loads((copy / "hmm_model.json").read_text())
    states = page.frame("states")
    assert states["FRET level"].tolist() == shown(model["levels"])
    assert states["spread"].tolist() == shown(model["spreads"])
    relaxation = page.frame("relaxation")
    assert relaxation["relaxation time"].tolist() == shown(model["relaxation_times"])
    assert relaxation["upper"].tolist() == shown(model["relaxation_upper"])
    bic = page.frame("bic")
    assert bic["BIC"].tolist() == [f"{v:.1f}" for v in model["bic"].values()]
    assert bic.loc[bic["chosen"] == "True", "K"].tolist() == [str(len(model["fret_levels"]))]
    checks = page.frame("dwell-checks")
    assert checks["dwells"].tolist() == [str(n) for n in result.hmm.dwell_checks["dwells"]]
    classes = page.frame("classes")
    assert classes["traces"].astype(int).sum() == len(pd.read_csv(copy / "quality.csv"))

    methods = " ".join(page.text)
    settings = manifest["model_settings"]
    for phrase in (
        f"lumetra {manifest['lumetra']}",
        f"K = 1 to {settings['max_states']}",
        f"shared by the {len(result.hmm.paths)} usable traces",
        f"{settings['bootstrap']} bootstrap resamples",
        f"seed {settings['seed']}",
    ):
        assert phrase in methods

    # The results page's button offers the same report.
    download = asyncio.run(ResultsPage(load_folder(copy)).report_file())
    again = Page(download.getvalue().decode())
    assert again.sections == SECTIONS and again.tables["rates"] == page.tables["rates"]

    # A model file the batch would not have written: its sections say so, the rest is there.
    del model["levels"]
    (copy / "hmm_model.json").write_text(json.dumps(model))
    path, report = write_report(copy)
    assert report.problems and all("hmm_model.json" in p for p in report.problems)
    page = Page(path.read_text())
    assert page.sections == SECTIONS and page.tables["inputs"] == again.tables["inputs"]


def test_a_classic_batch_reports_what_it_lacks_and_the_progress_shows_on_a_terminal(tmp_path):
    from lumetra.batch import fit_traces

    if not KINSOFT_L1.is_dir():
        pytest.skip(f"needs the kinSoft training traces in {KINSOFT_L1}")
    inputs = [KINSOFT_L1 / f"trace_{n}.txt" for n in range(1, 5)]
    out = tmp_path / "classic"
    result = fit_traces(
        inputs, out, jobs=1, progress=False, params=(9, 0.177, 0.2, 0), method="classic"
    )
    command = [
        sys.executable,
        "-m",
        "lumetra",
        "report",
        str(out),
        "--out",
        str(tmp_path / "r.html"),
    ]
    run = subprocess.run(command, capture_output=True, text=True)
    assert run.returncode == 0 and run.stderr == ""  # no progress bar into a pipe
    page = Page((tmp_path / "r.html").read_text())
    assert page.sections == SECTIONS
    text = " ".join(page.text)
    assert "classic method" in text and "No model checks" in text
    assert "grouped into 2 states" in text
    assert not {"states", "bic", "relaxation", "dwell-checks"} & set(page.tables)
    rates = page.frame("rates")
    assert rates["rate"].tolist() == shown(result.kinetics["rate"])

    def on_terminal(*flags):
        """What the command writes to a terminal as its standard error."""
        main, other = os.openpty()
        fcntl.ioctl(other, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # 100 columns
        done = subprocess.run(command + list(flags), stdout=subprocess.DEVNULL, stderr=other)
        os.close(other)
        written = b""
        while True:
            try:
                piece = os.read(main, 1 << 16)
            except OSError:  # the terminal's other end is closed
                break
            if not piece:
                break
            written += piece
        os.close(main)
        assert done.returncode == 0
        return written.decode()

    shown_bar = on_terminal()
    assert "report" in shown_bar and f"{STEPS}/{STEPS}" in shown_bar
    assert on_terminal("--quiet") == ""


@pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER),
    reason="needs Debian's chromium and chromium-driver (scripts/setup.sh installs them)",
)
def test_the_report_opens_offline_with_every_figure_drawn(results_batch, browser, tmp_path):
    out, _ = results_batch
    path, _ = write_report(out, tmp_path / "report.html")
    page = Page(path.read_text())
    assert not [link for link in page.links if not link.startswith("#")]  # nothing to fetch

    browser.execute_cdp_cmd("Network.enable", {})
    offline = {"offline": True, "latency": 0, "downloadThroughput": 0, "uploadThroughput": 0}
    browser.execute_cdp_cmd("Network.emulateNetworkConditions", offline)
    browser.set_window_size(1400, 9000)  # the whole report in one screenshot
    browser.get(path.as_uri())
    drawn = """
const plots = [...document.querySelectorAll('.plotly-graph-div')];
return plots.map(p => !!p.querySelector('svg.main-svg') && p.data.length > 0);
"""
    figures, _ = wait_for(
        browser, lambda d: (f := d.execute_script(drawn)) and all(f) and f, "figures"
    )
    # Density, levels, dwell times, the example traces, the dwell checks: every one drawn.
    assert len(figures) == path.read_text().count('class="plotly-graph-div"') >= 5
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    browser.save_screenshot(str(ARTIFACTS / "report.png"))
