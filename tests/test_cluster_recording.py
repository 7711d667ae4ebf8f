"""Clusters in recordings, event files and the command line: each equals clusters.cluster() over the same hits."""

import dataclasses

import numpy as np
import pytest

from vrexsdk import calibration, clusters, events, simulator, stages, vrex
from vrexsdk.record import load, record

from test_clusters import particles

# One curve for every pixel, a column without calibration: clusters touching it have no energy.
FLAGS = np.zeros((256, 256), np.uint8)
FLAGS[:, 7] = calibration.DEAD
CAL = calibration.Calibration(1.6, 25.0, 120.0, 2.0, flags=FLAGS)
HISTOGRAMS = ("cluster_size_histogram", "cluster_energy_histogram", "cluster_energy_spectrum", "energy_spectrum")


def file_hits(f):
    ev = f.read("events")
    hits = np.zeros(len(ev["event_id"]), clusters.HIT_DTYPE)
    hits["address"], hits["toa"], hits["tot"] = ev["event_id"], ev["event_time_offset"], ev["time_over_threshold"]
    return hits


def per_acquisition(hits):
    """cluster() of each acquisition's hits (each starts its ToA again), numbered on as the file numbers them."""
    starts = np.flatnonzero(np.diff(hits["toa"].astype(np.int64)) < -4096) + 1  # far beyond the 300 of jitter
    found, labels = [], []
    for part in np.split(hits, starts):
        c, lab = clusters.cluster(part, labels=True)
        labels.append(lab + sum(len(f) for f in found))
        found.append(c)
    return np.concatenate(found), np.concatenate(labels), len(starts) + 1


def script(mode, blocks=12):
    """Particles a few ticks apart, out of order by up to 300 ticks, cut into blocks wherever the cut falls: many
    clusters span two blocks, and two writer's chunks (four blocks each)."""
    hits = particles(600, 5, jitter=300)
    parts = np.array_split(hits, blocks)
    made = [{"vectors": {"addresses": p["address"].tolist(), "toa": p["toa"].tolist(), "tot": p["tot"].tolist()}}
            if mode.endswith("-vec") else {"records": [list(r) for r in p.tolist()]} for p in parts]
    model = simulator.model()
    model["devices"][0]["acquisition"].update(blocks=made)
    simulator.configure(model)
    return np.cumsum([len(p) for p in parts])


