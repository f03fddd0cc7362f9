#pragma once
// One photon of the forward and flux engines, written once for both back
// ends: its source (sun or sky, entry point, direction, per-band weight and
// energy factor), its random stream (derived from its global index alone),
// the search for the next surface with wraps through the tile walls of a
// repetitive scene, and the scattering step (direction sampling, weight
// update, Russian roulette, the new ray).
//
// Weights are irradiance on a horizontal plane: a sun photon carries E |s.z|
// (times the area ratio of the box faces it may enter), a sky photon pi L
// (cosine-weighted directions; pi L is the irradiance of a uniform sky). The
// energy factor is the horizontal area one photon stands for over the
// probability of its source.
//
// Ray queries go through a Tracer: trace(o, d) -> HitRecord, and for tiled
// scenes repetitive(), wrap_budget() and wrap(p, d) (moves a ray that missed
// through the tile wall it crosses; false when not moved).

#include <cmath>
#include <cstdint>

#include "physics/bsdf.h"
#include "physics/pcg32.h"
#include "physics/photon_entry.h"
#include "physics/ray_offset.h"
#include "physics/roulette.h"
#include "physics/shading_frame.h"
#include "physics/sun_sky.h"
#include "scene/hit_record.h"
#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

// A photon whose weight is at most this in every band ends (the photon
// engines use a higher floor than the backward renderer's path throughput).
constexpr double kMinPhotonWeight = 1e-8;

// The per-band work of a photon goes through the bands this many at a time,
// on stack buffers small enough for a device thread; each chunk is one call
// and plain loops that the host compiler turns into vector code.
constexpr int kPhotonBandChunk = 32;

NORVI_HD int band_chunk(int first, int num_bands) {
    return num_bands - first < kPhotonBandChunk ? num_bands - first : kPhotonBandChunk;
}

struct EmittedPhoton {
    float3 origin;
    float3 direction;  // unit, travel direction
    double factor;     // energy factor (area per photon / source probability)
};

struct PhotonSource {
    const float* spec = nullptr;  // spectral array
    int num_bands = 0;
    float3 sun{0.0f, 0.0f, 0.0f};  // unit vector toward the sun
    int sun_offset = 0;            // sun irradiance array
    int hw_sky_offset = -1;        // parametric sky, used when >= 0
    float3 hw_sky_sun{0.0f, 0.0f, 1.0f};
    int sky_offset = -1;           // constant sky, used when >= 0 and no parametric sky
    bool repetitive = false;
    float plane = 0.0f;            // measurement height
    float tile_x = 0.0f;           // start extent over the tile (repetitive scenes)
    float tile_y = 0.0f;
    SceneBounds box{};             // entry box (other scenes)
    double area_per_photon = 0.0;
    float prob_sun = 1.0f;

    NORVI_HD bool has_sky() const { return hw_sky_offset >= 0 || sky_offset >= 0; }

    // A sun at or near the horizon (|s.z| < 0.01, or no emitter at all)
    // sends no photon at all, not even from the sky; so does an undefined one.
    NORVI_HD bool active() const { return fabsf(sun.z) >= 0.01f; }

    // Emits one photon from the uniform numbers drawn by `u()`, writing its
    // weights to w[0 .. num_bands). Returns false when it carries nothing
    // (sun below the horizon, a grazing sky sample).
    template <typename Uniform>
    NORVI_HD bool emit(Uniform&& u, EmittedPhoton& out, double* w) const {
        bool sun_photon = true;
        if (has_sky()) sun_photon = choose_sun(u(), prob_sun);
        out.factor = photon_energy_factor(area_per_photon, has_sky(), sun_photon, prob_sun);
        return sun_photon ? emit_sun_(u, out, w) : emit_sky_(u, out, w);
    }

private:
    template <typename Uniform>
    NORVI_HD bool emit_sun_(Uniform&& u, EmittedPhoton& out, double* w) const {
        if (sun.z <= 0.0f) return false;
        out.direction = -sun;
        double scale;
        if (repetitive) {
            const float r1 = u();
            const float r2 = u();
            out.origin = tile_entry(out.direction, plane, tile_x, tile_y, r1, r2).origin;
            scale = fabsf(sun.z);
        } else {
            const float r1 = u();
            const float r2 = u();
            const float r3 = u();
            const PhotonEntry e = sun_entry_box(sun, box, r1, r2, r3);
            out.origin = e.origin;
            scale = e.area_ratio;
        }
        for (int b = 0; b < num_bands; ++b) w[b] = static_cast<double>(spec[sun_offset + b]) * scale;
        return true;
    }

