#pragma once
// One pixel sample of the backward renderer: camera ray, terrain following,
// periodic entry, then the path with direct sunlight, thermal emission, BSDF
// sampling, roulette, periodic wraps and sky / solar disk on escape.
//
// The ray queries go through a Tracer (trace(o, d) -> HitRecord,
// occluded(o, d) -> bool), so that the same path code can be run with a
// tracer that counts or records rays.

#include <cmath>
#include <cstdint>

#include "physics/bsdf.h"
#include "physics/camera.h"
#include "physics/pcg32.h"
#include "physics/ray_offset.h"
#include "physics/roulette.h"
#include "physics/shading_frame.h"
#include "physics/sun_sky.h"
#include "physics/terrain_following.h"
#include "physics/thermal.h"
#include "scene/embree_scene.h"
#include "scene/periodic_wrap.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi::embree {

// Everything a path reads, taken from the scene once per render.
struct BackwardSetup {
    const float* spectral = nullptr;
    int num_bands = 1;
    const MaterialData* materials = nullptr;
    int num_materials = 0;
    SensorData sensor{};
    bool terrain_following = false;
    // sun: unit direction toward it, or absent
    bool sun = false;
    float3 sun_direction{0, 0, 0};
    int sun_offset = 0;
    // skies: parametric (offset >= 0) wins over constant
    int hw_sky_offset = -1;
    float3 hw_sky_sun{0, 0, 1};
    int sky_offset = -1;
    // periodic tiling
    bool repetitive = false;
    int num_repetitions = 0;  // wraps per path, at most kMaxPeriodicWraps
    float tile_x = 0, tile_y = 0;
    // the scene's height range (terrain following, periodic entry)
    float top = 0, bottom = 0;
    float wrap_bottom = 0, wrap_top = 0;  // height range of what is traced
    // thermal mode: one wavelength [nm] per band
    bool thermal = false;
    const float* wavelengths = nullptr;
    int max_depth = 16;
    int rr_depth = 3;
};

// Ray queries straight on the scene.
struct SceneTracer {
    const EmbreeSceneManager* scene;
    HitRecord trace(float3 o, float3 d) const { return scene->trace_ray(o, d); }
    bool occluded(float3 o, float3 d) const { return scene->occluded_periodic(o, d); }
};

// Seeds of the generator of one pixel sample.
inline uint64_t backward_seed_state(int pass, long long pixel) {
    return static_cast<uint64_t>(pass) * 1000003ULL + static_cast<uint64_t>(pixel);
}
inline uint64_t backward_seed_sequence(int pass) {
    return static_cast<uint64_t>(pass) * 7919ULL + 1ULL;
}

// Light escaping the scene along d: the solar disk on the first segment
// outside thermal mode, otherwise the sky.
inline void add_escape(const BackwardSetup& c, float3 d, int bounce, const double* throughput,
                       double* radiance) {
    const int nb = c.num_bands;
    if (bounce == 0 && !c.thermal && c.sun && in_solar_disk(d, c.sun_direction)) {
        for (int b = 0; b < nb; ++b)
            radiance[b] += double(solar_disk_radiance(c.spectral[c.sun_offset + b])) * throughput[b];
    } else if (c.hw_sky_offset >= 0) {
        for (int b = 0; b < nb; ++b)
            radiance[b] +=
                double(sky_radiance(c.spectral, c.hw_sky_offset, d, b, c.hw_sky_sun)) * throughput[b];
    } else if (c.sky_offset >= 0) {
        for (int b = 0; b < nb; ++b) radiance[b] += double(c.spectral[c.sky_offset + b]) * throughput[b];
    }
}

// Per-path band arrays, num_bands values each, owned by the caller and reused.
struct PathBands {
    double* throughput;
    double* radiance;  // what the path collects
    float* f;          // reflectance values of the current interaction
};

