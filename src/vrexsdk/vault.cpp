// vrexsdk.vault: __Vault, reached as an attribute of vrexsdk.vrex.Device. Non-volatile memories of the device:
// listing them, a snapshot of one memory's layout (NonVolatileMemory -> Region -> Sector), reading and programming.
//
// Selecting a memory is a client-side act: the SDK is asked for the part number, the regions and every sector, and
// the answers become a tree of plain records; every later SDK call names the memory again by its identifier. The
// composite methods reach the one-call queries through ordinary (name-mangled) attribute lookup on the instance, so
// a subclass that replaces a query changes what the composite builds.
#include "support/buffers.hpp"
#include "support/calls.hpp"
#include "support/derive.hpp"

#include <numpy/arrayobject.h>

namespace {

using vrex::Ref;
using vrex::ServiceObject;

// ---- records ---------------------------------------------------------------------------------------------------

struct SectorObject {
    PyObject ob_base;
    int startingAddress;
    int endingAddress;
};

struct RegionObject {
    PyObject ob_base;
    int sectorSize;
    PyObject* sectors;  // exactly a list, or None
};

struct MemoryObject {
    PyObject ob_base;
    PyObject* context;     // a _Context, or None
    PyObject* id;          // exactly a str, or None
    PyObject* partNumber;  // exactly a str, or None
    PyObject* regions;     // exactly a list, or None
};

// The record types, made once at the module's single initialisation; the module keeps them alive.
PyTypeObject* sector_type = nullptr;
PyTypeObject* region_type = nullptr;
PyTypeObject* memory_type = nullptr;

// Stores `value` in `field` when it is exactly of `type` (a subclass does not do) or None.
bool store_exact(PyObject*& field, PyObject* value, PyTypeObject* type, const char* type_name) {
    if (value != Py_None && Py_TYPE(value) != type) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(value)->tp_name);
        return false;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return true;
}

// A getter that hands out the stored object itself (a caller's change to a list is seen by later reads).
template <class Object, PyObject* Object::*Field>
PyObject* get_object(PyObject* self, void*) {
    PyObject* const value = reinterpret_cast<Object*>(self)->*Field;
    return Py_NewRef(value ? value : Py_None);
}

template <class Object, int Object::*Field>
PyObject* get_int(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<Object*>(self)->*Field);
}

PyObject* sector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"startingAddress", "endingAddress", nullptr};
    PyObject* in[2];
    if (!vrex::parse_tuple("__cinit__", names, 2, 2, args, kwargs, in)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* s = reinterpret_cast<SectorObject*>(self.get());
    if (!vrex::to_int(in[0], s->startingAddress) || !vrex::to_int(in[1], s->endingAddress)) return nullptr;
    return self.release();
}

void sector_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* region_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"sectorSize", "sectors", nullptr};
    PyObject* in[2];
    if (!vrex::parse_tuple("__cinit__", names, 2, 2, args, kwargs, in)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* r = reinterpret_cast<RegionObject*>(self.get());
    r->sectors = Py_NewRef(Py_None);
    if (!vrex::to_int(in[0], r->sectorSize)) return nullptr;
    if (!store_exact(r->sectors, in[1], &PyList_Type, "list")) return nullptr;
    return self.release();
}

int region_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<RegionObject*>(self)->sectors);
    return 0;
}

int region_clear(PyObject* self) {
    Py_XSETREF(reinterpret_cast<RegionObject*>(self)->sectors, Py_NewRef(Py_None));
    return 0;
}

void region_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<RegionObject*>(self)->sectors);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* memory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", "id", "partNumber", "regions", nullptr};
    PyObject* in[4];
    if (!vrex::parse_tuple("__cinit__", names, 4, 4, args, kwargs, in)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* m = reinterpret_cast<MemoryObject*>(self.get());
    for (PyObject** field : {&m->context, &m->id, &m->partNumber, &m->regions}) *field = Py_NewRef(Py_None);
    if (!vrex::store_context(m->context, in[0])) return nullptr;
    if (!store_exact(m->id, in[1], &PyUnicode_Type, "str")) return nullptr;
    if (!store_exact(m->partNumber, in[2], &PyUnicode_Type, "str")) return nullptr;
    if (!store_exact(m->regions, in[3], &PyList_Type, "list")) return nullptr;
    return self.release();
}

