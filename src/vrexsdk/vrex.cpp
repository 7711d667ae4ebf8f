// vrexsdk.vrex: Device, the one object a user creates; device enumeration; the bridge from the SDK's log to
// Python's logging; the SDK versions.
#include "support/calls.hpp"
#include "support/derive.hpp"

#include <memory>
#include <unordered_set>
#include <vector>

namespace {

using vrex::Ref;

// ---- module contents -------------------------------------------------------------------------------------------

// The wrapper types Device builds, imported at initialisation, in the order of Device's fields after the
// context.
enum Field {
    CONTEXT,
    BIAS,
    BOARD,
    CHIP,
    CONFIG,
    MONITOR,
    TRIGGER,
    LOCKSTEP,
    COOLING,
    ACQ,
    REVISIONS,
    PROPS,
    AXI,
    VAULT,
    FIELD_COUNT
};

struct WrapperImport {
    const char* module;
    const char* name;
    Py_ssize_t size;
};

// Index: Field. The context type comes from import_siblings.
constexpr WrapperImport wrapper_imports[FIELD_COUNT] = {
    {nullptr, nullptr, 0},
    {"vrexsdk.bias", "__Bias", sizeof(vrex::ServiceObject)},
    {"vrexsdk.board", "__Board", sizeof(vrex::ServiceObject)},
    {"vrexsdk.chip", "__Chip", sizeof(vrex::ChipObject)},
    {"vrexsdk.configuration", "__Configuration", sizeof(vrex::ServiceObject)},
    {"vrexsdk.monitor", "__Monitor", sizeof(vrex::MonitorObject)},
    {"vrexsdk.trigger", "__Trigger", sizeof(vrex::ServiceObject)},
    {"vrexsdk.lockstep", "__Lockstep", sizeof(vrex::ServiceObject)},
    {"vrexsdk.cooling", "__Cooling", sizeof(vrex::ServiceObject)},
    {"vrexsdk.acquisition", "__Acquisition", sizeof(vrex::AcquisitionObject)},
    {"vrexsdk.revisions", "__Revisions", sizeof(vrex::ServiceObject)},
    {"vrexsdk.traits", "__Traits", sizeof(vrex::ServiceObject)},
    {"vrexsdk.axi", "__Axi", sizeof(vrex::ServiceObject)},
    {"vrexsdk.vault", "__Vault", sizeof(vrex::ServiceObject)},
};

// The order in which the module imports them (trigger first, vault last).
constexpr Field import_order[] = {TRIGGER, CONFIG,   BOARD,     BIAS,  ACQ, CHIP, MONITOR,
                                  LOCKSTEP, COOLING, REVISIONS, PROPS, AXI, VAULT};

// Written once at initialisation.
PyTypeObject* field_types[FIELD_COUNT] = {};

struct DeviceObject {
    PyObject ob_base;
    PyObject* fields[FIELD_COUNT];
};

// ---- log bridge ----------------------------------------------------------------------------------------------

constexpr const char* log_callback_name = "vrexsdk.vrex.__log_func_callback";

bool forward_log(const char* message, Severity severity) {
    const Ref text = Ref::steal(vrex::decode_utf8(message));
    if (!text) return false;
    const Ref stripped = Ref::steal(PyObject_CallMethod(text.get(), "strip", nullptr));
    if (!stripped) return false;
    const Ref logging = vrex::global<"logging">();
    if (!logging) return false;
    const Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "s", "vrexsdk"));
    if (!logger) return false;
    const char* method;
    switch (severity) {
        case Debug: method = "debug"; break;
        case Info: method = "info"; break;
        case Warning: method = "warning"; break;
        case Error: method = "error"; break;
        default: method = "critical"; break;
    }
    // A handler may release the GIL (writing to a file, say); see exit_safe.
    return static_cast<bool>(
        Ref::steal(vrex::exit_safe([&] { return PyObject_CallMethod(logger.get(), method, "O", stripped.get()); })));
}

