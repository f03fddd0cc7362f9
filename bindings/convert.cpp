#include "bindings/convert.h"

#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace norvi::py_bind {

void require_ndim(const py::array& a, int expected) {
    if (a.ndim() != expected) {
        throw std::domain_error("array has incorrect number of dimensions: " +
                                std::to_string(a.ndim()) + "; expected " +
                                std::to_string(expected));
    }
}

namespace {

// `object` as an integer in [low, high], `bits` naming the range in the error.
long long integer_argument(py::handle object, const char* function, const char* name, long long low,
                           long long high, const char* bits) {
    const std::string what = std::string(function) + ": " + name;
    PyObject* index = PyBool_Check(object.ptr()) ? nullptr : PyNumber_Index(object.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(what + " must be an integer; got " + py::str(object).cast<std::string>() + " (" +
                             Py_TYPE(object.ptr())->tp_name + ")");
    }
    const auto value = py::reinterpret_steal<py::int_>(index);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || v < low || v > high)
        throw py::value_error(what + " must fit in a " + bits + " integer (" + std::to_string(low) + " to " +
                              std::to_string(high) + "); got " + py::str(value).cast<std::string>());
    return v;
}

}  // namespace

int int32_argument(py::handle object, const char* function, const char* name) {
    return static_cast<int>(integer_argument(object, function, name, INT32_MIN, INT32_MAX, "32-bit"));
}

long long int64_argument(py::handle object, const char* function, const char* name) {
    return integer_argument(object, function, name, INT64_MIN, INT64_MAX, "64-bit");
}

namespace {

template <typename Array>
void require_rows_of_three(const Array& a, const char* what) {
    require_ndim(a, 2);
    if (a.shape(1) != 3) {
        std::ostringstream os;
        os << what << " must have shape (N, 3); got (" << a.shape(0) << ", " << a.shape(1) << ")";
        throw std::invalid_argument(os.str());
    }
}

}  // namespace

std::vector<float3> to_float3_rows(const FloatArray& a, const char* what) {
    require_rows_of_three(a, what);
    std::vector<float3> out(static_cast<std::size_t>(a.shape(0)));
    if (!out.empty()) std::memcpy(out.data(), a.data(), out.size() * sizeof(float3));
    return out;
}

std::string first_changed_value(py::handle src, const py::array& cast) {
    py::module_ np = py::module_::import("numpy");
    py::object original = np.attr("asarray")(src);
    const std::string kind = py::str(original.attr("dtype").attr("kind"));
    if (kind.find_first_of("biuf") != 0)
        return "values of dtype " + py::str(original.attr("dtype")).cast<std::string>();
    py::object same = np.attr("equal")(original, cast);
    if (py::bool_(np.attr("all")(same))) return {};
    py::object first = np.attr("argmin")(same);  // the first False
    return py::str(original.attr("flat")[first]).cast<std::string>();
}

void require_exact(const IntArrayArg& a, const char* what) {
    if (!a.lossy.empty())
        throw std::invalid_argument(std::string(what) + " must hold 32-bit integers; got " + a.lossy);
}

std::vector<int3> to_int3_rows(const IntArrayArg& arg, const char* what) {
    const IntArray& a = arg.values;
    require_rows_of_three(a, what);
    require_exact(arg, what);
    std::vector<int3> out(static_cast<std::size_t>(a.shape(0)));
    if (!out.empty()) std::memcpy(out.data(), a.data(), out.size() * sizeof(int3));
    return out;
}

std::vector<float> to_vector_1d(const FloatArray& a) {
    require_ndim(a, 1);
    return std::vector<float>(a.data(), a.data() + a.shape(0));
}

std::vector<float> first_values_1d(const FloatArray& a, std::size_t n, const char* what) {
    require_ndim(a, 1);
    if (static_cast<std::size_t>(a.shape(0)) < n) {
        std::ostringstream os;
        os << what << " must hold at least " << n << " values; got " << a.shape(0);
        throw std::invalid_argument(os.str());
    }
    return std::vector<float>(a.data(), a.data() + n);
}

std::vector<float> list_to_floats(const py::list& values, const char* what) {
    std::vector<float> out;
    out.reserve(values.size());
    std::size_t i = 0;
    for (const py::handle item : values) {
        // Numbers only: float() would also parse strings.
        if (!PyNumber_Check(item.ptr()) || py::isinstance<py::str>(item)) {
            throw py::type_error(std::string(what) + "[" + std::to_string(i) +
                                 "] must be a number; got " +
                                 py::repr(item).cast<std::string>());
        }
        out.push_back(static_cast<float>(py::float_(py::reinterpret_borrow<py::object>(item))));
        ++i;
    }
    return out;
}

