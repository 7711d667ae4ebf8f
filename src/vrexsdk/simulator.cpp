// vrexsdk.simulator: control of the simulated libVrexSdk (only built with the bundled simulator).
#include "support/calls.hpp"
#include "vrex_sim.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <limits>
#include <map>
#include <string_view>
#include <type_traits>

namespace {

using vrex::Optional;
using vrex::Ref;
using vrexsim::Bytes;

// ---- Python <-> model values -------------------------------------------------------------------------------------
//
// Every model struct has one field table (key, value codec, description); parsing, emitting and the module
// docstring are all derived from it, so a key is written once.

// A model string as str when it is valid UTF-8, else as bytes (tests hand the binding invalid UTF-8 this way).
PyObject* py_text(const Bytes& b) {
    PyObject* s = PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "strict");
    if (s != nullptr) return s;
    PyErr_Clear();
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

class ModelError {};  // a Python exception is set; unwinds the conversion

// Runs `f`, conversions that throw ModelError once they have set a Python exception, and ends the unwinding
// there: a function of a result gives it (null when it threw), one of none whether it went through.
template <class F>
auto unwinding(F&& f) {
    using R = decltype(f());
    try {
        if constexpr (std::is_void_v<R>) {
            f();
            return true;
        } else {
            return f();
        }
    } catch (const ModelError&) {
        if constexpr (std::is_void_v<R>) return false;
        else return R{};
    }
}

[[noreturn]] void fail_at(PyObject* type, const std::string& where, const std::string& what) {
    PyErr_Format(type, "model: %s: %s", where.c_str(), what.c_str());
    throw ModelError{};
}

// Builds Python values, throwing ModelError on failure so the builders stay readable.
Ref own(PyObject* o) {
    if (o == nullptr) throw ModelError{};
    return Ref::steal(o);
}

void put(PyObject* dict, const char* key, const Ref& value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw ModelError{};
}

void append(PyObject* list, const Ref& value) {
    if (PyList_Append(list, value.get()) < 0) throw ModelError{};
}

Bytes as_bytes(PyObject* o, const std::string& where) {
    if (PyBytes_Check(o)) return Bytes(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    if (PyUnicode_Check(o)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s == nullptr) throw ModelError{};
        return Bytes(s, static_cast<std::size_t>(n));
    }
    fail_at(PyExc_TypeError, where, "expected str or bytes");
}

std::vector<PyObject*> as_list(PyObject* o, const std::string& where) {
    if (!PyList_Check(o) && !PyTuple_Check(o)) fail_at(PyExc_TypeError, where, "expected a list");
    std::vector<PyObject*> items;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) items.push_back(PySequence_Fast_GET_ITEM(o, i));
    return items;
}

// An integer of the model that must fit `lo..hi` (the member's type, or the field's own bounds): a value that
// does not fit is refused rather than silently wrapped.
long long ranged(PyObject* o, const std::string& where, long double lo, long double hi) {
    if (!PyLong_Check(o)) fail_at(PyExc_TypeError, where, "expected int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw ModelError{};
    if (overflow > 0 && hi > static_cast<long double>(LLONG_MAX)) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) PyErr_Clear();
        else return static_cast<long long>(u);  // the caller's unsigned type takes the bits back
    }
    if (overflow != 0 || v < lo || v > hi) {
        char text[96];
        std::snprintf(text, sizeof text, "expected %.0Lf..%.0Lf", lo, hi);
        fail_at(PyExc_ValueError, where, text);
    }
    return v;
}

template <class T>
struct Codec;  // parse(PyObject*, where) -> T, emit(const T&) -> Ref, name: its shape in the docstring

template <class S>
struct FieldTable;  // the fields of model struct S

struct Bounds {
    long double lo, hi;
};

template <class T>
    requires std::is_integral_v<T>
struct Codec<T> {
    static constexpr Bounds bounds{static_cast<long double>(std::numeric_limits<T>::min()),
                                   static_cast<long double>(std::numeric_limits<T>::max())};
    static T parse(PyObject* o, const std::string& w, Bounds b = bounds) {
        if constexpr (std::is_same_v<T, bool>) {
            const int truth = PyObject_IsTrue(o);
            if (truth < 0) throw ModelError{};
            return truth == 1;
        } else {
            return static_cast<T>(ranged(o, w, b.lo, b.hi));
        }
    }
    static Ref emit(const T& v) {
        if constexpr (std::is_same_v<T, bool>) return own(PyBool_FromLong(v));
        else if constexpr (std::is_signed_v<T>) return own(PyLong_FromLongLong(v));
        else return own(PyLong_FromUnsignedLongLong(v));
    }
    static std::string name() { return std::is_same_v<T, bool> ? "bool" : "int"; }
};

template <class T>
    requires std::is_floating_point_v<T>
struct Codec<T> {
    static T parse(PyObject* o, const std::string& w) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            fail_at(PyExc_TypeError, w, "expected a number");
        }
        return static_cast<T>(v);
    }
    static Ref emit(const T& v) { return own(PyFloat_FromDouble(static_cast<double>(v))); }
    static std::string name() { return "float"; }
};

template <>
struct Codec<Bytes> {
    static Bytes parse(PyObject* o, const std::string& w) { return as_bytes(o, w); }
    static Ref emit(const Bytes& v) { return own(py_text(v)); }
    static std::string name() { return "str"; }
};

template <class T>
struct Codec<std::vector<T>> {
    static std::vector<T> parse(PyObject* o, const std::string& w) {
        std::vector<T> out;
        for (PyObject* item : as_list(o, w)) out.push_back(Codec<T>::parse(item, w + "[" + std::to_string(out.size()) + "]"));
        return out;
    }
    static Ref emit(const std::vector<T>& v) {
        Ref list = own(PyList_New(0));
        for (const T& item : v) append(list.get(), Codec<T>::emit(item));
        return list;
    }
    static std::string name() { return "[" + Codec<T>::name() + ", ...]"; }
};

template <class A, class B>
struct Codec<std::pair<A, B>> {
    static std::pair<A, B> parse(PyObject* o, const std::string& w) {
        const auto items = as_list(o, w);
        if (items.size() != 2)
            fail_at(PyExc_ValueError, w, "expected [" + Codec<A>::name() + ", " + Codec<B>::name() + "]");
        return {Codec<A>::parse(items[0], w), Codec<B>::parse(items[1], w)};
    }
    static Ref emit(const std::pair<A, B>& v) {
        Ref list = own(PyList_New(0));
        append(list.get(), Codec<A>::emit(v.first));
        append(list.get(), Codec<B>::emit(v.second));
        return list;
    }
    static std::string name() { return "[" + Codec<A>::name() + ", " + Codec<B>::name() + "]"; }
};

template <class T>
struct Codec<std::optional<T>> {
    static std::optional<T> parse(PyObject* o, const std::string& w) {
        if (o == Py_None) return std::nullopt;  // None: as if the key were left out
        return Codec<T>::parse(o, w);
    }
    static Ref emit(const std::optional<T>& v) { return Codec<T>::emit(*v); }  // absent values are left out
    static std::string name() { return Codec<T>::name(); }
};

template <>
struct Codec<vrexsim::CountOrValues> {
    static vrexsim::CountOrValues parse(PyObject* o, const std::string& w) {
        if (PyLong_Check(o)) return Codec<std::uint64_t>::parse(o, w);
        return Codec<std::vector<std::uint64_t>>::parse(o, w);
    }
    static Ref emit(const vrexsim::CountOrValues& v) {
        if (const auto* n = std::get_if<std::uint64_t>(&v)) return Codec<std::uint64_t>::emit(*n);
        return Codec<std::vector<std::uint64_t>>::emit(std::get<std::vector<std::uint64_t>>(v));
    }
    static std::string name() { return "int or [int, ...]"; }
};

