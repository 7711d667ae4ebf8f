// vrexsdk.simulator: control of the simulated libVrexSdk (only built with the bundled simulator).
#include "support/calls.hpp"
#include "vrex_sim.hpp"

#include <chrono>

namespace {

using vrex::Optional;
using vrex::Ref;
using vrexsim::Bytes;

// ---- Python <-> model values -------------------------------------------------------------------------------------

// A model string as str when it is valid UTF-8, else as bytes (tests hand the binding invalid UTF-8 this way).
PyObject* py_text(const Bytes& b) {
    PyObject* s = PyUnicode_DecodeUTF8(b.data(), static_cast<Py_ssize_t>(b.size()), "strict");
    if (s != nullptr) return s;
    PyErr_Clear();
    return PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size()));
}

class ModelError {};  // a Python exception is set; unwinds the conversion

[[noreturn]] void fail_at(PyObject* type, const std::string& where, const char* what) {
    PyErr_Format(type, "model: %s: %s", where.c_str(), what);
    throw ModelError{};
}

void check_error() {
    if (PyErr_Occurred()) throw ModelError{};
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

long long as_int(PyObject* o, const std::string& where) {
    if (!PyLong_Check(o)) fail_at(PyExc_TypeError, where, "expected int");
    const long long v = PyLong_AsLongLong(o);
    check_error();
    return v;
}

std::uint64_t as_u64(PyObject* o, const std::string& where) {
    if (!PyLong_Check(o)) fail_at(PyExc_TypeError, where, "expected int");
    const unsigned long long v = PyLong_AsUnsignedLongLong(o);
    check_error();
    return v;
}

double as_double(PyObject* o, const std::string& where) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        fail_at(PyExc_TypeError, where, "expected a number");
    }
    return v;
}

std::vector<PyObject*> as_list(PyObject* o, const std::string& where) {
    if (!PyList_Check(o) && !PyTuple_Check(o)) fail_at(PyExc_TypeError, where, "expected a list");
    std::vector<PyObject*> items;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) items.push_back(PySequence_Fast_GET_ITEM(o, i));
    return items;
}

std::vector<std::uint64_t> as_u64_list(PyObject* o, const std::string& where) {
    std::vector<std::uint64_t> out;
    for (PyObject* item : as_list(o, where)) out.push_back(as_u64(item, where));
    return out;
}

vrexsim::CountOrValues as_count_or_values(PyObject* o, const std::string& where) {
    if (PyLong_Check(o)) return as_u64(o, where);
    return as_u64_list(o, where);
}

// Iterates the items of a dict given for `where`, refusing keys not in `known`.
template <class F>
void each_key(PyObject* dict, const std::string& where, std::initializer_list<const char*> known, F&& f) {
    if (!PyDict_Check(dict)) fail_at(PyExc_TypeError, where, "expected a dict");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) fail_at(PyExc_TypeError, where, "keys must be str");
        const char* const utf8 = PyUnicode_AsUTF8(key);
        if (utf8 == nullptr) throw ModelError{};
        const std::string k = utf8;
        bool ok = false;
        for (const char* name : known) ok = ok || k == name;
        if (!ok) fail_at(PyExc_ValueError, where, ("unknown key '" + k + "'").c_str());
        f(k, value, where + "." + k);
    }
}

vrexsim::BlockModel parse_block(PyObject* dict, const std::string& where) {
    vrexsim::BlockModel b;
    each_key(dict, where,
             {"frames", "raw", "hits", "records", "vectors", "tdc", "shutter", "packets", "descriptors", "hit_sums",
              "itot_sums", "null", "delay_s", "fail"},
             [&](const std::string& k, PyObject* v, const std::string& w) {
                 if (k == "frames") b.frames = as_u64(v, w);
                 else if (k == "raw") b.raw = as_u64(v, w);
                 else if (k == "hits") b.hits = as_u64(v, w);
                 else if (k == "records") {
                     std::vector<std::vector<std::uint64_t>> records;
                     for (PyObject* r : as_list(v, w)) records.push_back(as_u64_list(r, w));
                     b.records = std::move(records);
                 } else if (k == "vectors") {
                     each_key(v, w, {"addresses", "toa", "tot", "events", "itots"},
                              [&](const std::string& name, PyObject* values, const std::string& w2) {
                                  b.vectors[name] = as_u64_list(values, w2);
                              });
                 } else if (k == "tdc") {
                     std::vector<vrexsim::CountOrValues> tdc;
                     for (PyObject* ch : as_list(v, w)) tdc.push_back(as_count_or_values(ch, w));
                     if (tdc.size() != 3) fail_at(PyExc_ValueError, w, "expected three TDC channels");
                     b.tdc = std::move(tdc);
                 } else if (k == "shutter") b.shutter = as_u64(v, w);
                 else if (k == "packets") b.packets = as_u64(v, w);
                 else if (k == "descriptors") b.descriptors = as_u64(v, w);
                 else if (k == "hit_sums") b.hit_sums = as_count_or_values(v, w);
                 else if (k == "itot_sums") b.itot_sums = as_count_or_values(v, w);
                 else if (k == "null") {
                     const int truth = PyObject_IsTrue(v);
                     if (truth < 0) throw ModelError{};
                     b.null = truth == 1;
                 }
                 else if (k == "delay_s") b.delay_s = as_double(v, w);
                 // "fail" is parsed by parse_block_faults: its keys are SDK function names.
             });
    return b;
}

