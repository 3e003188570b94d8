import math

import numpy as np
import pandas as pd
import pytest

from lumetra import dataStatsCalac


class RecordingComponent:
    """Stands in for the nonstationarity module and records what streamNS asks of it."""

    def __init__(self):
        self.calls = []
        recorder = self

        class NonStationary:
            def __init__(self):
                recorder.calls.append(("init",))

            def setupDS(self, windowsLen):
                recorder.calls.append(("setupDS", windowsLen))

            @property
            def data(self):
                return self._data

            @data.setter
            def data(self, value):
                recorder.calls.append(("data", type(value), len(value)))
                self._data = value

            def nsFuncRange(self, nsAlgo, start, end):
                recorder.calls.append(("nsFuncRange", nsAlgo, start, end))
                return float(sum(self._data[start:end]))

        self.NonStationary = NonStationary


@pytest.fixture
def component(monkeypatch):
    recorder = RecordingComponent()
    monkeypatch.setattr(dataStatsCalac, "ns", recorder)
    return recorder


def test_module_names_in_order():
    import logging
    import math as math_module

    from numpy.polynomial import Polynomial
    from scipy.stats import moment

    import nonstationarity

    names = [n for n in vars(dataStatsCalac) if not n.startswith("__")]
    assert names[:6] == ["np", "Polynomial", "ns", "moment", "math", "logging"]
    assert names.index("streamNS") < names.index("th") < names.index("thNS")
    assert dataStatsCalac.np is np and dataStatsCalac.Polynomial is Polynomial
    assert dataStatsCalac.ns is nonstationarity and dataStatsCalac.moment is moment
    assert dataStatsCalac.math is math_module and dataStatsCalac.logging is logging


@pytest.mark.parametrize(
    "length, windows_len, expected",
    [(5, 11, 0), (11, 11, 1), (100, 11, 90)],
)
def test_stream_length_and_calls(component, length, windows_len, expected):
    stream = np.arange(length, dtype=float)
    result = dataStatsCalac.streamNS(stream, windows_len)
    assert len(result) == expected
    assert component.calls[:3] == [("init",), ("setupDS", windows_len), ("data", list, length)]
    windows = [c for c in component.calls if c[0] == "nsFuncRange"]
    assert windows == [
        ("nsFuncRange", "NSLocaltoGlobal", i, i + windows_len) for i in range(expected)
    ]
    assert result == [float(sum(range(i, i + windows_len))) for i in range(expected)]


def test_stream_passes_the_algorithm_by_keyword(component):
    dataStatsCalac.streamNS(stream=pd.Series(np.zeros(20)), windowsLen=11, nsAlgo="NSdichotomy")
    algos = {c[1] for c in component.calls if c[0] == "nsFuncRange"}
    assert algos == {"NSdichotomy"}


def test_unknown_algorithm_fails_the_assertion_before_the_component_is_made(component):
    with pytest.raises(AssertionError) as error:
        dataStatsCalac.streamNS(np.zeros(20), 11, "NSunknown")
    assert str(error.value) == ""
    assert component.calls == []


def test_assertion_is_skipped_under_optimisation(run_python):
    result = run_python(
        """
        import numpy as np
        from lumetra import dataStatsCalac
        print(dataStatsCalac.streamNS(np.zeros(5), 11, "NSunknown"))
        try:
            dataStatsCalac.streamNS(np.zeros(20), 11, "NSunknown")
        except ValueError as error:
            print("ValueError", error)
        """,
        "-O",
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout.splitlines()
    assert out[0] == "[]"
    assert out[1].startswith("ValueError") and "NSunknown" in out[1]


def test_stream_argument_errors():
    with pytest.raises(AttributeError):
        dataStatsCalac.streamNS([1.0, 2.0, 3.0], 2)  # a plain list has no tolist()
    with pytest.raises(TypeError):
        dataStatsCalac.streamNS(np.zeros(4))
    with pytest.raises(TypeError):
        dataStatsCalac.streamNS(np.zeros(4), 2, "NSLocaltoGlobal", 1)


def test_thresholds():
    assert dataStatsCalac.thNS([1.0, 2.0, 3.0]) == 6.0
    assert dataStatsCalac.thNS(ns=[-1.0, 0.5, 0.5]) == 2.0
    assert dataStatsCalac.th([2.0, 4.0]) == pytest.approx(6.3)
    assert dataStatsCalac.th([-2.0, -4.0]) == pytest.approx(0.3)
    assert dataStatsCalac.th([2.0, 4.0], rate=0) == 3.0
    assert dataStatsCalac.th(y=np.array([2.0, 4.0]), rate=1) == 6.0
    with pytest.raises(TypeError):
        dataStatsCalac.thNS([1.0], 2)
    with pytest.raises(TypeError):
        dataStatsCalac.th()


def test_threshold_of_an_empty_stream_fails_on_the_minimum():
    with pytest.warns(RuntimeWarning), pytest.raises(ValueError):
        dataStatsCalac.thNS([])


def test_thresholds_follow_numpy_on_series_and_arrays():
    values = [1.0, float("nan"), 3.0, 8.0]
    # a Series skips NaN, an array or list propagates it
    assert dataStatsCalac.th(pd.Series(values)) == np.mean(pd.Series(values)) * 2.1
    assert math.isnan(dataStatsCalac.th(np.array(values)))
    assert dataStatsCalac.thNS(pd.Series(values)) == 3 * 4.0
    # a NaN mean is not above 0, so the minimum decides, as the builtin min finds it
    assert dataStatsCalac.thNS([2.0, float("nan"), -3.0]) == 6.0
    assert dataStatsCalac.thNS([-4, 1, 1]) == 8 and isinstance(dataStatsCalac.thNS([-4, 1, 1]), int)


LOGGING_PROBE = """
import logging, os
{prelude}
import lumetra.dataStatsCalac
print(os.path.exists("debug.log"))
logging.getLogger("probe").debug("hello")
"""


def test_import_creates_and_appends_to_debug_log(run_python, tmp_path):
    (tmp_path / "debug.log").write_text("earlier line\n")
    result = run_python(LOGGING_PROBE.format(prelude=""))
    assert result.returncode == 0, result.stderr
    lines = (tmp_path / "debug.log").read_text().splitlines()
    assert lines[0] == "earlier line"
    assert lines[-1].endswith(" probe DEBUG hello")
    stamp = lines[-1].split(" ")[0]  # HH:MM:SS,msecs
    clock, msecs = stamp.split(",")
    assert len(clock.split(":")) == 3 and msecs.isdigit()


def test_import_creates_an_empty_debug_log(run_python, tmp_path):
    result = run_python("import lumetra.dataStatsCalac")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "debug.log").exists()


def test_existing_root_handler_keeps_debug_log_away(run_python, tmp_path):
    prelude = "logging.getLogger().addHandler(logging.NullHandler())"
    result = run_python(LOGGING_PROBE.format(prelude=prelude))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"
    assert not (tmp_path / "debug.log").exists()


def test_thresholds_use_a_replaced_numpy(monkeypatch):
    calls = []

    class RecordingNumpy:
        def mean(self, values):
            calls.append(list(values))
            return np.mean(values) + 1.0

    monkeypatch.setattr(dataStatsCalac, "np", RecordingNumpy())
    assert dataStatsCalac.th([2.0, 4.0], 1) == 4.0 + 1 * 4.0
    assert len(calls) == 2  # the mean is asked for twice, as the formula reads
    assert dataStatsCalac.thNS([1.0, 2.0, 3.0]) == 3 * 3.0
