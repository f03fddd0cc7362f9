#pragma once
// Local shading frame at a hit: S, T, N with N the shading normal and
// S = T x N. Local coordinates are (v.S, v.T, v.N); local z > 0 is the side
// the incoming ray came from (the scene turns normals toward the ray).

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

struct ShadingFrame {
    float3 s;  // first tangent
    float3 t;  // second tangent
    float3 n;  // shading normal
};

// Tangent from the larger of the two components that are not x (or y), so the
// division never meets a zero length for a unit normal.
NORVI_HD ShadingFrame make_shading_frame(float3 n) {
    float3 t;
    if (fabsf(n.x) <= fabsf(n.y)) {
        const float len = sqrtf(n.y * n.y + n.z * n.z);
        t = float3{0.0f, n.z / len, -n.y / len};
    } else {
        const float len = sqrtf(n.x * n.x + n.z * n.z);
        t = float3{n.z / len, 0.0f, -n.x / len};
    }
    return ShadingFrame{cross(t, n), t, n};
}

NORVI_HD float3 to_local(const ShadingFrame& f, float3 v) {
    return float3{dot(v, f.s), dot(v, f.t), dot(v, f.n)};
}

NORVI_HD float3 to_world(const ShadingFrame& f, float3 v) {
    return f.s * v.x + f.t * v.y + f.n * v.z;
}

}  // namespace norvi