    template <typename Uniform>
    NORVI_HD bool emit_sky_(Uniform&& u, EmittedPhoton& out, double* w) const {
        const float e1 = u();
        const float e2 = u();
        const float e3 = u();
        const float e4 = u();
        double ratio;
        if (repetitive) {
            const float3 c = sample_cosine_hemisphere(e1, e2);
            if (!(c.z > 0.0f)) return false;  // grazing: no irradiance, no finite start point
            out.direction = {c.x, c.y, -c.z};
            out.origin = tile_entry(out.direction, plane, tile_x, tile_y, e3, e4).origin;
            ratio = 1.0;
        } else {
            const float e5 = u();
            const PhotonEntry e = sky_entry_box(box, e3, e4, e5);
            const float3 c = sample_cosine_hemisphere(e2, e1);
            const ShadingFrame frame = make_shading_frame(e.inward_normal);
            out.direction = normalize(to_world(frame, c));
            out.origin = e.origin;
            ratio = e.area_ratio;
        }
        // The sky is seen looking back along the photon.
        const float3 look = -out.direction;
        const double scale = 3.14159265358979323846 * ratio;
        for (int b = 0; b < num_bands; ++b) {
            const float radiance = hw_sky_offset >= 0 ? sky_radiance(spec, hw_sky_offset, look, b, hw_sky_sun)
                                                      : spec[sky_offset + b];
            w[b] = static_cast<double>(radiance) * scale;
        }
        return true;
    }
};

class PhotonPath {
public:
    // Photon `index` (global over the call) with its own generator.
    NORVI_HD explicit PhotonPath(int index) {
        const auto n = static_cast<uint64_t>(index);
        rng_.seed(n + 1000003u, n * 7919u + 1u);
    }

    // Emits the photon from `source`, writing its weights to w[0 .. num_bands).
    // False when it carries nothing: a sun near the horizon (no photon at all,
    // not even from the sky), a sun photon under a sun below the horizon, a
    // grazing sky sample.
    NORVI_HD bool start(const PhotonSource& source, double* w) {
        if (!source.active()) return false;
        EmittedPhoton p;
        Pcg32& rng = rng_;
        if (!source.emit([&rng] { return rng.next_float(); }, p, w)) return false;
        pos_ = p.origin;
        dir_ = p.direction;
        factor_ = p.factor;
        return true;
    }

    // Energy factor of the photon: the area it stands for over the
    // probability of its source.
    NORVI_HD double factor() const { return factor_; }
    // Current travel direction (unit).
    NORVI_HD float3 direction() const { return dir_; }
    // Surface interactions so far (0 until the first scattering).
    NORVI_HD int interactions() const { return interactions_; }

    // The next surface along the ray. In a repetitive scene a miss moves the
    // ray through the tile wall it crosses to the opposite wall, while the
    // photon's wrap budget lasts (the count runs over the whole photon, across
    // scatterings), and while it can still meet the scene (not above all of
    // it going up). A miss returned here is an escape along direction().
    template <typename Tracer>
    NORVI_HD HitRecord next_hit(const Tracer& tracer) {
        for (;;) {
            const HitRecord h = tracer.trace(pos_, dir_);
            if (h.hit || !tracer.repetitive() || wraps_ >= tracer.wrap_budget() || !tracer.wrap(pos_, dir_))
                return h;
            ++wraps_;
        }
    }

    // Scatters the photon at hit `h` of material `m`, whose shading frame is
    // `frame` and where wo (local) points back along the arriving photon:
    // samples a direction, multiplies every weight by f |wi.z| / pdf, plays
    // Russian roulette from interaction `rr_depth` on, and moves the ray off
    // the surface. Returns false when the photon ends: a negligible density,
    // weights at or below kMinPhotonWeight in every band, lost roulette, or
    // `max_depth` interactions reached.
    NORVI_HD bool scatter(const HitRecord& h, const MaterialData& m, const ShadingFrame& frame, float3 wo,
                          const float* spec, int num_bands, double* w, int rr_depth, int max_depth) {
        float3 wi;
        float pdf;
        sample_bsdf_from(rng_, m, wi, pdf);
        if (pdf < kMinSamplePdf) return false;
        const double cos_wi = fabsf(wi.z);
        const double p = pdf;
        float f[kPhotonBandChunk];
        for (int first = 0; first < num_bands; first += kPhotonBandChunk) {
            const int n = band_chunk(first, num_bands);
            eval_bsdf_span(m.type, m.spectral_offset, first, n, wo, wi, spec, num_bands, h.back_face,
                           /*thermal*/ false, f);
            double* wb = w + first;
            for (int i = 0; i < n; ++i) wb[i] *= static_cast<double>(f[i]) * cos_wi / p;
        }
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

}  // namespace norvi
