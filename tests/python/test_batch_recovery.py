"""Recovery of a known two-state scheme: 50 simulated traces (frame time 0.2 s, rates 0.15 and
0.22 s^-1, level gap four times the noise) fitted in batch on 2 processes (parameters searched,
half window 3 to 7) and on a Dask cluster (parameters fixed, to keep the run short). Both
levels must come back within 5%. The rate constants are printed, not asserted: the step fit
misses dwells shorter than its windows, which merges neighbouring dwells (see
bench/recovery_report.py)."""

import numpy as np
import pandas as pd
import pytest

from lumetra.__main__ import main
from lumetra.batch import fit_traces
from lumetra.simulation import simulate_traces

LEVELS = [600.0, 1000.0]
RATES = [0.15, 0.22]  # s^-1, out of the low and out of the high level


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    out = tmp_path_factory.mktemp("recovery")
    simulate_traces(out, 50, LEVELS, RATES, frame_time=0.2, frames=1000, snr=4, seed=2024)
    return out


def check_recovery(segments, kinetics, label):
    levels = np.sort(segments.state_level.unique())
    errors = (levels - LEVELS) / LEVELS
    rate_errors = (kinetics.rate.to_numpy() - RATES) / RATES
    print(
        f"\n{label}: levels {np.round(levels, 1)} (errors {np.round(100 * errors, 1)} %), "
        f"rates {np.round(kinetics.rate.to_numpy(), 4)} s^-1 "
        f"(errors {np.round(100 * rate_errors, 1)} %), {kinetics.dwells.tolist()} dwells"
    )
    assert np.all(np.abs(errors) < 0.05), errors


def test_recovery_on_two_processes(simulated, tmp_path, capsys):
    result = fit_traces(
        [simulated],
        tmp_path,
        jobs=2,
        search={"halfWinLen": (3, 7, 1)},
        progress=False,
        method="classic",
    )
    assert result.ok and len(result.fits) == 50
    with capsys.disabled():
        check_recovery(result.segments, result.kinetics, "2 processes, searched")


def test_recovery_on_a_dask_cluster(simulated, tmp_path, capsys):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster:
        argv = ["fit", str(simulated / "*.txt"), "--out", str(tmp_path), "--quiet", "--classic"]
        code = main(
            [*argv, "--scheduler", cluster.scheduler_address, "--fixed", "5", "-1", "0.2", "0"]
        )
    assert code == 0
    printed = capsys.readouterr().out
    assert "50 of 50 file(s) fitted" in printed
    segments = pd.read_parquet(tmp_path / "segments.parquet")
    with capsys.disabled():
        check_recovery(segments, pd.read_csv(tmp_path / "kinetics.csv"), "Dask, fixed")


def test_the_default_pipeline_runs_its_model_on_the_workers_to_the_outputs_of_one_process(
    simulated, tmp_path, monkeypatch
):
    distributed = pytest.importorskip("distributed")
    monkeypatch.setattr("lumetra.hmm.search_set.SEARCH_FRAMES", 10_000)  # most traces on workers
    fixed = {"params": (5, -1, 0.2, 0), "progress": False, "spreadsheet": False}
    local = fit_traces([simulated], tmp_path / "local", jobs=2, **fixed)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
        distributed.get_task_stream(client) as tasks,
    ):
        remote = fit_traces([simulated], tmp_path / "remote", client=client, **fixed)
    assert any(task["key"].startswith("hmm-expectation") for task in tasks.data)
    np.testing.assert_allclose(remote.hmm.rates, local.hmm.rates, rtol=1e-6)
    assert all(np.array_equal(a, b) for a, b in zip(remote.hmm.paths, local.hmm.paths))
    assert not list((tmp_path / "remote").glob(".*.tmp*"))  # the spools are gone
