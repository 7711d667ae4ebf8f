// vrexsdk.clusters: hits to particles. cluster() for whole arrays (an acquisition's hits, a file's events) and
// Clusterer for a stream of blocks; both run the kernel of clusterer.hpp with the GIL released.
#include "support/arrays.hpp"
#include "support/module.hpp"

#include "clusterer.hpp"
#include "labelled_clusters.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

namespace cl = vrex::clusters;
using vrex::Optional;
using vrex::Ref;

static_assert(sizeof(cl::Hit) == sizeof(vrex::toa_tot_struct) &&
                  offsetof(cl::Hit, tot) == offsetof(vrex::toa_tot_struct, tot) &&
                  offsetof(cl::Hit, toa) == offsetof(vrex::toa_tot_struct, toa),
              "the kernel reads the SDK's hit records in place");

// Timepix3 counts ToA in 25 ns clock periods of 16 fine steps each.
constexpr double tick_ns = 1.5625;
constexpr double default_window_ns = 300.0;
// Data-driven read-out drains the matrix column pair by column pair, so hits may arrive a few microseconds out of
// order; the default leaves ample margin (what it costs is holding that many microseconds of hits back).
constexpr double default_jitter_ns = 100000.0;
constexpr std::size_t chunk = 65536;  // hits per step of cluster(): state is closed and recycled between steps
constexpr std::uint32_t max_side = 4096;
constexpr int max_radius = 16;

// The record of the clusters array, written once; the dtype is derived from it.
struct Field {
    const char* name;
    const char* format;
    std::size_t offset;
};
#define VREX_FIELD(name, format) Field{#name, format, offsetof(cl::Cluster, name)}
const Field cluster_fields[] = {
    VREX_FIELD(x, "f8"),          VREX_FIELD(y, "f8"),          VREX_FIELD(x_mean, "f8"),
    VREX_FIELD(y_mean, "f8"),     VREX_FIELD(toa, "u8"),        VREX_FIELD(toa_spread, "u8"),
    VREX_FIELD(tot_sum, "u8"),    VREX_FIELD(size, "u4"),       VREX_FIELD(elongation, "f4"),
    VREX_FIELD(x_min, "u2"),      VREX_FIELD(x_max, "u2"),      VREX_FIELD(y_min, "u2"),
    VREX_FIELD(y_max, "u2"),
};
#undef VREX_FIELD

// Made at the module's single initialisation, then only read.
PyArray_Descr* cluster_descr = nullptr;
PyTypeObject* clusterer_type = nullptr;

PyArray_Descr* make_cluster_descr() {
    const Ref names = Ref::steal(PyList_New(0)), formats = Ref::steal(PyList_New(0)),
              offsets = Ref::steal(PyList_New(0));
    if (!names || !formats || !offsets) return nullptr;
    for (const Field& f : cluster_fields) {
        const Ref n = Ref::steal(PyUnicode_FromString(f.name)), t = Ref::steal(PyUnicode_FromString(f.format)),
                  o = Ref::steal(PyLong_FromSize_t(f.offset));
        if (!n || !t || !o || PyList_Append(names.get(), n.get()) < 0 || PyList_Append(formats.get(), t.get()) < 0 ||
            PyList_Append(offsets.get(), o.get()) < 0)
            return nullptr;
    }
    const Ref spec = Ref::steal(Py_BuildValue("{s:O,s:O,s:O,s:n}", "names", names.get(), "formats", formats.get(),
                                              "offsets", offsets.get(), "itemsize",
                                              static_cast<Py_ssize_t>(sizeof(cl::Cluster))));
    PyArray_Descr* d = nullptr;
    if (!spec || PyArray_DescrConverter(spec.get(), &d) != NPY_SUCCEED) return nullptr;
    return d;
}

// ---- arguments -----------------------------------------------------------------------------------------------

bool is_none(const Optional& o) { return !o.given() || o.value == Py_None; }