// "fail" maps getter names to a status or (status, message); parsed apart since its keys are free.
void parse_block_faults(PyObject* dict, const std::string& where, vrexsim::BlockModel& b) {
    PyObject* faults = PyDict_GetItemString(dict, "fail");
    if (faults == nullptr) return;
    if (!PyDict_Check(faults)) fail_at(PyExc_TypeError, where + ".fail", "expected a dict");
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(faults, &pos, &key, &value)) {
        const std::string w = where + ".fail";
        const Bytes name = as_bytes(key, w);
        const auto& names = vrexsim::function_names();
        if (std::find(names.begin(), names.end(), name) == names.end())
            fail_at(PyExc_ValueError, w, ("unknown SDK function '" + name + "'").c_str());
        vrexsim::BlockFault f;
        if (PyLong_Check(value)) {
            f.status = static_cast<int>(as_int(value, w));
            f.message = Bytes();
        } else {
            const auto items = as_list(value, w);
            if (items.empty() || items.size() > 2) fail_at(PyExc_ValueError, w, "expected status or (status, message)");
            f.status = static_cast<int>(as_int(items[0], w));
            if (items.size() == 1) f.message = Bytes();
            else if (items[1] != Py_None) f.message = as_bytes(items[1], w);
        }
        b.fail[name] = f;
    }
}

// Python's "fail" key is checked above with no known keys, so give it its own pass.
vrexsim::BlockModel parse_block_full(PyObject* dict, const std::string& where) {
    if (!PyDict_Check(dict)) fail_at(PyExc_TypeError, where, "expected a dict");
    const Ref copy = Ref::steal(PyDict_Copy(dict));
    if (!copy) throw ModelError{};
    PyDict_DelItemString(copy.get(), "fail");
    PyErr_Clear();
    vrexsim::BlockModel b = parse_block(copy.get(), where);
    parse_block_faults(dict, where, b);
    return b;
}

void parse_acquisition(PyObject* dict, const std::string& where, vrexsim::AcquisitionModel& a) {
    each_key(dict, where, {"blocks", "seed", "block_count", "hits", "frames", "raw", "interval_s", "burst"},
             [&](const std::string& k, PyObject* v, const std::string& w) {
                 if (k == "blocks") {
                     a.scripted = true;
                     a.blocks.clear();
                     std::size_t i = 0;
                     for (PyObject* block : as_list(v, w))
                         a.blocks.push_back(parse_block_full(block, w + "[" + std::to_string(i++) + "]"));
                 } else if (k == "seed") a.seed = as_u64(v, w);
                 else if (k == "block_count") a.block_count = as_u64(v, w);
                 else if (k == "hits") a.hits = as_u64(v, w);
                 else if (k == "frames") a.frames = as_u64(v, w);
                 else if (k == "raw") a.raw = as_u64(v, w);
                 else if (k == "interval_s") a.interval_s = as_double(v, w);
                 else if (k == "burst") a.burst = as_u64(v, w);
             });
}

std::vector<Bytes> as_bytes_list(PyObject* o, const std::string& where) {
    std::vector<Bytes> out;
    for (PyObject* item : as_list(o, where)) out.push_back(as_bytes(item, where));
    return out;
}

