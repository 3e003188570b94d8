"""FRET efficiency with its corrections, and photobleaching, on the kinSoft challenge traces and
on traces with a known bleaching frame."""

import dataclasses
import pathlib

import numpy as np
import pytest

from lumetra import io
from lumetra.io._trace import make_trace

# The shared data folder lies beside the repository (the work tree or CI's clone).
KINSOFT = pathlib.Path(__file__).resolve().parents[3] / "shared/data/kinsoft-training-L1/traces"


@pytest.fixture(scope="module")
def kinsoft_traces():
    files = sorted(KINSOFT.glob("trace_*.txt"))
    if len(files) != 100:
        pytest.skip(f"the kinSoft training set is not at {KINSOFT}")
    return [(io.read_traces(f)[0], np.loadtxt(f, skiprows=1, delimiter="\t")[:, 4]) for f in files]


def half_unit(x):
    """Half the last printed digit of %.3e: the rounding error of the file's intensities."""
    return 0.5 * 10.0 ** (np.floor(np.log10(np.abs(x))) - 3)


def test_efficiency_matches_the_kinsoft_e_column(kinsoft_traces):
    worst = 0.0
    for trace, e_column in kinsoft_traces:
        efficiency = io.fret_efficiency(trace)
        d, a = trace.donor, trace.acceptor
        # E to 3 decimals, computed by the simulation from intensities the file rounds to 4 digits
        propagated = (np.abs(d) * half_unit(a) + np.abs(a) * half_unit(d)) / (d + a) ** 2
        assert np.all(np.abs(efficiency - e_column) <= 5e-4 + propagated + 1e-12), trace.source
        worst = max(worst, float(np.max(np.abs(efficiency - e_column))))
    assert worst < 6e-4


def test_corrections_follow_the_formula():
    donor, acceptor, direct = (
        np.array([500.0, 400.0]),
        np.array([600.0, 900.0]),
        np.array([800.0] * 2),
    )
    trace = make_trace(
        "t.txt", "kinsoft", [0, 1], donor=donor, acceptor=acceptor, acceptor_direct=direct
    )
    background = {"donor": 20.0, "acceptor": 30.0, "acceptor_direct": 10.0}
    gamma, alpha, delta = 1.3, 0.08, 0.05
    f_dd = donor - 20
    f_da = acceptor - 30 - alpha * f_dd - delta * (direct - 10)
    options = dict(gamma=gamma, leakage=alpha, direct=delta, background=background)
    np.testing.assert_allclose(io.fret_efficiency(trace, **options), f_da / (gamma * f_dd + f_da))
    np.testing.assert_allclose(io.signal(trace, "acceptor", **options), f_da)
    np.testing.assert_allclose(io.signal(trace, "total", **options), gamma * f_dd + f_da)
    np.testing.assert_allclose(io.signal(trace, "donor", **options), f_dd)
    np.testing.assert_array_equal(io.signal(trace), acceptor / (donor + acceptor))

    no_direct = dataclasses.replace(trace, acceptor_direct=None)
    with pytest.raises(ValueError, match="acceptor-excitation channel"):
        io.fret_efficiency(no_direct, direct=0.1)
    with pytest.raises(ValueError, match="unknown signal"):
        io.signal(trace, "stoichiometry")
    single = make_trace("s.txt", "single-channel", [0, 1], intensity=[5.0, 7.0])
    np.testing.assert_array_equal(io.signal(single, background={"intensity": 1.0}), [4, 6])
    with pytest.raises(ValueError, match="no 'fret' signal"):
        io.signal(single, "fret")


def test_kinsoft_traces_end_before_bleaching(kinsoft_traces):
    bleached = [t.source for t, _ in kinsoft_traces if io.first_bleach(t).frame is not None]
    assert bleached == []


def bleached_after(trace, frames, dye, rng, noise=800.0):
    """The trace followed by `frames` frames after `dye` bleached (at the kinSoft noise)."""
    after = {n: rng.normal(0, noise, frames) for n in ("donor", "acceptor", "acceptor_direct")}
    if dye == "acceptor":  # the donor, no longer quenched, takes the whole emission
        after["donor"] += np.mean(trace.donor + trace.acceptor)
    else:
        after["acceptor_direct"] += np.mean(trace.acceptor_direct)
    channels = {n: np.r_[getattr(trace, n), after[n]] for n in after}
    time = np.arange(len(trace) + frames) * trace.frame_time
    return make_trace("sim.txt", "kinsoft", time, **channels)


@pytest.mark.parametrize("dye", ["donor", "acceptor"])
def test_known_bleaching_frame_on_kinsoft_traces(kinsoft_traces, dye):
    rng = np.random.default_rng(11)
    for trace, _ in kinsoft_traces[:20]:
        result = io.first_bleach(bleached_after(trace, 100, dye, rng))
        assert result.dye == dye, trace.source
        assert abs(result.frame - len(trace)) <= 1, trace.source
    # Without alternating excitation only the donor's bleaching can be seen.
    no_direct = dataclasses.replace(
        bleached_after(trace, 100, "acceptor", rng), acceptor_direct=None
    )
    assert io.first_bleach(no_direct).frame is None


def test_background_from_the_bleached_frames():
    rng = np.random.default_rng(3)
    frames, bleach = 600, 400
    donor = np.r_[rng.normal(300, 20, bleach), rng.normal(0, 20, frames - bleach)]
    acceptor = np.r_[rng.normal(700, 20, bleach), rng.normal(0, 20, frames - bleach)]
    trace = make_trace(
        "b.txt", "hammy", np.arange(frames), donor=donor + 15, acceptor=acceptor + 40
    )
    estimated = io.estimate_background(trace)
    assert estimated == pytest.approx({"donor": 15, "acceptor": 40}, abs=6)
    efficiency = io.fret_efficiency(trace, background="bleached")
    assert np.mean(efficiency[:bleach]) == pytest.approx(0.7, abs=0.005)
    with pytest.raises(ValueError, match="no background for acceptor_direct"):
        io.fret_efficiency(
            dataclasses.replace(trace, acceptor_direct=acceptor + 900),
            direct=0.1,
            background="bleached",
        )
