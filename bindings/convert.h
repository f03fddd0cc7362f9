#pragma once
// Argument conversion at the module boundary: NumPy arrays in, native vectors
// out, dimension checks with the module's fixed messages, result arrays that
// own their memory, and the progress-callback wrapper.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bindings/int_args.h"
#include "scene/energy_balance_params.h"
#include "scene/types.h"

namespace norvi::py_bind {

namespace py = pybind11;

// Any object NumPy can turn into an array, cast to the dtype; the copy is
// C-contiguous, so strided views read correctly everywhere. A conversion
// that runs out of memory raises MemoryError (see the casters below), not
// the TypeError of an argument of the wrong type.
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

// An int32 array argument that remembers whether the cast changed a value:
// `lossy` holds the first value of the argument that is not a 32-bit integer
// (a fraction, NaN, or out of range), empty when the cast was exact.
struct IntArrayArg {
    IntArray values;
    std::string lossy;
};

// Converts src as NumPy would with forced casting to the array's dtype.
// False when it cannot be converted; a MemoryError is raised instead.
template <class Array>
bool load_array(py::handle src, bool convert, Array& value) {
    if (!convert && !Array::check_(src)) return false;
    namespace pd = py::detail;
    PyObject* raw = pd::npy_api::get().PyArray_FromAny_(
        src.ptr(), py::dtype::of<typename Array::value_type>().release().ptr(), 0, 0,
        pd::npy_api::NPY_ARRAY_ENSUREARRAY_ | py::array::c_style | py::array::forcecast, nullptr);
    if (raw == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
        PyErr_Clear();
        return false;
    }
    value = py::reinterpret_steal<Array>(raw);
    return true;
}

// The first value of `src` that `cast` does not hold exactly, as text; empty
// when the cast kept every value.
std::string first_changed_value(py::handle src, const py::array& cast);

using ProgressFn = std::function<void(int, int, float)>;

// std::domain_error (ValueError) "array has incorrect number of dimensions: N; expected D".
void require_ndim(const py::array& a, int expected);

// 2-D (N, 3) arrays to packed triples; `what` names the argument in messages.
std::vector<float3> to_float3_rows(const FloatArray& a, const char* what);
// Refuses (ValueError naming `what`) an array whose values are not all
// 32-bit integers.
void require_exact(const IntArrayArg& a, const char* what);
std::vector<int3> to_int3_rows(const IntArrayArg& a, const char* what);

// 1-D array to a vector of all its values.
std::vector<float> to_vector_1d(const FloatArray& a);

// The first n values of a 1-D array; at least n must be present.
std::vector<float> first_values_1d(const FloatArray& a, std::size_t n, const char* what);

// The sensor record of set_sensor's arguments (fov in degrees), refused with
// ValueError unless every value that places a camera ray is in range; shared
// by the CPU and GPU scene bindings.
SensorData make_sensor_record(int type, int width, int height, float ortho_w, float ortho_h,
                              const FloatArray& cam_xform, float fov, int projection_type);

// A Python list of numbers to single-precision floats; anything else in the
// list raises TypeError naming `what` and the position.
std::vector<float> list_to_floats(const py::list& values, const char* what);

// The optional sw_albedos of the energy-balance runs: None gives an empty
// array (absent); anything else is turned into float32 by NumPy (its own
// exception propagates) and must have one dimension, else RuntimeError
// `not_1d`. The caller keeps the array alive while its data is used.
FloatArray energy_balance_albedos(const py::object& sw_albedos, const char* not_1d);

// A per-band array of the multiband energy balance: null when it has no
// element; otherwise it must hold exactly n_bands values in one dimension,
// else RuntimeError `message`.
const float* energy_balance_band_values(const FloatArray& a, int n_bands, const char* message);

// The energy-balance records of both back ends, filled from the Python
// arguments, with the albedo array the record points into: keep the struct
// alive while the record is used. The per-band arrays of the multiband run
// are the caller's and must outlive it too.
struct EnergyBalanceArgs {
    FloatArray albedos;
    EnergyBalanceParams p;
};
EnergyBalanceArgs energy_balance_args(int band_type, int n_samples, float sun_irradiance,
                                      float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x,
                                      float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos);
struct EnergyBalanceMultibandArgs {
    FloatArray albedos;
    EnergyBalanceMultibandParams p;
};
EnergyBalanceMultibandArgs energy_balance_multiband_args(int n_bands, int n_samples, const FloatArray& sun_irradiance,
                                                         const FloatArray& sky_diffuse_radiance, float sun_dir_x,
                                                         float sun_dir_y, float sun_dir_z, bool two_sided,
                                                         const py::object& sw_albedos);

// New float32 / int32 arrays owning a copy of the values.
py::array_t<float> make_array(const std::vector<float>& values, std::vector<py::ssize_t> shape);
py::array_t<float> make_array(const float* values, std::vector<py::ssize_t> shape);
py::array_t<int32_t> make_int_array(const int32_t* values, std::vector<py::ssize_t> shape);

// Runs f() with the interpreter lock released when `release` is set (the
// functions of norvi._parts, whose engine calls touch no Python object), held
// otherwise (the norvi_gpu functions hold it for the whole call).
template <typename F>
auto call_engine(bool release, F&& f) {
    if (release) {
        py::gil_scoped_release unlocked;
        return f();
    }
    return f();
}

// None gives a function that only checks for signals; any other object is
// called with (int, int, float) under the interpreter lock, exceptions it
// raises propagating. Every call first checks for a signal (Ctrl-C): the
// engines call progress between passes and batches, so a pending
// KeyboardInterrupt stops a long run there.
ProgressFn wrap_progress(const py::object& progress);

}  // namespace norvi::py_bind

namespace pybind11::detail {

template <>
struct pyobject_caster<norvi::py_bind::FloatArray> {
    using type = norvi::py_bind::FloatArray;
    bool load(handle src, bool convert) { return norvi::py_bind::load_array(src, convert, value); }
    static handle cast(const handle& src, return_value_policy, handle) { return src.inc_ref(); }
    PYBIND11_TYPE_CASTER(type, handle_type_name<type>::name);
};

template <>
struct pyobject_caster<norvi::py_bind::IntArray> {
    using type = norvi::py_bind::IntArray;
    bool load(handle src, bool convert) { return norvi::py_bind::load_array(src, convert, value); }
    static handle cast(const handle& src, return_value_policy, handle) { return src.inc_ref(); }
    PYBIND11_TYPE_CASTER(type, handle_type_name<type>::name);
};

template <>
struct type_caster<norvi::py_bind::IntArrayArg> {
    bool load(handle src, bool convert) {
        if (!norvi::py_bind::load_array(src, convert, value.values)) return false;
        if (src.ptr() != value.values.ptr()) value.lossy = norvi::py_bind::first_changed_value(src, value.values);
        return true;
    }
    PYBIND11_TYPE_CASTER(norvi::py_bind::IntArrayArg, handle_type_name<norvi::py_bind::IntArray>::name);
};

}  // namespace pybind11::detail