vrexsim::DeviceModel parse_device(PyObject* dict, std::size_t index) {
    const std::string where = "devices[" + std::to_string(index) + "]";
    if (!PyDict_Check(dict)) fail_at(PyExc_TypeError, where, "expected a dict");
    Bytes kind = "tpx3";
    if (PyObject* k = PyDict_GetItemString(dict, "kind")) kind = as_bytes(k, where + ".kind");
    if (kind != "tpx3" && kind != "tpx") fail_at(PyExc_ValueError, where + ".kind", "expected 'tpx3' or 'tpx'");
    vrexsim::DeviceModel d = vrexsim::default_device(kind, index);
    each_key(
        dict, where,
        {"kind", "connection_string", "product", "manufacturer", "serial_number", "instance_path", "vid", "pid",
         "high_speed", "super_speed", "chips", "modes", "dacs", "sense_dacs", "thresholds", "channels",
         "trigger_modes", "lockstep_options", "cooling", "boards", "revisions", "pixel_mask", "flash", "acquisition"},
        [&](const std::string& k, PyObject* v, const std::string& w) {
            if (k == "kind") return;
            if (k == "connection_string") d.connection_string = as_bytes(v, w);
            else if (k == "product") d.product = as_bytes(v, w);
            else if (k == "manufacturer") d.manufacturer = as_bytes(v, w);
            else if (k == "serial_number") d.serial_number = as_bytes(v, w);
            else if (k == "instance_path") d.instance_path = as_bytes(v, w);
            else if (k == "vid" || k == "pid") {
                const long long id = as_int(v, w);
                if (id < 0 || id > 65535) fail_at(PyExc_ValueError, w, "expected 0..65535");
                (k == "vid" ? d.vid : d.pid) = static_cast<int>(id);
            } else if (k == "high_speed") d.high_speed = static_cast<int>(as_int(v, w));
            else if (k == "super_speed") d.super_speed = static_cast<int>(as_int(v, w));
            else if (k == "chips") {
                d.chips.clear();
                for (PyObject* c : as_list(v, w)) {
                    vrexsim::ChipModel chip;
                    each_key(c, w, {"id", "polarity"}, [&](const std::string& ck, PyObject* cv, const std::string& cw) {
                        if (ck == "id") chip.id = as_bytes(cv, cw);
                        else chip.polarity = as_int(cv, cw);
                    });
                    d.chips.push_back(chip);
                }
            } else if (k == "modes") d.modes = as_bytes_list(v, w);
            else if (k == "dacs") {
                d.dacs.clear();
                for (PyObject* x : as_list(v, w)) {
                    vrexsim::DacModel dac;
                    each_key(x, w, {"id", "value", "min", "max"},
                             [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                                 if (xk == "id") dac.id = as_bytes(xv, xw);
                                 else (xk == "value" ? dac.value : xk == "min" ? dac.min : dac.max) =
                                     static_cast<int>(as_int(xv, xw));
                             });
                    d.dacs.push_back(dac);
                }
            } else if (k == "sense_dacs") d.sense_dacs = as_bytes_list(v, w);
            else if (k == "thresholds") {
                d.thresholds.clear();
                for (PyObject* x : as_list(v, w)) {
                    vrexsim::ThresholdModel t;
                    each_key(x, w, {"id", "kev", "min", "max", "noise", "raw", "raw_min", "raw_max", "calibrated"},
                             [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                                 if (xk == "id") t.id = as_bytes(xv, xw);
                                 else if (xk == "kev") t.kev = static_cast<float>(as_double(xv, xw));
                                 else if (xk == "min") t.min = static_cast<float>(as_double(xv, xw));
                                 else if (xk == "max") t.max = static_cast<float>(as_double(xv, xw));
                                 else if (xk == "noise") t.noise = static_cast<float>(as_double(xv, xw));
                                 else if (xk == "raw") t.raw = static_cast<int>(as_int(xv, xw));
                                 else if (xk == "raw_min") t.raw_min = static_cast<int>(as_int(xv, xw));
                                 else if (xk == "raw_max") t.raw_max = static_cast<int>(as_int(xv, xw));
                                 else t.calibrated = static_cast<int>(as_int(xv, xw));
                             });
                    d.thresholds.push_back(t);
                }
            } else if (k == "channels") d.channels = as_bytes_list(v, w);
            else if (k == "trigger_modes") d.trigger_modes = as_bytes_list(v, w);
            else if (k == "lockstep_options") d.lockstep_options = as_bytes_list(v, w);
            else if (k == "cooling") {
                d.cooling.clear();
                for (PyObject* x : as_list(v, w)) {
                    vrexsim::CoolingModel c;
                    each_key(x, w, {"id", "unit", "actual", "desired", "min", "max"},
                             [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                                 if (xk == "id") c.id = as_bytes(xv, xw);
                                 else if (xk == "unit") c.unit = as_bytes(xv, xw);
                                 else {
                                     const auto f = static_cast<float>(as_double(xv, xw));
                                     (xk == "actual" ? c.actual : xk == "desired" ? c.desired
                                                              : xk == "min"       ? c.min
                                                                                  : c.max) = f;
                                 }
                             });
                    d.cooling.push_back(c);
                }
            } else if (k == "boards") {
                d.boards.clear();
                for (PyObject* x : as_list(v, w)) {
                    vrexsim::BoardModel b;
                    each_key(x, w, {"id", "powered"}, [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                        if (xk == "id") b.id = as_bytes(xv, xw);
                        else b.powered = static_cast<int>(as_int(xv, xw));
                    });
                    d.boards.push_back(b);
                }
            } else if (k == "revisions") {
                d.revisions.clear();
                for (PyObject* x : as_list(v, w)) {
                    const auto pair = as_list(x, w);
                    if (pair.size() != 2) fail_at(PyExc_ValueError, w, "expected [id, version]");
                    d.revisions.emplace_back(as_bytes(pair[0], w), as_bytes(pair[1], w));
                }
            } else if (k == "pixel_mask") {
                vrexsim::PixelMaskModel m;
                each_key(v, w, {"width", "height", "reported_length"},
                         [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                             if (xk == "width") m.width = as_u64(xv, xw);
                             else if (xk == "height") m.height = as_u64(xv, xw);
                             else m.reported_length = as_u64(xv, xw);
                         });
                d.pixel_mask = m;
            } else if (k == "flash") {
                d.flash.clear();
                for (PyObject* x : as_list(v, w)) {
                    vrexsim::FlashModel f;
                    each_key(x, w, {"id", "part_number", "regions"},
                             [&](const std::string& xk, PyObject* xv, const std::string& xw) {
                                 if (xk == "id") f.id = as_bytes(xv, xw);
                                 else if (xk == "part_number") f.part_number = as_bytes(xv, xw);
                                 else
                                     for (PyObject* r : as_list(xv, xw)) {
                                         vrexsim::RegionModel region;
                                         each_key(r, xw, {"sector_size", "sectors"},
                                                  [&](const std::string& rk, PyObject* rv, const std::string& rw) {
                                                      if (rk == "sector_size")
                                                          region.sector_size = static_cast<int>(as_int(rv, rw));
                                                      else
                                                          for (PyObject* s : as_list(rv, rw)) {
                                                              const auto se = as_u64_list(s, rw);
                                                              if (se.size() != 2)
                                                                  fail_at(PyExc_ValueError, rw, "expected [start, end]");
                                                              region.sectors.emplace_back(
                                                                  static_cast<std::uint32_t>(se[0]),
                                                                  static_cast<std::uint32_t>(se[1]));
                                                          }
                                                  });
                                         f.regions.push_back(region);
                                     }
                             });
                    d.flash.push_back(f);
                }
            } else if (k == "acquisition") {
                parse_acquisition(v, w, d.acquisition);
            }
        });
    return d;
}

