"""Screening of real traces through lumetra.batchcore: blinks masked, metrics finite."""

import math
import pathlib

import numpy as np
import pytest

from lumetra import batchcore, io

# The shared data folder lies beside the repository (the work tree or CI's clone).
TRACES = pathlib.Path(__file__).resolve().parents[3] / "shared/data/kinsoft-experimental-2/traces"
DARK, BLEACHED, OUTLIER = 1, 2, 4


@pytest.fixture(scope="module")
def blinking_trace():
    path = TRACES / "Mov021-2016-07-07.traces_tr209.dat"
    if not path.exists():
        pytest.skip(f"the kinSoft experimental set 2 is not at {TRACES}")
    return io.read_traces(path)[0]


def test_blinks_of_a_real_trace_are_masked(blinking_trace):
    donor, acceptor = blinking_trace.donor, blinking_trace.acceptor
    screen = batchcore.screen_trace(donor, acceptor)
    mask = screen["mask"]
    assert mask.dtype == np.uint8 and len(mask) == len(donor)
    # Two blinks: the total falls from ~7,000 to ~1,500 on frames 247-249 and 265-269 (frame
    # 268 a little brighter, its E far from both neighbours).
    assert np.all(mask[247:250] == DARK)
    assert np.all(mask[265:270] != 0) and np.count_nonzero(mask[265:270] == DARK) >= 4
    assert np.all(mask[250:265] == 0)
    assert screen["masked_frames"] == np.count_nonzero(mask) < len(mask) // 10
    assert screen["bleached_frames"] == 0  # the traces end before bleaching

    metrics = {k: v for k, v in screen.items() if k != "mask"}
    for name in ("snr_direct", "direct_intensity"):
        assert math.isnan(metrics.pop(name))  # no acceptor-excitation channel
    assert all(math.isfinite(v) for v in metrics.values()), metrics
    assert screen["anticorrelation"] < 0
    assert 0 <= screen["e_low"] < screen["e_median"] < screen["e_high"] <= 1

    # Masking only takes frames out: without the blinks the E spread narrows.
    loose = batchcore.screen_trace(donor, acceptor, dark_fraction=0.0, outlier_spread=1e9)
    assert loose["masked_frames"] < screen["masked_frames"]
    assert loose["e_low"] < screen["e_low"]


def test_single_channel_screening_keeps_every_level(blinking_trace):
    total = blinking_trace.donor + blinking_trace.acceptor
    screen = batchcore.screen_signal(total)
    assert not np.any(screen["mask"] & (DARK | BLEACHED))
    assert math.isfinite(screen["snr"]) and screen["noise"] > 0
    assert all(
        math.isnan(screen[k]) for k in ("e_median", "e_low", "e_high", "e_noise", "e_spread")
    )
    # The exported defaults are the functions' own keywords and values.
    explicit = batchcore.screen_signal(total, **batchcore.SCREEN_DEFAULTS)
    assert np.array_equal(explicit["mask"], screen["mask"]) and explicit["snr"] == screen["snr"]
