// Module initialisation and the service-wrapper pattern every functional class follows.
//
// A module can be initialised once per process (a second initialisation raises ImportError), so what it
// imports at initialisation (the _Context type, the exception classes, its own namespace) is kept in a few
// process-wide slots of this module, written during that one initialisation and only read afterwards. The C
// callbacks need them too, and the SDK hands them nothing to find a module state with.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "layouts.hpp"

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

namespace vrex {

// ---- initialisation ------------------------------------------------------------------------------------------

inline bool first_initialisation(const char* short_name) {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
        return false;
    }
    return true;
}

inline PyTypeObject*& context_type() noexcept {
    static PyTypeObject* type = nullptr;
    return type;
}

// The module's namespace, where methods look records and helpers up at call time.
inline PyObject*& module_globals() noexcept {
    static PyObject* globals = nullptr;
    return globals;
}

// Imports `module.name`, which must be a type whose instances are at least `size` bytes (larger only warns).
// Returns a new reference.
inline PyObject* import_type(const char* module, const char* name, Py_ssize_t size) {
    const Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref obj = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module, name);
        return nullptr;
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
    if (actual < size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                     "got %zd from PyObject",
                     module, name, size, actual);
        return nullptr;
    }
    if (actual > size &&
        PyErr_WarnFormat(nullptr, 0,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                         "header, got %zd from PyObject",
                         module, name, size, actual) < 0)
        return nullptr;
    return obj.release();
}

// Binds `global` in the module to `modname` (or to its attribute `attr`).
inline bool bind_import(PyObject* module, const char* global, const char* modname, const char* attr = nullptr) {
    Ref value = Ref::steal(PyImport_ImportModule(modname));
    if (value && attr != nullptr) value = Ref::steal(PyObject_GetAttrString(value.get(), attr));
    if (!value) return false;
    return PyModule_AddObjectRef(module, global, value.get()) == 0;
}

// What every module imports after publishing its own type: the _Context type, the six exception classes of
// vrexsdk.errors, and the module vrexsdk.errors itself as the global `errors`.
inline bool import_siblings(PyObject* module) {
    module_globals() = PyModule_GetDict(module);
    Py_INCREF(module_globals());
    PyObject* const ctx = import_type("vrexsdk.context", "_Context", sizeof(ContextObject));
    if (ctx == nullptr) return false;
    context_type() = reinterpret_cast<PyTypeObject*>(ctx);
    if (!import_gate()) return false;
    const Ref errors = Ref::steal(PyImport_ImportModule("vrexsdk.errors"));
    if (!errors) return false;
    ErrorClasses& classes = error_classes();
    for (std::size_t i = 0; i < status_count; ++i) {
        const char* const name = status_table[i].name;
        Ref cls = Ref::steal(PyObject_GetAttrString(errors.get(), name));
        if (!cls) return false;
        if (!PyType_Check(cls.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", "vrexsdk.errors", name);
            return false;
        }
        Py_XSETREF(classes.by_row[i], cls.release());
    }
    Py_XSETREF(classes.internal, Py_NewRef(mapped_class(-1)));
    Py_XSETREF(classes.invalid_operation, Py_NewRef(mapped_class(-2)));
    return PyModule_AddObjectRef(module, "errors", errors.get()) == 0;
}

// Runs Python source in the module's namespace (records are made this way, so that their __module__,
// annotations and docstrings come out as for a class statement in the module).
inline bool run_in_module(PyObject* module, const char* source) {
    PyObject* const globals = PyModule_GetDict(module);
    return static_cast<bool>(Ref::steal(PyRun_String(source, Py_file_input, globals, globals)));
}

// The interned name `Name`, made on first use. Only touched with the GIL held.
template <fixed_string Name>
PyObject* interned() {
    static PyObject* name = nullptr;
    if (name == nullptr) name = PyUnicode_InternFromString(Name.value);
    return name;
}

// The module global `Name` looked up at call time (then among the builtins), as a new reference. The name is
// interned once: a str made afresh per call would cost more than the lookup.
template <fixed_string Name>
Ref global() {
    PyObject* const name = interned<Name>();
    if (name == nullptr) return Ref();
    if (PyObject* const globals = module_globals()) {
        if (PyObject* v = PyDict_GetItemWithError(globals, name)) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    if (PyObject* const builtins = PyEval_GetBuiltins()) {
        if (PyObject* v = PyDict_GetItemWithError(builtins, name)) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", Name.value);
    return Ref();
}

// Creates a heap type from `spec` and publishes it on the module under the last component of its name.
inline PyTypeObject* publish_type(PyObject* module, PyType_Spec& spec, PyObject* bases = nullptr) {
    const Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &spec, bases));
    if (!type) return nullptr;
    const char* attr = std::strrchr(spec.name, '.');
    attr = attr ? attr + 1 : spec.name;
    if (PyModule_AddObjectRef(module, attr, type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.get());  // the module keeps it alive
}

// Installs `methods` on `type`. A method written with two leading underscores (and not ending with two) is
// private to the class: it becomes the attribute "_Class__x", while its name, qualified name and argument errors
// keep the written form "__x", as for a method defined in a class statement.
inline bool install_methods(PyTypeObject* type, PyMethodDef* methods) {
    const char* cls = std::strrchr(type->tp_name, '.');
    cls = cls ? cls + 1 : type->tp_name;
    while (*cls == '_') ++cls;
    for (PyMethodDef* def = methods; def->ml_name != nullptr; ++def) {
        const std::string_view written = def->ml_name;
        const bool is_private = written.size() > 2 && written.starts_with("__") && !written.ends_with("__");
        const std::string attr = is_private ? "_" + std::string(cls) + std::string(written) : std::string(written);
        const Ref descr = Ref::steal(PyDescr_NewMethod(type, def));
        if (!descr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), attr.c_str(), descr.get()) < 0)
            return false;
    }
    PyType_Modified(type);
    return true;
}

