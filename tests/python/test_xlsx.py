"""The batch's .xlsx writer read back by openpyxl (read-only) and pandas, as a lab reads it."""

import math

import numpy as np
import openpyxl
import pandas as pd
import pytest

from lumetra.batch import xlsx

AWKWARD = [1e-300, -0.0, 1 / 3, 1e17, 0.1 + 0.2, 5e-324, -1.5e308, 123456.0]


def test_cells_read_back_as_written(tmp_path):
    """Numbers to 16 significant digits, NaN and None as empty cells, text as it is."""
    text = ' a&b <c> "d" '
    header = [text, *(f"n{k}" for k in range(1, len(AWKWARD)))]
    block = np.array([AWKWARD, [math.nan, *AWKWARD[1:]]])
    letters = xlsx.column_letters(len(AWKWARD))
    path = tmp_path / "book.xlsx"
    numbers = [xlsx.value_rows([header], 1), xlsx.number_rows(block, 2, letters)]
    mixed = [xlsx.value_rows([["x", True, None, math.nan, 2.5]], 1)]
    xlsx.write(
        path,
        [
            ("numbers", xlsx.used_range(3, len(AWKWARD)), numbers),
            ("mixed", xlsx.used_range(1, 5), mixed),
        ],
    )

    written = [float(f"{v:.16G}") for v in AWKWARD]  # 0.1 + 0.2 is kept as 0.3
    book = openpyxl.load_workbook(path, read_only=True)
    rows = list(book["numbers"].iter_rows(values_only=True))
    assert rows == [tuple(header), tuple(written), (None, *written[1:])]
    assert list(book["mixed"].iter_rows(values_only=True)) == [("x", True, None, None, 2.5)]
    book.close()
    sheets = pd.read_excel(path, sheet_name=None)
    assert list(sheets) == ["numbers", "mixed"]
    assert list(sheets["numbers"].columns) == header
    expected = [written, [math.nan, *written[1:]]]
    np.testing.assert_array_equal(sheets["numbers"].to_numpy(float), expected)

    with pytest.raises(ValueError, match="infinite"):
        xlsx.number_rows(np.array([[1.0, math.inf]]), 2, letters)