int memory_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MemoryObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->context);
    Py_VISIT(m->id);
    Py_VISIT(m->partNumber);
    Py_VISIT(m->regions);
    return 0;
}

int memory_clear(PyObject* self) {
    auto* m = reinterpret_cast<MemoryObject*>(self);
    for (PyObject** field : {&m->context, &m->id, &m->partNumber, &m->regions}) Py_XSETREF(*field, Py_NewRef(Py_None));
    return 0;
}

void memory_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* m = reinterpret_cast<MemoryObject*>(self);
    Py_CLEAR(m->context);
    Py_CLEAR(m->id);
    Py_CLEAR(m->partNumber);
    Py_CLEAR(m->regions);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- reading and programming -----------------------------------------------------------------------------------

// The record's memory identifier as ASCII bytes; None fails the way calling None.encode does.
bool memory_id(MemoryObject* self, vrex::Text& id) {
    return id.from_encode_buffer(self->id ? self->id : Py_None, "ascii");
}

PyObject* read(MemoryObject* self, PyObject* startingAddress, PyObject* dataLen) {
    vrex::Text id;
    if (!memory_id(self, id)) return nullptr;
    // np.empty(dataLen, dtype=np.uint8): NumPy's own errors (negative, non-integer, too large) come first.
    const Ref np = vrex::global<"np">();
    if (!np) return nullptr;
    const Ref empty = Ref::steal(PyObject_GetAttrString(np.get(), "empty"));
    if (!empty) return nullptr;
    const Ref uint8 = Ref::steal(PyObject_GetAttrString(np.get(), "uint8"));
    if (!uint8) return nullptr;
    const Ref kwnames = Ref::steal(Py_BuildValue("(s)", "dtype"));
    if (!kwnames) return nullptr;
    PyObject* const argv[] = {dataLen, uint8.get()};
    const Ref array = Ref::steal(PyObject_Vectorcall(empty.get(), argv, 1, kwnames.get()));
    if (!array) return nullptr;
    {
        vrex::ByteView view;
        if (!view.take(array.get())) return nullptr;
        std::uint8_t* const destination = view.first();
        if (destination == nullptr) return nullptr;
        std::size_t requested = 0;
        if (!vrex::to_size_t(dataLen, requested)) return nullptr;
        std::uint32_t address = 0;
        if (!vrex::to_uint32(startingAddress, address)) return nullptr;
        vrex_ctx_t* const ctx = vrex::handle_of(self->context);
        if (ctx == nullptr) return nullptr;
        // The SDK is told the view's own length (which is dataLen): the destination is exactly that large,
        // whatever count the SDK writes back.
        size_t count = static_cast<size_t>(view.size());
        const int status = vrex::nogil([&] { return vrex_flash_read(ctx, id.c_str(), address, destination, &count); });
        if (!vrex::check(status, ctx)) return nullptr;
    }
    return PyObject_CallMethod(array.get(), "tobytes", nullptr);
}

