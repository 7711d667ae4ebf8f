#!/usr/bin/env python3
"""Stress run: worker threads call random methods of every service on one open Device while both acquisition
channels deliver at full rate and about one SDK call in a hundred fails by injection.

    PYTHONPATH=build/stage-me python scripts/stress.py [--seconds 60] [--threads 4] [--seed N]

Counts calls, exceptions by type, blocks delivered (counted by the data callables) and blocks reported (failed
deliveries reaching sys.unraisablehook). A watchdog thread reports a deadlock when a worker, or the shutdown,
makes no progress for --stall seconds; faulthandler dumps every thread's stack if the whole run overstays.
Exits 1 on an exception the package does not document, or on a deadlock."""

import argparse
import collections
import faulthandler
import os
import random
import sys
import threading
import time
import traceback

import numpy as np

from vrexsdk import chip as chip_module
from vrexsdk import errors, simulator, vrex

DOCUMENTED = (TypeError, OverflowError, ValueError, AttributeError, UnicodeEncodeError, UnicodeDecodeError,
              IndexError, BufferError, errors.VrexSdkException)
MODEL = {"devices": [{"acquisition": {"block_count": 10**9, "hits": 64}}]}
MODE = "0:tpx3-dd-toa-tot"
INJECTED = "injected by the stress run"

# SDK functions a fault may be injected into: every one the methods and the deliveries reach, except those of
# context lifetime, logging, open and close (the run needs its device and its log sink).
FAULTABLE = [
    "vrex_acq_abort", "vrex_acq_begin", "vrex_acq_ch_count", "vrex_acq_ch_id", "vrex_acq_end",
    "vrex_acq_meta_get_tdc_toas", "vrex_acq_meta_get_tdc_toas_count", "vrex_acq_meta_get_shutter_rising_time_ticks",
    "vrex_acq_set_data_callback", "vrex_acq_tpx3_get_packet_count", "vrex_acq_tpx3_get_packets",
    "vrex_axi_read", "vrex_axi_write",
    "vrex_board_count", "vrex_board_id", "vrex_board_is_powered", "vrex_board_power_off", "vrex_board_power_on",
    "vrex_chip_count", "vrex_chip_dac_count", "vrex_chip_dac_limits", "vrex_chip_dac_name",
    "vrex_chip_dac_value_get", "vrex_chip_dac_value_set", "vrex_chip_get_polarity", "vrex_chip_id",
    "vrex_chip_mode_count", "vrex_chip_mode_id", "vrex_chip_mode_select", "vrex_chip_mode_select_ex",
    "vrex_chip_refresh", "vrex_chip_sense_dac_count", "vrex_chip_sense_dac_name", "vrex_chip_sense_dac_sel",
    "vrex_chip_set_polarity", "vrex_chip_threshold_count", "vrex_chip_threshold_get", "vrex_chip_threshold_id",
    "vrex_chip_threshold_is_calibrated", "vrex_chip_threshold_range", "vrex_chip_threshold_raw_get",
    "vrex_chip_threshold_raw_range", "vrex_chip_threshold_raw_set", "vrex_chip_threshold_set",
    "vrex_cooling_count", "vrex_cooling_get_actual", "vrex_cooling_get_desired", "vrex_cooling_id",
    "vrex_cooling_limits", "vrex_cooling_set_desired", "vrex_cooling_value_unit",
    "vrex_dev_enumerate", "vrex_dev_is_opened", "vrex_dev_prop_get_connection_string",
    "vrex_dev_prop_get_manufacturer", "vrex_dev_prop_get_product", "vrex_dev_prop_get_serial_number",
    "vrex_dev_prop_usb_get_instance_path", "vrex_dev_prop_usb_get_vid_pid", "vrex_dev_prop_usb_is_high_speed",
    "vrex_dev_prop_usb_is_super_speed", "vrex_enum_get_connection_string", "vrex_enum_get_manufacturer",
    "vrex_enum_get_product", "vrex_enum_get_serial_number", "vrex_enum_usb_get_instance_path",
    "vrex_enum_usb_get_vid_pid", "vrex_enum_usb_is_high_speed", "vrex_enum_usb_is_super_speed",
    "vrex_flash_count", "vrex_flash_id", "vrex_flash_part_nr", "vrex_flash_program", "vrex_flash_read",
    "vrex_flash_regions", "vrex_flash_sector_address_range", "vrex_flash_sector_count", "vrex_flash_sector_size",
    "vrex_get_pixel_mask", "vrex_get_pixel_mask_size", "vrex_load_configuration", "vrex_set_pixel_mask",
    "vrex_lockstep_option_count", "vrex_lockstep_option_id", "vrex_lockstep_option_select",
    "vrex_revisions_count", "vrex_revisions_id", "vrex_revisions_string",
    "vrex_trigger", "vrex_trigger_mode_count", "vrex_trigger_mode_id", "vrex_trigger_mode_select",
    "vrex_trigger_set_shutter_duration",
]


