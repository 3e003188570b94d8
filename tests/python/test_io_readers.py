"""Each reader on a small file written here from its format's documented layout."""

import struct

import numpy as np
import pytest

from lumetra import io

DONOR = [300.0, 320.5, 150.0, 140.25]
ACCEPTOR = [700.0, 680.0, 850.5, 860.0]
DIRECT = [990.0, 1010.0, 1005.5, 995.0]
TIME = [0.0, 0.1, 0.2, 0.3]


def write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


def rows(*columns, sep="\t"):
    return "".join(sep.join(repr(v) for v in row) + "\n" for row in zip(*columns))


def read_one(path, fmt, **options):
    if fmt != "delimited":  # told from the content; delimited files need their columns named
        assert io.detect_format(path) == fmt
    traces = io.read_traces(path, **options)
    assert all(t.format == fmt and t.source == str(path) for t in traces)
    return traces


def test_kinsoft(tmp_path):
    efficiency = [a / (d + a) for d, a in zip(DONOR, ACCEPTOR)]
    header = "%t (s)\tIdd (a.u.)\tIda (a.u.)\tIaa (a.u.)\tFRET E\n"
    path = write(tmp_path, "trace_7.txt", header + rows(TIME, DONOR, ACCEPTOR, DIRECT, efficiency))
    (trace,) = read_one(path, "kinsoft")
    np.testing.assert_array_equal(trace.time, TIME)
    np.testing.assert_array_equal(trace.donor, DONOR)
    np.testing.assert_array_equal(trace.acceptor, ACCEPTOR)
    np.testing.assert_array_equal(trace.acceptor_direct, DIRECT)
    assert trace.frame_time == pytest.approx(0.1)
    assert (trace.trace_id, trace.index, trace.two_colour) == ("trace_7", 0, True)


@pytest.mark.parametrize("one_line", [False, True])
def test_hammy_columns_and_single_line(tmp_path, one_line):
    if one_line:  # SPARTAN's forHammy: the triples one after another, space-separated
        content = " ".join(repr(v) for row in zip(TIME, DONOR, ACCEPTOR) for v in row) + "\n"
    else:
        content = rows(TIME, DONOR, ACCEPTOR)
    (trace,) = read_one(write(tmp_path, "mol1_HaMMy.dat", content), "hammy")
    np.testing.assert_array_equal(trace.time, TIME)
    np.testing.assert_array_equal(trace.donor, DONOR)
    np.testing.assert_array_equal(trace.acceptor, ACCEPTOR)
    assert trace.acceptor_direct is None and trace.trace_id == "mol1_HaMMy"


def test_ebfret_stacked_traces_of_different_lengths(tmp_path):
    labels = [4, 4, 4, 9]
    path = write(tmp_path, "stacked.dat", rows(labels, DONOR, ACCEPTOR, sep="   "))
    first, second = read_one(path, "ebfret-stacked")
    assert (first.trace_id, first.index, second.trace_id, second.index) == ("4", 0, "9", 1)
    np.testing.assert_array_equal(first.donor, DONOR[:3])
    np.testing.assert_array_equal(second.acceptor, ACCEPTOR[3:])
    np.testing.assert_array_equal(first.time, [0, 1, 2])  # no time axis: frames
    assert first.frame_time is None
    timed = io.read_traces(path, frame_time=0.05)
    np.testing.assert_allclose(timed[0].time, [0, 0.05, 0.1])
    assert timed[0].frame_time == pytest.approx(0.05)


def test_ebfret_unstacked_label_row(tmp_path):
    content = "1 1 2 2\n" + rows(DONOR, ACCEPTOR, DIRECT, DONOR, sep=" ")
    first, second = read_one(write(tmp_path, "unstacked.dat", content), "ebfret-unstacked")
    assert (first.trace_id, second.trace_id) == ("1", "2")
    np.testing.assert_array_equal(first.donor, DONOR)
    np.testing.assert_array_equal(first.acceptor, ACCEPTOR)
    np.testing.assert_array_equal(second.donor, DIRECT)
    np.testing.assert_array_equal(second.acceptor, DONOR)


def spartan_file(channels, time, ids=None, version=5, type_code=9):
    """A .traces file as saveTraces.m writes it: channels = {name: traces x frames array}."""
    names = list(channels)
    dtype = {9: "<f4", 10: "<f8"}[type_code]
    traces, frames = np.shape(channels[names[0]])
    out = struct.pack("<I4sHBBII", 0, b"TRCS", version, type_code, len(names), traces, frames)
    if version >= 4:
        joined = "\x1f".join(names).encode()
        out += struct.pack("<I", len(joined)) + joined
    out += np.asarray(time, dtype=dtype).tobytes()
    for name in names:  # an N x T matrix, column by column
        out += np.asarray(channels[name], dtype=dtype).T.tobytes()
    if ids is not None:
        out += metadata_record(ids)
    return out


