// vrexsdk.monitor: __Monitor, the monitoring service of a Device: the quantities the device reports
// (temperatures, voltages, currents), their units, values and availability, and callables told of changes.
//
// The callables are handed to the SDK as the user pointers of its monitor callbacks, which come on an SDK
// thread; the two maps hold them (by the quantity's encoded identifier) until Device.finalize releases them. A
// registration that replaces another releases the one it replaces once the SDK has taken the new one: a callback
// still in flight with the old pointer finds it no longer counted (support/live.hpp) and calls nothing.
#include "support/calls.hpp"
#include "support/derive.hpp"
#include "support/gil.hpp"
#include "support/live.hpp"
#include "support/optional.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

using vrex::MonitorObject;
using vrex::Ref;

using vrex::sdk;

#define VREX_FAMILY VREX_HAVE_MONITOR
#define VREX_FAMILY_MISSING \
    "vrexsdk.monitor: the libVrexSdk this package was built against has no monitor functions (vrex_monitor_*)"
#define VREX_QUALIFIER "vrexsdk.monitor.__Monitor"

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ctx", nullptr};
    PyObject* ctx = nullptr;
    if (!vrex::parse_tuple("__cinit__", names, 1, 1, args, kwargs, &ctx)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* m = reinterpret_cast<MonitorObject*>(self.get());
    new (&m->onValueChanged) vrex::CallbackMap();
    new (&m->onAvailChanged) vrex::CallbackMap();
    m->context = Py_NewRef(Py_None);
    if (!vrex::store_context(m->context, ctx)) return nullptr;
    return self.release();
}

void monitor_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* m = reinterpret_cast<MonitorObject*>(self);
    Py_CLEAR(m->context);
    // The holders themselves are released by Device.finalize only (the SDK may still call back with their
    // callables); the maps go with the object.
    std::destroy_at(&m->onValueChanged);
    std::destroy_at(&m->onAvailChanged);
    type->tp_free(self);
    Py_DECREF(type);
}

#if VREX_HAVE_MONITOR

struct MonitorCallables;
using Live = vrex::LiveCallables<MonitorCallables>;

