"""Shared parts of the acquisition benchmarks (delivery.py, throughput.py).

- A ctypes binding of the package's own libVrexSdk.so, written the way a user without this package would: its
  own context and device, the getters called through ctypes with their statuses checked, the buffers wrapped
  with NumPy (np.frombuffer over a ctypes array at the buffer's address, the record dtypes below), and a
  CFUNCTYPE data callback that calls the user's callable with the same arguments as the package does.
- The engine's own cost per block: the same library delivers each block to a native function (the packet-count
  getter, which fits the data-callback signature), so no Python runs at all.
- Timing of bursts: a burst of N blocks and one of a single block on twin devices; the difference, divided by
  N - 1, is the steady cost of one delivery without the fixed cost of begin and end (worker start, block
  preparation, join).
"""

import ctypes
import os
import platform
import time

import numpy as np

import vrexsdk
from vrexsdk import errors

CHANNEL = "ch0"

TOA_TOT = np.dtype({"names": ["address", "tot", "toa"], "formats": ["<u4", "<u4", "<u8"], "offsets": [0, 4, 8],
                    "itemsize": 16})
ITOT_EVENT = np.dtype({"names": ["address", "itot", "event"], "formats": ["<u4", "<u4", "<u8"],
                       "offsets": [0, 4, 8], "itemsize": 16})
BINNED = np.dtype({"names": ["address", "count", "itot"], "formats": ["<u4", "<u4", "<u4"], "offsets": [0, 4, 8],
                   "itemsize": 12})
DESCRIPTORS = np.dtype({"names": ["offset", "packet_count"], "formats": ["<u4", "<u4"], "offsets": [0, 4],
                        "itemsize": 8})
U8, U16, U32, U64 = (np.dtype(t) for t in ("u1", "<u2", "<u4", "<u8"))


def machine_lines():
    """What the numbers were measured on."""
    load = os.getloadavg() if hasattr(os, "getloadavg") else (float("nan"),) * 3
    return [
        f"# {platform.python_implementation()} {platform.python_version()}, NumPy {np.__version__}, "
        f"{platform.machine()} ({platform.processor() or 'unknown cpu'}), {os.cpu_count()} CPUs",
        f"# vrexsdk {vrexsdk.__version__} from {os.path.dirname(vrexsdk.__file__)}",
        f"# load average at start: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}",
    ]


# ---- the ctypes binding --------------------------------------------------------------------------------------------

# The statuses that fail in every family, with the classes the package raises for them.
_STATUS_ERRORS = {status: cls for status, cls in errors._BY_STATUS.items() if status < 0}

P, I, S, ULL, C_U64 = ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_ulonglong, ctypes.c_uint64
PP, PULL, PS = ctypes.POINTER(P), ctypes.POINTER(ULL), ctypes.POINTER(S)
DATA_FUNC = ctypes.CFUNCTYPE(None, P, P)

_PROTOTYPES = [
    ("vrex_ctx_create", [PP]),
    ("vrex_ctx_destroy", [P]),
    ("vrex_ctx_get_last_error", [P, PS]),
    ("vrex_dev_open", [P, S]),
    ("vrex_dev_close", [P]),
    ("vrex_chip_mode_select", [P, S]),
    ("vrex_acq_set_data_callback", [P, S, P, P]),
    ("vrex_acq_begin", [P, S]),
    ("vrex_acq_end", [P, S]),
    ("vrex_acq_get_last_error", [P, PS]),
    ("vrex_acq_tpx_get_frame_count", [P, PULL]),
    ("vrex_acq_tpx_get_frames", [P, PP]),
    ("vrex_acq_raw_get_data", [P, PP, PULL]),
    ("vrex_acq_tpx3_get_packet_count", [P, PULL]),
    ("vrex_acq_tpx3_get_packets", [P, PP]),
    ("vrex_acq_tpx3_get_vec_length", [P, PULL]),
    ("vrex_acq_tpx3_get_pixel_address_vec", [P, PP]),
    ("vrex_acq_tpx3_get_toa_vec", [P, PP]),
    ("vrex_acq_tpx3_get_tot_vec", [P, PP]),
    ("vrex_acq_tpx3_get_event_vec", [P, PP]),
    ("vrex_acq_tpx3_get_itot_vec", [P, PP]),
    ("vrex_acq_meta_get_shutter_rising_time_ticks", [P, PULL]),
    ("vrex_acq_meta_get_tdc_toas_count", [P, I, ctypes.POINTER(C_U64)]),
    ("vrex_acq_meta_get_tdc_toas", [P, I, PP]),
    ("vrex_acq_meta_get_bin_descriptor_count", [P, PULL]),
    ("vrex_acq_meta_get_bin_descriptors", [P, PP]),
    ("vrex_acq_tpx3_get_binned_hitcounters_count", [P, PULL]),
    ("vrex_acq_tpx3_get_binned_hitcounters", [P, PP]),
    ("vrex_acq_tpx3_get_binned_itots_count", [P, PULL]),
    ("vrex_acq_tpx3_get_binned_itots", [P, PP]),
]

