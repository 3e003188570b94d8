import copy
import math
import sys
import warnings

import numpy as np
import pandas as pd
import pandas.core.indexing
import pytest
from helpers import FIT_RESULTS

from lumetra import dataStatsCalac
from lumetra import lumetraTrace as module
from lumetra.batchcore import REJECTED_SCORE
from lumetra.lumetraTrace import lumetraTrace

REJECTED = REJECTED_SCORE
STATISTICS = [
    "dataStatsVar",
    "dataDerivation",
    "streamNS",
    "th",
    "genPairs",
    "chainFilters",
    "thNS",
    "integralRange",
    "poly1_1div3",
    "genPartitions",
    "dataStd",
]
PER_PAIR = ["integralDy", "thresholdBoolRR", "thresholdBoolNS", "rr", "fr"]

# Five levels with known transitions at frames 120, 220, 370 and 480.
STEPS = np.repeat([10.0, 25.0, 15.0, 30.0, 10.0], [120, 100, 150, 110, 120])
STEPS = STEPS + np.random.default_rng(7).normal(0, 1.5, STEPS.size)
FIT = (9, 0.177, 0.2, 0)  # four candidates, all accepted: five partitions
NARROW = (2, -math.inf, 0.2, 1)  # many narrow candidates, several under six windows wide


def load(write_trace, intensity, step=0.1, name="trace.txt"):
    frames = [round(i * step, 10) for i in range(len(intensity))]
    values = [None if math.isnan(v) else float(v) for v in intensity]
    trace = lumetraTrace()
    trace.loadData(write_trace({"Frame/10": frames, "CH1-BGND1": values}, name))
    return trace


@pytest.fixture
def steps(write_trace):
    return load(write_trace, STEPS)


@pytest.fixture(params=["one call", "call by call"])
def path(request, monkeypatch):
    """Runs a test on the whole-fit path and, with one statistics function wrapped, call by call."""
    if request.param == "call by call":
        original = dataStatsCalac.genPartitions
        monkeypatch.setattr(dataStatsCalac, "genPartitions", lambda *args: original(*args))
    return request.param


@pytest.mark.parametrize("keep", [False, True])
def test_attributes_are_stored_in_order(steps, path, keep):
    steps.fitTrajectory(*FIT, keepPairs=keep)
    stored = list(vars(steps))
    assert stored[:4] == ["frames", "CH1mBGND1", "fileName", "stateNum"]
    assert stored[4:] == FIT_RESULTS[:4] + ["keepPairs"] * keep + FIT_RESULTS[4:]


def test_per_pair_lists_run_parallel_to_the_candidates(steps, path):
    for settings in (FIT, NARROW):
        steps.fitTrajectory(*settings)
        new_pairs = steps.newPairs
        assert new_pairs and all(len(getattr(steps, name)) == len(new_pairs) for name in PER_PAIR)
        # candidates are the very pair objects, in order
        positions = [next(i for i, p in enumerate(steps.pairs) if p is q) for q in new_pairs]
        assert positions == sorted(positions)
        assert [len(idy) for idy in steps.integralDy] == [p1 - p0 for p0, p1, _ in new_pairs]
        accepted = [p for p, ok in zip(new_pairs, steps.thresholdBoolNS) if ok]
        assert steps.pairs3 == accepted
        assert not any(p is q for p in steps.pairs3 for q in new_pairs)
        assert all(rr for rr, ns in zip(steps.thresholdBoolRR, steps.thresholdBoolNS) if ns)
    # some candidates pass the ratio and fail the nonstationarity test
    assert any(rr and not ns for rr, ns in zip(steps.thresholdBoolRR, steps.thresholdBoolNS))


def test_each_call_stores_new_lists(steps, path):
    steps.fitTrajectory(*FIT)
    before = {name: getattr(steps, name) for name in FIT_RESULTS}
    steps.fitTrajectory(*FIT)
    for name in FIT_RESULTS:
        assert getattr(steps, name) == before[name]
        if isinstance(before[name], list):
            assert getattr(steps, name) is not before[name], name