// Called by the SDK for each message, on any thread. A failure to log is reported as unraisable and cleared,
// so it never leaks into the SDK call that happened to log.
void log_func_callback(const char* message, Severity severity, void* /*user*/) {
    const vrex::CallbackGil gil;
    if (!gil.held()) return;
    const vrex::ErrorScope scope;
    if (!forward_log(message, severity)) {
        vrex::add_traceback(log_callback_name);
        vrex::report_unraisable(log_callback_name);
    }
}

// ---- enumeration ----------------------------------------------------------------------------------------------

// User data of one enumeration: the list of records, and the first error a callback met, kept here rather than
// on whichever thread the SDK called back on.
struct Enumeration {
    PyObject* list;
    vrex::SavedError error;  // dropped by enumerate() with the GIL held

    void hold_error() { error = vrex::SavedError::fetch(); }  // GIL held
    bool failed() const { return static_cast<bool>(error); }
};

bool build_descriptor(Enumeration& state, const char* const strings[5], unsigned short vid, unsigned short pid,
                      int high_speed, int super_speed) {
    Ref cs = Ref::steal(vrex::decode_utf8(strings[0]));
    Ref product = cs ? Ref::steal(vrex::decode_utf8(strings[1])) : Ref();
    Ref manufacturer = product ? Ref::steal(vrex::decode_utf8(strings[2])) : Ref();
    Ref serial = manufacturer ? Ref::steal(vrex::decode_utf8(strings[3])) : Ref();
    Ref path = serial ? Ref::steal(vrex::decode_utf8(strings[4])) : Ref();
    if (!path) return false;
    const Ref cls = vrex::global<"DeviceDescriptor">();
    if (!cls) return false;
    const Ref record = Ref::steal(PyObject_CallFunction(cls.get(), "OOOOiiOii", cs.get(), product.get(),
                                                        manufacturer.get(), serial.get(), static_cast<int>(vid),
                                                        static_cast<int>(pid), path.get(), high_speed, super_speed));
    if (!record) return false;
    return PyList_Append(state.list, record.get()) == 0;
}

