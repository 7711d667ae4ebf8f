"""Dask analysis of event files: every reduction equals the same computation on the events held in memory, on
the threaded scheduler and on a LocalCluster of two worker processes; a worker killed mid-way changes nothing;
a damaged file is named with the events that cannot be read."""
import os
import shutil
import signal

import numpy as np
import pytest

from vrexsdk import analysis, events, simulator, vrex
from vrexsdk.record import record

distributed = pytest.importorskip("distributed")  # installed by the test extra: this runs in CI


def write_recording(path, seed, blocks=24, hits=3000, compression=None):
    model = simulator.model()
    model["devices"][0]["acquisition"].update(block_count=blocks, hits=hits, seed=seed, interval_s=0.0)
    simulator.configure(model)
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        record(device, "0:tpx3-dd-toa-tot", events=path, compression=compression, chunk_events=4096,
               on_full="wait")
    return path


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    simulator.reset()
    folder = tmp_path_factory.mktemp("runs")
    made = [str(write_recording(folder / f"run{i}.h5", seed=i + 1)) for i in range(2)]
    simulator.reset()
    return made


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as c, distributed.Client(c) as client:
        yield client


def in_memory(paths):
    parts = [events.open_events(p).read("events") for p in paths]
    return {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}


def reference(ev, roi=None, seconds=None, tick=1.5625e-9):
    ids, toa, tot = ev["event_id"], ev["event_time_offset"], ev["time_over_threshold"]
    keep = np.ones(len(ids), bool)
    if roi:
        x, y = ids % 256, ids // 256
        keep &= (x >= roi[0]) & (x < roi[1]) & (y >= roi[2]) & (y < roi[3])
    if seconds:
        keep &= (toa >= np.ceil(seconds[0] / tick)) & (toa < np.ceil(seconds[1] / tick))
    hit_map = np.zeros(65536, np.uint64)
    np.add.at(hit_map, ids[keep], 1)
    spectrum = np.bincount(tot[keep], minlength=256)[:256]  # ToT 256 and above overflow, as in the live view
    return hit_map.reshape(256, 256), spectrum


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
@pytest.mark.parametrize("roi, seconds", [(None, None), ((10, 200, 30, 90), None), (None, (0.0, 2e-4)),
                                          ((0, 128, 0, 256), (1e-5, 1.0))])
def test_reductions_equal_the_in_memory_computation(files, request, scheduler, roi, seconds):
    if scheduler == "cluster":
        request.getfixturevalue("cluster")  # the Client in force makes Dask compute there
    ev = analysis.open(files, partition_events=8192)
    assert len(ev.partitions) > 2 * len(files)  # several partitions per file, edges inside blocks
    sel = ev.select(roi=roi, seconds=seconds)
    hit_map, (spectrum, edges) = analysis.compute(sel.hit_map(), sel.spectrum(bins=256),
                                                  **({"scheduler": "threads"} if scheduler == "threads" else {}))
    want_map, want_spectrum = reference(in_memory(files), roi, seconds)
    np.testing.assert_array_equal(hit_map, want_map)
    np.testing.assert_array_equal(spectrum, want_spectrum)
    assert hit_map.sum() > 0 and len(edges) == 257
    frame = sel.to_dataframe().compute()
    assert len(frame) == want_map.sum()


def test_toa_histogram_covers_every_event(files):
    ev = analysis.open(files[0], partition_events=8192)
    counts, edges = ev.toa_histogram(bins=100).compute(scheduler="threads")
    assert counts.sum() == len(ev) and edges[0] <= edges[-1]


def test_a_killed_worker_is_recovered_with_the_same_result(files, cluster):
    ev = analysis.open(files, partition_events=4096)
    future = cluster.compute(ev.hit_map())
    pid = next(iter(cluster.run(os.getpid).values()))
    os.kill(pid, signal.SIGKILL)  # the nanny starts a new worker; Dask reruns the tasks the dead one held
    np.testing.assert_array_equal(future.result(timeout=120), reference(in_memory(files))[0])


def test_damaged_files_are_named(files, tmp_path):
    junk = tmp_path / "junk.h5"
    junk.write_bytes(b"\x89HDF\r\n\x1a\n" + bytes(64))
    with pytest.raises(OSError, match=r"junk\.h5"):
        analysis.open(junk)

    cut = tmp_path / "cut.h5"  # a complete file's first part, as a transfer cut off leaves it
    cut.write_bytes(open(files[0], "rb").read()[:200_000])
    with pytest.raises(analysis.EventFileError, match=r"cut\.h5"):  # at once, not waiting for what is missing
        analysis.open(cut)

    bad = write_recording(tmp_path / "bad.h5", seed=5, compression="gzip")
    import h5py
    with h5py.File(bad, "r") as f:
        info = f["entry/instrument/detector/events/event_id"].id.get_chunk_info(1)
    with open(bad, "r+b") as f:  # scramble the second compressed chunk of the pixel addresses
        f.seek(info.byte_offset)
        f.write(b"\xff" * info.size)
    simulator.reset()
    with pytest.raises(analysis.EventFileError, match=r"bad\.h5: events 4096 to 8192"):
        analysis.open(bad, partition_events=4096).hit_map().compute(scheduler="sync")


