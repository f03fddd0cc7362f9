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

#include "scene/types.h"

namespace norvi::py_bind {

namespace py = pybind11;

// Any object NumPy can turn into an array, cast to the dtype; the copy is
// C-contiguous, so strided views read correctly everywhere.
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

using ProgressFn = std::function<void(int, int, float)>;

// std::domain_error (ValueError) "array has incorrect number of dimensions: N; expected D".
void require_ndim(const py::array& a, int expected);

// 2-D (N, 3) arrays to packed triples; `what` names the argument in messages.
std::vector<float3> to_float3_rows(const FloatArray& a, const char* what);
std::vector<int3> to_int3_rows(const IntArray& a, const char* what);

// 1-D array to a vector of all its values.
std::vector<float> to_vector_1d(const FloatArray& a);

// The first n values of a 1-D array; at least n must be present.
std::vector<float> first_values_1d(const FloatArray& a, std::size_t n, const char* what);

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

// None gives an empty function; any other object is called with
// (int, int, float) under the interpreter lock. Exceptions it raises propagate.
ProgressFn wrap_progress(const py::object& progress);

}  // namespace norvi::py_bind
