"""vrexsdk.vault against the simulated device: memory discovery, the layout records, read and program."""

import array
import gc
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

from vrexsdk import context, errors, simulator, vault

Vault = vault.__Vault
Sector, Region, NonVolatileMemory = vault.Sector, vault.Region, vault.NonVolatileMemory


def memory(id_="m0", part="PN-1", regions=((4, 4096), (2, 65536)), base=0, **extra):
    """A memory model: regions given as (sector count, sector size), laid out contiguously from `base`."""
    out, at = [], base
    for count, size in regions:
        sectors = []
        for _ in range(count):
            sectors.append([at, at + size - 1])
            at += size
        out.append({"sector_size": size, "sectors": sectors})
    return {"id": id_, "part_number": part, "regions": out, **extra}


@pytest.fixture
def open_memories(open_with):
    """Attaches one Timepix3 device with the given memories, opens it, returns its vault wrapper."""

    def open_(*memories):
        vault = open_with(flash=list(memories)).vault
        simulator.clear_calls()
        return vault

    return open_


@pytest.fixture
def mem(opened):
    return opened.vault.selectMemory("config")


def flash_state(memory_id="config"):
    return simulator.state()["flash"][memory_id]


# ---- discovery --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("ids", [[], ["boot"], ["boot", "config", "user"]], ids=["none", "one", "three"])
def test_get_ids_asks_the_count_then_each_index(open_memories, recording, ids):
    v = open_memories(*[memory(i) for i in ids])
    assert v.getIds() == ids
    assert recording() == [("vrex_flash_count", ())] + [("vrex_flash_id", (i,)) for i in range(len(ids))]


def test_select_memory_numbers_sectors_over_the_whole_memory(open_memories, recording):
    v = open_memories(memory("m0", "PN-1", regions=((4, 4096), (2, 65536))))
    m = v.selectMemory("m0")
    assert recording() == (
        [("vrex_flash_part_nr", (b"m0",)), ("vrex_flash_regions", (b"m0",))]
        + [("vrex_flash_sector_size", (b"m0", 0)), ("vrex_flash_sector_count", (b"m0", 0))]
        + [("vrex_flash_sector_address_range", (b"m0", i)) for i in range(4)]
        + [("vrex_flash_sector_count", (b"m0", 0))]
        + [("vrex_flash_sector_size", (b"m0", 1)), ("vrex_flash_sector_count", (b"m0", 1))]
        + [("vrex_flash_sector_address_range", (b"m0", i)) for i in (4, 5)]
        + [("vrex_flash_sector_count", (b"m0", 1))]
    )
    assert (m.id, m.partNumber) == ("m0", "PN-1")
    assert [r.sectorSize for r in m.regions] == [4096, 65536]
    layout = [[(s.startingAddress, s.endingAddress) for s in r.sectors] for r in m.regions]
    assert layout == [[(i * 4096, i * 4096 + 4095) for i in range(4)],
                      [(16384 + i * 65536, 16384 + i * 65536 + 65535) for i in range(2)]]


def test_empty_regions_and_memories(open_memories):
    v = open_memories(memory("none", regions=()), memory("gap", regions=((0, 512), (2, 256))))
    assert v.selectMemory("none").regions == []
    first, second = v.selectMemory("gap").regions
    assert first.sectors == [] and first.sectorSize == 512
    # A region without sectors does not advance the index: region 1 starts at memory-wide sector 0.
    assert [(s.startingAddress, s.endingAddress) for s in second.sectors] == [(0, 255), (256, 511)]


@pytest.mark.parametrize("vault_id,error", [(5, AttributeError), (None, AttributeError), ("µ", UnicodeEncodeError)])
def test_select_memory_refuses_a_bad_identifier_before_any_sdk_call(opened, recording, vault_id, error):
    with pytest.raises(error):
        opened.vault.selectMemory(vault_id)
    assert recording() == []


def test_an_unknown_memory_fails_at_its_first_query(opened, recording):
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^Unknown non-volatile memory 'nope'$"):
        opened.vault.selectMemory("nope")
    assert recording() == [("vrex_flash_part_nr", (b"nope",)), ("vrex_ctx_get_last_error", ())]


