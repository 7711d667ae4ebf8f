"""vrexsdk.clusters against a brute-force reference: every pair of hits compared, joined by union-find."""

import threading

import numpy as np
import pytest

from vrexsdk import clusters

HIT = clusters.HIT_DTYPE
WINDOW = 200  # ticks


def reference(hits, window=WINDOW, radius=1, width=256):
    """The clusters as sets of hit indices: connected components of 'neighbours and within the window'."""
    a, t = hits["address"].astype(np.int64), hits["toa"].astype(np.int64)
    x, y = a % width, a // width
    parent = list(range(len(hits)))

    def find(i):
        while parent[i] != i:
            i = parent[i]
        return i

    near = ((abs(x[:, None] - x[None, :]) <= radius) & (abs(y[:, None] - y[None, :]) <= radius)
            & (abs(t[:, None] - t[None, :]) <= window))
    for i, j in zip(*np.nonzero(near)):
        parent[find(i)] = find(j)
    groups = {}
    for i in range(len(hits)):
        groups.setdefault(find(i), []).append(i)
    return sorted(tuple(g) for g in groups.values())


def summary(hits, groups, width=256):
    """What a cluster record must say about each group, comparable whatever the order."""
    out = []
    for g in groups:
        h = hits[list(g)]
        x, y = h["address"] % width, h["address"] // width
        out.append((int(h["toa"].min()), int(np.ptp(h["toa"])), len(g), int(h["tot"].sum()),
                    int(x.min()), int(x.max()), int(y.min()), int(y.max())))
    return sorted(out)


def records(found):
    return sorted(zip(*(found[f].tolist() for f in
                        ("toa", "toa_spread", "size", "tot_sum", "x_min", "x_max", "y_min", "y_max"))))


def particles(count, seed, spacing=60, jitter=0, width=256):
    """Random walks of 1-8 pixels a few ticks apart, like charge sharing and short tracks; with `jitter`, hits are
    delivered out of ToA order by up to that many ticks."""
    rng = np.random.default_rng(seed)
    rows = []
    for k in range(count):
        x, y, t = rng.integers(0, width), rng.integers(0, 256), k * spacing + int(rng.integers(0, spacing))
        for _ in range(int(rng.integers(1, 9))):
            rows.append((y * width + x, int(rng.integers(1, 400)), t))
            x, y = np.clip(x + rng.integers(-1, 2), 0, width - 1), np.clip(y + rng.integers(-1, 2), 0, 255)
            t += int(rng.integers(0, 40))
    hits = np.array(rows, dtype=HIT)
    hits = hits[np.argsort(hits["toa"], kind="stable")]
    if jitter:
        hits = hits[np.argsort(hits["toa"] + rng.integers(0, jitter + 1, len(hits)), kind="stable")]
    return hits


def hits_of(*rows):
    return np.array([(y * 256 + x, tot, toa) for x, y, tot, toa in rows], dtype=HIT)