// One change, on the SDK's thread: the callable gets (monitorId, value). A failure (an identifier that is not
// UTF-8, a raising callable) is reported through sys.unraisablehook under the callback's name and cleared, so it
// is seen and the next change is delivered normally.
template <class Make>
void deliver(const char* where, const char* monitorId, void* user, Make&& make_value) {
    const vrex::CallbackGil gil;
    if (!gil.held()) return;  // the interpreter is exiting
    PyObject* const func = static_cast<PyObject*>(user);
    if (!Live::live(func)) return;  // released by Device.finalize or a later registration
    const vrex::ErrorScope scope;
    const Ref callable = Ref::borrow(func);  // the callable may drop its last holder while it runs
    const Ref id = Ref::steal(PyUnicode_DecodeUTF8(monitorId, static_cast<Py_ssize_t>(std::strlen(monitorId)), "strict"));
    const Ref value = id ? Ref::steal(make_value()) : Ref();
    if (value) {
        PyObject* argv[] = {nullptr, id.get(), value.get()};
        const Ref result = Ref::steal(vrex::exit_safe([&] {
            return PyObject_Vectorcall(callable.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }));
        if (result) return;
    }
    vrex::add_traceback(where);
    vrex::report_unraisable(where);
}

void value_changed_cb(const char* monitorId, float value, void* user) {
    deliver("vrexsdk.monitor.value_changed_cb", monitorId, user,
            [&] { return PyFloat_FromDouble(static_cast<double>(value)); });
}

void avail_changed_cb(const char* monitorId, int available, void* user) {
    deliver("vrexsdk.monitor.avail_changed_cb", monitorId, user, [&] { return PyBool_FromLong(available != 0); });
}

// Registers `func` (None: unregisters) for changes of `monitorId` with `Sdk`, keeping it in the map `Map`.
template <auto Sdk, auto Callback, vrex::CallbackMap MonitorObject::*Map>
PyObject* set_callback(MonitorObject* self, PyObject* monitorId, PyObject* func) {
    vrex::Text id;
    if (!id.from_encode_exact_bytes(monitorId)) return nullptr;
    if (func != Py_None && !PyCallable_Check(func)) {
        PyErr_Format(PyExc_TypeError, "func must be callable or None, not %.200s", Py_TYPE(func)->tp_name);
        return nullptr;
    }
    vrex_ctx_t* const ctx = vrex::handle_of(self->context);
    if (ctx == nullptr) return nullptr;
    // Counted before the SDK has it, so a change reported at once already finds it.
    std::unique_ptr<vrex::PyRef> holder;
    if (func != Py_None) {
        holder.reset(Live::hold(func));
        if (!holder) return nullptr;
    }
    const auto callback = func == Py_None ? nullptr : Callback;
    void* const user = func == Py_None ? nullptr : func;
    const int status = vrex::nogil([&] { return Sdk(ctx, id.c_str(), callback, user); });
    if (!vrex::check(status, ctx)) return nullptr;  // the holder goes: the SDK never had the callable
    vrex::CallbackMap& map = self->*Map;
    const std::string key(id.c_str(), static_cast<std::size_t>(id.size()));
    vrex::PyRef* replaced = nullptr;
    if (holder) {
        vrex::PyRef*& slot = map[key];
        replaced = std::exchange(slot, holder.release());
    } else if (const auto it = map.find(key); it != map.end()) {
        replaced = it->second;
        map.erase(it);
    }
    delete replaced;  // last: the callable's __del__ may run, and the map is settled by now
    Py_RETURN_NONE;
}

#endif

#define MONITOR_ID_ARG "            monitorId (str): Monitored quantity identifier.\n"

PyMethodDef monitor_methods[] = {
    VREX_FAMILY_IDENTIFIER_LIST("getMonitorIds",
                                "Retrieves identifiers of the quantities the device reports.\n\n"
                                "        Returns:\n"
                                "            A list of str objects representing monitored quantity identifiers.\n        ",
                                "__getCount", (sdk<vrex_monitor_count>), "__getId", (sdk<vrex_monitor_id>),
                                "monitorIdx"),
    VREX_FAMILY_METHOD("getUnit", (sdk<vrex_monitor_unit>),
                       "Retrieves the unit of the specified monitored quantity.\n\n"
                       "        Args:\n" MONITOR_ID_ARG "\n"
                       "        Returns:\n"
                       "            A str value, such as DegreeCelsius, Volt or MicroAmpere.\n        ",
                       "monitorId"),
    VREX_FAMILY_METHOD("getValue", (sdk<vrex_monitor_get_value>),
                       "Retrieves the present value of the specified monitored quantity.\n\n"
                       "        Args:\n" MONITOR_ID_ARG "\n"
                       "        Returns:\n"
                       "            A float value in the unit :func:`~getUnit` gives.\n\n"
                       "        Raises:\n"
                       "            VrexSdkInvalidOperationError: The quantity is unavailable (its board is off).\n        ",
                       "monitorId"),
    VREX_FAMILY_METHOD("isAvailable", (sdk<vrex_monitor_is_available, vrex::AsBool>),
                       "Checks whether the specified monitored quantity is available.\n\n"
                       "        Args:\n" MONITOR_ID_ARG "\n"
                       "        Returns:\n"
                       "            A bool value. False while the board it is measured on is powered off.\n        ",
                       "monitorId"),
    VREX_FAMILY_METHOD("setValueChangedCallback",
                       (set_callback<vrex_monitor_set_value_callback, value_changed_cb, &MonitorObject::onValueChanged>),
                       "Sets the callable told of each change of the specified quantity's value.\n\n"
                       "        It is called as func(monitorId, value) on an SDK thread, for changes after this call; an\n"
                       "        exception it raises is reported through sys.unraisablehook. It replaces the callable set\n"
                       "        before for the quantity.\n\n"
                       "        Args:\n" MONITOR_ID_ARG
                       "            func (Callable[[str, float], object]): The callable, or None to stop the calls.\n        ",
                       "monitorId", "func"),
    VREX_FAMILY_METHOD("setAvailChangedCallback",
                       (set_callback<vrex_monitor_set_avail_callback, avail_changed_cb, &MonitorObject::onAvailChanged>),
                       "Sets the callable told when the specified quantity becomes available or unavailable.\n\n"
                       "        It is called as func(monitorId, available) on an SDK thread, for changes after this call;\n"
                       "        an exception it raises is reported through sys.unraisablehook. It replaces the callable\n"
                       "        set before for the quantity.\n\n"
                       "        Args:\n" MONITOR_ID_ARG
                       "            func (Callable[[str, bool], object]): The callable, or None to stop the calls.\n        ",
                       "monitorId", "func"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef MONITOR_ID_ARG

vrex::ServiceSpec<MonitorObject> monitor_spec(VREX_QUALIFIER, VREX_SERVICE_DOC("Monitor object.") VREX_FAMILY_DOC,
                                              vrex::no_methods, monitor_new, vrex::service_traverse,
                                              vrex::service_clear, monitor_dealloc);

}  // namespace

VREX_SERVICE_MODULE(monitor,
                    "Monitoring service of a Device: temperatures, voltages and currents it reports." VREX_FAMILY_DOC,
                    .spec = &monitor_spec.spec, .methods = monitor_methods, .available = VREX_FAMILY)