def test_an_address_beyond_a_signed_int_fails_the_selection(open_memories):
    v = open_memories({"id": "hi", "part_number": "", "regions": [{"sector_size": 16, "sectors": [[2**31 - 16, 2**31]]}]})
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        v.selectMemory("hi")
    # The query itself reports the unsigned value.
    assert v._Vault__getSectorAddressRange("hi", 0) == (2**31 - 16, 2**31)


@pytest.mark.parametrize(
    "method,args,message",
    [
        ("_Vault__getId", (1,), "Non-volatile memory index 1 out of range"),
        ("_Vault__getSectorCount", ("m0", 2), "Region index 2 out of range for memory 'm0' (2 regions)"),
        ("_Vault__getSectorSize", ("m0", -1), "Region index -1 out of range for memory 'm0' (2 regions)"),
        ("_Vault__getSectorAddressRange", ("m0", 6), "Sector index 6 out of range for memory 'm0' (6 sectors)"),
        ("_Vault__getSectorAddressRange", ("m0", -1), "Sector index -1 out of range for memory 'm0' (6 sectors)"),
    ],
)
def test_indices_out_of_range_are_refused_by_the_sdk(open_memories, method, args, message):
    v = open_memories(memory("m0"))
    with pytest.raises(errors.VrexSdkInvalidArgumentError) as info:
        getattr(v, method)(*args)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "function,method,args,preset",
    [
        ("vrex_flash_count", "_Vault__getCount", (), 0),
        ("vrex_flash_id", "_Vault__getId", (0,), ""),
        ("vrex_flash_part_nr", "_Vault__getPartNumber", ("config",), ""),
        ("vrex_flash_sector_address_range", "_Vault__getSectorAddressRange", ("config", 0), (0, 0)),
    ],
)
def test_a_status_outside_the_table_returns_the_preset_out_values(opened, function, method, args, preset):
    simulator.fail(function, -6, "odd")
    assert getattr(opened.vault, method)(*args) == preset


def test_two_selections_are_independent_snapshots(opened):
    a, b = opened.vault.selectMemory("config"), opened.vault.selectMemory("config")
    assert a is not b and a != b and a.regions is not b.regions
    assert (a.id, a.partNumber, len(a.regions)) == (b.id, b.partNumber, len(b.regions))


class Renumbered(Vault):
    """Reports each sector's memory-wide index as both of its addresses."""

    __slots__ = ()

    def _Vault__getSectorAddressRange(self, vaultId, sectorIdx):
        return [sectorIdx, sectorIdx]


def test_composites_reach_the_queries_through_attribute_lookup(opened):
    v = opened.vault
    v.__class__ = Renumbered  # same layout: the device's own wrapper, with one query replaced
    ids = [[s.startingAddress for s in r.sectors] for r in v.selectMemory("config").regions]
    assert ids == [[0, 1, 2, 3], [4, 5, 6, 7]]


@pytest.mark.parametrize(
    "result,message",
    [((1, 2, 3), "too many values to unpack (expected 2)"), ((1,), "need more than 1 value to unpack"),
     ([], "need more than 0 values to unpack"), (iter([1, 2, 3]), "too many values to unpack (expected 2)")],
)
def test_an_address_range_of_another_length_is_refused(result, message):
    class Odd(Vault):
        def _Vault__getPartNumber(self, vaultId):
            return "PN"

        def _Vault__getRegionCount(self, vaultId):
            return 1

        def _Vault__getSectorSize(self, vaultId, regionIdx):
            return 8

        def _Vault__getSectorCount(self, vaultId, regionIdx):
            return 1

        def _Vault__getSectorAddressRange(self, vaultId, sectorIdx):
            return result

    with pytest.raises(ValueError) as info:
        Odd(None).selectMemory("x")
    assert info.value.args == (message,)


# ---- the record classes -----------------------------------------------------------------------------------------


class MyStr(str):
    pass


class MyList(list):
    pass


class Integral:
    def __int__(self):
        return 7


