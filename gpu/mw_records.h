#pragma once
// The launch record of the passive microwave pipeline (280 bytes), read by
// raygen_passive and filled by Simulator::simulate_microwave. Same rules as
// gpu/device_records.h: fixed-width fields, value-initialised before filling,
// every offset fixed by a static_assert under both compilers.

#include <cstddef>
#include <cstdint>

#include "gpu/device_records.h"
#include "scene/types.h"

namespace norvi {

struct MwLaunchParams {
    DevicePtr film;  // float[num_pixels * n_channels], channel fastest
    uint32_t width, height;
    int32_t n_channels;
    uint32_t zero0;
    TraversableHandle traversable;
    DevicePtr materials;  // MwMaterialRecord[num_materials]
    int32_t num_materials;
    uint32_t zero1;
    DevicePtr material_map;  // int32 per optical material of the scene (-1: none); 0 when no map
    float frequency;         // [Hz]
    float wavelength;        // [m]
    float air_temperature;   // [K]
    float atm_tau;           // nadir optical depth
    SensorData sensor;
    int32_t max_depth;
    int32_t spp;
    uint64_t zero2;
    DevicePtr hits;  // 52 bytes per pixel
    DevicePtr rngs;  // Pcg32 {state, inc} per pixel
    uint32_t num_pixels;
    uint32_t zero3[4];
    float scene_x_size;
    float scene_y_size;
    float scene_top;
    int32_t num_repetitions;
    uint32_t zero4;
};

static_assert(sizeof(MwLaunchParams) == 280 && alignof(MwLaunchParams) == 8, "MwLaunchParams is 280 bytes");
static_assert(offsetof(MwLaunchParams, film) == 0, "");
static_assert(offsetof(MwLaunchParams, width) == 8, "");
static_assert(offsetof(MwLaunchParams, height) == 12, "");
static_assert(offsetof(MwLaunchParams, n_channels) == 16, "");
static_assert(offsetof(MwLaunchParams, traversable) == 24, "");
static_assert(offsetof(MwLaunchParams, materials) == 32, "");
static_assert(offsetof(MwLaunchParams, num_materials) == 40, "");
static_assert(offsetof(MwLaunchParams, material_map) == 48, "");
static_assert(offsetof(MwLaunchParams, frequency) == 56, "");
static_assert(offsetof(MwLaunchParams, wavelength) == 60, "");
static_assert(offsetof(MwLaunchParams, air_temperature) == 64, "");
static_assert(offsetof(MwLaunchParams, atm_tau) == 68, "");
static_assert(offsetof(MwLaunchParams, sensor) == 72, "");
static_assert(offsetof(MwLaunchParams, max_depth) == 208, "");
static_assert(offsetof(MwLaunchParams, spp) == 212, "");
static_assert(offsetof(MwLaunchParams, hits) == 224, "");
static_assert(offsetof(MwLaunchParams, rngs) == 232, "");
static_assert(offsetof(MwLaunchParams, num_pixels) == 240, "");
static_assert(offsetof(MwLaunchParams, scene_x_size) == 260, "");
static_assert(offsetof(MwLaunchParams, scene_y_size) == 264, "");
static_assert(offsetof(MwLaunchParams, scene_top) == 268, "");
static_assert(offsetof(MwLaunchParams, num_repetitions) == 272, "");

// Bytes per pixel of the microwave hit buffer.
constexpr std::size_t kMwHitBytes = 52;

}  // namespace norvi
