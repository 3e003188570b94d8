"""Two-colour files of the field's formats through `lumetra fit`, `summary` and `convert`: one
output per trace, the reading recorded, short traces skipped, bad files failed alone."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from test_io_prepare import bleaching_trace
from test_io_readers import spartan_file

from lumetra import io
from lumetra.batch import fit_file
from lumetra.cli import main
from lumetra.io._trace import make_trace

PARAMS = {"halfWinLen": 6, "rratio": -0.9, "thrate": 0.01, "filterWidth": 3}
FIXED = [str(v) for v in PARAMS.values()]


def stacked_ebfret(path, lengths):
    """An ebFRET stacked file (rows: trace id, donor, acceptor) of square-wave FRET traces."""
    rng = np.random.default_rng(5)
    rows = []
    for number, frames in enumerate(lengths, start=1):
        e = np.where(np.arange(frames) % 60 < 30, 0.25, 0.75)
        for f in range(frames):
            acceptor = float(e[f] * 1000 + rng.normal(0, 40))
            donor = float(1000 - e[f] * 1000 + rng.normal(0, 40))
            rows.append(f"{number} {donor!r} {acceptor!r}")
    path.write_text("\n".join(rows) + "\n")
    return path


@pytest.fixture
def mixed_batch(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    io.write_kinsoft(data / "bleaching.txt", bleaching_trace("bleaching.txt"))
    stacked_ebfret(data / "stacked.dat", [240, 9])  # the second is too short for any window
    (data / "broken.txt").write_text(
        "%t (s)\tIdd (a.u.)\tIda (a.u.)\tIaa (a.u.)\tFRET E\n0\t1\t2\t3\t0.6\n0.1\t1\tx\t3\t0.6\n"
    )
    return data


def test_fit_reads_every_trace_of_every_format(mixed_batch, tmp_path, capsys):
    out = tmp_path / "out"
    code = main(["fit", str(mixed_batch), "--out", str(out), "--fixed", *FIXED, "--quiet"])
    assert code == 1  # broken.txt failed
    printed = capsys.readouterr().out
    assert "read as ebfret-stacked x2, kinsoft x1; 1 trace(s) cut" in printed

    failures = pd.read_csv(out / "failures.csv")
    assert list(failures.file) == [str(mixed_batch / "broken.txt")]
    assert "line 3" in failures.error[0] and "'x'" in failures.error[0]
    skipped = pd.read_csv(out / "skipped.csv")
    assert list(skipped.file) == [f"{mixed_batch / 'stacked.dat'}#1"]
    assert skipped.reason[0] == "9 frames: the fit needs at least 13"

    names = sorted(p.name for p in (out / "traces").iterdir())
    assert names == ["bleaching.csv", "stacked_0.csv", "stacked_1.csv"]  # the short one too
    cut = pd.read_csv(out / "traces" / "bleaching.csv", comment="#")
    header = (out / "traces" / "bleaching.csv").read_text().splitlines()[:12]
    assert "# format: kinsoft" in header and "# signal: fret" in header
    assert f"# cut_frame: {len(cut)}" in header and abs(len(cut) - 300) <= 1
    assert cut.intensity.between(0, 1).mean() > 0.95 and set(cut.level.round(1)) == {0.3, 0.7}

    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["reading"]["gamma"] == 1.0 and manifest["reading"]["cut"] is True
    inputs = {entry["name"]: entry for entry in manifest["inputs"]}
    assert inputs["stacked_0"]["format"] == "ebfret-stacked"
    assert inputs["stacked_0"]["file"] == f"{mixed_batch / 'stacked.dat'}#0"
    assert manifest["skipped"][0]["reason"].startswith("9 frames")


def spartan_movie(path, traces, frames=200, nan_at=None):
    """A SPARTAN file of square-wave FRET traces; nan_at: (trace, frame) of an acceptor NaN."""
    rng = np.random.default_rng(2)
    e = np.where(np.arange(frames) % 60 < 30, 0.25, 0.75)
    acceptor = e * 1000 + rng.normal(0, 40, (traces, frames))
    donor = 1000 - e * 1000 + rng.normal(0, 40, (traces, frames))
    if nan_at is not None:
        acceptor[nan_at] = np.nan
    channels = {"donor": donor, "acceptor": acceptor}
    path.write_bytes(spartan_file(channels, np.arange(frames) * 100.0))
    return path


def single_channel(path, time, values):
    path.write_text("Frame/10\tCH1-BGND1\n" + "".join(f"{t}\t{v}\n" for t, v in zip(time, values)))
    return path


def test_each_bad_trace_is_listed_alone(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    movie = spartan_movie(data / "movie.traces", 3, nan_at=(1, 50))
    spartan_movie(data / "none.traces", 0)
    single_channel(data / "short.txt", [0, 1, 2], [5.0, 6.0, 5.0])
    single_channel(data / "repeated.txt", [0, 1, 2, 2, *range(4, 30)], [5.0] * 30)
    single_channel(data / "negative.txt", range(30), [-5.0, 1.0] * 15)
    out = tmp_path / "out"
    assert main(["fit", str(data), "--out", str(out), "--fixed", *FIXED, "--quiet"]) == 1
    expected = {
        "failures": {
            f"{movie}#1": "TraceFormatError: " + f"{movie}, trace 2, frame 51, byte",
            str(data / "repeated.txt"): "line 5: time axis does not increase: 2.0 then 2.0",
        },
        "skipped": {
            str(data / "none.traces"): "no traces in the file",
            str(data / "short.txt"): "3 frames: the fit needs at least 13",
            str(data / "negative.txt"): "step fit failed: ",
        },
    }
    for table, column in (("failures", "error"), ("skipped", "reason")):
        found = pd.read_csv(out / f"{table}.csv")
        listed = dict(zip(found.file, found[column]))
        assert listed.keys() == expected[table].keys(), table
        for label, message in expected[table].items():
            assert message in listed[label], (label, listed[label])
    written = sorted(p.name for p in (out / "traces").iterdir())
    assert written == ["movie_0.csv", "movie_2.csv", "negative.csv", "short.csv"]


def test_signal_options_reach_the_fit(tmp_path):
    path = io.write_kinsoft(tmp_path / "m.txt", bleaching_trace("m.txt"))
    cut = fit_file(path, PARAMS)
    whole = fit_file(path, PARAMS, options=io.SignalOptions(signal="donor", cut=False))
    assert len(cut.intensity) < 400 == len(whole.intensity)
    assert whole.reading == {
        "format": "kinsoft",
        "signal": "donor",
        "frames": 400,
        "cut_frame": None,
        "fit_scale": 1.0,
    }
    assert whole.intensity.mean() > 1000  # counts, not E


def test_step_fit_is_the_same_on_e_and_on_scaled_e(tmp_path):
    path = io.write_kinsoft(tmp_path / "k.txt", bleaching_trace("k.txt"))
    trace = io.read_traces(path)[0]
    cut = io.first_bleach(trace).frame
    e = io.fret_efficiency(trace)[:cut]
    fits = [fit_file(path, PARAMS)]  # E, fitted in per mille
    for scale in (1.0, 1000.0):
        single = make_trace("s", "single-channel", trace.time[:cut], intensity=e * scale)
        fits.append(fit_file(io.write_single_channel(tmp_path / f"s{scale:g}.txt", single), PARAMS))
    assert all(np.array_equal(fits[0].starts, fit.starts) for fit in fits)
    np.testing.assert_allclose(fits[0].levels, fits[1].levels, rtol=1e-12)
    np.testing.assert_allclose(fits[1].levels * 1000, fits[2].levels, rtol=1e-12)
    assert fits[0].score == fits[2].score


def test_convert_and_summary_on_two_colour_files(mixed_batch, tmp_path, capsys):
    out = tmp_path / "converted"
    assert main(["convert", str(mixed_batch), "--out", str(out), "--no-cut"]) == 1
    assert sorted(p.name for p in out.iterdir()) == [
        "bleaching.txt",
        "stacked_0.txt",
        "stacked_1.txt",
    ]
    original = io.read_traces(mixed_batch / "bleaching.txt")[0]
    (converted,) = io.read_traces(out / "bleaching.txt")
    assert np.array_equal(converted.intensity, io.fret_efficiency(original))
    assert "broken.txt: TraceFormatError" in capsys.readouterr().err

    assert (
        main(
            ["convert", str(out / "stacked_0.txt"), "--out", str(tmp_path / "k"), "--to", "kinsoft"]
        )
        == 1
    )
    assert "acceptor-excitation channel the kinSoft format needs" in capsys.readouterr().err

    files = [str(mixed_batch / name) for name in ("broken.txt", "stacked.dat")]
    assert main(["summary", "--fixed", *FIXED, *files]) == 1  # broken.txt named, the rest go on
    printed = capsys.readouterr()
    assert f"{files[0]}: TraceFormatError" in printed.err
    assert (
        f"{mixed_batch / 'stacked.dat'}#0: 240 frames (ebfret-stacked, fret of 240" in printed.out
    )
    assert "#1: 9 frames: the fit needs at least 13; skipped" in printed.out


KINSOFT = Path(__file__).resolve().parents[3] / "shared/data/kinsoft-training-L1/traces"


@pytest.mark.skipif(not KINSOFT.is_dir(), reason=f"the kinSoft training set is not at {KINSOFT}")
def test_fit_ends_in_the_shared_model_of_all_traces(tmp_path, capsys):
    files = [str(KINSOFT / f"trace_{n}.txt") for n in range(1, 31)]
    out = tmp_path / "out"
    settings = ["--quiet", "--bootstrap", "30", "--check-model", "--max-states", "3"]
    assert main(["fit", *files, "--out", str(out), *settings]) == 0
    assert "shared model: K = 2" in capsys.readouterr().out

    rates = pd.read_csv(out / "kinetics.csv")
    assert list(rates.columns) == [
        *("from_state", "to_state", "rate", "rate_lower", "rate_upper"),
        *("from_level", "to_level"),
    ]
    assert list(zip(rates.from_state, rates.to_state)) == [(0, 1), (1, 0)]
    assert list(zip(rates.from_level, rates.to_level)) == [(0, 1), (1, 0)]
    # Two states, one per level: no hidden states, dwells single-exponential, and the model
    # comes back from its own simulation.
    checks = pd.read_csv(out / "dwell_checks.csv")
    assert list(checks.level) == [0, 1] and checks.single_exponential.all()
    assert rates.rate.between(0.75 * np.array([1.0, 0.666]), 1.25 * np.array([1.0, 0.666])).all()
    assert (rates.rate_lower < rates.rate).all() and (rates.rate < rates.rate_upper).all()
    model = json.loads((out / "hmm_model.json").read_text())
    assert model["states"] == 2 and sorted(model["bic"]) == ["1", "2", "3"]
    assert model["level_states"] == [[0], [1]] and model["topology"] == "full"
    assert model["model_check"]["same_configuration"]
    np.testing.assert_allclose(model["levels"], [0.3, 0.7], atol=0.02)
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["method"] == "hmm" and manifest["criterion"] == "bic" and manifest["refine"]
    assert manifest["hmm"]["seed"] == 0 and manifest["hmm"]["resamples"] == 30
    assert manifest["hmm"]["bootstrap_method"] == "linearised"

    path = pd.read_csv(out / "hmm" / "trace_1.csv", comment="#")
    step = pd.read_csv(out / "traces" / "trace_1.csv", comment="#")
    assert len(path) == len(step) and set(path.state) == {0, 1}
    assert np.array_equal(path.signal, step.intensity)
    assert pd.read_csv(out / "dwell_kinetics.csv").level.between(0.2, 0.8).all()
    assert (out / "transition_density.html").stat().st_size > 0
