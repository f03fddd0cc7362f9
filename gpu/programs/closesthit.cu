// Closest-hit programs of the main pipeline: module "closesthit".
//
// The radiance program describes the hit exactly as the CPU scene's
// trace_ray does, so the shared path code sees the same record on both back
// ends: the mesh's winding normal (v1 - v0) x (v2 - v0) and the interpolated
// vertex normal, both carried through the instance's 3x3 part and
// normalised; the geometric normal turned toward the ray and the shading
// normal onto its side.

#include "gpu/device_records.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"
#include "scene/hit_record.h"
#include "scene/vec_math.h"

namespace {

using norvi::device::optixGetObjectToWorldTransformMatrix;

NORVI_HD norvi::float3 from_cuda(::float3 v) { return norvi::float3{v.x, v.y, v.z}; }

NORVI_HD norvi::float3 rotate(const float* m, norvi::float3 v) {
    return norvi::float3{m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
                         m[8] * v.x + m[9] * v.y + m[10] * v.z};
}

}  // namespace

extern "C" __global__ void __closesthit__radiance() {
    using namespace norvi::device;
    using norvi::float3;
    const auto& mesh = *reinterpret_cast<const norvi::HitGroupData*>(optixGetSbtDataPointer());
    norvi::HitRecord* rec = unpack_pointer<norvi::HitRecord>(optixGetPayload_0(), optixGetPayload_1());

    const unsigned int prim = optixGetPrimitiveIndex();
    const norvi::int3 tri = reinterpret_cast<const norvi::int3*>(mesh.indices)[prim];
    const float3* v = reinterpret_cast<const float3*>(mesh.vertices);
    const float3 v0 = v[tri.x], v1 = v[tri.y], v2 = v[tri.z];

    float m[12];
    optixGetObjectToWorldTransformMatrix(m);
    float3 ng = norvi::normalize(rotate(m, norvi::cross(v1 - v0, v2 - v0)));
    float3 ns = ng;
    if (mesh.normals) {
        const float3* n = reinterpret_cast<const float3*>(mesh.normals);
        const ::float2 b = optixGetTriangleBarycentrics();
        ns = norvi::normalize(rotate(m, n[tri.x] * (1.0f - b.x - b.y) + n[tri.y] * b.x + n[tri.z] * b.y));
    }

    const float3 o = from_cuda(optixGetWorldRayOrigin());
    const float3 d = from_cuda(optixGetWorldRayDirection());
    const float t = optixGetRayTmax();
    rec->hit = true;
    rec->t = t;
    rec->position = o + d * t;
    rec->instance_id = static_cast<int>(optixGetInstanceId());
    rec->prim_id = static_cast<int>(prim);
    rec->material_id = mesh.material_id;
    rec->back_face = norvi::dot(d, ng) > 0.0f;
    if (rec->back_face) ng = -ng;
    if (norvi::dot(ng, ns) < 0.0f) ns = -ns;
    rec->geometric_normal = ng;
    rec->shading_normal = ns;
}

// Shadow rays are traced with closest-hit programs disabled; should one run
// anyway, the ray is blocked.
extern "C" __global__ void __closesthit__shadow() { norvi::device::optixSetPayload_0(norvi::device::kShadowOccluded); }
