"""Screening in `lumetra fit`: every trace classed in quality.csv, junk kept out of the model,
blinks masked, traces without a step fit still modelled, the user's overrides honoured."""

import json

import numpy as np
import pandas as pd
import pytest

from lumetra import io
from lumetra.batch.quality import write_overrides
from lumetra.cli import main
from lumetra.io._trace import make_trace

FIXED = ["6", "-0.9", "0.01", "3"]
BRIGHT = 1000.0


def alex_trace(path, e, rng, acceptor_present=True, blink=None):
    """A kinSoft file with alternating excitation of FRET efficiencies `e` per frame."""
    n = len(e)
    donor = BRIGHT * (1 - e) + rng.normal(0, 25, n)
    acceptor = BRIGHT * e + rng.normal(0, 25, n)
    direct = np.full(n, 800.0) + rng.normal(0, 25, n)
    if not acceptor_present:  # background-subtracted noise around zero, negative on average
        acceptor = rng.normal(-5, 20, n)
        direct = rng.normal(-5, 20, n)
        donor = BRIGHT + rng.normal(0, 25, n)
    if blink is not None:  # the donor dark: nothing under donor excitation
        donor[blink] = rng.normal(0, 20, len(range(*blink.indices(n))))
        acceptor[blink] = rng.normal(0, 20, len(range(*blink.indices(n))))
    trace = make_trace(
        path.name,
        "kinsoft",
        np.arange(n) * 0.1,
        donor=donor,
        acceptor=acceptor,
        acceptor_direct=direct,
    )
    io.write_kinsoft(path, trace)


def two_state(rng, frames):
    e, state = np.empty(frames), 0
    for t in range(frames):
        state = 1 - state if rng.random() < 0.04 else state
        e[t] = (0.3, 0.7)[state]
    return e


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    rng = np.random.default_rng(11)
    data = tmp_path_factory.mktemp("screening") / "data"
    data.mkdir()
    for i in range(6):
        alex_trace(data / f"good_{i}.txt", two_state(rng, 300), rng)
    alex_trace(data / "blinking.txt", two_state(rng, 300), rng, blink=slice(100, 106))
    alex_trace(data / "donor_only.txt", np.zeros(300), rng, acceptor_present=False)
    alex_trace(data / "short.txt", two_state(rng, 12), rng)  # shorter than one window
    return data


def test_junk_is_classed_and_kept_out_while_every_usable_trace_is_modelled(batch, tmp_path):
    out = tmp_path / "out"
    assert main(["fit", str(batch), "--out", str(out), "--fixed", *FIXED, "--quiet"]) == 0
    quality = pd.read_csv(out / "quality.csv").set_index("name")
    assert len(quality) == 9 and pd.read_csv(out / "failures.csv").empty
    assert quality.loc["donor_only", "class"] == "donor_only"
    assert not quality.loc["donor_only", "usable"]
    assert quality.loc["short", "usable"] and quality.loc["short", "step_fit"] != "fitted"
    modelled = {p.stem for p in (out / "hmm").glob("*.csv")}
    assert modelled == set(quality.index[quality.usable]) and "short" in modelled
    blinking = pd.read_csv(out / "hmm" / "blinking.csv", comment="#")
    assert blinking.masked[100:106].all() and blinking.masked.sum() <= 8
    assert quality.loc["blinking", "dark_frames"] >= 6

    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["screening"]["classes"]["donor_only"] == 1


def test_overrides_take_traces_out_on_a_rerun_without_refitting(batch, tmp_path):
    out = tmp_path / "out"
    assert main(["fit", str(batch), "--out", str(out), "--fixed", *FIXED, "--quiet"]) == 0
    records = {p: p.stat().st_mtime_ns for p in (out / "records").glob("*.json")}
    write_overrides(out / "overrides.csv", {"good_0": False, "donor_only": False})
    assert main(["fit", str(batch), "--out", str(out), "--fixed", *FIXED, "--quiet"]) == 0
    assert {p: p.stat().st_mtime_ns for p in records} == records  # nothing fitted again
    quality = pd.read_csv(out / "quality.csv").set_index("name")
    assert quality.loc["good_0", "override"] == "exclude" and not quality.loc["good_0", "usable"]
    assert not (out / "hmm" / "good_0.csv").exists()
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["screening"]["overrides"] == {"good_0": False, "donor_only": False}

    (out / "overrides.csv").write_text("name,usable\ngood_1,perhaps\n")
    with pytest.raises(SystemExit, match="overrides.csv, line 2: 'good_1,perhaps'"):
        main(["fit", str(batch), "--out", str(out), "--fixed", *FIXED, "--quiet"])
