"""Trace files of every format made into the trace objects the fit works on."""

import numpy as np
import pandas as pd
import pytest

from lumetra import io
from lumetra.io._trace import make_trace
from lumetra.lumetraTrace import lumetraTrace


def bleaching_trace(source, frames=400, bleach=300):
    """Two FRET levels, the acceptor bleaching at `bleach` (its direct channel drops too)."""
    rng = np.random.default_rng(3)
    e = np.where(np.arange(frames) % 100 < 50, 0.3, 0.7)
    total = np.full(frames, 10000.0)
    acceptor, direct = e * total, np.full(frames, 9000.0)
    acceptor[bleach:], direct[bleach:] = 0.0, 0.0
    noise = rng.normal(0, 300, (3, frames))
    return make_trace(
        source,
        "kinsoft",
        np.arange(frames) * 0.1,
        donor=total - e * total + noise[0],
        acceptor=acceptor + noise[1],
        acceptor_direct=direct + noise[2],
    )


def test_two_colour_traces_are_cut_at_bleaching_and_loaded_exactly(tmp_path):
    path = io.write_kinsoft(tmp_path / "molecule.txt", bleaching_trace("molecule.txt"))
    read = io.read_traces(path)[0]
    (cut,) = io.prepare_file(path, io.SignalOptions())
    assert (cut.name, cut.format, cut.signal, cut.frames) == ("molecule", "kinsoft", "fret", 400)
    assert abs(cut.cut_frame - 300) <= 1
    trace = cut.trace_object()
    assert trace.fileName == str(path)
    assert np.array_equal(trace.CH1mBGND1.to_numpy(), io.fret_efficiency(read)[: cut.cut_frame])
    assert np.array_equal(trace.frames.to_numpy(), read.time[: cut.cut_frame])

    (whole,) = io.prepare_file(path, io.SignalOptions(cut=False, signal="donor"))
    assert whole.cut_frame is None and len(whole.trace_object().CH1mBGND1) == 400


@pytest.mark.parametrize(
    "intensity",  # one level, and several by each of loadData's three rules
    [[10.0, 11.0, 10.5, 10.2], [5.0, 0.0, 0.0, 0.0], [9.0, 9.0, 9.0, 1.0], [-1.0, 1.0, 0.1, 0.2]],
)
def test_single_channel_files_load_as_before(write_trace, intensity):
    path = write_trace({"Frame/10": [0.0, 0.1, 0.2, 0.3], "CH1-BGND1": intensity})
    (prepared,) = io.prepare_file(path, io.SignalOptions())
    assert prepared.cut_frame is None
    trace, direct = prepared.trace_object(), lumetraTrace()
    direct.loadData(path)
    assert vars(trace).keys() == vars(direct).keys() and trace.fileName == path
    assert trace.stateNum == direct.stateNum
    pd.testing.assert_series_equal(trace.frames, direct.frames)
    pd.testing.assert_series_equal(trace.CH1mBGND1, direct.CH1mBGND1)
