"""Event files: every block delivered comes back bit-exactly, through our reader and a NeXus reader nobody here
wrote; a killed writer leaves its flushed chunks readable; a bad path fails before the acquisition."""
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vrexsdk import events, simulator, stages
from vrexsdk.chip import BinningParams
from vrexsdk.record import device_metadata

import nexusformat.nexus as nexus  # noqa: E402  (a NeXus reader nobody here wrote)

# mode, device kind, raw stream, the group and (chunk column -> file dataset) to compare
CASES = [
    ("0:tpx3-dd-toa-tot", "tpx3", False, "events", {"address": "event_id", "toa": "event_time_offset",
                                                    "tot": "time_over_threshold"}),
    ("0:tpx3-seq-toa-tot-vec", "tpx3", False, "events", {0: "event_id", 1: "event_time_offset",
                                                         2: "time_over_threshold"}),
    ("0:tpx3-seq-itot-event", "tpx3", False, "events", {"address": "event_id", "event": "event_count",
                                                        "itot": "integrated_tot"}),
    ("0:tpx-medipix", "tpx", False, "frames", {0: "counts"}),
    ("0:tpx3-binned-packets", "tpx3", False, "binned", {"address": "packets_address", "count": "packets_count",
                                                        2: "hit_sums", 3: "itot_sums"}),
    ("0:tpx3-dd-toa-tot", "tpx3", True, "raw", {0: "bytes"}),
]


def record_events(device, path, mode, kind="tpx3", raw=False, compression=None, **acq):
    model = simulator.model()
    for d in model["devices"]:
        if d["kind"] == kind:
            d["acquisition"].update(acq)
    simulator.configure(model)
    device.open({"tpx3": "usb:vrex-sim-0", "tpx": "usb:vrex-sim-1"}[kind])
    device.chip.selectMode(mode, BinningParams(4, 2, 1000) if "binned" in mode else None)
    queue = stages.ChunkQueue()
    writer = events.EventWriter(path, "0:raw-data" if raw else mode, queue, metadata=device_metadata(device),
                                mask=device.config.getMask(), chunk_events=4096, compression=compression)
    copies = []
    pipe = stages.Pipeline(device, [stages.Sink(queue, chunk_events=5000)], raw=raw,
                           callable=lambda *a: copies.append([x.copy() for x in a if isinstance(x, np.ndarray)]))
    writer.start(pipe)
    device.acq.begin(pipe.channel)
    device.acq.end(pipe.channel)
    writer.close()
    return copies


def delivered(copies, key):
    if isinstance(key, int):
        return np.concatenate([b[key] for b in copies])
    return np.concatenate([b[0][key] for b in copies])


@pytest.mark.parametrize("mode,kind,raw,group,columns", CASES)
def test_every_block_comes_back_bit_exactly(device, tmp_path, mode, kind, raw, group, columns):
    path = tmp_path / "run.h5"
    copies = record_events(device, path, mode, kind, raw, block_count=7, hits=3000, frames=2)
    with events.open_events(path) as f:
        assert f.complete and f.acquisition["written_blocks"] == 7 and f.acquisition["lost_blocks"] == 0
        blocks, _ = f.blocks(group if group != "binned" else "packets")
        assert blocks.tolist() == list(range(7))
        for key, name in columns.items():
            part = {"packets_address": "packets", "packets_count": "packets"}.get(name, name)
            stored = f.read(part if group == "binned" else group, [name])[name]
            expected = delivered(copies, key)
            np.testing.assert_array_equal(stored.reshape(expected.shape), expected)


@pytest.mark.parametrize("compression", [None, "gzip", "lz4"])
def test_a_nexus_reader_gives_the_same_events(device, tmp_path, compression):
    path = tmp_path / "run.nxs"
    copies = record_events(device, path, "0:tpx3-dd-toa-tot", compression=compression, block_count=5, hits=20000)
    tree = nexus.nxload(str(path))
    data = tree["entry/instrument/detector/events"]
    assert tree["entry"].nxclass == "NXentry" and data.nxclass == "NXevent_data"
    np.testing.assert_array_equal(data["event_id"].nxdata, delivered(copies, "address"))
    np.testing.assert_array_equal(data["event_time_offset"].nxdata, delivered(copies, "toa"))
    assert data["event_time_offset"].attrs["units"] == "1.5625 ns"
    np.testing.assert_array_equal(data["event_index"].nxdata, np.arange(5) * 20000)
    with events.open_events(path) as f:  # chunk by chunk, in HDF5 chunks of 4096
        sizes = [len(c["event_id"]) for c in f.chunks()]
        assert sizes[:-1] == [4096] * (len(sizes) - 1) and sum(sizes) == 100000


