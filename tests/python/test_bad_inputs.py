"""Bad input files, arguments and pair lists: each ends in a clear exception, or in the result
the Python formulas give, and the batch command lists the files it could not fit."""

import math
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pandas.errors
import pytest

from lumetra import dataStatsCalac as stats
from lumetra import lumetraTrace as module
from lumetra.batchcore import REJECTED_SCORE
from lumetra.lumetraTrace import lumetraTrace

REJECTED = REJECTED_SCORE
FIT = (9, 0.177, 0.2, 0)
HEADER = "Frame/10\tCH1-BGND1\n"


def three_levels(n=600, seed=1):
    rng = np.random.default_rng(seed)
    sizes = [n // 3, n // 3, n - 2 * (n // 3)]
    return np.repeat([10.0, 25.0, 15.0], sizes) + rng.normal(0, 1.5, n)


def cell(value):
    if isinstance(value, str) or value is None:
        return value or ""
    return repr(value.item() if hasattr(value, "item") else value)


def trace_text(frames, values):
    return HEADER + "".join(f"{cell(f)}\t{cell(v)}\n" for f, v in zip(frames, values))


def even_times(n):
    return [round(i * 0.1, 10) for i in range(n)]


@pytest.fixture
def write_file(tmp_path):
    def write(text, name="trace.txt"):
        path = tmp_path / name
        path.write_bytes(text) if isinstance(text, bytes) else path.write_text(text)
        return str(path)

    return write


@pytest.fixture(params=["one call", "call by call"])
def path(request, monkeypatch):
    """Runs a test on the whole-fit path and, with one statistics function wrapped, call by call."""
    if request.param == "call by call":
        original = stats.genPartitions
        monkeypatch.setattr(stats, "genPartitions", lambda *args: original(*args))
    return request.param


def fit(path, *settings):
    trace = lumetraTrace()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        trace.loadData(path)
        return trace, trace.fitTrajectory(*(settings or FIT))


# ---- trace files ---------------------------------------------------------------------------

BAD_FILES = {
    "empty": ("", "load", pandas.errors.EmptyDataError, "No columns"),
    "header only": (HEADER, "fit", KeyError, "1"),
    "binary": (bytes(range(256)) * 4, "load", UnicodeDecodeError, "utf-8"),
    "ragged rows": (HEADER + "0\t1\n1\t2\t3\t4\n", "load", pandas.errors.ParserError, "fields"),
    "text intensity": (trace_text(range(40), ["x"] * 3 + [1.0] * 37), "load", TypeError, "mean"),
    "text times": (
        trace_text(["a"] + list(range(1, 600)), three_levels()),
        "fit",
        TypeError,
        "str",
    ),
    "single frame": (trace_text([0.0], [5.0]), "fit", KeyError, "1"),
    "shorter than a window": (trace_text(range(18), three_levels(18)), "fit", ValueError, "empty"),
}


@pytest.mark.parametrize("name", BAD_FILES)
def test_bad_trace_files_raise(write_file, path, name):
    text, stage, error, message = BAD_FILES[name]
    trace = lumetraTrace()
    file = write_file(text)
    if stage == "fit":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            trace.loadData(file)
    with pytest.raises(error, match=message), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        trace.loadData(file) if stage == "load" else trace.fitTrajectory(*FIT)


def odd_file(kind):
    values, frames = three_levels(), even_times(600)
    if kind == "NaN and empty cells":
        values[[100, 300, 301]] = np.nan
    elif kind == "infinite cells":
        values[100], values[200] = np.inf, -np.inf
    elif kind == "repeated time":
        frames[201] = frames[200]
    elif kind == "times out of order":
        frames[200], frames[201] = frames[201], frames[200]
    elif kind == "NaN time":
        frames[50] = math.nan
    elif kind == "falling times":
        frames = frames[::-1]
    elif kind == "integer columns":
        frames, values = list(range(600)), np.round(values * 10).astype(int)
    elif kind == "constant":
        values[:] = 5.0
    elif kind == "one window":
        frames, values = frames[:19], values[:19]
    return trace_text(frames, [None if math.isnan(v) else v for v in values])


ODD_FILES = [
    "NaN and empty cells",
    "infinite cells",
    "repeated time",
    "times out of order",
    "NaN time",
    "falling times",
    "integer columns",
    "constant",
    "one window",
]


@pytest.mark.parametrize("kind", ODD_FILES)
def test_odd_files_fit_the_same_on_both_paths(write_file, monkeypatch, kind):
    file = write_file(odd_file(kind))
    fast, fast_score = fit(file)
    original = stats.dataStd
    monkeypatch.setattr(stats, "dataStd", lambda *args: original(*args))
    composed, composed_score = fit(file)
    assert fast.partitions == composed.partitions
    assert fast.moments == pytest.approx(composed.moments, nan_ok=True)
    if kind == "NaN and empty cells":  # the score's residuals keep the NaN; the levels do not
        assert math.isnan(fast_score) and math.isnan(composed_score)
        assert len(fast.partitions) == 3
        assert all(math.isfinite(m) for m in fast.moments)
    else:
        assert fast_score == composed_score
    if kind in ("infinite cells", "constant", "one window"):
        assert fast_score == REJECTED and fast.partitions == []
    elif kind != "NaN and empty cells":
        assert math.isfinite(fast_score) and fast.partitions


def test_a_million_frames_fit_in_one_pass(write_file):
    n = 10**6
    rng = np.random.default_rng(5)
    values = np.repeat(rng.normal(20, 5, n // 20000), 20000) + rng.normal(0, 1.5, n)
    frame = pd.DataFrame({"Frame/10": np.arange(n) * 0.1, "CH1-BGND1": values})
    file = write_file("")
    frame.to_csv(file, sep="\t", index=False)
    trace, score = fit(file)
    assert math.isfinite(score)
    ends = [end for _, end, _ in trace.partitions]
    starts = [start for start, _, _ in trace.partitions]
    assert starts[0] == 0 and ends[-1] == n
    assert all(e < s for e, s in zip(ends, starts[1:]))
    assert len(trace.partitions) >= n // 20000 // 2


# ---- fit parameters ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("half_window", "error", "message"),
    [
        (0, ValueError, "at least 1, got 0"),
        (-3, ValueError, "at least 1, got -3"),
        (np.int64(-(10**6)), ValueError, "at least 1"),
        (-(2**70), ValueError, "at least 1"),
        (300, ValueError, "empty sequence"),  # the window is longer than the trace
        (10**9, ValueError, "empty sequence"),
        (2**62, ValueError, "empty sequence"),  # twice as much overflows 64 bits
        (2**63 - 1, ValueError, "empty sequence"),
        (10**30, ValueError, "empty sequence"),
        (True, TypeError, "bool"),
        (9.0, TypeError, "float"),
        ("9", TypeError, "str"),
    ],
)
def test_bad_half_windows_raise(write_file, path, half_window, error, message):
    trace = lumetraTrace()
    trace.loadData(write_file(trace_text(even_times(600), three_levels())))
    with pytest.raises(error, match=message), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        trace.fitTrajectory(half_window, *FIT[1:])


@pytest.mark.parametrize("settings", [(9, 0.177, 0.2, 2.5), (9, 0.177, 0.2, True)])
def test_widths_of_any_number_type_are_taken(write_file, settings):
    file = write_file(trace_text(even_times(600), three_levels()))
    assert fit(file, *settings)[1] == fit(file)[1]


# ---- public functions and pair lists -------------------------------------------------------

SERIES = pd.Series(three_levels(60))
X = pd.Series(np.arange(100.0))
Y = list(np.arange(50.0))


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: stats.genPartitions([[3]], 2, 100), IndexError),
        (lambda: stats.genPartitions([3, 5], 2, 100), TypeError),
        (lambda: stats.genPartitions(None, 2, 100), TypeError),
        (lambda: stats.chainFilters([[3]], 9, 0.1), IndexError),
        (lambda: stats.chainFilters([3, 4], 9, 0.1), TypeError),
        (lambda: stats.dataStd(SERIES, [[3]]), IndexError),
        (lambda: stats.dataStd(SERIES, [3, 5]), TypeError),
        (lambda: stats.dataStd(SERIES, [[0.5, 10]]), TypeError),
        (lambda: stats.dataMoment(SERIES, [[3]]), IndexError),
        (lambda: module.xic([[3]], SERIES, [], 9), IndexError),
        (lambda: module.xic([[0, 100, 0]], SERIES, [], 9), KeyError),
        (lambda: module.xic([[0, 2**63 - 1, 0]], SERIES, [], 9), KeyError),
        (lambda: module.xic([[0, 40, 0]], SERIES, [[3]], 9), IndexError),
        (lambda: module.xic([], SERIES, [], 9), ZeroDivisionError),
        (lambda: module.inPeakList(3, [[1]]), IndexError),
        (lambda: module.inPeakList(3, [1, 5]), TypeError),
        (lambda: stats.integralRange(X, [3], Y, 2), IndexError),
        (lambda: stats.integralRange(X, [3, 40], Y, 80), IndexError),
        (lambda: stats.integralRange(X, [3, 5], Y, 2**63 - 1), OverflowError),
        (lambda: stats.integralRange(X, [-(2**63), 2**63], Y, 2), IndexError),
        (lambda: stats.integralRange(X, [0, 10**30], Y, 2), MemoryError),
        (lambda: stats.integralRange(X, [0, 10**12], Y, 2), MemoryError),
        (lambda: stats.dataStatsVar(X, X, -(2**63)), OverflowError),
        (lambda: stats.streamNS(SERIES, -3), ValueError),
        (lambda: stats.streamNS(SERIES, 19.0), TypeError),
    ],
)
def test_malformed_arguments_raise(call, error):
    with pytest.raises(error), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        call()