// Called once per device during vrex_dev_enumerate, which the caller makes with the GIL released.
void enum_func_callback(vrex_enum_t* e, void* user) {
    auto& state = *static_cast<Enumeration*>(user);
    const char* strings[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
    unsigned short vid = 0, pid = 0;
    int high_speed = 0, super_speed = 0;

    // Each getter without the GIL; a failure takes it for the status check only.
    auto step = [&](int status) {
        if (status >= 0) return true;
        const vrex::CallbackGil gil;
        if (!gil.held()) return false;
        if (state.failed()) return false;  // an earlier device already failed: enumerate() raises that
        if (vrex::check(status, e)) return true;
        vrex::add_traceback("vrexsdk.vrex.__enum_func_callback");
        state.hold_error();
        return false;
    };
    if (!step(vrex_enum_get_connection_string(e, &strings[0]))) return;
    if (!step(vrex_enum_get_product(e, &strings[1]))) return;
    if (!step(vrex_enum_get_manufacturer(e, &strings[2]))) return;
    if (!step(vrex_enum_get_serial_number(e, &strings[3]))) return;
    if (!step(vrex_enum_usb_get_vid_pid(e, &vid, &pid))) return;
    if (!step(vrex_enum_usb_get_instance_path(e, &strings[4]))) return;
    if (!step(vrex_enum_usb_is_high_speed(e, &high_speed))) return;
    if (!step(vrex_enum_usb_is_super_speed(e, &super_speed))) return;

    const vrex::CallbackGil gil;
    if (!gil.held() || state.failed()) return;
    if (!build_descriptor(state, strings, vid, pid, high_speed, super_speed)) {
        vrex::add_traceback("vrexsdk.vrex.__enum_func_callback");
        state.hold_error();
    }
}

// ---- Device -----------------------------------------------------------------------------------------------------

// The process-wide state of the module, kept outside any module state because the interpreter's exit handler
// below receives nothing to find a module with: every Device alive, so that the devices still open at exit are
// closed whatever still holds their Device. Touched with the GIL held.
struct VrexModuleState {
    std::unordered_set<DeviceObject*> devices;
};

VrexModuleState& module_state() {
    static VrexModuleState* state = new VrexModuleState;  // never destroyed: SDK threads may outlive exit
    return *state;
}

// Found by the derived methods (support/derive.hpp).
PyObject* context_of(DeviceObject* self) { return self->fields[CONTEXT]; }

PyObject* setLogger(DeviceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(context_of(self));
    if (ctx == nullptr) return nullptr;
    // Only the bare message; the SDK copies the format.
    const vrex_log_frmt format{false, false, false, true};
    vrex_log_set_func(ctx, log_func_callback, nullptr, &format);
    Py_RETURN_NONE;
}

PyObject* enumerate(DeviceObject* self) {
    vrex_ctx_t* const ctx = vrex::handle_of(context_of(self));
    if (ctx == nullptr) return nullptr;
    const Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    Enumeration state{list.get()};
    int count = 0;
    const int status = vrex::nogil([&] { return vrex_dev_enumerate(ctx, enum_func_callback, &state, &count); });
    // The status check comes first and replaces the callback's error.
    if (!vrex::check(status, ctx)) return nullptr;
    if (state.failed()) {
        state.error.restore();
        return nullptr;
    }
    return Py_NewRef(list.get());
}

PyObject* finalize(DeviceObject* self) {
    // Only the holders are released; the SDK is not called. Each holder is detached before it is deleted, so a
    // second finalize() finds nothing to delete and a callable's __del__ cannot meet a half-cleared map.
    PyObject* const acq = self->fields[ACQ];
    if (acq != nullptr && PyObject_TypeCheck(acq, field_types[ACQ])) {
        vrex::release_data_holders(reinterpret_cast<vrex::AcquisitionObject*>(acq));
    }
    PyObject* const monitor = self->fields[MONITOR];
    if (monitor != nullptr && PyObject_TypeCheck(monitor, field_types[MONITOR])) {
        auto* m = reinterpret_cast<vrex::MonitorObject*>(monitor);
        for (vrex::CallbackMap* map : {&m->onValueChanged, &m->onAvailChanged}) {
            vrex::CallbackMap holders;
            holders.swap(*map);
            for (auto& [key, holder] : holders) delete holder;
        }
    }
    Py_RETURN_NONE;
}

// `with vrex.Device() as device:` closes a device left open and finalizes on the way out, also when the body
// raises (whose exception then goes on). The Device's own isOpened, close and finalize are called, so overrides
// take effect.
PyObject* device_enter(DeviceObject* self) { return Py_NewRef(&self->ob_base); }

PyObject* device_exit(DeviceObject* self, PyObject* /*type*/, PyObject* /*value*/, PyObject* /*traceback*/) {
    PyObject* const me = &self->ob_base;
    const Ref opened = vrex::call_method<"isOpened">(me);
    if (!opened) return nullptr;
    const int truth = PyObject_IsTrue(opened.get());
    if (truth < 0) return nullptr;
    if (truth == 1 && !vrex::call_method<"close">(me)) return nullptr;
    if (!vrex::call_method<"finalize">(me)) return nullptr;
    Py_RETURN_NONE;  // never swallows the body's exception
}

// "<vrexsdk.vrex.Device usb:vrex-sim-0 open>", "<vrexsdk.vrex.Device closed>": which device, if any, is open.
PyObject* device_repr(PyObject* self) {
    const Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__module__"));
    const Ref qualname =
        module ? Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__qualname__")) : Ref();
    if (!qualname) return nullptr;
    PyObject* const ctx = reinterpret_cast<DeviceObject*>(self)->fields[CONTEXT];
    vrex_ctx_t* const handle = ctx != nullptr && PyObject_TypeCheck(ctx, vrex::context_type())
                                   ? reinterpret_cast<vrex::ContextObject*>(ctx)->c_vrexCtx
                                   : nullptr;
    if (handle == nullptr) return PyUnicode_FromFormat("<%S.%S without an SDK context>", module.get(), qualname.get());
    int opened = 0;
    const char* locator = nullptr;
    const bool known = vrex::nogil([&] {
        return vrex_dev_is_opened(handle, &opened) >= 0 &&
               (opened == 0 || vrex_dev_prop_get_connection_string(handle, &locator) >= 0);
    });
    if (!known) return PyUnicode_FromFormat("<%S.%S>", module.get(), qualname.get());
    if (opened == 0) return PyUnicode_FromFormat("<%S.%S closed>", module.get(), qualname.get());
    const Ref text = Ref::steal(vrex::decode_utf8(locator));
    if (!text) PyErr_Clear();  // a locator that is not UTF-8 is still an open device
    return text ? PyUnicode_FromFormat("<%S.%S %U open>", module.get(), qualname.get(), text.get())
                : PyUnicode_FromFormat("<%S.%S open>", module.get(), qualname.get());
}

// The finalizer closes a device left open. Overrides of isOpened and close take effect here.
void device_del(PyObject* self) {
    // At exit the open devices were closed by close_open_devices; closing again could join an SDK thread parked
    // for good in a callback.
    if (vrex::exiting()) return;
    const vrex::ErrorScope scope;
    auto* d = reinterpret_cast<DeviceObject*>(self);
    // A Device whose construction failed before it had a context never reaches the SDK.
    if (d->fields[CONTEXT] != nullptr && d->fields[CONTEXT] != Py_None) {
        bool ok = true;
        const Ref opened = Ref::steal(PyObject_CallMethod(self, "isOpened", nullptr));
        int truth = 0;
        if (!opened || (truth = PyObject_IsTrue(opened.get())) < 0) ok = false;
        if (ok && truth == 1 && !Ref::steal(PyObject_CallMethod(self, "close", nullptr))) ok = false;
        if (!ok) vrex::report_unraisable("vrexsdk.vrex.Device.__del__");
    }
}

int device_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : reinterpret_cast<DeviceObject*>(self)->fields) Py_VISIT(f);
    return 0;
}

