"""The simulator's files and truth, rates from dwell times, and the batch's shared model when it
cannot be fitted."""

import json
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from lumetra import hmmcore
from lumetra.__main__ import main
from lumetra.kinetics import dwell_figure, dwell_kinetics, plot_dwell_times
from lumetra.lumetraTrace import lumetraTrace
from lumetra.simulation import simulate_traces


def test_simulate_command_writes_traces_and_their_truth(tmp_path):
    argv = ["simulate", str(tmp_path / "a"), "--count", "3", "--levels", "100,400,900"]
    argv += ["--rate", "0", "1", "0.5", "--rate", "1", "2", "0.5", "--rate", "2", "0", "0.5"]
    argv += ["--frame-time", "0.05", "--frames", "800", "--snr", "5", "--seed", "9"]
    assert main(argv) == 0
    out = tmp_path / "a"
    files = sorted(out.glob("trace_*.txt"))
    assert [f.name for f in files] == ["trace_0001.txt", "trace_0002.txt", "trace_0003.txt"]
    trace = lumetraTrace()
    trace.loadData(str(files[0]))
    assert len(trace.CH1mBGND1) == 800 and trace.frames[20] == pytest.approx(1.0)

    truth = pd.read_csv(out / "truth" / "trace_0001.csv")
    ideal = pd.read_table(files[0])["Ideal"]
    whole = truth.ideal.isin([100, 400, 900])
    np.testing.assert_array_equal(truth.ideal, ideal)
    np.testing.assert_array_equal(np.array([100, 400, 900])[truth.state[whole]], ideal[whole])
    # The scheme is a cycle 0 -> 1 -> 2 -> 0: the visits follow it.
    dwells = pd.read_csv(out / "truth_dwells.csv")
    one = dwells[dwells.file == "trace_0001.txt"]
    assert ((one.state.to_numpy()[1:] - one.state.to_numpy()[:-1]) % 3 == 1).all()
    assert one.censored.tolist() == [False] * (len(one) - 1) + [True]
    settings = json.loads((out / "truth.json").read_text())
    assert settings["gaussian_sigma"] == pytest.approx(300 / 5)
    assert settings["rates_per_second"][2] == [0.5, 0, 0]

    # The same arguments give the same files.
    assert main([*argv[:1], str(tmp_path / "b"), *argv[2:]]) == 0
    assert (tmp_path / "b" / "trace_0002.txt").read_bytes() == files[1].read_bytes()


def test_simulate_command_rejects_bad_schemes(tmp_path):
    base = ["simulate", str(tmp_path), "--frames", "10", "--rate", "0", "1", "1"]
    with pytest.raises(SystemExit, match="2 to 4 values"):
        main([*base, "--levels", "1,2,3,4,5"])
    with pytest.raises(SystemExit, match="--rate 0 0: no such transition"):
        main([*base, "--levels", "1,2", "--rate", "0", "0", "1"])
    with pytest.raises(SystemExit, match="must be finite and >= 0"):
        main([*base, "--levels", "1,2", "--rate", "1", "0", "-1"])


def test_bleached_traces_end_at_the_bleached_level(tmp_path):
    from lumetra.simulation import simulate_traces

    files = simulate_traces(
        tmp_path, 2, [500, 900], [1.0, 1.0], 0.1, 3000, bleach_rate=0.05, bleached_level=20, seed=1
    )
    for path in files:
        truth = pd.read_csv(tmp_path / "truth" / Path(path).with_suffix(".csv").name)
        bleached = truth.state == -1
        assert bleached.any() and bleached.to_numpy()[-1]
        first = bleached.to_numpy().argmax()
        # The frame of the bleaching averages; every later one is dark.
        assert bleached[first:].all() and (truth.ideal[first + 1 :] == 20).all()
        assert 20 <= truth.ideal[first] <= 900


