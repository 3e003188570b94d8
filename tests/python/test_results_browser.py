"""The served results page in headless Chromium: the batch's table and figures load, a clicked
row shows that trace, ticked rows fitted again redraw the kinetics of the selection and are
left out by the button. Each
step's screenshot goes to build/test-artifacts/results-*.png."""

import time

import pytest
from test_dashboard_browser import ARTIFACTS, CHROMEDRIVER, CHROMIUM, DEEP, browser, wait_for

pytestmark = pytest.mark.skipif(
    not (CHROMIUM and CHROMEDRIVER),
    reason="needs Debian's chromium and chromium-driver (scripts/setup.sh installs them)",
)
__all__ = ["browser"]  # the fixture, shared with the explorer's browser test

FIGURES = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('js-plotly-plot') && e.layout)
  .map(e => ({title: (e.layout.title && e.layout.title.text) || '',
              traces: e.data.map(t => t.name || '')}));
"""
)

# The table's rows: the text of the cell of the "name" column of each, in the order shown.
ROW_NAMES = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('tabulator-row'))
  .map(r => r.querySelector('[tabulator-field="name"]'))
  .map(c => c ? c.textContent.trim() : '');
"""
)

CLICK_CELL = (
    DEEP
    + """
const rows = deepAll(document).filter(e => e.classList.contains('tabulator-row'));
const cell = rows[arguments[0]].querySelector('[tabulator-field="' + arguments[1] + '"]');
cell.click();
"""
)

TICK_ROW = (
    DEEP
    + """
const rows = deepAll(document).filter(e => e.classList.contains('tabulator-row'));
rows[arguments[0]].querySelector('input[type="checkbox"]').click();
"""
)

CLICK_BUTTON = (
    DEEP
    + """
const isButton = e => e.tagName === 'BUTTON' && e.textContent.trim() === arguments[0];
deepAll(document).find(isButton).click();
"""
)

COLUMN_TITLES = (
    DEEP
    + """
return deepAll(document).filter(e => e.classList.contains('tabulator-col'))
  .map(c => c.getAttribute('tabulator-field'));
"""
)

# The usable cells drawn as a cross (tickCross): the traces left out.
CROSSES = (
    DEEP
    + """
return deepAll(document).filter(e => e.getAttribute('tabulator-field') === 'usable'
  && e.classList.contains('tabulator-cell') && e.querySelector('svg path[fill="#CE1515"]'));
"""
)

PAGE_TEXT = DEEP + "return deepAll(document).map(e => e.shadowRoot ? '' : e.textContent).join(' ');"
SELECTED = 3  # rows ticked for the selection


def figure_titled(prefix):
    def find(driver):
        found = [f for f in driver.execute_script(FIGURES) if f["title"].startswith(prefix)]
        return found or None

    return find


def test_results_page_shows_traces_and_fits_a_selection(serve_explorer, browser, results_batch):
    out, result = results_batch
    browser.get(serve_explorer("--results", str(out)))
    ARTIFACTS.mkdir(parents=True, exist_ok=True)

    names, _ = wait_for(browser, lambda d: d.execute_script(ROW_NAMES) or None, "table rows")
    assert "broken" in names and names[0] == "trace_1"
    first, _ = wait_for(browser, figure_titled("trace_1"), "figure of the first trace")
    assert first[0]["traces"][:3] == ["signal", "step fit", "shared model"]
    assert "donor" in first[0]["traces"]
    wait_for(browser, figure_titled(f"Transition density: {len(result.fits)} traces"), "density")
    wait_for(browser, figure_titled("Dwell times"), "dwell-time histograms")
    browser.save_screenshot(str(ARTIFACTS / "results-1-batch.png"))

    chosen = names[2]
    start = time.monotonic()
    browser.execute_script(CLICK_CELL, 2, "frames")
    wait_for(browser, figure_titled(chosen), f"figure of {chosen}")
    print(f"trace {chosen} shown {time.monotonic() - start:.2f} s after the click")
    browser.save_screenshot(str(ARTIFACTS / "results-2-trace.png"))

    for row in range(SELECTED):
        browser.execute_script(TICK_ROW, row)
    browser.execute_script(CLICK_BUTTON, "Fit the kinetics of the selection")
    wait_for(browser, figure_titled(f"Transition density: {SELECTED} traces"), "selection's plot")
    wait_for(browser, figure_titled(f"Levels: {SELECTED} traces"), "selection's level histogram")
    text, _ = wait_for(
        browser,
        lambda d: (t := d.execute_script(PAGE_TEXT)) and f"Showing the selection: {SELECTED}" in t,
        "the selection's status",
    )
    columns = browser.execute_script(COLUMN_TITLES)
    assert {"class", "usable", "reason", "step_fit"} <= set(columns)
    browser.execute_script(CLICK_BUTTON, "Leave out ticked")  # the usable cells turn to crosses
    wait_for(browser, lambda d: len(d.execute_script(CROSSES)) >= SELECTED or None, "crosses")
    browser.set_window_size(1600, 2600)  # the whole page: dwell times, rates and BIC too
    time.sleep(1)
    browser.save_screenshot(str(ARTIFACTS / "results-3-selection.png"))