_library = None


def library():
    """libVrexSdk.so of the imported package, loaded once with ctypes (the same library the package uses)."""
    global _library
    if _library is None:
        lib = ctypes.CDLL(os.path.join(os.path.dirname(vrexsdk.__file__), "libVrexSdk.so"))
        for name, args in _PROTOTYPES:
            fn = getattr(lib, name)
            fn.argtypes = args
            fn.restype = ctypes.c_int
        _library = lib
    return _library


def _raise(status, message):
    cls = _STATUS_ERRORS.get(status)
    if cls is not None:
        raise cls((message or b"").decode(errors="replace"))


class CtypesDevice:
    """One device opened through ctypes on a context of its own."""

    def __init__(self, connection_string):
        self.lib = library()
        self.ctx = P()
        self.callback = None  # keeps the CFUNCTYPE object alive while registered
        self.user = None
        status = self.lib.vrex_ctx_create(ctypes.byref(self.ctx))
        if status < 0:
            _raise(status, b"vrex_ctx_create failed")
        self.check(self.lib.vrex_dev_open(self.ctx, connection_string.encode()))

    def check(self, status):
        if status < 0:
            message = S()
            self.lib.vrex_ctx_get_last_error(self.ctx, ctypes.byref(message))
            _raise(status, message.value)

    def select_mode(self, mode):
        self.check(self.lib.vrex_chip_mode_select(self.ctx, mode.encode()))

    def set_callback(self, function_pointer, user=None, keep=None):
        self.check(self.lib.vrex_acq_set_data_callback(self.ctx, CHANNEL.encode(), function_pointer, user))
        self.callback, self.user = keep, user

    def burst(self):
        """Seconds for begin and end on the channel: every block of the model delivered."""
        channel = CHANNEL.encode()
        start = time.perf_counter()
        self.check(self.lib.vrex_acq_begin(self.ctx, channel))
        self.check(self.lib.vrex_acq_end(self.ctx, channel))
        return time.perf_counter() - start

    def close(self):
        self.lib.vrex_dev_close(self.ctx)
        self.lib.vrex_ctx_destroy(self.ctx)


