// Device programs of the emulated-GPU tests: one ray per launch index, traced
// with the settings of the launch record; closest-hit and miss programs write
// what OptiX tells them into the launch index's result.

#include "gpu/programs/optix_device.h"
#include "tests/cpp/emu_test_records.h"

using namespace norvi::device;
using norvi::test::EmuHit;
using norvi::test::EmuTestParams;

extern "C" {
__constant__ EmuTestParams params;
}

extern "C" __global__ void __raygen__emu_test() {
    const unsigned int i = optixGetLaunchIndex().x + optixGetLaunchIndex().y * optixGetLaunchDimensions().x;
    const float* ray = reinterpret_cast<const float*>(params.rays) + 6 * i;
    unsigned int p0 = 0xDEADu, p1 = i;
    optixTrace(params.handle, make_float3(ray[0], ray[1], ray[2]), make_float3(ray[3], ray[4], ray[5]),
               params.tmin, params.tmax, params.mask, params.flags, params.sbt_offset, params.sbt_stride,
               params.miss_index, p0, p1);
    EmuHit& out = reinterpret_cast<EmuHit*>(params.hits)[i];
    out.payload0 = p0;
    out.payload1 = p1;
}

extern "C" __global__ void __closesthit__emu_test() {
    const unsigned int i = optixGetPayload_1();
    EmuHit& out = reinterpret_cast<EmuHit*>(params.hits)[i];
    const float2 b = optixGetTriangleBarycentrics();
    out.t = optixGetRayTmax();
    out.primitive = optixGetPrimitiveIndex();
    out.instance_index = optixGetInstanceIndex();
    out.instance_id = optixGetInstanceId();
    out.u = b.x;
    out.v = b.y;
    out.back_face = optixIsBackFaceHit() ? 1u : 0u;
    const float3 o = optixGetWorldRayOrigin(), d = optixGetWorldRayDirection();
    out.world_point = optixTransformPointFromObjectToWorldSpace(make_float3(0.0f, 0.0f, 0.0f));
    out.hit_point = make_float3(o.x + out.t * d.x, o.y + out.t * d.y, o.z + out.t * d.z);
    optixSetPayload_0(*reinterpret_cast<const unsigned int*>(optixGetSbtDataPointer()));
}

extern "C" __global__ void __miss__emu_test() {
    optixSetPayload_0(*reinterpret_cast<const unsigned int*>(optixGetSbtDataPointer()));
}

// Reads hit state where OptiX allows none.
extern "C" __global__ void __miss__emu_bad() { optixSetPayload_0(optixGetPrimitiveIndex()); }
