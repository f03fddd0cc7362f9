#pragma once
// Small vector algebra on norvi::float3, usable from host and device code.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

NORVI_HD float3 make_f3(float x, float y, float z) { return float3{x, y, z}; }

NORVI_HD float3 operator+(float3 a, float3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
NORVI_HD float3 operator-(float3 a, float3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
NORVI_HD float3 operator-(float3 a) { return {-a.x, -a.y, -a.z}; }
NORVI_HD float3 operator*(float3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
NORVI_HD float3 operator*(float s, float3 a) { return {a.x * s, a.y * s, a.z * s}; }
NORVI_HD float3 operator/(float3 a, float s) { return {a.x / s, a.y / s, a.z / s}; }

NORVI_HD float dot(float3 a, float3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

NORVI_HD float3 cross(float3 a, float3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

NORVI_HD float length(float3 a) { return sqrtf(dot(a, a)); }

// Unit vector along a; the zero vector stays zero. A vector whose squared
// length over- or underflows in single precision is scaled by its largest
// component first.
NORVI_HD float3 normalize(float3 a) {
    const float len2 = dot(a, a);
    if (len2 > 1e-30f && len2 < 1e30f) return a * (1.0f / sqrtf(len2));
    const float m = fmaxf(fabsf(a.x), fmaxf(fabsf(a.y), fabsf(a.z)));
    if (!(m > 0.0f) || !(m <= 3.4028235e38f)) return a;  // zero, or not finite
    const float3 s = a / m;  // 1 / m could overflow
    return s * (1.0f / sqrtf(dot(s, s)));
}

// Row-major 3x4 affine transform [R | t] (12 floats).
NORVI_HD float3 xform_point(const float* m, float3 p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
            m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

// The 3x3 part R of a row-major 3x4 transform applied to a direction.
NORVI_HD float3 xform_vector(const float* m, float3 v) {
    return {m[0] * v.x + m[1] * v.y + m[2] * v.z,
            m[4] * v.x + m[5] * v.y + m[6] * v.z,
            m[8] * v.x + m[9] * v.y + m[10] * v.z};
}

}  // namespace norvi
