// NumPy arrays over SDK memory, without a copy.
//
// Each array views a buffer the SDK owns for the duration of a data callback. Its base is a small exporter
// object that records pointer, shape, item size and PEP 3118 format (so the memory can also be reached through
// the buffer protocol) and never frees anything. Arrays are built from dtypes made once at initialisation: going
// through np.asarray over the exporter would parse the structure format in Python on every delivery.
//
// Include after defining nothing special: each module that uses this is a single translation unit and calls
// PyArray_ImportNumPyAPI() at initialisation, before init_arrays().
#pragma once

#include "errors.hpp"

#include <cstddef>
#include <cstdint>

#include <numpy/arrayobject.h>

namespace vrex {

enum class Element { U8, U16, U32, U64, ToaTot, ItotEvent, BinnedDdToaTot, BinDescriptor, Count };

struct ElementInfo {
    const char* wrapper;  // traceback entry of errors raised while wrapping
    Py_ssize_t itemsize;
    const char* format;  // PEP 3118, native order and alignment
};

inline const ElementInfo& element_info(Element e) noexcept {
    static constexpr ElementInfo table[] = {
        {"vrexsdk.acquisition.wrapcBuffer8b", 1, "B"},
        {"vrexsdk.acquisition.wrapcBuffer16b", 2, "H"},
        {"vrexsdk.acquisition.wrapcBuffer32b", 4, "I"},
        {"vrexsdk.acquisition.wrapcBuffer64b", 8, "Q"},
        {"vrexsdk.acquisition.wrapcBufferToaTotStruct", 16, "T{I:address:I:tot:Q:toa:}"},
        {"vrexsdk.acquisition.wrapcBufferItotEventStruct", 16, "T{I:address:I:itot:Q:event:}"},
        {"vrexsdk.acquisition.wrapcBufferBinnedDdToaTotStruct", 12, "T{I:address:I:count:I:itot:}"},
        {"vrexsdk.acquisition.wrapcBinDescriptors", 8, "T{I:offset:I:packet_count:}"},
    };
    return table[static_cast<int>(e)];
}

// The record layouts of the SDK's buffers.
struct toa_tot_struct {
    std::uint32_t address;
    std::uint32_t tot;
    std::uint64_t toa;
};
struct itot_event_struct {
    std::uint32_t address;
    std::uint32_t itot;
    std::uint64_t event;
};
struct binned_dd_toa_tot_struct {
    std::uint32_t address;
    std::uint32_t count;
    std::uint32_t itot;
};
struct binning_metadata_struct {
    std::uint32_t offset;
    std::uint32_t packet_count;
};
static_assert(sizeof(toa_tot_struct) == 16 && offsetof(toa_tot_struct, toa) == 8);
static_assert(sizeof(itot_event_struct) == 16 && offsetof(itot_event_struct, event) == 8);
static_assert(sizeof(binned_dd_toa_tot_struct) == 12 && offsetof(binned_dd_toa_tot_struct, itot) == 8);
static_assert(sizeof(binning_metadata_struct) == 8 && offsetof(binning_metadata_struct, packet_count) == 4);

struct ExporterObject {
    PyObject ob_base;
    void* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    Py_ssize_t itemsize;
    const char* format;
};

// Made once, at the module's single initialisation, then only read.
struct ArrayTypes {
    PyTypeObject* exporter = nullptr;
    PyArray_Descr* descr[static_cast<int>(Element::Count)] = {};
};

inline ArrayTypes& array_types() noexcept {
    static ArrayTypes types;
    return types;
}

namespace detail {

inline int exporter_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* e = reinterpret_cast<ExporterObject*>(self);
    view->obj = Py_NewRef(self);
    view->buf = e->data;
    view->len = e->shape[0] * e->itemsize;
    view->readonly = 0;
    view->itemsize = e->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(e->format) : nullptr;
    view->ndim = 1;
    view->shape = (flags & PyBUF_ND) ? e->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? e->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

inline void exporter_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyType_Slot exporter_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(exporter_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(exporter_dealloc)},
    {Py_tp_doc, const_cast<char*>("View of a buffer the SDK owns; never frees it.")},
    {0, nullptr}};

inline PyType_Spec exporter_spec = {"vrexsdk.acquisition._SdkBuffer", sizeof(ExporterObject), 0, Py_TPFLAGS_DEFAULT,
                                    exporter_slots};

inline PyArray_Descr* record_dtype(PyObject* np_dtype, std::initializer_list<const char*> names,
                                   std::initializer_list<const char*> formats,
                                   std::initializer_list<long> offsets, long itemsize) {
    const Ref n = Ref::steal(PyList_New(0)), f = Ref::steal(PyList_New(0)), o = Ref::steal(PyList_New(0));
    if (!n || !f || !o) return nullptr;
    for (const char* s : names)
        if (PyList_Append(n.get(), Ref::steal(PyUnicode_FromString(s)).get()) < 0) return nullptr;
    for (const char* s : formats)
        if (PyList_Append(f.get(), Ref::steal(PyUnicode_FromString(s)).get()) < 0) return nullptr;
    for (const long v : offsets)
        if (PyList_Append(o.get(), Ref::steal(PyLong_FromLong(v)).get()) < 0) return nullptr;
    const Ref spec = Ref::steal(Py_BuildValue("{s:O,s:O,s:O,s:l}", "names", n.get(), "formats", f.get(), "offsets",
                                              o.get(), "itemsize", itemsize));
    if (!spec) return nullptr;
    PyObject* const d = PyObject_CallOneArg(np_dtype, spec.get());
    if (d != nullptr && !PyArray_DescrCheck(d)) {
        Py_DECREF(d);
        PyErr_SetString(PyExc_TypeError, "numpy.dtype did not return a dtype");
        return nullptr;
    }
    return reinterpret_cast<PyArray_Descr*>(d);
}

}  // namespace detail

