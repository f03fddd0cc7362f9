// simulate_lidar_cpu: LiDAR waveforms and point clouds from the CPU scene.
// The module of parts (norvi._parts) gets the same function with first_pulse,
// the run-wide index of the first pulse given, so a run split into slices of
// pulses reports the pulse indices of the whole run; it traces with the
// interpreter lock released.

#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/lidar_simulator.h"
#include "cpu/lidar_waveform.h"
#include "scene/input_checks.h"

namespace norvi::py_bind {

namespace {

// A 1-D pulse array holding at least 3 values per pulse.
void require_pulse_values(const FloatArray& a, int num_pulses, const char* what) {
    require_ndim(a, 1);
    const int64_t needed = 3 * static_cast<int64_t>(num_pulses);
    if (num_pulses > 0 && static_cast<int64_t>(a.shape(0)) < needed) {
        std::ostringstream os;
        os << what << " must hold 3 x num_pulses = " << needed << " values (x, y, z per pulse); got "
           << a.shape(0);
        throw std::invalid_argument(os.str());
    }
}

py::dict lidar_cpu(const embree::EmbreeSceneManager& scene, const FloatArray& pulse_origins,
                   const FloatArray& pulse_directions, int num_pulses, float beam_half_angle_rad,
                   int beam_samples_per_dim, float pulse_energy, float sensor_area,
                   float range_resolution, float min_range, float max_range, int num_wavelengths,
                   float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
                   bool direct_mode, int first_pulse, bool release_gil) {
    require_pulse_values(pulse_origins, num_pulses, "pulse_origins");
    require_pulse_values(pulse_directions, num_pulses, "pulse_directions");
    const float* origins = pulse_origins.data();
    const float* directions = pulse_directions.data();
    const ProgressFn check_signals = wrap_progress(py::none());
    const embree::LidarResult r = call_engine(release_gil, [&] {
        return embree::simulate_lidar(scene, origins, directions, num_pulses, beam_half_angle_rad,
                                      beam_samples_per_dim, pulse_energy, sensor_area,
                                      range_resolution, min_range, max_range, num_wavelengths,
                                      pulse_fwhm_ns, peak_threshold, max_returns_per_pulse,
                                      direct_mode, 0, check_signals, first_pulse);
    });

    py::dict d;
    if (r.waveform.empty()) {
        // Direct mode traces no waveform: zeros of the waveform's
        // shape. numpy.zeros costs no memory until written; when the
        // array could not fit in memory at all, a read-only view of
        // one zero stands in for it, with the same shape.
        py::module_ np = py::module_::import("numpy");
        const py::tuple shape = py::make_tuple(num_pulses, r.num_bins, num_wavelengths);
        const double bytes = 4.0 * num_pulses * double(r.num_bins) * num_wavelengths;
        d["waveform"] = bytes <= machine_memory_bytes()
                            ? np.attr("zeros")(shape, "float32")
                            : np.attr("broadcast_to")(np.attr("float32")(0), shape);
    } else {
        d["waveform"] = make_array(r.waveform, {num_pulses, r.num_bins, num_wavelengths});
    }
    d["points"] = make_array(r.points, {r.num_returns, kLidarPointFloats});
    d["num_bins"] = r.num_bins;
    d["num_returns"] = r.num_returns;
    return d;
}

}  // namespace

#define NORVI_LIDAR_ARGS                                                                      \
    py::arg("scene"), py::arg("pulse_origins"), py::arg("pulse_directions"),                  \
        py::arg("num_pulses").noconvert(), py::arg("beam_half_angle_rad") = 0.0005f,          \
        py::arg("beam_samples_per_dim").noconvert() = 10, py::arg("pulse_energy") = 1.0f,     \
        py::arg("sensor_area") = 0.1f, py::arg("range_resolution") = 0.15f,                   \
        py::arg("min_range") = 0.0f, py::arg("max_range") = 100.0f,                           \
        py::arg("num_wavelengths").noconvert() = 1, py::arg("pulse_fwhm_ns") = 4.0f,          \
        py::arg("peak_threshold") = 1e-8f, py::arg("max_returns_per_pulse").noconvert() = 5,  \
        py::arg("direct_mode") = false

void register_simulate_lidar_cpu(py::module_& m) {
    def(m, "simulate_lidar_cpu",
        [](const embree::EmbreeSceneManager& scene, const FloatArray& pulse_origins,
           const FloatArray& pulse_directions, int num_pulses, float beam_half_angle_rad,
           int beam_samples_per_dim, float pulse_energy, float sensor_area,
           float range_resolution, float min_range, float max_range, int num_wavelengths,
           float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
           bool direct_mode) {
            return lidar_cpu(scene, pulse_origins, pulse_directions, num_pulses,
                             beam_half_angle_rad, beam_samples_per_dim, pulse_energy, sensor_area,
                             range_resolution, min_range, max_range, num_wavelengths,
                             pulse_fwhm_ns, peak_threshold, max_returns_per_pulse, direct_mode, 0,
                             false);
        },
        NORVI_LIDAR_ARGS);
}

void register_simulate_lidar_cpu_part(py::module_& m) {
    def(m, "simulate_lidar_cpu",
        [](const embree::EmbreeSceneManager& scene, const FloatArray& pulse_origins,
           const FloatArray& pulse_directions, int num_pulses, float beam_half_angle_rad,
           int beam_samples_per_dim, float pulse_energy, float sensor_area,
           float range_resolution, float min_range, float max_range, int num_wavelengths,
           float pulse_fwhm_ns, float peak_threshold, int max_returns_per_pulse,
           bool direct_mode, int first_pulse) {
            return lidar_cpu(scene, pulse_origins, pulse_directions, num_pulses,
                             beam_half_angle_rad, beam_samples_per_dim, pulse_energy, sensor_area,
                             range_resolution, min_range, max_range, num_wavelengths,
                             pulse_fwhm_ns, peak_threshold, max_returns_per_pulse, direct_mode,
                             first_pulse, true);
        },
        NORVI_LIDAR_ARGS, py::arg("first_pulse").noconvert() = 0);
}

}  // namespace norvi::py_bind