// A time given in ns or in ticks (not both), as ticks.
bool ticks_of(const Optional& ns, const Optional& ticks, double default_ns, const char* what, std::uint64_t& out) {
    if (!is_none(ns) && !is_none(ticks)) {
        PyErr_Format(PyExc_TypeError, "give %s_ns or %s_ticks, not both", what, what);
        return false;
    }
    if (!is_none(ticks)) {
        if (!PyLong_Check(ticks.value) || PyBool_Check(ticks.value)) {
            PyErr_Format(PyExc_TypeError, "%s_ticks must be an int, not %.200s", what, Py_TYPE(ticks.value)->tp_name);
            return false;
        }
        return vrex::to_uint64(ticks.value, out);
    }
    double v = default_ns;
    if (!is_none(ns)) {
        // True is an int to Python, but as a time it is a slip.
        if (PyBool_Check(ns.value)) {
            PyErr_Format(PyExc_TypeError, "%s_ns must be a number, not bool", what);
            return false;
        }
        v = PyFloat_AsDouble(ns.value);
        if (v == -1.0 && PyErr_Occurred()) return false;
    }
    if (!std::isfinite(v) || v < 0) {
        PyErr_Format(PyExc_ValueError, "%s_ns must be a finite time of at least 0, got %R", what, ns.value);
        return false;
    }
    if (v / tick_ns >= 0x1p63) {
        PyErr_Format(PyExc_ValueError, "%s_ns must be below 2**63 ticks (1.44e19 ns), got %R", what, ns.value);
        return false;
    }
    out = static_cast<std::uint64_t>(std::llround(v / tick_ns));
    return true;
}

bool bounded_int(const Optional& o, int fallback, int low, int high, const char* what, int& out) {
    out = fallback;
    if (is_none(o)) return true;
    if (!PyLong_Check(o.value) || PyBool_Check(o.value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", what, Py_TYPE(o.value)->tp_name);
        return false;
    }
    const long long v = PyLong_AsLongLong(o.value);
    if (v == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    } else if (v >= low && v <= high) {
        out = static_cast<int>(v);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "%s must be from %d to %d, got %R", what, low, high, o.value);
    return false;
}

bool settings_of(const Optional& window_ns, const Optional& window_ticks, const Optional& jitter_ns,
                 const Optional& jitter_ticks, const Optional& radius, const Optional& width, const Optional& height,
                 cl::Settings& s) {
    int w = 0, h = 0;
    if (!ticks_of(window_ns, window_ticks, default_window_ns, "window", s.window) ||
        !ticks_of(jitter_ns, jitter_ticks, default_jitter_ns, "jitter", s.jitter) ||
        !bounded_int(radius, 1, 0, max_radius, "radius", s.radius) ||
        !bounded_int(width, 256, 1, max_side, "width", w) || !bounded_int(height, 256, 1, max_side, "height", h))
        return false;
    s.width = static_cast<std::uint32_t>(w);
    s.height = static_cast<std::uint32_t>(h);
    return true;
}

// The hits of an array of hit records (contiguous and aligned, copied only if it is not), or of an empty array of
// any kind (an empty block is delivered as an empty float64 array).
struct Hits {
    Ref array;
    const cl::Hit* data = nullptr;
    std::size_t count = 0;
};

bool hits_of(PyObject* o, Hits& out) {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "hits must be a NumPy array of hit records, not %.200s", Py_TYPE(o)->tp_name);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, "hits must be one-dimensional, got %d dimensions", PyArray_NDIM(a));
        return false;
    }
    if (PyArray_SIZE(a) == 0) return true;
    PyArray_Descr* const hit = vrex::array_types().descr[static_cast<int>(vrex::Element::ToaTot)];
    if (!PyArray_EquivTypes(PyArray_DESCR(a), hit)) {
        PyErr_Format(PyExc_TypeError, "hits must have the hit record dtype (address u4, tot u4, toa u8), got %R",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        return false;
    }
    Py_INCREF(hit);  // stolen
    out.array = Ref::steal(PyArray_FromArray(a, hit, NPY_ARRAY_IN_ARRAY));
    if (!out.array) return false;
    out.data = static_cast<const cl::Hit*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.array.get())));
    out.count = static_cast<std::size_t>(PyArray_SIZE(a));
    return true;
}

// The hit `i` the kernel found outside the matrix (where it read the hits, with the GIL released).
PyObject* outside(std::size_t i, std::uint32_t address, const cl::Settings& s) {
    return PyErr_Format(PyExc_ValueError, "hit %zu has address %u, outside the %u x %u matrix", i, address, s.width,
                        s.height);
}

