// NumPy arrays over SDK memory, without a copy.
//
// Each array views a buffer the SDK owns for the duration of a data callback. Its base is a small exporter
// object that records pointer, shape, item size and PEP 3118 format (so the memory can also be reached through
// the buffer protocol) and never frees anything. Every view of such an array, however derived, ends its base
// chain at that exporter, so the exporter's reference count tells whether anything still looks at the block.
//
// Arrays are made through the module global `np`: np.asarray over the exporter, np.empty(0) for an empty block.
// While `np` is the NumPy module bound at initialisation, the same arrays are built directly from dtypes made
// once (np.asarray would parse the structure format in Python on every delivery); a module that has replaced or
// removed its `np` gets what its `np` makes, checked to be an ndarray.
//
// Include after defining nothing special: each module that uses this is a single translation unit and calls
// PyArray_ImportNumPyAPI() at initialisation, before init_arrays().
#pragma once

#include "module.hpp"
#include "records.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include <numpy/arrayobject.h>

namespace vrex {

enum class Element { U8, U16, U32, U64, ToaTot, ItotEvent, BinnedDdToaTot, BinDescriptor, Count };

// One member of a record: its name, PEP 3118 code (I: uint32, Q: uint64) and offset.
struct Member {
    const char* name;
    char code;
    std::size_t offset;
};

// Each element kind, once: its wrapper's traceback name, item size, and for a record its members, from which
// both the buffer format and the NumPy dtype are derived.
struct ElementInfo {
    const char* wrapper;  // traceback entry of errors raised while wrapping
    Py_ssize_t itemsize;
    char code;            // PEP 3118 code of a plain element; 'T' for a record
    Member members[3];
    int member_count;
    const char* format;   // PEP 3118, native order and alignment; filled from the members at initialisation
};

#define VREX_MEMBER(record, name, code) Member{#name, code, offsetof(record, name)}

inline ElementInfo* element_table() noexcept {
    static ElementInfo table[] = {
        {"vrexsdk.acquisition.wrapcBuffer8b", 1, 'B', {}, 0, "B"},
        {"vrexsdk.acquisition.wrapcBuffer16b", 2, 'H', {}, 0, "H"},
        {"vrexsdk.acquisition.wrapcBuffer32b", 4, 'I', {}, 0, "I"},
        {"vrexsdk.acquisition.wrapcBuffer64b", 8, 'Q', {}, 0, "Q"},
        {"vrexsdk.acquisition.wrapcBufferToaTotStruct", sizeof(toa_tot_struct), 'T',
         {VREX_MEMBER(toa_tot_struct, address, 'I'), VREX_MEMBER(toa_tot_struct, tot, 'I'),
          VREX_MEMBER(toa_tot_struct, toa, 'Q')}, 3, nullptr},
        {"vrexsdk.acquisition.wrapcBufferItotEventStruct", sizeof(itot_event_struct), 'T',
         {VREX_MEMBER(itot_event_struct, address, 'I'), VREX_MEMBER(itot_event_struct, itot, 'I'),
          VREX_MEMBER(itot_event_struct, event, 'Q')}, 3, nullptr},
        {"vrexsdk.acquisition.wrapcBufferBinnedDdToaTotStruct", sizeof(binned_dd_toa_tot_struct), 'T',
         {VREX_MEMBER(binned_dd_toa_tot_struct, address, 'I'), VREX_MEMBER(binned_dd_toa_tot_struct, count, 'I'),
          VREX_MEMBER(binned_dd_toa_tot_struct, itot, 'I')}, 3, nullptr},
        {"vrexsdk.acquisition.wrapcBinDescriptors", sizeof(binning_metadata_struct), 'T',
         {VREX_MEMBER(binning_metadata_struct, offset, 'I'), VREX_MEMBER(binning_metadata_struct, packet_count, 'I')},
         2, nullptr},
    };
    static_assert(std::size(table) == static_cast<std::size_t>(Element::Count));
    return table;
}

#undef VREX_MEMBER

inline const ElementInfo& element_info(Element e) noexcept { return element_table()[static_cast<int>(e)]; }

struct ExporterObject {
    PyObject ob_base;
    void* data;
    Py_ssize_t shape[1];
    Py_ssize_t strides[1];
    Py_ssize_t itemsize;
    const char* format;
    bool pooled;  // the exporter pool holds one reference to it
};

// Made once, at the module's single initialisation, then only read.
struct ArrayTypes {
    PyTypeObject* exporter = nullptr;
    PyArray_Descr* descr[static_cast<int>(Element::Count)] = {};
    PyObject* numpy = nullptr;  // the module `np` was bound to; while `np` is still it, arrays take the fast path
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

// Exporters are made only here, over memory the SDK handed out: one built from Python would describe no memory.
#if PY_VERSION_HEX < 0x030A0000
inline PyObject* exporter_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances", type->tp_name);
    return nullptr;
}
#endif

inline PyType_Slot exporter_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(exporter_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(exporter_dealloc)},
    {Py_tp_doc, const_cast<char*>("View of a buffer the SDK owns; never frees it.")},
#if PY_VERSION_HEX < 0x030A0000
    {Py_tp_new, reinterpret_cast<void*>(exporter_new)},
#endif
    {0, nullptr}};

