"""The exchange formats: OpenFRET in (files of the openfret package and files written from the
documented layout) and out (`lumetra export`), and HDF5 files in tMAVEN's SMD layout."""

import json
import os
import shutil
import zipfile

import h5py
import numpy as np
import openfret
import pytest

from lumetra import io
from lumetra.cli import main
from lumetra.io import smd
from lumetra.io.prepare import SignalOptions, prepare_file
from lumetra.results.folder import load_folder

DONOR = [300.0, 320.5, 150.0, 140.25, 310.0, 305.0]
ACCEPTOR = [700.0, 680.0, 850.5, 860.0, 690.0, 702.5]


def test_a_batch_exported_to_openfret_reads_back_whole(results_batch, tmp_path, capsys):
    out, _ = results_batch
    target = tmp_path / "batch.json.zip"
    assert main(["export", str(out), "--to", "openfret", "--out", str(target)]) == 0
    folder = load_folder(out)
    table = folder.table.set_index("name")

    traces = io.read_traces(target)  # told from the content: a zip of one JSON file
    assert [t.trace_id for t in traces] == folder.names
    for trace in traces:
        name = trace.trace_id
        (source,) = io.read_traces(table.loc[name, "file"])
        np.testing.assert_array_equal(trace.donor, source.donor)
        np.testing.assert_array_equal(trace.acceptor, source.acceptor)
        np.testing.assert_array_equal(trace.acceptor_direct, source.acceptor_direct)
        np.testing.assert_allclose(trace.time, source.time, rtol=0, atol=1e-12)
        meta = trace.metadata["trace"]
        ideal = meta["idealisation"]
        assert ideal["method"] == "shared model" and ideal["signal"] == "fret"
        np.testing.assert_array_equal(ideal["levels"], folder.paths[name].levels)
        np.testing.assert_array_equal(ideal["states"], folder.paths[name].states)
        assert meta["classification"]["class"] == table.loc[name, "class"]
        assert meta["classification"]["usable"] == table.loc[name, "usable"]

    # The rest is the dataset's metadata, as the openfret package reads it.
    dataset = openfret.read_data(str(target))
    lumetra = dataset.metadata["lumetra"]
    assert lumetra["manifest"]["inputs"][0]["sha256"] == folder.manifest["inputs"][0]["sha256"]
    assert lumetra["model"]["levels"] == pytest.approx(folder.model["levels"])
    rates = [r["rate_upper"] for r in lumetra["rates"]]
    assert rates == pytest.approx(folder.kinetics["rate_upper"].tolist())
    assert [t["name"] for t in lumetra["not_exported"]] == ["broken"]
    assert dataset.experiment_type == "2-Color FRET"

    # A source changed since the batch read it stops the export; the file written before stays.
    copy = tmp_path / "changed"
    shutil.copytree(out, copy)
    manifest = json.loads((copy / "manifest.json").read_text())
    manifest["inputs"][1]["sha256"] = "0" * 64
    (copy / "manifest.json").write_text(json.dumps(manifest))
    before = target.read_bytes()
    with pytest.raises(SystemExit, match=f"{folder.names[1]}: its source .* has changed"):
        main(["export", str(copy), "--to", "openfret", "--out", str(target)])
    assert target.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["batch.json.zip", "changed"]


@pytest.mark.parametrize("compress", [False, True])
def test_a_file_of_the_openfret_writer_is_read_by_every_command(tmp_path, compress, capsys):
    first = openfret.Trace(
        [
            openfret.Channel("Donor", DONOR, excitation_wavelength=532.0, exposure_time=0.1),
            openfret.Channel("Acceptor", ACCEPTOR, exposure_time=0.1),
            openfret.Channel("FRET", [a / (a + d) for d, a in zip(DONOR, ACCEPTOR)]),
        ],
        metadata=openfret.Metadata({"molecule_id": "m1"}),
    )
    second = openfret.Trace([openfret.Channel("intensity", DONOR)])
    dataset = openfret.Dataset(
        title="two molecules", traces=[first, second], metadata=openfret.Metadata({"pH": 7.4})
    )
    path = tmp_path / "set.json"
    openfret.write_data(dataset, str(path), compress=compress)
    path = tmp_path / ("set.json.zip" if compress else "set.json")

    assert io.detect_format(path) == "openfret"
    two, one = io.read_traces(path)
    np.testing.assert_array_equal(two.donor, DONOR)
    np.testing.assert_array_equal(two.acceptor, ACCEPTOR)
    np.testing.assert_allclose(two.time, np.arange(6) * 0.1)
    assert (two.trace_id, two.frame_time, two.two_colour) == ("m1", 0.1, True)
    assert two.metadata["channels"]["Donor"]["excitation_wavelength"] == 532.0
    assert set(two.metadata["channels"]) == {"Donor", "Acceptor", "FRET"}
    assert two.metadata["dataset"]["metadata"] == {"pH": 7.4}
    np.testing.assert_array_equal(one.intensity, DONOR)
    assert (one.trace_id, one.frame_time, one.two_colour) == ("2", None, False)

    prepared = prepare_file(path, SignalOptions(cut=False))
    assert [p.format for p in prepared] == ["openfret", "openfret"]
    assert prepared[0].signal == "fret" and prepared[1].signal == "total"
    assert main(["summary", "--fixed", "2", "-0.5", "0.5", "1", str(path)]) == 0
    assert "(openfret, fret of 6 frames)" in capsys.readouterr().out