// One key of a model struct. `parse` stores the value given for the key; `emit` puts the key's value into the
// dict (or leaves the key out when the member holds nothing worth saying).
template <class S>
struct Field {
    const char* key;
    std::string shape;
    const char* doc;
    void (*parse)(S&, PyObject*, const std::string&);
    void (*emit)(const S&, PyObject*, const char*);
};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class S, class T>
S owner_of(T S::*);
template <class S, class T>
T member_of(T S::*);

// The field of member `M`; integer members may narrow their range (`Lo`, `Hi`). `OmitDefault` leaves the key out
// of the emitted dict while the member holds its default value.
template <auto M, long long Lo = 1, long long Hi = 0, bool OmitDefault = false>
Field<decltype(owner_of(M))> field(const char* key, const char* doc) {
    using S = decltype(owner_of(M));
    using T = decltype(member_of(M));
    return {key, Codec<T>::name(), doc,
            [](S& s, PyObject* v, const std::string& w) {
                if constexpr (std::is_integral_v<T> && Lo <= Hi)
                    s.*M = Codec<T>::parse(v, w, Bounds{static_cast<long double>(Lo), static_cast<long double>(Hi)});
                else
                    s.*M = Codec<T>::parse(v, w);
            },
            [](const S& s, PyObject* d, const char* k) {
                if constexpr (is_optional<T>::value) {
                    if (!(s.*M)) return;
                }
                if constexpr (OmitDefault && requires { (s.*M).empty(); }) {
                    if ((s.*M).empty()) return;
                } else if constexpr (OmitDefault) {
                    if (s.*M == T{}) return;
                }
                put(d, k, Codec<T>::emit(s.*M));
            }};
}

// A struct with a table: a dict whose keys are the table's; keys left out keep the member's value in `into`.
template <class S>
void parse_into(S& into, PyObject* dict, const std::string& where) {
    if (!PyDict_Check(dict)) fail_at(PyExc_TypeError, where, "expected a dict");
    const auto& fields = FieldTable<S>::fields();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) fail_at(PyExc_TypeError, where, "keys must be str");
        const char* const utf8 = PyUnicode_AsUTF8(key);
        if (utf8 == nullptr) throw ModelError{};
        const std::string_view k = utf8;
        const auto f = std::find_if(fields.begin(), fields.end(), [&](const Field<S>& x) { return k == x.key; });
        if (f == fields.end()) fail_at(PyExc_ValueError, where, "unknown key '" + std::string(k) + "'");
        f->parse(into, value, where + "." + f->key);
    }
}

template <class S>
    requires requires { FieldTable<S>::fields(); }
struct Codec<S> {
    static S parse(PyObject* o, const std::string& w) {
        S s{};
        parse_into(s, o, w);
        return s;
    }
    static Ref emit(const S& s) {
        Ref d = own(PyDict_New());
        for (const Field<S>& f : FieldTable<S>::fields()) f.emit(s, d.get(), f.key);
        return d;
    }
    static std::string name() {
        std::string keys;
        for (const Field<S>& f : FieldTable<S>::fields()) keys += std::string(keys.empty() ? "" : ", ") + "\"" + f.key + "\"";
        return "{" + keys + "}";
    }
};

// ---- the tables ------------------------------------------------------------------------------------------------------

using vrexsim::AcquisitionModel;
using vrexsim::BlockFault;
using vrexsim::BlockModel;
using vrexsim::AxiBusErrorModel;
using vrexsim::AxiRegisterModel;
using vrexsim::BiasModel;
using vrexsim::BoardModel;
using vrexsim::MonitorModel;
using vrexsim::ChipModel;
using vrexsim::CoolingModel;
using vrexsim::DacModel;
using vrexsim::DeviceModel;
using vrexsim::FlashModel;
using vrexsim::PixelMaskModel;
using vrexsim::RegionModel;
using vrexsim::ThresholdModel;

template <>
struct FieldTable<ChipModel> {
    static const std::vector<Field<ChipModel>>& fields() {
        static const std::vector<Field<ChipModel>> f = {
            field<&ChipModel::id>("id", "chip identifier"),
            field<&ChipModel::polarity>("polarity", "the raw value reported: 0, 1 or anything else"),
        };
        return f;
    }
};

template <>
struct FieldTable<DacModel> {
    static const std::vector<Field<DacModel>>& fields() {
        static const std::vector<Field<DacModel>> f = {
            field<&DacModel::id>("id", "DAC identifier"),
            field<&DacModel::value>("value", "value after refresh"),
            field<&DacModel::min>("min", "lowest value accepted"),
            field<&DacModel::max>("max", "highest value accepted"),
        };
        return f;
    }
};

template <>
struct FieldTable<ThresholdModel> {
    static const std::vector<Field<ThresholdModel>>& fields() {
        static const std::vector<Field<ThresholdModel>> f = {
            field<&ThresholdModel::id>("id", "threshold identifier"),
            field<&ThresholdModel::kev>("kev", "calibrated value"),
            field<&ThresholdModel::min>("min", "calibrated range"),
            field<&ThresholdModel::max>("max", "calibrated range"),
            field<&ThresholdModel::noise>("noise", "noise edge"),
            field<&ThresholdModel::raw>("raw", "raw value"),
            field<&ThresholdModel::raw_min>("raw_min", "raw range"),
            field<&ThresholdModel::raw_max>("raw_max", "raw range"),
            field<&ThresholdModel::calibrated>("calibrated", "the raw calibration flag reported"),
            field<&ThresholdModel::raw_per_kev>("raw_per_kev",
                                                "raw steps per keV through (kev, raw): setting one moves the other "
                                                "(0: independent)"),
        };
        return f;
    }
};

template <>
struct FieldTable<CoolingModel> {
    static const std::vector<Field<CoolingModel>>& fields() {
        static const std::vector<Field<CoolingModel>> f = {
            field<&CoolingModel::id>("id", "cooling unit identifier"),
            field<&CoolingModel::unit>("unit", "unit of the temperatures"),
            field<&CoolingModel::actual>("actual", "temperature at open"),
            field<&CoolingModel::desired>("desired", "set point at open"),
            field<&CoolingModel::min>("min", "lowest set point accepted"),
            field<&CoolingModel::max>("max", "highest set point accepted"),
            field<&CoolingModel::time_constant_s>("time_constant_s",
                                                  "seconds of the first-order approach of the actual temperature to "
                                                  "a newly set one (inf, the default: it stays; 0: at once)"),
        };
        return f;
    }
};

template <>
struct FieldTable<BoardModel> {
    static const std::vector<Field<BoardModel>>& fields() {
        static const std::vector<Field<BoardModel>> f = {
            field<&BoardModel::id>("id", "board identifier"),
            field<&BoardModel::powered>("powered", "the raw power flag reported at open"),
        };
        return f;
    }
};

template <>
struct FieldTable<BiasModel> {
    static const std::vector<Field<BiasModel>>& fields() {
        static std::vector<Field<BiasModel>> f = {
            field<&BiasModel::id>("id", "bias source identifier"),
            field<&BiasModel::polarity>("polarity", "\"negative\" (the default) or \"positive\": the sign of every voltage accepted"),
            field<&BiasModel::min>("min", "lowest set point accepted (V)"),
            field<&BiasModel::max>("max", "highest set point accepted (V)"),
            field<&BiasModel::rate>("rate", "ramp rate at open (V/s)"),
            field<&BiasModel::max_rate>("max_rate", "highest ramp rate accepted (V/s)"),
            field<&BiasModel::current_limit>("current_limit", "trip level at open (uA)"),
            field<&BiasModel::max_current_limit>("max_current_limit", "highest current limit accepted (uA)"),
            field<&BiasModel::leakage>("leakage",
                                       "the sensor's leakage current (uA) at 100 V and 20 degrees Celsius; it grows "
                                       "as the square root of the voltage and doubles every 7 degrees (the sensor "
                                       "is at the first cooling unit's temperature, else 25)"),
        };
        f[1].parse = [](BiasModel& b, PyObject* v, const std::string& w) {
            b.polarity = as_bytes(v, w);
            if (b.polarity != "negative" && b.polarity != "positive")
                fail_at(PyExc_ValueError, w, "expected 'negative' or 'positive'");
        };
        return f;
    }
};

