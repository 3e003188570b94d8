"""The first run: `lumetra demo` simulates an experiment, fits it and serves both pages."""

import json
import urllib.request

import pandas as pd


def test_demo_fits_the_experiment_once_and_serves_the_results(serve_explorer, tmp_path):
    folder = tmp_path / "demo"
    url = serve_explorer("--dir", str(folder), command="demo", timeout=300)
    with urllib.request.urlopen(url, timeout=30) as page:
        assert "lumetra" in page.read().decode()
    truth = json.loads((folder / "truth.json").read_text())
    model = json.loads((folder / "results" / "hmm_model.json").read_text())
    assert model["states"] == len(truth["levels"]) == 2
    rates = pd.read_csv(folder / "results" / "kinetics.csv")
    for row in rates.itertuples():  # the truth within each rate's interval
        true_rate = truth["rates_per_second"][row.from_state][row.to_state]
        assert row.rate_lower <= true_rate <= row.rate_upper
    # Every file the fit and the explorer see is a trace; the truth lies beside them.
    assert sorted(p.name for p in (folder / "traces").iterdir())[-1] == "trace_0060.txt"
    assert len(list((folder / "traces").iterdir())) == truth["count"]

    fitted = (folder / "results" / "hmm_model.json").stat().st_mtime_ns
    serve_explorer("--dir", str(folder), command="demo", timeout=120)
    assert (folder / "results" / "hmm_model.json").stat().st_mtime_ns == fitted
