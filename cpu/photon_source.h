#pragma once
// Photon emission for the forward and flux engines: chooses the sun or the
// sky, where the photon enters the scene, its direction, its per-band weight
// and its energy factor. Everything the photon needs from the scene is copied
// once per call into this plain record.
//
// Weights are irradiance on a horizontal plane: a sun photon carries E |s.z|
// (times the area ratio of the box faces it may enter), a sky photon pi L
// (cosine-weighted directions; pi L is the irradiance of a uniform sky). The
// energy factor is the horizontal area one photon stands for over the
// probability of its source.

#include <vector>

#include "physics/bsdf.h"
#include "physics/photon_entry.h"
#include "physics/shading_frame.h"
#include "physics/sun_sky.h"
#include "scene/embree_scene.h"
#include "scene/vec_math.h"

namespace norvi::embree {

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

    bool has_sky() const { return hw_sky_offset >= 0 || sky_offset >= 0; }

    // A sun at or near the horizon (|s.z| < 0.01, or no emitter at all)
    // sends no photon at all, not even from the sky; so does an undefined one.
    bool active() const { return fabsf(sun.z) >= 0.01f; }

    // Emits one photon from the uniform numbers drawn by `u()`, writing its
    // weights to w[0 .. num_bands). Returns false when it carries nothing
    // (sun below the horizon, a grazing sky sample).
    template <typename Uniform>
    bool emit(Uniform&& u, EmittedPhoton& out, double* w) const;

private:
    template <typename Uniform>
    bool emit_sun_(Uniform&& u, EmittedPhoton& out, double* w) const;
    template <typename Uniform>
    bool emit_sky_(Uniform&& u, EmittedPhoton& out, double* w) const;
};

// Horizontal extent the photon engines tally over, from the world origin: the
// tile of a repetitive scene when both tile sizes are above 0 (whatever the
// repetition count), otherwise the sensor footprint (ortho_w, ortho_h).
struct PhotonExtent {
    bool tile = false;  // the tile of a repetitive scene, not the sensor footprint
    float x = 0.0f;
    float y = 0.0f;
    double area_per_photon = 0.0;  // x * y / photon count; 0 without photons
};
PhotonExtent photon_extent(const EmbreeSceneManager& scene, int num_photons);

// The source of one engine call. tile_x, tile_y: extent over which repetitive
// scenes are entered; area_per_photon: extent area / photon count.
PhotonSource make_photon_source(const EmbreeSceneManager& scene, int num_bands, float prob_sun,
                                float tile_x, float tile_y, double area_per_photon);

template <typename Uniform>
bool PhotonSource::emit(Uniform&& u, EmittedPhoton& out, double* w) const {
    bool sun_photon = true;
    if (has_sky()) sun_photon = choose_sun(u(), prob_sun);
    out.factor = photon_energy_factor(area_per_photon, has_sky(), sun_photon, prob_sun);
    return sun_photon ? emit_sun_(u, out, w) : emit_sky_(u, out, w);
}

template <typename Uniform>
bool PhotonSource::emit_sun_(Uniform&& u, EmittedPhoton& out, double* w) const {
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
bool PhotonSource::emit_sky_(Uniform&& u, EmittedPhoton& out, double* w) const {
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
        const float radiance = hw_sky_offset >= 0
                                   ? sky_radiance(spec, hw_sky_offset, look, b, hw_sky_sun)
                                   : spec[sky_offset + b];
        w[b] = static_cast<double>(radiance) * scale;
    }
    return true;
}

}  // namespace norvi::embree