// ---- service wrappers ----------------------------------------------------------------------------------------

// Stores `ctx` (a _Context or None) in `field`.
inline bool store_context(PyObject*& field, PyObject* ctx) {
    if (!none_or_instance(ctx, context_type())) return false;
    Py_INCREF(ctx);
    Py_XSETREF(field, ctx);
    return true;
}

// The SDK handle of a wrapper's context. A wrapper built with None has none: raise instead of calling the SDK
// with a null handle.
inline vrex_ctx_t* handle_of(PyObject* context) {
    if (context != nullptr && context != Py_None) {
        vrex_ctx_t* const handle = reinterpret_cast<ContextObject*>(context)->c_vrexCtx;
        if (handle != nullptr) return handle;
    }
    PyErr_SetString(error_classes().invalid_operation ? error_classes().invalid_operation : PyExc_RuntimeError,
                    "No SDK context: this object was created without one; use the one of a vrexsdk.vrex.Device");
    return nullptr;
}

// __cinit__(ctx) of a wrapper whose only object field is its context.
inline PyObject* service_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", nullptr};
    PyObject* ctx = nullptr;
    if (!parse_tuple("__cinit__", names, 1, 1, args, kwargs, &ctx)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* s = reinterpret_cast<ServiceObject*>(self.get());
    s->context = Py_NewRef(Py_None);
    if (!store_context(s->context, ctx)) return nullptr;
    return self.release();
}

inline int service_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ServiceObject*>(self)->context);
    return 0;
}

inline int service_clear(PyObject* self) {
    Py_XSETREF(reinterpret_cast<ServiceObject*>(self)->context, Py_NewRef(Py_None));
    return 0;
}

