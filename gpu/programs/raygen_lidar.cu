// LiDAR pulses: module "raygen_lidar". Launch index (sample, pulse).
// Waveform mode: each index traces one beam sub-ray of its pulse and adds its
// aperture energy per wavelength to the pulse's raw range histogram, by atomic
// additions. Direct mode (one index per pulse): the first hit inside the range
// window becomes one point (x, y, z, intensity, pulse index), stored at the
// next free slot of the point buffer.

#include "gpu/lidar_records.h"
#include "gpu/programs/photon_device.h"
#include "physics/lidar_formulas.h"
#include "physics/lidar_pulse.h"

extern "C" {
__constant__ norvi::LidarLaunchRecord params;
}

namespace {

NORVI_HD norvi::float3 load3(norvi::DevicePtr base, int i) {
    const float* v = reinterpret_cast<const float*>(base) + 3 * static_cast<long long>(i);
    return norvi::float3{v[0], v[1], v[2]};
}

}  // namespace

extern "C" __global__ void __raygen__lidar() {
    using namespace norvi::device;
    const norvi::LidarLaunchRecord& lp = params;
    const ::uint3 idx = optixGetLaunchIndex();
    const int sample = static_cast<int>(idx.x);
    const int pulse = static_cast<int>(idx.y);
    if (pulse >= lp.num_pulses || sample >= lp.num_samples) return;

    norvi::LidarWindow w;
    w.min_range = lp.min_range;
    w.max_range = lp.max_range;
    w.range_resolution = lp.range_resolution;
    w.num_bins = lp.num_bins;
    w.sensor_area = lp.sensor_area;
    const auto* materials = reinterpret_cast<const norvi::MaterialData*>(lp.scene.materials);
    const auto* spec = reinterpret_cast<const float*>(lp.scene.spectral_params);
    const norvi::device::PhotonTracer tracer = norvi::device::photon_tracer(lp.scene);
    const norvi::float3 o = load3(lp.origins, pulse);
    const norvi::float3 d = load3(lp.directions, pulse);

    if (lp.direct_mode) {
        const norvi::HitRecord h = tracer.trace(o, d);
        if (h.hit && (h.material_id < 0 || h.material_id >= static_cast<int>(lp.scene.num_materials))) return;
        float range, intensity;
        if (!norvi::lidar_direct_return(h, o, d, lp.pulse_energy, w, materials, spec, range, intensity)) return;
        const unsigned int slot = atomicAdd(reinterpret_cast<unsigned int*>(lp.direct_counter), 1u);
        if (slot >= static_cast<unsigned int>(lp.direct_pulses)) return;
        float* rec = reinterpret_cast<float*>(lp.direct_points) + norvi::kLidarDevicePointFloats * slot;
        rec[0] = h.position.x;
        rec[1] = h.position.y;
        rec[2] = h.position.z;
        rec[3] = intensity;
        rec[4] = static_cast<float>(pulse);
        return;
    }

    const float* xy = reinterpret_cast<const float*>(lp.beam_xy);
    const float weight = reinterpret_cast<const float*>(lp.beam_w)[sample];
    const norvi::float3 axis_a = norvi::lidar_beam_axis_a(d);
    const norvi::float3 axis_b = norvi::cross(axis_a, d);
    const norvi::float3 r =
        norvi::lidar_beam_ray(d, axis_a, axis_b, xy[2 * sample], xy[2 * sample + 1], tanf(lp.beam_half_angle_rad));
    const norvi::HitRecord h = tracer.trace(o, r);
    int bin;
    float v;
    if (!norvi::lidar_subray_return(h, o, r, weight * lp.pulse_energy, w, bin, v)) return;
    if (h.material_id < 0 || h.material_id >= static_cast<int>(lp.scene.num_materials)) return;
    const norvi::MaterialData& mat = materials[h.material_id];
    const int nb = static_cast<int>(lp.num_bands);
    float* dst = reinterpret_cast<float*>(lp.waveform) +
                 (static_cast<long long>(pulse) * lp.num_bins + bin) * lp.num_wavelengths;
    for (int l = 0; l < lp.num_wavelengths; ++l) {
        const float e = spec[norvi::lidar_reflectance_index(mat.type, mat.spectral_offset, nb, h.back_face, l)] * v;
        if (e > 0.0f) atomicAdd(dst + l, e);
    }
}