// ---- model -> Python -----------------------------------------------------------------------------------------------

// Builds Python values, throwing ModelError on failure so the builders stay readable.
Ref own(PyObject* o) {
    if (o == nullptr) throw ModelError{};
    return Ref::steal(o);
}

void put(PyObject* dict, const char* key, Ref value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) throw ModelError{};
}

void append(PyObject* list, Ref value) {
    if (PyList_Append(list, value.get()) < 0) throw ModelError{};
}

Ref text_list(const std::vector<Bytes>& items) {
    Ref list = own(PyList_New(0));
    for (const Bytes& b : items) append(list.get(), own(py_text(b)));
    return list;
}

Ref u64_list(const std::vector<std::uint64_t>& items) {
    Ref list = own(PyList_New(0));
    for (const std::uint64_t v : items) append(list.get(), own(PyLong_FromUnsignedLongLong(v)));
    return list;
}

Ref count_or_values(const vrexsim::CountOrValues& v) {
    if (const auto* n = std::get_if<std::uint64_t>(&v)) return own(PyLong_FromUnsignedLongLong(*n));
    return u64_list(std::get<std::vector<std::uint64_t>>(v));
}

Ref block_dict(const vrexsim::BlockModel& b) {
    Ref d = own(PyDict_New());
    auto opt = [&](const char* key, const std::optional<std::uint64_t>& v) {
        if (v) put(d.get(), key, own(PyLong_FromUnsignedLongLong(*v)));
    };
    opt("frames", b.frames);
    opt("raw", b.raw);
    opt("hits", b.hits);
    if (b.records) {
        Ref records = own(PyList_New(0));
        for (const auto& r : *b.records) append(records.get(), own(PyList_AsTuple(u64_list(r).get())));
        put(d.get(), "records", records);
    }
    if (!b.vectors.empty()) {
        Ref vectors = own(PyDict_New());
        for (const auto& [name, values] : b.vectors) put(vectors.get(), name.c_str(), u64_list(values));
        put(d.get(), "vectors", vectors);
    }
    if (b.tdc) {
        Ref tdc = own(PyList_New(0));
        for (const auto& ch : *b.tdc) append(tdc.get(), count_or_values(ch));
        put(d.get(), "tdc", tdc);
    }
    opt("shutter", b.shutter);
    opt("packets", b.packets);
    opt("descriptors", b.descriptors);
    if (b.hit_sums) put(d.get(), "hit_sums", count_or_values(*b.hit_sums));
    if (b.itot_sums) put(d.get(), "itot_sums", count_or_values(*b.itot_sums));
    if (b.null) put(d.get(), "null", own(Py_NewRef(Py_True)));
    if (b.delay_s != 0.0) put(d.get(), "delay_s", own(PyFloat_FromDouble(b.delay_s)));
    if (!b.fail.empty()) {
        Ref faults = own(PyDict_New());
        for (const auto& [name, f] : b.fail) {
            Ref message = f.message ? own(py_text(*f.message)) : own(Py_NewRef(Py_None));
            put(faults.get(), name.c_str(), own(Py_BuildValue("(iO)", f.status, message.get())));
        }
        put(d.get(), "fail", faults);
    }
    return d;
}

