#include "cpu/photon_args.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cpu/photon_source.h"
#include "cpu/scene_checks.h"

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

    // Photons start from the tally extent and, in a repetitive scene, from
    // the measurement plane: a ray from a non-finite point is invalid for the
    // ray tracer (it aborts the process).
    const PhotonExtent extent = photon_extent(scene, 0);
    if (!(std::isfinite(extent.x) && std::isfinite(extent.y))) {
        Refusal r(engine);
        r.os << (extent.tile ? "the tile size (" : "the sensor footprint (") << extent.x << " x "
             << extent.y << ") is not finite";
        r.raise();
    }
    if (scene.is_repetitive() && !std::isfinite(scene.measurement_height())) {
        Refusal r(engine);
        r.os << "the measurement height " << scene.measurement_height() << " is not finite";
        r.raise();
    }

    const float3 sd = scene.emitter().direction;
    if (!(std::isfinite(sd.x) && std::isfinite(sd.y) && std::isfinite(sd.z))) {
        Refusal r(engine);
        r.os << "the emitter direction (" << sd.x << ", " << sd.y << ", " << sd.z
             << ") is not finite";
        r.raise();
    }
    // Every spectral range a photon can read: the materials the meshes use
    // (no emissivity, whatever the thermal mode), the sun when it is above the
    // horizon (only then are sun photons traced), the sky in use.
    check_spectral_ranges(scene, engine, num_bands, SpectralReads{false, sd.z >= 0.01f});
}

void check_forward_args(const EmbreeSceneManager& scene, const float* brf_directions,
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
    for (int k = 0; k < num_brf_dirs; ++k) {
        const float* v = brf_directions + 3 * static_cast<std::size_t>(k);
        if (std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])) continue;
        Refusal r("render_forward");
        r.os << "view direction " << k << " (" << v[0] << ", " << v[1] << ", " << v[2]
             << ") is not finite";
        r.raise();
    }
    if (terrain_instance_id >= scene.num_instances()) {
        Refusal r("render_forward");
        r.os << "terrain_instance_id " << terrain_instance_id << " names no instance; the scene has "
             << scene.num_instances() << " instances";
        if (scene.num_instances() > 0) r.os << " (ids 0 to " << scene.num_instances() - 1 << ")";
        r.raise();
    }
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