def test_a_fit_does_not_depend_on_the_half_windows_fitted_before(steps, monkeypatch):
    """Half windows 2 to 25 and back, more than a trace keeps the streams of: every one-call fit
    stores and scores what the call-by-call fit does."""
    order = [*range(2, 26), *range(25, 1, -1)]

    def fits():
        for h in order:
            score = steps.fitTrajectory(h, 0.1, 0.2, 0)
            yield score, {name: getattr(steps, name) for name in FIT_RESULTS}

    one_call = list(fits())
    original = dataStatsCalac.genPartitions
    monkeypatch.setattr(dataStatsCalac, "genPartitions", lambda *args: original(*args))
    for h, fast, composed in zip(order, one_call, fits()):
        assert fast == composed, h


def test_a_refit_gives_new_stream_lists_whatever_was_done_to_the_old_ones(steps):
    steps.fitTrajectory(9, 0.177, 0.2, 0)
    held, expected = steps.dataVar, list(steps.dataVar)
    held[0] = -1.0
    steps.fitTrajectory(9, 0.177, 0.2, 0)
    assert steps.dataVar == expected and steps.dataVar is not held


@pytest.mark.parametrize("state_num", [0, 1, 2])
def test_no_surviving_candidate_is_rejected_whatever_state_num(steps, path, state_num):
    steps.stateNum = state_num
    steps.fitTrajectory(*FIT)
    score = steps.fitTrajectory(FIT[0], max(steps.rr) + 1, *FIT[2:])
    assert (steps.pairs3, steps.partitions, steps.moments) == ([], [], [])
    assert not any(steps.thresholdBoolRR)
    assert score == REJECTED and type(score) is int


def test_no_ratio_for_a_candidate_under_six_windows(steps, path):
    steps.fitTrajectory(*NARROW)
    narrow = [i for i, (p0, p1, _) in enumerate(steps.newPairs) if p1 - p0 < 6]
    assert narrow and len(narrow) < len(steps.newPairs)
    for i in range(len(steps.newPairs)):
        if i in narrow:
            assert steps.fr[i] is None and steps.rr[i] is None
            assert steps.thresholdBoolRR[i] is False and steps.thresholdBoolNS[i] is False
        else:
            assert type(steps.fr[i]) is float and type(steps.rr[i]) is float


def test_ratio_equal_to_the_limit_is_rejected(steps, path):
    steps.fitTrajectory(*FIT)
    i = 1
    assert steps.thresholdBoolNS[i]
    rr, pair = steps.rr[i], steps.newPairs[i]
    steps.fitTrajectory(FIT[0], rr, *FIT[2:])
    assert steps.thresholdBoolRR[i] is False and pair not in steps.pairs3
    steps.fitTrajectory(FIT[0], np.nextafter(rr, -math.inf).item(), *FIT[2:])
    assert steps.thresholdBoolRR[i] is True and pair in steps.pairs3


@pytest.mark.parametrize(
    "end, offset, value, counts",
    [
        (0, 0, 2.0, False),  # at p0
        (1, 0, 2.0, False),  # at p1
        (0, 1, 1.0, False),  # at p0 + 1, equal to the threshold
        (0, 1, np.nextafter(1.0, 2.0).item(), True),
        (1, -1, 2.0, True),  # at p1 - 1
    ],
)
def test_nonstationarity_peak_must_exceed_the_threshold_inside_the_pair(
    steps, monkeypatch, end, offset, value, counts
):
    settings = (5, -math.inf, 0.2, 0)
    steps.fitTrajectory(*settings)
    candidates = steps.newPairs
    assert len(candidates) > 1 and all(rr is not None for rr in steps.rr)
    stream = [0.0] * len(steps.dataNS)
    for pair in candidates:
        stream[pair[end] + offset] = value
    streams = []
    monkeypatch.setattr(dataStatsCalac, "streamNS", lambda *args: streams.append(args) or stream)
    monkeypatch.setattr(dataStatsCalac, "thNS", lambda ns: 1.0)
    steps.fitTrajectory(*settings)
    assert len(streams) == 1 and steps.dataNS is stream and steps.thresholdNS == 1.0
    assert steps.newPairs == candidates
    assert steps.thresholdBoolRR == [True] * len(candidates)
    assert steps.thresholdBoolNS == [counts] * len(candidates)
    assert steps.pairs3 == (candidates if counts else [])