int device_clear(PyObject* self) {
    for (PyObject*& f : reinterpret_cast<DeviceObject*>(self)->fields) Py_XSETREF(f, Py_NewRef(Py_None));
    return 0;
}

void device_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    module_state().devices.erase(reinterpret_cast<DeviceObject*>(self));
    for (PyObject*& f : reinterpret_cast<DeviceObject*>(self)->fields) Py_CLEAR(f);  // context first, vault last
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* device_new(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* d = reinterpret_cast<DeviceObject*>(self.get());
    for (PyObject*& f : d->fields) f = Py_NewRef(Py_None);
    module_state().devices.insert(d);

    Ref context = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(vrex::context_type())));
    if (!context) return nullptr;
    Py_SETREF(d->fields[CONTEXT], context.release());
    if (!Ref::steal(PyObject_CallMethod(self.get(), "_Device__setLogger", nullptr))) return nullptr;

    PyObject* const ctx = d->fields[CONTEXT];
    constexpr Field order[] = {BIAS, BOARD, CHIP, CONFIG, MONITOR, TRIGGER, LOCKSTEP, COOLING, ACQ, REVISIONS,
                               PROPS, AXI, VAULT};
    for (const Field f : order) {
        PyObject* const cls = reinterpret_cast<PyObject*>(field_types[f]);
        Ref wrapper = f == ACQ ? Ref::steal(PyObject_CallFunctionObjArgs(cls, ctx, d->fields[CHIP], nullptr))
                               : Ref::steal(PyObject_CallOneArg(cls, ctx));
        if (!wrapper) return nullptr;
        Py_SETREF(d->fields[f], wrapper.release());
    }
    return self.release();
}