def record(code, dims, content):
    """One version-5 metadata record: type code, byte length, dimensions, content."""
    head = struct.pack("<B", len(dims)) + struct.pack(f"<{len(dims)}I", *dims)
    return struct.pack("<BI", code, len(head) + len(content)) + head + content


def metadata_record(ids):
    """struct traceMetadata (1 x N) with a packed string field ids, inside a root struct."""

    def field(name, packed, value):
        return struct.pack("<B", len(name)) + name.encode() + struct.pack("<B", packed) + value

    text = "\x1f".join(ids).encode()
    packed_ids = record(0, [1, len(text)], text)
    trace_meta = record(13, [1, len(ids)], struct.pack("<B", 1) + field("ids", 1, packed_ids))
    return record(13, [1, 1], struct.pack("<B", 1) + field("traceMetadata", 0, trace_meta))


def test_spartan_traces_with_ids_and_alternating_excitation(tmp_path):
    donor = np.array([DONOR, DIRECT])
    acceptor = np.array([ACCEPTOR, DONOR])
    direct = np.array([DIRECT, ACCEPTOR])
    fret = acceptor / (donor + acceptor)
    channels = {"donor": donor, "acceptor": acceptor, "fret": fret, "acceptorDirect": direct}
    time_ms = [0.0, 100.0, 200.0, 300.0]
    data = spartan_file(channels, time_ms, ids=["movie1#7", "movie1#9"])
    first, second = read_one(write(tmp_path, "a.traces", data), "spartan")
    assert (first.trace_id, second.trace_id, second.index) == ("movie1#7", "movie1#9", 1)
    np.testing.assert_allclose(first.time, TIME)  # milliseconds in the file
    np.testing.assert_array_equal(first.donor, DONOR)  # float32-exact values
    np.testing.assert_array_equal(second.acceptor, DONOR)
    np.testing.assert_array_equal(second.acceptor_direct, ACCEPTOR)

    # Metadata of another shape (a cell holding text) is no source of ids.
    odd = spartan_file(channels, time_ms) + record(12, [1, 1], record(0, [1, 1], b"x"))
    assert [t.trace_id for t in io.read_traces(write(tmp_path, "c.traces", odd))] == ["1", "2"]

    # Version 3: no channel names (donor, acceptor, fret), frame numbers for time, no ids.
    legacy = spartan_file(
        {"donor": donor, "acceptor": acceptor, "fret": fret}, [1, 2, 3, 4], version=3
    )
    old = io.read_traces(write(tmp_path, "b.traces", legacy))
    assert [t.trace_id for t in old] == ["1", "2"] and old[0].frame_time is None
    np.testing.assert_array_equal(old[1].donor, DIRECT)


def test_delimited_by_position_and_by_header_name(tmp_path):
    plain = write(tmp_path, "plain.csv", rows(DONOR, TIME, ACCEPTOR, sep=","))
    (trace,) = read_one(plain, "delimited", columns="time=1,donor=0,acceptor=2")
    np.testing.assert_array_equal(trace.time, TIME)
    np.testing.assert_array_equal(trace.donor, DONOR)

    header = "id\tt\tDonor\tAcceptor\n"
    labelled = "".join(
        f"m{i}\t{r}" for i, r in enumerate(rows(TIME, DONOR, ACCEPTOR).splitlines(1))
    )
    named = write(tmp_path, "named.txt", header + labelled)
    (trace,) = read_one(named, "delimited", columns={"donor": "Donor", "acceptor": "Acceptor"})
    np.testing.assert_array_equal(trace.acceptor, ACCEPTOR)
    np.testing.assert_array_equal(trace.time, [0, 1, 2, 3])  # no time column: frames
    (single,) = io.read_traces(named, columns="time=t,intensity=Donor")
    assert not single.two_colour and single.donor is None
    np.testing.assert_array_equal(single.intensity, DONOR)


def test_single_channel_reads_as_lumetra_trace_loads(tmp_path):
    content = "Frame/10\tCH1-BGND1\tIdeal\n" + rows(TIME, DONOR, ACCEPTOR)
    content = content.replace("\t320.5\t", "\t\t")  # an empty cell is NaN, as loadData keeps it
    (trace,) = read_one(write(tmp_path, "t.txt", content), "single-channel")
    np.testing.assert_array_equal(trace.intensity, [300.0, np.nan, 150.0, 140.25])
    assert trace.donor is None and not trace.two_colour