template <>
struct FieldTable<MonitorModel> {
    static const std::vector<Field<MonitorModel>>& fields() {
        static const std::vector<Field<MonitorModel>> f = {
            field<&MonitorModel::id>("id", "monitored quantity identifier"),
            field<&MonitorModel::unit>("unit", "unit reported"),
            field<&MonitorModel::source>("source",
                                         "\"cooling:<id>\" (the unit's temperature), \"bias_voltage:<id>\", "
                                         "\"bias_current:<id>\" (a bias source's output), or \"\" (`value`)"),
            field<&MonitorModel::board>("board", "board that must be powered for it to be available (\"\": none)"),
            field<&MonitorModel::value>("value", "the value of a quantity without a source"),
            field<&MonitorModel::warmup>("warmup",
                                         "what such a value gains after its board is powered on (30 s time constant)"),
        };
        return f;
    }
};

template <>
struct FieldTable<AxiRegisterModel> {
    static const std::vector<Field<AxiRegisterModel>>& fields() {
        static std::vector<Field<AxiRegisterModel>> f = {
            field<&AxiRegisterModel::address>("address", "32-bit address"),
            field<&AxiRegisterModel::value>("value", "the word it holds at open"),
            field<&AxiRegisterModel::access>("access", "\"rw\" (the default), \"ro\" (writes refused) or \"wo\" (reads give 0)"),
        };
        f[2].parse = [](AxiRegisterModel& r, PyObject* v, const std::string& w) {
            r.access = as_bytes(v, w);
            if (r.access != "rw" && r.access != "ro" && r.access != "wo")
                fail_at(PyExc_ValueError, w, "expected 'rw', 'ro' or 'wo'");
        };
        return f;
    }
};

template <>
struct FieldTable<AxiBusErrorModel> {
    static const std::vector<Field<AxiBusErrorModel>>& fields() {
        static const std::vector<Field<AxiBusErrorModel>> f = {
            field<&AxiBusErrorModel::start>("start", "first address of the range"),
            field<&AxiBusErrorModel::end>("end", "last address of the range"),
            field<&AxiBusErrorModel::status, 102, 103>("status", "102 (slave error, the default) or 103 (decode error)"),
        };
        return f;
    }
};

template <>
struct FieldTable<PixelMaskModel> {
    static const std::vector<Field<PixelMaskModel>>& fields() {
        static const std::vector<Field<PixelMaskModel>> f = {
            field<&PixelMaskModel::width>("width", "mask width in pixels"),
            field<&PixelMaskModel::height>("height", "mask height in pixels"),
            field<&PixelMaskModel::reported_length>("reported_length",
                                                    "optional: the length the SDK reports instead of the real one"),
        };
        return f;
    }
};

template <>
struct FieldTable<RegionModel> {
    static const std::vector<Field<RegionModel>>& fields() {
        static const std::vector<Field<RegionModel>> f = {
            field<&RegionModel::sector_size>("sector_size", "bytes per sector"),
            field<&RegionModel::sectors>("sectors", "address range of each sector"),
        };
        return f;
    }
};

template <>
struct FieldTable<FlashModel> {
    static const std::vector<Field<FlashModel>>& fields() {
        static const std::vector<Field<FlashModel>> f = {
            field<&FlashModel::id>("id", "memory identifier"),
            field<&FlashModel::part_number>("part_number", "part number reported"),
            field<&FlashModel::regions>("regions", "the memory's regions in order"),
            field<&FlashModel::backing_file>("backing_file",
                                             "file keeping the contents across processes (\"\": none), "
                                             "replaced atomically after each program"),
        };
        return f;
    }
};

// "fail" maps getter names to a status or (status, message); its keys are SDK function names, not fields.
template <>
struct Codec<std::map<std::string, BlockFault>> {
    static std::map<std::string, BlockFault> parse(PyObject* o, const std::string& w) {
        if (!PyDict_Check(o)) fail_at(PyExc_TypeError, w, "expected a dict");
        std::map<std::string, BlockFault> out;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value)) {
            const Bytes name = as_bytes(key, w);
            const auto& names = vrexsim::function_names();
            if (std::find(names.begin(), names.end(), name) == names.end())
                fail_at(PyExc_ValueError, w, "unknown SDK function '" + name + "'");
            BlockFault f;
            if (PyLong_Check(value)) {
                f.status = Codec<int>::parse(value, w);
                f.message = Bytes();
            } else {
                const auto items = as_list(value, w);
                if (items.empty() || items.size() > 2) fail_at(PyExc_ValueError, w, "expected status or (status, message)");
                f.status = Codec<int>::parse(items[0], w);
                if (items.size() == 1) f.message = Bytes();
                else if (items[1] != Py_None) f.message = as_bytes(items[1], w);
            }
            out[name] = f;
        }
        return out;
    }
    static Ref emit(const std::map<std::string, BlockFault>& v) {
        Ref d = own(PyDict_New());
        for (const auto& [name, f] : v) {
            const Ref message = f.message ? own(py_text(*f.message)) : own(Py_NewRef(Py_None));
            put(d.get(), name.c_str(), own(Py_BuildValue("(iO)", f.status, message.get())));
        }
        return d;
    }
    static std::string name() { return "{getter name: status or (status, message)}"; }
};

// Explicit vectors by name.
template <>
struct Codec<std::map<std::string, std::vector<std::uint64_t>>> {
    static constexpr const char* names[] = {"addresses", "toa", "tot", "events", "itots"};
    static std::map<std::string, std::vector<std::uint64_t>> parse(PyObject* o, const std::string& w) {
        if (!PyDict_Check(o)) fail_at(PyExc_TypeError, w, "expected a dict");
        std::map<std::string, std::vector<std::uint64_t>> out;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(o, &pos, &key, &value)) {
            const Bytes name = as_bytes(key, w);
            if (std::find(std::begin(names), std::end(names), name) == std::end(names))
                fail_at(PyExc_ValueError, w, "unknown key '" + name + "'");
            out[name] = Codec<std::vector<std::uint64_t>>::parse(value, w + "." + name);
        }
        return out;
    }
    static Ref emit(const std::map<std::string, std::vector<std::uint64_t>>& v) {
        Ref d = own(PyDict_New());
        for (const auto& [name, values] : v) put(d.get(), name.c_str(), Codec<std::vector<std::uint64_t>>::emit(values));
        return d;
    }
    static std::string name() { return "{\"addresses\", \"toa\", \"tot\", \"events\", \"itots\"}: [int, ...] each"; }
};

