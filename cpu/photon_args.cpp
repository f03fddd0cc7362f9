#include "cpu/photon_args.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cpu/photon_source.h"
#include "cpu/scene_checks.h"
#include "scene/input_checks.h"

namespace norvi::embree {

namespace {

// An error message that starts with the engine's name.
struct Refusal {
    std::ostringstream os;
    explicit Refusal(const char* engine) { os << engine << ": "; }
    [[noreturn]] void raise() const { throw std::invalid_argument(os.str()); }
};

}  // namespace

void check_photon_args(const EmbreeSceneManager& scene, const char* engine, int nx, int ny,
                       int num_photons, int num_bands, float prob_sun) {
    if (!scene.is_built())
        throw std::runtime_error(std::string(engine) + ": scene not built. Call build() first.");
    if (nx < 1 || ny < 1) {
        Refusal r(engine);
        r.os << "nx and ny must be at least 1; got nx=" << nx << ", ny=" << ny;
        r.raise();
    }
    if (num_photons < 0) {
        Refusal r(engine);
        r.os << "num_photons must not be negative; got " << num_photons;
        r.raise();
    }
    if (num_bands != scene.num_bands() || num_bands < 1) {
        Refusal r(engine);
        r.os << "num_bands (" << num_bands << ") must equal the scene's band count ("
             << scene.num_bands() << ") and be at least 1";
        r.raise();
    }
    if (!(prob_sun >= 0.0f && prob_sun <= 1.0f)) {
        Refusal r(engine);
        r.os << "prob_sun must lie in [0, 1]; got " << prob_sun;
        r.raise();
    }

    // The tile size, sensor footprint, measurement height and emitter
    // direction were checked when they were set. Photons stand for an area of
    // the extent; without one every tally would silently be zero.
    const PhotonExtent extent = photon_extent(scene, 0);
    if (num_photons > 0 && !(extent.x > 0.0f && extent.y > 0.0f)) {
        Refusal r(engine);
        r.os << "the scene's horizontal extent is unknown (" << extent.x << " x " << extent.y
             << "): set a tile size with set_repetitive or a sensor footprint (ortho_w, ortho_h) "
                "with set_sensor";
        r.raise();
    }

    const float3 sd = scene.emitter().direction;
    // Every spectral range a photon can read: the materials the meshes use
    // (no emissivity, whatever the thermal mode), the sun when it is above the
    // horizon (only then are sun photons traced), the sky in use.
    check_spectral_ranges(scene, engine, num_bands, SpectralReads{false, sd.z >= 0.01f});
}

void check_layer_heights(const std::vector<float>& heights) {
    for (std::size_t k = 0; k < heights.size(); ++k) {
        if (std::isfinite(heights[k]) && (k == 0 || heights[k] > heights[k - 1])) continue;
        Refusal r("render_forward");
        r.os << "layer_heights must be finite and strictly increasing; got layer_heights[" << k
             << "] = " << heights[k];
        if (k > 0) r.os << " after " << heights[k - 1];
        r.raise();
    }
}

std::vector<float3> check_forward_args(const EmbreeSceneManager& scene, const float* brf_directions,
                                       int num_brf_dirs, int terrain_instance_id) {
    if (num_brf_dirs < 0) {
        Refusal r("render_forward");
        r.os << "num_brf_dirs must not be negative; got " << num_brf_dirs;
        r.raise();
    }
    if (num_brf_dirs > 0 && brf_directions == nullptr) {
        Refusal r("render_forward");
        r.os << "num_brf_dirs is " << num_brf_dirs << " but no brf_directions were given";
        r.raise();
    }
    std::vector<float3> views;
    views.reserve(static_cast<std::size_t>(num_brf_dirs));
    for (int k = 0; k < num_brf_dirs; ++k) {
        const float* v = brf_directions + 3 * static_cast<std::size_t>(k);
        const std::string what = "render_forward: view direction " + std::to_string(k);
        views.push_back(unit_direction(float3{v[0], v[1], v[2]}, what.c_str()));
    }
    if (terrain_instance_id >= scene.num_instances()) {
        Refusal r("render_forward");
        r.os << "terrain_instance_id " << terrain_instance_id << " names no instance; the scene has "
             << scene.num_instances() << " instances";
        if (scene.num_instances() > 0) r.os << " (ids 0 to " << scene.num_instances() - 1 << ")";
        r.raise();
    }
    return views;
}

std::size_t checked_tally_size(std::initializer_list<int> counts, const char* what) {
    constexpr long long kMax = std::numeric_limits<int>::max();
    long long n = 1;
    bool too_large = false;
    for (int c : counts) {
        if (c <= 0) return 0;
        if (n > kMax / c) too_large = true;
        else n *= c;
    }
    if (!too_large) return static_cast<std::size_t>(n);
    std::ostringstream os;
    os << what << " tally of ";
    const char* sep = "";
    for (int c : counts) {
        os << sep << c;
        sep = " x ";
    }
    os << " values is too large (at most " << kMax << ")";
    throw std::length_error(os.str());
}

}  // namespace norvi::embree
