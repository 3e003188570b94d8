"""A batch's output directory read back for the results page: every trace with its status, the
paths and kinetics the batch wrote, a selection fitted again, and figures that fail in place."""

import html
import json
import os
import shutil
import threading
import time
import urllib.request
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from lumetra.results import figures
from lumetra.results.folder import load_folder, trace_view
from lumetra.results.kinetics import batch_kinetics, level_histogram, selection_kinetics


def test_the_folder_holds_every_trace_and_the_batch_model(results_batch):
    out, result = results_batch
    folder = load_folder(out)
    table = folder.table.set_index("name")
    assert (
        table.loc["broken", "status"] == "failed" and "broken.txt" in table.loc["broken", "reason"]
    )
    assert list(folder.paths) == [n for n in table.index if table.loc[n, "status"] == "fitted"]
    for fit, path, levels in zip(result.fits, folder.paths.values(), result.hmm.path_levels):
        time, _ = result.frames(fit)
        assert np.array_equal(path.time, time) and np.array_equal(path.levels, levels)
    name = folder.names[0]
    assert table.loc[name, "frames"] == result.fits[0].frames
    assert table.loc[name, "transitions"] == np.count_nonzero(np.diff(result.hmm.path_levels[0]))

    kinetics = batch_kinetics(folder)
    pd.testing.assert_frame_equal(kinetics.rates, result.kinetics, check_dtype=False)
    assert np.allclose(kinetics.levels, result.hmm.levels)
    assert kinetics.bic == result.hmm.bic
    histogram = level_histogram(kinetics)
    width = np.diff(histogram.centres)[0]
    assert np.isclose(histogram.density.sum() * width, 1)
    step = np.diff(histogram.x)[0]
    mixture = np.sum([curve for _, curve in histogram.gaussians], axis=0)
    assert abs(mixture.sum() * step - 1) < 0.02  # the states' Gaussians, weighted by their frames

    density = figures.transitions_figure(kinetics).data[0]
    changes = sum(np.count_nonzero(np.diff(p)) for p in result.hmm.path_levels)
    assert sum(density.z) == changes and len(density.x) <= kinetics.states**2
    assert density.histfunc == "sum" and density.xbins.size == 0.1  # as transitionDensityPlot


def test_a_selection_is_fitted_again_as_the_batch_fitted_it(results_batch):
    out, result = results_batch
    folder = load_folder(out)
    again = selection_kinetics(folder, folder.names, bootstrap=20)
    assert np.allclose(again.rates["rate"], result.kinetics["rate"])
    assert np.allclose(again.rates["rate_upper"], result.kinetics["rate_upper"])
    subset = selection_kinetics(folder, folder.names[:3], bootstrap=20)
    assert subset.names == folder.names[:3]
    assert not np.allclose(subset.rates["rate"], result.kinetics["rate"])
    dwells = figures.dwells_figure(subset)
    assert "3 traces" in dwells.layout.title.text


def test_a_chosen_trace_shows_its_paths_and_channels(results_batch, tmp_path):
    out, result = results_batch
    folder = load_folder(out)
    view = trace_view(folder, folder.names[1])
    fit = result.fits[1]
    assert np.array_equal(view.step, fit.levels[fit.frame_segment])
    assert np.array_equal(view.model, result.hmm.path_levels[1])
    assert set(view.channels) >= {"donor", "acceptor"}
    assert all(len(v) == len(view.time) for v in view.channels.values())
    names = [t.name for t in figures.trace_figure(view).data]
    assert names[:3] == ["signal", "step fit", "shared model"] and "donor" in names

    # The source gone, the trace is still shown, without its channels.
    copy = tmp_path / "results"
    shutil.copytree(out, copy)
    moved = load_folder(copy)
    moved.table["file"] = moved.table["file"].str.replace("/", "/gone/", n=1)
    assert trace_view(moved, folder.names[1]).channels == {}


def test_a_figure_that_cannot_be_drawn_shows_its_error_in_the_page(results_batch, tmp_path):
    from lumetra.cli.results_page import ResultsPage

    out, _ = results_batch
    copy = tmp_path / "results"
    shutil.copytree(out, copy)
    folder = load_folder(copy)
    (copy / "traces" / f"{folder.names[0]}.csv").write_text("frame,time\n1,2,3,4\n")
    page = ResultsPage(folder)
    assert page.trace.error.visible and "could not be drawn" in page.trace.error.object
    assert not page.density.error.visible and page.density.pane.object is not None
    page.show_trace(folder.names[1])
    assert not page.trace.error.visible
    assert page.trace.pane.object.layout.title.text == folder.names[1]


