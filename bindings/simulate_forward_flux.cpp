// simulate_forward_cpu and simulate_flux_cpu: the CPU photon engines on an
// EmbreeSceneManager. Both run with the interpreter lock held; progress is
// called on the calling thread between batches of a million photons. The
// module of parts (norvi._parts) gets the same two functions with
// first_photon and photon_count: the part of a run of num_photons one call
// traces, so a run can be split and summed; they trace with the interpreter
// lock released.

#include <sstream>
#include <stdexcept>

#include "bindings/convert.h"
#include "bindings/registry.h"
#include "cpu/render_flux.h"
#include "cpu/render_forward.h"

namespace norvi::py_bind {

using embree::EmbreeSceneManager;

namespace {

// Rows of num_bands values; the engines have checked num_bands >= 1.
py::ssize_t rows_of(const std::vector<float>& v, int num_bands) {
    return static_cast<py::ssize_t>(v.size() / static_cast<std::size_t>(num_bands));
}

py::dict pack_forward(const embree::ForwardResult& r, bool per_leaf, int num_brf_dirs) {
    const py::ssize_t nb = r.num_bands;
    py::dict d;
    d["grid"] = make_array(r.grid, {r.layers, r.ny, r.nx, nb});
    if (per_leaf && !r.leaf.empty()) d["leaf"] = make_array(r.leaf, {rows_of(r.leaf, r.num_bands), nb});
    if (!r.brf.empty()) d["brf"] = make_array(r.brf, {num_brf_dirs, nb});
    if (!r.albedo.empty()) d["albedo"] = make_array(r.albedo, {nb});
    if (!r.terrain.empty()) d["terrain"] = make_array(r.terrain, {nb});
    return d;
}

// The view directions as the engine takes them: null when the array is empty;
// otherwise 1-D, with at least 3 values per counted direction.
const float* brf_pointer(const FloatArray& dirs, int num_brf_dirs) {
    if (dirs.size() > 0) require_ndim(dirs, 1);
    const py::ssize_t have = dirs.size();
    const py::ssize_t need = 3 * static_cast<py::ssize_t>(num_brf_dirs);
    if (num_brf_dirs > 0 && have < need) {
        std::ostringstream os;
        os << "simulate_forward_cpu: brf_directions holds " << have
           << " values, fewer than 3 x num_brf_dirs = " << need;
        throw std::invalid_argument(os.str());
    }
    return dirs.size() > 0 ? dirs.data() : nullptr;
}

py::dict forward_cpu(const EmbreeSceneManager& scene, int nx, int ny,
                     const FloatArray& layer_heights, int num_photons, int num_bands,
                     bool per_leaf, const FloatArray& brf_directions, int num_brf_dirs,
                     float prob_sun, int max_depth, int terrain_instance_id,
                     const py::object& progress, embree::PhotonRange photons, bool release_gil) {
    const std::vector<float> heights = to_vector_1d(layer_heights);
    const float* dirs = brf_pointer(brf_directions, num_brf_dirs);
    const ProgressFn report = wrap_progress(progress);
    const embree::ForwardResult r = call_engine(release_gil, [&] {
        return embree::render_forward(scene, nx, ny, heights, num_photons, num_bands, per_leaf,
                                      prob_sun, dirs, num_brf_dirs, max_depth, /*rr_depth*/ 3,
                                      /*num_threads*/ 0, report, terrain_instance_id, photons);
    });
    return pack_forward(r, per_leaf, num_brf_dirs);
}

py::dict flux_cpu(const EmbreeSceneManager& scene, int nx, int ny, int num_photons, int num_bands,
                  float prob_sun, int max_bounces, int max_depth, int rr_depth,
                  const py::object& progress, embree::PhotonRange photons, bool release_gil) {
    const ProgressFn report = wrap_progress(progress);
    const embree::FluxResult r = call_engine(release_gil, [&] {
        return embree::render_flux(scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces,
                                   max_depth, rr_depth, /*num_threads*/ 0, report, photons);
    });
    py::dict d;
    d["downwelling"] = make_array(r.down, {r.ny, r.nx, r.num_bands});
    d["upwelling"] = make_array(r.up, {r.ny, r.nx, r.num_bands});
    return d;
}

}  // namespace

#define NORVI_FORWARD_ARGS                                                                     \
    py::arg("scene"), py::arg("nx").noconvert() = 1, py::arg("ny").noconvert() = 1,            \
        py::arg("layer_heights"), py::arg("num_photons").noconvert() = 10000000,               \
        py::arg("num_bands").noconvert() = 1, py::arg("per_leaf") = false,                     \
        py::arg("brf_directions") = py::array_t<float>(0),                                     \
        py::arg("num_brf_dirs").noconvert() = 0, py::arg("prob_sun") = 1.0f,                   \
        py::arg("max_depth").noconvert() = 16, py::arg("terrain_instance_id").noconvert() = -1, \
        py::arg("progress") = py::none()

#define NORVI_FLUX_ARGS                                                                   \
    py::arg("scene"), py::arg("nx").noconvert(), py::arg("ny").noconvert(),               \
        py::arg("num_photons").noconvert(), py::arg("num_bands").noconvert(),             \
        py::arg("prob_sun") = 1.0f, py::arg("max_bounces").noconvert() = 0,               \
        py::arg("max_depth").noconvert() = 16, py::arg("rr_depth").noconvert() = 3,       \
        py::arg("progress") = py::none()

void register_simulate_forward_cpu(py::module_& m) {
    def(m, "simulate_forward_cpu",
        [](const EmbreeSceneManager& scene, int nx, int ny, const FloatArray& layer_heights,
           int num_photons, int num_bands, bool per_leaf, const FloatArray& brf_directions,
           int num_brf_dirs, float prob_sun, int max_depth, int terrain_instance_id,
           const py::object& progress) {
            return forward_cpu(scene, nx, ny, layer_heights, num_photons, num_bands, per_leaf,
                               brf_directions, num_brf_dirs, prob_sun, max_depth,
                               terrain_instance_id, progress, {}, false);
        },
        NORVI_FORWARD_ARGS);
}

void register_simulate_flux_cpu(py::module_& m) {
    def(m, "simulate_flux_cpu",
        [](const EmbreeSceneManager& scene, int nx, int ny, int num_photons, int num_bands,
           float prob_sun, int max_bounces, int max_depth, int rr_depth,
           const py::object& progress) {
            return flux_cpu(scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces,
                            max_depth, rr_depth, progress, {}, false);
        },
        NORVI_FLUX_ARGS);
}

void register_photon_parts(py::module_& m) {
    def(m, "simulate_forward_cpu",
        [](const EmbreeSceneManager& scene, int nx, int ny, const FloatArray& layer_heights,
           int num_photons, int num_bands, bool per_leaf, const FloatArray& brf_directions,
           int num_brf_dirs, float prob_sun, int max_depth, int terrain_instance_id,
           const py::object& progress, int first_photon, int photon_count) {
            return forward_cpu(scene, nx, ny, layer_heights, num_photons, num_bands, per_leaf,
                               brf_directions, num_brf_dirs, prob_sun, max_depth,
                               terrain_instance_id, progress, {first_photon, photon_count},
                               true);
        },
        NORVI_FORWARD_ARGS, py::arg("first_photon").noconvert() = 0,
        py::arg("photon_count").noconvert() = -1);
    def(m, "simulate_flux_cpu",
        [](const EmbreeSceneManager& scene, int nx, int ny, int num_photons, int num_bands,
           float prob_sun, int max_bounces, int max_depth, int rr_depth,
           const py::object& progress, int first_photon, int photon_count) {
            return flux_cpu(scene, nx, ny, num_photons, num_bands, prob_sun, max_bounces,
                            max_depth, rr_depth, progress, {first_photon, photon_count}, true);
        },
        NORVI_FLUX_ARGS, py::arg("first_photon").noconvert() = 0,
        py::arg("photon_count").noconvert() = -1);
}

}  // namespace norvi::py_bind