// Follows one path from (o, d) and leaves what it collects in bands.radiance.
template <class Tracer>
void trace_backward_path(const BackwardSetup& c, const Tracer& tracer, Pcg32& rng, float3 o,
                         float3 d, const PathBands& bands) {
    const int nb = c.num_bands;
    double* throughput = bands.throughput;
    double* radiance = bands.radiance;
    float* f = bands.f;
    for (int b = 0; b < nb; ++b) {
        throughput[b] = 1.0;
        radiance[b] = 0.0;
    }
    if (c.max_depth < 1) return;
    int bounce = 0;
    int wraps = 0;
    for (;;) {
        const HitRecord hit = tracer.trace(o, d);
        if (!hit.hit) {
            if (c.repetitive && wraps < c.num_repetitions &&
                periodic_wrap_in_scene(o, d, c.tile_x, c.tile_y, c.wrap_bottom, c.wrap_top) >= 0.0f) {
                ++wraps;
                continue;
            }
            add_escape(c, d, bounce, throughput, radiance);
            return;
        }
        if (hit.material_id < 0 || hit.material_id >= c.num_materials) return;  // checked before rendering
        const MaterialData& mat = c.materials[hit.material_id];
        const int mo = mat.spectral_offset;
        const ShadingFrame frame = make_shading_frame(hit.shading_normal);
        const float3 wo = to_local(frame, -d);

        if (c.thermal) {
            bool shaded = true;
            if (has_sunlit_shaded_temperatures(mat) && c.sun) {
                const float3 so = offset_ray_origin(hit.position, face_toward(hit.geometric_normal, c.sun_direction));
                shaded = tracer.occluded(so, c.sun_direction);
            }
            const float temperature = emission_temperature(mat, shaded);
            if (temperature > 0.0f) {
                for (int b = 0; b < nb; ++b) {
                    const float emitted = planck_radiance_nm(c.wavelengths[b], temperature) * c.spectral[mo + b];
                    radiance[b] += double(emitted) * throughput[b];
                }
            }
        } else if (c.sun) {
            const float cos_l = dot(c.sun_direction, frame.n);
            if (sun_tried(mat.type, cos_l)) {
                const float3 so = offset_ray_origin(hit.position, face_toward(hit.geometric_normal, c.sun_direction));
                if (fabsf(cos_l) > 0.0f && !tracer.occluded(so, c.sun_direction)) {
                    const float3 wl = to_local(frame, c.sun_direction);
                    const double cl = fabs(double(cos_l));
                    eval_bsdf_bands(mat.type, mo, wo, wl, c.spectral, nb, hit.back_face, false, f);
                    const float* e = c.spectral + c.sun_offset;
                    for (int b = 0; b < nb; ++b) radiance[b] += double(e[b]) * double(f[b]) * throughput[b] * cl;
                }
            }
        }

        // Scatter.
        float3 wi;
        float pdf;
        sample_bsdf_from(rng, mat, wi, pdf);
        if (pdf < kMinSamplePdf || !(fabsf(wi.z) > 0.0f)) return;
        const double weight = fabs(double(wi.z)) / double(pdf);  // |cos| / pdf, the same for every band
        eval_bsdf_bands(mat.type, mo, wo, wi, c.spectral, nb, hit.back_face, c.thermal, f);
        for (int b = 0; b < nb; ++b) throughput[b] = (double(f[b]) * weight) * throughput[b];
        if (!throughput_alive(throughput, nb)) return;
        if (bounce >= c.rr_depth) {
            const float p = roulette_survival(throughput, nb);
            if (rng.next_float() >= p) return;
            const double inv = 1.0 / double(p);
            for (int b = 0; b < nb; ++b) throughput[b] *= inv;
        }
        d = normalize(to_world(frame, wi));
        o = offset_ray_origin(hit.position, face_toward(hit.geometric_normal, d));
        if (++bounce >= c.max_depth) return;
    }
}

// One sample of pixel (x, y) in pass `pass`: leaves its radiance in
// bands.radiance (zero when the sample is dropped).
template <class Tracer>
void trace_backward_sample(const BackwardSetup& c, const Tracer& tracer, int x, int y, int pass,
                           const PathBands& bands) {
    const SensorData& s = c.sensor;
    Pcg32 rng;
    rng.seed(backward_seed_state(pass, static_cast<long long>(y) * s.width + x), backward_seed_sequence(pass));
    const float d1 = rng.next_float();
    const float d2 = rng.next_float();
    const float u = (d1 + static_cast<float>(x)) / static_cast<float>(s.width) - 0.5f;
    const float v = (d2 + static_cast<float>(y)) / static_cast<float>(s.height) - 0.5f;

    float3 o, d;
    const CameraRay kind = generate_camera_ray(s, u, v, o, d);
    if (kind == CameraRay::kDropped) {
        for (int b = 0; b < c.num_bands; ++b) bands.radiance[b] = 0.0;
        return;
    }
    if (kind == CameraRay::kCamera) {
        float3 probe;
        if (c.terrain_following && s.type == kSensorOrthographic && terrain_probe_origin(o, d, probe)) {
            const HitRecord g = tracer.trace(probe, float3{0.0f, 0.0f, -1.0f});
            if (g.hit) o = terrain_following_origin(probe, g.t, d, c.top, c.bottom);
        }
        if (c.repetitive) periodic_entry(o, d, c.tile_x, c.tile_y, c.top);
    }
    trace_backward_path(c, tracer, rng, o, d, bands);
}

}  // namespace norvi::embree
