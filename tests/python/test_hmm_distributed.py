"""The shared model fitted with its E-steps on Dask workers: the fit of one process, also when
a worker dies during the fit; its linearised bootstrap over chunks of traces."""

import os
import signal
import threading
import time

import numpy as np
import pytest
from distributed import Client, LocalCluster

from lumetra import hmmcore
from lumetra.hmm.distributed import Traffic, WorkerSet, fit_distributed, load_chunks
from lumetra.hmm.fit import fit_shared_model
from lumetra.hmm.trace_sets import Spool, TraceAxis

START = {
    "means": np.array([0.25, 0.75]),
    "spreads": np.array([0.1, 0.1]),
    "start": np.array([0.5, 0.5]),
    "transition": np.array([[0.9, 0.1], [0.1, 0.9]]),
    "outlier_share": 0.01,
    "outlier_density": 1 / 3,
}
OPTIONS = {"fit_trace_scales": True, "fit_outliers": True}


def two_state_traces(count, frames, seed):
    """Levels 0.3 and 0.7, each molecule with its own noise, a blink now and then."""
    rng = np.random.default_rng(seed)
    stay = np.array([0.95, 0.93])
    traces = []
    for _ in range(count):
        states = np.zeros(frames, dtype=int)
        for t in range(1, frames):
            states[t] = states[t - 1] if rng.random() < stay[states[t - 1]] else 1 - states[t - 1]
        noise = 0.06 * rng.lognormal(0, 0.3)
        x = np.where(states == 0, 0.3, 0.7) + noise * rng.standard_normal(frames)
        x[rng.random(frames) < 0.005] = 2.0
        traces.append(x)
    return traces


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as connected,
    ):
        yield connected


def test_two_workers_fit_as_one_process_does_even_when_one_dies(client, tmp_path):
    traces = two_state_traces(40, 1500, seed=7)
    files = []
    for n, trace in enumerate(traces):
        files.append(tmp_path / f"{n}.npy")
        np.save(files[-1], trace)
    local = hmmcore.fit(traces, START, frame_blur=True, **OPTIONS)
    assert local["converged"] and local["iterations"] > 5
    chunks = load_chunks(client, [files[:15], files[15:28], files[28:]])
    traffic = Traffic()
    fit = fit_distributed(chunks, START, frame_blur=True, traffic=traffic, **OPTIONS)
    assert fit["iterations"] == local["iterations"] and fit["frames"] == local["frames"]
    for key in ("means", "spreads", "transition", "trace_scales", "outlier_share"):
        np.testing.assert_allclose(fit[key], local[key], rtol=1e-9, atol=1e-12, err_msg=key)
    assert fit["log_likelihood"] == pytest.approx(local["log_likelihood"], rel=1e-12)
    # Only the models and the tallies travel: a few kB per step, never the frames.
    assert traffic.steps == fit["iterations"] + 1
    assert traffic.sent + traffic.received < traffic.steps * 8 * 1500

    # Kill the worker holding the first chunk after two E-steps: its chunk is loaded again
    # elsewhere and the fit ends where it ends without the loss.
    holder = client.who_has(chunks.futures[0])[chunks.futures[0].key][0]
    pid = client.run(os.getpid)[holder]
    watched = Traffic()

    def kill_after_two_steps():
        while watched.steps < 2:
            time.sleep(0.005)
        os.kill(pid, signal.SIGKILL)

    killer = threading.Thread(target=kill_after_two_steps, daemon=True)
    killer.start()
    again = fit_distributed(chunks, START, frame_blur=True, traffic=watched, **OPTIONS)
    killer.join(timeout=1)
    assert not killer.is_alive() and pid not in client.run(os.getpid).values()
    for key in ("means", "transition", "trace_scales", "log_likelihood", "iterations"):
        np.testing.assert_array_equal(again[key], fit[key], err_msg=key)


# Chunks sum the E-steps' tallies in another order; the rates' own fit inside the M-step stops
# at a gain of 1e-12 of the counts, so its rates carry that rounding to about 1e-6 (and so their
# transition matrices).
@pytest.mark.parametrize(
    ("free_rates", "rtol"), [(None, 1e-10), (np.array([[0, 1], [1, 0]]), 1e-6)], ids=["P", "Q"]
)
def test_linearised_bootstrap_over_chunks_is_the_one_of_all_traces(free_rates, rtol):
    traces = two_state_traces(30, 400, seed=5)
    traces[3][10:20] = np.nan
    options = {**OPTIONS, "free_rates": free_rates}
    full = hmmcore.fit(traces, START, **options)
    model = {key: full[key] for key in (*START, "trace_scales", "rates") if key in full}
    local = hmmcore.bootstrap(traces, model, resamples=30, seed=3, linearised=True, **options)

    # Two chunks, each E-step and each trace's tally at the fit made chunk by chunk with the
    # chunk's own trace scales, the tallies summed and the rows stacked in chunk order.
    bounds = [(0, 13), (13, 30)]
    fixed = hmmcore.flat_tally_size(2)

    def own(current, start, stop):
        return {**current, "trace_scales": current["trace_scales"][start:stop]}

    def expect(current, whole, per_trace):
        tallies = [
            hmmcore.expectation(traces[a:b], own(current, a, b), per_trace=per_trace, threads=1)
            for a, b in bounds
        ]
        total = tallies[0][:fixed] + tallies[1][:fixed]
        return np.concatenate([total, *(tally[fixed:] for tally in tallies)])

    def trace_tallies(current):
        return np.vstack(
            [hmmcore.trace_tallies(traces[a:b], own(current, a, b)) for a, b in bounds]
        )

    observed = np.array([np.count_nonzero(~np.isnan(t)) for t in traces])
    spread = float(np.nanstd(np.concatenate(traces)))
    chunked = hmmcore.bootstrap_source(
        expect, trace_tallies, observed, spread, model, resamples=30, seed=3, **options
    )
    assert set(chunked) == set(local)
    for key in local:
        np.testing.assert_allclose(chunked[key], local[key], rtol=rtol, atol=1e-12, err_msg=key)
    assert np.std(local["transition"][:, 0, 1]) > 1e-3  # resamples, not the fit thirty times

    with pytest.raises(ValueError, match="trace tallies"):
        hmmcore.bootstrap_source(
            expect, lambda m: trace_tallies(m)[1:], observed, spread, model, **options
        )


def test_the_shared_model_on_workers_reading_a_spool_is_the_one_of_this_process(
    client, tmp_path, monkeypatch
):
    monkeypatch.setattr("lumetra.hmm.search_set.SEARCH_FRAMES", 15_000)  # 10 of 30 traces
    monkeypatch.setattr("lumetra.hmm.trace_sets.CHUNK_FRAMES", 12_000)  # 8 traces a chunk
    spool = Spool(tmp_path / "traces.f64")
    for trace in two_state_traces(30, 1500, seed=3):
        spool.add(trace)
    axes = [TraceAxis(f"t{n}", np.arange(1500) * 0.1) for n in range(30)]
    here = fit_shared_model(axes, None, max_states=3, bootstrap=40, values=spool)
    there = fit_shared_model(
        axes, None, max_states=3, bootstrap=40, values=WorkerSet(client, spool)
    )
    assert there.states == here.states == 2 and "compared on 10 of 30" in here.notes[0]
    np.testing.assert_allclose(there.rates, here.rates, rtol=1e-6)
    np.testing.assert_allclose(there.rates_lower, here.rates_lower, rtol=1e-4)
    assert all(np.array_equal(a, b) for a, b in zip(there.paths, here.paths))