def test_numbers_beyond_64_bits_follow_the_formulas():
    # pairs, half windows and lengths are Python numbers: big or fractional ones stay exact
    big = 2**63 - 1
    pairs = [[3, 7, 0], [20, 30, 1]]
    assert stats.genPartitions(pairs, big, 100) == [[0, big + 3, 0], [big + 7, 100, 1]]
    assert stats.genPartitions([[3, 7, 0]], 2, -(2**63)) == [[0, -(2**63), 0]]
    assert stats.genPartitions([[3.5, 7.25]], 2, 100) == [[0, 5.5, 0], [9.25, 100, 1]]
    assert stats.genPartitions([[3, 10**30]], 2, 100) == [[0, 100, 0]]
    # slice bounds beyond any trace are clipped, as slicing clips them
    assert stats.dataStd(SERIES, [[-(10**30), 10**30]]) == [np.std(SERIES)]
    assert stats.dataMoment(SERIES, [[0, 2**64]]) == pytest.approx([np.var(SERIES)])
    # no window position at all for windows longer than the trace, however long
    for width in (61, 2**63 - 1, 10**30):
        assert stats.dataStatsVar(SERIES, SERIES, width) == []
        assert stats.streamNS(SERIES, width) == []


# ---- spreadsheets --------------------------------------------------------------------------