def test_a_classic_batch_shows_its_state_paths_and_dwell_rates(tmp_path):
    from conftest import KINSOFT_L1

    from lumetra.batch import fit_traces

    if not KINSOFT_L1.is_dir():
        pytest.skip(f"needs the kinSoft training traces in {KINSOFT_L1}")
    inputs = [KINSOFT_L1 / f"trace_{n}.txt" for n in range(1, 5)]
    result = fit_traces(
        inputs, tmp_path, jobs=1, progress=False, params=(9, 0.177, 0.2, 0), method="classic"
    )
    folder = load_folder(tmp_path)
    for fit, path in zip(result.fits, folder.paths.values()):
        assert len(path.levels) == fit.frames
        assert set(np.unique(path.levels)) <= set(result.kinetics["level"])
    again = selection_kinetics(folder, folder.names)
    assert np.allclose(again.rates["rate"], result.kinetics["rate"])
    assert figures.dwells_figure(again).data


def test_the_dwell_checks_are_shown_when_the_batch_wrote_them(results_batch, tmp_path):
    from lumetra.cli.results_page import ResultsPage

    out, result = results_batch
    hmm = result.hmm
    table = hmm.dwell_checks
    folder = load_folder(out)
    pd.testing.assert_frame_equal(folder.dwell_checks, table, check_dtype=False)
    shown, drawn = ResultsPage(folder).dwell_checks
    assert shown[1].value["dwells"].tolist() == table["dwells"].tolist()
    figure = drawn[1].object
    assert not drawn[0].visible and len(figure.layout.annotations) == len(hmm.fret_levels)
    assert f"{len(hmm.paths)} traces" in figure.layout.title.text
    bars = [trace for trace in figure.data if trace.type == "bar"]
    assert [sum(bar.y) for bar in bars] == table["dwells"].tolist()

    copy = tmp_path / "results"
    shutil.copytree(out, copy)
    model = json.loads((copy / "hmm_model.json").read_text())

    def alerts() -> list[str]:
        import panel as pn

        page = ResultsPage(load_folder(copy)).layout()
        return [part.object for part in page if isinstance(part, pn.pane.Alert)]

    # A model that stopped at its iteration limit says so at the top of the page.
    assert alerts() == []
    (copy / "hmm_model.json").write_text(json.dumps(model | {"converged": False}))
    assert "did not converge" in alerts()[0]
    # A model whose rates do not match its states: the table alone.
    (copy / "hmm_model.json").write_text(json.dumps(model | {"state_levels": [0]}))
    assert len(ResultsPage(load_folder(copy)).dwell_checks) == 1
    # A folder of an earlier version, without them: nothing new.
    (copy / "dwell_checks.csv").unlink()
    del model["rates"], model["state_levels"]
    (copy / "hmm_model.json").write_text(json.dumps(model))
    assert ResultsPage(load_folder(copy)).dwell_checks == []


HANG = 20  # seconds within which a crafted entry is refused


def within(seconds, call):
    """call()'s result; fails when it still runs after `seconds` (it hangs on its input)."""
    outcome = []

    def run():
        try:
            outcome.append(call())
        except BaseException as error:  # noqa: BLE001 (raised again below)
            outcome.append(error)

    threading.Thread(target=run, daemon=True).start()
    deadline = time.monotonic() + seconds
    while not outcome and time.monotonic() < deadline:
        time.sleep(0.05)
    assert outcome, f"still reading after {seconds} s"
    if isinstance(outcome[0], BaseException):
        raise outcome[0]
    return outcome[0]


def edit_entry(root, name, key, value):
    """Sets `key` of trace `name`'s entry in the manifest; returns the trace's name."""
    manifest = json.loads((root / "manifest.json").read_text())
    (entry,) = [e for e in manifest["inputs"] if e["name"] == name]
    entry[key] = value
    (root / "manifest.json").write_text(json.dumps(manifest))
    return entry["name"]


def fifo(path):
    os.mkfifo(path)
    return path


def sparse(path):
    from lumetra.results.files import MAX_FILE_BYTES

    with open(path, "wb") as file:
        file.truncate(MAX_FILE_BYTES + 1)
    return path