// ---- public attributes ----------------------------------------------------------------------------------------

PyObject* get_field(PyObject* self, void* closure) {
    return Py_NewRef(reinterpret_cast<DeviceObject*>(self)->fields[reinterpret_cast<std::intptr_t>(closure)]);
}

int set_field(PyObject* self, PyObject* value, void* closure) {
    const auto f = static_cast<Field>(reinterpret_cast<std::intptr_t>(closure));
    if (f <= CONTEXT || f >= FIELD_COUNT) {
        PyErr_SetString(PyExc_SystemError, "unknown Device attribute");
        return -1;
    }
    if (value == nullptr) value = Py_None;  // deleting sets None
    if (!vrex::none_or_instance(value, field_types[f])) {
        vrex::add_traceback("vrexsdk.vrex.Device.__set__");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<DeviceObject*>(self)->fields[f], Py_NewRef(value));
    return 0;
}

#define VREX_FIELD(name, field, doc) \
    PyGetSetDef { name, get_field, set_field, doc, reinterpret_cast<void*>(static_cast<std::intptr_t>(field)) }

PyGetSetDef device_getset[] = {
    VREX_FIELD("bias", BIAS, ":obj:`~vrexsdk.bias.__Bias`: Use this to access bias functionality."),
    VREX_FIELD("board", BOARD, ":obj:`~vrexsdk.board.__Board`: Use this to access board functionality."),
    VREX_FIELD("chip", CHIP, ":obj:`~vrexsdk.chip.__Chip`: Use this to access chip functionality."),
    VREX_FIELD("config", CONFIG,
               ":obj:`~vrexsdk.configuration.__Configuration`: Use this to access configuration functionality."),
    VREX_FIELD("monitor", MONITOR, ":obj:`~vrexsdk.monitor.__Monitor`: Use this to access monitor functionality."),
    VREX_FIELD("trigger", TRIGGER, ":obj:`~vrexsdk.trigger.__Trigger`: Use this to access trigger functionality."),
    VREX_FIELD("lockstep", LOCKSTEP,
               ":obj:`~vrexsdk.lockstep.__Lockstep`: Use this to access external sync functionality."),
    VREX_FIELD("cooling", COOLING, ":obj:`~vrexsdk.cooling.__Cooling`: Use this to access cooling functionality."),
    VREX_FIELD("acq", ACQ,
               ":obj:`~vrexsdk.acquisition.__Acquisition`: Use this to access acquisition functionality."),
    VREX_FIELD("revisions", REVISIONS, ":obj:`~vrexsdk.revisions.__Revisions`: Use this to access HW versions."),
    VREX_FIELD("props", PROPS, ":obj:`~vrexsdk.traits.__Traits`: Use this to access device properties."),
    VREX_FIELD("axi", AXI, ":obj:`~vrexsdk.axi.__Axi`: Use this to access axi functionality."),
    VREX_FIELD("vault", VAULT,
               ":obj:`~vrexsdk.vault.__Vault`: Use this to access non-volatile memory functionality."),
    PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};

#define VREX_QUALIFIER "vrexsdk.vrex.Device"