def test_a_sheet_without_any_column_has_no_time_column(tmp_path):
    sheet = tmp_path / "empty.xlsx"
    pd.DataFrame().to_excel(sheet, index=False)
    with pytest.raises(TypeError, match="NoneType"):
        lumetraTrace().transitionStatistics(str(sheet))


# ---- the batch command ---------------------------------------------------------------------


def test_batch_command_lists_every_bad_file(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    for name, (text, *_) in BAD_FILES.items():
        file = data / (name.replace(" ", "_") + ".txt")
        file.write_bytes(text) if isinstance(text, bytes) else file.write_text(text)
    (data / "good.txt").write_text(trace_text(even_times(600), three_levels()))
    (data / "infinite.txt").write_text(odd_file("infinite cells"))
    out = tmp_path / "out"
    fixed = [str(v) for v in FIT]
    command = [sys.executable, "-m", "lumetra", "fit", str(data), "--out", str(out)]
    result = subprocess.run(
        [*command, "--fixed", *fixed, "--jobs", "2", "--quiet"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert result.returncode == 1, result.stderr
    failures = pd.read_csv(out / "failures.csv")
    errors = {path.rsplit("/", 1)[1]: error for path, error in zip(failures.file, failures.error)}
    # The batch reads every file with the checks of its format's reader before loadData does;
    # traces too short for the fit are skipped.
    short = {"single_frame.txt": "1 frames", "shorter_than_a_window.txt": "18 frames"}
    short_names = {name.removesuffix(".txt") for name in short}
    expected = {n.replace(" ", "_") + ".txt": "TraceFormatError" for n in BAD_FILES}
    expected = {name: error for name, error in expected.items() if name not in short}
    assert {name: error.split(":")[0] for name, error in errors.items()} == expected
    skipped = pd.read_csv(out / "skipped.csv")
    reasons = {
        path.rsplit("/", 1)[1]: why.split(":")[0] for path, why in zip(skipped.file, skipped.reason)
    }
    # A fit that fails is no failure of the file: the trace keeps one segment and is screened.
    assert reasons == short | {"infinite.txt": "step fit failed"}
    assert set(pd.read_csv(out / "segments.csv").name) == {"good", "infinite", *short_names}
    assert f"{len(expected)} file(s) failed" in result.stderr