Ref device_dict(const vrexsim::DeviceModel& m) {
    Ref d = own(PyDict_New());
    put(d.get(), "kind", own(py_text(m.kind)));
    put(d.get(), "connection_string", own(py_text(m.connection_string)));
    put(d.get(), "product", own(py_text(m.product)));
    put(d.get(), "manufacturer", own(py_text(m.manufacturer)));
    put(d.get(), "serial_number", own(py_text(m.serial_number)));
    put(d.get(), "instance_path", own(py_text(m.instance_path)));
    put(d.get(), "vid", own(PyLong_FromLong(m.vid)));
    put(d.get(), "pid", own(PyLong_FromLong(m.pid)));
    put(d.get(), "high_speed", own(PyLong_FromLong(m.high_speed)));
    put(d.get(), "super_speed", own(PyLong_FromLong(m.super_speed)));
    Ref chips = own(PyList_New(0));
    for (const auto& c : m.chips) {
        Ref chip = own(PyDict_New());
        put(chip.get(), "id", own(py_text(c.id)));
        put(chip.get(), "polarity", own(PyLong_FromLongLong(c.polarity)));
        append(chips.get(), chip);
    }
    put(d.get(), "chips", chips);
    put(d.get(), "modes", text_list(m.modes));
    Ref dacs = own(PyList_New(0));
    for (const auto& x : m.dacs)
        append(dacs.get(), own(Py_BuildValue("{s:N,s:i,s:i,s:i}", "id", py_text(x.id), "value", x.value, "min", x.min,
                                             "max", x.max)));
    put(d.get(), "dacs", dacs);
    put(d.get(), "sense_dacs", text_list(m.sense_dacs));
    Ref thresholds = own(PyList_New(0));
    for (const auto& t : m.thresholds)
        append(thresholds.get(),
               own(Py_BuildValue("{s:N,s:d,s:d,s:d,s:d,s:i,s:i,s:i,s:i}", "id", py_text(t.id), "kev",
                                 static_cast<double>(t.kev), "min", static_cast<double>(t.min), "max",
                                 static_cast<double>(t.max), "noise", static_cast<double>(t.noise), "raw", t.raw,
                                 "raw_min", t.raw_min, "raw_max", t.raw_max, "calibrated", t.calibrated)));
    put(d.get(), "thresholds", thresholds);
    put(d.get(), "channels", text_list(m.channels));
    put(d.get(), "trigger_modes", text_list(m.trigger_modes));
    put(d.get(), "lockstep_options", text_list(m.lockstep_options));
    Ref cooling = own(PyList_New(0));
    for (const auto& c : m.cooling)
        append(cooling.get(), own(Py_BuildValue("{s:N,s:N,s:d,s:d,s:d,s:d}", "id", py_text(c.id), "unit",
                                                py_text(c.unit), "actual", static_cast<double>(c.actual), "desired",
                                                static_cast<double>(c.desired), "min", static_cast<double>(c.min),
                                                "max", static_cast<double>(c.max))));
    put(d.get(), "cooling", cooling);
    Ref boards = own(PyList_New(0));
    for (const auto& b : m.boards)
        append(boards.get(), own(Py_BuildValue("{s:N,s:i}", "id", py_text(b.id), "powered", b.powered)));
    put(d.get(), "boards", boards);
    Ref revisions = own(PyList_New(0));
    for (const auto& [id, version] : m.revisions)
        append(revisions.get(), own(Py_BuildValue("[NN]", py_text(id), py_text(version))));
    put(d.get(), "revisions", revisions);
    Ref mask = own(Py_BuildValue("{s:K,s:K}", "width", static_cast<unsigned long long>(m.pixel_mask.width), "height",
                                 static_cast<unsigned long long>(m.pixel_mask.height)));
    if (m.pixel_mask.reported_length)
        put(mask.get(), "reported_length", own(PyLong_FromUnsignedLongLong(*m.pixel_mask.reported_length)));
    put(d.get(), "pixel_mask", mask);
    Ref flash = own(PyList_New(0));
    for (const auto& f : m.flash) {
        Ref regions = own(PyList_New(0));
        for (const auto& r : f.regions) {
            Ref sectors = own(PyList_New(0));
            for (const auto& [start, end] : r.sectors)
                append(sectors.get(), own(Py_BuildValue("[kk]", static_cast<unsigned long>(start),
                                                        static_cast<unsigned long>(end))));
            append(regions.get(), own(Py_BuildValue("{s:i,s:O}", "sector_size", r.sector_size, "sectors", sectors.get())));
        }
        append(flash.get(), own(Py_BuildValue("{s:N,s:N,s:O}", "id", py_text(f.id), "part_number",
                                              py_text(f.part_number), "regions", regions.get())));
    }
    put(d.get(), "flash", flash);
    const auto& a = m.acquisition;
    Ref acq = own(Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:d,s:K}", "seed", static_cast<unsigned long long>(a.seed),
                                "block_count", static_cast<unsigned long long>(a.block_count), "hits",
                                static_cast<unsigned long long>(a.hits), "frames",
                                static_cast<unsigned long long>(a.frames), "raw", static_cast<unsigned long long>(a.raw),
                                "interval_s", a.interval_s, "burst", static_cast<unsigned long long>(a.burst)));
    if (a.scripted) {
        Ref blocks = own(PyList_New(0));
        for (const auto& b : a.blocks) append(blocks.get(), block_dict(b));
        put(acq.get(), "blocks", blocks);
    }
    put(d.get(), "acquisition", acq);
    return d;
}

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
    try {
        std::size_t index = 0;
        each_key(model, "model", {"devices"}, [&](const std::string&, PyObject* devices, const std::string& w) {
            for (PyObject* d : as_list(devices, w)) m.devices.push_back(parse_device(d, index++));
        });
    } catch (const ModelError&) {
        return nullptr;
    }
    vrex::nogil([&] {
        vrexsim::configure(std::move(m));
        return 0;
    });
    Py_RETURN_NONE;
}

