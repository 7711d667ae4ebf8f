// vrexsdk._calibration: the energy-calibration kernels (kernels/calibration.hpp) over NumPy arrays, with the GIL
// released while they run. vrexsdk.calibration is its user-facing side; it converts whatever the user hands in
// to the few layouts accepted here, so this module checks layouts and refuses everything else with TypeError.
#include "support/module.hpp"

#include "kernels/calibration.hpp"

#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>

namespace {

using vrex::Ref;
using vrex::kernels::InversePixel;
using vrex::kernels::Strided;
using vrex::kernels::WalkPixel;

constexpr npy_intp pixels = static_cast<npy_intp>(vrex::kernels::calibration_pixels);

PyArrayObject* as_array(PyObject* o, const char* what) {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy.ndarray, not %.200s", what, Py_TYPE(o)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<PyArrayObject*>(o);
}

bool has_type(PyArrayObject* a, int type) {
    return PyArray_DESCR(a)->type_num == type && PyArray_ISNOTSWAPPED(a);
}

// A C-contiguous float32 array of exactly `count` elements (a 256 x 256 map or a folded table).
const float* float_block(PyObject* o, const char* what, npy_intp count) {
    PyArrayObject* const a = as_array(o, what);
    if (a == nullptr) return nullptr;
    if (!has_type(a, NPY_FLOAT32) || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) {
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous float32 array", what);
        return nullptr;
    }
    if (PyArray_SIZE(a) != count) {
        PyErr_Format(PyExc_ValueError, "%s must hold %zd values, not %zd", what, static_cast<Py_ssize_t>(count),
                     static_cast<Py_ssize_t>(PyArray_SIZE(a)));
        return nullptr;
    }
    return static_cast<const float*>(PyArray_DATA(a));
}

const InversePixel* inverse_table(PyObject* o) {
    return reinterpret_cast<const InversePixel*>(float_block(o, "table", pixels * 4));
}

// A 1-D array of one of the element types the kernels read, in place (any stride: a field of a record array).
struct Column {
    PyArrayObject* array = nullptr;
    int type = NPY_NOTYPE;
    npy_intp length = 0;

    template <class T>
    Strided<T> as() const noexcept {
        return {static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0)};
    }
};

bool column(PyObject* o, const char* what, std::initializer_list<int> types, const char* names, Column& out) {
    PyArrayObject* const a = as_array(o, what);
    if (a == nullptr) return false;
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional, not of %d dimensions", what, PyArray_NDIM(a));
        return false;
    }
    for (const int t : types)
        if (has_type(a, t)) {
            out = {a, t, PyArray_DIM(a, 0)};
            return true;
        }
    PyErr_Format(PyExc_TypeError, "%s must be an array of %s, not %.200s", what, names,
                 PyArray_DESCR(a)->typeobj->tp_name);
    return false;
}

bool same_length(const Column& a, const Column& b) {
    if (a.length == b.length) return true;
    PyErr_Format(PyExc_ValueError, "addresses and values differ in length (%zd and %zd)",
                 static_cast<Py_ssize_t>(a.length), static_cast<Py_ssize_t>(b.length));
    return false;
}

bool address_and_tot(PyObject* addresses, PyObject* tot, Column& address, Column& value) {
    return column(addresses, "addresses", {NPY_UINT32}, "uint32", address) &&
           column(tot, "tot", {NPY_UINT16, NPY_UINT32}, "uint16 or uint32", value) && same_length(address, value);
}

// Calls `work(strided tot)` with the ToT column read as its own type.
template <class Work>
void with_tot(const Column& tot, Work&& work) {
    if (tot.type == NPY_UINT16)
        work(tot.as<std::uint16_t>());
    else
        work(tot.as<std::uint32_t>());
}

PyObject* new_vector(npy_intp length, int type) {
    return PyArray_SimpleNew(1, &length, type);
}

// ---- functions ------------------------------------------------------------------------------------------------------

PyObject* fold(PyObject*, PyObject* a, PyObject* b, PyObject* c, PyObject* t) {
    const float* maps[4] = {};
    PyObject* const given[4] = {a, b, c, t};
    const char* const names[4] = {"a", "b", "c", "t"};
    for (int i = 0; i < 4; ++i)
        if ((maps[i] = float_block(given[i], names[i], pixels)) == nullptr) return nullptr;
    npy_intp shape[2] = {pixels, 4};
    Ref table = Ref::steal(PyArray_SimpleNew(2, shape, NPY_FLOAT32));
    if (!table) return nullptr;
    auto* const out = static_cast<InversePixel*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(table.get())));
    vrex::nogil(
        [&] { vrex::kernels::fold_table(maps[0], maps[1], maps[2], maps[3], out, vrex::kernels::calibration_pixels); });
    return table.release();
}

PyObject* energies(PyObject*, PyObject* table, PyObject* addresses, PyObject* tot) {
    const InversePixel* const pixels_table = inverse_table(table);
    Column address, value;
    if (pixels_table == nullptr || !address_and_tot(addresses, tot, address, value)) return nullptr;
    Ref result = Ref::steal(new_vector(address.length, NPY_FLOAT32));
    if (!result) return nullptr;
    auto* const out = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    const auto n = static_cast<std::size_t>(address.length);
    vrex::nogil([&] {
        with_tot(value, [&](auto t) { vrex::kernels::hit_energies(pixels_table, address.as<std::uint32_t>(), t, out, n); });
    });
    return result.release();
}