PyObject* clusters_array(const std::vector<cl::Cluster>& v) {
    npy_intp n = static_cast<npy_intp>(v.size());
    Py_INCREF(cluster_descr);  // stolen
    PyObject* const a = PyArray_NewFromDescr(&PyArray_Type, cluster_descr, 1, &n, nullptr, nullptr, 0, nullptr);
    if (a != nullptr && !v.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)), v.data(), v.size() * sizeof(cl::Cluster));
    return a;
}

// Runs `work` with the GIL released; a failed allocation inside becomes MemoryError.
template <class Work>
bool run_released(Work&& work) {
    bool failed = false;
    vrex::nogil([&] {
        try {
            work();
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        return 0;
    });
    if (failed) PyErr_NoMemory();
    return !failed;
}

// ---- cluster() -----------------------------------------------------------------------------------------------

struct Indexed {
    cl::Hit hit;
    std::uint64_t seq;
};

// What cluster_all() found in the hits as it read them: the first one outside the matrix (`outside` < n) and its
// address, or that they fell out of the order they were first seen in (another thread wrote them meanwhile).
struct Reading {
    std::size_t outside;
    std::uint32_t address = 0;
    bool changed = false;
};

// The array may be written by another thread while this runs (the GIL is released), so the kernel works only on
// hits read once into memory of its own, and checked there.
Reading cluster_all(const cl::Settings& s, const cl::Hit* hits, std::size_t n, std::vector<cl::Cluster>& out,
                    std::vector<cl::Label>* labels) {
    cl::Clusterer k(s);
    Reading r{n};
    bool sorted = true;
    for (std::size_t i = 1; i < n && sorted; ++i) sorted = hits[i - 1].toa <= hits[i].toa;
    std::vector<cl::Hit> part(std::min(chunk, n));
    // The m hits from `at` into part; false (r says which) for one outside the matrix.
    const auto read = [&](std::size_t at, std::size_t m) {
        const std::size_t bad = k.read(hits + at, m, part.data(), r.address);
        if (bad < m) r.outside = at + bad;
        return bad == m;
    };
    if (sorted) {
        // The common case (sorted read-out, or a file written in order): a chunk at a time, no copy of it all.
        std::uint64_t last = 0;
        for (std::size_t at = 0; at < n; at += chunk) {
            const std::size_t m = std::min(chunk, n - at);
            if (!read(at, m)) return r;
            for (std::size_t i = 0; i < m; ++i) {
                if (part[i].toa < last) {
                    r.changed = true;
                    return r;
                }
                last = part[i].toa;
            }
            k.push_sorted(part.data(), m, nullptr, last, out, labels);
        }
    } else {
        std::vector<Indexed> order(n);
        for (std::size_t at = 0; at < n; at += chunk) {
            const std::size_t m = std::min(chunk, n - at);
            if (!read(at, m)) return r;
            for (std::size_t i = 0; i < m; ++i) order[at + i] = {part[i], at + i};
        }
        std::vector<Indexed> scratch;
        std::vector<std::uint32_t> buckets;
        cl::sort_by_toa(order.data(), n, [](const Indexed& e) { return e.hit.toa; }, scratch, buckets);
        std::vector<std::uint64_t> seq(part.size());
        for (std::size_t at = 0; at < n; at += chunk) {
            const std::size_t m = std::min(chunk, n - at);
            for (std::size_t i = 0; i < m; ++i) {
                part[i] = order[at + i].hit;
                seq[i] = order[at + i].seq;
            }
            k.push_sorted(part.data(), m, seq.data(), part[m - 1].toa, out, labels);
        }
    }
    k.flush(out, labels);
    return r;
}

PyObject* cluster(PyObject*, PyObject* hits, Optional window_ns, Optional window_ticks, Optional radius,
                  Optional width, Optional height, Optional labels) {
    cl::Settings s;
    if (!settings_of(window_ns, window_ticks, Optional(), Optional(), radius, width, height, s)) return nullptr;
    s.jitter = 0;
    const int want_labels = is_none(labels) ? 0 : PyObject_IsTrue(labels.value);
    if (want_labels < 0) return nullptr;
    Hits h;
    if (!hits_of(hits, h)) return nullptr;
    std::vector<cl::Cluster> out;
    std::vector<cl::Label> pairs;
    Reading r{0};
    if (!run_released([&] { r = cluster_all(s, h.data, h.count, out, want_labels ? &pairs : nullptr); }))
        return nullptr;
    if (r.outside < h.count) return outside(r.outside, r.address, s);
    if (r.changed) {
        PyErr_SetString(PyExc_RuntimeError, "the hits changed while they were clustered (another thread wrote them)");
        return nullptr;
    }
    Ref result = Ref::steal(clusters_array(out));
    if (!result || !want_labels) return result.release();
    npy_intp n = static_cast<npy_intp>(h.count);
    Ref label_array = Ref::steal(PyArray_SimpleNew(1, &n, NPY_INT64));
    if (!label_array) return nullptr;
    auto* const l = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(label_array.get())));
    for (const cl::Label& p : pairs) l[p.hit] = static_cast<std::int64_t>(p.cluster);
    return PyTuple_Pack(2, result.get(), label_array.get());
}

