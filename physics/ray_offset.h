#pragma once
// Origins of new rays that cannot hit the surface they leave: the position is
// moved a few units in the last place along the normal (a fixed absolute step
// near the coordinate origin, where ulps are tiny).

#include <cmath>
#include <cstdint>
#include <cstring>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// One coordinate moved by i ulps along its sign (or by the absolute step near 0).
NORVI_HD float offset_coordinate(float p, float n) {
    constexpr float kOrigin = 1.0f / 32.0f;
    constexpr float kFloatScale = 1.0f / 65536.0f;
    constexpr float kIntScale = 256.0f;
    if (fabsf(p) < kOrigin) return p + n * kFloatScale;
    int32_t i = static_cast<int32_t>(n * kIntScale);
    if (p < 0.0f) i = -i;
    int32_t bits;
    memcpy(&bits, &p, sizeof(bits));
    bits += i;
    float out;
    memcpy(&out, &bits, sizeof(out));
    return out;
}

// p moved off the surface along n. n must be the geometric normal turned to
// the side the new ray leaves into (see face_toward).
NORVI_HD float3 offset_ray_origin(float3 p, float3 n) {
    return float3{offset_coordinate(p.x, n.x), offset_coordinate(p.y, n.y),
                  offset_coordinate(p.z, n.z)};
}

// n, negated when it points away from d.
NORVI_HD float3 face_toward(float3 n, float3 d) { return dot(d, n) < 0.0f ? -n : n; }

}  // namespace norvi
