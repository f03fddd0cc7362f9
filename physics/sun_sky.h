#pragma once
// Light arriving from outside the scene: the directional sun (direct light and
// the visible solar disk) and the two sky models.

#include <cmath>

#include "physics/bsdf.h"
#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// The solar disk: the cone of directions with cos >= 0.999989 around the sun
// (an angular radius of 0.269 degrees).
constexpr double kSolarDiskCos = 0.999989;
// The cone as a bound on the squared chord between unit vectors,
// |d - L|^2 = 2 (1 - cos). The chord is barely moved by rounding in the unit
// lengths, whereas a cosine this close to 1 is: one float step below 1 is
// already 0.5 % of 1 - cos.
constexpr float kSolarDiskChord2 = static_cast<float>(2.0 * (1.0 - kSolarDiskCos));
// Solid angle of the cone, 2 pi (1 - cos) [sr].
constexpr float kSolarDiskSolidAngle =
    static_cast<float>(2.0 * 3.14159265358979323846 * (1.0 - kSolarDiskCos));

// Whether an escaping direction d (unit) looks into the solar disk around the
// unit sun direction L.
NORVI_HD bool in_solar_disk(float3 d, float3 sun_direction) {
    const float3 chord = d - sun_direction;
    return dot(chord, chord) <= kSolarDiskChord2;
}

// Radiance of the solar disk for a sun irradiance E (on a plane facing the
// sun): E spread evenly over the disk's solid angle, so that the disk
// integrates to exactly E.
NORVI_HD float solar_disk_radiance(float irradiance) { return irradiance / kSolarDiskSolidAngle; }

// Direct sunlight is tried where the sun lies on the lit side (cos_l > 0), and
// at every leaf whatever the side: sunlight passes through leaves.
NORVI_HD bool sun_tried(MaterialType type, float cos_l) {
    return cos_l > 0.0f || type == MaterialType::TwoSidedLeaf;
}

// Parametric sky radiance of band `band` toward direction d (unit, pointing up
// into the sky) for a sky sun direction `sun`. Ten coefficients per band at
// spectral[offset + 10 band + i]; c9 is the zenith radiance, c0..c8 shape the
// angular distribution relative to the zenith.
NORVI_HD float sky_radiance(const float* spectral, int offset, float3 d, int band, float3 sun) {
    const float* c = spectral + offset + 10 * band;
    if (c[9] <= 0.0f) return 0.0f;
    const float cos_t = fmaxf(d.z, 0.001f);
    const float cos_g = fminf(fmaxf(dot(d, sun), -1.0f), 1.0f);
    const float g = acosf(cos_g);
    const float f_dir = (1.0f + c[0] * expf(c[1] / cos_t)) *
                        (1.0f + c[2] * expf(c[3] * g) + c[4] * cos_g * cos_g +
                         c[5] * expf(c[6] * g * g) + c[7] * sqrtf(cos_t) + c[8]);
    const float ts = acosf(fminf(fmaxf(sun.z, 0.0f), 1.0f));
    const float cos_ts = cosf(ts);
    float f_zen = (1.0f + c[0] * expf(c[1])) *
                  (1.0f + c[2] * expf(c[3] * ts) + c[4] * cos_ts * cos_ts +
                   c[5] * expf(c[6] * ts * ts) + c[7] + c[8]);
    f_zen = fmaxf(f_zen, 0.001f);
    return fmaxf(c[9] * f_dir / f_zen, 0.0f);
}

}  // namespace norvi
