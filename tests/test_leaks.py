"""Calls repeated on their success and error paths leave no references, objects or memory behind.

VREX_LEAK_CALLS sets the calls per check (2,000 here; the long run uses 100,000)."""
import gc
import os
import sys
import tracemalloc

import pytest

from vrexsdk import errors

CALLS = int(os.environ.get("VREX_LEAK_CALLS", "2000"))

# (Device attribute or None, method, arguments, SDK function whose injected failure the error path uses)
METHODS = [
    (None, "isOpened", (), "vrex_dev_is_opened"),
    ("chip", "getDacValue", ("Vfbk",), "vrex_chip_dac_value_get"),
    ("chip", "setDacValue", ("Vfbk", 10), "vrex_chip_dac_value_set"),
    ("chip", "getDacLimits", ("Vfbk",), "vrex_chip_dac_limits"),
    ("chip", "getThreshold", ("THL0",), "vrex_chip_threshold_get"),
    ("chip", "getChipIds", (), "vrex_chip_id"),
    ("chip", "selectMode", ("0:tpx3-dd-toa-tot",), "vrex_chip_mode_select"),
    ("acq", "getChannelIds", (), "vrex_acq_ch_count"),
    ("cooling", "getLimits", ("peltier",), "vrex_cooling_limits"),
    ("board", "isPowered", ("readout",), "vrex_board_is_powered"),
    ("trigger", "selectMode", ("internal",), "vrex_trigger_mode_select"),
    ("lockstep", "selectOption", ("none",), "vrex_lockstep_option_select"),
    ("revisions", "get", (), "vrex_revisions_string"),
    ("props", "getUsbVidPid", (), "vrex_dev_prop_usb_get_vid_pid"),
    ("props", "getSerialNumber", (), "vrex_dev_prop_get_serial_number"),
    ("axi", "read", (0,), "vrex_axi_read"),
    ("config", "getMaskSize", (), "vrex_get_pixel_mask_size"),
    ("config", "getMask", (), "vrex_get_pixel_mask"),
    ("vault", "getIds", (), "vrex_flash_count"),
    ("vault", "selectMemory", ("config",), "vrex_flash_regions"),
]


def expect_growth_within(call, *, objects=64, traced=128 * 1024, calls=CALLS, warm=200, rounds=3):
    """A leak grows in every round; memory another thread happens to allocate meanwhile (tracemalloc traces the
    whole process) does not, so a check passes when any round stays within the bounds."""
    for _ in range(warm):  # warm caches, interned names, exporter pools
        call()
    seen = []
    for _ in range(rounds):
        gc.collect()
        tracemalloc.start()
        before_objects = len(gc.get_objects())
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
        tracemalloc.stop()
        more_objects = len(gc.get_objects()) - before_objects
        if more_objects < objects and grown < traced:
            return
        seen.append((more_objects, grown))
    raise AssertionError(f"grew in every round (objects, traced bytes): {seen}")


def bound(opened, attr, name):
    return getattr(opened if attr is None else getattr(opened, attr), name)


@pytest.mark.parametrize("attr, name, args, sdk", METHODS, ids=[f"{a}.{n}" for a, n, _, _ in METHODS])
def test_success_path(opened, attr, name, args, sdk):
    method = bound(opened, attr, name)
    counts = [sys.getrefcount(a) for a in args]
    expect_growth_within(lambda: method(*args))
    # A reference kept or dropped per call moves a count by thousands; other code letting go of a shared
    # interned name ("config") meanwhile moves it by one or two.
    assert all(abs(sys.getrefcount(a) - c) < 16 for a, c in zip(args, counts)), (counts, args)


@pytest.mark.parametrize("attr, name, args, sdk", METHODS, ids=[f"{a}.{n}" for a, n, _, _ in METHODS])
def test_injected_failure_path(sim, opened, attr, name, args, sdk):
    method = bound(opened, attr, name)
    sim.fail(sdk, -3, "injected", count=-1)

    def call():
        try:
            method(*args)
        except errors.VrexSdkInvalidArgumentError:
            pass

    try:
        with pytest.raises(errors.VrexSdkInvalidArgumentError, match="injected"):
            method(*args)
        expect_growth_within(call)
    finally:
        sim.clear_faults()


@pytest.mark.parametrize("attr, name, args, sdk", [m for m in METHODS if m[2]], ids=[f"{a}.{n}" for a, n, g, _ in METHODS if g])
def test_argument_error_path(opened, attr, name, args, sdk):
    method = bound(opened, attr, name)
    bad = object()
    before = sys.getrefcount(bad)

    def call():
        try:
            method(bad, *args[1:])
        except (TypeError, AttributeError, OverflowError):
            pass

    expect_growth_within(call)
    assert sys.getrefcount(bad) == before


