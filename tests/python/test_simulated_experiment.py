"""Simulated two-colour experiments: read back by lumetra.io with their channels, and labelled
as simulated (donor-only and no-donor spots, aggregates, blinks, bleaching)."""

import json
from dataclasses import replace

import numpy as np
import pandas as pd
import pytest

from lumetra import io
from lumetra.cli import main
from lumetra.simulation import Camera, class_counts, simulate_experiment

LEVELS, RATES, FRAME_TIME = [0.25, 0.75], [0.5, 0.3], 0.1
ONE_BRIGHTNESS = replace(Camera(), brightness_spread=0.0)
DARK = 0.5  # a channel below this share of its bright level is dark


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    out = tmp_path_factory.mktemp("experiment")
    files = simulate_experiment(
        out, 60, LEVELS, RATES, FRAME_TIME, 400, seed=3, junk=0.5, camera=ONE_BRIGHTNESS
    )
    classes = pd.read_csv(out / "truth_classes.csv").set_index("name")
    spots = {}
    for path in files:
        name = path.rsplit("/", 1)[-1].removesuffix(".txt")
        channels = np.loadtxt(path, skiprows=1, delimiter="\t")[:, 1:4]
        spots[name] = (path, channels, pd.read_csv(out / "truth" / f"{name}.csv"))
    return out, classes, spots


def of_class(experiment, kind):
    _, classes, spots = experiment
    found = [spots[name] for name in classes.index[classes["class"] == kind]]
    assert found, f"no {kind} spot simulated"
    return found


def test_files_read_as_two_colour_traces_with_alternating_excitation(experiment):
    out, classes, spots = experiment
    assert len(classes) == 60
    assert classes["class"].value_counts().to_dict() == {
        kind: n for kind, n in class_counts(60, 0.5, None, 0.2).items() if n
    }
    assert (classes["usable"] == classes["class"].isin(["dynamic", "static"])).all()
    assert json.loads((out / "truth.json").read_text())["classes"]["too_short"] == 6
    for name, (path, channels, truth) in spots.items():
        (trace,) = io.read_traces(path)  # a missing dye's noise around zero is data
        assert trace.format == "kinsoft" and trace.acceptor_direct is not None
        assert len(trace) == len(truth) == classes.at[name, "frames"]
        assert trace.frame_time == pytest.approx(FRAME_TIME)
        read = np.column_stack([trace.donor, trace.acceptor, trace.acceptor_direct])
        np.testing.assert_array_equal(read, channels)
    short = classes.loc[classes["class"] == "too_short", "frames"]
    assert short.between(1, 9).all()
    assert (classes.loc[classes["usable"] == 1, "frames"] >= 10).all()


def test_missing_dyes_and_aggregates_look_as_labelled(experiment):
    leakage = ONE_BRIGHTNESS.leakage
    usable_total = np.median(
        [np.median(c[:, 0] + c[:, 1]) for _, c, _ in of_class(experiment, "dynamic")]
    )
    for _, channels, _ in of_class(experiment, "donor_only"):
        donor, acceptor, direct = channels.T
        noise = np.std(direct)
        assert abs(np.mean(direct)) < 4 * noise / np.sqrt(len(direct))
        assert np.mean(donor) > 5 * noise
        assert np.median(acceptor / (donor + acceptor)) == pytest.approx(leakage, abs=0.03)
    for _, channels, _ in of_class(experiment, "no_donor"):
        total, direct = channels[:, 0] + channels[:, 1], channels[:, 2]
        assert abs(np.mean(total)) < 4 * np.std(total) / np.sqrt(len(total))
        assert np.median(direct) > 5 * np.std(total)
    for _, channels, truth in of_class(experiment, "aggregate"):
        total = channels[:, 0] + channels[:, 1]
        last = int(np.argmax(truth["bleached"].to_numpy()))
        # two molecules at first, one just before the last step, none after it
        assert np.median(total[:10]) / usable_total == pytest.approx(2, rel=0.25)
        assert np.median(total[last - 10 : last]) / usable_total == pytest.approx(1, rel=0.25)
        assert abs(np.median(total[last:])) < 0.25 * usable_total


def test_blink_and_bleached_frames_are_dark(experiment):
    dark, bright, bleached = [], [], []
    leak = ONE_BRIGHTNESS.leakage / (1 + ONE_BRIGHTNESS.leakage)
    for kind in ("dynamic", "static"):
        for _, channels, truth in of_class(experiment, kind):
            total, direct = channels[:, 0] + channels[:, 1], channels[:, 2]
            emitting = (truth["blink"] == 0) & (truth["bleached"] == 0)
            low = (total < DARK * np.median(total[emitting])) | (
                direct < DARK * np.median(direct[emitting])
            )
            dark.append(low[truth["blink"] == 1])
            bright.append(low[emitting])
            bleached.append(low[truth["bleached"] == 1])
            # a donor blink leaves nothing to see, an acceptor blink the leakage alone
            seen = truth["e_ideal"][(truth["blink"] == 1) & (truth["bleached"] == 0)]
            assert (seen.isna() | np.isclose(seen, leak)).all()
    dark, bright, bleached = (np.concatenate(frames) for frames in (dark, bright, bleached))
    assert dark.size > 50 and bleached.size > 10, "too few blinks or bleached frames to tell"
    assert dark.mean() > 0.97 and bleached.mean() > 0.97
    assert bright.mean() < 0.01


def test_same_seed_same_files_and_the_command_line(tmp_path):
    def contents(folder):
        return {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}

    for out, seed in (("a", 7), ("b", 7), ("c", 8)):
        simulate_experiment(tmp_path / out, 12, LEVELS, RATES, FRAME_TIME, 80, seed=seed)
    assert contents(tmp_path / "a") == contents(tmp_path / "b")
    assert contents(tmp_path / "a") != contents(tmp_path / "c")
    arguments = ["simulate", str(tmp_path / "cli"), "--experiment", "--levels", "0.25,0.75"]
    arguments += ["--rate", "0", "1", "0.5", "--rate", "1", "0", "0.3", "--frames", "80"]
    assert main([*arguments, "--count", "12", "--seed", "7", "--frame-time", "0.1"]) == 0
    assert contents(tmp_path / "cli") == contents(tmp_path / "a")
    with pytest.raises(SystemExit, match="--snr: not an option of --experiment"):
        main([*arguments, "--snr", "3"])
