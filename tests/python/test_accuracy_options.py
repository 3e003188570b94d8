"""The opt-in score over every frame (optimizeFitness(criterion="bic")) and refineTransitions:
the default search unchanged, the object's lists untouched by scoring, the refined path, and the
batch options that use them."""

import json
from pathlib import Path

import lmfit
import numpy as np
import pandas as pd
import pytest

from lumetra.__main__ import main
from lumetra.batch import fit_traces
from lumetra.batchcore import REJECTED_SCORE
from lumetra.lumetraTrace import bic, lumetraTrace
from lumetra.simulation import simulate_traces

EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "traces"
SETTING = {"halfWinLen": 5, "rratio": -0.9, "thrate": 0.3, "filterWidth": 5}


def loaded(name="two_level_short_noisy.txt"):
    trace = lumetraTrace()
    trace.loadData(str(EXAMPLES / name))
    return trace


def parameters(setting):
    params = lmfit.Parameters()
    for name, value in setting.items():
        params.add(name, value)
    return params


def seeded_search(trace, **kwargs):
    np.random.seed(11)  # differential evolution draws from numpy's global generator
    trace.optimizeFitness(sHalfWin=(5, 9, 1), **kwargs)
    result = trace.optRes
    return list(result.params.valuesdict().values()), float(result.residual[0]), result.nfev


def test_the_default_search_is_unchanged_by_a_bic_search_before_it():
    fresh = seeded_search(loaded())
    trace = loaded()
    bic_result = seeded_search(trace, criterion="bic")
    assert trace.criterion == "bic"
    assert seeded_search(trace) == fresh
    assert seeded_search(trace, criterion="xic") == fresh
    assert trace.criterion == "xic"
    assert bic_result != fresh


def test_bic_fitness_scores_the_fit_without_touching_its_partitions():
    trace = loaded()
    xic_score = trace._fitness(parameters(SETTING))
    partitions = [list(p) for p in trace.partitions]
    trace.criterion = "bic"
    score = trace._fitness(parameters(SETTING))
    assert trace.partitions == partitions  # merged only on a copy
    assert score == bic(trace.partitions, trace.CH1mBGND1) != xic_score
    # Merging the partitions first changes nothing: the score merges them itself.
    trace.finalPartitions()
    assert bic(trace.partitions, trace.CH1mBGND1) == score
    # A rejected fit keeps its rejection score.
    assert trace._fitness(parameters({**SETTING, "rratio": 100})) == REJECTED_SCORE


def test_an_unknown_criterion_is_refused_before_any_evaluation():
    trace = loaded()
    for criterion in ("aic", "BIC", None):
        with pytest.raises(ValueError, match="criterion"):
            trace.optimizeFitness(criterion=criterion)
    assert not hasattr(trace, "optRes")
    trace.criterion = "aic"
    with pytest.raises(ValueError, match="criterion"):
        trace._fitness(parameters(SETTING))
    with pytest.raises(TypeError):
        bic([[0, "a", 0]], trace.CH1mBGND1)


def test_refined_path_steps_at_the_true_transitions():
    rng = np.random.default_rng(3)
    ideal = np.repeat([600.0, 1000.0, 600.0, 1000.0, 600.0], [120, 9, 140, 90, 141])
    trace = lumetraTrace()
    trace.frames = pd.Series(np.arange(ideal.size) * 0.2)
    trace.CH1mBGND1 = pd.Series(ideal + rng.normal(0, 100, ideal.size))
    trace.stateNum = 2
    trace.fitTrajectory(9, -0.9, 0.2, 5)
    partitions = [list(p) for p in trace.finalPartitions()]
    trace.refineTransitions()
    assert trace.partitions == partitions
    assert isinstance(trace.idealPath, np.ndarray) and trace.idealPath.shape == ideal.shape
    assert all(type(c) is int for c in trace.changePoints)
    assert trace.changePoints == list(np.flatnonzero(np.diff(trace.idealPath)) + 1)
    true = np.flatnonzero(np.diff(ideal)) + 1
    assert len(trace.changePoints) == len(true)
    assert np.abs(np.array(trace.changePoints) - true).max() <= 2
    assert np.unique(trace.idealPath).size == 2
    assert np.abs(trace.idealPath - ideal).mean() < 10


def test_batch_fit_with_bic_and_refinement(tmp_path):
    files = simulate_traces(tmp_path / "sim", 2, [600, 1000], [0.15, 0.22], 0.2, 400, snr=4, seed=9)
    out = tmp_path / "out"
    argv = ["fit", *files, "--out", str(out), "--jobs", "1", "--quiet"]
    assert (
        main([*argv, "--criterion", "bic", "--refine", "--search", "halfWinLen", "5", "7", "1"])
        == 0
    )
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["criterion"] == "bic" and manifest["refine"] is True
    for entry in manifest["inputs"]:
        trace = lumetraTrace()
        trace.loadData(entry["file"])
        p = entry["parameters"]
        trace.fitTrajectory(p["halfWinLen"], p["rratio"], p["thrate"], p["filterWidth"])
        assert entry["score"] == pytest.approx(bic(trace.partitions, trace.CH1mBGND1))
        trace.finalPartitions()
        trace.refineTransitions()
        name = entry["file"].rsplit("/", 1)[1].replace(".txt", ".csv")
        written = pd.read_csv(out / "traces" / name, comment="#")
        np.testing.assert_allclose(written["level"], trace.idealPath)
    with pytest.raises(ValueError, match="criterion"):
        fit_traces(files, tmp_path / "bad", criterion="aic", progress=False)