OUTSIDE = "<img src=x onerror=alert(1)>"  # a directory beside the folder, named as markup


def renamed(prefix):
    """The trace renamed to reach a copy of its path outside the folder: PREFIX(folder) + name."""

    def craft(root, name):
        (root.parent / OUTSIDE).mkdir()
        shutil.copy(root / "hmm" / f"{name}.csv", root.parent / OUTSIDE)
        return edit_entry(root, name, "name", prefix(root) + name)

    return craft


def source(make):
    return lambda root, name: edit_entry(root, name, "file", f"{make(root.parent)}#0")


def fifo_path(root, name):
    (root / "hmm" / f"{name}.csv").unlink()
    fifo(root / "hmm" / f"{name}.csv")
    return name


CRAFTED = {  # how an entry of the folder is crafted, and what the page shows for it
    "fifo source": (source(lambda d: fifo(d / "fifo")), "fifo is not a regular file (a FIFO)"),
    "device source": (source(lambda d: "/dev/zero"), "/dev/zero is not a regular file"),
    "oversized source": (source(lambda d: sparse(d / "huge.txt")), "huge.txt holds 5"),
    "name with ..": (renamed(lambda root: f"../../{OUTSIDE}/"), "leads outside"),
    "absolute name": (renamed(lambda root: f"{root.parent}/{OUTSIDE}/"), "leads outside"),
    "fifo path": (fifo_path, "is not a regular file (a FIFO)"),
}


@pytest.mark.parametrize(("craft", "shown"), CRAFTED.values(), ids=CRAFTED)
def test_a_crafted_entry_shows_its_error_in_its_place(results_batch, tmp_path, craft, shown):
    """Read in a bounded time, nothing read outside the folder; the other traces are shown."""
    out, _ = results_batch
    root = tmp_path / "results"
    shutil.copytree(out, root)
    names = load_folder(out).names
    name = craft(root, names[1])
    folder = within(HANG, lambda: load_folder(root))
    if name in folder.paths:  # drawn, with why its source's channels are not
        figure = within(HANG, lambda: figures.trace_figure(trace_view(folder, name)))
        assert [t.name for t in figure.data] == ["signal", "step fit", "shared model"]
        text = " ".join(note.text for note in figure.layout.annotations)
    else:
        from lumetra.cli.results_page import ResultsPage

        row = folder.table.set_index("name").loc[name]
        assert row["status"] == "unreadable"
        text = row["reason"]
        page = ResultsPage(folder)  # its row clicked: the reason, as text, where the figure was
        page.choose(SimpleNamespace(row=folder.table.index[folder.table["name"] == name][0]))
        assert page.trace.error.visible and html.escape(text) in page.trace.error.object
    assert shown in text
    assert set(folder.paths) - {name} == set(names) - {names[1]}


def test_every_session_is_served_while_the_first_trace_has_a_fifo_source(
    serve_explorer, results_batch, tmp_path
):
    out, _ = results_batch
    root = tmp_path / "results"
    shutil.copytree(out, root)
    source(lambda d: fifo(d / "fifo"))(root, load_folder(out).names[0])  # drawn as a page opens
    url = serve_explorer("--results", str(root))
    for _session in range(2):
        with urllib.request.urlopen(url, timeout=HANG) as page:
            assert page.status == 200 and b"<title>lumetra results</title>" in page.read()


@pytest.mark.parametrize(
    ("manifest", "message"),
    [
        ("[]", "no manifest of lumetra fit"),
        ('{"inputs": {"name": "x"}}', "no manifest of lumetra fit"),
        ('{"inputs": [{"name": 5, "file": "x.txt"}]}', "input 0 has no name and file"),
        ('{"inputs": [', "Expecting value: line 1 column 13"),
    ],
    ids=["list", "inputs an object", "name a number", "cut short"],
)
def test_a_malformed_manifest_is_refused_naming_it(tmp_path, manifest, message):
    (tmp_path / "manifest.json").write_text(manifest)
    with pytest.raises(ValueError, match=f"manifest.json.*{message}"):
        load_folder(tmp_path)


MASKED = slice(10, 30)  # frames of one trace the model did not read