// ---- Clusterer -----------------------------------------------------------------------------------------------

// A stream of hit blocks (Clusterer, _Labelled): its kernel, the settings it was made with, and the flag that
// lets one call at a time work on it.
template <class Kernel>
struct StreamObject {
    PyObject_HEAD
    Kernel* kernel;
    cl::Settings settings;
    std::atomic<bool> busy;
};
using ClustererObject = StreamObject<cl::Clusterer>;

// One call at a time works on a stream: its state is touched with the GIL released.
class Busy {
public:
    explicit Busy(std::atomic<bool>& busy) : busy_(busy), held_(!busy.exchange(true)) {
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "the Clusterer is in use by another thread");
    }
    ~Busy() {
        if (held_) busy_.store(false);
    }
    explicit operator bool() const noexcept { return held_; }

private:
    std::atomic<bool>& busy_;
    bool held_;
};

// The settings of a stream's constructor, named as Clusterer's.
bool stream_settings(const char* type, PyObject* args, PyObject* kwargs, cl::Settings& s) {
    static const char* const names[] = {"window_ns", "window_ticks", "jitter_ns", "jitter_ticks",
                                        "radius",    "width",        "height",    nullptr};
    PyObject* slot[7];
    return vrex::parse_tuple(type, names, 7, 0, args, kwargs, slot) &&
           settings_of(slot[0], slot[1], slot[2], slot[3], slot[4], slot[5], slot[6], s);
}

// The constructor of a stream type named `Name`: its settings parsed as Clusterer's, then a kernel made from them.
template <class Kernel, vrex::fixed_string Name>
PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    cl::Settings s;
    if (!stream_settings(Name.value, args, kwargs, s)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* c = reinterpret_cast<StreamObject<Kernel>*>(self.get());
    c->settings = s;
    new (&c->busy) std::atomic<bool>(false);
    try {
        c->kernel = new Kernel(s);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();  // the kernel stays null (tp_alloc zeroes), which the dealloc deletes harmlessly
    }
    return self.release();
}

// As the call that makes a stream of the same settings.
template <class Kernel, vrex::fixed_string Name>
PyObject* stream_repr(PyObject* self) {
    const cl::Settings& s = reinterpret_cast<StreamObject<Kernel>*>(self)->settings;
    return PyUnicode_FromFormat("%s(window_ticks=%llu, jitter_ticks=%llu, radius=%d, width=%u, height=%u)", Name.value,
                                static_cast<unsigned long long>(s.window), static_cast<unsigned long long>(s.jitter),
                                s.radius, static_cast<unsigned>(s.width), static_cast<unsigned>(s.height));
}

template <class Kernel>
void stream_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    delete reinterpret_cast<StreamObject<Kernel>*>(self)->kernel;
    type->tp_free(self);
    Py_DECREF(type);
}

// A counter of the stream's kernel.
template <class Kernel, auto Get>
PyObject* stream_stat(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong((reinterpret_cast<StreamObject<Kernel>*>(self)->kernel->*Get)());
}

PyObject* clusterer_push(ClustererObject* self, PyObject* hits) {
    const Busy busy(self->busy);
    if (!busy) return nullptr;
    Hits h;
    if (!hits_of(hits, h)) return nullptr;
    std::vector<cl::Cluster> out;
    std::size_t bad = 0;
    std::uint32_t address = 0;
    if (!run_released([&] { bad = self->kernel->push_shared(h.data, h.count, out, address); })) return nullptr;
    // Nothing was pushed: the stream is as it was.
    if (bad < h.count) return outside(bad, address, self->settings);
    return clusters_array(out);
}

