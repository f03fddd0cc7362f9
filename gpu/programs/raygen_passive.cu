// Passive microwave images: module "raygen_passive". Each launch index is one
// pixel, which runs the shared per-pixel estimator (physics/mw_path.h) with
// its own random-number state, loaded from and stored back to the launch's
// state buffer, so a second run continues every pixel's stream.

#include "gpu/mw_records.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"
#include "physics/mw_path.h"
#include "scene/hit_record.h"

extern "C" {
__constant__ norvi::MwLaunchParams params;
}

namespace {

// Ray queries through optixTrace on the launch's scene: the microwave hit
// program fills the HitRecord whose address the payload carries; a miss
// leaves hit = false.
struct MwDeviceTracer {
    norvi::TraversableHandle handle;

    NORVI_HD norvi::HitRecord trace(norvi::float3 o, norvi::float3 d) const {
        using namespace norvi::device;
        norvi::HitRecord rec{};
        rec.hit = false;
        uint32_t p0, p1;
        pack_pointer(&rec, p0, p1);
        optixTrace(handle, make_float3(o.x, o.y, o.z), make_float3(d.x, d.y, d.z), norvi::kRayTNear,
                   norvi::kRayTFar, 255u, OPTIX_RAY_FLAG_DISABLE_ANYHIT, kRayRadiance, kRayTypeCount, kRayRadiance,
                   p0, p1);
        return rec;
    }
};

NORVI_HD norvi::MwSetup setup_of(const norvi::MwLaunchParams& lp) {
    norvi::MwSetup c;
    c.materials = reinterpret_cast<const norvi::MwMaterialRecord*>(lp.materials);
    c.num_materials = lp.materials ? lp.num_materials : 0;
    c.material_map = reinterpret_cast<const int32_t*>(lp.material_map);
    // The host pads the map to the scene's material count, and every mesh
    // names one of those materials, so any hit's material is in range.
    c.map_size = lp.material_map ? 0x7FFFFFFF : 0;
    c.frequency = lp.frequency;
    c.air_temperature = lp.air_temperature;
    c.atm_tau = lp.atm_tau;
    c.sensor = lp.sensor;
    c.n_channels = lp.n_channels;
    c.spp = lp.spp;
    c.max_depth = lp.max_depth;
    c.repetitive = lp.num_repetitions >= 1 && lp.scene_x_size > 0.0f && lp.scene_y_size > 0.0f;
    c.num_repetitions =
        lp.num_repetitions < norvi::kMaxPeriodicWraps ? lp.num_repetitions : norvi::kMaxPeriodicWraps;
    c.tile_x = lp.scene_x_size;
    c.tile_y = lp.scene_y_size;
    c.top = lp.scene_top;
    return c;
}

}  // namespace

extern "C" __global__ void __raygen__passive_mw() {
    using namespace norvi::device;
    const norvi::MwLaunchParams& lp = params;
    const ::uint3 idx = optixGetLaunchIndex();
    if (idx.x >= lp.width || idx.y >= lp.height) return;
    const int nc = lp.n_channels;
    if (nc != 1 && nc != 2 && nc != 4) return;

    const norvi::MwSetup c = setup_of(lp);
    const MwDeviceTracer tracer{lp.traversable};
    const unsigned long long pixel = static_cast<unsigned long long>(idx.y) * lp.width + idx.x;
    norvi::Pcg32* states = reinterpret_cast<norvi::Pcg32*>(lp.rngs);
    norvi::Pcg32 rng = states[pixel];
    float* film = reinterpret_cast<float*>(lp.film) + pixel * static_cast<unsigned long long>(nc);
    norvi::mw_pixel(c, tracer, rng, static_cast<int>(idx.x), static_cast<int>(idx.y), film);
    states[pixel] = rng;
}