// Builds the exporter type and the dtypes. NumPy's C interface must be initialised.
inline bool init_arrays() {
    ArrayTypes& t = array_types();
    t.exporter = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&detail::exporter_spec));
    if (t.exporter == nullptr) return false;
    const int plain[] = {NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINT64};
    for (int i = 0; i < 4; ++i)
        if ((t.descr[i] = PyArray_DescrFromType(plain[i])) == nullptr) return false;
    const Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    const Ref np_dtype = np ? Ref::steal(PyObject_GetAttrString(np.get(), "dtype")) : Ref();
    if (!np_dtype) return false;
    using detail::record_dtype;
    PyObject* const dt = np_dtype.get();
    t.descr[static_cast<int>(Element::ToaTot)] =
        record_dtype(dt, {"address", "tot", "toa"}, {"u4", "u4", "u8"}, {0, 4, 8}, 16);
    t.descr[static_cast<int>(Element::ItotEvent)] =
        record_dtype(dt, {"address", "itot", "event"}, {"u4", "u4", "u8"}, {0, 4, 8}, 16);
    t.descr[static_cast<int>(Element::BinnedDdToaTot)] =
        record_dtype(dt, {"address", "count", "itot"}, {"u4", "u4", "u4"}, {0, 4, 8}, 12);
    t.descr[static_cast<int>(Element::BinDescriptor)] =
        record_dtype(dt, {"offset", "packet_count"}, {"u4", "u4"}, {0, 4}, 8);
    for (PyArray_Descr* d : t.descr)
        if (d == nullptr) return false;
    return true;
}

// Exporters for the next arrays. Each delivery drops its arrays after the call, so by the next delivery their
// exporters are usually held by this pool alone and can serve again instead of being freed and allocated; one
// that anything else still holds (an array kept by the user, a memoryview of it) is left alone. GIL held.
struct ExporterPool {
    static constexpr unsigned size = 16;
    PyObject* slots[size] = {};
    unsigned next = 0;
};

inline ExporterPool& exporter_pool() noexcept {
    static ExporterPool pool;
    return pool;
}

// A new reference to an exporter whose fields the caller sets, or null with the error set.
inline ExporterObject* take_exporter() {
    ExporterPool& pool = exporter_pool();
    PyObject*& slot = pool.slots[pool.next++ % ExporterPool::size];
    if (slot != nullptr && Py_REFCNT(slot) == 1) return reinterpret_cast<ExporterObject*>(Py_NewRef(slot));
    PyTypeObject* const type = array_types().exporter;
    PyObject* const fresh = type->tp_alloc(type, 0);
    if (fresh == nullptr) return nullptr;
    Py_XSETREF(slot, Py_NewRef(fresh));
    return reinterpret_cast<ExporterObject*>(fresh);
}

// The empty array of an empty block: float64, length 0, no record fields.
inline PyObject* empty_array() {
    npy_intp zero = 0;
    return PyArray_SimpleNew(1, &zero, NPY_DOUBLE);
}

// A one-dimensional, C-contiguous, writable array of `count` elements of `e` over `data`, which stays the SDK's.
// A null pointer or a zero count gives the empty float64 array. Returns a new reference, or null with the error
// set and a traceback entry naming the wrapper.
inline PyObject* wrap_buffer(Element e, std::uint64_t count, void* data) {
    if (data == nullptr || count == 0) return empty_array();
    const ElementInfo& info = element_info(e);
    // The count is taken as a signed size; past 2**63 it turns negative, which no array can have.
    const auto n = static_cast<Py_ssize_t>(count);
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "Invalid shape in axis %d: %zd.", 0, n);
        add_traceback(info.wrapper);
        return nullptr;
    }
    const ArrayTypes& t = array_types();
    ExporterObject* const exporter = take_exporter();
    if (exporter == nullptr) {
        add_traceback(info.wrapper);
        return nullptr;
    }
    exporter->data = data;
    exporter->shape[0] = n;
    exporter->strides[0] = info.itemsize;
    exporter->itemsize = info.itemsize;
    exporter->format = info.format;
    PyArray_Descr* const descr = t.descr[static_cast<int>(e)];
    Py_INCREF(descr);  // stolen below
    npy_intp dims[1] = {n};
    PyObject* const array =
        PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr) {
        Py_DECREF(exporter);
        add_traceback(info.wrapper);
        return nullptr;
    }
    // The array keeps the exporter as its base (the reference is stolen, also on failure).
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), reinterpret_cast<PyObject*>(exporter)) < 0) {
        Py_DECREF(array);
        add_traceback(info.wrapper);
        return nullptr;
    }
    return array;
}

}  // namespace vrex