def test_deliveries_leave_nothing_behind(sim, device):
    sim.configure({"devices": [{"acquisition": {"block_count": 1, "hits": 8, "burst": 3000}}]})
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode("0:tpx3-dd-toa-tot")
    seen = [0]

    def on_block(records, meta):
        seen[0] += isinstance(meta, dict) and len(records) == 8

    channel = device.acq.getChannelIds()[0]
    device.acq.setDataCallback(channel, on_block)
    before = sys.getrefcount(on_block)

    def burst():
        device.acq.begin(channel)
        device.acq.end(channel)

    expect_growth_within(burst, calls=20, warm=3)  # 60,000 deliveries
    assert seen[0] == 23 * 3000
    assert sys.getrefcount(on_block) == before


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Every mode of both default devices (device index, mode). Block memory is native, so neither the collector nor
# tracemalloc sees it: resident memory over repeated acquisitions does.
NATIVE_MODES = [(0, m) for m in (
    "0:tpx3-dd-toa-tot", "0:tpx3-dd-toa-tot-vec", "0:tpx3-sorted-dd-toa-tot", "0:tpx3-seq-toa-tot",
    "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec", "0:tpx3-binned-packets",
    "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums", "0:raw-data")] + [(1, "0:tpx-medipix"), (1, "0:raw-data")]


def address_sanitizer_loaded():
    """AddressSanitizer keeps freed memory in quarantine (256 MiB by default) rather than reusing it, so resident
    memory grows with every free under it whether or not anything leaks."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


@pytest.mark.skipif(address_sanitizer_loaded(), reason="AddressSanitizer's quarantine holds freed blocks resident")
@pytest.mark.parametrize("index, mode", NATIVE_MODES, ids=[f"{i}-{m}" for i, m in NATIVE_MODES])
def test_block_memory_is_reused(sim, device, index, mode):
    """Each block is prepared anew; what a block held must serve later blocks, so resident memory after the
    first acquisition stays put however many blocks follow (a retained 16 KiB block would add 32 MiB a run)."""
    blocks = max(CALLS, 2000)
    settings = {"block_count": blocks, "hits": 1000, "frames": 1, "raw": 16384, "interval_s": 0.0}
    model = sim.model()
    for d in model["devices"]:
        d["acquisition"].update(settings)
    sim.configure(model)
    device.open(device.enumerate()[index].connectionString)
    device.chip.selectMode(mode)
    channel = device.acq.getChannelIds()[0]
    seen = [0]
    device.acq.setDataCallback(channel, lambda *a: seen.__setitem__(0, seen[0] + 1))

    def run():
        device.acq.begin(channel)
        device.acq.end(channel)

    run()
    first = resident_bytes()
    for _ in range(4):
        run()
    grown = resident_bytes() - first
    assert seen[0] == 5 * blocks
    assert grown < 4 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB over {4 * blocks} blocks"


def _stage_sets():
    from vrexsdk import calibration, stages
    cal = calibration.Calibration.uniform(1.6, 25.0, 120.0, 2.0)
    return {
        "0:tpx3-dd-toa-tot": lambda q: [stages.HitMap(), stages.TotHistogram(), stages.ToaHistogram(),
                                        calibration.CalibrationStage(cal), stages.Sink(q)],
        "0:tpx3-seq-itot-event": lambda q: [stages.HitMap(), stages.ItotHistogram(), stages.Sink(q)],
        "0:tpx3-binned-count-sums": lambda q: [stages.BinnedSums(), stages.Sink(q)],
        "0:raw-data": lambda q: [stages.Sink(q)],
    }


@pytest.mark.skipif(address_sanitizer_loaded(), reason="AddressSanitizer's quarantine holds freed blocks resident")
@pytest.mark.parametrize("mode", ["0:tpx3-dd-toa-tot", "0:tpx3-seq-itot-event", "0:tpx3-binned-count-sums",
                                  "0:raw-data"])
def test_native_stages_keep_no_block_memory(sim, device, mode):
    """Every native stage, its queue drained as a writer would: resident memory stays put over acquisitions."""
    from vrexsdk import stages
    blocks = max(CALLS // 2, 1000)
    model = sim.model()
    model["devices"][0]["acquisition"].update(block_count=blocks, hits=1000, raw=16384, interval_s=0.0)
    sim.configure(model)
    device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode(mode)
    queue = stages.ChunkQueue(on_full="wait")
    drained = [0]

    def drain():
        for chunk in queue:
            drained[0] += len(chunk["blocks"])

    import threading
    writer = threading.Thread(target=drain)
    writer.start()
    try:
        def run():
            with stages.Pipeline(device, _stage_sets()[mode](queue)) as pipe:
                device.acq.begin(pipe.channel)
                device.acq.end(pipe.channel)
                pipe.flush()

        run()
        first = resident_bytes()
        for _ in range(4):
            run()
        grown = resident_bytes() - first
    finally:
        queue.close()
        writer.join(30)
    assert drained[0] == 5 * blocks
    assert grown < 4 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB over {4 * blocks} blocks"
