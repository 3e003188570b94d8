"""Which format a trace file is in, told from its content where that is unambiguous.

Rules, in order:

1. The 8 bytes ``\\0\\0\\0\\0TRCS`` at the start: SPARTAN .traces. The HDF5 signature (at the
   start or after a user block): smd, whose reader refuses an HDF5 file of another layout
   naming its datasets. A zip archive holding one JSON file: openfret. Any other file holding a
   NUL byte is binary of an unknown kind and is refused.
2. Text whose first character (after blanks) is ``{``: a JSON object, openfret when it names
   ``"traces"``, refused otherwise.
3. The kinSoft header (``%t (s)``, ``Idd (a.u.)``, ``Ida (a.u.)``, ``Iaa (a.u.)``, ``FRET E``)
   as the first line: kinsoft. A first line naming ``Frame/10`` and ``CH1-BGND1``:
   single-channel. Any other header is refused (read such files with format="delimited" and
   columns=...).
4. Headerless numbers, split at whitespace, judged from the first two lines:
   - one line of a multiple of three numbers (six or more): hammy (time, donor, acceptor
     triples on one line);
   - three columns whose first cell repeats an integer on line 2: ebfret-stacked (label, D, A);
     whose first cell increases: hammy (time, D, A);
   - an even number of columns whose first line is integers, each written twice:
     ebfret-unstacked (a label row);
   - anything else is refused.
"""

from __future__ import annotations

from itertools import islice

from lumetra.io import ebfret, hammy, kinsoft, openfret, single_channel, smd, spartan
from lumetra.io._table import data_lines, decode
from lumetra.io._trace import TraceFormatError, quoted

NUL = b"\0"
# The formats told by their first bytes, and what their content is called in messages.
SIGNED = {spartan.FORMAT: "SPARTAN .traces", smd.FORMAT: "HDF5", openfret.FORMAT: "zip archive"}


def binary_format(data: bytes) -> str | None:
    """The format whose signature the content starts with, if any."""
    if spartan.is_spartan(data):
        return spartan.FORMAT
    if smd.is_hdf5(data):
        return smd.FORMAT
    if openfret.is_zip(data):
        return openfret.FORMAT
    return None


def _numbers(line: str) -> list[float] | None:
    try:
        return [float(cell) for cell in line.split()]
    except ValueError:
        return None


def _undetected(source: str, what: str, line: int | None = None) -> TraceFormatError:
    return TraceFormatError(
        source,
        f"{what}: not a layout whose format can be told; give format= (or columns= to read it "
        "as delimited text)",
        line=line,
    )


def detect(source: str, data: bytes, text: str | None = None) -> str:
    """The format name of a file's content (bytes; `text`, its decoded text, if at hand)."""
    signed = binary_format(data)
    if signed == openfret.FORMAT:
        openfret.json_member(source, data)  # a zip archive of one JSON file, or refused
    if signed is not None:
        return signed
    if NUL in data:
        raise TraceFormatError(
            source,
            f"binary content (a NUL byte at offset {data.index(NUL)}) that is not a SPARTAN "
            f".traces file: it does not begin with {spartan.HEAD!r}",
        )
    text = decode(data) if text is None else text
    lines = list(islice(data_lines(text, 0), 2))
    if not lines:
        raise TraceFormatError(source, "no content")
    (number, first), rest = lines[0], lines[1:]
    if first.lstrip().startswith("{"):
        if '"traces"' in text:
            return openfret.FORMAT
        raise _undetected(source, 'a JSON object without "traces" (not an OpenFRET dataset)')
    if kinsoft.header_matches(first):
        return kinsoft.FORMAT
    if single_channel.header_matches(first):
        return single_channel.FORMAT
    row = _numbers(first)
    if row is None:
        raise _undetected(source, f"header {quoted(first.strip())}", number)
    if not rest:
        if len(row) >= 2 * hammy.COLUMNS and len(row) % hammy.COLUMNS == 0:
            return hammy.FORMAT
        raise _undetected(source, f"one line of {len(row)} numbers", number)
    second = _numbers(rest[0][1])
    if second is None or len(second) != len(row):
        raise _undetected(source, "first two lines of different kinds", rest[0][0])
    if len(row) == hammy.COLUMNS:
        if second[0] == row[0] and row[0].is_integer():
            return ebfret.STACKED
        if second[0] > row[0]:
            return hammy.FORMAT
    if len(row) % 2 == 0 and all(v.is_integer() for v in row) and row[0::2] == row[1::2]:
        return ebfret.UNSTACKED
    raise _undetected(source, f"numbers in {len(row)} columns", number)