PyObject* program(MemoryObject* self, PyObject* startingAddress, PyObject* data) {
    vrex::Text id;
    if (!memory_id(self, id)) return nullptr;
    const Ref memoryview = Ref::steal(PyMemoryView_FromObject(data));
    if (!memoryview) return nullptr;
    if (PyObject_Length(memoryview.get()) < 0) return nullptr;  // a zero-dimensional buffer has no length
    // The view holds the caller's buffer exported until the method returns, so it cannot be resized or freed
    // while the SDK reads it without the GIL; nothing is copied.
    vrex::ByteView view;
    if (!view.take(memoryview.get())) return nullptr;
    const std::uint8_t* const source = view.first();
    if (source == nullptr) return nullptr;
    std::uint32_t address = 0;
    if (!vrex::to_uint32(startingAddress, address)) return nullptr;
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    size_t count = static_cast<size_t>(view.size());
    const int status = vrex::nogil([&] { return vrex_flash_program(ctx, id.c_str(), address, source, &count); });
    if (!vrex::check(status, ctx)) return nullptr;
    Py_RETURN_NONE;
}

// ---- __Vault ---------------------------------------------------------------------------------------------------

template <auto Sdk, class Result = vrex::Natural>
constexpr auto query = vrex::sdk<Sdk, Result, vrex::AsciiText>;

// `range(count)` over a count a query returned.
bool loop_count(const Ref& count, Py_ssize_t& n) {
    n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
    return !(n == -1 && PyErr_Occurred());
}

// a, b = pair, with the messages of a two-target unpacking.
bool unpack_two(PyObject* pair, Ref& a, Ref& b) {
    const auto too_few = [](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
        return false;
    };
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
        if (n > 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            return false;
        }
        if (n < 2) return too_few(n);
        a = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
        b = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return true;
    }
    const Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) return false;
    a = Ref::steal(PyIter_Next(it.get()));
    if (!a) return PyErr_Occurred() ? false : too_few(0);
    b = Ref::steal(PyIter_Next(it.get()));
    if (!b) return PyErr_Occurred() ? false : too_few(1);
    const Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// type(*args): the module's own record types, called directly.
Ref make(PyTypeObject* type, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(type), std::data(args), args.size(), nullptr));
}

PyObject* retrieveRegionSectors(ServiceObject* self, PyObject* vaultId, PyObject* regionIdx, PyObject* sectorOffset) {
    PyObject* const me = &self->ob_base;
    Ref sectors = Ref::steal(PyList_New(0));
    if (!sectors) return nullptr;
    const Ref count = vrex::call_method<"_Vault__getSectorCount">(me, vaultId, regionIdx);
    Py_ssize_t n = 0;
    if (!count || !loop_count(count, n)) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Ref number = Ref::steal(PyLong_FromSsize_t(i));
        if (!number) return nullptr;
        // The sector index counts over the whole memory: the region's offset plus the sector's place in it.
        const Ref index = Ref::steal(PyNumber_Add(sectorOffset, number.get()));
        if (!index) return nullptr;
        const Ref range = vrex::call_method<"_Vault__getSectorAddressRange">(me, vaultId, index.get());
        if (!range) return nullptr;
        Ref start, end;
        if (!unpack_two(range.get(), start, end)) return nullptr;
        const Ref sector = make(sector_type, {start.get(), end.get()});
        if (!sector || PyList_Append(sectors.get(), sector.get()) < 0) return nullptr;
    }
    return sectors.release();
}

PyObject* retrieveVaultRegions(ServiceObject* self, PyObject* vaultId) {
    PyObject* const me = &self->ob_base;
    Ref regions = Ref::steal(PyList_New(0));
    if (!regions) return nullptr;
    const Ref count = vrex::call_method<"_Vault__getRegionCount">(me, vaultId);
    Py_ssize_t n = 0;
    if (!count || !loop_count(count, n)) return nullptr;
    Ref offset = Ref::steal(PyLong_FromLong(0));
    if (!offset) return nullptr;
    for (Py_ssize_t r = 0; r < n; ++r) {
        const Ref index = Ref::steal(PyLong_FromSsize_t(r));
        if (!index) return nullptr;
        const Ref size = vrex::call_method<"_Vault__getSectorSize">(me, vaultId, index.get());
        if (!size) return nullptr;
        const Ref sectors = vrex::call_method<"_Vault__retrieveRegionSectors">(me, vaultId, index.get(), offset.get());
        if (!sectors) return nullptr;
        const Ref region = make(region_type, {size.get(), sectors.get()});
        if (!region || PyList_Append(regions.get(), region.get()) < 0) return nullptr;
        // The region's count is asked again here rather than taken from the sectors built: a subclass may
        // number sectors differently from the list it returns.
        const Ref in_region = vrex::call_method<"_Vault__getSectorCount">(me, vaultId, index.get());
        if (!in_region) return nullptr;
        offset = Ref::steal(PyNumber_Add(offset.get(), in_region.get()));
        if (!offset) return nullptr;
    }
    return regions.release();
}