#if PY_VERSION_HEX >= 0x030A0000
inline constexpr unsigned long exporter_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
inline constexpr unsigned long exporter_flags = Py_TPFLAGS_DEFAULT;
#endif

inline PyType_Spec exporter_spec = {"vrexsdk.acquisition._SdkBuffer", sizeof(ExporterObject), 0, exporter_flags,
                                    exporter_slots};

// The dtype of a record, from its members: names, little-endian unsigned formats, offsets and item size.
inline PyArray_Descr* record_dtype(PyObject* np_dtype, const ElementInfo& info) {
    const Ref names = Ref::steal(PyList_New(0)), formats = Ref::steal(PyList_New(0)),
              offsets = Ref::steal(PyList_New(0));
    if (!names || !formats || !offsets) return nullptr;
    for (int i = 0; i < info.member_count; ++i) {
        const Member& m = info.members[i];
        const Ref name = Ref::steal(PyUnicode_FromString(m.name));
        const Ref format = Ref::steal(PyUnicode_FromString(m.code == 'Q' ? "u8" : "u4"));
        const Ref offset = Ref::steal(PyLong_FromSize_t(m.offset));
        if (!name || !format || !offset || PyList_Append(names.get(), name.get()) < 0 ||
            PyList_Append(formats.get(), format.get()) < 0 || PyList_Append(offsets.get(), offset.get()) < 0)
            return nullptr;
    }
    const Ref spec = Ref::steal(Py_BuildValue("{s:O,s:O,s:O,s:n}", "names", names.get(), "formats", formats.get(),
                                              "offsets", offsets.get(), "itemsize", info.itemsize));
    if (!spec) return nullptr;
    PyObject* const d = PyObject_CallOneArg(np_dtype, spec.get());
    if (d != nullptr && !PyArray_DescrCheck(d)) {
        Py_DECREF(d);
        PyErr_SetString(PyExc_TypeError, "numpy.dtype did not return a dtype");
        return nullptr;
    }
    return reinterpret_cast<PyArray_Descr*>(d);
}

// The PEP 3118 structure format of a record, e.g. "T{I:address:I:tot:Q:toa:}".
inline std::string record_format(const ElementInfo& info) {
    std::string f = "T{";
    for (int i = 0; i < info.member_count; ++i) f += std::string(1, info.members[i].code) + ":" + info.members[i].name + ":";
    return f + "}";
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
    Ref np = Ref::steal(PyImport_ImportModule("numpy"));
    const Ref np_dtype = np ? Ref::steal(PyObject_GetAttrString(np.get(), "dtype")) : Ref();
    if (!np_dtype) return false;
    Py_XSETREF(t.numpy, np.release());
    // The record formats are made once and live as long as the process (the table is static).
    static std::string formats[static_cast<int>(Element::Count)];
    for (int i = static_cast<int>(Element::ToaTot); i < static_cast<int>(Element::Count); ++i) {
        ElementInfo& info = element_table()[i];
        formats[i] = detail::record_format(info);
        info.format = formats[i].c_str();
        t.descr[i] = detail::record_dtype(np_dtype.get(), info);
    }
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
    reinterpret_cast<ExporterObject*>(fresh)->pooled = true;
    if (slot != nullptr) reinterpret_cast<ExporterObject*>(slot)->pooled = false;  // still held elsewhere
    Py_XSETREF(slot, Py_NewRef(fresh));
    return reinterpret_cast<ExporterObject*>(fresh);
}

// True when something besides the caller's one reference (and the pool's) holds the exporter: an array made over
// it, or a view of one, is still alive. GIL held.
inline bool exporter_in_use(PyObject* exporter) noexcept {
    const Py_ssize_t own = 1 + (reinterpret_cast<ExporterObject*>(exporter)->pooled ? 1 : 0);
    return Py_REFCNT(exporter) > own;
}

// The empty array of an empty block: float64, length 0, no record fields.
inline PyObject* empty_array() {
    npy_intp zero = 0;
    return PyArray_SimpleNew(1, &zero, NPY_DOUBLE);
}

