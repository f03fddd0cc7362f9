// Energy balance: module "raygen_eb_rrt". One launch covers every primitive
// (launch column) and sample (launch row); each launch index traces one
// sample of the shared per-primitive energy balance (physics/energy_balance.h)
// on each side asked for, and adds it, divided by the sample count, to the
// primitive's output: the outputs hold the mean over the samples.
//
// Rays: one miss record and one hit record per mesh and ray type (stride 2);
// nearest-hit rays carry the address of an EbHit in the two payload
// registers, which the closest-hit program fills; shadow rays start with
// payload 0 = kShadowOccluded and only the miss program writes (kNoHit).

#include "gpu/energy_balance_record.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"
#include "physics/energy_balance.h"
#include "scene/hit_record.h"

extern "C" {
__constant__ norvi::EnergyBalanceLaunchParams params;
}

namespace {

// Bands traced together by one sample; more bands are traced chunk by chunk
// with the same random stream, so the chunking changes nothing.
constexpr int kBandChunk = 16;

NORVI_HD ::float3 to_cuda(norvi::float3 v) { return make_float3(v.x, v.y, v.z); }

struct EbDeviceTracer {
    norvi::TraversableHandle handle;

    NORVI_HD norvi::EbHit closest(norvi::float3 o, norvi::float3 d) const {
        using namespace norvi::device;
        norvi::EbHit h;
        uint32_t p0, p1;
        pack_pointer(&h, p0, p1);
        optixTrace(handle, to_cuda(o), to_cuda(d), norvi::kRayTNear, norvi::kRayTFar, 255u,
                   OPTIX_RAY_FLAG_DISABLE_ANYHIT, kRayRadiance, kRayTypeCount, 0u, p0, p1);
        return h;
    }

    NORVI_HD bool any_hit(norvi::float3 o, norvi::float3 d, float tmax) const {
        using namespace norvi::device;
        uint32_t p0 = kShadowOccluded, p1 = 0;
        optixTrace(handle, to_cuda(o), to_cuda(d), norvi::kRayTNear, tmax, 255u,
                   OPTIX_RAY_FLAG_DISABLE_ANYHIT | OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT |
                       OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT,
                   kRayRadiance, kRayTypeCount, 0u, p0, p1);
        return p0 != kNoHit;
    }
};

// The scene half of the inputs: primitives, per-primitive temperatures and
// emissivities, the periodic tile and the sun.
NORVI_HD norvi::EbInputs scene_inputs(const norvi::EnergyBalanceLaunchParams& lp) {
    const norvi::SceneData& s = lp.scene;
    norvi::EbInputs in;
    in.n_primitives = s.num_primitives;
    in.sun = norvi::normalize(lp.sun_dir);
    in.temperatures = reinterpret_cast<const float*>(s.prim_temperatures);
    in.emissivities = reinterpret_cast<const float*>(s.prim_emissivities);
    in.num_repetitions = s.num_repetitions < norvi::kMaxPeriodicWraps ? s.num_repetitions : norvi::kMaxPeriodicWraps;
    in.tile_x = s.scene_x_size;
    in.tile_y = s.scene_y_size;
    in.top = s.scene_max.z;
    in.bottom = s.scene_min.z;
    return in;
}

struct Primitive {
    norvi::float3 v0, v1, v2, normal;
};

NORVI_HD Primitive primitive(const norvi::SceneData& s, unsigned int p) {
    const auto* v0 = reinterpret_cast<const norvi::float3*>(s.prim_v0);
    const auto* v1 = reinterpret_cast<const norvi::float3*>(s.prim_v1);
    const auto* v2 = reinterpret_cast<const norvi::float3*>(s.prim_v2);
    Primitive t{v0[p], v1[p], v2[p], {}};
    t.normal = norvi::eb_winding_normal(t.v0, t.v1, t.v2);
    return t;
}

}  // namespace