def test_a_dataset_written_from_the_documented_layout_is_read(tmp_path):
    # The example of the OpenFRET repository's README, with exposure times.
    spec = {
        "title": "My FRET Experiment",
        "traces": [
            {
                "channels": [
                    {"channel_type": "donor", "exposure_time": 0.05, "data": DONOR},
                    {"channel_type": "acceptor", "exposure_time": 0.05, "data": ACCEPTOR},
                    {"channel_type": "acceptor_direct", "exposure_time": 0.05, "data": DONOR},
                ],
                "metadata": {"trace_condition": "high salt"},
            }
        ],
        "sample_details": {"buffer_conditions": "1xPBS"},
        "date": "2024-01-01",
    }
    path = tmp_path / "spec.json"
    path.write_text(json.dumps(spec, indent=4))
    (trace,) = io.read_traces(path)
    np.testing.assert_array_equal(trace.acceptor_direct, DONOR)
    np.testing.assert_allclose(trace.time, np.arange(6) * 0.05)
    assert trace.metadata["trace"] == {"trace_condition": "high salt"}
    assert trace.metadata["dataset"]["sample_details"] == {"buffer_conditions": "1xPBS"}


@pytest.mark.parametrize(
    "content, expected",
    [
        ('{"title": "t", "traces": [\n  {"channels": [}\n]}', r"bad\.json, line 2: not valid JSON"),
        ('{"title": "t", "trace": []}', r"bad\.json: a JSON object without \"traces\""),
        (
            '{"traces": [{"channels": [{"channel_type": "donor", "data": [1, 2]},'
            '{"channel_type": "acceptor", "data": [1, "x"]}]}]}',
            r"bad\.json, trace 1, channel 2 \(acceptor\): frame 2 holds 'x', not a finite",
        ),
        (
            '{"traces": [{"channels": [{"channel_type": "donor", "data": [1, 2]}]}]}',
            r"trace 1: a two-colour trace needs donor and acceptor channels; it has \['donor'\]",
        ),
    ],
)
def test_a_malformed_openfret_file_is_refused_naming_what_is_wrong(tmp_path, content, expected):
    path = tmp_path / "bad.json"
    path.write_text(content)
    with pytest.raises(io.TraceFormatError, match=expected):
        io.read_traces(path)


def test_a_zip_that_unpacks_beyond_the_limit_is_refused(tmp_path, monkeypatch):
    from lumetra.io import openfret

    path = tmp_path / "bomb.json.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("bomb.json", '{"traces": []}' + " " * 100_000)
    monkeypatch.setattr(openfret, "MAX_UNPACKED_BYTES", 50_000)
    with pytest.raises(io.TraceFormatError, match="unpacks to more than 50000 bytes"):
        io.read_traces(path)


def write_smd(path, **options):
    """An HDF5 file as tMAVEN's documentation lays out an SMD group, with tMAVEN's own group."""
    raw = np.stack([np.column_stack([DONOR, ACCEPTOR])] * 3) + np.arange(3)[:, None, None]
    with h5py.File(path, "w", **options) as f:
        smd = f.create_group("experiment7")
        smd.attrs.update(format="SMD", date_created="now", description="three molecules")
        data = smd.create_group("data")
        data.create_dataset("raw", data=raw, compression="gzip")
        data.create_dataset("source_index", data=np.array([0, 0, 1], dtype="int64"))
        for number, name in enumerate(["movie 1", "movie 2"]):
            smd.create_group(f"sources/{number}").attrs["source_name"] = name
        tmaven = smd.create_group("tMAVEN")
        tmaven.attrs["format"] = "tMAVEN"
        for key, values in (
            ("classes", [0, 1, 2]),
            ("pre_list", [0, 1, 0]),
            ("post_list", [6, 5, 4]),
        ):
            tmaven.create_dataset(key, data=np.array(values, dtype="int64"))
    return path