template <>
struct FieldTable<BlockModel> {
    static const std::vector<Field<BlockModel>>& fields() {
        static std::vector<Field<BlockModel>> f = {
            field<&BlockModel::frames>("frames", "frame count (256 x 256 uint16 each), contents generated"),
            field<&BlockModel::raw>("raw", "byte count, contents generated"),
            field<&BlockModel::hits>("hits", "hit count, contents generated"),
            field<&BlockModel::records>("records", "explicit packet records, the mode's record fields in order"),
            field<&BlockModel::vectors, 1, 0, true>("vectors", "explicit vectors by name"),
            field<&BlockModel::tdc>("tdc", "three entries, a count or explicit timestamps, for TDC channels 0..2"),
            field<&BlockModel::shutter>("shutter", "shutter rising-edge ticks"),
            field<&BlockModel::packets>("packets", "binned packet count"),
            field<&BlockModel::descriptors>("descriptors", "bin descriptor count"),
            field<&BlockModel::hit_sums>("hit_sums", "binned hit-count sums: a count or explicit values"),
            field<&BlockModel::itot_sums>("itot_sums", "binned iToT sums: a count or explicit values"),
            field<&BlockModel::null, 1, 0, true>("null", "every pointer of the block null, counts kept"),
            field<&BlockModel::delay_s, 1, 0, true>("delay_s", "pause before the block is delivered"),
            field<&BlockModel::fail, 1, 0, true>(
                "fail", "getters that fail on this block; a None message makes the last-error getter hand back null"),
        };
        // Records are tuples of their fields, and the TDC list has one entry per channel.
        for (auto& x : f) {
            if (std::string_view(x.key) == "records")
                x.emit = [](const BlockModel& b, PyObject* d, const char* k) {
                    if (!b.records) return;
                    Ref list = own(PyList_New(0));
                    for (const auto& r : *b.records)
                        append(list.get(), own(PyList_AsTuple(Codec<std::vector<std::uint64_t>>::emit(r).get())));
                    put(d, k, list);
                };
            if (std::string_view(x.key) == "tdc")
                x.parse = [](BlockModel& b, PyObject* v, const std::string& w) {
                    auto tdc = Codec<std::vector<vrexsim::CountOrValues>>::parse(v, w);
                    if (tdc.size() != 3) fail_at(PyExc_ValueError, w, "expected three TDC channels");
                    b.tdc = std::move(tdc);
                };
        }
        return f;
    }
};

template <>
struct FieldTable<vrexsim::SourceModel> {
    static const std::vector<Field<vrexsim::SourceModel>>& fields() {
        using vrexsim::SourceModel;
        static const std::vector<Field<SourceModel>> f = {
            field<&SourceModel::lines_kev>("lines_kev", "photon lines in keV (default [59.5], Am-241; e.g. Cu 8.04, "
                                                        "Mo 17.5, Ag 22.1)"),
            field<&SourceModel::weights>("weights", "relative intensity of each line (missing ones: 1)"),
            field<&SourceModel::beam_kev>("beam_kev", "above 0: a beam of this mean energy replaces the lines"),
            field<&SourceModel::beam_spread_kev>("beam_spread_kev", "standard deviation of the beam's energy"),
        };
        return f;
    }
};

template <>
struct FieldTable<vrexsim::ParticleRates> {
    static const std::vector<Field<vrexsim::ParticleRates>>& fields() {
        using vrexsim::ParticleRates;
        static const std::vector<Field<ParticleRates>> f = {
            field<&ParticleRates::photon>("photon", "X-ray photons of the source: 1 to 4 pixels by charge sharing"),
            field<&ParticleRates::electron>("electron", "electrons of 40 to 300 keV: curly tracks"),
            field<&ParticleRates::mip>("mip", "minimum-ionising particles: straight tracks at an angle, ~22 keV per "
                                              "pixel"),
            field<&ParticleRates::alpha>("alpha", "alphas of ~5.5 MeV: large round blobs"),
        };
        return f;
    }
};

template <>
struct FieldTable<AcquisitionModel> {
    static const std::vector<Field<AcquisitionModel>>& fields() {
        static std::vector<Field<AcquisitionModel>> f = {
            field<&AcquisitionModel::blocks>("blocks", "optional: a script of blocks that replaces the generator"),
            field<&AcquisitionModel::seed>("seed", "seed of the generated data; None (the default): a new one every "
                                                   "run (scripted blocks' generated contents then use 1)"),
            field<&AcquisitionModel::block_count>(
                "block_count", "generated blocks per acquisition, `interval_s` apart; None (the default): the run "
                               "lasts as the device's settings say (see Generated data)"),
            field<&AcquisitionModel::hits>("hits", "hits per generated block at the model's threshold"),
            field<&AcquisitionModel::frames>("frames", "frames per generated block"),
            field<&AcquisitionModel::raw>("raw", "raw bytes per generated block"),
            field<&AcquisitionModel::interval_s>("interval_s", "extra pause between generated blocks"),
            field<&AcquisitionModel::duration_s>("duration_s",
                                                 "acquisition time of the hit modes while no shutter duration is set"),
            field<&AcquisitionModel::hit_rate>("hit_rate", "hits per second at the model's threshold (hit modes)"),
            field<&AcquisitionModel::frame_count>("frame_count", "frames of an acquisition (frame modes)"),
            field<&AcquisitionModel::frame_rate>("frame_rate", "frames per second while no shutter duration is set"),
            field<&AcquisitionModel::flux>("flux", "counts per pixel per second at the model's threshold (frames)"),
            field<&AcquisitionModel::noise_hits>(
                "noise_hits", "noise hits per configured hit far below the threshold's noise edge, an erfc S-curve "
                              "across it (a quarter of the edge wide), none above"),
            field<&AcquisitionModel::pixel_seed>("pixel_seed", "fixes the chips' per-pixel response (pixel_parameters())"),
            field<&AcquisitionModel::dead_pixels>(
                "dead_pixels", "share of each chip's pixels that never fire, from 0 to 1 (which ones: pixel_seed)"),
            field<&AcquisitionModel::source>("source", "the photon source"),
            field<&AcquisitionModel::particles>("particles", "relative rates of the particle kinds"),
            field<&AcquisitionModel::burst>(
                "burst", "deliver the first block (scripted or generated) this many times back to back, prepared once"),
            field<&AcquisitionModel::pool>(
                "pool", "this many generated blocks prepared at begin and delivered in turn, their ToA moved on by "
                        "the pool's span each pass (a burst cycles through them too); 0: each block built when due"),
        };
        // Giving blocks, even none, switches the generator off; the key is shown only then.
        f[0].parse = [](AcquisitionModel& a, PyObject* v, const std::string& w) {
            a.blocks = Codec<std::vector<BlockModel>>::parse(v, w);
            a.scripted = true;
        };
        f[0].emit = [](const AcquisitionModel& a, PyObject* d, const char* k) {
            if (a.scripted) put(d, k, Codec<std::vector<BlockModel>>::emit(a.blocks));
        };
        // The seed and the block count show None when not fixed, so model() says what a run will do.
        f[1].emit = [](const AcquisitionModel& a, PyObject* d, const char* k) {
            put(d, k, a.seed ? Codec<std::uint64_t>::emit(*a.seed) : own(Py_NewRef(Py_None)));
        };
        f[2].emit = [](const AcquisitionModel& a, PyObject* d, const char* k) {
            put(d, k, a.block_count ? Codec<std::uint64_t>::emit(*a.block_count) : own(Py_NewRef(Py_None)));
        };
        return f;
    }
};