PyObject* sim_model(PyObject*) {
    try {
        const vrexsim::Model m = vrexsim::model();
        Ref devices = own(PyList_New(0));
        for (const auto& d : m.devices) append(devices.get(), device_dict(d));
        Ref out = own(PyDict_New());
        put(out.get(), "devices", devices);
        return out.release();
    } catch (const ModelError&) {
        return nullptr;
    }
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
    try {
        if (message.given()) {
            if (message.value == Py_None) text.reset();
            else text = as_bytes(message.value, "message");
        }
    } catch (const ModelError&) {
        return nullptr;
    }
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
    try {
        Ref list = own(PyList_New(0));
        for (const auto& c : calls) {
            Ref args = own(PyTuple_New(static_cast<Py_ssize_t>(c.args.size())));
            for (std::size_t i = 0; i < c.args.size(); ++i)
                PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), arg_value(c.args[i]).release());
            append(list.get(), own(Py_BuildValue("(sO)", c.name.c_str(), args.get())));
        }
        return list.release();
    } catch (const ModelError&) {
        return nullptr;
    }
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
    try {
        text = as_bytes(message, "message");
    } catch (const ModelError&) {
        return nullptr;
    }
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
            try {
                cs = as_bytes(device.value, "device");
            } catch (const ModelError&) {
                return nullptr;
            }
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
    try {
        return state_dict(*snap).release();
    } catch (const ModelError&) {
        return nullptr;
    }
}

// ---- benchmark floors ------------------------------------------------------------------------------------------------

// The least a binding method can cost: take one str, encode it as the binding does, release and retake the GIL
// around one SDK call that does nothing.
PyObject* sim_noop(PyObject*, PyObject* text) {
    vrex::Text encoded;
    if (!encoded.from_encode_exact_bytes(text)) return nullptr;
    vrex::nogil([&] { return vrex_sim_noop(nullptr, encoded.c_str()); });
    Py_RETURN_NONE;
}

