#pragma once
// What one LiDAR ray brings back, written once for the CPU simulator and the
// GPU device program: the range bin and aperture energy of a beam sub-ray
// (waveform mode) and the first-return point of a pulse (direct mode), from
// the hit the caller traced.

#include <cmath>

#include "physics/lidar_formulas.h"
#include "scene/hit_record.h"
#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// The range window and detector of one simulation.
struct LidarWindow {
    float min_range = 0.0f;
    float max_range = 100.0f;
    float range_resolution = 0.15f;
    int num_bins = 0;
    float sensor_area = 0.1f;
};

// Sub-ray r from o that met `h`, carrying energy e (beam weight x pulse
// energy): false when it returns nothing (outside the window, or edge-on);
// otherwise its bin and the energy a unit reflectance sends into the
// aperture. The caller multiplies by the reflectance per wavelength.
NORVI_HD bool lidar_subray_return(const HitRecord& h, float3 o, float3 r, float e, const LidarWindow& w, int& bin,
                                  float& v) {
    if (!h.hit) return false;
    const float range = length(h.position - o);
    if (!(range >= w.min_range && range <= w.max_range)) return false;
    bin = lidar_range_bin(range, w.min_range, w.range_resolution);
    if (bin < 0 || bin >= w.num_bins) return false;
    const float c = fabsf(dot(r, h.shading_normal));
    if (c < kLidarEdgeOnCos) return false;
    v = lidar_lambert_return(c, e, w.sensor_area, range);
    return true;
}

// Direct mode: the first hit of pulse (o, d) inside the window, with its
// range and intensity for reflectance rho = spec[material offset]. False
// when the pulse returns nothing.
NORVI_HD bool lidar_direct_return(const HitRecord& h, float3 o, float3 d, float pulse_energy, const LidarWindow& w,
                                  const MaterialData* materials, const float* spec, float& range, float& intensity) {
    if (!h.hit) return false;
    range = length(h.position - o);
    if (!(range >= w.min_range && range <= w.max_range)) return false;
    const MaterialData& mat = materials[h.material_id];
    const float rho = spec[mat.spectral_offset];
    const float c = fabsf(dot(d, h.shading_normal));
    intensity = rho * lidar_lambert_return(c, pulse_energy, w.sensor_area, range);
    return true;
}

}  // namespace norvi
