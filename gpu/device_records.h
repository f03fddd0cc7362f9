#pragma once
// The records the host fills and the GPU device programs read, byte for byte.
//
// This header is read by g++ (host) and by nvcc (gpu/programs), so it uses
// only fixed-width types and the scene vocabulary of scene/types.h. Device
// addresses are 64-bit CUDA device pointers (0 when absent), booleans are one
// byte, and every record is value-initialised (all bytes zero, padding
// included) before it is filled. Every offset is fixed by a static_assert;
// the same asserts run under both compilers.

#include <cstddef>
#include <cstdint>

#include "scene/types.h"

namespace norvi {

using DevicePtr = unsigned long long;          // CUdeviceptr
using TraversableHandle = unsigned long long;  // OptixTraversableHandle

// Largest band count a GPU scene holds; the device programs size their
// per-band arrays by it.
constexpr int kMaxGpuBands = 128;

static_assert(sizeof(bool) == 1, "device records store booleans in one byte");

// Scene record (400 bytes), embedded in every launch record.
struct SceneData {
    TraversableHandle traversable;  // top-level instance acceleration structure
    DevicePtr materials;            // MaterialData[num_materials]
    uint32_t num_materials;
    uint32_t pad0;
    DevicePtr spectral_params;  // float[]
    DevicePtr emitter;          // one EmitterData
    uint32_t num_emitters;      // always 1
    SensorData sensor;          // byte copy of the scene's sensor
    uint32_t pad1;
    int32_t num_bands;  // at most 128
    uint8_t reserved0[28];
    float3 scene_min;  // scene box, lower corner
    float3 scene_max;  // scene box, upper corner
    int32_t sky;            // sky mode, -1 = none
    int32_t hw_sky_offset;  // spectral offset of the sky radiance, -1 = none
    float3 hw_sky_sun;      // sun direction of the sky model
    int32_t num_repetitions;
    float scene_x_size;
    float scene_y_size;
    uint8_t reserved1[8];
    uint32_t num_meshes;
    bool thermal;
    uint8_t pad2[3];
    DevicePtr thermal_wavelengths;  // float[], 0 when empty
    bool terrain_following;
    uint8_t pad3[3];
    float measurement_height;
    DevicePtr prim_v0;            // float3 per primitive, world space
    DevicePtr prim_v1;            // float3 per primitive
    DevicePtr prim_v2;            // float3 per primitive
    DevicePtr prim_normals;       // float3 per primitive, unit geometric normal
    DevicePtr prim_areas;         // float per primitive
    DevicePtr prim_material_ids;  // int32 per primitive
    uint32_t num_primitives;
    uint32_t pad4;
    DevicePtr prim_temperatures;      // float per primitive [K], 0 when not set
    DevicePtr instance_prim_offsets;  // int32[num_instances + 1]
    DevicePtr prim_emissivities;      // float per primitive, 0 when not set
    DevicePtr prim_sif_spectra;       // float[n_sif_bands * num_primitives], band-major
    uint32_t n_sif_bands;
    bool sif_only;
    uint8_t pad5[3];
};

static_assert(sizeof(SceneData) == 400 && alignof(SceneData) == 8, "SceneData is 400 bytes, 8-aligned");
static_assert(offsetof(SceneData, traversable) == 0, "");
static_assert(offsetof(SceneData, materials) == 8, "");
static_assert(offsetof(SceneData, num_materials) == 16, "");
static_assert(offsetof(SceneData, spectral_params) == 24, "");
static_assert(offsetof(SceneData, emitter) == 32, "");
static_assert(offsetof(SceneData, num_emitters) == 40, "");
static_assert(offsetof(SceneData, sensor) == 44, "");
static_assert(offsetof(SceneData, pad1) == 180, "");
static_assert(offsetof(SceneData, num_bands) == 184, "");
static_assert(offsetof(SceneData, reserved0) == 188, "");
static_assert(offsetof(SceneData, scene_min) == 216, "");
static_assert(offsetof(SceneData, scene_max) == 228, "");
static_assert(offsetof(SceneData, sky) == 240, "");
static_assert(offsetof(SceneData, hw_sky_offset) == 244, "");
static_assert(offsetof(SceneData, hw_sky_sun) == 248, "");
static_assert(offsetof(SceneData, num_repetitions) == 260, "");
static_assert(offsetof(SceneData, scene_x_size) == 264, "");
static_assert(offsetof(SceneData, scene_y_size) == 268, "");
static_assert(offsetof(SceneData, reserved1) == 272, "");
static_assert(offsetof(SceneData, num_meshes) == 280, "");
static_assert(offsetof(SceneData, thermal) == 284, "");
static_assert(offsetof(SceneData, thermal_wavelengths) == 288, "");
static_assert(offsetof(SceneData, terrain_following) == 296, "");
static_assert(offsetof(SceneData, measurement_height) == 300, "");
static_assert(offsetof(SceneData, prim_v0) == 304, "");
static_assert(offsetof(SceneData, prim_v1) == 312, "");
static_assert(offsetof(SceneData, prim_v2) == 320, "");
static_assert(offsetof(SceneData, prim_normals) == 328, "");
static_assert(offsetof(SceneData, prim_areas) == 336, "");
static_assert(offsetof(SceneData, prim_material_ids) == 344, "");
static_assert(offsetof(SceneData, num_primitives) == 352, "");
static_assert(offsetof(SceneData, prim_temperatures) == 360, "");
static_assert(offsetof(SceneData, instance_prim_offsets) == 368, "");
static_assert(offsetof(SceneData, prim_emissivities) == 376, "");
static_assert(offsetof(SceneData, prim_sif_spectra) == 384, "");
static_assert(offsetof(SceneData, n_sif_bands) == 392, "");
static_assert(offsetof(SceneData, sif_only) == 396, "");

// EmitterData (80 bytes) and MaterialData (88 bytes) of scene/types.h are
// copied to the device unchanged; their layouts are asserted there.

// One instance on the host (52 bytes): which mesh, and where.
struct InstanceData {
    int32_t mesh_index;
    float transform[12];  // object-to-world, row-major 3x4
};

static_assert(sizeof(InstanceData) == 52 && alignof(InstanceData) == 4, "InstanceData is 52 bytes, 4-aligned");
static_assert(offsetof(InstanceData, mesh_index) == 0, "");
static_assert(offsetof(InstanceData, transform) == 4, "");

// Hit-group payload (40 bytes), one per device mesh.
struct HitGroupData {
    DevicePtr vertices;  // float3 per vertex, object space
    DevicePtr normals;   // float3 per vertex, 0 when the mesh has none
    DevicePtr reserved;  // 0
    DevicePtr indices;   // int3 per triangle
    int32_t material_id;
    uint32_t pad;
};

static_assert(sizeof(HitGroupData) == 40 && alignof(HitGroupData) == 8, "HitGroupData is 40 bytes");
static_assert(offsetof(HitGroupData, vertices) == 0, "");
static_assert(offsetof(HitGroupData, normals) == 8, "");
static_assert(offsetof(HitGroupData, reserved) == 16, "");
static_assert(offsetof(HitGroupData, indices) == 24, "");
static_assert(offsetof(HitGroupData, material_id) == 32, "");

// Empty payload of ray-generation and miss records.
struct EmptyRecordData {
    uint8_t zero[16];
};

constexpr std::size_t kSbtRecordHeaderSize = 32;
constexpr std::size_t kSbtRecordAlignment = 16;

// Shader-binding-table record: the 32-byte header optixSbtRecordPackHeader
// writes, then the payload, padded to a multiple of 16 bytes.
template <typename T>
struct alignas(kSbtRecordAlignment) SbtRecord {
    alignas(kSbtRecordAlignment) uint8_t header[kSbtRecordHeaderSize];
    T data;
};

using RaygenRecord = SbtRecord<EmptyRecordData>;
using MissRecord = SbtRecord<EmptyRecordData>;
using HitGroupRecord = SbtRecord<HitGroupData>;

static_assert(sizeof(RaygenRecord) == 48 && sizeof(MissRecord) == 48, "ray-generation and miss records are 48 bytes");
static_assert(sizeof(HitGroupRecord) == 80, "hit-group records are 80 bytes");
static_assert(alignof(HitGroupRecord) == 16, "records are 16-aligned");
static_assert(offsetof(HitGroupRecord, data) == 32, "payload follows the 32-byte header");

// Launch record of the backward simulation (936 bytes), the device variable
// "params" of "raygen_backward".
struct LaunchParams {
    DevicePtr film;  // float[num_pixels * num_bands]
    uint32_t width;
    uint32_t height;
    SceneData scene;
    DevicePtr hits;  // 64 bytes per pixel, device working state
    DevicePtr rngs;  // 16 bytes per pixel, device working state
    uint32_t num_pixels;
    uint32_t num_bands;
    uint8_t zero0[8];
    DevicePtr tp;   // float per pixel and band, device working state
    DevicePtr rad;  // float per pixel and band, device working state
    int32_t max_depth;
    int32_t rr_depth;  // always 3
    int32_t spp;
    int32_t pass;
    uint8_t zero1[8];
    int32_t pass_index;  // the same value as pass
    int32_t first_row;   // sensor row of launch row 0: a band of rows; 0 for the whole image
    uint8_t zero2[440];
};

static_assert(sizeof(LaunchParams) == 936 && alignof(LaunchParams) == 8, "LaunchParams is 936 bytes");
static_assert(offsetof(LaunchParams, film) == 0, "");
static_assert(offsetof(LaunchParams, width) == 8, "");
static_assert(offsetof(LaunchParams, height) == 12, "");
static_assert(offsetof(LaunchParams, scene) == 16, "");
static_assert(offsetof(LaunchParams, hits) == 416, "");
static_assert(offsetof(LaunchParams, rngs) == 424, "");
static_assert(offsetof(LaunchParams, num_pixels) == 432, "");
static_assert(offsetof(LaunchParams, num_bands) == 436, "");
static_assert(offsetof(LaunchParams, zero0) == 440, "");
static_assert(offsetof(LaunchParams, tp) == 448, "");
static_assert(offsetof(LaunchParams, rad) == 456, "");
static_assert(offsetof(LaunchParams, max_depth) == 464, "");
static_assert(offsetof(LaunchParams, rr_depth) == 468, "");
static_assert(offsetof(LaunchParams, spp) == 472, "");
static_assert(offsetof(LaunchParams, pass) == 476, "");
static_assert(offsetof(LaunchParams, zero1) == 480, "");
static_assert(offsetof(LaunchParams, pass_index) == 488, "");
static_assert(offsetof(LaunchParams, first_row) == 492, "");

}  // namespace norvi