@pytest.mark.parametrize(
    "make,error,message",
    [
        (lambda: Region(1, (Sector(0, 1),)), TypeError, "Expected list, got tuple"),
        (lambda: Region(1, MyList()), TypeError, "Expected list, got MyList"),
        (lambda: Region("4096", []), TypeError, "an integer is required"),
        (lambda: Sector(0, 2**31), OverflowError, "value too large to convert to int"),
        (lambda: Sector(-(2**31) - 1, 0), OverflowError, "value too large to convert to int"),
        (lambda: Sector(None, 0), TypeError, "an integer is required"),
        (lambda: Sector(0), TypeError, "__cinit__() takes exactly 2 positional arguments (1 given)"),
        (lambda: Sector(0, 1, 2), TypeError, "__cinit__() takes exactly 2 positional arguments (3 given)"),
        (lambda: Sector(0, end=1), TypeError, "__cinit__() got an unexpected keyword argument 'end'"),
        (lambda: NonVolatileMemory(5, "a", "b", []), TypeError, "Cannot convert int to vrexsdk.context._Context"),
        (lambda: NonVolatileMemory(None, MyStr("a"), "b", []), TypeError, "Expected str, got MyStr"),
        (lambda: NonVolatileMemory(None, "a", b"b", []), TypeError, "Expected str, got bytes"),
        (lambda: NonVolatileMemory(None, "a", "b", ()), TypeError, "Expected list, got tuple"),
        (lambda: NonVolatileMemory(None, "a", "b"), TypeError,
         "__cinit__() takes exactly 4 positional arguments (3 given)"),
    ],
)
def test_record_constructors_check_their_arguments(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert info.value.args == (message,)


def test_record_constructors_convert_and_keep_what_they_are_given():
    assert (Sector(1.9, 3).startingAddress, Sector(1.9, 3).endingAddress) == (1, 3)
    assert Sector(endingAddress=Integral(), startingAddress=-(2**31)).endingAddress == 7
    sectors = [Sector(0, 1), "not checked"]
    r = Region(sectorSize=2.5, sectors=sectors)
    assert r.sectorSize == 2 and r.sectors is sectors
    assert Region(0, None).sectors is None
    ctx = context._Context()
    m = NonVolatileMemory(ctx, None, None, None)
    assert (m.id, m.partNumber, m.regions) == (None, None, None)


def test_record_attributes_are_read_only_but_lists_are_shared(mem):
    for obj, name in [(mem, "id"), (mem, "partNumber"), (mem, "regions"), (mem.regions[0], "sectors"),
                      (mem.regions[0], "sectorSize"), (mem.regions[0].sectors[0], "startingAddress")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, None)
        with pytest.raises(AttributeError):
            delattr(obj, name)
    mem.regions.append("extra")
    assert mem.regions[-1] == "extra"


@pytest.mark.parametrize("make", [lambda: Vault(None), lambda: Sector(0, 1), lambda: Region(0, []),
                                  lambda: NonVolatileMemory(None, "a", "b", [])],
                         ids=["vault", "sector", "region", "memory"])
def test_no_record_can_be_pickled(make):
    obj = make()
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(obj)


def test_records_take_part_in_garbage_collection():
    region = Region(1, [])
    region.sectors.append(region)
    m = NonVolatileMemory(None, "a", "b", [region])
    assert m.regions in gc.get_referents(m) and region.sectors in gc.get_referents(region)
    m.regions.append(m)
    del region, m
    gc.collect()  # the two cycles are found and cleared without a crash


def test_records_may_be_subclassed():
    class Tagged(Sector):
        pass

    assert Tagged(1, 2).endingAddress == 2


# ---- read and program --------------------------------------------------------------------------------------------


def test_fresh_memory_reads_erased(mem, recording):
    data = mem.read(4096, 16)
    assert data == b"\xff" * 16 and type(data) is bytes
    assert recording() == [("vrex_flash_read", (b"config", 4096, 16))]


@pytest.mark.parametrize(
    "make",
    [
        lambda b: bytearray(b),
        lambda b: np.frombuffer(bytearray(b), dtype=np.uint8),
        lambda b: array.array("B", b),
        lambda b: memoryview(bytearray(b)),
        lambda b: memoryview(bytearray(b)).cast("c"),
        lambda b: np.frombuffer(bytearray(b), dtype=np.bool_),
        lambda b: np.repeat(np.frombuffer(b, dtype=np.uint8), 2)[::2].copy(),
    ],
    ids=["bytearray", "uint8", "array-B", "memoryview", "char", "bool", "copied-slice"],
)
def test_program_then_read_round_trips_every_accepted_buffer(mem, recording, make):
    payload = bytes([0, 1]) if "bool" in repr(make) else bytes(range(7, 40))
    mem.program(100, make(payload))
    assert mem.read(100, len(payload)) == payload
    assert flash_state()[100:100 + len(payload)] == payload
    assert flash_state()[99:100] == b"\xff"
    assert ("vrex_flash_program", (b"config", 100, len(payload))) in recording()


def test_program_writes_the_bytes_as_given_over_earlier_data(mem):
    mem.program(0, bytearray(b"\x00\x0f\xf0"))
    mem.program(0, bytearray(b"\xff\xf0\x0f"))
    assert mem.read(0, 3) == b"\xff\xf0\x0f"


@pytest.mark.parametrize(
    "data,error,message",
    [
        (b"ab", BufferError, "memoryview: underlying buffer is not writable"),
        (bytearray(), IndexError, "Out of bounds on buffer access (axis 0)"),
        (np.zeros((2, 2), dtype=np.uint8), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (np.zeros(4, dtype=np.int8), ValueError, "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"),
        (np.zeros(4, dtype=np.uint16), ValueError,
         "Buffer dtype mismatch, expected 'uint8_t' but got 'unsigned short'"),
        (np.zeros(8, dtype=np.uint8)[::2], BufferError, "memoryview: underlying buffer is not C-contiguous"),
        (np.frombuffer(b"abcd", dtype=np.uint8), BufferError, "memoryview: underlying buffer is not writable"),
        (array.array("b", b"ab"), ValueError, "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"),
        ("text", TypeError, "memoryview: a bytes-like object is required, not 'str'"),
        (7, TypeError, "memoryview: a bytes-like object is required, not 'int'"),
    ],
    ids=["bytes", "empty", "two-d", "int8", "uint16", "strided", "read-only-array", "array-b", "str",
         "int"],
)
def test_program_refuses_buffers_before_any_sdk_call(mem, recording, data, error, message):
    with pytest.raises(error) as info:
        mem.program(0, data)
    assert info.value.args == (message,)
    assert recording() == []


def test_program_refuses_a_zero_dimensional_buffer(mem, recording):
    # Python 3.12 and later refuse its length; 3.11 gives it length 1 and the dimension check refuses it.
    with pytest.raises((TypeError, ValueError), match="0-dim memory has no length|expected 1, got 0"):
        mem.program(0, np.zeros((), dtype=np.uint8))
    assert recording() == []


@pytest.mark.parametrize(
    "address,error,message",
    [
        (-1, OverflowError, "can't convert negative value to uint32_t"),
        (2**32, OverflowError, "value too large to convert to uint32_t"),
        (2**70, OverflowError, "value too large to convert to uint32_t"),
        ("0", TypeError, "an integer is required"),
    ],
)
def test_addresses_are_converted_to_uint32(mem, recording, address, error, message):
    for call in (lambda: mem.read(address, 4), lambda: mem.program(address, bytearray(4))):
        with pytest.raises(error) as info:
            call()
        assert info.value.args == (message,)
    assert recording() == []


def test_addresses_convert_through_int_and_lengths_through_numpy(mem, recording):
    assert mem.read(4096.9, np.int64(3)) == b"\xff" * 3
    mem.program(Integral(), bytearray(b"x"))
    assert recording() == [("vrex_flash_read", (b"config", 4096, 3)), ("vrex_flash_program", (b"config", 7, 1))]
    with pytest.raises(ValueError):  # NumPy's, before the address is looked at
        mem.read(-1, -1)
    with pytest.raises(IndexError, match=r"^Out of bounds on buffer access \(axis 0\)$"):
        mem.read(0, 0)
    with pytest.raises(TypeError):
        mem.read(0, "4")
    assert len(recording()) == 2


@pytest.mark.parametrize("address,length", [(0x44000 - 4, 8), (0x44000, 1), (2**32 - 1, 2)])
def test_transfers_reaching_outside_the_memory_are_refused_with_the_range(mem, address, length):
    with pytest.raises(errors.VrexSdkInvalidArgumentError) as info:
        mem.program(address, bytearray(b"\0" * length))
    assert info.value.args[0] == (f"Range 0x{address:08x}..0x{address + length:08x} ({length} bytes) outside memory "
                                  "'config' (0x00000000..0x00044000)")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="outside memory 'config'"):
        mem.read(address, length)
    assert flash_state() == b"\xff" * 0x44000


def test_a_whole_memory_moves_in_one_call(mem, recording):
    data = np.random.default_rng(3).integers(0, 256, 0x44000, dtype=np.uint8)
    mem.program(0, data)
    assert mem.read(0, 0x44000) == data.tobytes()
    assert [args[2] for _, args in recording()] == [0x44000, 0x44000]


def test_the_buffer_stays_exported_only_for_the_call(mem):
    data = bytearray(b"abc")
    mem.program(0, data)
    data.extend(b"d")  # released after success
    simulator.fail("vrex_flash_program", -3, "refused")
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="^refused$"):
        mem.program(0, data)
    data.extend(b"e")  # and after failure


