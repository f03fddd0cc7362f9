#pragma once
// One photon's walk through a built scene, shared by the forward tracer and
// the flux renderer: its random stream (derived from its global index alone),
// its emission, the search for the next surface with wraps through the tile
// walls of a repetitive scene, and the scattering step (direction sampling,
// weight update, Russian roulette, the new ray). The engines tally what they
// need between these steps.

#include <cmath>
#include <cstdint>

#include "cpu/photon_source.h"
#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/ray_offset.h"
#include "physics/roulette.h"
#include "physics/shading_frame.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

// A photon whose weight is at most this in every band ends (the photon
// engines use a higher floor than the backward renderer's path throughput).
constexpr double kMinPhotonWeight = 1e-8;

class PhotonPath {
public:
    // Photon `index` (global over the call) with its own generator.
    explicit PhotonPath(int index) {
        const auto n = static_cast<uint64_t>(index);
        rng_.seed(n + 1000003u, n * 7919u + 1u);
    }

    // Emits the photon from `source`, writing its weights to w[0 .. num_bands).
    // False when it carries nothing: a sun near the horizon (no photon at all,
    // not even from the sky), a sun photon under a sun below the horizon, a
    // grazing sky sample.
    bool start(const PhotonSource& source, double* w) {
        if (!source.active()) return false;
        EmittedPhoton p;
        if (!source.emit([this] { return rng_.next_float(); }, p, w)) return false;
        pos_ = p.origin;
        dir_ = p.direction;
        factor_ = p.factor;
        return true;
    }

    // Energy factor of the photon: the area it stands for over the
    // probability of its source.
    double factor() const { return factor_; }
    // Current travel direction (unit).
    float3 direction() const { return dir_; }
    // Surface interactions so far (0 until the first scattering).
    int interactions() const { return interactions_; }

    // The next surface along the ray. In a repetitive scene a miss moves the
    // ray through the tile wall it crosses to the opposite wall, while the
    // photon's wrap budget lasts (the count runs over the whole photon, across
    // scatterings), and while it can still meet the scene (not above all of
    // it going up). A miss returned here is an escape along direction().
    HitRecord next_hit(const EmbreeSceneManager& scene) {
        for (;;) {
            const HitRecord h = scene.trace_ray(pos_, dir_);
            if (h.hit || !scene.is_repetitive() || wraps_ >= scene.wrap_budget() ||
                !scene.wrap_periodic(pos_, dir_))
                return h;
            ++wraps_;
        }
    }

    // Scatters the photon at hit `h` of material `m`, whose shading frame is
    // `frame` and where wo (local) points back along the arriving photon:
    // samples a direction from three draws d1, d2, d3 passed as (d3, d2, d1),
    // multiplies every weight by f |wi.z| / pdf, plays Russian roulette from
    // interaction `rr_depth` on, and moves the ray off the surface. Returns
    // false when the photon ends: a negligible density, weights at or below
    // kMinPhotonWeight in every band, lost roulette, or `max_depth`
    // interactions reached. `f` is scratch space for num_bands values.
    bool scatter(const HitRecord& h, const MaterialData& m, const ShadingFrame& frame, float3 wo,
                 const float* spec, int num_bands, double* w, float* f, int rr_depth,
                 int max_depth) {
        float3 wi;
        float pdf;
        sample_bsdf_from(rng_, m, wi, pdf);
        if (pdf < kMinSamplePdf) return false;
        eval_bsdf_bands(m.type, m.spectral_offset, wo, wi, spec, num_bands, h.back_face,
                        /*thermal*/ false, f);
        const float cos_wi = std::fabs(wi.z);
        // Two plain loops over the bands, so that each runs on vectors.
        for (int b = 0; b < num_bands; ++b) w[b] *= static_cast<double>(f[b]) * cos_wi / pdf;
        bool alive = false;
        for (int b = 0; b < num_bands && !alive; ++b) alive = w[b] > kMinPhotonWeight;
        if (!alive) return false;
        if (interactions_ >= rr_depth) {
            const float q = roulette_survival(w, num_bands);
            if (rng_.next_float() >= q) return false;
            for (int b = 0; b < num_bands; ++b) w[b] /= q;
        }
        dir_ = normalize(to_world(frame, wi));
        pos_ = offset_ray_origin(h.position, face_toward(h.geometric_normal, dir_));
        return ++interactions_ < max_depth;
    }

private:
    Pcg32 rng_;
    float3 pos_{0.0f, 0.0f, 0.0f};
    float3 dir_{0.0f, 0.0f, 0.0f};
    double factor_ = 0.0;
    int interactions_ = 0;
    int wraps_ = 0;
};

}  // namespace norvi::embree
