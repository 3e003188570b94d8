"""A minimal .xlsx writer (Office Open XML SpreadsheetML) for the batch's spreadsheets: sheets
of numbers and text, no formats. Each sheet's XML goes into the zip archive as its blocks of
rows come, so a workbook of any size takes the memory of one block.

Cells are written as xlsxwriter writes them in its constant memory mode: numbers to 16
significant digits (f"{x:.16G}"), text as inline strings, booleans as TRUE/FALSE; a NaN or
None cell is left out (empty). Infinite numbers have no cell value: they raise ValueError.
"""

from __future__ import annotations

import re
import zipfile
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any
from xml.sax.saxutils import escape, quoteattr

import numpy as np
import numpy.typing as npt

# A sheet: its name, its used range ("A1:C10") and the XML of its rows, a block at a time.
Sheet = tuple[str, str, Iterable[str]]

MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"
RELATIONS = "http://schemas.openxmlformats.org/officeDocument/2006/relationships"
PACKAGE = "http://schemas.openxmlformats.org/package/2006"
PACKAGE_RELATIONS = f"{PACKAGE}/relationships"
CONTENT = "application/vnd.openxmlformats-officedocument.spreadsheetml"
PACKAGE_CONTENT = "application/vnd.openxmlformats-package"
HEAD = '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
STYLES = (
    f'{HEAD}<styleSheet xmlns="{MAIN}"><fonts count="1"><font><sz val="11"/><name val="Calibri"/>'
    '</font></fonts><fills count="2"><fill><patternFill patternType="none"/></fill><fill>'
    '<patternFill patternType="gray125"/></fill></fills><borders count="1"><border/></borders>'
    '<cellStyleXfs count="1"><xf/></cellStyleXfs><cellXfs count="1"><xf xfId="0"/></cellXfs>'
    '<cellStyles count="1"><cellStyle name="Normal" xfId="0" builtinId="0"/></cellStyles>'
    "</styleSheet>"
)
# Zip entries carry a fixed time, so that the same sheets make the same file.
STAMP = (1980, 1, 1, 0, 0, 0)

# Text that Excel would read as an escape, and characters XML cannot hold: as _xHHHH_.
ESCAPE_LIKE = re.compile("(_x[0-9a-fA-F]{4}_)")
CONTROL = re.compile(r"[\x00-\x08\x0b-\x1f\ufffe\uffff]")


def column_letters(count: int) -> list[str]:
    """A, B, ..., Z, AA, ... for the first `count` columns."""
    letters = []
    for index in range(1, count + 1):
        name = ""
        while index:
            index, rest = divmod(index - 1, 26)
            name = chr(65 + rest) + name
        letters.append(name)
    return letters


def used_range(rows: int, columns: int) -> str:
    """The range of a sheet of `rows` rows and `columns` columns, from A1."""
    return f"A1:{column_letters(max(columns, 1))[-1]}{max(rows, 1)}"


def text_cell(reference: str, text: str) -> str:
    """The cell of a text, an inline string escaped as Excel reads it back."""
    text = CONTROL.sub(lambda m: f"_x{ord(m.group()):04X}_", ESCAPE_LIKE.sub(r"_x005F\1", text))
    space = ' xml:space="preserve"' if text[:1].isspace() or text[-1:].isspace() else ""
    return f'<c r="{reference}" t="inlineStr"><is><t{space}>{escape(text)}</t></is></c>'


def value_cell(reference: str, value: Any) -> str:
    """The cell of a number, text, boolean, or of nothing ("") for None and NaN."""
    if isinstance(value, str):
        return text_cell(reference, value)
    if isinstance(value, (bool, np.bool_)):
        return f'<c r="{reference}" t="b"><v>{int(value)}</v></c>'
    if value is None or value != value:
        return ""
    if abs(value) == float("inf"):
        raise ValueError(f"cell {reference} is infinite: an .xlsx cell cannot hold it")
    return f'<c r="{reference}"><v>{value:.16G}</v></c>'


def value_rows(rows: Iterable[Sequence[Any]], first: int) -> str:
    """The XML of rows of mixed values (value_cell), the first numbered `first` (from 1)."""
    parts = []
    letters: list[str] = []
    for number, row in enumerate(rows, start=first):
        if len(row) > len(letters):
            letters = column_letters(len(row))
        cells = "".join(value_cell(f"{c}{number}", v) for c, v in zip(letters, row))
        parts.append(f'<row r="{number}">{cells}</row>')
    return "".join(parts)


