// Not a module: compiled to PTX by the build check only, so that every
// mapping in optix_device.h is emitted and its intrinsic call can be read
// back, and so that nvcc checks the record layouts the host asserts.

#include "gpu/device_records.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"

using namespace norvi::device;

extern "C" {
__constant__ norvi::LaunchParams params;
}

extern "C" __global__ void __raygen__probe() {
    const uint3 idx = optixGetLaunchIndex();
    const uint3 dim = optixGetLaunchDimensions();
    unsigned int p0 = idx.x + idx.y * dim.x + idx.z * dim.z, p1 = dim.y;
    optixTrace(params.scene.traversable, make_float3(1.0f, 2.0f, 3.0f), make_float3(0.0f, 0.0f, -1.0f), 0.0f,
               1e16f, 255u, OPTIX_RAY_FLAG_DISABLE_ANYHIT, 0u, 2u, 0u, p0, p1);
    auto* film = reinterpret_cast<float*>(params.film);
    film[idx.x] = __uint_as_float(p0) + __uint_as_float(p1);
}

extern "C" __global__ void __closesthit__probe() {
    const auto* hg = reinterpret_cast<const norvi::HitGroupData*>(optixGetSbtDataPointer());
    const float2 b = optixGetTriangleBarycentrics();
    const float3 o = optixGetWorldRayOrigin();
    const float3 d = optixGetWorldRayDirection();
    const float t = optixGetRayTmax();
    const unsigned int id = optixGetPrimitiveIndex() + optixGetInstanceId() + optixGetInstanceIndex() +
                            static_cast<unsigned int>(hg->material_id) + (optixIsBackFaceHit() ? 1u : 0u);
    const float w = optixTransformPointFromObjectToWorldSpace(o).x + optixTransformNormalFromObjectToWorldSpace(d).y;
    optixSetPayload_0(id + optixGetPayload_0() + static_cast<unsigned int>(w));
    optixSetPayload_1(__float_as_uint(b.x + b.y + (o.x + o.y + o.z) * t + d.x + d.y + d.z) + optixGetPayload_1());
}

extern "C" __global__ void __anyhit__probe() {
    if (optixGetPrimitiveIndex() == 0) optixTerminateRay();
}
