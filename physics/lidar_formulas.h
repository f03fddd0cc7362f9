#pragma once
// LiDAR formulas shared by the CPU simulator and the GPU device programs: the
// beam pattern's sample grid and weights, the sub-ray directions inside the beam
// cone, the range bins, the Gaussian pulse width and its taps, and the energy a
// Lambertian surface sends back into the receiver aperture.
//
// Everything here is plain single-precision arithmetic on plain values.

#include <cmath>

#include "scene/host_device.h"
#include "scene/types.h"
#include "scene/vec_math.h"

namespace norvi {

// Speed of light in metres per nanosecond.
constexpr float kLidarSpeedOfLight = 0.29979247f;
// Full width at half maximum of a Gaussian over its standard deviation.
constexpr float kLidarFwhmPerSigma = 2.35482f;
// Variance of the Gaussian beam profile over the unit disc of offsets.
constexpr float kLidarBeamVariance = 0.50016385f;
// Grid points with r^2 up to this bound lie on the disc (edge kept despite rounding).
constexpr float kLidarBeamDiscR2 = 1.0001f;
// Sub-rays meeting a surface with |cos| below this are edge-on and return nothing.
constexpr float kLidarEdgeOnCos = 1e-6f;
constexpr float kLidarInvPi = 0.31830987f;

// --- beam pattern ------------------------------------------------------------
// Offset of grid index i (0..n) on [-1, 1] for n intervals per dimension.
NORVI_HD float lidar_beam_grid_offset(int i, int n) {
    return 2.0f * static_cast<float>(i) / static_cast<float>(n) - 1.0f;
}

// Whether an offset pair at squared radius r2 lies on the beam disc.
NORVI_HD bool lidar_beam_on_disc(float r2) { return r2 <= kLidarBeamDiscR2; }

// Unnormalised Gaussian weight of an offset pair at squared radius r2.
NORVI_HD float lidar_beam_weight(float r2) { return expf(-0.5f * r2 / kLidarBeamVariance); }

// Unit vector A perpendicular to the pulse direction d; B = A x d completes the frame.
NORVI_HD float3 lidar_beam_axis_a(float3 d) {
    if (fabsf(d.x) > fabsf(d.y)) {
        const float inv = 1.0f / sqrtf(d.x * d.x + d.z * d.z);
        return {d.z * inv, 0.0f, -d.x * inv};
    }
    const float inv = 1.0f / sqrtf(d.y * d.y + d.z * d.z);
    return {0.0f, d.z * inv, -d.y * inv};
}

// Direction of the beam sub-ray with offsets (a, b), t = tan(beam half-angle):
// the local vector (a t, b t, 1) normalised, mapped onto (B, A, d), normalised again.
NORVI_HD float3 lidar_beam_ray(float3 d, float3 axis_a, float3 axis_b, float a, float b, float t) {
    const float at = a * t;
    const float bt = b * t;
    const float s = 1.0f / sqrtf(at * at + bt * bt + 1.0f);
    return normalize(axis_b * (s * at) + axis_a * (s * bt) + d * s);
}

// --- range bins ----------------------------------------------------------------
// Bins of width res covering [min_range, max_range], the end included.
NORVI_HD int lidar_num_bins(float min_range, float max_range, float res) {
    return static_cast<int>((max_range - min_range) / res) + 1;
}

// Bin of a range R already inside [min_range, max_range]; callers drop bins
// outside 0 .. num_bins - 1.
NORVI_HD int lidar_range_bin(float range, float min_range, float res) {
    return static_cast<int>((range - min_range) / res);
}

// Range at the centre of bin k.
NORVI_HD float lidar_bin_centre(int k, float min_range, float res) {
    return (static_cast<float>(k) + 0.5f) * res + min_range;
}

// --- pulse shape -----------------------------------------------------------------
// Standard deviation in range (metres) of a Gaussian pulse of the given FWHM in
// time: half the round-trip distance light covers in that time.
NORVI_HD float lidar_pulse_sigma(float fwhm_ns) {
    return fwhm_ns * kLidarSpeedOfLight * 0.5f / kLidarFwhmPerSigma;
}

// Half width K of the kernel in bins: the 3 sigma reach, truncated. The kernel
// has 2K + 3 taps, one more on each side.
NORVI_HD int lidar_kernel_half_width(float sigma, float res) {
    return static_cast<int>(3.0f * sigma / res);
}

// Largest beam half-angle (radians, just below pi/2): the sub-rays are spread
// by tan() of it.
constexpr float kLidarMaxHalfAngle = 1.5707963f;

// Unnormalised tap of the kernel at bin shift j. The centre tap is 1 however
// narrow the pulse: a sigma whose square underflows to 0 gives the kernel's
// limit, a single tap, instead of 0 / 0.
NORVI_HD float lidar_kernel_tap(int j, float sigma, float res) {
    if (j == 0) return 1.0f;
    const float x = static_cast<float>(j) * res;
    return expf(-0.5f * x * x / (sigma * sigma));
}

// --- reflectance -----------------------------------------------------------------
// Index into the spectral array of the LiDAR reflectance at wavelength index l
// for a material (kind, spectral offset) hit on the given face: the first
// spectral array, or for a two-sided leaf seen from its back the second one
// (its back reflectance). num_bands is the scene's band count.
NORVI_HD int lidar_reflectance_index(MaterialType kind, int spectral_offset, int num_bands,
                                     bool back_face, int l) {
    const bool back = kind == MaterialType::TwoSidedLeaf && back_face;
    return spectral_offset + (back ? num_bands : 0) + l;
}

// --- returned energy ---------------------------------------------------------------
// Energy a Lambertian surface of unit reflectance at range R, seen at |cos| c,
// sends into the receiver aperture from a sub-ray carrying energy e:
// c e (area / R^2) / pi.
NORVI_HD float lidar_lambert_return(float c, float e, float area, float range) {
    return c * e * (area / (range * range)) * kLidarInvPi;
}

}  // namespace norvi