PyObject* selectMemory(ServiceObject* self, PyObject* vaultId) {
    PyObject* const me = &self->ob_base;
    const Ref part = vrex::call_method<"_Vault__getPartNumber">(me, vaultId);
    if (!part) return nullptr;
    const Ref regions = vrex::call_method<"_Vault__retrieveVaultRegions">(me, vaultId);
    if (!regions) return nullptr;
    return make(memory_type, {self->context, vaultId, part.get(), regions.get()}).release();
}

// ---- types and module ------------------------------------------------------------------------------------------

#define VREX_QUALIFIER "vrexsdk.vault.__Vault"

PyMethodDef vault_methods[] = {
    VREX_IDENTIFIER_LIST("getIds",
                         "Retrieves identifiers of non-volatile memories.\n\n"
                         "        Returns:\n"
                         "            A list of str objects representing identifiers of non-volatile memories.\n        ",
                         "__getCount", (query<vrex_flash_count>), "__getId", (query<vrex_flash_id>), "vaultIdx"),
    VREX_METHOD("selectMemory", selectMemory,
                "Chooses the non-volatile memory specified by identifier.\n\n"
                "        Args:\n"
                "            vaultId (str): Non-volatile memory identifier.\n\n"
                "        Returns:\n"
                "            A :obj:`~vrexsdk.vault.NonVolatileMemory` object.\n        ",
                "vaultId"),
    VREX_METHOD("__retrieveVaultRegions", retrieveVaultRegions, nullptr, "vaultId"),
    VREX_METHOD("__retrieveRegionSectors", retrieveRegionSectors, nullptr, "vaultId",
                "regionIdx", "sectorOffset"),
    VREX_METHOD("__getPartNumber", (query<vrex_flash_part_nr>), nullptr, "vaultId"),
    VREX_METHOD("__getRegionCount", (query<vrex_flash_regions>), nullptr, "vaultId"),
    VREX_METHOD("__getSectorCount", (query<vrex_flash_sector_count>), nullptr, "vaultId",
                "regionIdx"),
    VREX_METHOD("__getSectorSize", (query<vrex_flash_sector_size>), nullptr, "vaultId",
                "regionIdx"),
    VREX_METHOD("__getSectorAddressRange", (query<vrex_flash_sector_address_range, vrex::Tuple>), nullptr, "vaultId", "sectorIdx"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

vrex::ServiceSpec<ServiceObject> vault_spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Non-volatile memory object."));

#undef VREX_QUALIFIER
#define VREX_QUALIFIER "vrexsdk.vault.NonVolatileMemory"

PyMethodDef memory_methods[] = {
    VREX_METHOD("read", read,
                "Reads from the selected non-volatile memory.\n\n"
                "        Args:\n"
                "            startingAddress (int): Starting address.\n"
                "            dataLen (int): Length of the data to be read from the memory device.\n\n"
                "        Returns:\n"
                "            Data read from the selected non-volatile memory.\n        ",
                "startingAddress", "dataLen"),
    VREX_METHOD("program", program,
                "Writes to the selected non-volatile memory.\n\n"
                "        Args:\n"
                "            startingAddress (int): Starting address.\n"
                "            data (bytearray): Data to be written to the memory device.\n        ",
                "startingAddress", "data"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

PyMethodDef pickling_only[] = {VREX_PICKLING_METHODS, VREX_METHODS_END};

PyGetSetDef sector_getset[] = {
    {"startingAddress", get_int<SectorObject, &SectorObject::startingAddress>, nullptr, nullptr, nullptr},
    {"endingAddress", get_int<SectorObject, &SectorObject::endingAddress>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyGetSetDef region_getset[] = {
    {"sectorSize", get_int<RegionObject, &RegionObject::sectorSize>, nullptr, nullptr, nullptr},
    {"sectors", get_object<RegionObject, &RegionObject::sectors>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyGetSetDef memory_getset[] = {
    {"id", get_object<MemoryObject, &MemoryObject::id>, nullptr, nullptr, nullptr},
    {"partNumber", get_object<MemoryObject, &MemoryObject::partNumber>, nullptr, nullptr, nullptr},
    {"regions", get_object<MemoryObject, &MemoryObject::regions>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot sector_slots[] = {
    {Py_tp_doc, const_cast<char*>("\n    Contains sector information.\n\n"
                                  "    Args:\n"
                                  "        startingAddress (int): Starting address of the sector.\n"
                                  "        endingAddress (int): Ending address of the sector.\n    ")},
    {Py_tp_new, reinterpret_cast<void*>(sector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sector_dealloc)},
    {Py_tp_getset, sector_getset},
    {Py_tp_methods, pickling_only},
    {0, nullptr}};

PyType_Slot region_slots[] = {
    {Py_tp_doc, const_cast<char*>("\n    Contains region information.\n\n"
                                  "    Args:\n"
                                  "        sectorSize (int): Size of the sector in the region.\n"
                                  "            Every sector inside the region has the same size.\n"
                                  "        sectors (List[Sector]): List of sectors inside the region.\n    ")},
    {Py_tp_new, reinterpret_cast<void*>(region_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(region_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(region_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(region_dealloc)},
    {Py_tp_getset, region_getset},
    {Py_tp_methods, pickling_only},
    {0, nullptr}};

PyType_Slot memory_slots[] = {
    {Py_tp_doc, const_cast<char*>("\n    Contains non-volatile memory information\n\n"
                                  "    Args:\n"
                                  "        id (str): Non-volatile memory identifier.\n"
                                  "        partNumber (str): Memory ordering part number.\n"
                                  "        regions (List[Region]): List of regions inside the flash memory.\n    ")},
    {Py_tp_new, reinterpret_cast<void*>(memory_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(memory_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(memory_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(memory_dealloc)},
    {Py_tp_getset, memory_getset},
    {Py_tp_methods, memory_methods},
    {0, nullptr}};

constexpr unsigned long record_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;

// A Sector holds no object references, so the collector does not track it.
PyType_Spec sector_spec = {"vrexsdk.vault.Sector", sizeof(SectorObject), 0, record_flags, sector_slots};
PyType_Spec region_spec = {"vrexsdk.vault.Region", sizeof(RegionObject), 0, record_flags | Py_TPFLAGS_HAVE_GC,
                           region_slots};
PyType_Spec memory_spec = {VREX_QUALIFIER, sizeof(MemoryObject), 0,
                           record_flags | Py_TPFLAGS_HAVE_GC, memory_slots};

// The record types, published beside the wrapper.
bool publish_records(PyObject* module, PyTypeObject*) {
    return (sector_type = vrex::publish_type(module, sector_spec)) != nullptr &&
           (region_type = vrex::publish_type(module, region_spec)) != nullptr &&
           (memory_type = vrex::publish_type(module, memory_spec)) != nullptr;
}

}  // namespace

VREX_SERVICE_MODULE(vault, "Non-volatile memories of the device.",
                    .spec = &vault_spec.spec, .methods = vault_methods,
                    .bindings = {{"np", "numpy"}, {"List", "typing", "List"}}, .import_numpy = PyArray_ImportNumPyAPI,
                    .finish = publish_records)