template <>
struct FieldTable<DeviceModel> {
    static const std::vector<Field<DeviceModel>>& fields() {
        static std::vector<Field<DeviceModel>> f = {
            field<&DeviceModel::kind>("kind", "\"tpx3\" (the default: a Timepix3 device) or \"tpx\" (Timepix/Medipix): "
                                              "the template the other keys' defaults come from"),
            field<&DeviceModel::connection_string>("connection_string", "locator that opens the device"),
            field<&DeviceModel::product>("product", "product name"),
            field<&DeviceModel::manufacturer>("manufacturer", "manufacturer"),
            field<&DeviceModel::serial_number>("serial_number", "serial number"),
            field<&DeviceModel::instance_path>("instance_path", "USB instance path"),
            field<&DeviceModel::vid, 0, 65535>("vid", "USB vendor id"),
            field<&DeviceModel::pid, 0, 65535>("pid", "USB product id"),
            field<&DeviceModel::high_speed>("high_speed", "the int flag the SDK reports, as given (2 stays 2)"),
            field<&DeviceModel::super_speed>("super_speed", "the int flag the SDK reports, as given"),
            field<&DeviceModel::chips>("chips", "read-out chips"),
            field<&DeviceModel::modes>("modes", "chip operating modes"),
            field<&DeviceModel::dacs>("dacs", "DACs"),
            field<&DeviceModel::sense_dacs>("sense_dacs", "sense DACs"),
            field<&DeviceModel::thresholds>("thresholds", "thresholds"),
            field<&DeviceModel::channels>("channels", "acquisition channels"),
            field<&DeviceModel::trigger_modes>("trigger_modes", "trigger modes"),
            field<&DeviceModel::software_trigger_mode>("software_trigger_mode",
                                                       "the trigger mode in which each block waits for a software "
                                                       "trigger (vrex_trigger is refused in the others)"),
            field<&DeviceModel::lockstep_options>("lockstep_options", "external synchronisation options"),
            field<&DeviceModel::cooling>("cooling", "cooling units"),
            field<&DeviceModel::boards>("boards", "boards"),
            field<&DeviceModel::bias>("bias", "bias sources of the sensor"),
            field<&DeviceModel::monitors>("monitors", "monitored quantities"),
            field<&DeviceModel::monitor_interval_s>("monitor_interval_s",
                                                    "seconds between the monitor thread's looks for changes"),
            field<&DeviceModel::revisions>("revisions", "hardware revisions [id, version] in index order, repeats allowed"),
            field<&DeviceModel::pixel_mask>("pixel_mask", "size of the pixel mask"),
            field<&DeviceModel::flash>("flash", "non-volatile memories"),
            field<&DeviceModel::axi>("axi", "the AXI register file; other addresses answer with decode errors (103)"),
            field<&DeviceModel::axi_bus_errors>("axi_bus_errors", "address ranges answering with bus errors"),
            field<&DeviceModel::acquisition>("acquisition", "the acquisition engine's settings, below"),
        };
        f[0].parse = [](DeviceModel& d, PyObject* v, const std::string& w) {
            d.kind = as_bytes(v, w);
            if (d.kind != "tpx3" && d.kind != "tpx") fail_at(PyExc_ValueError, w, "expected 'tpx3' or 'tpx'");
        };
        return f;
    }
};

// A device: the defaults of its kind's template, then the keys given.
DeviceModel parse_device(PyObject* dict, std::size_t index) {
    const std::string where = "devices[" + std::to_string(index) + "]";
    if (!PyDict_Check(dict)) fail_at(PyExc_TypeError, where, "expected a dict");
    DeviceModel kind;
    if (PyObject* k = PyDict_GetItemString(dict, "kind")) FieldTable<DeviceModel>::fields()[0].parse(kind, k, where + ".kind");
    DeviceModel d = vrexsim::default_device(kind.kind, index);
    parse_into(d, dict, where);
    return d;
}

Ref device_dict(const DeviceModel& m) { return Codec<DeviceModel>::emit(m); }

// The schema part of the module docstring: one line per key of each table.
template <class S>
void describe(std::string& out, const char* title) {
    out += title;
    out += "\n";
    for (const Field<S>& f : FieldTable<S>::fields()) {
        out += "    ``" + std::string(f.key) + "`` (" + f.shape + "): " + f.doc + "\n";
    }
    out += "\n";
}

std::string schema_doc() {
    std::string out;
    describe<DeviceModel>(out, "A device:");
    describe<ChipModel>(out, "A chip:");
    describe<DacModel>(out, "A DAC:");
    describe<ThresholdModel>(out, "A threshold:");
    describe<CoolingModel>(out, "A cooling unit:");
    describe<BoardModel>(out, "A board:");
    describe<BiasModel>(out, "A bias source:");
    describe<MonitorModel>(out, "A monitored quantity:");
    describe<AxiRegisterModel>(out, "An AXI register:");
    describe<AxiBusErrorModel>(out, "An AXI bus-error range:");
    describe<PixelMaskModel>(out, "The pixel mask:");
    describe<FlashModel>(out, "A non-volatile memory:");
    describe<RegionModel>(out, "A region of a memory:");
    describe<AcquisitionModel>(out, "The acquisition engine (``acquisition``):");
    describe<vrexsim::SourceModel>(out, "The source (``acquisition.source``):");
    describe<vrexsim::ParticleRates>(out, "The particle rates (``acquisition.particles``):");
    describe<BlockModel>(out, "A scripted block (absent keys: nothing of that kind unless the mode needs it):");
    return out;
}

// ---- state and call log -> Python ----------------------------------------------------------------------------------

Ref state_dict(const vrexsim::Snapshot& snap) {
    const vrexsim::DeviceState& s = snap.state;
    Ref d = own(PyDict_New());
    put(d.get(), "device", own(PyLong_FromSize_t(snap.index)));
    put(d.get(), "connection_string", own(py_text(snap.device.connection_string)));
    put(d.get(), "open", own(PyBool_FromLong(s.open)));
    Ref dacs = own(PyDict_New());
    for (const auto& [id, v] : s.dacs)
        if (PyDict_SetItem(dacs.get(), own(py_text(id)).get(), own(PyLong_FromLong(v)).get()) < 0) throw ModelError{};
    put(d.get(), "dacs", dacs);
    Ref thresholds = own(PyDict_New());
    for (const auto& [id, t] : s.thresholds)
        if (PyDict_SetItem(thresholds.get(), own(py_text(id)).get(),
                           own(Py_BuildValue("{s:d,s:i}", "kev", static_cast<double>(t.kev), "raw", t.raw)).get()) < 0)
            throw ModelError{};
    put(d.get(), "thresholds", thresholds);
    Ref polarity = own(PyList_New(0));
    for (const auto p : s.polarity) append(polarity.get(), own(PyLong_FromLongLong(p)));
    put(d.get(), "polarity", polarity);
    put(d.get(), "selected_mode", own(py_text(s.selected_mode)));
    put(d.get(), "mode_params",
        s.mode_params ? own(Py_BuildValue("(kkK)", static_cast<unsigned long>(s.mode_params->width_),
                                          static_cast<unsigned long>(s.mode_params->height_),
                                          static_cast<unsigned long long>(s.mode_params->dwell_time_)))
                      : own(Py_NewRef(Py_None)));
    put(d.get(), "sense_dac", s.sense_dac ? own(py_text(*s.sense_dac)) : own(Py_NewRef(Py_None)));
    put(d.get(), "refresh_count", own(PyLong_FromUnsignedLongLong(s.refresh_count)));
    put(d.get(), "mask", own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(s.mask.data()),
                                                        static_cast<Py_ssize_t>(s.mask.size()))));
    auto text_map = [&](const char* key, const auto& map, auto make) {
        Ref out = own(PyDict_New());
        for (const auto& [k, v] : map)
            if (PyDict_SetItem(out.get(), own(py_text(k)).get(), own(make(v)).get()) < 0) throw ModelError{};
        put(d.get(), key, out);
    };
    text_map("powered", s.powered, [](int v) { return PyLong_FromLong(v); });
    text_map("bias", s.bias, [](const vrexsim::DeviceState::Bias& b) {
        return Py_BuildValue("{s:O,s:O,s:d,s:d,s:d}", "on", b.on ? Py_True : Py_False, "tripped",
                             b.tripped ? Py_True : Py_False, "target", static_cast<double>(b.target), "rate",
                             static_cast<double>(b.rate), "current_limit", static_cast<double>(b.current_limit));
    });
    text_map("desired", s.desired, [](float v) { return PyFloat_FromDouble(v); });
    text_map("actual", s.actual, [](float v) { return PyFloat_FromDouble(v); });
    text_map("flash", s.flash, [](const std::vector<std::uint8_t>& v) {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(v.size()));
    });
    Ref registers = own(PyDict_New());
    for (const auto& [addr, word] : s.registers)
        if (PyDict_SetItem(registers.get(), own(PyLong_FromUnsignedLong(addr)).get(),
                           own(PyLong_FromUnsignedLong(word)).get()) < 0)
            throw ModelError{};
    put(d.get(), "registers", registers);
    put(d.get(), "trigger_mode", s.trigger_mode ? own(py_text(*s.trigger_mode)) : own(Py_NewRef(Py_None)));
    put(d.get(), "shutter_duration",
        s.shutter_duration ? own(PyFloat_FromDouble(*s.shutter_duration)) : own(Py_NewRef(Py_None)));
    put(d.get(), "triggers", own(PyLong_FromUnsignedLongLong(s.triggers)));
    put(d.get(), "lockstep_option", s.lockstep_option ? own(py_text(*s.lockstep_option)) : own(Py_NewRef(Py_None)));
    Ref configurations = own(PyList_New(0));
    for (const auto& [type, content] : s.configurations)
        append(configurations.get(), own(Py_BuildValue("(NN)", py_text(type), py_text(content))));
    put(d.get(), "configurations", configurations);
    put(d.get(), "blocks_delivered", own(PyLong_FromUnsignedLongLong(s.blocks_delivered)));
    Ref last_block = own(PyDict_New());
    for (const auto& [name, bytes] : s.last_block)
        put(last_block.get(), name.c_str(),
            own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                          static_cast<Py_ssize_t>(bytes.size()))));
    put(d.get(), "last_block", last_block);
    return d;
}

