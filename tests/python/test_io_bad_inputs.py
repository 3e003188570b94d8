"""Content that does not fit its format: one clear TraceFormatError naming the file, the line or
record, and the value at fault."""

import struct

import numpy as np
import pytest
from test_io_readers import record

from lumetra import io
from lumetra.io._trace import make_trace
from lumetra.io.spartan import DEEPEST

KINSOFT = "%t (s)\tIdd (a.u.)\tIda (a.u.)\tIaa (a.u.)\tFRET E\n"
GOOD_ROWS = ["0.0\t300\t700\t1000\t0.7", "0.1\t310\t690\t990\t0.69", "0.2\t305\t695\t1010\t0.695"]


def kinsoft(*rows):
    return KINSOFT + "\n".join(rows) + "\n"


def spartan(names=("donor", "acceptor"), version=5, frames=3, traces=1, cut=0, at=None, meta=b""):
    """Frame numbers for time, ones in every channel; at: (position among the values after the
    header, value) written over one; meta: a metadata record appended."""
    joined = "\x1f".join(names).encode()
    data = struct.pack("<I4sHBBII", 0, b"TRCS", version, 9, len(names), traces, frames)
    data += struct.pack("<I", len(joined)) + joined
    values = np.r_[np.arange(1, frames + 1), np.ones(len(names) * traces * frames)]
    if at is not None:
        values[at[0]] = at[1]
    data += values.astype("<f4").tobytes() + meta
    return data[: len(data) - cut]


def nested_cells(depth):
    """A metadata record of cells in cells, `depth` deep."""
    inner = record(0, [1, 1], b"x")
    for _ in range(depth):
        inner = record(12, [1, 1], inner)
    return inner


METADATA = 74  # where the metadata of spartan() begins
CELL_HEAD = 14  # bytes before the content of a 1 x 1 cell record


CASES = [
    # (file name, content, format, expected message after the file name)
    (
        "k.txt",
        "%t\tIdd\tIda\n0\t1\t2\n",
        "kinsoft",
        "line 1: header '%t\\tIdd\\tIda' is not the kinSoft",
    ),
    (
        "k.txt",
        kinsoft(GOOD_ROWS[0], "0.1\t310\t690\t990"),
        "auto",
        "line 3: ragged row: 4 cells, expected 5",
    ),
    (
        "k.txt",
        kinsoft(GOOD_ROWS[0], "0.1\tabc\t690\t990\t0.69"),
        "auto",
        "line 3: non-numeric cell 'abc' in column 2",
    ),
    (
        "k.txt",
        kinsoft(GOOD_ROWS[0], "0.1\t310\t\t990\t0.69"),
        "auto",
        "line 3: empty cell in column 3",
    ),
    (
        "k.txt",
        kinsoft(GOOD_ROWS[0], "0.1\t310\tnan\t990\t0.69"),
        "auto",
        "line 3: non-finite value 'nan' in column 3",
    ),
    (
        "k.txt",
        kinsoft(*GOOD_ROWS, "0.1\t300\t700\t1000\t0.7"),
        "auto",
        "line 5: time axis does not increase: 0.2 then 0.1",
    ),
    (
        "k.txt",
        kinsoft("0\t300\t0\t1000\t0", "1\t310\t0\t990\t0"),
        "auto",
        "channel 'acceptor' is zero",
    ),
    ("k.txt", KINSOFT, "auto", "no data rows"),
    ("h.dat", "0 1 2 3\n1 1 2 3\n", "hammy", "4 columns; HaMMy files have 3"),
    (
        "h.dat",
        "0 1 2 1 1 2 9\n",
        "hammy",
        "line 1: one line of 7 numbers: not (time, donor, acceptor) triples",
    ),
    (
        "s.dat",
        "1 5 5\n1 6 6\n2 5 5\n1 7 7\n",
        "auto",
        "line 4: label 1 starts a second block (the first began at line 1)",
    ),
    (
        "u.dat",
        "1 1 2 3\n5 5 6 6\n",
        "ebfret-unstacked",
        "line 1: label row: columns 3 and 4 hold 2 and 3",
    ),
    (
        "u.dat",
        "1 1 2\n5 5 6\n",
        "ebfret-unstacked",
        "2 rows of 3 columns; unstacked ebFRET files have a label row",
    ),
    (
        "a.traces",
        spartan(cut=4),
        "auto",
        "byte 62: file ends inside channel 'acceptor': 74 bytes needed, 70 present",
    ),
    (
        "a.traces",
        b"\0\0\0\0TRCS\x05\x00\x09\x02",
        "auto",
        "byte 12: truncated file: 12 bytes, where the header alone needs 20",
    ),
    (
        "a.traces",
        spartan(meta=record(13, [60000, 60000], b"\0")),
        "auto",
        f"byte {METADATA}: metadata record declares 3600000000 elements; 1 bytes are left",
    ),
    (
        "a.traces",
        spartan(meta=record(0, [2**32 - 1] * 3, b"x")),
        "auto",
        f"byte {METADATA}: metadata record declares {(2**32 - 1) ** 3} elements; 1 bytes",
    ),
    (
        "a.traces",
        spartan(meta=nested_cells(5000)),
        "auto",
        f"byte {METADATA + CELL_HEAD * (DEEPEST + 1)}: metadata nested more than {DEEPEST} deep",
    ),
    (
        "a.traces",
        spartan(traces=2, at=(12, np.nan)),
        "auto",
        "trace 2, frame 2, byte 86: non-finite value nan in channel 'acceptor'",
    ),
    (
        "a.traces",
        spartan(at=(2, np.inf)),
        "auto",
        "byte 46: time axis: non-finite value inf at frame 3",
    ),
    (
        "a.traces",
        spartan(names=("fret", "acceptor")),
        "auto",
        "byte 20: no 'donor' channel among ['fret', 'acceptor']",
    ),
    (
        "a.traces",
        spartan(version=7),
        "auto",
        "byte 8: format version 7; versions (3, 4, 5) are read",
    ),
    (
        "a.traces",
        b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR",
        "auto",
        "binary content (a NUL byte at offset 8) that is not a SPARTAN",
    ),
    (
        "a.traces",
        kinsoft(*GOOD_ROWS),
        "spartan",
        "byte 0: not a SPARTAN .traces file of format version 3 or later",
    ),
    (
        "k.txt",
        spartan(),
        "kinsoft",
        "SPARTAN .traces content (a NUL byte at offset 0) in a kinsoft file",
    ),
    (
        "d.txt",
        "t\tIdd\tIda\n0\t1\t2\n",
        "delimited:donor=Idd,acceptor=Iaa",
        "line 1: acceptor: no column 'Iaa' in the header",
    ),
    (
        "d.txt",
        "0,1,2\n1,1\n",
        "delimited:time=0,donor=1,acceptor=2",
        "line 2: ragged row: 2 cells, expected 3",
    ),
    (
        "x.txt",
        "time\tdonor\tacceptor\n0\t1\t2\n",
        "auto",
        "line 1: header 'time\\tdonor\\tacceptor': not a layout whose format can be told",
    ),
    (
        "x.txt",
        "0 1\n1 2\n",
        "auto",
        "line 1: numbers in 2 columns: not a layout whose format can be told",
    ),
    (
        "c.txt",
        "Frame/10\tCH1-BGND1\n0\t5\n1\tx\n",
        "auto",
        "line 3: non-numeric cell 'x' in column 'CH1-BGND1'",
    ),
    (
        "c.txt",
        "Frame/10\tCH1-BGND1\n0\t5\n\t\n \n1\tx\n",  # pandas reads a tab as a row of NaN
        "auto",
        "line 5: non-numeric cell 'x' in column 'CH1-BGND1'",
    ),
    (
        "c.txt",
        "Frame/10\tCH1-BGND1\r0\t5\r1\t6\r1\t7\r",  # lines that end in CR, as loadData reads them
        "auto",
        "line 4: time axis does not increase: 1.0 then 1.0",
    ),
    (
        "c.txt",
        "Frame/10\tCH1\n0\t5\n",
        "single-channel",
        "line 1: no column 'CH1-BGND1' in the header",
    ),
]


