"""kinSoft challenge ASCII traces.

Layout, as the kinSoft challenge (a blind benchmark of kinetic analysis of smFRET traces:
M. Götz et al., Nat. Commun. 13, 5402 (2022)) publishes its simulated data sets, e.g. the
level-1 training set, one trace per file (trace_N.txt):

- line 1, the header, five tab-separated names: ``%t (s)``, ``Idd (a.u.)``, ``Ida (a.u.)``,
  ``Iaa (a.u.)``, ``FRET E``;
- then one line per frame, five tab-separated numbers: time in seconds, donor and acceptor
  emission under donor excitation (I_DD, I_DA), acceptor emission under acceptor excitation
  (I_AA, alternating excitation), and E = I_DA / (I_DD + I_DA) to three decimals.

The E column is not kept: lumetra.io.fret_efficiency recomputes it, with corrections if asked.
The trace id is the file name without its extension.
"""

from __future__ import annotations

from pathlib import Path

from lumetra.io._table import data_lines, line_of_row, numeric_table
from lumetra.io._trace import Trace, TraceFormatError, make_trace, quoted

FORMAT = "kinsoft"
HEADER = ("%t (s)", "Idd (a.u.)", "Ida (a.u.)", "Iaa (a.u.)", "FRET E")
DELIMITER = "\t"


def header_matches(line: str) -> bool:
    """True for the kinSoft header, whatever the spacing inside and around its names."""
    names = [" ".join(cell.split()) for cell in line.split(DELIMITER)]
    return names == list(HEADER)


def read(source: str, text: str, frame_time: float | None = None) -> list[Trace]:
    number, first = next(data_lines(text, 0), (1, ""))
    if not header_matches(first):
        raise TraceFormatError(
            source, f"header {quoted(first)} is not the kinSoft one ({' | '.join(HEADER)})", number
        )
    values = numeric_table(source, text, delimiter=DELIMITER, skip=number, columns=len(HEADER))
    return [
        make_trace(
            source,
            FORMAT,
            values[:, 0],
            line_of=line_of_row(text, number),
            donor=values[:, 1],
            acceptor=values[:, 2],
            acceptor_direct=values[:, 3],
            trace_id=Path(source).stem,
        )
    ]
