#include "gpu/photon_params.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "scene/input_checks.h"

namespace norvi {

namespace {

[[noreturn]] void refuse(const char* mode, const std::string& what) {
    throw std::invalid_argument(std::string(mode) + ": " + what);
}

void check_common(const char* mode, int nx, int ny, int num_photons, float prob_sun, int num_bands) {
    std::ostringstream os;
    if (nx < 1 || ny < 1) {
        os << "nx and ny must be at least 1; got nx=" << nx << ", ny=" << ny;
        refuse(mode, os.str());
    }
    if (num_photons < 1) {
        os << "num_photons must be > 0; got " << num_photons;
        refuse(mode, os.str());
    }
    if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
        os << "prob_sun must lie in [0, 1]; got " << prob_sun;
        refuse(mode, os.str());
    }
    if (num_bands < 1 || num_bands > kMaxGpuBands) {
        os << "the scene's band count " << num_bands << " must lie in [1, " << kMaxGpuBands << "]";
        refuse(mode, os.str());
    }
}

// Product of the counts, refused above the largest int (the device programs
// index the tallies with it).
std::size_t tally_size(const char* mode, const char* what, std::initializer_list<long long> counts) {
    long long n = 1;
    for (long long c : counts) {
        if (c < 0 || (c > 0 && n > std::numeric_limits<int>::max() / c)) {
            std::ostringstream os;
            os << "the " << what << " tally is too large (at most " << std::numeric_limits<int>::max()
               << " values)";
            refuse(mode, os.str());
        }
        n *= c;
    }
    return static_cast<std::size_t>(n);
}

}  // namespace

std::vector<float> check_forward_params(const SceneManager& scene, const ForwardParams& p) {
    const char* mode = "simulate_forward";
    const int nb = scene.num_bands();
    const int layers = static_cast<int>(p.layer_heights.size()) - 1;
    if (layers < 1) throw std::runtime_error("layer_heights needs at least 2 values");
    check_common(mode, p.nx, p.ny, p.num_photons, p.prob_sun, nb);
    for (std::size_t k = 0; k < p.layer_heights.size(); ++k) {
        const float h = p.layer_heights[k];
        if (!std::isfinite(h) || (k > 0 && !(h > p.layer_heights[k - 1]))) {
            std::ostringstream os;
            os << "layer_heights must be finite and strictly increasing; got layer_heights[" << k << "] = " << h;
            if (k > 0) os << " after " << p.layer_heights[k - 1];
            refuse(mode, os.str());
        }
    }
    std::ostringstream os;
    if (p.num_brf_dirs < 0) {
        os << "num_brf_dirs must not be negative; got " << p.num_brf_dirs;
        refuse(mode, os.str());
    }
    std::vector<float> dirs;
    if (p.num_brf_dirs > 0) {
        const std::size_t need = 3 * static_cast<std::size_t>(p.num_brf_dirs);
        if (p.brf_directions.size() < need) {
            os << "brf_directions holds " << p.brf_directions.size() << " values, fewer than 3 x num_brf_dirs = "
               << need;
            refuse(mode, os.str());
        }
        for (int k = 0; k < p.num_brf_dirs; ++k) {
            const float* v = &p.brf_directions[3 * static_cast<std::size_t>(k)];
            const std::string what = "simulate_forward: brf_directions[" + std::to_string(k) + "]";
            const float3 u = unit_direction(float3{v[0], v[1], v[2]}, what.c_str());
            dirs.insert(dirs.end(), {u.x, u.y, u.z});
        }
    }
    if (p.terrain_instance_id >= scene.num_instances()) {
        os << "terrain_instance_id " << p.terrain_instance_id << " names no instance; the scene has "
           << scene.num_instances() << " instances";
        refuse(mode, os.str());
    }
    tally_size(mode, "grid", {p.nx, p.ny, layers, nb});
    tally_size(mode, "brf", {p.num_brf_dirs, nb});
    if (p.per_leaf) {
        long long leaves = 0;
        for (uint32_t n : scene.instance_triangle_counts()) leaves += n;
        tally_size(mode, "per-leaf", {leaves, nb});
    }
    return dirs;
}

void check_flux_params(const SceneManager& scene, const FluxParams& p) {
    const char* mode = "simulate_flux";
    if (p.nx < 1 || p.ny < 1) throw std::runtime_error("simulate_flux: nx and ny must be > 0");
    if (p.num_photons < 1) throw std::runtime_error("simulate_flux: num_photons must be > 0");
    check_common(mode, p.nx, p.ny, p.num_photons, p.prob_sun, scene.num_bands());
    if (p.max_bounces < 0) {
        std::ostringstream os;
        os << "max_bounces must not be negative (0 records every arrival); got " << p.max_bounces;
        refuse(mode, os.str());
    }
    tally_size(mode, "flux map", {p.nx, p.ny, scene.num_bands()});
}

}  // namespace norvi