@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-seq-toa-tot-vec"])
@pytest.mark.parametrize("acquisitions, cal", [(1, None), (3, CAL)], ids=["one acquisition", "three, calibrated"])
def test_recorded_clusters_are_those_of_the_hits(tmp_path, mode, acquisitions, cal):
    ends = script(mode)
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        rec = record(device, mode, blocks=12 * acquisitions, clusters=True, calibration=cal, cluster_labels=True,
                     events=tmp_path / "run.h5", chunk_events=1024, energy_range=(0.0, 400.0))
    with events.open_events(tmp_path / "run.h5") as f:
        hits, found, labels, kev = file_hits(f), f.clusters(), f.cluster_labels(), f.cluster_energies()
        closing = {name: f.histogram(name) for name in HISTOGRAMS}
        assert f.cluster_count == rec.clusters
    # The reductions written at close are the recording's, bins, edges and overflows alike.
    for name, h in closing.items():
        kept = getattr(rec, name)
        assert (h is None) == (kept is None)
        if h is not None:
            assert type(h) is type(kept)
            assert all(np.array_equal(getattr(h, f.name), getattr(kept, f.name)) for f in dataclasses.fields(h))
    ref, ref_labels, made = per_acquisition(hits)
    assert made == rec.metadata["acquisitions"] == acquisitions
    # The same clusters, each hit in the same one, also those across blocks.
    assert np.array_equal(np.sort(found), np.sort(ref)) and len(labels) == len(hits)
    assert np.array_equal(found[labels], ref[ref_labels])
    assert sum(bool(np.intersect1d(labels[:e], labels[e:ends[-1]]).size) for e in ends[:-1]) >= 3
    rec.save(tmp_path / "rec.h5")
    rec.save(tmp_path / "rec.npz")
    for r in (rec, load(tmp_path / "rec.h5"), load(tmp_path / "rec.npz")):
        assert r.clusters == len(ref)
        np.testing.assert_array_equal(r.cluster_size_histogram.counts[1:], np.bincount(ref["size"], minlength=257)[1:257])
        width = r.cluster_energy_histogram.bin_width
        assert r.cluster_energy_histogram.total == len(ref)
        np.testing.assert_array_equal(r.cluster_energy_histogram.counts,
                                      np.bincount((ref["tot_sum"] // width).astype(np.intp), minlength=1000)[:1000])
        if cal is None:
            assert kev is None and r.cluster_energy_spectrum is None
            continue
        # keV sums are the sums of the calibrated hit energies; a hit without calibration leaves its cluster NaN.
        np.testing.assert_allclose(kev, cal.cluster_energies(hits, labels), rtol=1e-9)
        e = r.cluster_energy_spectrum
        assert e.uncalibrated == np.isnan(kev).sum() > 0
        np.testing.assert_array_equal(e.counts, np.histogram(kev[~np.isnan(kev)].astype(np.float32), e.edges)[0])


def test_a_quiet_queue_leaves_clusters_open():
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        pipe = stages.Pipeline(device, [stages.Clusters()])
        device.acq.begin(pipe.channel)
        device.acq.end(pipe.channel)
        held = [pipe.snapshot()["clusters"]]
        pipe.flush(partial=True)  # what an event writer does when its queue is quiet
        held.append(pipe.snapshot()["clusters"])
        pipe.flush()
        held.append(pipe.snapshot()["clusters"])
    assert [c["open"] + c["pending"] > 0 for c in held] == [True, True, False]
    assert held[0]["clusters"] == held[1]["clusters"] < held[2]["clusters"]


@pytest.mark.parametrize("settings, error", [
    ({"clusters": "yes"}, TypeError),
    ({"clusters": True, "raw": True}, ValueError),
    ({"clusters": True, "mode": "0:tpx3-seq-itot-event"}, ValueError),
    ({"cluster_labels": True}, ValueError),
    ({"clusters": True, "cluster_labels": True}, ValueError),  # labels live in an event file
])
def test_record_refuses_clusters_it_cannot_make(settings, error):
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        with pytest.raises(error):
            record(device, settings.pop("mode", "0:tpx3-dd-toa-tot"), blocks=1, **settings)


@pytest.mark.parametrize("argv, status, printed", [
    (["--clusters", "--cluster-window-ns", "500", "--cluster-radius", "2", "--cluster-labels"], 0, "clusters, "),
    (["--cluster-radius", "2"], 2, "--cluster-radius needs --clusters"),
    (["--clusters", "--cluster-labels", "--no-events"], 2, "--cluster-labels needs --events"),
    (["--clusters", "--cluster-radius", "17"], 2, "must be from 0 to 16"),
    (["--clusters", "--mode", "0:tpx3-seq-itot-event"], 2, "clusters are made of ToA/ToT hits"),
])
def test_acquire_clusters(tmp_path, cli, argv, status, printed):
    from PIL import Image

    events_args = [] if "--no-events" in argv else ["--events", tmp_path / "run.h5"]
    argv = [a for a in argv if a != "--no-events"]
    mode = [] if "--mode" in argv else ["--mode", "0:tpx3-dd-toa-tot"]
    got, out, err = cli("acquire", *mode, "--blocks", "5", "-q", "-o", tmp_path / "run.npz",
                        "--png", tmp_path / "run.png", *events_args, *argv)
    assert got == status and printed in out + err
    if status:
        return
    rec = load(tmp_path / "run.npz")
    with events.open_events(tmp_path / "run.h5") as f:
        hits, found, labels = file_hits(f), f.clusters(), f.cluster_labels()
    ref, ref_labels = clusters.cluster(hits, window_ns=500, radius=2, labels=True)
    assert rec.clusters == len(ref) == len(found) and np.array_equal(found[labels], ref[ref_labels])
    assert rec.metadata["clusters"]["radius"] == 2
    with Image.open(tmp_path / "run.png") as image:
        assert image.height > 256  # the cluster histograms under the hit map
