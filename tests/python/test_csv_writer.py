"""atomic.write_csv writes numeric tables natively, byte for byte as pandas' to_csv does."""

import io

import numpy as np
import pandas as pd
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra import atomic, batchcore

SPECIAL = [
    np.nan, -0.0, 0.0, 1e-300, -5e-324, 5e-324, 1e-5, 0.0001, 9.9999999999e-05, 1e15,
    9999999999999998.0, 1e16, -1.5e16, 123456789012345678.0, 1 / 3, 0.1 + 0.2, np.inf, -np.inf,
    1.7976931348623157e308, 2.0**53, 123.25,
]  # fmt: skip


def pandas_text(frame):
    out = io.StringIO()
    frame.to_csv(out, index=False, lineterminator="\n")
    return out.getvalue()


def native_text(frame, tmp_path):
    path = atomic.write_csv(tmp_path / "t.csv", frame, {"source": "x.txt", "score": 1.5})
    text = path.read_text()
    head = "# source: x.txt\n# score: 1.5\n"
    assert text.startswith(head)
    return text[len(head) :]


def test_numeric_tables_match_pandas_byte_for_byte(tmp_path, monkeypatch):
    rng = np.random.default_rng(7)
    rows = 3000
    scaled = rng.standard_normal(rows) * 10.0 ** rng.integers(-330, 300, rows)
    frame = pd.DataFrame(
        {
            "frame": np.arange(rows),
            "time": np.arange(rows) * 0.1,
            "signal": np.where(rng.random(rows) < 0.1, np.nan, scaled),
            "special": np.resize(SPECIAL, rows),
            "big": rng.integers(-(2**63), 2**63 - 1, rows),
            "state": rng.integers(-5, 5, rows).astype(np.int32),
            "masked": rng.integers(-128, 127, rows).astype(np.int8),
        }
    )
    calls = []
    native = batchcore.write_csv_rows
    monkeypatch.setattr(
        batchcore, "write_csv_rows", lambda *a: calls.append(1) or native(*a), raising=True
    )
    assert native_text(frame, tmp_path) == pandas_text(frame)
    assert native_text(frame.iloc[:0], tmp_path) == pandas_text(frame.iloc[:0])
    lone = frame[["special"]]  # one column: an empty field is quoted
    assert native_text(lone, tmp_path) == pandas_text(lone)
    assert len(calls) == 3
    # Other tables are still written by pandas.
    for other in (
        frame.assign(label="a,b"),
        frame.assign(flag=True),
        frame.astype({"time": np.float32}),
        frame.rename(columns={"time": "time, s"}),
        frame.astype({"state": "Int64"}),
    ):
        assert native_text(other, tmp_path) == pandas_text(other)
    assert len(calls) == 3


def test_long_columns_are_written_in_blocks():
    blocks = []
    values = np.arange(70_000, dtype=np.float64)
    batchcore.write_csv_rows([values, np.arange(70_000)], blocks.append)
    assert len(blocks) == 2
    assert "".join(blocks) == pandas_text(pd.DataFrame({"a": values, "b": np.arange(70_000)}))[4:]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=60))
def test_any_float64_is_written_as_pandas_writes_it(bits):
    values = np.array(bits, dtype=np.uint64).view(np.float64)
    frame = pd.DataFrame({"x": values, "y": values[::-1].copy()})
    out = []
    batchcore.write_csv_rows([frame["x"].to_numpy(), frame["y"].to_numpy()], out.append)
    assert "x,y\n" + "".join(out) == pandas_text(frame)
