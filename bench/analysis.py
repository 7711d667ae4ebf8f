"""Dask analysis of an event file larger than the workers' memory: scaling from one worker to two, and the
single-process rate of the same reductions beside it.

A recording of the simulated Timepix3 device ("0:tpx3-dd-toa-tot", 65,536-hit blocks) is written through the
native sink and the event writer to --folder (tmpfs by default), --gigabytes of hit records (16 bytes each).
Then, in the same run:

  floor     one process, no Dask: the file read chunk by chunk with h5py, a hit map and a ToT spectrum with
            np.bincount (the plain NumPy version of the same work), and the clusters with the streaming
            vrexsdk.clusters.Clusterer over the same chunks
  1 worker  vrexsdk.analysis on a LocalCluster of one worker process, memory limited to --memory MiB
  2 workers the same on two worker processes, each limited the same way

each computing the hit map, the ToT spectrum and the clusters (their count, which must equal the floor's) in one
go, and prints the rates in GB/s of event data, the parallel efficiency T(1) / (2 T(2)), and each worker's peak
resident memory against its limit (the recording is several times that limit, so a worker that held the file,
or a large part of it, would be stopped by Dask).

    PYTHONPATH=build/stage python bench/analysis.py [--gigabytes 1.5] [--memory 400] [--folder /dev/shm]
        [--no-clusters]
"""

import argparse
import os
import resource
import tempfile
import time

import numpy as np

from vrexsdk import analysis, clusters, events, simulator, stages, vrex
from vrexsdk.record import device_metadata


def write(path, gigabytes):
    hits = 65536
    blocks = max(1, int(gigabytes * 1e9 / 16 / hits))
    model = simulator.model()
    model["devices"][0]["acquisition"].update(block_count=blocks, hits=hits, interval_s=0.0)
    simulator.configure(model)
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        queue = stages.ChunkQueue(on_full="wait")
        writer = events.EventWriter(path, "0:tpx3-dd-toa-tot", queue, metadata=device_metadata(device),
                                    chunk_events=262144)
        pipe = stages.Pipeline(device, [stages.Sink(queue, chunk_events=262144)])
        writer.start(pipe)
        device.acq.begin(pipe.channel)
        device.acq.end(pipe.channel)
        writer.close()
    return blocks * hits


def floor(path, with_clusters):
    hit_map = np.zeros(65536, np.uint64)
    spectrum = np.zeros(1024, np.uint64)
    clusterer, found = clusters.Clusterer(), 0
    names = ["event_id", "time_over_threshold"] + (["event_time_offset"] if with_clusters else [])
    with events.open_events(path) as f:
        for chunk in f.chunks("events", names, size=1 << 20):
            ids = chunk["event_id"].astype(np.intp)
            hit_map += np.bincount(ids, minlength=65536).astype(np.uint64)
            tot = chunk["time_over_threshold"]
            spectrum += np.bincount(tot[tot < 1024].astype(np.intp), minlength=1024).astype(np.uint64)
            if with_clusters:
                hits = np.empty(len(ids), clusters.HIT_DTYPE)
                hits["address"], hits["toa"], hits["tot"] = ids, chunk["event_time_offset"], tot
                found += len(clusterer.push(hits))
    if with_clusters:
        found += len(clusterer.flush())
    return hit_map.reshape(256, 256), spectrum, found


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def on_cluster(path, workers, memory, with_clusters):
    import dask
    import distributed

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  memory_limit=memory, dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster) as client:
        ev = analysis.open(path)
        t0 = time.perf_counter()
        wanted = [ev.hit_map(), ev.spectrum(bins=1024)]
        if with_clusters:  # the count of each partition's clusters, summed: one delayed graph with the others
            wanted.append(dask.delayed(sum)([dask.delayed(len)(p) for p in ev.clusters().to_delayed()]))
        hit_map, (spectrum, _), *found = analysis.compute(*wanted)
        elapsed = time.perf_counter() - t0
        peaks = list(client.run(peak_rss).values())
    return elapsed, hit_map, spectrum, (found[0] if found else 0), peaks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gigabytes", type=float, default=1.5, help="size of the recording's hit records")
    parser.add_argument("--memory", type=int, default=500, help="memory limit of each worker, MiB")
    parser.add_argument("--folder", default="/dev/shm" if os.path.isdir("/dev/shm") else None)
    parser.add_argument("--no-clusters", action="store_true", help="hit map and spectrum only")
    args = parser.parse_args()
    with_clusters = not args.no_clusters

    with tempfile.TemporaryDirectory(dir=args.folder) as folder:
        path = os.path.join(folder, "bench.h5")
        n = write(path, args.gigabytes)
        size = os.path.getsize(path)
        gb = n * 16 / 1e9
        print(f"recording: {n:,} events, {gb:.2f} GB of hit records, file {size / 2**20:,.0f} MiB; "
              f"worker memory limit {args.memory} MiB ({size / (args.memory * 2**20):.1f}x smaller than the file)")
        t0 = time.perf_counter()
        want_map, want_spectrum, want_clusters = floor(path, with_clusters)
        t_floor = time.perf_counter() - t0
        work = "hit map, spectrum" + (f", {want_clusters:,} clusters" if with_clusters else "")
        print(f"floor (one process, h5py + np.bincount{' + Clusterer' if with_clusters else ''}; {work}): "
              f"{t_floor:6.2f} s  {gb / t_floor:5.2f} GB/s")
        times = {}
        for workers in (1, 2):
            elapsed, hit_map, spectrum, found, peaks = on_cluster(path, workers, args.memory * 2**20, with_clusters)
            assert np.array_equal(hit_map, want_map) and np.array_equal(spectrum, want_spectrum)
            assert found == want_clusters, (found, want_clusters)
            times[workers] = elapsed
            print(f"{workers} worker(s): {elapsed:6.2f} s  {gb / elapsed:5.2f} GB/s  ({t_floor / elapsed:.2f}x the "
                  f"floor); peak RSS per worker "
                  + ", ".join(f"{p / 2**20:.0f} MiB" for p in peaks) + f" (limit {args.memory} MiB)")
        print(f"parallel efficiency at 2 workers: {times[1] / (2 * times[2]):.2f}  (1.0 = perfect)")
        print(f"load average during the run: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