def test_an_hdf5_file_of_tmavens_layout_is_read(tmp_path):
    path = write_smd(tmp_path / "experiment.hdf5")
    assert io.detect_format(path) == "smd"
    traces = io.read_traces(path, frame_time=0.1)
    assert [t.trace_id for t in traces] == ["experiment7/0", "experiment7/1", "experiment7/2"]
    np.testing.assert_array_equal(traces[0].donor, DONOR)
    np.testing.assert_array_equal(traces[1].acceptor, np.add(ACCEPTOR, 1)[1:5])  # pre to post
    np.testing.assert_allclose(traces[1].time, np.arange(4) * 0.1)
    assert traces[2].metadata["source"] == {"source_name": "movie 2"}
    assert (traces[2].metadata["class"], len(traces[2])) == (2, 4)
    assert traces[0].metadata["smd"]["description"] == "three molecules"


def test_an_hdf5_file_of_another_layout_is_refused_listing_its_datasets(tmp_path):
    path = tmp_path / "other.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("movie/donor", data=np.ones((4, 10)))
        f.create_dataset("movie/acceptor", data=np.ones((4, 10), dtype="float32"))
    with pytest.raises(io.TraceFormatError) as error:
        io.read_traces(path)
    message = str(error.value)
    assert message.startswith(f"{path}: an HDF5 file of unknown layout")
    assert "/movie/acceptor (4, 10) float32; /movie/donor (4, 10) float64" in message

    path.write_bytes(path.read_bytes()[:1000])
    with pytest.raises(io.TraceFormatError, match=r"other\.h5: not a readable HDF5 file: .*trunc"):
        io.read_traces(path)


@pytest.mark.parametrize(
    "child, expected",
    [
        (
            "import os, signal\nos.kill(os.getpid(), signal.SIGSEGV)",
            # Under AddressSanitizer (inherited by the child) the crash ends it with a status.
            r"failed on it \((signal SIGSEGV|exit status 1)\)",
        ),
        ("import time\ntime.sleep(60)", "reading it did not end within 1 s"),
    ],
)
def test_a_file_the_hdf5_library_crashes_or_hangs_on_is_refused(
    tmp_path, monkeypatch, child, expected
):
    # The library does both on some damaged files; a stand-in for it does so on every file.
    script = tmp_path / "library.py"
    script.write_text(child)
    monkeypatch.setattr(smd, "DUMP", script)
    monkeypatch.setattr(smd, "READ_SECONDS", 1.0)
    path = write_smd(tmp_path / "damaged.h5")
    with pytest.raises(
        io.TraceFormatError, match=rf"damaged\.h5: a damaged HDF5 file: .*{expected}"
    ):
        io.read_traces(path)


def test_the_format_is_told_from_the_content_whatever_the_name(tmp_path):
    smd = write_smd(tmp_path / "a.bin", userblock_size=512)  # the signature after a user block
    dataset = openfret.Dataset("t", [openfret.Trace([openfret.Channel("intensity", DONOR)])])
    openfret.write_data(dataset, str(tmp_path / "b"), compress=True)
    plain = tmp_path / "c.txt"
    openfret.write_data(dataset, str(plain))
    found = [io.detect_format(p) for p in (smd, tmp_path / "b.zip", plain)]
    assert found == ["smd", "openfret", "openfret"]
    for options in ({}, {"format": "auto"}):
        assert io.read_traces(smd, **options)[0].format == "smd"

    shutil.make_archive(str(tmp_path / "d"), "zip", root_dir=tmp_path, base_dir="c.txt")
    (tmp_path / "e.txt").write_text("c.txt")
    shutil.make_archive(str(tmp_path / "two"), "zip", root_dir=tmp_path)
    with pytest.raises(io.TraceFormatError, match="an OpenFRET archive holds one JSON file"):
        io.detect_format(tmp_path / "two.zip")
    assert io.detect_format(tmp_path / "d.zip") == "openfret"  # one file, whatever its name
    with pytest.raises(io.TraceFormatError, match=r"a\.bin: HDF5 content .* in a kinsoft file"):
        io.read_traces(smd, format="kinsoft")