def test_records_without_context_or_id_raise_instead_of_reaching_the_sdk(recording):
    bare = NonVolatileMemory(None, "config", None, None)
    with pytest.raises(errors.VrexSdkInvalidOperationError):
        bare.read(0, 4)
    with pytest.raises(errors.VrexSdkInvalidOperationError):
        bare.program(0, bytearray(4))
    nameless = NonVolatileMemory(context._Context(), None, None, None)
    for call in (lambda: nameless.read(0, 4), lambda: nameless.program(0, bytearray(4))):
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'encode'$"):
            call()
    with pytest.raises(UnicodeEncodeError):
        NonVolatileMemory(None, "µ", None, None).read(0, 4)
    assert [name for name, _ in recording() if name.startswith("vrex_flash")] == []


def test_read_and_program_take_exactly_two_arguments(mem):
    with pytest.raises(TypeError, match=r"^read\(\) takes exactly 2 positional arguments \(1 given\)$"):
        mem.read(0)
    with pytest.raises(TypeError, match=r"^program\(\) takes exactly 2 positional arguments \(3 given\)$"):
        mem.program(0, bytearray(1), 2)
    assert mem.read(dataLen=2, startingAddress=0) == b"\xff\xff"


def test_sdk_failures_of_read_carry_the_sdk_message(mem):
    simulator.fail("vrex_flash_read", -4, "out of memory")
    with pytest.raises(errors.VrexSdkNoMemoryException, match="^out of memory$"):
        mem.read(0, 4)