PyObject* add_spectrum(PyObject*, PyObject* table, PyObject* addresses, PyObject* tot, PyObject* counts,
                       PyObject* low, PyObject* high) {
    const InversePixel* const pixels_table = inverse_table(table);
    Column address, value;
    if (pixels_table == nullptr || !address_and_tot(addresses, tot, address, value)) return nullptr;
    PyArrayObject* const bins = as_array(counts, "counts");
    if (bins == nullptr) return nullptr;
    if (!has_type(bins, NPY_UINT64) || PyArray_NDIM(bins) != 1 || !PyArray_IS_C_CONTIGUOUS(bins) ||
        !PyArray_ISWRITEABLE(bins) || !PyArray_ISALIGNED(bins) || PyArray_DIM(bins, 0) == 0) {
        PyErr_SetString(PyExc_TypeError, "counts must be a writeable, non-empty, contiguous 1-D uint64 array");
        return nullptr;
    }
    const double lo = PyFloat_AsDouble(low);
    if (lo == -1.0 && PyErr_Occurred()) return nullptr;
    const double hi = PyFloat_AsDouble(high);
    if (hi == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(std::isfinite(lo) && std::isfinite(hi) && lo < hi)) {
        PyErr_Format(PyExc_ValueError, "the energy range must be finite and increasing, not [%R, %R)", low, high);
        return nullptr;
    }
    auto* const out = static_cast<std::uint64_t*>(PyArray_DATA(bins));
    const auto nbins = static_cast<std::size_t>(PyArray_DIM(bins, 0));
    const auto n = static_cast<std::size_t>(address.length);
    vrex::kernels::SpectrumTally tally;
    vrex::nogil([&] {
        with_tot(value, [&](auto t) {
            tally = vrex::kernels::add_to_spectrum(pixels_table, address.as<std::uint32_t>(), t, n, out, nbins, lo, hi);
        });
    });
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(tally.underflow),
                         static_cast<unsigned long long>(tally.overflow),
                         static_cast<unsigned long long>(tally.uncalibrated));
}

PyObject* correct_time_walk(PyObject*, PyObject* walk, PyObject* addresses, PyObject* toa, PyObject* energy,
                            PyObject* tick_ns) {
    static_assert(sizeof(WalkPixel) == 3 * sizeof(float));
    const auto* const walk_table = reinterpret_cast<const WalkPixel*>(float_block(walk, "walk", pixels * 3));
    Column address, arrival, energies_in;
    if (walk_table == nullptr || !column(addresses, "addresses", {NPY_UINT32}, "uint32", address) ||
        !column(toa, "toa", {NPY_UINT64}, "uint64", arrival) || !same_length(address, arrival) ||
        !column(energy, "energies", {NPY_FLOAT32}, "float32", energies_in) || !same_length(address, energies_in))
        return nullptr;
    if (PyArray_STRIDE(energies_in.array, 0) != sizeof(float) || !PyArray_ISALIGNED(energies_in.array)) {
        PyErr_SetString(PyExc_TypeError, "energies must be a contiguous float32 array");
        return nullptr;
    }
    const double tick = PyFloat_AsDouble(tick_ns);
    if (tick == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(std::isfinite(tick) && tick > 0.0)) {
        PyErr_Format(PyExc_ValueError, "the tick length must be a positive number of nanoseconds, not %R", tick_ns);
        return nullptr;
    }
    Ref result = Ref::steal(new_vector(address.length, NPY_FLOAT64));
    if (!result) return nullptr;
    auto* const out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
    const auto* const e = static_cast<const float*>(PyArray_DATA(energies_in.array));
    const auto n = static_cast<std::size_t>(address.length);
    vrex::nogil([&] {
        vrex::kernels::correct_time_walk(walk_table, address.as<std::uint32_t>(), arrival.as<std::uint64_t>(), e,
                                         tick, out, n);
    });
    return result.release();
}

#define VREX_QUALIFIER "vrexsdk._calibration"

PyMethodDef functions[] = {
    VREX_METHOD("_fold", fold,
                "_fold(a, b, c, t)\n--\n\nThe inversion table (65536 x 4 float32) of four 65536-value float32 "
                "parameter maps.",
                "a", "b", "c", "t"),
    VREX_METHOD("_energies", energies,
                "_energies(table, addresses, tot)\n--\n\nEnergies (keV, float32) of hits given as a uint32 address "
                "array and a uint16 or uint32 ToT array; NaN for a pixel without calibration or outside the chip.",
                "table", "addresses", "tot"),
    VREX_METHOD("_add_spectrum", add_spectrum,
                "_add_spectrum(table, addresses, tot, counts, low, high)\n--\n\nAdds the hits' energies to the "
                "uint64 histogram `counts` of equal bins over [low, high); returns (underflow, overflow, "
                "uncalibrated).",
                "table", "addresses", "tot", "counts", "low", "high"),
    VREX_METHOD("_correct_time_walk", correct_time_walk,
                "_correct_time_walk(walk, addresses, toa, energies, tick_ns)\n--\n\nArrival times in ns (float64) "
                "corrected for time-walk: toa * tick_ns - (d + w / (E - e0)) with the pixel's (w, e0, d) from the "
                "65536 x 3 float32 table `walk`.",
                "walk", "addresses", "toa", "energies", "tick_ns"),
    VREX_METHODS_END};

int exec_calibration(PyObject* module) {
    if (!vrex::first_initialisation("_calibration")) return -1;
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    // The kernels release the GIL like any binding method, so they take part in the package's exit gate too.
    return vrex::import_gate() ? 0 : -1;
}

}  // namespace

VREX_MODULE(_calibration, "Energy-calibration kernels over arrays (vrexsdk.calibration is the module to use).",
            exec_calibration)
