// Passive microwave surface hits: module "closesthit_mw". Fills the caller's
// HitRecord as the CPU scene's trace_ray does for what the microwave path
// reads: distance, position, the winding normal (v1 - v0) x (v2 - v0) carried
// through the instance and turned toward the ray, and the mesh's optical
// material.

#include "gpu/device_records.h"
#include "gpu/programs/optix_device.h"
#include "gpu/programs/payload.h"
#include "scene/hit_record.h"
#include "scene/vec_math.h"

extern "C" __global__ void __closesthit__mw_radiance() {
    using namespace norvi::device;
    using norvi::float3;
    const auto& mesh = *reinterpret_cast<const norvi::HitGroupData*>(optixGetSbtDataPointer());
    norvi::HitRecord* rec = unpack_pointer<norvi::HitRecord>(optixGetPayload_0(), optixGetPayload_1());

    const unsigned int prim = optixGetPrimitiveIndex();
    const norvi::int3 tri = reinterpret_cast<const norvi::int3*>(mesh.indices)[prim];
    const float3* v = reinterpret_cast<const float3*>(mesh.vertices);
    const float3 e1 = v[tri.y] - v[tri.x], e2 = v[tri.z] - v[tri.x];
    const float3 n = norvi::cross(e1, e2);
    float m[12];
    optixGetObjectToWorldTransformMatrix(m);
    float3 ng = norvi::normalize(float3{m[0] * n.x + m[1] * n.y + m[2] * n.z, m[4] * n.x + m[5] * n.y + m[6] * n.z,
                                        m[8] * n.x + m[9] * n.y + m[10] * n.z});

    const ::float3 o = optixGetWorldRayOrigin();
    const ::float3 d = optixGetWorldRayDirection();
    const float t = optixGetRayTmax();
    const float3 dir{d.x, d.y, d.z};
    rec->hit = true;
    rec->t = t;
    rec->position = float3{o.x, o.y, o.z} + dir * t;
    rec->instance_id = static_cast<int>(optixGetInstanceId());
    rec->prim_id = static_cast<int>(prim);
    rec->material_id = mesh.material_id;
    rec->back_face = norvi::dot(dir, ng) > 0.0f;
    if (rec->back_face) ng = -ng;
    rec->geometric_normal = ng;
    rec->shading_normal = ng;
}