// The least a delivery can cost: on an SDK thread, take the GIL once and call `func(*args)` `count` times. With
// `gil_per_call` the thread (keeping its thread state) takes and releases the GIL around each call instead, as
// every delivery must. Returns the seconds the calls took.
PyObject* sim_call_floor(PyObject*, PyObject* func, PyObject* args, PyObject* count, Optional gil_per_call) {
    if (!PyTuple_Check(args)) {
        PyErr_SetString(PyExc_TypeError, "args must be a tuple");
        return nullptr;
    }
    const long long n = PyLong_AsLongLong(count);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    const int per_call = gil_per_call.given() ? PyObject_IsTrue(gil_per_call.value) : 0;
    if (per_call < 0) return nullptr;
    double seconds = 0.0;
    bool failed = false;
    PyObject *etype = nullptr, *evalue = nullptr, *etb = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    vrex::nogil([&] {
        vrexsim::run_on_sdk_thread([&] {
            const PyGILState_STATE gil = PyGILState_Ensure();
            PyThreadState* const state = PyThreadState_Get();
            if (per_call) PyEval_SaveThread();
            const auto start = std::chrono::steady_clock::now();
            for (long long i = 0; i < n && !failed; ++i) {
                if (per_call) PyEval_RestoreThread(state);
                PyObject* r = PyObject_Vectorcall(func, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(nargs),
                                                  nullptr);
                if (r == nullptr) failed = true;
                Py_XDECREF(r);
                if (per_call && !failed) PyEval_SaveThread();
            }
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (per_call && !failed) PyEval_RestoreThread(state);
            if (failed) PyErr_Fetch(&etype, &evalue, &etb);
            PyGILState_Release(gil);
        });
        return 0;
    });
    if (failed) {
        PyErr_Restore(etype, evalue, etb);
        return nullptr;
    }
    return PyFloat_FromDouble(seconds);
}

PyMethodDef functions[] = {
    VREX_METHOD("reset", "vrexsdk.simulator.reset", sim_reset,
                "reset()\n--\n\nBack to the default model: default devices, fresh state, no faults, empty call log, "
                "no device open."),
    VREX_METHOD("configure", "vrexsdk.simulator.configure", sim_configure,
                "configure(model)\n--\n\nReplace the attached devices by `model` (see the module docstring). Open "
                "devices are closed first.",
                "model"),
    VREX_METHOD("model", "vrexsdk.simulator.model", sim_model, "model()\n--\n\nThe current model as a dict."),
    VREX_METHOD("fail", "vrexsdk.simulator.fail", sim_fail,
                "fail(function, status, message='', count=1, perform=False)\n--\n\n"
                "Make the next `count` calls (-1: until cleared) of the SDK function `function` return `status`; "
                "the failing handle's last error becomes `message` (bytes allowed; None makes the getter hand back "
                "a null pointer). With `perform` the function does its work before returning `status`.",
                "function", "status", "message", "count", "perform"),
    VREX_METHOD("clear_faults", "vrexsdk.simulator.clear_faults", sim_clear_faults,
                "clear_faults()\n--\n\nDrop every pending fault."),
    VREX_METHOD("calls", "vrexsdk.simulator.calls", sim_calls,
                "calls()\n--\n\nEvery SDK function called since the last clear, in order, as (name, args) tuples."),
    VREX_METHOD("clear_calls", "vrexsdk.simulator.clear_calls", sim_clear_calls,
                "clear_calls()\n--\n\nEmpty the call log."),
    VREX_METHOD("record_calls", "vrexsdk.simulator.record_calls", sim_record_calls,
                "record_calls(enabled=True)\n--\n\nSwitch the call log on or off (off by default).", "enabled"),
    VREX_METHOD("emit_log", "vrexsdk.simulator.emit_log", sim_emit_log,
                "emit_log(severity, message, thread='sdk')\n--\n\nMake the SDK log `message` at `severity` to every "
                "attached sink, from an SDK thread ('sdk') or the calling thread ('caller'); returns once "
                "delivered.",
                "severity", "message", "thread"),
    VREX_METHOD("state", "vrexsdk.simulator.state", sim_state,
                "state(device=None)\n--\n\nA snapshot of a device's mutable state: by default the first open "
                "device, else device 0; `device` may be an index or a connection string.",
                "device"),
    VREX_METHOD("_noop", "vrexsdk.simulator._noop", sim_noop,
                "_noop(text)\n--\n\nBenchmark floor of a method call: encode `text`, release the GIL around an SDK "
                "call that does nothing.",
                "text"),
    VREX_METHOD("_call_floor", "vrexsdk.simulator._call_floor", sim_call_floor,
                "_call_floor(func, args, count, gil_per_call=False)\n--\n\nBenchmark floor of a delivery: on an SDK "
                "thread, hold the GIL and call func(*args) `count` times (with `gil_per_call`, take and release the "
                "GIL around each call, keeping the thread state); returns the seconds taken.",
                "func", "args", "count", "gil_per_call"),
    VREX_METHODS_END};