extern "C" __global__ void __raygen__eb_rrt() {
    const norvi::EnergyBalanceLaunchParams& lp = params;
    const ::uint3 idx = norvi::device::optixGetLaunchIndex();
    const unsigned int n = lp.scene.num_primitives;
    const unsigned int prim = static_cast<unsigned int>(lp.first_primitive) + idx.x;  // a range of primitives
    if (prim >= n || lp.n_samples < 1) return;

    norvi::EbInputs in = scene_inputs(lp);
    const float sun = lp.sun_irradiance;
    const float sky = lp.sky_diffuse_radiance;
    in.band_type = lp.band_type;
    in.n_bands = 1;
    in.sun_irradiance = &sun;
    in.sky_radiance = &sky;
    in.sky_lw_radiance = lp.sky_lw_radiance;
    in.albedos = reinterpret_cast<const float*>(lp.sw_albedos);

    const EbDeviceTracer tracer{lp.scene.traversable};
    const Primitive t = primitive(lp.scene, prim);
    float* out[2] = {reinterpret_cast<float*>(lp.top), reinterpret_cast<float*>(lp.bot)};
    for (int side = 0; side < 2 && out[side]; ++side) {
        double acc = 0.0;
        norvi::eb_sample(tracer, in, prim, t.v0, t.v1, t.v2, t.normal, side, static_cast<int>(idx.y), &acc);
        atomicAdd(out[side] + prim, static_cast<float>(acc / lp.n_samples));
    }
}

extern "C" __global__ void __raygen__eb_rrt_multiband() {
    const norvi::EnergyBalanceLaunchParams& lp = params;
    const ::uint3 idx = norvi::device::optixGetLaunchIndex();
    const unsigned int n = lp.scene.num_primitives;
    const unsigned int prim = static_cast<unsigned int>(lp.first_primitive) + idx.x;
    if (prim >= n || lp.n_samples < 1 || lp.n_bands < 1) return;

    const norvi::EbInputs scene = scene_inputs(lp);
    const auto* sun = reinterpret_cast<const float*>(lp.mb_sun_irradiance);
    const auto* sky = reinterpret_cast<const float*>(lp.mb_sky_diffuse_radiance);
    const auto* albedos = reinterpret_cast<const float*>(lp.mb_sw_albedos);

    const EbDeviceTracer tracer{lp.scene.traversable};
    const Primitive t = primitive(lp.scene, prim);
    float* out[2] = {reinterpret_cast<float*>(lp.mb_top), reinterpret_cast<float*>(lp.mb_bot)};
    for (int b0 = 0; b0 < lp.n_bands; b0 += kBandChunk) {
        norvi::EbInputs in = scene;
        in.band_type = 0;  // short-wave
        in.n_bands = lp.n_bands - b0 < kBandChunk ? lp.n_bands - b0 : kBandChunk;
        in.sun_irradiance = sun ? sun + b0 : nullptr;
        in.sky_radiance = sky ? sky + b0 : nullptr;
        in.albedos = albedos ? albedos + static_cast<size_t>(b0) * n : nullptr;
        for (int side = 0; side < 2 && out[side]; ++side) {
            double acc[kBandChunk] = {};
            norvi::eb_sample(tracer, in, prim, t.v0, t.v1, t.v2, t.normal, side, static_cast<int>(idx.y), acc);
            for (int b = 0; b < in.n_bands; ++b)
                atomicAdd(out[side] + static_cast<size_t>(b0 + b) * n + prim,
                          static_cast<float>(acc[b] / lp.n_samples));
        }
    }
}

// A missed nearest-hit ray leaves its EbHit as it was (no hit); a shadow ray
// that misses is marked free.
extern "C" __global__ void __miss__eb_rrt() { norvi::device::optixSetPayload_0(norvi::device::kNoHit); }

// Nearest hit: the global primitive index (the instance's first primitive
// plus the triangle's index in its mesh) and the primitive's unit winding
// normal, turned toward the ray's origin.
extern "C" __global__ void __closesthit__eb_rrt() {
    using namespace norvi::device;
    const norvi::SceneData& s = params.scene;
    norvi::EbHit* h = unpack_pointer<norvi::EbHit>(optixGetPayload_0(), optixGetPayload_1());
    const auto* offsets = reinterpret_cast<const int32_t*>(s.instance_prim_offsets);
    const long long prim = static_cast<long long>(offsets[optixGetInstanceId()]) + optixGetPrimitiveIndex();
    h->hit = true;
    h->t = optixGetRayTmax();
    h->prim = -1;  // blocks the sky, adds nothing
    if (prim < 0 || prim >= static_cast<long long>(s.num_primitives)) return;
    const auto* v0 = reinterpret_cast<const norvi::float3*>(s.prim_v0);
    const auto* v1 = reinterpret_cast<const norvi::float3*>(s.prim_v1);
    const auto* v2 = reinterpret_cast<const norvi::float3*>(s.prim_v2);
    norvi::float3 ng = norvi::eb_winding_normal(v0[prim], v1[prim], v2[prim]);
    const ::float3 d = optixGetWorldRayDirection();
    if (d.x * ng.x + d.y * ng.y + d.z * ng.z > 0.0f) ng = -ng;
    h->prim = prim;
    h->normal = ng;
}