def test_rates_and_intervals_from_idealised_traces(tmp_path):
    rng = np.random.default_rng(4)
    dt = 0.01
    traces, durations = [], {1.0: [], 2.0: []}
    for _ in range(40):
        visits, level = [], 1.0
        for _ in range(30):
            frames = 1 + int(rng.exponential(1 / (0.5 if level == 1.0 else 2.0)) / dt)
            visits.append((level, frames))
            level = 3.0 - level
        levels = np.concatenate([np.full(frames, level) for level, frames in visits])
        traces.append((np.arange(len(levels)) * dt, levels))
        # The first and last visit of every trace are cut by the recording.
        for level, frames in visits[1:-1]:
            durations[level].append(frames * dt)
    table, dwells = dwell_kinetics(traces, double=True)
    assert list(table.level) == [1.0, 2.0]
    for row in table.itertuples():
        sample = np.asarray(dwells[row.level])
        assert sorted(sample) == pytest.approx(sorted(durations[row.level]))
        assert row.rate == pytest.approx(len(sample) / sample.sum())
        chi2 = stats.chi2.ppf([0.025, 0.975], 2 * len(sample)) / (2 * sample.sum())
        assert [row.rate_lower, row.rate_upper] == pytest.approx(chi2, rel=1e-8)
    assert table.rate.tolist() == pytest.approx([0.5, 2.0], rel=0.1)
    assert {"fast_rate", "slow_rate_upper", "fraction_fast"} <= set(table.columns)

    # Per level: the histogram, the single exponential, the mixture.
    figure = dwell_figure(dwells, table)
    kinds = [(trace.type, trace.xaxis) for trace in figure.data]
    assert kinds == [("histogram", "x"), ("scatter", "x"), ("scatter", "x")] + [
        ("histogram", "x2"),
        ("scatter", "x2"),
        ("scatter", "x2"),
    ]
    single = figure.data[1]
    assert single.y[0] == pytest.approx(table.rate[0])
    assert single.y[-1] == pytest.approx(table.rate[0] * np.exp(-table.rate[0] * single.x[-1]))
    page = plot_dwell_times(dwells, table, tmp_path / "dwell.html")
    assert "plotly" in page.read_text()


def test_levels_without_complete_dwells_get_no_rate():
    time = np.arange(6.0)
    table, dwells = dwell_kinetics([(time, [1, 1, 2, 2, 3, 3])])
    assert list(dwells) == [2.0] and table.rate.tolist() == [0.5]
    table, _ = dwell_kinetics([(time, [1, 2, 2, 2, 2, 3])], shortest=5)
    assert np.isnan(table.rate[0]) and "no dwell time" in table.note[0]


@pytest.fixture(scope="module")
def frame_rates(tmp_path_factory):
    """Two simulated files at 0.1 and two at 1 time unit per frame."""
    out = tmp_path_factory.mktemp("frame-rates")
    scheme = ([400.0, 1000.0], [[0, 1.0], [0.5, 0]])
    fast = simulate_traces(out / "fast", 2, *scheme, 0.1, 400, snr=4, seed=3)
    slow = simulate_traces(out / "slow", 2, *scheme, 1.0, 400, snr=4, seed=4)
    return fast, slow


@pytest.mark.parametrize(
    "case, arguments",
    [("different frame times", []), ("too many states", ["--states", "50"]), ("no rates", [])],
)
def test_a_model_the_batch_cannot_fit_fails_it_and_the_step_fits_stay(
    frame_rates, tmp_path, capsys, monkeypatch, case, arguments
):
    fast, slow = frame_rates
    files = fast + slow if case == "different frame times" else fast
    expected = {
        "different frame times": [
            f"frame time 0.1 in {fast[0]}, {fast[1]}; frame time 1 in {slow[0]}, {slow[1]}"
        ],
        "too many states": ["states=50 refused", "800 frames", "free parameters"],
        "no rates": ["no rate constants: the 2-state model's transition matrix"],
    }[case]
    if case == "no rates":  # the core's answer for a matrix without a real logarithm
        monkeypatch.setattr(hmmcore, "rate_matrix", lambda transition, frame_time: None)
    out = tmp_path / "out"
    argv = ["fit", *files, "--out", str(out), "--quiet", "--bootstrap", "0"]
    assert main([*argv, "--search-engine", "native", *arguments]) == 1
    error = capsys.readouterr().err
    manifest = json.loads((out / "manifest.json").read_text())
    reason = manifest["output_failures"]["hidden Markov model"]
    for part in expected:
        assert part in reason and part in error
    assert manifest["hmm"] is None and not (out / "kinetics.csv").exists()
    assert len(list((out / "traces").glob("*.csv"))) == len(files)
    assert len(pd.read_csv(out / "segments.csv", comment="#").file.unique()) == len(files)