def number_rows(block: npt.NDArray[np.float64], first: int, letters: Sequence[str]) -> str:
    """The XML of a block of rows of numbers, the first numbered `first` (from 1); `letters`
    names the block's columns. Each distinct value is formatted once (told apart by its bits,
    so that -0.0 stays "-0") and a row without NaN fills one template, in C."""
    if np.isinf(block).any():
        raise ValueError("an .xlsx cell cannot hold an infinite number")
    bits, where = np.unique(block.view(np.int64), return_inverse=True)
    texts = np.array([f"{v:.16G}" for v in bits.view(np.float64).tolist()], dtype=object)
    # \0 stands for the row number: no column name holds it.
    template = "".join(f'<c r="{c}\0"><v>%s</v></c>' for c in letters[: block.shape[1]])
    gaps: list[bool] = np.isnan(block).max(axis=1).tolist()  # rows with NaN
    parts = []
    rows: list[list[str]] = texts[where.reshape(block.shape)].tolist()
    for number, (row, gap) in enumerate(zip(rows, gaps), start=first):
        if gap:  # the cells of NaN are left out
            cells = "".join(
                f'<c r="{c}{number}"><v>{t}</v></c>' for c, t in zip(letters, row) if t != "NAN"
            )
        else:
            cells = template.replace("\0", str(number)) % tuple(row)
        parts.append(f'<row r="{number}">{cells}</row>')
    return "".join(parts)


def relations(links: Iterable[tuple[str, str, str]]) -> str:
    """A part of relations, one (id, kind, target) a link."""
    items = "".join(
        f'<Relationship Id="{key}" Type="{RELATIONS}/{kind}" Target="{target}"/>'
        for key, kind, target in links
    )
    return f'{HEAD}<Relationships xmlns="{PACKAGE_RELATIONS}">{items}</Relationships>'


def package(names: Sequence[str]) -> dict[str, str]:
    """The workbook's parts besides its sheets: content types, relations, the sheets' names."""
    numbers = range(1, len(names) + 1)
    types = "".join(
        f'<Override PartName="/xl/{part}" ContentType="{CONTENT}.{kind}+xml"/>'
        for part, kind in [("workbook.xml", "sheet.main"), ("styles.xml", "styles")]
        + [(f"worksheets/sheet{k}.xml", "worksheet") for k in numbers]
    )
    links = [(f"rId{k}", "worksheet", f"worksheets/sheet{k}.xml") for k in numbers]
    links += [(f"rId{len(names) + 1}", "styles", "styles.xml")]
    sheets = "".join(
        f'<sheet name={quoteattr(name)} sheetId="{k}" r:id="rId{k}"/>'
        for k, name in enumerate(names, 1)
    )

    return {
        "[Content_Types].xml": f'{HEAD}<Types xmlns="{PACKAGE}/content-types"><Default '
        f'Extension="rels" ContentType="{PACKAGE_CONTENT}.relationships+xml"/><Default '
        f'Extension="xml" ContentType="application/xml"/>{types}</Types>',
        "_rels/.rels": relations([("rId1", "officeDocument", "xl/workbook.xml")]),
        "xl/workbook.xml": f'{HEAD}<workbook xmlns="{MAIN}" xmlns:r="{RELATIONS}"><sheets>'
        f"{sheets}</sheets></workbook>",
        "xl/_rels/workbook.xml.rels": relations(links),
        "xl/styles.xml": STYLES,
    }


def write(path: str | Path, sheets: Sequence[Sheet]) -> None:
    """The workbook of `sheets` at `path`, each sheet's rows streamed into its zip entry."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as book:
        for name, text in package([name for name, _, _ in sheets]).items():
            book.writestr(zipfile.ZipInfo(name, STAMP), text, zipfile.ZIP_DEFLATED)
        for k, (_, extent, blocks) in enumerate(sheets, start=1):
            entry = zipfile.ZipInfo(f"xl/worksheets/sheet{k}.xml", STAMP)
            entry.compress_type = zipfile.ZIP_DEFLATED
            with book.open(entry, "w", force_zip64=True) as sheet:
                start = f'{HEAD}<worksheet xmlns="{MAIN}"><dimension ref="{extent}"/><sheetData>'
                sheet.write(start.encode())
                for block in blocks:
                    sheet.write(block.encode())
                sheet.write(b"</sheetData></worksheet>")