FloatArray energy_balance_albedos(const py::object& sw_albedos, const char* not_1d) {
    if (sw_albedos.is_none()) return FloatArray();
    const py::array a = py::module_::import("numpy").attr("asarray")(sw_albedos, "float32");
    if (a.ndim() != 1) throw std::runtime_error(not_1d);
    return FloatArray::ensure(a);
}

const float* energy_balance_band_values(const FloatArray& a, int n_bands, const char* message) {
    if (a.size() == 0) return nullptr;
    if (a.ndim() != 1 || a.shape(0) != n_bands) throw std::runtime_error(message);
    return a.data();
}

EnergyBalanceArgs energy_balance_args(int band_type, int n_samples, float sun_irradiance,
                                      float sky_diffuse_radiance, float sky_lw_radiance, float sun_dir_x,
                                      float sun_dir_y, float sun_dir_z, bool two_sided, const py::object& sw_albedos) {
    EnergyBalanceArgs a;
    a.albedos = energy_balance_albedos(sw_albedos, "sw_albedos must be 1D");
    EnergyBalanceParams& p = a.p;
    p.band_type = band_type;
    p.n_samples = n_samples;
    p.sun_irradiance = sun_irradiance;
    p.sky_diffuse_radiance = sky_diffuse_radiance;
    p.sky_lw_radiance = sky_lw_radiance;
    p.sun_dir_x = sun_dir_x;
    p.sun_dir_y = sun_dir_y;
    p.sun_dir_z = sun_dir_z;
    p.two_sided = two_sided;
    if (!sw_albedos.is_none()) {
        p.sw_albedos = a.albedos.data();
        p.n_sw_albedos = static_cast<int32_t>(a.albedos.shape(0));
    }
    return a;
}

EnergyBalanceMultibandArgs energy_balance_multiband_args(int n_bands, int n_samples, const FloatArray& sun_irradiance,
                                                         const FloatArray& sky_diffuse_radiance, float sun_dir_x,
                                                         float sun_dir_y, float sun_dir_z, bool two_sided,
                                                         const py::object& sw_albedos) {
    EnergyBalanceMultibandArgs a;
    EnergyBalanceMultibandParams& p = a.p;
    p.sun_irradiance =
        energy_balance_band_values(sun_irradiance, n_bands, "sun_irradiance must be 1D with length n_bands");
    p.sky_diffuse_radiance = energy_balance_band_values(sky_diffuse_radiance, n_bands,
                                                        "sky_diffuse_radiance must be 1D with length n_bands");
    a.albedos = energy_balance_albedos(sw_albedos, "sw_albedos must be 1D (flattened [n_bands * n_prims])");
    p.n_bands = n_bands;
    p.n_samples = n_samples;
    p.sun_dir_x = sun_dir_x;
    p.sun_dir_y = sun_dir_y;
    p.sun_dir_z = sun_dir_z;
    p.two_sided = two_sided;
    if (!sw_albedos.is_none()) {
        p.sw_albedos = a.albedos.data();
        p.n_sw_albedos = static_cast<int32_t>(a.albedos.shape(0));
    }
    return a;
}

py::array_t<float> make_array(const float* values, std::vector<py::ssize_t> shape) {
    py::array_t<float> out(shape);
    if (out.size() > 0) std::memcpy(out.mutable_data(), values, out.size() * sizeof(float));
    return out;
}

py::array_t<float> make_array(const std::vector<float>& values, std::vector<py::ssize_t> shape) {
    py::ssize_t n = 1;
    for (py::ssize_t s : shape) n *= s;
    if (static_cast<std::size_t>(n) > values.size())
        throw std::logic_error("result array larger than the native result");
    return make_array(values.data(), std::move(shape));
}

py::array_t<int32_t> make_int_array(const int32_t* values, std::vector<py::ssize_t> shape) {
    py::array_t<int32_t> out(shape);
    if (out.size() > 0) std::memcpy(out.mutable_data(), values, out.size() * sizeof(int32_t));
    return out;
}

ProgressFn wrap_progress(const py::object& progress) {
    if (progress.is_none()) {
        return [](int, int, float) {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        };
    }
    // The callable is shared by copies of the function; its reference count
    // may only be touched under the interpreter lock.
    auto holder = std::shared_ptr<py::object>(new py::object(progress), [](py::object* p) {
        py::gil_scoped_acquire gil;
        delete p;
    });
    return [holder](int done, int total, float elapsed_ms) {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        (*holder)(done, total, elapsed_ms);
    };
}

}  // namespace norvi::py_bind
