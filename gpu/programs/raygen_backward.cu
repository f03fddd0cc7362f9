// Backward rendering: module "raygen_backward". One launch is one pass: each
// launch index is one pixel, which traces one sample of the shared backward
// path (physics/backward_path.h) with the scene record of the launch, and
// folds it into the film, which holds the mean over the passes made. The path's per-band
// throughput and radiance live in the tp and rad working buffers of the
// launch (one float per pixel and band).

#include "gpu/device_records.h"
#include "gpu/programs/scene_queries.h"
#include "physics/backward_path.h"

extern "C" {
__constant__ norvi::LaunchParams params;
}

namespace {

// Ray queries on the launch's scene; shadow rays wrap through the periodic tiles.
struct DeviceTracer {
    norvi::TraversableHandle handle;
    int wrap_budget;  // periodic tiles: wraps per shadow ray, 0 without tiling
    float size_x, size_y;
    float bottom, top;  // height range of the geometry

    NORVI_HD norvi::HitRecord trace(norvi::float3 o, norvi::float3 d) const {
        return norvi::device::trace_nearest(handle, o, d);
    }
    NORVI_HD bool shadow(norvi::float3 o, norvi::float3 d, float tmax) const {
        return norvi::device::segment_occluded(handle, o, d, tmax);
    }

    NORVI_HD bool occluded(norvi::float3 o, norvi::float3 d) const {
        const auto query = [this](norvi::float3 qo, norvi::float3 qd, float tmax) { return shadow(qo, qd, tmax); };
        return norvi::occluded_through_tiles(query, o, d, wrap_budget, size_x, size_y, bottom, top, norvi::kRayTFar);
    }
};

NORVI_HD norvi::BackwardSetup setup_of(const norvi::LaunchParams& lp) {
    const norvi::SceneData& s = lp.scene;
    norvi::BackwardSetup c;
    c.spectral = reinterpret_cast<const float*>(s.spectral_params);
    c.num_bands = static_cast<int>(lp.num_bands);
    c.materials = reinterpret_cast<const norvi::MaterialData*>(s.materials);
    c.num_materials = static_cast<int>(s.num_materials);
    c.sensor = s.sensor;
    c.terrain_following = s.terrain_following;
    if (s.emitter) {
        const auto& e = *reinterpret_cast<const norvi::EmitterData*>(s.emitter);
        c.sun = e.direction.x != 0.0f || e.direction.y != 0.0f || e.direction.z != 0.0f;
        c.sun_direction = norvi::normalize(e.direction);
        c.sun_offset = e.spectral_offset;
    }
    c.hw_sky_offset = s.hw_sky_offset;
    c.hw_sky_sun = s.hw_sky_sun;
    c.sky_offset = s.sky;
    c.repetitive = s.num_repetitions >= 1 && s.scene_x_size > 0.0f && s.scene_y_size > 0.0f;
    c.num_repetitions = s.num_repetitions < norvi::kMaxPeriodicWraps ? s.num_repetitions : norvi::kMaxPeriodicWraps;
    c.tile_x = s.scene_x_size;
    c.tile_y = s.scene_y_size;
    c.top = s.scene_max.z;
    c.bottom = s.scene_min.z;
    c.wrap_bottom = s.scene_min.z;
    c.wrap_top = s.scene_max.z;
    c.thermal = s.thermal;
    c.wavelengths = reinterpret_cast<const float*>(s.thermal_wavelengths);
    c.max_depth = lp.max_depth;
    c.rr_depth = lp.rr_depth;
    c.instance_prim_offsets = reinterpret_cast<const int32_t*>(s.instance_prim_offsets);
    // Instance ids come from the instance acceleration structure built over
    // exactly the instances of the offsets table, so they are always in range.
    c.num_instances = 0x7FFFFFFF;
    c.num_primitives = s.num_primitives;
    c.prim_temperatures = reinterpret_cast<const float*>(s.prim_temperatures);
    c.sif_spectra = reinterpret_cast<const float*>(s.prim_sif_spectra);
    c.n_sif_bands = static_cast<int>(s.n_sif_bands);
    c.sif_only = s.sif_only;
    return c;
}

}  // namespace

extern "C" __global__ void __raygen__backward() {
    using namespace norvi::device;
    const norvi::LaunchParams& lp = params;
    const ::uint3 idx = optixGetLaunchIndex();
    if (idx.x >= lp.width || idx.y >= lp.height) return;
    const int nb = static_cast<int>(lp.num_bands);
    if (nb < 1 || nb > norvi::kMaxGpuBands) return;

    const norvi::BackwardSetup c = setup_of(lp);
    const DeviceTracer tracer{lp.scene.traversable, c.num_repetitions, lp.scene.scene_x_size,
                              lp.scene.scene_y_size, c.wrap_bottom, c.wrap_top};
    const unsigned long long pixel = static_cast<unsigned long long>(idx.y) * lp.width + idx.x;
    float* tp = reinterpret_cast<float*>(lp.tp) + pixel * nb;
    float* rad = reinterpret_cast<float*>(lp.rad) + pixel * nb;
    float f[norvi::kMaxGpuBands];
    const norvi::PathBandsT<float> bands{tp, rad, f};
    // Launch row idx.y renders sensor row first_row + idx.y (a band of rows).
    norvi::trace_backward_sample(c, tracer, static_cast<int>(idx.x), lp.first_row + static_cast<int>(idx.y), lp.pass,
                                 bands);

    // The film holds the mean of the passes so far: exact for a constant
    // radiance, whatever the pass count.
    float* film = reinterpret_cast<float*>(lp.film) + pixel * nb;
    const float passes = static_cast<float>(lp.pass + 1);
    for (int b = 0; b < nb; ++b) film[b] += (rad[b] - film[b]) / passes;
}