PyObject* clusterer_flush(ClustererObject* self) {
    const Busy busy(self->busy);
    if (!busy) return nullptr;
    std::vector<cl::Cluster> out;
    if (!run_released([&] { self->kernel->flush(out); })) return nullptr;
    return clusters_array(out);
}

template <auto Get>
constexpr getter stat = stream_stat<cl::Clusterer, Get>;

PyObject* settings_get(PyObject* self, void* which) {
    const cl::Settings& s = reinterpret_cast<ClustererObject*>(self)->settings;
    switch (reinterpret_cast<std::intptr_t>(which)) {
        case 0: return PyLong_FromUnsignedLongLong(s.window);
        case 1: return PyLong_FromUnsignedLongLong(s.jitter);
        case 2: return PyLong_FromLong(s.radius);
        case 3: return PyLong_FromUnsignedLong(s.width);
        default: return PyLong_FromUnsignedLong(s.height);
    }
}

// Reading counters while another thread pushes gives a value of before or after that push (each is one word).
PyGetSetDef clusterer_getset[] = {
    {"hits", stat<&cl::Clusterer::received>, nullptr, "Hits pushed so far.", nullptr},
    {"late", stat<&cl::Clusterer::late>, nullptr,
     "Hits that arrived later than the jitter allows: clustered as well as the state allowed, perhaps split from "
     "their cluster.",
     nullptr},
    {"emitted", stat<&cl::Clusterer::emitted>, nullptr, "Clusters handed out so far.", nullptr},
    {"pending", stat<&cl::Clusterer::pending>, nullptr, "Hits held back until later hits can no longer precede them.",
     nullptr},
    {"open", stat<&cl::Clusterer::open>, nullptr, "Clusters still open (union-find nodes in use).", nullptr},
    {"window_ticks", settings_get, nullptr, "The time window, ticks.", reinterpret_cast<void*>(0)},
    {"jitter_ticks", settings_get, nullptr, "The read-out jitter allowed, ticks.", reinterpret_cast<void*>(1)},
    {"radius", settings_get, nullptr, "Neighbour distance in x and in y, pixels.", reinterpret_cast<void*>(2)},
    {"width", settings_get, nullptr, "Matrix width, pixels.", reinterpret_cast<void*>(3)},
    {"height", settings_get, nullptr, "Matrix height, pixels.", reinterpret_cast<void*>(4)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#define VREX_QUALIFIER "vrexsdk.clusters.Clusterer"

PyMethodDef clusterer_methods[] = {
    VREX_METHOD("push", clusterer_push,
                "Clusters one block of hits, in the order the read-out delivered them.\n\n"
                "        Args:\n"
                "            hits (numpy.ndarray): Hit records (address, tot, toa), or an empty array.\n\n"
                "        Returns:\n"
                "            The clusters that completed, an array of CLUSTER_DTYPE: those whose last hit is more\n"
                "            than the window below what later hits can still reach; the others come with later\n"
                "            blocks or flush().\n        ",
                "hits"),
    VREX_METHOD("flush", clusterer_flush,
                "Ends the stream: clusters every hit held back and hands out every open cluster. The Clusterer\n"
                "        then starts a new stream.\n\n"
                "        Returns:\n"
                "            The remaining clusters, an array of CLUSTER_DTYPE.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

#undef VREX_QUALIFIER
#define VREX_QUALIFIER "vrexsdk.clusters"

PyType_Slot clusterer_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Clusterer(window_ns=None, window_ticks=None, jitter_ns=None, jitter_ticks=None, radius=None, "
                    "width=None, height=None)\n--\n\n"
                    "Clusters a stream of hit blocks into particles, keeping only a window of state between blocks.\n\n"
                    "    Hits that are at most `radius` pixels apart in x and in y and at most the window apart in\n"
                    "    ToA belong to one cluster, also across blocks and when the read-out delivers them out of\n"
                    "    order by up to the jitter. Times are given in ns (default window 300 ns, jitter 100 us) or\n"
                    "    in ToA ticks (TICK_NS each), not both.\n    ")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new<cl::Clusterer, "Clusterer">)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc<cl::Clusterer>)},
    {Py_tp_repr, reinterpret_cast<void*>(stream_repr<cl::Clusterer, "Clusterer">)},
    {Py_tp_methods, clusterer_methods},
    {Py_tp_getset, clusterer_getset},
    {0, nullptr}};

