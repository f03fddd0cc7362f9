#pragma once
// What the photon ray-generation programs share: the launch's scene as the
// tracer of the shared photon walk (physics/photon_path.h), the photon source
// read from the scene record, and the global index of a launch's photon.

#include "gpu/photon_records.h"
#include "gpu/programs/scene_queries.h"
#include "physics/photon_path.h"
#include "scene/periodic_wrap.h"

namespace norvi::device {

// Ray queries through optixTrace; a tiled scene wraps photons through the
// tile walls within the height range of its geometry.
struct PhotonTracer {
    norvi::TraversableHandle handle;
    bool tiled;
    int budget;
    float size_x, size_y;
    float bottom, top;

    NORVI_HD norvi::HitRecord trace(norvi::float3 o, norvi::float3 d) const { return trace_nearest(handle, o, d); }
    NORVI_HD bool shadow(norvi::float3 o, norvi::float3 d, float tmax) const {
        return segment_occluded(handle, o, d, tmax);
    }
    NORVI_HD bool occluded(norvi::float3 o, norvi::float3 d) const {
        const auto query = [this](norvi::float3 qo, norvi::float3 qd, float tmax) { return shadow(qo, qd, tmax); };
        return norvi::occluded_through_tiles(query, o, d, tiled ? budget : 0, size_x, size_y, bottom, top,
                                             norvi::kRayTFar);
    }
    NORVI_HD bool repetitive() const { return tiled; }
    NORVI_HD int wrap_budget() const { return budget; }
    NORVI_HD bool wrap(norvi::float3& p, norvi::float3 d) const {
        return norvi::periodic_wrap_in_scene(p, d, size_x, size_y, bottom, top) >= 0.0f;
    }
};

NORVI_HD PhotonTracer photon_tracer(const norvi::SceneData& s) {
    PhotonTracer t;
    t.handle = s.traversable;
    t.tiled = s.num_repetitions >= 1 && s.scene_x_size > 0.0f && s.scene_y_size > 0.0f;
    t.budget = s.num_repetitions < norvi::kMaxPeriodicWraps ? s.num_repetitions : norvi::kMaxPeriodicWraps;
    t.size_x = s.scene_x_size;
    t.size_y = s.scene_y_size;
    t.bottom = s.scene_min.z;
    t.top = s.scene_max.z;
    return t;
}

// The photon source of a launch; repetitive scenes are entered over
// tile_x x tile_y.
NORVI_HD norvi::PhotonSource photon_source(const norvi::PhotonLaunchParams& lp, float tile_x, float tile_y) {
    const norvi::SceneData& s = lp.scene;
    norvi::PhotonSource src;
    src.spec = reinterpret_cast<const float*>(s.spectral_params);
    src.num_bands = static_cast<int>(lp.num_bands);
    if (s.emitter) {
        const auto& e = *reinterpret_cast<const norvi::EmitterData*>(s.emitter);
        src.sun = e.direction;
        src.sun_offset = e.spectral_offset;
    }
    src.hw_sky_offset = s.hw_sky_offset;
    src.hw_sky_sun = s.hw_sky_sun;
    src.sky_offset = s.sky;
    src.repetitive = s.num_repetitions >= 1 && s.scene_x_size > 0.0f && s.scene_y_size > 0.0f;
    src.plane = s.measurement_height;
    src.tile_x = tile_x;
    src.tile_y = tile_y;
    src.box.x_min = s.scene_min.x;
    src.box.x_max = s.scene_max.x;
    src.box.y_min = s.scene_min.y;
    src.box.y_max = s.scene_max.y;
    src.box.bottom = s.scene_min.z;
    src.box.top = s.scene_max.z;
    src.area_per_photon = lp.photon_energy;
    src.prob_sun = lp.prob_sun;
    return src;
}

// Run-wide index of this launch's photon, or -1 past the batch. Every batch
// but the last holds kPhotonLaunchBatch photons; a part of a run starts at
// first_photon.
NORVI_HD int launch_photon(const norvi::PhotonLaunchParams& lp) {
    const ::uint3 idx = optixGetLaunchIndex();
    const long long local = static_cast<long long>(idx.y) * lp.width + idx.x;
    if (idx.x >= lp.width || local >= lp.batch_photons) return -1;
    return static_cast<int>(lp.first_photon + static_cast<long long>(lp.batch) * norvi::kPhotonLaunchBatch + local);
}

}  // namespace norvi::device