@pytest.mark.parametrize("state_num", [1, 2])
def test_state_num_two_rejects_a_single_partition(write_trace, path, state_num):
    end_step = np.repeat([10.0, 30.0], [288, 12]) + np.random.default_rng(3).normal(0, 1, 300)
    trace = load(write_trace, end_step)
    trace.stateNum = state_num
    score = trace.fitTrajectory(6, -math.inf, 0.2, 0)
    assert len(trace.partitions) == 1
    if state_num == 1:
        assert score == module.xic(trace.partitions, trace.CH1mBGND1, trace.pairs, 6)
    else:
        assert score == REJECTED and type(score) is int


def test_saved_pairs_are_the_reference_of_every_later_fit(steps, write_trace, path):
    steps.fitTrajectory(*FIT, keepPairs=True)
    first, saved = copy.deepcopy(steps.pairs), steps.keepPairs
    assert saved == first and saved is not steps.pairs
    assert not any(s is p for s in saved for p in steps.pairs)
    steps.pairs[0][0] = -5
    other = (12, 0.1, 0.5, 0)
    fresh = load(write_trace, STEPS, name="fresh.txt")
    own = fresh.fitTrajectory(*other)
    assert own == module.xic(fresh.partitions, fresh.CH1mBGND1, fresh.pairs, 12)
    for keep in ({"keepPairs": False}, {}, {"keepPairs": 0}):
        score = steps.fitTrajectory(*other, **keep)
        assert steps.keepPairs is saved and saved == first
        assert steps.pairs == fresh.pairs != first
        assert score == module.xic(steps.partitions, steps.CH1mBGND1, first, 12) != own


def test_trace_shorter_than_the_window_fails_after_the_streams(write_trace, path):
    trace = load(write_trace, [1.0, 5.0, 2.0, 8.0, 3.0, 9.0, 2.0, 7.0, 1.0, 6.0])
    trace.fitTrajectory(1, 0.1, 0.2, 0)
    earlier = {name: getattr(trace, name) for name in FIT_RESULTS}
    with pytest.raises(ValueError), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        trace.fitTrajectory(9, 0.1, 0.2, 0)
    assert (trace.dataVar, trace.dataNS, trace.pairs, trace.newPairs) == ([], [], [], [])
    assert math.isnan(trace.thresholdVar)
    for name in FIT_RESULTS[5:]:
        assert getattr(trace, name) is earlier[name]


def test_fit_without_a_usable_frame_is_rejected_while_xic_raises(steps, path):
    steps.fitTrajectory(*FIT, keepPairs=True)
    steps.keepPairs = [[0, len(STEPS) - 1, 0]]
    score = steps.fitTrajectory(*FIT)
    assert score == REJECTED and type(score) is int
    assert len(steps.partitions) == 5
    with pytest.raises(ZeroDivisionError):
        module.xic(steps.partitions, steps.CH1mBGND1, steps.keepPairs, FIT[0])


@pytest.mark.parametrize("formula", [False, True])
def test_score_is_the_numpy_float_of_the_criterion(steps, monkeypatch, formula):
    if formula:  # a replaced inPeakList makes xic evaluate its formula frame by frame
        monkeypatch.setattr(module, "inPeakList", lambda x, peaks, f=module.inPeakList: f(x, peaks))
    score = steps.fitTrajectory(*FIT)
    assert score == module.xic(steps.partitions, steps.CH1mBGND1, steps.pairs, FIT[0])
    assert type(score) is np.float64


# ---- the whole-fit path against the call-by-call path ------------------------------------------

ILOC = pandas.core.indexing._LocationIndexer.__getitem__.__code__


def random_trace(rng, case):
    length = int(rng.integers(200, 3001))
    levels = rng.uniform(-20, 200, int(rng.integers(1, 5)))
    ideal = []
    dwell = rng.uniform(5, 400)
    while len(ideal) < length:
        ideal += [rng.choice(levels)] * int(np.ceil(rng.exponential(dwell)))
    if case % 3 == 0:  # a jump in the last frames
        tail = int(rng.integers(6, 20))
        ideal = ideal[: length - tail] + [rng.uniform(250, 400)] * tail
    intensity = np.array(ideal[:length]) + rng.normal(0, rng.uniform(0.2, 15), length)
    if case % 10 == 3:
        intensity[rng.integers(0, length, int(rng.integers(1, 6)))] = np.nan
    elif case % 10 == 7:
        intensity = np.round(intensity).astype(np.int64)
    step = float(rng.choice([0.03, 0.1, 1.0]))
    if case % 5 == 1:
        frames = np.cumsum(rng.uniform(0.5, 1.5, length)) * step  # uneven frame steps
    elif case % 13 == 2:
        frames = np.arange(length)  # integer times
    else:
        frames = np.arange(length) * step
    return pd.Series(frames), pd.Series(intensity)


