"""What the simulated detector's generated data cost, beside floors measured in the same run.

- Generation: simulator.generate_hits() of 64k-hit blocks (particles, per-pixel ToT, time-walk, read-out order),
  of the model's photons and of mixed particles (photons, electrons, straight tracks, alphas), against NumPy
  drawing the same three fields at random and sorting them by ToA (the least a generator does).
- Delivery from a pool: a run whose `pool` blocks are prepared at begin and delivered in turn (their ToA moved on
  every pass) against a burst of one prepared block (the engine's delivery) plus NumPy moving one block's ToA on
  (the floor of the same work), all into a callable that only counts.

Run: PYTHONPATH=build/stage python bench/generator.py [--rounds 5]
"""
import argparse
import os
import time

import numpy as np

from vrexsdk import simulator, vrex

HITS = 65536


def best(func, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        func()
        times.append(time.perf_counter() - t)
    return min(times)


def numpy_floor():
    rng = np.random.default_rng(1)
    out = np.empty(HITS, dtype=[("address", "<u4"), ("tot", "<u4"), ("toa", "<u8")])
    out["address"] = rng.integers(0, 65536, HITS)
    out["tot"] = rng.integers(1, 1024, HITS)
    out["toa"] = rng.integers(0, 2**24, HITS)
    return out[np.argsort(out["toa"], kind="stable")]


def delivery(acquisition, blocks):
    simulator.configure({"devices": [{"acquisition": acquisition}]})
    with vrex.Device() as device:
        device.open(device.enumerate()[0].connectionString)
        device.chip.selectMode("0:tpx3-dd-toa-tot")
        count = [0]

        def counted(records, meta):
            count[0] += 1

        device.acq.setDataCallback("ch0", counted)
        t = time.perf_counter()
        device.acq.begin("ch0")
        device.acq.end("ch0")
        elapsed = time.perf_counter() - t
        assert count[0] == blocks, count[0]
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--blocks", type=int, default=200000, help="deliveries per run (default 200000)")
    parser.add_argument("--pool", type=int, default=16, help="blocks in the pool (default 16)")
    parser.add_argument("--generation", action="store_true", help="only the generation figures")
    options = parser.parse_args()
    simulator.reset()
    simulator.generate_hits(1000)  # the pixel table is built once, outside the timing
    gen = best(lambda: simulator.generate_hits(HITS, seed=1), options.rounds)
    floor = best(numpy_floor, options.rounds)
    print(f"# load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; best of {options.rounds} rounds")
    print(f"generate_hits, 64k hits/block:      {HITS / gen / 1e6:8.2f} Mhits/s")
    print(f"NumPy random fields + sort (floor): {HITS / floor / 1e6:8.2f} Mhits/s   ratio {gen / floor:5.2f}")
    # Photons, electrons, straight tracks and alphas alike: the tracks walk their pixels, the blobs are large.
    mix = {"photon": 1, "electron": 1, "mip": 1, "alpha": 1}
    mixed = best(lambda: simulator.generate_hits(HITS, seed=1, particles=mix), options.rounds)
    print(f"generate_hits, mixed particles:     {HITS / mixed / 1e6:8.2f} Mhits/s   ratio {mixed / floor:5.2f}")
    if options.generation:
        return
    # Per delivery: the difference of a long and a short run over the difference of their deliveries, so what a
    # run costs once (its thread, the pool's preparation) drops out.
    def per_delivery(extra, short):
        run = lambda blocks: min(delivery({"hits": HITS, "seed": 1, "block_count": 1, "burst": blocks, **extra},
                                          blocks) for _ in range(options.rounds))
        return (run(options.blocks) - run(short)) / (options.blocks - short)

    one = per_delivery({}, 1)
    pooled = per_delivery({"pool": options.pool}, options.pool)
    # The plain NumPy version of what a pooled delivery adds: moving the ToA of one block's records on, over as many
    # blocks as the pool holds (so the records are no more in cache than the pool's are).
    pool_records = [numpy_floor() for _ in range(options.pool)]

    def shift_all():
        for r in pool_records:
            r["toa"] += 1

    shift = best(shift_all, options.rounds) / options.pool
    print(f"delivery of one prepared block:      {HITS / one / 1e6:8.1f} Mhits/s")
    print(f"NumPy ToA shift of a block (floor):  {HITS / shift / 1e6:8.1f} Mhits/s")
    print(f"pool of {options.pool} blocks, time moving on: {HITS / pooled / 1e6:8.1f} Mhits/s   "
          f"ratio to delivery + shift {pooled / (one + shift):5.2f}")
    simulator.reset()


if __name__ == "__main__":
    main()