class Tally:
    """Thread-safe counters by key."""

    def __init__(self):
        self._lock = threading.Lock()
        self.counts = collections.Counter()

    def add(self, key, n=1):
        with self._lock:
            self.counts[key] += n

    def snapshot(self):
        with self._lock:
            return collections.Counter(self.counts)


class Delivered:
    """The data callable of one channel: counts blocks and records. Runs on that channel's SDK thread only."""

    def __init__(self):
        self.blocks = 0
        self.records = 0

    def __call__(self, records, *meta):
        self.blocks += 1
        self.records += len(records)


class Run:
    def __init__(self, args):
        self.args = args
        self.stop = threading.Event()
        self.calls = Tally()  # by "service.method"
        self.exceptions = Tally()  # by exception type, raised from calls
        self.reported = Tally()  # by exception type, reaching the unraisable hook
        self.reported_messages = Tally()
        self.undocumented = []  # (where, formatted traceback)
        self.undocumented_lock = threading.Lock()
        self.progress = {}  # worker name -> calls made; read by the watchdog
        self.total_calls = 0  # approximate; only paces the fault injection
        self.faults = 0
        self.deadlock = None
        self.restarts = Tally()
        self.device = None
        self.channels = []
        self.callables = {}
        self.channel_locks = {}
        self.running = {}  # channel -> begun and not aborted since; guarded by the channel's lock

    # ---- bookkeeping ---------------------------------------------------------------------------------------

    def note_undocumented(self, where, exc):
        text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        with self.undocumented_lock:
            self.undocumented.append((where, text))
            if len(self.undocumented) <= 5:
                print(f"UNDOCUMENTED in {where}:\n{text}", file=sys.stderr, flush=True)

    def unraisable(self, u):
        self.reported.add(type(u.exc_value).__name__ if u.exc_value is not None else str(u.exc_type))
        self.reported_messages.add(f"{type(u.exc_value).__name__}: {str(u.exc_value)[:90]}")
        if u.exc_value is not None and not isinstance(u.exc_value, DOCUMENTED):
            self.note_undocumented(f"unraisable: {u.err_msg} {u.object!r}", u.exc_value)

    def call(self, name, func, *args):
        self.calls.add(name)
        self.total_calls += 1
        try:
            return func(*args)
        except DOCUMENTED as e:
            self.exceptions.add(type(e).__name__)
            return e
        except BaseException as e:  # noqa: BLE001 - anything else is what the run looks for
            self.exceptions.add(type(e).__name__)
            self.note_undocumented(f"{name}{args!r}"[:300], e)
            return e

    # ---- the acquisition ---------------------------------------------------------------------------------

    def stop_channel(self, channel):
        """Aborts, then ends, the run on `channel`. end() waits for the run's 10**9 blocks, so it is called only
        once abort() succeeded: whether a failed abort() was injected cannot be told from its message, since the
        last error is the context's and another thread's failure may have replaced it. True once stopped."""
        d = self.device
        if self.running[channel]:
            for _ in range(50):
                if self.call("acq.abort", d.acq.abort, channel) is None:
                    break
            else:
                return False
            self.running[channel] = False
        for _ in range(3):  # a run never ended is also joined by the next begin
            if self.call("acq.end", d.acq.end, channel) is None:
                break
        return True

    def start_channel(self, channel):
        d = self.device
        self.call("chip.selectMode", d.chip.selectMode, MODE)
        self.call("acq.setDataCallback", d.acq.setDataCallback, channel, self.callables[channel])
        self.running[channel] = self.call("acq.begin", d.acq.begin, channel) is None
        return self.running[channel]

    def restart(self, rng):
        channel = rng.choice(self.channels)
        with self.channel_locks[channel]:
            if self.stop_channel(channel):
                self.restarts.add("ok" if self.start_channel(channel) else "begin refused")
            else:
                self.restarts.add("stop refused")

    # ---- the operations a worker picks from --------------------------------------------------------------------

    def operations(self):
        d = self.device
        c = self.call
        dacs = ["Vfbk", "Vthreshold_fine", "Ibias_Ikrum", "Ibias_Preamp_OFF", "nope"]
        modes = [MODE] * 6 + ["0:tpx3-seq-toa-tot", "0:tpx3-binned-packets", "0:raw-data", "bad-mode"]
        memory = [None]

        def mem(rng):
            if memory[0] is None or rng.random() < 0.05:
                r = c("vault.selectMemory", d.vault.selectMemory, "config")
                if not isinstance(r, BaseException):
                    memory[0] = r
            return memory[0]

        def flash_read(rng):
            m = mem(rng)
            if m is not None:
                c("memory.read", m.read, rng.randrange(0, 0x44000 - 64), rng.randrange(1, 64))

        def flash_program(rng):
            m = mem(rng)
            if m is not None:
                data = bytearray(rng.getrandbits(8) for _ in range(rng.randrange(1, 32)))
                c("memory.program", m.program, rng.randrange(0, 0x44000 - 64), data)

        def set_mask(rng):
            mask = c("config.getMask", d.config.getMask)
            if isinstance(mask, np.ndarray):
                mask[rng.randrange(mask.shape[0]), rng.randrange(mask.shape[1])] ^= 1
                c("config.setMask", d.config.setMask, mask)

        def select_mode(rng):
            mode = rng.choice(modes)
            params = chip_module.BinningParams(16, 16, 1000) if "binned" in mode else None
            c("chip.selectMode", d.chip.selectMode, mode, params)

        def replace_callable(rng):
            channel = rng.choice(self.channels)
            c("acq.setDataCallback", d.acq.setDataCallback, channel, self.callables[channel])

        ops = [
            lambda r: c("device.isOpened", d.isOpened),
            lambda r: c("device.enumerate", d.enumerate),
            lambda r: c("chip.refresh", d.chip.refresh),
            lambda r: c("chip.getChipIds", d.chip.getChipIds),
            lambda r: c("chip.getPolarity", d.chip.getPolarity, r.choice([0, 0, 1])),
            lambda r: c("chip.setPolarity", d.chip.setPolarity, 0, r.choice(list(chip_module.ChipPolarity))),
            lambda r: c("chip.getSenseDacIds", d.chip.getSenseDacIds),
            lambda r: c("chip.selectSenseDac", d.chip.selectSenseDac, r.choice(dacs)),
            lambda r: c("chip.getModeIds", d.chip.getModeIds),
            select_mode,
            lambda r: c("chip.getDacIds", d.chip.getDacIds),
            lambda r: c("chip.getDacValue", d.chip.getDacValue, r.choice(dacs)),
            lambda r: c("chip.setDacValue", d.chip.setDacValue, r.choice(dacs), r.randrange(-1, 300)),
            lambda r: c("chip.getDacLimits", d.chip.getDacLimits, r.choice(dacs)),
            lambda r: c("chip.getThresholdIds", d.chip.getThresholdIds),
            lambda r: c("chip.isThresholdCalibrated", d.chip.isThresholdCalibrated, "THL0"),
            lambda r: c("chip.getThreshold", d.chip.getThreshold, "THL0"),
            lambda r: c("chip.setThreshold", d.chip.setThreshold, "THL0", r.uniform(0.0, 70.0)),
            lambda r: c("chip.getThresholdRange", d.chip.getThresholdRange, "THL0"),
            lambda r: c("chip.getRawThreshold", d.chip.getRawThreshold, "THL0"),
            lambda r: c("chip.setRawThreshold", d.chip.setRawThreshold, "THL0", r.randrange(-1, 5000)),
            lambda r: c("chip.getRawThresholdRange", d.chip.getRawThresholdRange, "THL0"),
            lambda r: c("acq.getChannelIds", d.acq.getChannelIds),
            replace_callable,
            self.restart,
            lambda r: c("config.getMaskSize", d.config.getMaskSize),
            lambda r: c("config.getMask", d.config.getMask),
            set_mask,
            lambda r: c("config.load", d.config.load, "yml", f"dac Vfbk {r.randrange(0, 300)}\n"),
            lambda r: c("cooling.getIds", d.cooling.getIds),
            lambda r: c("cooling.getValueUnit", d.cooling.getValueUnit, "peltier"),
            lambda r: c("cooling.getActualTemperature", d.cooling.getActualTemperature, "peltier"),
            lambda r: c("cooling.getDesiredTemperature", d.cooling.getDesiredTemperature, "peltier"),
            lambda r: c("cooling.setDesiredTemperature", d.cooling.setDesiredTemperature, "peltier",
                        r.uniform(-15.0, 45.0)),
            lambda r: c("cooling.getLimits", d.cooling.getLimits, "peltier"),
            lambda r: c("board.getBoardIds", d.board.getBoardIds),
            lambda r: c("board.powerOn", d.board.powerOn, r.choice(["readout", "chipboard"])),
            lambda r: c("board.powerOff", d.board.powerOff, r.choice(["readout", "chipboard"])),
            lambda r: c("board.isPowered", d.board.isPowered, r.choice(["readout", "chipboard", "nope"])),
            lambda r: c("trigger.getModeIds", d.trigger.getModeIds),
            lambda r: c("trigger.selectMode", d.trigger.selectMode,
                        r.choice(["internal"] * 6 + ["software", "external-rising", "bad"])),
            lambda r: c("trigger.setShutterDuration", d.trigger.setShutterDuration, r.choice([0.001, 0.0, -1.0])),
            lambda r: c("trigger.trigger", d.trigger.trigger),
            lambda r: c("lockstep.getOptionIds", d.lockstep.getOptionIds),
            lambda r: c("lockstep.selectOption", d.lockstep.selectOption, r.choice(["none", "master", "slave"])),
            lambda r: c("revisions.get", d.revisions.get),
            lambda r: c("props.getManufacturer", d.props.getManufacturer),
            lambda r: c("props.getProduct", d.props.getProduct),
            lambda r: c("props.getSerialNumber", d.props.getSerialNumber),
            lambda r: c("props.getConnectionString", d.props.getConnectionString),
            lambda r: c("props.getUsbVidPid", d.props.getUsbVidPid),
            lambda r: c("props.getUsbInstancePath", d.props.getUsbInstancePath),
            lambda r: c("props.isUsbHighSpeed", d.props.isUsbHighSpeed),
            lambda r: c("props.isUsbSuperSpeed", d.props.isUsbSuperSpeed),
            lambda r: c("axi.read", d.axi.read, r.choice([0, 4, 16, 20, 32, 64, 4096, 8, 2**32 - 4])),
            lambda r: c("axi.write", d.axi.write, r.choice([0, 16, 20, 32, 64, 4096, 8]), r.getrandbits(32)),
            lambda r: c("vault.getIds", d.vault.getIds),
            lambda r: c("vault.selectMemory", d.vault.selectMemory, r.choice(["config", "nope"])),
            flash_read,
            flash_program,
        ]
        return ops

    # ---- threads -----------------------------------------------------------------------------------------------

    def worker(self, name, seed):
        rng = random.Random(seed)
        ops = self.operations()
        self.progress[name] = 0
        while not self.stop.is_set():
            rng.choice(ops)(rng)
            self.progress[name] += 1

    def injector(self, seed):
        """Injects faults, each into a random function with a random status, to keep them at 1% of the calls."""
        rng = random.Random(seed)
        while not self.stop.is_set():
            while self.faults < self.total_calls // 100:
                simulator.fail(rng.choice(FAULTABLE), rng.randint(-5, -1), INJECTED, count=1)
                self.faults += 1
            time.sleep(0.001)

    def watchdog(self):
        """Reports a deadlock when a worker makes no call for --stall seconds."""
        stall = self.args.stall
        seen = dict(self.progress)
        since = {name: time.monotonic() for name in seen}
        while not self.stop.wait(1.0):
            now = time.monotonic()
            for name in list(self.progress):
                count = self.progress[name]
                if count != seen.get(name):
                    seen[name], since[name] = count, now
                elif now - since.get(name, now) > stall:
                    self.report_deadlock(f"worker {name} made no call for {stall:.0f} s")
                    return

    def report_deadlock(self, what):
        self.deadlock = what
        print(f"DEADLOCK: {what}; every thread's stack follows", file=sys.stderr, flush=True)
        faulthandler.dump_traceback(all_threads=True)
        self.print_summary(time.monotonic() - self.started)
        os._exit(1)  # the stuck threads cannot be joined

    # ---- the run -------------------------------------------------------------------------------------------

    def main(self):
        args = self.args
        faulthandler.enable()
        # Last resort if even the watchdog cannot run: dump the stacks and exit.
        faulthandler.dump_traceback_later(args.seconds + 4 * args.stall + 60, exit=True)
        sys.unraisablehook = self.unraisable
        simulator.reset()
        simulator.configure(MODEL)
        d = self.device = vrex.Device()
        d.open(d.enumerate()[0].connectionString)
        d.chip.selectMode(MODE)
        self.channels = d.acq.getChannelIds()
        for channel in self.channels:
            self.callables[channel] = Delivered()
            self.channel_locks[channel] = threading.Lock()
            d.acq.setDataCallback(channel, self.callables[channel])
            d.acq.begin(channel)
            self.running[channel] = True

        self.started = time.monotonic()
        workers = [threading.Thread(target=self.worker, args=(f"w{i}", args.seed * 1000 + i), name=f"worker-{i}",
                                    daemon=True) for i in range(args.threads)]
        injector = threading.Thread(target=self.injector, args=(args.seed,), name="injector", daemon=True)
        for t in workers:
            t.start()
        injector.start()
        watchdog = threading.Thread(target=self.watchdog, name="watchdog", daemon=True)
        watchdog.start()
        try:
            time.sleep(args.seconds)
        finally:
            self.stop.set()
        for t in workers + [injector]:
            t.join(args.stall)
            if t.is_alive():
                self.report_deadlock(f"{t.name} did not finish its last call within {args.stall:.0f} s")
        watchdog.join()
        elapsed = time.monotonic() - self.started

        # Shutdown, with no fault pending, watched by a timer of its own.
        simulator.clear_faults()
        timer = threading.Timer(args.stall, self.report_deadlock, args=("shutdown (end/close/finalize) hung",))
        timer.daemon = True
        timer.start()
        for channel in self.channels:
            with self.channel_locks[channel]:
                if not self.stop_channel(channel):
                    self.note_undocumented(f"stopping {channel}", RuntimeError("could not stop the channel"))
        self.call("device.close", d.close)
        self.call("device.finalize", d.finalize)
        timer.cancel()
        faulthandler.cancel_dump_traceback_later()
        self.print_summary(elapsed)
        return 1 if self.undocumented or self.deadlock else 0

    def print_summary(self, elapsed):
        calls = self.calls.snapshot()
        total = sum(calls.values())
        delivered = {ch: f.blocks for ch, f in self.callables.items()}
        records = sum(f.records for f in self.callables.values())
        by_service = collections.Counter()
        for name, n in calls.items():
            by_service[name.split(".")[0]] += n
        out = [
            "---- stress summary ----",
            f"duration          {elapsed:.1f} s, {self.args.threads} worker threads, seed {self.args.seed}",
            f"calls             {total} ({total / max(elapsed, 1e-9):.0f}/s) over {len(calls)} methods",
            "  by service      " + ", ".join(f"{k} {v}" for k, v in sorted(by_service.items())),
            f"faults injected   {self.faults} ({100.0 * self.faults / max(total, 1):.2f}% of calls)",
            "exceptions        " + (", ".join(f"{k} {v}" for k, v in self.exceptions.snapshot().most_common())
                                    or "none"),
            f"blocks delivered  {sum(delivered.values())} ("
            + ", ".join(f"{ch} {n}" for ch, n in delivered.items())
            + f"; {records} records, {sum(delivered.values()) / max(elapsed, 1e-9):.0f} blocks/s)",
            f"blocks reported   {sum(self.reported.snapshot().values())} ("
            + (", ".join(f"{k} {v}" for k, v in self.reported.snapshot().most_common()) or "none") + ")",
            "  most frequent   " + "; ".join(f"{k} ({v})" for k, v in self.reported_messages.snapshot()
                                                .most_common(3)),
            "restarts          " + (", ".join(f"{k} {v}" for k, v in self.restarts.snapshot().items()) or "none"),
            f"undocumented      {len(self.undocumented)}",
            f"deadlock          {self.deadlock or 'none'}",
        ]
        print("\n".join(out), flush=True)


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seconds", type=float, default=60.0, help="duration of the random calls (default 60)")
    p.add_argument("--threads", type=int, default=4, help="worker threads (default 4)")
    p.add_argument("--seed", type=int, default=int(time.time()) % 100000, help="seed of the random choices")
    p.add_argument("--stall", type=float, default=30.0,
                   help="seconds without progress reported as a deadlock (default 30)")
    return p.parse_args(argv)


if __name__ == "__main__":
    sys.exit(Run(parse(sys.argv[1:])).main())