# Adversarial inputs: a chain whose two ends are far apart in time and join only through its middle; two arms that
# become one cluster only with their last hits; the matrix edges (x 255 and x 0 of the next row are not
# neighbours); one pixel firing twice within the window, and twice farther apart than the window with a neighbour
# between that joins both; hits in reverse order.
ADVERSARIAL = {
    "chain": hits_of(*((i, 5, 1, 150 * i) for i in range(40))),
    "late join": hits_of(*((10, i, 1, 10 * i) for i in range(20)), *((12, i, 1, 10 * i + 5) for i in range(20)),
                         (11, 19, 1, 400)),
    "edges": hits_of((255, 0, 3, 0), (0, 1, 3, 1), (255, 255, 2, 2), (254, 255, 2, 3), (0, 0, 1, 4), (0, 255, 1, 5)),
    "pixel twice": hits_of((5, 5, 1, 0), (5, 5, 2, 100), (5, 5, 4, 1000), (6, 6, 8, 1100), (5, 5, 9, 1250),
                           (6, 5, 3, 1500)),
    "reverse": hits_of(*((7, i % 3, 1, 1000 - 30 * i) for i in range(30))),
    # Chains of three hits, seconds of ToA apart: the grid's time base moves on many times, once within a chain.
    "epochs": hits_of(*((9 + i % 2, 4, 1, (i // 3) * 2**30 + (1 << 31) - 150 + 150 * (i % 3)) for i in range(30))),
}
RANDOM = {f"random {seed}": particles(300, seed, jitter=300 * (seed % 2)) for seed in range(4)}
FAR = particles(300, 5, jitter=300)
FAR["toa"] += 2**40  # a ToA counter that has run for half an hour
INPUTS = {**ADVERSARIAL, **RANDOM, "dense": particles(400, 9, spacing=3), "far from 0": FAR}


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize("radius", [1, 0, 2])
def test_cluster_is_the_reference(name, radius):
    hits = INPUTS[name]
    found, labels = clusters.cluster(hits, window_ticks=WINDOW, radius=radius, labels=True)
    groups = reference(hits, radius=radius)
    assert sorted(tuple(np.flatnonzero(labels == k)) for k in range(len(found))) == groups
    assert records(found) == summary(hits, groups)
    # Centroids and shape: each record against its own hits.
    for k, c in enumerate(found):
        h = hits[labels == k]
        x, y = h["address"] % 256, h["address"] // 256
        assert (c["x"], c["y"]) == pytest.approx((np.average(x, weights=h["tot"]), np.average(y, weights=h["tot"])))
        assert (c["x_mean"], c["y_mean"]) == pytest.approx((x.mean(), y.mean()))
        moments = np.linalg.eigvalsh(np.cov(x, y, bias=True).reshape(2, 2) + np.eye(2) / 12)
        assert c["elongation"] == pytest.approx(np.sqrt(moments[1] / moments[0]), rel=1e-5)


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize("cuts", [[0, 0, 1, 7, 7, 50, 500], list(range(0, 3000, 37))], ids=["ragged", "small"])
def test_stream_across_blocks_is_the_reference(name, cuts):
    hits = INPUTS[name]
    stream = clusters.Clusterer(window_ticks=WINDOW, jitter_ticks=1000)
    parts = [stream.push(block) for block in np.split(hits, [c for c in cuts if c <= len(hits)])]
    parts.append(stream.flush())
    found = np.concatenate(parts)
    assert stream.late == 0 and stream.hits == len(hits)
    assert records(found) == summary(hits, reference(hits))
    assert stream.open == stream.pending == 0


@pytest.mark.parametrize("width", [200, 512])  # a width that is not a power of two, and one that is but not 256
def test_other_matrix_widths_are_the_reference(width):
    hits = particles(300, 11, jitter=300, width=width)
    expected = summary(hits, reference(hits, width=width), width=width)
    found = clusters.cluster(hits, window_ticks=WINDOW, width=width, height=256)
    stream = clusters.Clusterer(window_ticks=WINDOW, jitter_ticks=1000, width=width, height=256)
    streamed = np.concatenate([stream.push(block) for block in np.array_split(hits, 7)] + [stream.flush()])
    assert records(found) == records(streamed) == expected


def test_blocks_of_thousands_come_out_in_order_of_first_hits():
    # Clusters finished while a long block is worked on come out where they would at the block's end.
    hits = particles(8000, 11, spacing=4, jitter=300)
    stream = clusters.Clusterer(window_ticks=WINDOW, jitter_ticks=1000)
    parts = [stream.push(block) for block in np.array_split(hits, 3)] + [stream.flush()]
    assert all((np.diff(part["toa"].astype(np.int64)) >= 0).all() for part in parts)
    assert records(np.concatenate(parts)) == records(clusters.cluster(hits, window_ticks=WINDOW, labels=True)[0])


@pytest.mark.parametrize("name", INPUTS)
@pytest.mark.parametrize("blocks", [7, 81])
def test_labelled_stream_labels_every_hit_as_cluster_does(name, blocks):
    # A hit outside the matrix between the others: in no cluster, and the labels after it still in order.
    hits = np.insert(INPUTS[name], len(INPUTS[name]) // 2, np.array([(1 << 20, 1, 0)], HIT))
    inside = hits["address"] < 65536
    values = np.arange(len(hits), dtype=np.float64)
    stream = clusters._Labelled(window_ticks=WINDOW, jitter_ticks=1000)
    parts = [stream.push(hits[c], values[c]) for c in np.array_split(np.arange(len(hits)), blocks)] + [stream.flush()]
    found, sums, labels = (np.concatenate([p[i] for p in parts]) for i in range(3))
    ref, ref_labels = clusters.cluster(hits[inside], window_ticks=WINDOW, labels=True)
    assert stream.outside == 1 and stream.unlabelled == 0 and labels[~inside].tolist() == [-1]
    assert np.array_equal(found[labels[inside]], ref[ref_labels])
    np.testing.assert_allclose(sums, np.bincount(labels[inside], values[inside], len(found)))


@pytest.mark.parametrize("window", [2**30, 2**62])
def test_windows_of_seconds_are_exact(window):
    # Hits 2^29 to 2^31 ticks (0.8 to 3.4 s) apart on neighbouring pixels: chained by a long window, apart otherwise.
    hits = hits_of(*((5 + i % 2, 5, 1, sum(2**29 * (1 + i % 3) for i in range(k))) for k, i in enumerate(range(12))))
    found, labels = clusters.cluster(hits, window_ticks=window, labels=True)
    assert sorted(tuple(np.flatnonzero(labels == k)) for k in range(len(found))) == reference(hits, window=window)


def test_late_hits_are_counted_and_kept():
    stream = clusters.Clusterer(window_ticks=10, jitter_ticks=5)
    first = stream.push(hits_of((1, 1, 1, 100), (9, 9, 1, 103)))
    second = stream.push(hits_of((1, 2, 1, 104), (40, 40, 1, 50)))  # 104 joins 100; 50 is below what was closed
    rest = stream.flush()
    assert stream.late == 1
    assert sorted(np.concatenate([first, second, rest])["size"].tolist()) == [1, 1, 2]


def test_state_stays_bounded():
    stream = clusters.Clusterer(window_ticks=WINDOW, jitter_ticks=300)
    peaks = []
    for block in range(60):
        hits = particles(500, block, jitter=300)
        hits["toa"] += block * 500 * 60
        stream.push(hits)
        peaks.append(stream.open + stream.pending)
    assert max(peaks[30:]) <= 2 * max(peaks[:10]) and max(peaks) < 500


def test_empty_blocks_and_arrays():
    stream = clusters.Clusterer()
    assert len(stream.push(np.empty(0))) == len(stream.push(np.empty(0, HIT))) == len(stream.flush()) == 0
    found, labels = clusters.cluster(np.empty(0), labels=True)
    assert found.dtype == clusters.CLUSTER_DTYPE and len(found) == len(labels) == 0


def test_window_in_ns_and_ticks():
    hits = hits_of((0, 0, 1, 0), (1, 0, 1, 64))  # 100 ns apart
    assert len(clusters.cluster(hits, window_ns=100)) == 1 == len(clusters.cluster(hits, window_ticks=64))
    assert len(clusters.cluster(hits, window_ns=99)) == 2
    stream = clusters.Clusterer(window_ns=clusters.TICK_NS * 7, radius=2)
    assert stream.window_ticks == 7
    assert repr(stream) == "Clusterer(window_ticks=7, jitter_ticks=64000, radius=2, width=256, height=256)"
    assert repr(eval(repr(stream), vars(clusters))) == repr(stream)


@pytest.mark.parametrize("call, error", [
    (lambda: clusters.cluster([(0, 1, 2)]), TypeError),
    (lambda: clusters.cluster(np.zeros((2, 2), HIT)), ValueError),
    (lambda: clusters.cluster(np.zeros(3, "u8")), TypeError),
    (lambda: clusters.cluster(np.zeros(3, ">u4, >u4, >u8")), TypeError),
    (lambda: clusters.cluster(np.array([(65536, 1, 0)], HIT)), ValueError),
    (lambda: clusters.cluster(np.zeros(1, HIT), window_ns=1, window_ticks=1), TypeError),
    (lambda: clusters.cluster(np.zeros(1, HIT), window_ns=float("nan")), ValueError),
    (lambda: clusters.cluster(np.zeros(1, HIT), window_ns=-1), ValueError),
    (lambda: clusters.cluster(np.zeros(1, HIT), window_ticks=-1), OverflowError),
    (lambda: clusters.cluster(np.zeros(1, HIT), radius=17), ValueError),
    (lambda: clusters.cluster(np.zeros(1, HIT), radius=1.5), TypeError),
    (lambda: clusters.cluster(np.zeros(1, HIT), radius=True), TypeError),
    (lambda: clusters.Clusterer(window_ns=True), TypeError),
    (lambda: clusters.Clusterer(jitter_ticks=False), TypeError),
    (lambda: clusters.Clusterer(jitter_ns=1e30), ValueError),
    (lambda: clusters.Clusterer(width=0), ValueError),
    (lambda: clusters.Clusterer(height=2**70), ValueError),
    (lambda: clusters.Clusterer().push(np.array([(1 << 31, 0, 0)], HIT)), ValueError),
    (lambda: __import__("pickle").dumps(clusters.Clusterer()), TypeError),
])
def test_bad_input_raises(call, error):
    with pytest.raises(error):
        call()


def test_strided_input_and_refused_block_leave_the_stream_intact():
    hits = particles(50, 3)
    stream = clusters.Clusterer(window_ticks=WINDOW)
    with pytest.raises(ValueError):
        stream.push(np.array([(0, 1, 0), (70000, 1, 1)], HIT))
    parts = [stream.push(np.repeat(hits, 2)[::2]), stream.flush()]
    assert records(np.concatenate(parts)) == summary(hits, reference(hits))


@pytest.mark.parametrize("order", ["sorted", "unsorted"])
@pytest.mark.parametrize("call", [
    lambda h: clusters.cluster(h, labels=True),
    lambda h: (clusters.Clusterer().push(h), clusters.Clusterer(jitter_ticks=0).push(h)),
    lambda h: clusters._Labelled().push(h),
], ids=["cluster", "Clusterer", "labelled"])
def test_hits_written_by_another_thread_meanwhile_never_crash(call, order):
    # The GIL is released while the hits are clustered: another thread writing addresses outside the matrix and
    # ToAs out of order into the array may change the outcome (or be refused), never the memory the kernel touches.
    rng = np.random.default_rng(5)
    hits = np.zeros(400_000, HIT)
    hits["toa"] = rng.integers(0, 10**8, len(hits))
    if order == "sorted":
        hits.sort(order="toa")
    address, toa, stop = hits["address"], hits["toa"], threading.Event()

    def write():
        while not stop.is_set():
            at = rng.integers(0, len(hits), 500)
            address[at], toa[at] = 4_000_000_000, rng.integers(0, 10**8, 500)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(8):
            address[:] = rng.integers(0, 65536, len(hits))
            try:
                call(hits)
            except (ValueError, RuntimeError):
                pass
    finally:
        stop.set()
        writer.join()



@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-seq-toa-tot-vec"])
def test_clusters_stage_counts_every_hit_once(mode):
    from vrexsdk import stages, vrex

    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode(mode)
        with stages.Pipeline(device, [stages.Clusters(size_bins=64)]) as pipe:
            device.acq.begin(pipe.channel)
            device.acq.end(pipe.channel)
        snap = pipe.snapshot()
    c = snap["clusters"]
    assert c["size_overflow"] == c["late"] == c["open"] == c["pending"] == 0
    assert int((c["size_counts"] * np.arange(len(c["size_counts"]))).sum()) == snap.hits == c["hits"] > 0
    assert c["size_counts"].sum() == c["energy_counts"].sum() + c["energy_overflow"] == c["clusters"]

def exact_share(particle, labels, among=None):
    """Share of true particles (of those `among` selects by index, all by default) recovered as exactly one
    cluster holding no other particle (noise hits aside)."""
    real = particle >= 0
    pairs = np.unique(np.stack([particle[real], labels[real]]), axis=1)
    clusters_of, particles_in = np.bincount(pairs[0]), np.bincount(pairs[1])
    whole = np.zeros(len(clusters_of), bool)
    whole[pairs[0][(clusters_of[pairs[0]] == 1) & (particles_in[pairs[1]] == 1)]] = True
    chosen = clusters_of > 0 if among is None else (clusters_of > 0) & among
    return whole[chosen].mean()


def recoverable(hits, particle, **settings):
    """Per true particle (by index): whether its own hits, clustered alone with `settings`, are one cluster. A
    track through a dead pixel, or an electron leaving the matrix and coming back, leaves two groups of hits
    that no clusterer joins at that radius: such a particle is not recoverable, whatever the clusterer."""
    real = np.flatnonzero(particle >= 0)
    ids, toa = particle[real], hits["toa"][real].astype(np.int64)
    first = np.full(ids.max() + 1, np.iinfo(np.int64).max)
    np.minimum.at(first, ids, toa)
    alone = hits[real].copy()
    alone["toa"] = ids * (1 << 24) + toa - first[ids]  # each particle far from every other in time
    order = np.argsort(alone["toa"], kind="stable")
    _, labels = clusters.cluster(alone[order], labels=True, **settings)
    pairs = np.unique(np.stack([ids[order], labels]), axis=1)
    return np.bincount(pairs[0], minlength=len(first)) == 1


@pytest.mark.parametrize("dead", [None, 0.0])
@pytest.mark.parametrize("radius", [1, 2])
def test_simulated_particles_apart_are_found_whole(radius, dead):
    from vrexsdk import simulator

    if dead is not None:
        simulator.configure({"devices": [{"acquisition": {"dead_pixels": dead}}]})
    hits, particle = simulator.generate_hits(100_000, seed=3, overlap=False,
                                             particles={"photon": 1, "electron": 1, "mip": 1, "alpha": 1})
    _, labels = clusters.cluster(hits, labels=True, radius=radius)
    # Tracks are continuous, but a dead pixel cuts one in two (bridged from radius 2 on): counted are the
    # particles whose own hits are one cluster, and most are; without dead pixels, nearly all particles.
    whole = recoverable(hits, particle, radius=radius)
    assert exact_share(particle, labels, whole) >= 0.999 and whole.mean() > 0.99
    if dead == 0.0:
        assert exact_share(particle, labels) >= 0.999
