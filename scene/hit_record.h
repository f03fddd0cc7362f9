#pragma once
// The closest hit of a ray as every engine reads it, and the ray extent both
// back ends trace with.

#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

// Rays start this far along their direction and end this far away.
constexpr float kRayTNear = 1e-4f;
constexpr float kRayTFar = 1e16f;

struct HitRecord {
    float t;                  // distance along the (unit) direction
    float3 position;          // origin + t * direction
    float3 shading_normal;    // on the side the ray came from
    float3 geometric_normal;  // faces the side the ray came from
    int material_id;
    int prim_id;              // triangle index within the mesh
    int instance_id;
    bool hit;
    bool back_face;           // the ray met the side opposite to the winding normal
};

}  // namespace norvi
