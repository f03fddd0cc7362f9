#pragma once
// Launch record of the LiDAR mode (936 bytes, the device variable "params" of
// "raygen_lidar"): the backward record's head, then the pulses, the beam
// pattern, the range window and the output buffers. Read by g++ and nvcc.

#include <cstddef>
#include <cstdint>

#include "gpu/device_records.h"

namespace norvi {

// Floats of one direct-mode device point: x, y, z, intensity, pulse index.
constexpr int kLidarDevicePointFloats = 5;

struct LidarLaunchRecord {
    DevicePtr film;  // 0
    uint32_t width, height;  // 0
    SceneData scene;
    DevicePtr hits;
    DevicePtr rngs;  // 0
    uint32_t num_rays;
    uint32_t num_bands;
    uint8_t zero0[24];
    int32_t one0;       // 1
    int32_t depth999;   // 999
    uint8_t zero1[16];
    int32_t one1;  // 1
    uint8_t zero2[132];
    DevicePtr origins;     // float3 per pulse
    DevicePtr directions;  // float3 per pulse, unit
    int32_t num_pulses;
    uint8_t zero3[4];
    DevicePtr beam_xy;  // (a, b) per sample
    DevicePtr beam_w;   // weight per sample
    int32_t num_samples;
    float beam_half_angle_rad;
    float pulse_energy;
    float sensor_area;
    float range_resolution;
    float min_range;
    float max_range;
    int32_t num_bins;
    int32_t num_wavelengths;
    int32_t one2;  // 1
    DevicePtr waveform;  // float[num_pulses * num_bins * num_wavelengths]
    uint8_t zero4[56];
    bool direct_mode;
    uint8_t zero5[7];
    DevicePtr direct_points;   // kLidarDevicePointFloats floats per point
    DevicePtr direct_counter;  // uint32
    int32_t direct_pulses;
    uint8_t zero6[140];
};

static_assert(sizeof(LidarLaunchRecord) == 936 && alignof(LidarLaunchRecord) == 8, "936-byte launch record");
static_assert(offsetof(LidarLaunchRecord, scene) == 16, "");
static_assert(offsetof(LidarLaunchRecord, hits) == 416, "");
static_assert(offsetof(LidarLaunchRecord, num_rays) == 432, "");
static_assert(offsetof(LidarLaunchRecord, one0) == 464, "");
static_assert(offsetof(LidarLaunchRecord, depth999) == 468, "");
static_assert(offsetof(LidarLaunchRecord, one1) == 488, "");
static_assert(offsetof(LidarLaunchRecord, origins) == 624, "");
static_assert(offsetof(LidarLaunchRecord, directions) == 632, "");
static_assert(offsetof(LidarLaunchRecord, num_pulses) == 640, "");
static_assert(offsetof(LidarLaunchRecord, beam_xy) == 648, "");
static_assert(offsetof(LidarLaunchRecord, beam_w) == 656, "");
static_assert(offsetof(LidarLaunchRecord, num_samples) == 664, "");
static_assert(offsetof(LidarLaunchRecord, beam_half_angle_rad) == 668, "");
static_assert(offsetof(LidarLaunchRecord, max_range) == 688, "");
static_assert(offsetof(LidarLaunchRecord, num_bins) == 692, "");
static_assert(offsetof(LidarLaunchRecord, one2) == 700, "");
static_assert(offsetof(LidarLaunchRecord, waveform) == 704, "");
static_assert(offsetof(LidarLaunchRecord, direct_mode) == 768, "");
static_assert(offsetof(LidarLaunchRecord, direct_points) == 776, "");
static_assert(offsetof(LidarLaunchRecord, direct_counter) == 784, "");
static_assert(offsetof(LidarLaunchRecord, direct_pulses) == 792, "");

}  // namespace norvi