inline void service_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<ServiceObject*>(self)->context);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* refuse_pickling(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

// Docstring of a service wrapper: "\n    <first line>\n    Should not be used on its own, ...\n    ".
#define VREX_SERVICE_DOC(first_line) \
    "\n    " first_line "\n    Should not be used on its own, access it via :obj:`~vrexsdk.vrex.Device`.\n    "

#define VREX_PICKLING_METHODS                                                                                    \
    PyMethodDef{"__reduce__", ::vrex::as_pycfunction(&::vrex::refuse_pickling), METH_FASTCALL | METH_KEYWORDS, \
                nullptr},                                                                                        \
        PyMethodDef {                                                                                            \
        "__setstate__", ::vrex::as_pycfunction(&::vrex::refuse_pickling), METH_FASTCALL | METH_KEYWORDS, nullptr \
    }

#define VREX_METHODS_END PyMethodDef{nullptr, nullptr, 0, nullptr} /* sentinel */

// The type's own table stays empty: the methods are installed once the module is ready (install_methods).
inline PyMethodDef no_methods[] = {VREX_METHODS_END};

// The type spec of a wrapper laid out as `Object` (ServiceObject or a layout starting like it).
template <class Object>
struct ServiceSpec {
    PyType_Slot slots[7];
    PyType_Spec spec;

    ServiceSpec(const char* name, const char* doc, PyMethodDef* methods = no_methods, newfunc tp_new = service_new,
                traverseproc traverse = service_traverse, inquiry clear = service_clear,
                destructor dealloc = service_dealloc)
        : slots{{Py_tp_doc, const_cast<char*>(doc)},
                {Py_tp_methods, methods},
                {Py_tp_new, reinterpret_cast<void*>(tp_new)},
                {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                {Py_tp_clear, reinterpret_cast<void*>(clear)},
                {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                {0, nullptr}},
          spec{name, static_cast<int>(sizeof(Object)), 0,
               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots} {}
};

// Module definition with multi-phase initialisation.
#define VREX_MODULE(short_name, doc, exec_function)                                                         \
    static PyModuleDef_Slot vrex_module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_function)}, \
                                                   {0, nullptr}};                                           \
    static PyModuleDef vrex_module_def = {PyModuleDef_HEAD_INIT, "vrexsdk." #short_name, doc, 0, nullptr, \
                                          vrex_module_slots, nullptr, nullptr, nullptr};                    \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&vrex_module_def); }

// ---- service modules ---------------------------------------------------------------------------------------------

// A module global bound at initialisation: `name` is the module `module`, or its attribute `attr`.
struct Binding {
    const char* name = nullptr;
    const char* module = nullptr;
    const char* attr = nullptr;
};

// What a service module is made of. Every one is initialised by exec_service, in this order: its wrapper type
// published first (so a module importing this one back during its own initialisation finds it), the siblings,
// the bindings, NumPy's C interface, the records, `available`, the methods (once the records and globals they
// look up exist), and last the module's own steps.
struct ServiceModule {
    const char* short_name;
    PyType_Spec* spec;
    PyMethodDef* methods;
    Binding bindings[3]{};
    int (*import_numpy)() = nullptr;  // the module's PyArray_ImportNumPyAPI: its API table is its own
    const char* records = nullptr;    // Python source run in the module
    int available = -1;               // an optional family's flag (optional.hpp), published when 0 or 1
    bool (*finish)(PyObject* module, PyTypeObject* type) = nullptr;
};

inline int exec_service(PyObject* module, const ServiceModule& m) {
    if (!first_initialisation(m.short_name)) return -1;
    PyTypeObject* const type = publish_type(module, *m.spec);
    if (type == nullptr) return -1;
    if (!import_siblings(module)) return -1;
    for (const Binding& b : m.bindings)
        if (b.name != nullptr && !bind_import(module, b.name, b.module, b.attr)) return -1;
    if (m.import_numpy != nullptr && m.import_numpy() < 0) return -1;
    if (m.records != nullptr && !run_in_module(module, m.records)) return -1;
    if (m.available >= 0 && PyModule_AddIntConstant(module, "available", m.available) < 0) return -1;
    if (!install_methods(type, m.methods)) return -1;
    return m.finish == nullptr || m.finish(module, type) ? 0 : -1;
}

// The definition of the service module vrexsdk.<module_name>:
//     VREX_SERVICE_MODULE(cooling, "doc", .spec = &spec.spec, .methods = cooling_methods, .records = ...)
#define VREX_SERVICE_MODULE(module_name, doc, ...)                                              \
    static int vrex_exec_service(PyObject* module) {                                           \
        static const ::vrex::ServiceModule declared{.short_name = #module_name, __VA_ARGS__}; \
        return ::vrex::exec_service(module, declared);                                         \
    }                                                                                          \
    VREX_MODULE(module_name, doc, vrex_exec_service)

}  // namespace vrex
