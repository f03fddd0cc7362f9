// Simulator.simulate_forward, simulate_flux and simulate_lidar: the GPU
// photon and LiDAR modes, with the arguments, defaults and result
// dictionaries of their CPU counterparts. Every argument is checked before
// any GPU work. Each also has a private form taking one part of the run (a
// range of photons, the run-wide index of the first pulse), for
// norvi.distributed, and so has Simulator.simulate (a band of rows).

#include <sstream>
#include <stdexcept>

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/lidar_waveform.h"
#include "gpu/simulator.h"

namespace norvi::py_bind {

namespace {

using SimulatorClass = Class<Simulator, std::unique_ptr<Simulator>>;

// The result arrays are shaped by num_bands, so it must be the scene's.
void require_scene_bands(const SceneManager& scene, int num_bands, const char* method) {
    if (num_bands == scene.num_bands()) return;
    std::ostringstream os;
    os << method << ": num_bands (" << num_bands << ") must equal the scene's band count (" << scene.num_bands()
       << ")";
    throw std::invalid_argument(os.str());
}

py::dict forward_part(Simulator& sim, SceneManager& scene, int nx, int ny, const FloatArray& layer_heights,
                      int num_photons, int num_bands, bool per_leaf, const FloatArray& brf_directions,
                      int num_brf_dirs, float prob_sun, int max_depth, int terrain_instance_id,
                      const py::object& progress, int first_photon, int photon_count) {
    ForwardParams p;
    p.first_photon = first_photon;
    p.photon_count = photon_count;
    p.nx = nx;
    p.ny = ny;
    p.layer_heights = to_vector_1d(layer_heights);
    p.num_photons = num_photons;
    p.per_leaf = per_leaf;
    if (num_brf_dirs > 0) p.brf_directions = to_vector_1d(brf_directions);
    p.num_brf_dirs = num_brf_dirs;
    p.prob_sun = prob_sun;
    p.max_depth = max_depth;
    p.terrain_instance_id = terrain_instance_id;
    p.progress = wrap_progress(progress);  // also without a callable: Ctrl-C stops the run between batches
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    require_scene_bands(scene, num_bands, "simulate_forward");
    (void)check_forward_params(scene, p);

    std::vector<float> leaf, brf, albedo, terrain;
    const bool views = num_brf_dirs > 0;
    const std::vector<float> grid = sim.simulate_forward(scene, p, per_leaf ? &leaf : nullptr, views ? &brf : nullptr,
                                                         views ? &albedo : nullptr,
                                                         terrain_instance_id >= 0 ? &terrain : nullptr);
    const py::ssize_t nb = num_bands;
    const py::ssize_t layers = static_cast<py::ssize_t>(p.layer_heights.size()) - 1;
    py::dict d;
    d["grid"] = make_array(grid, {layers, ny, nx, nb});
    if (per_leaf && !leaf.empty()) d["leaf"] = make_array(leaf, {static_cast<py::ssize_t>(leaf.size()) / nb, nb});
    if (!brf.empty()) d["brf"] = make_array(brf, {num_brf_dirs, nb});
    if (!albedo.empty()) d["albedo"] = make_array(albedo, {nb});
    if (!terrain.empty()) d["terrain"] = make_array(terrain, {nb});
    return d;
}

py::dict forward(Simulator& sim, SceneManager& scene, int nx, int ny, const FloatArray& layer_heights,
                 int num_photons, int num_bands, bool per_leaf, const FloatArray& brf_directions, int num_brf_dirs,
                 float prob_sun, int max_depth, int terrain_instance_id, const py::object& progress) {
    return forward_part(sim, scene, nx, ny, layer_heights, num_photons, num_bands, per_leaf, brf_directions,
                        num_brf_dirs, prob_sun, max_depth, terrain_instance_id, progress, 0, -1);
}

py::dict flux_part(Simulator& sim, SceneManager& scene, int nx, int ny, int num_photons, int num_bands,
                   float prob_sun, int max_bounces, int max_depth, int rr_depth, const py::object& progress,
                   int first_photon, int photon_count) {
    FluxParams p;
    p.first_photon = first_photon;
    p.photon_count = photon_count;
    p.nx = nx;
    p.ny = ny;
    p.num_photons = num_photons;
    p.prob_sun = prob_sun;
    p.max_bounces = max_bounces;
    p.max_depth = max_depth;
    p.rr_depth = rr_depth;
    p.progress = wrap_progress(progress);
    if (!scene.is_built()) throw std::runtime_error("Scene not built. Call scene.build() first.");
    check_flux_params(scene, p);
    require_scene_bands(scene, num_bands, "simulate_flux");

    std::vector<float> down, up;
    sim.simulate_flux(scene, p, down, up);
    py::dict d;
    d["downwelling"] = make_array(down, {ny, nx, num_bands});
    d["upwelling"] = make_array(up, {ny, nx, num_bands});
    return d;
}

py::dict flux(Simulator& sim, SceneManager& scene, int nx, int ny, int num_photons, int num_bands, float prob_sun,
              int max_bounces, int max_depth, int rr_depth, const py::object& progress) {
    return flux_part(sim, scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces, max_depth, rr_depth, progress,
                     0, -1);
}

// A 1-D pulse array holding at least 3 values per pulse.
std::vector<float> pulse_values(const FloatArray& a, int num_pulses, const char* what) {
    require_ndim(a, 1);
    const long long needed = 3 * static_cast<long long>(num_pulses);
    if (num_pulses > 0 && static_cast<long long>(a.shape(0)) < needed) {
        std::ostringstream os;
        os << what << " must hold 3 x num_pulses = " << needed << " values (x, y, z per pulse); got " << a.shape(0);
        throw std::invalid_argument(os.str());
    }
    return std::vector<float>(a.data(), a.data() + (num_pulses > 0 ? needed : 0));
}

py::dict lidar_part(Simulator& sim, SceneManager& scene, const FloatArray& pulse_origins,
                    const FloatArray& pulse_directions, int num_pulses, float beam_half_angle_rad,
                    int beam_samples_per_dim, float pulse_energy, float sensor_area, float range_resolution,
                    float min_range, float max_range, int num_wavelengths, float pulse_fwhm_ns,
                    float peak_threshold, int max_returns_per_pulse, bool direct_mode, int first_pulse) {
    LiDARLaunchParams p;
    p.first_pulse = first_pulse;
    p.pulse_origins = pulse_values(pulse_origins, num_pulses, "pulse_origins");
    p.pulse_directions = pulse_values(pulse_directions, num_pulses, "pulse_directions");
    p.num_pulses = num_pulses;
    p.beam_half_angle_rad = beam_half_angle_rad;
    p.beam_samples_per_dim = beam_samples_per_dim;
    p.pulse_energy = pulse_energy;
    p.sensor_area = sensor_area;
    p.range_resolution = range_resolution;
    p.min_range = min_range;
    p.max_range = max_range;
    p.num_wavelengths = num_wavelengths;
    p.pulse_fwhm_ns = pulse_fwhm_ns;
    p.peak_threshold = peak_threshold;
    p.max_returns_per_pulse = max_returns_per_pulse;
    p.direct_mode = direct_mode;
    const LidarResult r = sim.simulate_lidar(scene, p);

    py::dict d;
    if (r.waveform.empty()) {
        // Direct mode traces no waveform: zeros of the waveform's shape.
        d["waveform"] = py::module_::import("numpy").attr("zeros")(
            py::make_tuple(num_pulses, r.num_bins, num_wavelengths), "float32");
    } else {
        d["waveform"] = make_array(r.waveform, {num_pulses, r.num_bins, num_wavelengths});
    }
    d["points"] = make_array(r.points, {r.num_returns, kLidarPointFloats});
    d["num_bins"] = r.num_bins;
    d["num_returns"] = r.num_returns;
    return d;
}

py::dict lidar(Simulator& sim, SceneManager& scene, const FloatArray& pulse_origins,
               const FloatArray& pulse_directions, int num_pulses, float beam_half_angle_rad,
               int beam_samples_per_dim, float pulse_energy, float sensor_area, float range_resolution,
               float min_range, float max_range, int num_wavelengths, float pulse_fwhm_ns, float peak_threshold,
               int max_returns_per_pulse, bool direct_mode) {
    return lidar_part(sim, scene, pulse_origins, pulse_directions, num_pulses, beam_half_angle_rad,
                      beam_samples_per_dim, pulse_energy, sensor_area, range_resolution, min_range, max_range,
                      num_wavelengths, pulse_fwhm_ns, peak_threshold, max_returns_per_pulse, direct_mode, 0);
}

}  // namespace

void register_simulator_photon_modes(py::module_& m) {
    auto cls = py::reinterpret_borrow<SimulatorClass>(m.attr("Simulator"));
    cls.def("simulate_forward", &forward, py::arg("scene"), py::arg("nx").noconvert() = 1,
            py::arg("ny").noconvert() = 1, py::arg("layer_heights"), py::arg("num_photons").noconvert() = 10000000,
            py::arg("num_bands").noconvert() = 1, py::arg("per_leaf") = false,
            py::arg("brf_directions") = py::array_t<float>(0), py::arg("num_brf_dirs").noconvert() = 0,
            py::arg("prob_sun") = 1.0f, py::arg("max_depth").noconvert() = 16,
            py::arg("terrain_instance_id").noconvert() = -1, py::arg("progress") = py::none());
    cls.def("simulate_flux", &flux, py::arg("scene"), py::arg("nx").noconvert(), py::arg("ny").noconvert(),
            py::arg("num_photons").noconvert(), py::arg("num_bands").noconvert(), py::arg("prob_sun") = 1.0f,
            py::arg("max_bounces").noconvert() = 0, py::arg("max_depth").noconvert() = 16,
            py::arg("rr_depth").noconvert() = 3, py::arg("progress") = py::none());
    cls.def("simulate_lidar", &lidar, py::arg("scene"), py::arg("pulse_origins"), py::arg("pulse_directions"),
            py::arg("num_pulses").noconvert(), py::arg("beam_half_angle_rad") = 0.0005f,
            py::arg("beam_samples_per_dim").noconvert() = 10, py::arg("pulse_energy") = 1.0f,
            py::arg("sensor_area") = 0.1f, py::arg("range_resolution") = 0.15f, py::arg("min_range") = 0.0f,
            py::arg("max_range") = 100.0f, py::arg("num_wavelengths").noconvert() = 1,
            py::arg("pulse_fwhm_ns") = 4.0f, py::arg("peak_threshold") = 1e-8f,
            py::arg("max_returns_per_pulse").noconvert() = 5, py::arg("direct_mode") = false);

    // The part forms: every argument by name, no defaults (norvi.distributed
    // passes them all), then the part. _simulate_rows renders a band of
    // sensor rows of Simulator.simulate's image.
    cls.def(
        "_simulate_rows",
        [](Simulator& sim, SceneManager& scene, int spp, int max_depth, long long first_row, long long row_count) {
            const std::vector<float> film =
                sim.simulate(scene, spp, max_depth, wrap_progress(py::none()), RunRange{first_row, row_count});
            const SceneData sd = scene.get_scene_data();
            const auto width = static_cast<py::ssize_t>(sd.sensor.width);
            const auto bands = static_cast<py::ssize_t>(sd.num_bands);
            const auto rows = width * bands > 0 ? static_cast<py::ssize_t>(film.size()) / (width * bands) : 0;
            return make_array(film, {rows, width, bands});
        },
        py::arg("scene"), py::arg("spp"), py::arg("max_depth"), py::arg("first_row"), py::arg("row_count"));
    cls.def("_simulate_forward_part", &forward_part, py::arg("scene"), py::arg("nx"), py::arg("ny"),
            py::arg("layer_heights"), py::arg("num_photons"), py::arg("num_bands"), py::arg("per_leaf"),
            py::arg("brf_directions"), py::arg("num_brf_dirs"), py::arg("prob_sun"), py::arg("max_depth"),
            py::arg("terrain_instance_id"), py::arg("progress"), py::arg("first_photon"), py::arg("photon_count"));
    cls.def("_simulate_flux_part", &flux_part, py::arg("scene"), py::arg("nx"), py::arg("ny"),
            py::arg("num_photons"), py::arg("num_bands"), py::arg("prob_sun"), py::arg("max_bounces"),
            py::arg("max_depth"), py::arg("rr_depth"), py::arg("progress"), py::arg("first_photon"),
            py::arg("photon_count"));
    cls.def("_simulate_lidar_part", &lidar_part, py::arg("scene"), py::arg("pulse_origins"),
            py::arg("pulse_directions"), py::arg("num_pulses"), py::arg("beam_half_angle_rad"),
            py::arg("beam_samples_per_dim"), py::arg("pulse_energy"), py::arg("sensor_area"),
            py::arg("range_resolution"), py::arg("min_range"), py::arg("max_range"), py::arg("num_wavelengths"),
            py::arg("pulse_fwhm_ns"), py::arg("peak_threshold"), py::arg("max_returns_per_pulse"),
            py::arg("direct_mode"), py::arg("first_pulse"));
}

}  // namespace norvi::py_bind