constexpr const char module_doc[] = R"DOC(Control of the simulated libVrexSdk.

The package is built against a simulated device library unless a real SDK is given at build time. This module
drives it: which devices are attached, what their state is, which SDK calls fail, and what was called.

Model schema
------------
``model()`` returns and ``configure()`` takes ``{"devices": [device, ...]}``. A device is a dict; a key left out
takes its default, from the template named by ``"kind"`` (``"tpx3"``, the default: a Timepix3 device; or
``"tpx"``: a Timepix/Medipix device); every string may be given as ``bytes``:

``kind``                       ``"tpx3"`` or ``"tpx"``
``connection_string``, ``product``, ``manufacturer``, ``serial_number``, ``instance_path``      strings
``vid``, ``pid``               0..65535
``high_speed``, ``super_speed``  the int flags the SDK reports, as given
``chips``                      ``[{"id", "polarity"}]`` (polarity: the raw value reported)
``modes``                      ``[id]``: the chip operating modes
``dacs``                       ``[{"id", "value", "min", "max"}]``
``sense_dacs``                 ``[id]``
``thresholds``                 ``[{"id", "kev", "min", "max", "noise", "raw", "raw_min", "raw_max", "calibrated"}]``
``channels``                   ``[id]``: acquisition channels
``trigger_modes``, ``lockstep_options``   ``[id]``
``cooling``                    ``[{"id", "unit", "actual", "desired", "min", "max"}]``
``boards``                     ``[{"id", "powered"}]``
``revisions``                  ``[[id, version]]``, in index order, repeats allowed
``pixel_mask``                 ``{"width", "height"}``, optionally ``"reported_length"``
``flash``                      ``[{"id", "part_number", "regions": [{"sector_size", "sectors": [[start, end]]}]}]``
``acquisition``                see below

``acquisition`` holds generator settings ``seed``, ``block_count``, ``hits`` (per block), ``frames`` (per
block), ``raw`` (bytes per block), ``interval_s`` (pause between blocks), ``burst`` (deliver the first block this
many times back to back, prepared once), and optionally ``blocks``, a script that replaces the generator. A
scripted block is a dict with any of: ``frames``, ``raw``, ``hits`` (counts, contents generated), ``records``
(explicit packet records, tuples of the mode's record fields), ``vectors`` (``{"addresses", "toa", "tot",
"events", "itots"}``: explicit vectors), ``tdc`` (three entries, a count or explicit timestamps, for TDC channels
0..2), ``shutter`` (shutter rising-edge ticks), ``packets``, ``descriptors`` (binned packet and bin descriptor
counts), ``hit_sums``, ``itot_sums`` (a count or explicit values), ``null`` (every pointer of the block null,
counts kept), ``delay_s`` (pause before the block), ``fail`` (``{getter name: status or (status, message)}``:
getters that fail on this block; a None message makes the last-error getter hand back a null pointer).

Calls
-----
``reset()``, ``configure(model)``, ``model()``, ``fail(function, status, message="", count=1, perform=False)``,
``clear_faults()``, ``calls()``, ``clear_calls()``, ``record_calls(enabled=True)``,
``emit_log(severity, message, thread="sdk")``, ``state(device=None)``.

``state()`` keys: ``device``, ``connection_string``, ``open``, ``dacs``, ``thresholds`` (``{id: {"kev", "raw"}}``),
``polarity``, ``selected_mode``, ``mode_params`` (``(width, height, dwell_time)`` or None), ``sense_dac``,
``refresh_count``, ``mask``, ``powered``, ``desired``, ``actual``, ``registers``, ``trigger_mode``,
``shutter_duration``, ``triggers``, ``lockstep_option``, ``configurations``, ``flash``, ``blocks_delivered``
(data callbacks made), ``last_block`` (``{buffer name: bytes}`` of the most recent block as it was after its
callback returned; kept only while the call log records).
)DOC";

int exec_simulator(PyObject* module) {
    if (!vrex::first_initialisation("simulator")) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    // emit_log releases the GIL like any binding method, so it takes part in the package's exit gate too.
    return vrex::import_gate() ? 0 : -1;
}

}  // namespace

VREX_MODULE(simulator, module_doc, exec_simulator)
