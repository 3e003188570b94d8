"""Each writer's file reads back to the values written, by lumetra.io and by loadData."""

import numpy as np
import pytest

from lumetra import io
from lumetra.io._trace import make_trace
from lumetra.lumetraTrace import lumetraTrace

RNG = np.random.default_rng(5)
FRAMES = 200


def two_colour(direct=True):
    donor = RNG.normal(400, 60, FRAMES)
    return make_trace(
        "sim.txt",
        "hammy",
        np.arange(FRAMES) * 0.05,
        donor=donor,
        acceptor=1000 - donor + RNG.normal(0, 60, FRAMES),
        acceptor_direct=RNG.normal(900, 60, FRAMES) if direct else None,
    )


def test_single_channel_file_loads_into_the_trace_object(tmp_path):
    trace = two_colour()
    path = io.write_single_channel(tmp_path / "out" / "e.txt", trace, gamma=1.2, leakage=0.05)
    assert sorted(p.name for p in path.parent.iterdir()) == ["e.txt"]  # no temporary file left
    expected = io.fret_efficiency(trace, gamma=1.2, leakage=0.05)
    loaded = lumetraTrace()
    loaded.loadData(str(path))
    np.testing.assert_array_equal(loaded.frames.to_numpy(), trace.time)
    np.testing.assert_array_equal(loaded.CH1mBGND1.to_numpy(), expected)
    (back,) = io.read_traces(path)
    assert back.format == "single-channel"
    np.testing.assert_array_equal(back.intensity, expected)
    # A single-channel trace is written as it is.
    io.write_single_channel(tmp_path / "again.txt", back)
    np.testing.assert_array_equal(io.read_traces(tmp_path / "again.txt")[0].intensity, expected)


def test_kinsoft_file_reads_back_exactly(tmp_path):
    trace = two_colour()
    path = io.write_kinsoft(tmp_path / "trace_1.txt", trace)
    (back,) = io.read_traces(path)
    assert (back.format, back.trace_id) == ("kinsoft", "trace_1")
    for name in ("time", "donor", "acceptor", "acceptor_direct"):
        np.testing.assert_array_equal(getattr(back, name), getattr(trace, name))
    written_e = np.loadtxt(path, skiprows=1, delimiter="\t")[:, 4]
    np.testing.assert_allclose(written_e, io.fret_efficiency(trace), rtol=0, atol=5e-4)
    np.testing.assert_allclose(written_e * 1000, np.round(written_e * 1000), atol=1e-9)
    with pytest.raises(ValueError, match="acceptor-excitation"):
        io.write_kinsoft(tmp_path / "no_iaa.txt", two_colour(direct=False))