def screen_folder(root, names):
    """Writes what a batch with screening adds into the copy `root` of a batch's folder:
    quality.csv (names[0] noisy, so not modelled: no hmm/ file; names[1] without a step fit),
    a masked run of names[2] in its hmm/NAME.csv, and no overrides yet."""
    rows = []
    for name in names:
        kind, step = ("noisy", "fitted") if name == names[0] else ("dynamic", "fitted")
        step = "too short for the step fit" if name == names[1] else step
        rows.append({"name": name, "class": kind, "usable": kind != "noisy", "step_fit": step})
        rows[-1] |= {"reason": f"{kind} trace", "override": ""}
    pd.DataFrame(rows).to_csv(root / "quality.csv", index=False)
    (root / "hmm" / f"{names[0]}.csv").unlink()
    for name in names[1:]:
        path = root / "hmm" / f"{name}.csv"
        frame = pd.read_csv(path, comment="#")
        masked = frame.index[MASKED] if name == names[2] else []
        frame["masked"] = np.isin(frame.index, masked).astype(int)
        frame.to_csv(path, index=False)


def test_screening_classes_masks_and_overrides_reach_the_page_and_the_refit(
    results_batch, tmp_path, monkeypatch
):
    from lumetra.batch.quality import read_overrides
    from lumetra.cli.results_page import ResultsPage
    from lumetra.results import kinetics as kinetics_module

    out, _ = results_batch
    root = tmp_path / "results"
    shutil.copytree(out, root)
    for written in ("quality.csv", "overrides.csv"):  # as a version without screening left it
        (root / written).unlink(missing_ok=True)
    old = load_folder(root)
    assert (old.table["class"] == "").all() and old.table["usable"].isna().all()
    names = [n for n in old.names if n in old.modelled][:6]
    screen_folder(root, names)

    folder = load_folder(root)
    table = folder.table.set_index("name")
    assert table.loc[names[0], ["class", "usable", "reason"]].tolist() == [
        "noisy",
        False,
        "noisy trace",
    ]
    assert table.loc[names[1], "step_fit"] == "too short for the step fit"
    assert table.loc["broken", "status"] == "failed" and table.loc["broken", "class"] == ""
    assert names[0] in folder.paths and names[0] not in batch_kinetics(folder).names
    assert trace_view(folder, names[0]).model is None  # shown with its step fit only
    view = trace_view(folder, names[2])
    assert np.flatnonzero(view.masked).tolist() == list(range(MASKED.start, MASKED.stop))
    ((x0, x1),) = {(band.x0, band.x1) for band in figures.trace_figure(view).layout.shapes}
    assert x0 < view.time[MASKED.start] < view.time[MASKED.stop - 1] < x1 < view.time[MASKED.stop]

    page = ResultsPage(folder)
    page.screening.classes.value = ["noisy"]
    assert page.table.current_view["name"].tolist() == [names[0]]
    page.screening.classes.value, page.screening.usable_only.value = [], True
    assert set(page.table.current_view["name"]) == set(folder.names) - {names[0]}

    page.screening.usable_only.value = False
    rows = folder.table.index[folder.table["name"].isin([names[0], names[3]])]
    page.table.selection = [int(rows[1])]
    page.screening.exclude.clicks += 1  # names[3] left out
    page.table.selection = [int(rows[0])]
    page.screening.include.clicks += 1  # names[0] taken in, noisy as it is
    page.screening.save.clicks += 1
    assert read_overrides(root / "overrides.csv") == {names[3]: False, names[0]: True}
    assert (
        "Saved" in page.screening.message.object and "lumetra fit" in page.screening.message.object
    )
    assert load_folder(root).usable()[names[3]] is False  # as the next session reads it

    seen = {}

    def fit(data, segments, *args, **kwargs):
        seen.update(data={t.name: t.values for t in data}, segments=segments)
        return fit_shared_model(data, segments, *args, **kwargs)

    fit_shared_model = kinetics_module.fit_shared_model
    monkeypatch.setattr(kinetics_module, "fit_shared_model", fit)
    selection = selection_kinetics(
        folder, names[:5], bootstrap=0, overrides=page.screening.overrides
    )
    assert selection.names == [names[0], names[1], names[2], names[4]]
    masked = np.isnan(seen["data"][names[2]])
    assert np.flatnonzero(masked).tolist() == list(range(MASKED.start, MASKED.stop))
    assert seen["segments"][1] is None and seen["segments"][2] is not None
    with pytest.raises(ValueError, match="no usable trace"):
        selection_kinetics(folder, [names[3]], overrides=page.screening.overrides)
