#pragma once
// Launch record of the energy-balance runs (936 bytes), the device variable
// "params" of "raygen_eb_rrt". The single-band run fills the fields from
// band_type to sw_albedos, the multiband run n_bands and the mb_ fields;
// everything else stays zero. Read by g++ (host) and nvcc (gpu/programs).

#include <cstddef>
#include <cstdint>

#include "gpu/device_records.h"

namespace norvi {

struct EnergyBalanceLaunchParams {
    uint8_t zero0[16];
    SceneData scene;
    uint8_t zero1[384];
    // Single band.
    int32_t band_type;  // 0 short-wave, 1 long-wave
    int32_t n_samples;  // both runs
    float sun_irradiance;
    float sky_diffuse_radiance;
    float sky_lw_radiance;
    float3 sun_dir;  // toward the sun, as given (both runs)
    DevicePtr top;         // float[n_primitives]
    DevicePtr bot;         // float[n_primitives], 0 when one-sided
    DevicePtr sw_albedos;  // float[n_primitives], 0 when absent
    int32_t first_primitive;  // launch index 0's primitive (both runs): a range; 0 for all
    uint8_t zero2[32];
    // Multiband.
    int32_t n_bands;
    DevicePtr mb_sun_irradiance;        // float[n_bands]
    DevicePtr mb_sky_diffuse_radiance;  // float[n_bands]
    DevicePtr mb_top;                   // float[n_bands * n_primitives], band-major
    DevicePtr mb_bot;                   // the same, 0 when one-sided
    DevicePtr mb_sw_albedos;            // float[n_bands * n_primitives], 0 when absent
};

static_assert(sizeof(EnergyBalanceLaunchParams) == 936 && alignof(EnergyBalanceLaunchParams) == 8,
              "EnergyBalanceLaunchParams is 936 bytes");
static_assert(offsetof(EnergyBalanceLaunchParams, scene) == 16, "");
static_assert(offsetof(EnergyBalanceLaunchParams, band_type) == 800, "");
static_assert(offsetof(EnergyBalanceLaunchParams, n_samples) == 804, "");
static_assert(offsetof(EnergyBalanceLaunchParams, sun_irradiance) == 808, "");
static_assert(offsetof(EnergyBalanceLaunchParams, sky_diffuse_radiance) == 812, "");
static_assert(offsetof(EnergyBalanceLaunchParams, sky_lw_radiance) == 816, "");
static_assert(offsetof(EnergyBalanceLaunchParams, sun_dir) == 820, "");
static_assert(offsetof(EnergyBalanceLaunchParams, top) == 832, "");
static_assert(offsetof(EnergyBalanceLaunchParams, bot) == 840, "");
static_assert(offsetof(EnergyBalanceLaunchParams, sw_albedos) == 848, "");
static_assert(offsetof(EnergyBalanceLaunchParams, first_primitive) == 856, "");
static_assert(offsetof(EnergyBalanceLaunchParams, n_bands) == 892, "");
static_assert(offsetof(EnergyBalanceLaunchParams, mb_sun_irradiance) == 896, "");
static_assert(offsetof(EnergyBalanceLaunchParams, mb_sky_diffuse_radiance) == 904, "");
static_assert(offsetof(EnergyBalanceLaunchParams, mb_top) == 912, "");
static_assert(offsetof(EnergyBalanceLaunchParams, mb_bot) == 920, "");
static_assert(offsetof(EnergyBalanceLaunchParams, mb_sw_albedos) == 928, "");

}  // namespace norvi
