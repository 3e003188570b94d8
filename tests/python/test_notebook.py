"""Results in a notebook: the example notebook runs from top to bottom in a kernel, and the
model and a results folder show themselves there as tables and a figure."""

import pathlib

import nbclient
import nbformat
import numpy as np
import pandas as pd

from lumetra.results import load_folder

NOTEBOOK = pathlib.Path(__file__).resolve().parents[2] / "examples" / "quickstart.ipynb"


def html_outputs(cell):
    return "".join(o.get("data", {}).get("text/html", "") for o in cell.get("outputs", []))


def test_the_example_notebook_runs_and_shows_the_results(tmp_path, monkeypatch):
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    code = [cell for cell in notebook.cells if cell.cell_type == "code"]
    assert not any(cell.outputs or cell.execution_count for cell in code), "stored with outputs"
    monkeypatch.setenv("TMPDIR", str(tmp_path))  # the notebook's folders, for the kernel
    client = nbclient.NotebookClient(
        notebook, timeout=120, kernel_name="python3", resources={"metadata": {"path": tmp_path}}
    )
    client.execute()  # CellExecutionError, naming the cell, if any fails

    model = next(html_outputs(c) for c in code if c.source.rstrip().endswith("batch.hmm"))
    folder = next(html_outputs(c) for c in code if c.source.rstrip().endswith("\nfolder"))
    for shown in (model, folder):
        assert "<svg" in shown and "Rate constants" in shown and "BIC of every candidate" in shown
        assert "<script" not in shown  # nothing to fetch or run: it shows offline
    assert "Traces by class" in folder and "dynamic" in folder


def test_the_folder_gives_its_tables_as_frames(results_batch):
    out, result = results_batch
    folder = load_folder(out)
    model = result.hmm
    pd.testing.assert_frame_equal(folder.levels, model.level_table)
    pd.testing.assert_frame_equal(folder.relaxation_times, model.relaxation_table)
    assert np.allclose(folder.bic["bic"], model.bic_table["bic"])
    counts = folder.class_counts
    assert counts["traces"].sum() == len(folder.table)
    fitted = counts[counts["status"] == "fitted"]
    assert fitted["usable"].sum() == int(result.quality["usable"].sum())
    assert set(folder.quality["name"]) == set(result.quality["name"])
    # The text form is a line, not the paths of every trace.
    assert len(repr(folder)) < 200 and len(repr(model)) < 200