# ---- persistence ------------------------------------------------------------------------------------------------

SCRIPT = """
from vrexsdk import simulator, vrex
simulator.configure({{"devices": [{{"flash": [{model!r}]}}]}})
device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
m = device.vault.selectMemory("nv")
{body}
device.close()
device.finalize()
"""


def test_contents_with_a_backing_file_persist_across_processes(run_python, tmp_path):
    path = tmp_path / "nv.bin"
    model = memory("nv", regions=((4, 256),), backing_file=str(path))
    first = run_python(SCRIPT.format(model=model, body="m.program(16, bytearray(b'kept')); print(m.read(14, 8))"))
    assert first.returncode == 0, first.stderr
    assert first.stdout.strip() == repr(b"\xff\xffkept\xff\xff")
    assert path.read_bytes() == b"\xff" * 16 + b"kept" + b"\xff" * (1024 - 20)
    assert list(tmp_path.iterdir()) == [path]  # no temporary file left behind
    second = run_python(SCRIPT.format(model=model, body="print(m.read(14, 8))"))
    assert second.returncode == 0, second.stderr
    assert second.stdout.strip() == repr(b"\xff\xffkept\xff\xff")


def test_without_a_backing_file_contents_last_for_the_process_only(open_memories, run_python):
    m = open_memories(memory("nv")).selectMemory("nv")
    m.program(0, bytearray(b"here"))
    simulator.configure(simulator.model())
    other = run_python(SCRIPT.format(model=memory("nv"), body="print(m.read(0, 4))"))
    assert other.returncode == 0, other.stderr
    assert other.stdout.strip() == repr(b"\xff" * 4)