PyType_Spec clusterer_spec = {"vrexsdk.clusters.Clusterer", sizeof(ClustererObject), 0, Py_TPFLAGS_DEFAULT,
                              clusterer_slots};

// ---- _Labelled ------------------------------------------------------------------------------------------------

// A stream that also labels every hit and adds up a per-hit value per cluster (labelled_clusters.hpp): what the
// event writer keeps beside the events of a file. Private: its public face is the file.
using LabelledObject = StreamObject<cl::LabelledStream>;

PyTypeObject* labelled_type = nullptr;

// (clusters, sums float64, labels int64) of one push or flush.
PyObject* labelled_result(const cl::LabelledStream::Out& out) {
    const Ref found = Ref::steal(clusters_array(out.clusters));
    if (!found) return nullptr;
    npy_intp n = static_cast<npy_intp>(out.sums.size()), m = static_cast<npy_intp>(out.labels.size());
    const Ref sums = Ref::steal(PyArray_SimpleNew(1, &n, NPY_FLOAT64)),
              labels = Ref::steal(PyArray_SimpleNew(1, &m, NPY_INT64));
    if (!sums || !labels) return nullptr;
    if (n) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(sums.get())), out.sums.data(), n * sizeof(double));
    if (m)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(labels.get())), out.labels.data(),
                    m * sizeof(std::int64_t));
    return PyTuple_Pack(3, found.get(), sums.get(), labels.get());
}

PyObject* labelled_push(LabelledObject* self, PyObject* hits, Optional values) {
    const Busy busy(self->busy);
    if (!busy) return nullptr;
    Hits h;
    if (!hits_of(hits, h)) return nullptr;
    Ref v;
    const double* per_hit = nullptr;
    if (!is_none(values)) {
        v = Ref::steal(PyArray_FROMANY(values.value, NPY_FLOAT64, 1, 1, NPY_ARRAY_IN_ARRAY));
        if (!v) return nullptr;
        if (static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(v.get()))) != h.count) {
            PyErr_Format(PyExc_ValueError, "values must hold one number per hit (%zu), not %zd", h.count,
                         PyArray_SIZE(reinterpret_cast<PyArrayObject*>(v.get())));
            return nullptr;
        }
        per_hit = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(v.get())));
    }
    cl::LabelledStream::Out out;
    if (!run_released([&] { self->kernel->push(h.data, per_hit, h.count, out); })) return nullptr;
    return labelled_result(out);
}

PyObject* labelled_flush(LabelledObject* self) {
    const Busy busy(self->busy);
    if (!busy) return nullptr;
    cl::LabelledStream::Out out;
    if (!run_released([&] { self->kernel->flush(out); })) return nullptr;
    return labelled_result(out);
}

template <auto Get>
constexpr getter labelled_stat = stream_stat<cl::LabelledStream, Get>;