PyMethodDef device_methods[] = {
    VREX_METHOD_AS("__setLogger", "vrexsdk.vrex.Device._Device__setLogger", setLogger,
                "Sets a logger.\n\n        Attaches the SDK's log messages to the logger named \"vrexsdk\".\n        "),
    VREX_METHOD("open", (vrex::method<DeviceObject, vrex_dev_open>),
                "Opens the device.\n\n"
                "        Has a corresponding close device method :func:`~close`.\n\n"
                "        Args:\n"
                "            locator (str): Device locator of the chosen device.\n"
                "                Typically retrieved from :func:`~enumerate`.\n        ",
                "locator"),
    VREX_METHOD("close", (vrex::method<DeviceObject, vrex_dev_close>),
                "Closes the open device.\n\n"
                "        Must be called after a corresponding open device method :func:`~open`.\n        "),
    VREX_METHOD("isOpened", (vrex::method<DeviceObject, vrex_dev_is_opened, vrex::AsBool>),
                "Checks whether there is an open device.\n\n"
                "        Returns:\n"
                "            A bool value. True if the device is open, False otherwise.\n        "),
    VREX_METHOD("enumerate", enumerate,
                "Performs device enumeration.\n\n"
                "        Returns:\n"
                "            A list of :obj:`~DeviceDescriptor` objects.\n        "),
    VREX_METHOD("finalize", finalize,
                "Performs cleanup operations on the Device object.\n\n"
                "        Must be explicitly called at the end of the workflow.\n"
                "        After the method is invoked,\n"
                "        calls of other Device methods result in undefined behavior.\n        "),
    VREX_METHOD("__enter__", device_enter,
                "__enter__($self, /)\n--\n\nReturns the Device itself."),
    VREX_METHOD("__exit__", device_exit,
                "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the device if one is open, then "
                "finalizes the Device; an exception of the with-block goes on.",
                "exc_type", "exc_value", "traceback"),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

constexpr const char device_doc[] =
    "\n    Device object.\n\n"
    "    Only the Device object should be used to access functionality of the SDK, e.g:\n\n"
    "        device = vrex.Device()\n"
    "        enumerated = device.enumerate()\n"
    "        device.open(enumerated[0].connectionString)\n"
    "        # perform acquisition\n"
    "        device.close()\n"
    "        device.finalize()\n    ";

PyType_Slot device_slots[] = {{Py_tp_doc, const_cast<char*>(device_doc)},
                              {Py_tp_new, reinterpret_cast<void*>(device_new)},
                              {Py_tp_dealloc, reinterpret_cast<void*>(device_dealloc)},
                              {Py_tp_finalize, reinterpret_cast<void*>(device_del)},
                              {Py_tp_traverse, reinterpret_cast<void*>(device_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(device_clear)},
                              {Py_tp_getset, device_getset},
                              {Py_tp_repr, reinterpret_cast<void*>(device_repr)},
                              {0, nullptr}};

PyType_Spec device_spec = {VREX_QUALIFIER, sizeof(DeviceObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, device_slots};

// ---- interpreter exit ---------------------------------------------------------------------------------------------

// How long the exit waits for the open devices to close (their acquisitions stopped, workers joined). A callable
// still busy may hold a worker up; past this the exit goes on without it (see exit_safe in support/gil.hpp).
constexpr auto exit_close_timeout = std::chrono::seconds(5);

// atexit handler, run before the package's gate closes: closes every device still open, whatever references to
// its Device remain (a callable kept in a module's globals, say), so no SDK worker runs into finalization.
PyObject* close_open_devices(PyObject*, PyObject*) {
    // The contexts are kept alive while the closer uses their handles; past the timeout, for good.
    auto contexts = std::make_shared<std::vector<Ref>>();
    std::vector<vrex_ctx_t*> handles;
    for (DeviceObject* d : module_state().devices) {
        PyObject* const ctx = d->fields[CONTEXT];
        if (ctx == nullptr || !PyObject_TypeCheck(ctx, vrex::context_type())) continue;
        vrex_ctx_t* const handle = reinterpret_cast<vrex::ContextObject*>(ctx)->c_vrexCtx;
        if (handle == nullptr) continue;
        contexts->push_back(Ref::borrow(ctx));
        handles.push_back(handle);
    }
    if (handles.empty()) Py_RETURN_NONE;
    const bool finished = vrex::nogil([&] {
        vrex::HelperThread closer([handles] {
            for (vrex_ctx_t* const h : handles) {
                int opened = 0;
                if (vrex_dev_is_opened(h, &opened) >= 0 && opened != 0) vrex_dev_close(h);
            }
            return 0;
        });
        const bool ok = closer.wait_for(exit_close_timeout);
        if (ok) closer.join();
        else closer.detach();
        return ok;
    });
    if (!finished) {
        for (Ref& c : *contexts) c.release();  // the detached closer may still use them
    }
    Py_RETURN_NONE;
}

bool register_exit_close() {
    static PyMethodDef def = {"_close_open_devices", close_open_devices, METH_NOARGS, nullptr};
    const Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    const Ref closer = atexit ? Ref::steal(PyCFunction_New(&def, nullptr)) : Ref();
    // Registered after vrexsdk.context's gate closer, so it runs first.
    return closer && Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", closer.get()));
}

// ---- versions -----------------------------------------------------------------------------------------------------

PyObject* make_version(int major, int minor, int patch) {
    const Ref cls = vrex::global<"SdkVersion">();
    if (!cls) return nullptr;
    return PyObject_CallFunction(cls.get(), "iii", major, minor, patch);
}

PyObject* getCompileTimeVersion(PyObject*) {
    return make_version(VREX_SDK_VERSION_MAJOR, VREX_SDK_VERSION_MINOR, VREX_SDK_VERSION_PATCH);
}

PyObject* getRuntimeVersion(PyObject*) {
    int major, minor, patch;
    vrex_version(&major, &minor, &patch);  // no device work: the GIL stays held
    return make_version(major, minor, patch);
}

#undef VREX_QUALIFIER
#define VREX_QUALIFIER "vrexsdk.vrex"

PyMethodDef module_functions[] = {
    VREX_METHOD("getRuntimeVersion", getRuntimeVersion,
                "Retrieves runtime version of the SDK.\n\n"
                "    Returns:\n"
                "        An :obj:`~SdkVersion` object.\n    "),
    VREX_METHOD("getCompileTimeVersion", getCompileTimeVersion,
                "Retrieves compile version of the SDK.\n\n"
                "    Returns:\n"
                "        An :obj:`~SdkVersion` object.\n    "),
    VREX_METHODS_END};

constexpr const char records_source[] = R"PY(
class DeviceDescriptor(NamedTuple):
    """
    Contains information about a device.

    Args:
        connectionString (str): Unique device locator.
        product (str): Product name.
        manufacturer (str): Manufacturer name.
        serialNumber (str): Serial number.
        usbVid (int): Vendor id.
        usbPid (int): Product id.
        usbInstancePath (str): Instance path.
        isHighSpeed (bool): Signifies whether the device is high speed.
        isSuperSpeed (bool): Signifies whether the device is super speed.
    """
    connectionString: str
    product: str
    manufacturer: str
    serialNumber: str
    usbVid: int
    usbPid: int
    usbInstancePath: str
    isHighSpeed: bool
    isSuperSpeed: bool


class SdkVersion(NamedTuple):
    """
    Represents the version of the SDK.

    Args:
        major (int): Major version.
        minor (int): Minor version.
        patch (int): Patch version.
    """
    major: int
    minor: int
    patch: int
)PY";

int exec_vrex(PyObject* module) {
    if (!vrex::first_initialisation("vrex")) return -1;
    if (!vrex::import_siblings(module)) return -1;
    for (const Field f : import_order) {
        const WrapperImport& w = wrapper_imports[f];
        field_types[f] = reinterpret_cast<PyTypeObject*>(vrex::import_type(w.module, w.name, w.size));
        if (field_types[f] == nullptr) return -1;
    }
    if (!vrex::bind_import(module, "NamedTuple", "typing", "NamedTuple")) return -1;
    if (!vrex::bind_import(module, "logging", "logging")) return -1;
    if (!vrex::run_in_module(module, records_source)) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (!register_exit_close()) return -1;
    PyTypeObject* const device = vrex::publish_type(module, device_spec);
    return device != nullptr && vrex::install_methods(device, device_methods) ? 0 : -1;
}

}  // namespace

VREX_MODULE(vrex, "Device, enumeration, the SDK log bridge and the SDK versions.", exec_vrex)