def test_a_backing_file_is_read_back_when_the_device_is_attached_again(open_memories, device, tmp_path):
    path = tmp_path / "short.bin"
    path.write_bytes(b"abc")  # shorter than the memory: the rest reads erased
    model = memory("nv", regions=((1, 8),), backing_file=str(path))
    m = open_memories(model).selectMemory("nv")
    assert m.read(0, 8) == b"abc" + b"\xff" * 5
    m.program(3, bytearray(b"de"))
    device.close()
    simulator.configure({"devices": [{"flash": [model]}]})
    device.open(device.enumerate()[0].connectionString)
    assert device.vault.selectMemory("nv").read(0, 8) == b"abcde" + b"\xff" * 3
    assert path.read_bytes() == b"abcde" + b"\xff" * 3


def test_a_backing_file_that_cannot_be_replaced_fails_the_program_and_changes_nothing(open_memories, tmp_path):
    path = tmp_path / "missing-dir" / "nv.bin"
    m = open_memories(memory("nv", regions=((1, 8),), backing_file=str(path))).selectMemory("nv")
    with pytest.raises(errors.VrexSdkInternalException, match="missing-dir/nv.bin"):
        m.program(0, bytearray(b"x"))
    assert m.read(0, 1) == b"\xff"


def test_a_process_killed_while_programming_never_leaves_a_torn_file(tmp_path):
    path = tmp_path / "nv.bin"
    size = 64 * 4096
    model = memory("nv", regions=((64, 4096),), backing_file=str(path))
    body = (
        "import itertools, sys\n"
        f"for i in itertools.count():\n"
        f"    m.program(0, bytearray([i % 251]) * {size})\n"
        "    if i == 3: print('writing', flush=True)\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", SCRIPT.format(model=model, body=body)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "writing", proc.stderr.read()
        time.sleep(0.3)  # many more whole-memory writes, one of them cut short by the kill
    finally:
        proc.kill()
        proc.wait(timeout=60)
        proc.stdout.close()
        proc.stderr.close()
    data = path.read_bytes()
    assert len(data) == size and len(set(data)) == 1


def test_temporary_files_left_by_a_killed_writer_are_removed_when_the_memory_is_attached(open_memories, tmp_path):
    import fcntl

    path = tmp_path / "nv.bin"
    path.write_bytes(b"kept")
    names = {"nv.bin.tmp.a1B2c3": "removed", "nv.bin.tmp.LIVE00": "kept (a live writer holds it)",
             "nv.bin.tmp.ab": "kept (not a name it makes)", "other.bin.tmp.a1B2c3": "kept (another file's)"}
    for name in names:
        (tmp_path / name).write_bytes(b"\xff" * 4096)
    with open(tmp_path / "nv.bin.tmp.LIVE00", "rb") as live:
        fcntl.flock(live, fcntl.LOCK_EX)  # as a writer in another process holds its file while writing
        m = open_memories(memory("nv", regions=((1, 8),), backing_file=str(path))).selectMemory("nv")
    remaining = {p.name for p in tmp_path.iterdir()}
    assert remaining == {"nv.bin"} | {n for n, fate in names.items() if fate != "removed"}
    assert m.read(0, 4) == b"kept"
    m.program(0, bytearray(b"new!"))  # and its own temporary file is gone after a program
    assert {p.name for p in tmp_path.iterdir()} == remaining and path.read_bytes()[:4] == b"new!"