@pytest.mark.parametrize("target,error,match", [("missing/run.h5", OSError, "cannot create the event file"),
                                                ("exists.h5", FileExistsError, "exists")])
def test_an_unusable_path_fails_before_any_acquisition(opened, tmp_path, target, error, match):
    (tmp_path / "exists.h5").write_bytes(b"keep me")
    with pytest.raises(error, match=match):
        events.EventWriter(tmp_path / target, "0:tpx3-dd-toa-tot", stages.ChunkQueue())
    assert (tmp_path / "exists.h5").read_bytes() == b"keep me"


def test_a_killed_writer_leaves_every_flushed_chunk(tmp_path):
    path = tmp_path / "killed.h5"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import sys, time
        from vrexsdk import events, simulator, stages, vrex
        model = simulator.model()
        model["devices"][0]["acquisition"].update(block_count=10**9, interval_s=0.01, hits=500)
        simulator.configure(model)
        d = vrex.Device(); d.open("usb:vrex-sim-0"); d.chip.selectMode("0:tpx3-dd-toa-tot")
        q = stages.ChunkQueue()
        w = events.EventWriter({str(path)!r}, "0:tpx3-dd-toa-tot", q)
        p = stages.Pipeline(d, [stages.Sink(q, chunk_events=2000)])
        w.start(p)
        d.acq.begin(p.channel)
        while w.flushed_blocks < 20:
            time.sleep(0.01)
        print(w.flushed_blocks, flush=True)
        time.sleep(60)
    """)], stdout=subprocess.PIPE, text=True)
    try:
        flushed = int(child.stdout.readline())
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL
    with events.open_events(path) as f:
        blocks, index = f.blocks()
        assert not f.complete and len(blocks) >= flushed
        assert blocks.tolist() == list(range(len(blocks)))
        ids = f.read()["event_id"]
        assert len(ids) >= index[flushed - 1] + 500 and os.path.getsize(path) > 0


def test_the_file_records_the_whole_set_up(opened, tmp_path):
    import json

    import h5py

    from vrexsdk import settings
    from vrexsdk.record import record
    opened.chip.setDacValue("Vfbk", 100)
    record(opened, "0:tpx3-dd-toa-tot", blocks=2, events=tmp_path / "run.h5")
    with h5py.File(tmp_path / "run.h5", "r") as f:
        saved = json.loads(f["entry/instrument/detector/settings"][()])
    assert saved == json.loads(json.dumps(settings.capture(opened)))
    assert saved["chip"]["dacs"]["Vfbk"] == 100


@pytest.mark.parametrize("compression", [None, "gzip"])
def test_each_flush_shows_every_value_so_far_and_the_file_ends_bit_exact(tmp_path, compression):
    # Appends of sizes that fit no chunk boundary, a flush after some: a reader sees all values at each flush
    # (the partial chunk at the end included), and the file ends bit-exact once that chunk was replaced whole.
    path = tmp_path / "run.h5"
    writer = events.EventWriter(path, "0:tpx3-seq-toa-tot", stages.ChunkQueue(), chunk_events=1024,
                                compression=compression)
    rng = np.random.default_rng(1)
    sent = []
    for number, size in enumerate([700, 1, 3000, 1024, 0, 5000, 333]):
        hits = {"address": rng.integers(0, 65536, size, dtype=np.uint32), "tot": rng.integers(0, 1024, size,
                dtype=np.uint32), "toa": rng.integers(0, 1 << 60, size, dtype=np.uint64)}
        writer.write({"blocks": np.array([number], np.uint64), "shutter": np.zeros(1, np.uint64),
                      "events": {"counts": np.array([size], np.uint64), **hits}})
        sent.append(hits["toa"])
        if number % 2:
            writer._flush()
            with events.open_hdf5(path) as f:
                group = f["entry/instrument/detector/events"]
                np.testing.assert_array_equal(group["event_time_offset"][()], np.concatenate(sent))
                assert group["block"][()].tolist() == list(range(number + 1))
    writer.start()
    writer.close()
    with events.open_events(path) as f:
        np.testing.assert_array_equal(f.read(columns=["event_time_offset"])["event_time_offset"],
                                      np.concatenate(sent))
        assert f.blocks()[1].tolist() == np.cumsum([0, 700, 1, 3000, 1024, 0, 5000]).tolist()
