#pragma once
// Terrain following for orthographic sensors: each pixel looks, along the
// sensor's own direction, at the surface vertically below its footprint on
// z = 0, wherever that surface lies in height. A vertical probe finds the
// surface; the pixel ray is then moved along its line to start just outside
// the scene's height range.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// Longest move back along the view: reached only by near-horizontal views.
constexpr float kTerrainMaxBackoff = 100000.0f;

// Start of the probe for the pixel ray (o, d): its footprint on z = 0 at the
// sensor's height. The probe is traced straight down, (0, 0, -1), from there.
// False when the view runs parallel to z = 0 and has no footprint.
NORVI_HD bool terrain_probe_origin(float3 o, float3 d, float3& probe) {
    if (!(fabsf(d.z) > 1e-12f)) return false;
    const float t0 = -o.z / d.z;
    probe = float3{o.x + t0 * d.x, o.y + t0 * d.y, o.z};
    return true;
}

// Origin of the pixel ray along d through the probe's hit, at distance t below
// `probe`. The ray starts clear of the scene's height range [bottom, top]
// (above it for a downward view, below it for an upward one), so everything
// between the sensor and the hit lies ahead of it, and no farther back: a hit
// is placed only as exactly as the ray's length allows. From 100 km back one
// float step is 8 mm, and hits land millimetres above or below the surface,
// where the surface then shadows its own sun.
NORVI_HD float3 terrain_following_origin(float3 probe, float t, float3 d, float top, float bottom) {
    const float ground_z = probe.z - t;
    // Clearance beyond the height range: well above the rounding of the
    // probe's hit at any coordinate magnitude.
    const float clearance = 1.0f + 1e-3f * fmaxf(fabsf(top), fabsf(bottom));
    const float rise = d.z < 0.0f ? top + clearance - ground_z : ground_z - bottom + clearance;
    const float back = fminf(fmaxf(rise, clearance) / fabsf(d.z), kTerrainMaxBackoff);
    return float3{probe.x - back * d.x, probe.y - back * d.y, ground_z - back * d.z};
}

}  // namespace norvi
