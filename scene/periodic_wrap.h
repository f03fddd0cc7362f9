#pragma once
// Periodic landscapes: the scene is one tile 0 <= x <= X, 0 <= y <= Y of an
// infinite landscape. A ray leaving the tile through a side wall re-enters
// through the opposite wall; a ray arriving from outside is first brought into
// the tile column.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"

namespace norvi {

// Moves p along d to the first side wall it crosses and shifts it to the
// opposite wall (z follows the ray). A y crossing nearer than the x crossing
// wins. Returns the distance travelled, or a negative value (p unchanged) when
// the ray crosses no wall.
NORVI_HD float periodic_wrap(float3& p, float3 d, float size_x, float size_y) {
    constexpr float kTMin = 1e-4f;
    constexpr float kTMax = 1e16f;
    constexpr float kParallel = 1e-8f;
    float tx = kTMax;
    bool has_x = false;
    if (fabsf(d.x) > kParallel) {
        const float t0 = -p.x / d.x;
        const float t1 = (size_x - p.x) / d.x;
        if (t0 > kTMin && t0 < tx) { tx = t0; has_x = true; }
        if (t1 > kTMin && t1 < tx) { tx = t1; has_x = true; }
    }
    if (!has_x && fabsf(d.y) <= kParallel) return -1.0f;
    float ty = tx;
    bool has_y = false;
    if (fabsf(d.y) > kParallel) {
        const float t0 = -p.y / d.y;
        const float t1 = (size_y - p.y) / d.y;
        if (t0 > kTMin && t0 < ty) { ty = t0; has_y = true; }
        if (t1 > kTMin && t1 < ty) { ty = t1; has_y = true; }
    }
    float t;
    if (has_y) {
        p.x += d.x * ty;
        p.y = p.y + d.y * ty + (d.y > 0.0f ? -size_y : size_y);
        t = ty;
    } else if (has_x) {
        p.y += d.y * tx;
        p.x = p.x + d.x * tx + (d.x > 0.0f ? -size_x : size_x);
        t = tx;
    } else {
        return -1.0f;
    }
    p.z += d.z * t;
    return t;
}

// Most wraps any ray makes, whatever the repetition count: enough for a ray
// a fraction of a degree above the horizon to cross a canopy layer of tiles,
// and a bound on the work of one that never leaves it.
constexpr int kMaxPeriodicWraps = 100000;

// periodic_wrap for a ray that can still meet the scene, whose geometry lies
// between the heights bottom and top: a ray above the top going up (or below
// the bottom going down) meets nothing in any tile and is not moved.
NORVI_HD float periodic_wrap_in_scene(float3& p, float3 d, float size_x, float size_y,
                                      float bottom, float top) {
    if ((p.z > top && d.z >= 0.0f) || (p.z < bottom && d.z <= 0.0f)) return -1.0f;
    return periodic_wrap(p, d, size_x, size_y);
}

// Whole tiles to subtract from a coordinate so that the reference coordinate r
// falls into [0, size] (truncation toward zero, as the tiling is counted).
NORVI_HD float periodic_tile_shift(float r, float size) {
    if (r > size) return -truncf(r / size) * size;
    if (r < 0.0f) return truncf((size - r) / size) * size;
    return 0.0f;
}

// Brings a camera ray arriving from anywhere into the tile column: a
// whole-tile shift of the origin chosen where the ray crosses the top of the
// scene (or at the origin when it starts below it or does not descend), then,
// if the origin still lies outside the column, a move along the ray to where
// it enters, clamped just inside the walls.
NORVI_HD void periodic_entry(float3& o, float3 d, float size_x, float size_y, float top) {
    float rx = o.x;
    float ry = o.y;
    if (o.z > top && d.z < -1e-8f) {
        const float t = (top - o.z) / d.z;
        rx = o.x + t * d.x;
        ry = o.y + t * d.y;
    }
    o.x += periodic_tile_shift(rx, size_x);
    o.y += periodic_tile_shift(ry, size_y);

    float tx = -1.0f;
    float ty = -1.0f;
    if (o.x < 0.0f && d.x > 1e-8f) tx = -o.x / d.x;
    else if (o.x > size_x && d.x < -1e-8f) tx = (size_x - o.x) / d.x;
    if (o.y < 0.0f && d.y > 1e-8f) ty = -o.y / d.y;
    else if (o.y > size_y && d.y < -1e-8f) ty = (size_y - o.y) / d.y;
    const bool has_x = tx > 0.0f;
    const bool has_y = ty > 0.0f;
    float t;
    if (has_x) t = (has_y && ty > tx) ? ty : tx;
    else if (has_y) t = ty;
    else return;
    o = float3{o.x + t * d.x, o.y + t * d.y, o.z + t * d.z};
    o.x = fminf(fmaxf(o.x, 0.001f), size_x - 0.001f);
    o.y = fminf(fmaxf(o.y, 0.001f), size_y - 0.001f);
}

}  // namespace norvi