def ctypes_delivery(kind, func):
    """A CFUNCTYPE data callback for a delivery of `kind` (see CTYPES_KINDS) that calls `func` the way the package
    does: the same arguments, of the same dtypes and lengths, over the SDK's buffers."""
    lib = library()
    byref = ctypes.byref
    c_char = ctypes.c_char
    frombuffer = np.frombuffer
    empty = np.empty

    def check(acq, status):
        if status < 0:
            message = S()
            lib.vrex_acq_get_last_error(acq, byref(message))
            _raise(status, message.value)

    def wrap(pointer, count, dtype):
        # An empty or null buffer is an empty float64 array, as the package delivers it.
        if not pointer or not count:
            return empty(0)
        return frombuffer((c_char * (count * dtype.itemsize)).from_address(pointer), dtype)

    def counted(acq, count_getter, pointer_getter, dtype):
        count, pointer = ULL(), P()
        check(acq, count_getter(acq, byref(count)))
        check(acq, pointer_getter(acq, byref(pointer)))
        return wrap(pointer.value, count.value, dtype)

    def vectors(acq, second_getter, second, third_getter, third):
        n, addresses, b, c = ULL(), P(), P(), P()
        check(acq, lib.vrex_acq_tpx3_get_vec_length(acq, byref(n)))
        check(acq, lib.vrex_acq_tpx3_get_pixel_address_vec(acq, byref(addresses)))
        check(acq, second_getter(acq, byref(b)))
        check(acq, third_getter(acq, byref(c)))
        n = n.value
        return wrap(addresses.value, n, U32), wrap(b.value, n, second), wrap(c.value, n, third)

    def metadata(acq):
        shutter = ULL(0)
        check(acq, lib.vrex_acq_meta_get_shutter_rising_time_ticks(acq, byref(shutter)))
        tdcs = []
        for tdc in range(3):
            count, toas = C_U64(), P()
            check(acq, lib.vrex_acq_meta_get_tdc_toas_count(acq, tdc, byref(count)))
            check(acq, lib.vrex_acq_meta_get_tdc_toas(acq, tdc, byref(toas)))
            tdcs.append(wrap(toas.value, count.value, U64))
        return {"shutterStart": shutter.value, "tdcs": tdcs}

    def frames(acq, _):
        count, pointer = ULL(), P()
        check(acq, lib.vrex_acq_tpx_get_frame_count(acq, byref(count)))
        check(acq, lib.vrex_acq_tpx_get_frames(acq, byref(pointer)))
        func(wrap(pointer.value, count.value * 65536, U16))

    def raw(acq, _):
        pointer, size = P(), ULL()
        check(acq, lib.vrex_acq_raw_get_data(acq, byref(pointer), byref(size)))
        func(wrap(pointer.value, size.value, U8))

    def packets_of(dtype):
        def packets(acq, _):
            func(counted(acq, lib.vrex_acq_tpx3_get_packet_count, lib.vrex_acq_tpx3_get_packets, dtype))
        return packets

    def seq_toatot_vec(acq, _):
        func(*vectors(acq, lib.vrex_acq_tpx3_get_toa_vec, U32, lib.vrex_acq_tpx3_get_tot_vec, U16))

    def seq_eventitot_vec(acq, _):
        func(*vectors(acq, lib.vrex_acq_tpx3_get_event_vec, U16, lib.vrex_acq_tpx3_get_itot_vec, U16))

    def dd_toatot(acq, _):
        records = counted(acq, lib.vrex_acq_tpx3_get_packet_count, lib.vrex_acq_tpx3_get_packets, TOA_TOT)
        func(records, metadata(acq))

    def dd_toatot_vec(acq, _):
        arrays = vectors(acq, lib.vrex_acq_tpx3_get_toa_vec, U64, lib.vrex_acq_tpx3_get_tot_vec, U16)
        func(*arrays, metadata(acq))

    def binned_packets(acq, _):
        packets = counted(acq, lib.vrex_acq_tpx3_get_packet_count, lib.vrex_acq_tpx3_get_packets, BINNED)
        descriptors = counted(acq, lib.vrex_acq_meta_get_bin_descriptor_count, lib.vrex_acq_meta_get_bin_descriptors,
                              DESCRIPTORS)
        hits = counted(acq, lib.vrex_acq_tpx3_get_binned_hitcounters_count, lib.vrex_acq_tpx3_get_binned_hitcounters,
                       U64)
        itots = counted(acq, lib.vrex_acq_tpx3_get_binned_itots_count, lib.vrex_acq_tpx3_get_binned_itots, U64)
        func(packets, descriptors, hits, itots)

    def count_sums(acq, _):
        func(counted(acq, lib.vrex_acq_tpx3_get_binned_hitcounters_count, lib.vrex_acq_tpx3_get_binned_hitcounters,
                     U64))

    def itot_sums(acq, _):
        func(counted(acq, lib.vrex_acq_tpx3_get_binned_itots_count, lib.vrex_acq_tpx3_get_binned_itots, U64))

    deliveries = {
        "frames": frames,
        "raw": raw,
        "seq-toa-tot": packets_of(TOA_TOT),
        "seq-itot-event": packets_of(ITOT_EVENT),
        "seq-toa-tot-vec": seq_toatot_vec,
        "seq-itot-event-vec": seq_eventitot_vec,
        "dd-toa-tot": dd_toatot,
        "dd-toa-tot-vec": dd_toatot_vec,
        "binned-packets": binned_packets,
        "count-sums": count_sums,
        "itot-sums": itot_sums,
    }
    callback = DATA_FUNC(deliveries[kind])
    return ctypes.cast(callback, P), callback


def native_delivery():
    """A data callback that runs no Python: the packet-count getter itself (int (vrex_acq_t*, unsigned long
    long*) fits void (vrex_acq_t*, void*)), writing into a counter given as the user pointer. Delivering to it
    costs the engine's own work per block and one getter."""
    lib = library()
    counter = ULL()
    return ctypes.cast(lib.vrex_acq_tpx3_get_packet_count, P), ctypes.addressof(counter), counter


# ---- timing --------------------------------------------------------------------------------------------------------


def per_delivery(long_burst_s, short_burst_s, deliveries):
    """Seconds per delivery from the best times of a burst of `deliveries` blocks and of a single block."""
    return (long_burst_s - short_burst_s) / (deliveries - 1)


def binding_burst(device):
    """Seconds for begin and end through the package."""
    acq = device.acq
    start = time.perf_counter()
    acq.begin(CHANNEL)
    acq.end(CHANNEL)
    return time.perf_counter() - start