PyGetSetDef labelled_getset[] = {
    {"hits", labelled_stat<&cl::LabelledStream::received>, nullptr, "Hits pushed so far.", nullptr},
    {"late", labelled_stat<&cl::LabelledStream::late>, nullptr, "Hits later than the jitter allows.", nullptr},
    {"outside", labelled_stat<&cl::LabelledStream::outside>, nullptr, "Hits outside the matrix (label -1).",
     nullptr},
    {"emitted", labelled_stat<&cl::LabelledStream::emitted>, nullptr, "Clusters handed out so far.", nullptr},
    {"unlabelled", labelled_stat<&cl::LabelledStream::unlabelled>, nullptr, "Hits whose label is still to come.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

#undef VREX_QUALIFIER
#define VREX_QUALIFIER "vrexsdk.clusters._Labelled"

PyMethodDef labelled_methods[] = {
    VREX_METHOD("push", labelled_push,
                "Clusters one block of hits (hit records in read-out order; addresses outside the matrix are in\n"
                "        no cluster) with one value per hit to add up per cluster (None: NaN).\n\n"
                "        Returns:\n"
                "            (clusters, sums, labels): the clusters that completed, the sum of the values per\n"
                "            cluster, and the labels of the next hits in arrival order, as far as they are known\n"
                "            (the index of the hit's cluster among all emitted, -1 outside the matrix).\n        ",
                "hits", "values"),
    VREX_METHOD("flush", labelled_flush,
                "Ends the stream: (clusters, sums, labels) of everything held; cluster numbers go on.\n        "),
    VREX_PICKLING_METHODS,
    VREX_METHODS_END};

PyType_Slot labelled_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "_Labelled(window_ns=None, window_ticks=None, jitter_ns=None, jitter_ticks=None, radius=None, "
                    "width=None, height=None)\n--\n\n"
                    "A Clusterer that also labels every hit and sums a per-hit value per cluster.")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new<cl::LabelledStream, "_Labelled">)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc<cl::LabelledStream>)},
    {Py_tp_methods, labelled_methods},
    {Py_tp_getset, labelled_getset},
    {0, nullptr}};

PyType_Spec labelled_spec = {VREX_QUALIFIER, sizeof(LabelledObject), 0, Py_TPFLAGS_DEFAULT, labelled_slots};

#undef VREX_QUALIFIER
#define VREX_QUALIFIER "vrexsdk.clusters"

PyMethodDef functions[] = {
    VREX_METHOD("cluster", cluster,
                "Clusters hits into particles.\n\n"
                "    Hits that are at most `radius` pixels apart in x and in y and at most the window apart in ToA\n"
                "    belong to one cluster (chains of such hits too). The hits may come in any order.\n\n"
                "    Args:\n"
                "        hits (numpy.ndarray): Hit records (address = y * width + x, tot, toa), or an empty array.\n"
                "        window_ns (float): Time window in ns (default 300); or window_ticks (int) in ToA ticks.\n"
                "        radius (int): Neighbour distance in pixels (default 1: the 8 neighbours).\n"
                "        width, height (int): Matrix size (default 256 x 256).\n"
                "        labels (bool): Also return the cluster index of every hit.\n\n"
                "    Returns:\n"
                "        An array of CLUSTER_DTYPE, in the order clusters complete; with labels, the tuple\n"
                "        (clusters, labels), labels an int64 array with one index into clusters per hit.\n    ",
                "hits", "window_ns", "window_ticks", "radius", "width", "height", "labels"),
    VREX_METHODS_END};

int exec_clusters(PyObject* module) {
    if (!vrex::first_initialisation("clusters")) return -1;
    if (PyArray_ImportNumPyAPI() < 0 || !vrex::init_arrays()) return -1;
    if (!vrex::import_gate()) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    if ((cluster_descr = make_cluster_descr()) == nullptr) return -1;
    clusterer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&clusterer_spec));
    if (clusterer_type == nullptr || PyModule_AddObjectRef(module, "Clusterer", reinterpret_cast<PyObject*>(clusterer_type)) < 0)
        return -1;
    labelled_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&labelled_spec));
    if (labelled_type == nullptr ||
        PyModule_AddObjectRef(module, "_Labelled", reinterpret_cast<PyObject*>(labelled_type)) < 0)
        return -1;
    PyArray_Descr* const hit = vrex::array_types().descr[static_cast<int>(vrex::Element::ToaTot)];
    return PyModule_AddObjectRef(module, "CLUSTER_DTYPE", reinterpret_cast<PyObject*>(cluster_descr)) < 0 ||
                   PyModule_AddObjectRef(module, "HIT_DTYPE", reinterpret_cast<PyObject*>(hit)) < 0 ||
                   PyModule_AddObject(module, "TICK_NS", PyFloat_FromDouble(tick_ns)) < 0 ||
                   PyModule_AddObject(module, "DEFAULT_WINDOW_NS", PyFloat_FromDouble(default_window_ns)) < 0 ||
                   PyModule_AddObject(module, "DEFAULT_JITTER_NS", PyFloat_FromDouble(default_jitter_ns)) < 0
               ? -1
               : 0;
}

}  // namespace

VREX_MODULE(clusters, "Hits to particles: clusters of neighbouring hits close in time, built natively.",
            exec_clusters)