namespace detail {

// Whether `np` in the module's namespace is known to be still the module bound at initialisation, so that a
// delivery need not look it up. Whatever could have changed it clears that: before 3.12 any change to the
// namespace (its dict's version moves), from 3.12 a change to `np` itself or to the dict as a whole (a dict
// watcher is told). Touched with the GIL held only.
struct NumpyConfirmation {
#if PY_VERSION_HEX >= 0x030C0000
    bool confirmed = false;
    int watcher = -1;  // -1: none yet; -2: none could be had, so every check looks
#else
    bool confirmed = false;
    std::uint64_t version = 0;  // the namespace's version when `np` was last found to be the bound module
#endif
};

inline NumpyConfirmation& numpy_confirmation() noexcept {
    static NumpyConfirmation c;
    return c;
}

#if PY_VERSION_HEX >= 0x030C0000
inline int numpy_watcher(PyDict_WatchEvent event, PyObject*, PyObject* key, PyObject*) noexcept {
    if (event == PyDict_EVENT_CLONED || event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_DEALLOCATED ||
        key == nullptr || (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "np") == 0))
        numpy_confirmation().confirmed = false;
    return 0;
}
#endif

inline bool numpy_confirmed(PyObject* globals) noexcept {
    const NumpyConfirmation& c = numpy_confirmation();
#if PY_VERSION_HEX >= 0x030C0000
    (void)globals;
    return c.confirmed;
#else
    return c.confirmed && reinterpret_cast<PyDictObject*>(globals)->ma_version_tag == c.version;
#endif
}

// `np` was just found to be the bound module.
inline void confirm_numpy(PyObject* globals) {
    NumpyConfirmation& c = numpy_confirmation();
#if PY_VERSION_HEX >= 0x030C0000
    if (c.watcher == -1) {
        const int id = PyDict_AddWatcher(numpy_watcher);
        if (id < 0 || PyDict_Watch(id, globals) < 0) {
            PyErr_Clear();  // the interpreter's watchers are all taken: look every time instead
            if (id >= 0) PyDict_ClearWatcher(id);
            c.watcher = -2;
        } else {
            c.watcher = id;
        }
    }
    c.confirmed = c.watcher >= 0;
#else
    c.version = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
    c.confirmed = true;
#endif
}

// Null when `np` is still the module bound at initialisation (or the calling module has no namespace of its own
// to look it up in), else a new reference to what `np` now is; sets `failed` with the error set (NameError when
// it is gone). On the fast path a comparison; one dictionary lookup after the namespace changed.
inline Ref replaced_numpy(bool& failed) {
    failed = false;
    PyObject* const globals = module_globals();
    if (globals == nullptr || numpy_confirmed(globals)) return Ref();
    PyObject* const name = interned<"np">();
    if (name != nullptr) {
        PyObject* const current = PyDict_GetItemWithError(globals, name);
        if (current != nullptr && current == array_types().numpy) {
            confirm_numpy(globals);
            return Ref();
        }
    }
    if (PyErr_Occurred()) {
        failed = true;
        return Ref();
    }
    Ref np = global<"np">();
    failed = !np;
    return np;
}

// The result of np.asarray or np.empty, which must be an ndarray.
inline PyObject* require_ndarray(PyObject* result) {
    if (result != nullptr && !PyArray_Check(result)) {
        raise_cannot_convert(result, &PyArray_Type);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

}  // namespace detail

// Arrays made one after the other with no Python code run in between (those of one delivery) share one look at
// `np`: once it was found to be the bound module, the next arrays take the fast path without looking again.
struct NumpyCheck {
    bool bound = false;
};

// A one-dimensional, C-contiguous, writable array of `count` elements of `e` over `data`, which stays the SDK's.
// A null pointer or a zero count gives the empty float64 array. Returns a new reference, or null with the error
// set and a traceback entry naming the wrapper. With `exporter_out` given, it receives a new reference to the
// exporter the array views (left null for an empty block), so the caller can tell afterwards whether the array,
// or any view of it, is still alive.
inline PyObject* wrap_buffer(Element e, std::uint64_t count, void* data, PyObject** exporter_out = nullptr,
                             NumpyCheck* checked = nullptr) {
    const ElementInfo& info = element_info(e);
    Ref np;
    if (checked == nullptr || !checked->bound) {
        bool failed = false;
        np = detail::replaced_numpy(failed);
        if (failed) {
            add_traceback(info.wrapper);
            return nullptr;
        }
        // A replaced np runs Python code, which may change `np` again: look each time then.
        if (checked != nullptr && !np) checked->bound = true;
    }
    if (data == nullptr || count == 0) {
        PyObject* const empty =
            np ? detail::require_ndarray(PyObject_CallMethod(np.get(), "empty", "i", 0)) : empty_array();
        if (empty == nullptr) add_traceback(info.wrapper);
        return empty;
    }
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
    if (exporter_out != nullptr) *exporter_out = Py_NewRef(reinterpret_cast<PyObject*>(exporter));
    if (np) {
        const Ref owned = Ref::steal(reinterpret_cast<PyObject*>(exporter));
        PyObject* const name = interned<"asarray">();
        PyObject* const array =
            name == nullptr ? nullptr
                            : detail::require_ndarray(PyObject_CallMethodOneArg(np.get(), name, owned.get()));
        if (array == nullptr) add_traceback(info.wrapper);
        return array;
    }
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