Ref arg_value(const vrexsim::Arg& a) {
    using K = vrexsim::Arg::Kind;
    switch (a.kind) {
        case K::None: return own(Py_NewRef(Py_None));
        case K::Int: return own(PyLong_FromLongLong(a.i));
        case K::UInt: return own(PyLong_FromUnsignedLongLong(a.u));
        case K::Float: return own(PyFloat_FromDouble(a.d));
        case K::Bytes: return own(PyBytes_FromStringAndSize(a.s.data(), static_cast<Py_ssize_t>(a.s.size())));
        case K::Tuple: {
            Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(a.items.size())));
            for (std::size_t i = 0; i < a.items.size(); ++i)
                PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), arg_value(a.items[i]).release());
            return t;
        }
    }
    return own(Py_NewRef(Py_None));
}

// ---- control functions -----------------------------------------------------------------------------------------------

PyObject* sim_reset(PyObject*) {
    vrex::nogil([] {
        vrexsim::reset();
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* sim_configure(PyObject*, PyObject* model) {
    vrexsim::Model m;
    const bool parsed = unwinding([&] {
        if (!PyDict_Check(model)) fail_at(PyExc_TypeError, "model", "expected a dict");
        Py_ssize_t pos = 0;
        PyObject *key, *devices;
        while (PyDict_Next(model, &pos, &key, &devices)) {
            if (!PyUnicode_Check(key)) fail_at(PyExc_TypeError, "model", "keys must be str");
            if (PyUnicode_CompareWithASCIIString(key, "devices") != 0)
                fail_at(PyExc_ValueError, "model", "unknown key '" + as_bytes(key, "model") + "'");
            std::size_t index = 0;
            for (PyObject* d : as_list(devices, "model.devices")) m.devices.push_back(parse_device(d, index++));
        }
    });
    if (!parsed) return nullptr;
    vrex::nogil([&] {
        vrexsim::configure(std::move(m));
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* sim_model(PyObject*) {
    return unwinding([] {
        const vrexsim::Model m = vrexsim::model();
        Ref devices = own(PyList_New(0));
        for (const auto& d : m.devices) append(devices.get(), device_dict(d));
        Ref out = own(PyDict_New());
        put(out.get(), "devices", devices);
        return out.release();
    });
}

PyObject* sim_fail(PyObject*, PyObject* function, PyObject* status, Optional message, Optional count,
                   Optional perform) {
    if (!PyUnicode_Check(function)) {
        PyErr_SetString(PyExc_TypeError, "function must be the name of an SDK function (str)");
        return nullptr;
    }
    int st = 0;
    if (!vrex::to_int(status, st)) return nullptr;
    std::optional<Bytes> text = Bytes();
    const bool converted = unwinding([&] {
        if (message.given()) {
            if (message.value == Py_None) text.reset();
            else text = as_bytes(message.value, "message");
        }
    });
    if (!converted) return nullptr;
    long long n = 1;
    if (count.given()) {
        n = PyLong_AsLongLong(count.value);
        if (n == -1 && PyErr_Occurred()) return nullptr;
    }
    const int doit = perform.given() ? PyObject_IsTrue(perform.value) : 0;
    if (doit < 0) return nullptr;
    const char* const name = PyUnicode_AsUTF8(function);
    if (name == nullptr) return nullptr;
    if (!vrexsim::fail(name, st, std::move(text), n, doit == 1)) {
        PyErr_Format(PyExc_ValueError, "unknown SDK function %R", function);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* sim_clear_faults(PyObject*) {
    vrexsim::clear_faults();
    Py_RETURN_NONE;
}

PyObject* sim_calls(PyObject*) {
    const auto calls = vrexsim::calls();
    return unwinding([&] {
        Ref list = own(PyList_New(0));
        for (const auto& c : calls) {
            Ref args = own(PyTuple_New(static_cast<Py_ssize_t>(c.args.size())));
            for (std::size_t i = 0; i < c.args.size(); ++i)
                PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), arg_value(c.args[i]).release());
            append(list.get(), own(Py_BuildValue("(sO)", c.name.c_str(), args.get())));
        }
        return list.release();
    });
}

PyObject* sim_clear_calls(PyObject*) {
    vrexsim::clear_calls();
    Py_RETURN_NONE;
}

PyObject* sim_record_calls(PyObject*, Optional enabled) {
    const int on = enabled.given() ? PyObject_IsTrue(enabled.value) : 1;
    if (on < 0) return nullptr;
    vrexsim::record_calls(on == 1);
    Py_RETURN_NONE;
}

PyObject* sim_emit_log(PyObject*, PyObject* severity, PyObject* message, Optional thread) {
    int sev = 0;
    if (!vrex::to_int(severity, sev)) return nullptr;
    Bytes text;
    if (!unwinding([&] { text = as_bytes(message, "message"); })) return nullptr;
    bool sdk_thread = true;
    if (thread.given()) {
        if (PyUnicode_Check(thread.value) && PyUnicode_CompareWithASCIIString(thread.value, "caller") == 0)
            sdk_thread = false;
        else if (!PyUnicode_Check(thread.value) || PyUnicode_CompareWithASCIIString(thread.value, "sdk") != 0) {
            PyErr_SetString(PyExc_ValueError, "thread must be 'sdk' or 'caller'");
            return nullptr;
        }
    }
    vrex::nogil([&] {
        vrexsim::emit_log(sev, text, sdk_thread);
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* sim_state(PyObject*, Optional device) {
    long long index = -1;
    if (device.given() && device.value != Py_None) {
        if (PyUnicode_Check(device.value) || PyBytes_Check(device.value)) {
            Bytes cs;
            if (!unwinding([&] { cs = as_bytes(device.value, "device"); })) return nullptr;
            const auto m = vrexsim::model();
            for (std::size_t i = 0; i < m.devices.size(); ++i)
                if (m.devices[i].connection_string == cs) index = static_cast<long long>(i);
            if (index < 0) {
                PyErr_Format(PyExc_ValueError, "no simulated device %R", device.value);
                return nullptr;
            }
        } else {
            index = PyLong_AsLongLong(device.value);
            if (index == -1 && PyErr_Occurred()) return nullptr;
            if (index < 0) {
                PyErr_SetString(PyExc_ValueError, "device index must not be negative");
                return nullptr;
            }
        }
    }
    const auto snap = vrexsim::state(index);
    if (!snap) {
        PyErr_SetString(PyExc_ValueError, "no such simulated device");
        return nullptr;
    }
    return unwinding([&] { return state_dict(*snap).release(); });
}

// ---- ground truth ---------------------------------------------------------------------------------------------------

// A NumPy array of `count` items of `dtype` copied from `data` (a writable array the caller owns), shaped `shape`
// when given.
Ref numpy_array(const void* data, std::size_t bytes, PyObject* dtype, PyObject* shape = nullptr) {
    const Ref np = own(PyImport_ImportModule("numpy"));
    const Ref raw = own(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
    const Ref view = own(PyObject_CallMethod(np.get(), "frombuffer", "OO", raw.get(), dtype));
    Ref copy = own(PyObject_CallMethod(view.get(), "copy", nullptr));
    if (shape == nullptr) return copy;
    return own(PyObject_CallMethod(copy.get(), "reshape", "O", shape));
}

Ref dtype_of(const char* spec) {
    const Ref np = own(PyImport_ImportModule("numpy"));
    return own(PyObject_CallMethod(np.get(), "dtype", "s", spec));
}

PyObject* sim_pixel_parameters(PyObject*, Optional chip) {
    std::size_t index = 0;
    if (chip.given() && !vrex::to_size_t(chip.value, index)) return nullptr;
    std::string error;
    const auto params = vrex::nogil([&] { return vrexsim::pixel_parameters(index, error); });
    if (!params) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    return unwinding([&] {
        const Ref shape = own(Py_BuildValue("(ii)", 256, 256));
        const Ref f32 = dtype_of("float32"), boolean = dtype_of("bool");
        Ref out = own(PyDict_New());
        const auto floats = [&](const char* key, const std::vector<float>& v) {
            put(out.get(), key, numpy_array(v.data(), v.size() * sizeof(float), f32.get(), shape.get()));
        };
        floats("a", params->a);
        floats("b", params->b);
        floats("c", params->c);
        floats("t", params->t);
        put(out.get(), "dead", numpy_array(params->dead.data(), params->dead.size(), boolean.get(), shape.get()));
        put(out.get(), "noisy", numpy_array(params->noisy.data(), params->noisy.size(), boolean.get(), shape.get()));
        return out.release();
    });
}

PyObject* sim_generate_hits_impl(PyObject*, PyObject* count, Optional seed, Optional particles, Optional overlap) {
    std::uint64_t n = 0, s = 0;
    if (!vrex::to_uint64(count, n)) return nullptr;
    if (seed.given() && !vrex::to_uint64(seed.value, s)) return nullptr;
    if (n > (std::uint64_t{1} << 26)) {
        PyErr_Format(PyExc_ValueError, "count %llu is more than one block may hold (%llu)",
                     static_cast<unsigned long long>(n), static_cast<unsigned long long>(std::uint64_t{1} << 26));
        return nullptr;
    }
    std::optional<vrexsim::ParticleRates> rates;
    const bool parsed = unwinding([&] {
        if (particles.given() && particles.value != Py_None)
            rates = Codec<vrexsim::ParticleRates>::parse(particles.value, "particles");
    });
    if (!parsed) return nullptr;
    const int crowded = overlap.given() ? PyObject_IsTrue(overlap.value) : 0;
    if (crowded < 0) return nullptr;
    std::string error;
    const auto hits = vrex::nogil([&] { return vrexsim::generate_hits(n, s, rates, crowded == 1, error); });
    if (!hits) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    struct Record {
        std::uint32_t address, tot;
        std::uint64_t toa;
    };
    static_assert(sizeof(Record) == 16);
    std::vector<Record> records(hits->address.size());
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = {hits->address[i], hits->tot[i], hits->toa[i]};
    return unwinding([&] {
        const Ref np = own(PyImport_ImportModule("numpy"));
        const Ref fields = own(Py_BuildValue("[(ss)(ss)(ss)]", "address", "<u4", "tot", "<u4", "toa", "<u8"));
        const Ref dtype = own(PyObject_CallMethod(np.get(), "dtype", "O", fields.get()));
        const Ref i64 = dtype_of("int64");
        const Ref a = numpy_array(records.data(), records.size() * sizeof(Record), dtype.get());
        const Ref b = numpy_array(hits->particle.data(), hits->particle.size() * sizeof(std::int64_t), i64.get());
        return PyTuple_Pack(2, a.get(), b.get());
    });
}

// Everything after `count` is keyword-only.
PyObject* sim_generate_hits(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "generate_hits() takes 1 positional argument but %zd were given", nargs);
        vrex::add_traceback("vrexsdk.simulator.generate_hits");
        return nullptr;
    }
    return vrex::fastcall<"generate_hits", "vrexsdk.simulator.generate_hits", sim_generate_hits_impl, "count", "seed",
                          "particles", "overlap">(self, args, nargs, kwnames);
}

#define VREX_QUALIFIER "vrexsdk.simulator"

PyMethodDef functions[] = {
    VREX_METHOD("reset", sim_reset,
                "reset()\n--\n\nBack to the default model: default devices, fresh state, no faults, empty call log, "
                "no device open."),
    VREX_METHOD("configure", sim_configure,
                "configure(model)\n--\n\nReplace the attached devices by `model` (see the module docstring). Open "
                "devices are closed first.",
                "model"),
    VREX_METHOD("model", sim_model, "model()\n--\n\nThe current model as a dict."),
    VREX_METHOD("fail", sim_fail,
                "fail(function, status, message='', count=1, perform=False)\n--\n\n"
                "Make the next `count` calls (-1: until cleared) of the SDK function `function` return `status`; "
                "the failing handle's last error becomes `message` (bytes allowed; None makes the getter hand back "
                "a null pointer). With `perform` the function does its work before returning `status`.",
                "function", "status", "message", "count", "perform"),
    VREX_METHOD("clear_faults", sim_clear_faults,
                "clear_faults()\n--\n\nDrop every pending fault."),
    VREX_METHOD("calls", sim_calls,
                "calls()\n--\n\nEvery SDK function called since the last clear, in order, as (name, args) tuples."),
    VREX_METHOD("clear_calls", sim_clear_calls,
                "clear_calls()\n--\n\nEmpty the call log."),
    VREX_METHOD("record_calls", sim_record_calls,
                "record_calls(enabled=True)\n--\n\nSwitch the call log on or off (off by default).", "enabled"),
    VREX_METHOD("emit_log", sim_emit_log,
                "emit_log(severity, message, thread='sdk')\n--\n\nMake the SDK log `message` at `severity` to every "
                "attached sink, from an SDK thread ('sdk') or the calling thread ('caller'); returns once "
                "delivered.",
                "severity", "message", "thread"),
    VREX_METHOD("state", sim_state,
                "state(device=None)\n--\n\nA snapshot of a device's mutable state: by default the first open "
                "device, else device 0; `device` may be an index or a connection string.",
                "device"),
    VREX_METHOD("pixel_parameters", sim_pixel_parameters,
                "pixel_parameters(chip=0)\n--\n\nThe per-pixel truth generated data come from, for chip `chip` of "
                "the first open device (else device 0): a dict of 256 x 256 arrays indexed [y, x], float32 \"a\", "
                "\"b\", \"c\", \"t\" (ToT = a*E + b - c/(E - t), E in keV, ToT in counts) and bool \"dead\" "
                "and \"noisy\". Fixed by the model's acquisition.pixel_seed; acquisition.dead_pixels is the share of "
                "dead ones.",
                "chip"),
    {"generate_hits", vrex::as_pycfunction(&sim_generate_hits), METH_FASTCALL | METH_KEYWORDS,
     "generate_hits(count, *, seed=0, particles=None, overlap=False)\n--\n\n"
     "One generated block of \"0:tpx3-dd-toa-tot\" hits as an acquisition would make it now on the first open "
     "device (else device 0), with `count` configured hits: (records, particle), a structured array (address = "
     "y * 256 + x, tot, toa) in data-driven order, and the int64 index of each hit's true particle (-1: noise). "
     "`particles` replaces the model's particle rates; `overlap` False places particles at least 2048 ToA ticks "
     "apart (no two overlap in space-time), True about 64 ticks apart."},
    VREX_METHODS_END};

constexpr const char module_doc[] = R"DOC(Control of the simulated libVrexSdk.

The package is built against a simulated device library unless a real SDK is given at build time. This module
drives it: which devices are attached, what their state is, which SDK calls fail, and what was called.

Model schema
------------
``model()`` returns and ``configure()`` takes ``{"devices": [device, ...]}``. A key left out takes its default;
every string may be given as ``bytes``; integers must fit the field (a value that does not fit is refused).

@SCHEMA@Generated data
--------------
Without a script the device generates data from its physics, as the device's settings at ``begin`` make them:

- Length and pacing: a ``block_count`` gives exactly that many blocks. Without one (the default), the frame mode
  delivers ``frame_count`` frames of one exposure each (the shutter duration, or ``1 / frame_rate`` while none is
  set), and the other modes last the shutter duration (the acquisition time; ``duration_s`` while none is set),
  one block of ``hits`` hits every ``hits / hit_rate`` seconds. ``begin`` + ``end`` on the default model take
  about a second.
- Particles: hits come from particles of the ``source`` (photons) and of the other ``particles`` kinds, with
  ground truth (``generate_hits()``). A photon is absorbed at a uniform point of a pixel, and its charge cloud
  (a Gaussian of 0.18 pixel pitch, one standard deviation) is shared with the neighbours across the nearest
  edges, so it fires 1 to 4 pixels and a single-pixel photon has lost what its neighbours kept below the
  threshold (``calibration.fit(..., charge_cloud=0.18)`` allows for it). A pixel fires when its deposit, smeared by its resolution, is above the
  threshold, and gives ToT = a*E + b - c/(E - t) with its own parameters (``pixel_parameters()``), 1 to 1023;
  its ToA is late by the time-walk 100 ns * 4 / (4 + ToT). ToA counts ticks of ``TOA_TICK_NS`` ns; hits arrive
  in ToA order, each up to ``READOUT_JITTER_TICKS`` ticks late (the sorted mode sorts them, same ToA by
  address). Dead pixels (a share ``dead_pixels`` of each chip's, 0.1 % by default) and masked pixels never fire;
  noisy pixels fire on their own (1 % of the hits).
- Threshold: the first threshold in keV, moved by the threshold DACs (Vthreshold_fine and THLFine 0.02 keV per
  step, Vthreshold_coarse and THLCoarse 0.4 keV per step from their model values). Its raw value follows it
  through ``raw_per_kev``, and setting the raw value moves the keV value. A block holds ``hits`` hits at the
  model's threshold; elsewhere the particle hits scale with the deposits above the threshold.
- Noise: ``noise_hits`` per configured hit far below the noise edge, an erfc S-curve across it (a quarter of
  the edge wide), none above. The edge moves by 2 % per degree of the chip's temperature away from the model's:
  the first cooling unit's actual temperature (25 without one) plus 2 degrees per powered board.
- Frames: each live pixel counts Poisson(``flux`` x exposure x the threshold's rate factor); noisy pixels ten
  times that; dead and masked pixels 0.
- The seed is the model's, or a new one for every run when it is None (the default).

Configuration text
------------------
``vrex_load_configuration`` (``Device.config.load``) takes the types ``"xml"`` and ``"yml"`` (any other is
refused with -3) and reads the same line form under both: each line is blank, a comment starting with ``#``, or
one statement of whitespace-separated words::

    dac <id> <int>                          DAC value, within the DAC's limits
    threshold <id> <keV>                    calibrated threshold, within its range
    raw_threshold <id> <int>                raw threshold, within its raw range
    mask <x> <y> <width> <height> <flag>    pixels [x, x+width) by [y, y+height) get flag 0..255
                                            (element [x, y] of getMask(); inside the mask)

The whole text is checked before anything is applied; a faulty line fails with -3 and a message
"Configuration line N: ...", and changes nothing. A loaded text is recorded in ``state()["configurations"]``.

Calls
-----
``reset()``, ``configure(model)``, ``model()``, ``fail(function, status, message="", count=1, perform=False)``,
``clear_faults()``, ``calls()``, ``clear_calls()``, ``record_calls(enabled=True)``,
``emit_log(severity, message, thread="sdk")``, ``state(device=None)``, ``pixel_parameters(chip=0)``,
``generate_hits(count, *, seed=0, particles=None, overlap=False)``; the constants ``TOA_TICK_NS`` and
``READOUT_JITTER_TICKS``.

``state()`` keys: ``device``, ``connection_string``, ``open``, ``dacs``, ``thresholds`` (``{id: {"kev", "raw"}}``),
``polarity``, ``selected_mode``, ``mode_params`` (``(width, height, dwell_time)`` or None), ``sense_dac``,
``refresh_count``, ``mask``, ``powered``, ``bias`` (``{id: {"on", "tripped", "target", "rate", "current_limit"}}``;
the measured output is the SDK's to report), ``desired``, ``actual`` (the temperatures reached by now),
``registers``, ``trigger_mode``, ``shutter_duration``, ``triggers``, ``lockstep_option``, ``configurations``,
``flash``, ``blocks_delivered`` (data callbacks made), ``last_block`` (``{buffer name: bytes}`` of the most recent
block as it was after its callback returned; kept only while the call log records).
)DOC";

int exec_simulator(PyObject* module) {
    if (!vrex::first_initialisation("simulator")) return -1;
    // The schema comes from the model's field tables, so the docstring cannot drift from what is parsed.
    std::string doc = module_doc;
    doc.replace(doc.find("@SCHEMA@"), 8, schema_doc());
    const Ref text = Ref::steal(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())));
    if (!text || PyObject_SetAttrString(module, "__doc__", text.get()) < 0) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    const Ref tick = Ref::steal(PyFloat_FromDouble(vrexsim::kToaTick));
    const Ref jitter = Ref::steal(PyLong_FromUnsignedLongLong(vrexsim::kReadoutJitter));
    if (!tick || !jitter || PyObject_SetAttrString(module, "TOA_TICK_NS", tick.get()) < 0 ||
        PyObject_SetAttrString(module, "READOUT_JITTER_TICKS", jitter.get()) < 0)
        return -1;
    // emit_log releases the GIL like any binding method, so it takes part in the package's exit gate too.
    return vrex::import_gate() ? 0 : -1;
}

}  // namespace

VREX_MODULE(simulator, module_doc, exec_simulator)