@pytest.mark.parametrize("name, content, fmt, expected", CASES)
def test_bad_input_names_file_place_and_value(tmp_path, name, content, fmt, expected):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    fmt, _, columns = fmt.partition(":")
    with pytest.raises(io.TraceFormatError) as error:
        io.read_traces(path, format=fmt, columns=columns or None)
    place = ", " if expected.startswith(("line ", "byte ", "trace ")) else ": "
    assert str(error.value).startswith(f"{path}{place}{expected}"), str(error.value)


LONG = "y" * 5_000_000  # a 5 MB line or cell

LONG_LINES = [
    # (content, format, place named before the quoted line or value)
    (LONG + "\n0 1 2\n", "auto", "line 1"),
    (LONG + "\n0\t1\t2\t3\t4\n", "kinsoft", "line 1"),
    (kinsoft(GOOD_ROWS[0], f"0.1\t{LONG}\t690\t990\t0.69"), "auto", "line 3"),
    ("0 1 " + "9" * 5_000_000 + "\n1 1 2\n", "hammy", "line 1"),
    (f"t\t{LONG}\n0\t1\n", "delimited:donor=Idd,acceptor=1", "line 1"),
    (f"{LONG}\tCH1-BGND1\n0\t5\n", "single-channel", "line 1"),
    (f"Frame/10\tCH1-BGND1\n0\t5\n1\t{LONG}\n", "auto", "line 3"),
    (spartan(names=("donor", LONG)), "auto", "byte 20"),
]


@pytest.mark.parametrize("content, fmt, place", LONG_LINES)
def test_long_lines_are_quoted_cut_short(tmp_path, content, fmt, place):
    path = tmp_path / "long.txt"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    fmt, _, columns = fmt.partition(":")
    with pytest.raises(io.TraceFormatError) as error:
        io.read_traces(path, format=fmt, columns=columns or None)
    message = str(error.value)
    assert message.startswith(f"{path}, {place}: ") and len(message) < len(str(path)) + 300


def test_channels_of_different_lengths():
    with pytest.raises(
        io.TraceFormatError, match=r"different lengths \(time 3, donor 3, acceptor 2\)"
    ):
        make_trace("m.txt", "hammy", [0, 1, 2], donor=[1, 2, 3], acceptor=[1, 2])
