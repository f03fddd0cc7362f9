#pragma once
// The two ray queries of the main pipeline on a launch's scene, shared by the
// backward and photon programs' tracers: the nearest hit (radiance ray type,
// the closest-hit program fills the caller's HitRecord) and whether anything
// lies along a segment (shadow ray type, only the shadow miss program runs).

#include "gpu/device_records.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"
#include "scene/hit_record.h"

namespace norvi::device {

NORVI_HD ::float3 to_cuda(norvi::float3 v) { return make_float3(v.x, v.y, v.z); }

// Nearest hit along (o, d); hit = false when the ray escapes.
NORVI_HD norvi::HitRecord trace_nearest(norvi::TraversableHandle handle, norvi::float3 o, norvi::float3 d) {
    norvi::HitRecord rec{};
    rec.hit = false;
    uint32_t p0, p1;
    pack_pointer(&rec, p0, p1);
    optixTrace(handle, to_cuda(o), to_cuda(d), norvi::kRayTNear, norvi::kRayTFar, 255u,
               OPTIX_RAY_FLAG_DISABLE_ANYHIT, kRayRadiance, kRayTypeCount, kRayRadiance, p0, p1);
    return rec;
}

// Whether anything lies along (o, d) within tmax: the shadow miss program
// marks the ray visible, nothing else runs.
NORVI_HD bool segment_occluded(norvi::TraversableHandle handle, norvi::float3 o, norvi::float3 d, float tmax) {
    uint32_t p0 = kShadowOccluded, p1 = 0;
    optixTrace(handle, to_cuda(o), to_cuda(d), norvi::kRayTNear, tmax, 255u,
               OPTIX_RAY_FLAG_DISABLE_ANYHIT | OPTIX_RAY_FLAG_TERMINATE_ON_FIRST_HIT |
                   OPTIX_RAY_FLAG_DISABLE_CLOSESTHIT,
               kRayShadow, kRayTypeCount, kRayShadow, p0, p1);
    return p0 == kShadowOccluded;
}

}  // namespace norvi::device
