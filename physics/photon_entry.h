#pragma once
// Where sun and sky photons enter a scene, for the forward and flux photon
// engines.
//
// A finite scene is entered through its bounding box: a face is chosen with
// probability proportional to the area it shows to the light, and the photon
// starts 0.1 outside it. The returned area ratio (shown area over the box's
// top area) is the factor by which a photon's weight exceeds the top-face
// irradiance, so that energies stay per unit of horizontal area.
//
// A repetitive scene is entered through the horizontal plane 0.1 above the
// measurement height, at a start point chosen so that the photon crosses the
// measurement plane uniformly over the tile.

#include <cmath>

#include "scene/host_device.h"
#include "scene/periodic_wrap.h"
#include "scene/types.h"

namespace norvi {

// Distance outside the box, or above the measurement plane, at which photons start.
constexpr float kPhotonEntryOffset = 0.1f;

// Faces of the scene box, in the order sky photons choose them.
enum BoxFace : int { kFaceTop = 0, kFaceXMin = 1, kFaceXMax = 2, kFaceYMin = 3, kFaceYMax = 4 };

struct PhotonEntry {
    float3 origin;
    float3 inward_normal;  // of the face entered ((0, 0, -1) for the top and for tiles)
    int face;              // BoxFace
    double area_ratio;     // area shown to the light / top area of the box; 0 for a flat box
};

// Sun photon entering the box `b`; s is the unit vector toward the sun and
// r1, r2, r3 three uniform numbers. The face is chosen by r3 over the areas the
// faces project along s: the top, the x face the sun lights and the y face the
// sun lights.
NORVI_HD PhotonEntry sun_entry_box(float3 s, const SceneBounds& b, float r1, float r2, float r3) {
    const float wx = b.x_max - b.x_min;
    const float wy = b.y_max - b.y_min;
    const float h = b.top - b.bottom;
    const float a_top = fabsf(s.z) * wx * wy;
    const float a_x = fabsf(s.x) * wy * h;
    const float a_y = fabsf(s.y) * wx * h;
    const float a = a_top + a_x + a_y;
    const float v = r3 * a;

    PhotonEntry e;
    e.area_ratio = wx * wy > 0.0f ? static_cast<double>(a) / (static_cast<double>(wx) * wy) : 0.0;
    if (a_top > v || a <= 0.0f) {
        e.face = kFaceTop;
        e.origin = {b.x_min + wx * r2, b.y_min + wy * r1, b.top + kPhotonEntryOffset};
        e.inward_normal = {0.0f, 0.0f, -1.0f};
    } else if (a_top + a_x > v) {
        const bool xmax = s.x > 0.0f;
        e.face = xmax ? kFaceXMax : kFaceXMin;
        e.origin = {xmax ? b.x_max + kPhotonEntryOffset : b.x_min - kPhotonEntryOffset,
                    b.y_min + wy * r2, b.bottom + h * r1};
        e.inward_normal = {xmax ? -1.0f : 1.0f, 0.0f, 0.0f};
    } else {
        const bool ymax = s.y > 0.0f;
        e.face = ymax ? kFaceYMax : kFaceYMin;
        e.origin = {b.x_min + wx * r2,
                    ymax ? b.y_max + kPhotonEntryOffset : b.y_min - kPhotonEntryOffset,
                    b.bottom + h * r1};
        e.inward_normal = {0.0f, ymax ? -1.0f : 1.0f, 0.0f};
    }
    return e;
}

// Sky photon entering the box `b`: face chosen by r5 over the true face areas
// (top, x min, x max, y min, y max), start point uniform over it from r3, r4.
// The caller samples the direction about `inward_normal`.
NORVI_HD PhotonEntry sky_entry_box(const SceneBounds& b, float r3, float r4, float r5) {
    const float wx = b.x_max - b.x_min;
    const float wy = b.y_max - b.y_min;
    const float h = b.top - b.bottom;
    const float a_top = wx * wy;
    const float a_x = wy * h;
    const float a_y = wx * h;
    const float a = a_top + 2.0f * a_x + 2.0f * a_y;
    const float v = r5 * a;

    PhotonEntry e;
    e.area_ratio = a_top > 0.0f ? static_cast<double>(a) / a_top : 0.0;
    const float side_y = b.y_min + wy * r4;  // on an x face
    const float side_x = b.x_min + wx * r4;  // on a y face or the top
    const float side_z = b.bottom + h * r3;
    if (a_top > v || a <= 0.0f) {
        e.face = kFaceTop;
        e.origin = {side_x, b.y_min + wy * r3, b.top + kPhotonEntryOffset};
        e.inward_normal = {0.0f, 0.0f, -1.0f};
    } else if (a_top + a_x > v) {
        e.face = kFaceXMin;
        e.origin = {b.x_min - kPhotonEntryOffset, side_y, side_z};
        e.inward_normal = {1.0f, 0.0f, 0.0f};
    } else if (a_top + 2.0f * a_x > v) {
        e.face = kFaceXMax;
        e.origin = {b.x_max + kPhotonEntryOffset, side_y, side_z};
        e.inward_normal = {-1.0f, 0.0f, 0.0f};
    } else if (a_top + 2.0f * a_x + a_y > v) {
        e.face = kFaceYMin;
        e.origin = {side_x, b.y_min - kPhotonEntryOffset, side_z};
        e.inward_normal = {0.0f, 1.0f, 0.0f};
    } else {
        e.face = kFaceYMax;
        e.origin = {side_x, b.y_max + kPhotonEntryOffset, side_z};
        e.inward_normal = {0.0f, -1.0f, 0.0f};
    }
    return e;
}

// Start point above the tile for a photon travelling along d (d.z < 0) that
// must cross the plane z = plane at (u1 * size_x, u2 * size_y).
//
// The wrap through the tile walls assumes that the ray runs inside the tile
// column: from a start point outside it, it would take the wall where the
// photon enters for the one where it leaves; and it ignores walls closer than
// 1e-4 along the ray. So a start point outside the column is replaced by its
// image in the periodic landscape (whole tiles away), and kept 1 mm inside
// the walls (a lateral move of at most 1 mm, far below any cell size).
NORVI_HD PhotonEntry tile_entry(float3 d, float plane, float size_x, float size_y, float u1,
                                float u2) {
    constexpr float kWallMargin = 0.001f;
    const float back = kPhotonEntryOffset / fabsf(d.z);
    PhotonEntry e;
    e.origin = {u1 * size_x - back * d.x, u2 * size_y - back * d.y, plane + kPhotonEntryOffset};
    e.origin.x += periodic_tile_shift(e.origin.x, size_x);
    e.origin.y += periodic_tile_shift(e.origin.y, size_y);
    if (size_x > 2.0f * kWallMargin)
        e.origin.x = fminf(fmaxf(e.origin.x, kWallMargin), size_x - kWallMargin);
    if (size_y > 2.0f * kWallMargin)
        e.origin.y = fminf(fmaxf(e.origin.y, kWallMargin), size_y - kWallMargin);
    e.inward_normal = {0.0f, 0.0f, -1.0f};
    e.face = kFaceTop;
    e.area_ratio = 1.0;
    return e;
}

// Source of a photon when a sky is configured, from one uniform number u in
// [0, 1] (1 included): the sun with probability prob_sun. prob_sun = 1 makes
// every photon a sun photon even for u = 1, so no sky photon is ever weighted
// by 1 / (1 - prob_sun) = infinity.
NORVI_HD bool choose_sun(float u, float prob_sun) { return prob_sun >= 1.0f || u < prob_sun; }

// Energy factor of one photon: the horizontal area it stands for, divided by
// the probability of its source. Without a sky every photon is a sun photon
// with certainty, whatever prob_sun says.
NORVI_HD double photon_energy_factor(double area_per_photon, bool sky_configured, bool sun_photon,
                                     float prob_sun) {
    if (!sky_configured) return area_per_photon;
    return sun_photon ? area_per_photon / static_cast<double>(prob_sun)
                      : area_per_photon / (1.0 - static_cast<double>(prob_sun));
}

}  // namespace norvi