def random_calls(rng, case):
    settings = (
        int(rng.integers(2, 16)) if case % 25 else 0,  # 0: the frame axis cut to nothing
        float(rng.uniform(-1, 3)),
        float(rng.uniform(0, 1.1)),
        int(rng.integers(0, 21)) if case % 6 else float(rng.uniform(0, 20)),
    )
    earlier = (int(rng.integers(2, 16)), 0.0, float(rng.uniform(0, 1.1)), 0)
    return [
        [(settings, {})],
        [(settings, {"keepPairs": True})],
        [(earlier, {"keepPairs": 1}), (settings, {}), (settings, {"keepPairs": 0})],
        [(settings, {"keepPairs": "yes"}), (settings, {"keepPairs": []})],
    ][case % 4]


def outcome(trace, settings, keep):
    """Result or exception, warnings, whether the Series was sliced, and the attributes."""
    sliced = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is ILOC:
            sliced.append(frame)

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sys.setprofile(profile)
        try:
            result = trace.fitTrajectory(*settings, **keep)
        except Exception as error:  # noqa: BLE001 - compared between the two paths
            result = (type(error), str(error))
        finally:
            sys.setprofile(None)
    # A ResourceWarning is the garbage collector finalising what earlier tests left (an event
    # loop), whenever it happens to run: not the fit's.
    warned = [
        (w.category, str(w.message)) for w in caught if not issubclass(w.category, ResourceWarning)
    ]
    return result, warned, bool(sliced), dict(vars(trace))


def assert_same(got, want, where):
    assert type(got) is type(want), where
    if isinstance(want, (list, tuple)):
        assert len(got) == len(want), where
        for k, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{where}[{k}]")
    elif isinstance(want, float) and math.isnan(want):
        assert math.isnan(got), where
    elif isinstance(want, pd.Series):
        assert got is want, where
    else:
        assert got == want, where


def test_whole_fit_equals_the_call_by_call_fit(monkeypatch):
    rng = np.random.default_rng(2024)
    replaceable = [(dataStatsCalac, name) for name in STATISTICS] + [(module, "xic")]
    partition_counts, fits, whole, raised = set(), 0, 0, 0
    for case in range(150):
        frames, intensity = random_trace(rng, case)
        calls = random_calls(rng, case)
        state_num = int(rng.integers(0, 4))
        runs = []
        for wrapped in (False, True):
            if wrapped:
                owner, name = replaceable[case % len(replaceable)]
                original = getattr(owner, name)
                monkeypatch.setattr(owner, name, lambda *a, f=original, **k: f(*a, **k))
            trace = lumetraTrace()
            trace.frames, trace.CH1mBGND1, trace.stateNum = frames, intensity, state_num
            runs.append([outcome(trace, settings, keep) for settings, keep in calls])
            monkeypatch.undo()
        for k, (fast, composed) in enumerate(zip(*runs)):
            where = f"case {case} call {k}"
            assert_same(fast[0], composed[0], f"{where} result")
            assert fast[1] == composed[1], f"{where} warnings"
            assert list(fast[3]) == list(composed[3]), f"{where} attribute order"
            for attribute, value in composed[3].items():
                assert_same(fast[3][attribute], value, f"{where} {attribute}")
            assert composed[2] or isinstance(composed[0], tuple)
            fits += 1
            whole += not fast[2]
            partition_counts.add(min(len(fast[3].get("partitions", [])), 2))
            raised += isinstance(fast[0], tuple)
    assert partition_counts == {0, 1, 2} and raised
    # most fits ran in one call; uneven or integer inputs may take the other path
    assert whole > 0.8 * fits
