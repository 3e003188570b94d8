"""The served dashboard in headless Chromium: the page loads, the figure shows the trace, a
new ratio limit rebuilds it, and each build adds a group of rows to the segments table."""

import json
import os
import re
import shutil
import time
from pathlib import Path

import pytest

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER),
    reason="needs Debian's chromium and chromium-driver (scripts/setup.sh installs them)",
)

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "traces"
ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts"
WAIT = 60  # seconds for each step: the first page also starts Chromium and fits the trace
TRACE = "two_level.txt"
TRACE_FRAMES = 2000
NEW_RRATIO = "1"  # far enough from the default 0.177 to change the fit of this trace

# Panel draws every widget inside shadow roots; these walk them in document order.
DEEP = """
function deepAll(root, out = []) {
  for (const e of root.querySelectorAll('*')) {
    out.push(e);
    if (e.shadowRoot) deepAll(e.shadowRoot, out);
  }
  return out;
}
"""

FIGURE = (
    DEEP
    + """
const plot = deepAll(document).find(e => e.classList.contains('js-plotly-plot'));
if (!plot || !plot.data || !plot.layout) return null;
return {
  traces: plot.data.map(t => ({name: t.name || null, points: t.x ? t.x.length : 0})),
  shapes: JSON.stringify((plot.layout.shapes || []).map(s => [s.name, s.x0, s.x1, s.y0])),
};
"""
)

TABLE_GROUPS = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('tabulator-group'))
  .map(e => e.textContent.trim());
"""
)

# The number box of a labelled slider: the first input after the label text.
INPUT_AFTER_LABEL = (
    DEEP
    + """
const all = deepAll(document);
const isLabel = e => e.childElementCount === 0 && e.textContent.trim() === arguments[0];
const label = all.findIndex(isLabel);
if (label < 0) return null;
return all.slice(label).find(e => e.tagName === 'INPUT') || null;
"""
)


@pytest.fixture
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1600,1200"):
        options.add_argument(argument)
    # The browser is not under test: it runs without a sanitizer runtime preloaded for the tests.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


def wait_for(driver, condition, what, required=True):
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.support.ui import WebDriverWait

    start = time.monotonic()
    try:
        result = WebDriverWait(driver, WAIT, poll_frequency=0.25).until(lambda d: condition(d))
    except TimeoutException:
        if required:
            pytest.fail(f"no {what} within {WAIT} s")
        result = None
    return result, time.monotonic() - start


def group_numbers(groups):
    return [int(re.match(r"idx: (\d+)", g).group(1)) for g in groups or []]


def has_group(number):
    def groups(driver):
        found = driver.execute_script(TABLE_GROUPS)
        return found if any(re.match(rf"idx: {number}\D", g) for g in found) else None

    return groups


def test_dashboard_fits_and_refits_in_the_browser(serve_explorer, browser, tmp_path):
    from selenium.webdriver.common.keys import Keys

    data = tmp_path / "traces"
    data.mkdir()
    shutil.copy(EXAMPLES / TRACE, data)
    url = serve_explorer(str(data))
    timings = {}
    try:
        start = time.monotonic()
        browser.get(url)
        assert browser.title == "lumetra explorer"

        def figure_with_trace(driver):
            figure = driver.execute_script(FIGURE)
            names = [t["name"] for t in figure["traces"]] if figure else []
            return figure if "CH1mBGND1" in names else None

        figure, _ = wait_for(browser, figure_with_trace, "figure with the trace CH1mBGND1")
        timings["page and first figure"] = time.monotonic() - start
        trace = next(t for t in figure["traces"] if t["name"] == "CH1mBGND1")
        assert trace["points"] == TRACE_FRAMES
        assert {"var", "NS"} <= {t["name"] for t in figure["traces"]}
        assert "mFRET" in figure["shapes"]

        # Panel keys its scheduled tasks by name for the whole server process, so when the page
        # is served twice within the 3 s delay (a slow machine may reconnect), the task of the
        # first build can go to the other session's explorer; the table then starts with the
        # next build. So the first group is waited for but not required.
        groups, timings["first table rows"] = wait_for(
            browser, has_group(1), "rows of build 1", required=False
        )
        before = group_numbers(groups)
        assert before in ([1], [])

        box = browser.execute_script(INPUT_AFTER_LABEL, "Rratio:")
        assert box is not None, "no number box next to the Rratio label"
        typed = box.get_attribute("value")
        assert float(typed) == pytest.approx(0.177)
        box.send_keys(Keys.END, *[Keys.BACKSPACE] * len(typed), NEW_RRATIO, Keys.ENTER)
        moved = time.monotonic()

        def rebuilt(driver):
            now = driver.execute_script(FIGURE)
            return now if now and now["shapes"] != figure["shapes"] else None

        refit, timings["figure rebuilt"] = wait_for(browser, rebuilt, "new figure after the move")
        assert "CH1mBGND1" in [t["name"] for t in refit["traces"]]
        groups, _ = wait_for(browser, has_group(2), "rows of build 2")
        timings["second table rows"] = time.monotonic() - moved
        # The table gained a group, the newest build first, and kept what it showed before (the
        # first group may arrive late, together with the second).
        numbers = group_numbers(groups)
        assert numbers[0] == 2 and set(before) <= set(numbers) <= {1, 2}
    finally:
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(tmp_path / "dashboard.png"))
        shutil.copy(tmp_path / "dashboard.png", ARTIFACTS / "dashboard.png")
        (ARTIFACTS / "dashboard-timings.json").write_text(json.dumps(timings, indent=1) + "\n")
    print("browser timings (s):", {k: round(v, 2) for k, v in timings.items()})


def test_dashboard_draws_a_two_colour_file_as_its_fret_efficiency(
    serve_explorer, browser, tmp_path
):
    from test_io_prepare import bleaching_trace

    from lumetra import io

    data = tmp_path / "two-colour"
    data.mkdir()
    io.write_kinsoft(data / "molecule.txt", bleaching_trace("molecule.txt"))
    cut = io.first_bleach(io.read_traces(data / "molecule.txt")[0]).frame
    browser.get(serve_explorer(str(data)))

    def figure_with_trace(driver):
        figure = driver.execute_script(FIGURE)
        traces = {t["name"]: t["points"] for t in figure["traces"]} if figure else {}
        return traces if "CH1mBGND1" in traces else None

    try:
        traces, _ = wait_for(browser, figure_with_trace, "figure of the converted trace")
        assert traces["CH1mBGND1"] == cut  # E up to the bleaching, not the 400 frames read
    finally:
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        browser.save_screenshot(str(ARTIFACTS / "dashboard-two-colour.png"))