def test_bad_arguments(files):
    ev = analysis.open(files)
    for call, match in [(lambda: ev.select(roi=(0, 300, 0, 10)), "roi"), (lambda: ev.select(seconds=(2, 1)), "seconds"),
                        (lambda: ev.histogram("energy", 10, (0, 1)), "column"),
                        (lambda: ev.histogram("tot", 0, (0, 1)), "bins"),
                        (lambda: analysis.open([]), "no event files"),
                        (lambda: analysis.open(files, partition_events=0), "partition_events")]:
        with pytest.raises(ValueError, match=match):
            call()
    with pytest.raises(FileNotFoundError, match="missing.h5"):
        analysis.open("missing.h5")


def test_clusters_across_partition_edges_are_found_once(files, cluster):
    from vrexsdk import clusters
    ev = analysis.open(files, partition_events=4096)  # edges every 4,096 hits, many inside clusters
    got = ev.clusters().compute().sort_values(["toa", "x_min", "y_min"]).reset_index(drop=True)
    want = []
    for path in files:
        e = events.open_events(path).read("events")
        hits = np.empty(len(e["event_id"]), clusters.HIT_DTYPE)
        hits["address"], hits["toa"], hits["tot"] = e["event_id"], e["event_time_offset"], e["time_over_threshold"]
        want.append(clusters.cluster(hits))
    want = np.concatenate(want)
    want = want[np.lexsort((want["y_min"], want["x_min"], want["toa"]))]
    assert len(got) == len(want) and got["size"].sum() == sum(len(events.open_events(p).read("events")["event_id"])
                                                              for p in files)
    for name in want.dtype.names:
        np.testing.assert_allclose(got[name].to_numpy(), want[name], rtol=1e-6, err_msg=name)


@pytest.mark.parametrize("scheduler", ["threads", "cluster"])
def test_calibrated_energies_equal_the_in_memory_computation(files, request, scheduler):
    from vrexsdk import calibration, clusters
    if scheduler == "cluster":
        request.getfixturevalue("cluster")
    rng = np.random.default_rng(3)
    flags = np.zeros((256, 256), np.uint8)
    flags[:, :3] = calibration.DEAD  # hits there have no energy: counted apart, NaN cluster energies
    cal = calibration.Calibration(*(rng.normal(m, s, (256, 256)).astype(np.float32)
                                    for m, s in ((1.6, 0.05), (22, 2), (35, 5), (3.2, 0.1))), flags=flags)
    sel = analysis.open(files, partition_events=4096).select(roi=(0, 200, 0, 256))
    kw = {"scheduler": "threads"} if scheduler == "threads" else {}
    spectrum, = analysis.compute(sel.energy_spectrum(cal, bins=200, range=(0, 50)), **kw)
    found = sel.clusters(calibration=cal).compute(**kw)
    per_file = []  # the selected hits of each file (a cluster never spans two files)
    for path in files:
        e = events.open_events(path).read("events")
        keep = e["event_id"] % 256 < 200
        hits = np.empty(int(keep.sum()), clusters.HIT_DTYPE)
        hits["address"], hits["toa"], hits["tot"] = (e[k][keep] for k in ("event_id", "event_time_offset",
                                                                            "time_over_threshold"))
        per_file.append(hits)
    want = cal.spectrum(np.concatenate(per_file), bins=200, range=(0, 50))
    np.testing.assert_array_equal(spectrum.counts, want.counts)
    assert (spectrum.underflow, spectrum.overflow, spectrum.uncalibrated) == \
        (want.underflow, want.overflow, want.uncalibrated) and want.uncalibrated > 0
    energies = np.concatenate([cal.cluster_energies(h, clusters.cluster(h, labels=True)[1]) for h in per_file])
    assert np.isnan(energies).any() and not np.isnan(energies).all()
    np.testing.assert_allclose(np.sort(found["energy"].to_numpy()), np.sort(energies), rtol=1e-6)


@pytest.mark.parametrize("extra, status, expect", [
    (["--roi", "0", "128", "0", "256", "--seconds", "0", "1", "-q", "--scheduler", "sync"], 0, "pixels hit"),
    (["--roi", "0", "300", "0", "1"], 2, "roi must be"),
    (["--scheduler", "tcp://127.0.0.1:9"], 1, "cannot reach the Dask scheduler"),
    (["--energy", "kev.csv"], 2, "--energy needs --calibration"),
    (["--calibration", "CAL", "--energy", "kev.csv", "--clusters", "c.csv", "--scheduler", "sync", "-q"], 0,
     "without an energy"),
])
def test_the_command_line(files, tmp_path, cli, extra, status, expect):
    out = tmp_path / "tot.csv"
    if "CAL" in extra:
        from vrexsdk import calibration
        calibration.Calibration.uniform(1.6, 22.0, 35.0, 3.2).save(tmp_path / "cal.npz")
    extra = [{"CAL": tmp_path / "cal.npz"}.get(a, tmp_path / a if a.endswith(".csv") else a) for a in extra]
    code, stdout, stderr = cli("analyse", *files, "--spectrum", out, "--bins", 64, *extra)
    assert code == status and expect in stdout + stderr
    if status == 0:
        for name in ("tot.csv", "kev.csv") if "--energy" in extra else ("tot.csv",):
            rows = (tmp_path / name).read_text().splitlines()
            assert rows[0] == "low_edge,counts" and len(rows) == 65
        if "--clusters" in extra:
            assert "energy" in (tmp_path / "c.csv").read_text().splitlines()[0]


def test_the_command_line_names_a_damaged_file(tmp_path, cli):
    bad = tmp_path / "bad.h5"
    bad.write_bytes(b"not HDF5")
    code, _, stderr = cli("analyse", bad)
    assert code == 1 and "bad.h5" in stderr
