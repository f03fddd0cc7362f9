#pragma once
// The scene vocabulary shared by the CPU and GPU back ends.
//
// MaterialData, SensorData and EmitterData are copied byte for byte into GPU
// device memory, so their layouts are a format: every size and offset is fixed
// by a static_assert below. Do not reorder fields.

#include <cstddef>
#include <cstdint>

#include "scene/host_device.h"

namespace norvi {

// Three packed 32-bit floats (stride 12). Vertex and normal arrays are
// contiguous arrays of these and are handed to Embree and CUDA as such.
struct float3 {
    float x, y, z;
};

// Three packed signed 32-bit integers: the vertex indices of one triangle.
struct int3 {
    int32_t x, y, z;
};

static_assert(sizeof(float3) == 12 && alignof(float3) == 4, "float3 must be packed");
static_assert(sizeof(int3) == 12 && alignof(int3) == 4, "int3 must be packed");

// Material kinds. Values other than these are carried unchanged to the device
// programs; the CPU engines treat them as black (but still thermally emitting).
enum class MaterialType : int32_t {
    Lambertian = 0,    // rho
    Rpv = 1,           // rho0, k, Theta, rho_c
    TwoSidedLeaf = 13  // R_front, R_back, T
};

// Number of scalar parameter slots in a material record, and how many of them
// the Python layer writes.
constexpr int kMaterialParamSlots = 19;
constexpr int kMaterialParamsWritable = 8;

// Material record (88 bytes).
//   params[0], params[1]: leaf reflect / transmit weights (two-sided leaf only)
//   params[2]: single surface temperature [K]
//   params[3], params[4]: sunlit and shaded temperatures [K]
struct MaterialData {
    MaterialType type;        // material kind
    int32_t spectral_offset;  // base index of this material's spectral arrays
    int32_t reserved;         // always 0
    float params[kMaterialParamSlots];
};

static_assert(sizeof(MaterialData) == 88, "MaterialData is 88 bytes");
static_assert(offsetof(MaterialData, type) == 0, "MaterialData::type at 0");
static_assert(offsetof(MaterialData, spectral_offset) == 4, "MaterialData::spectral_offset at 4");
static_assert(offsetof(MaterialData, reserved) == 8, "MaterialData::reserved at 8");
static_assert(offsetof(MaterialData, params) == 12, "MaterialData::params at 12");

// Sensor projection kinds as the CPU backward renderer generates rays.
enum SensorType : int32_t {
    kSensorOrthographic = 0,
    kSensorPerspective = 1,
    kSensorFisheye = 4
};

// Fisheye mappings (SensorData::projection_type when type is fisheye);
// any value other than 0, 1, 2 is stereographic.
enum FisheyeProjection : int32_t {
    kFisheyeEquisolid = 0,
    kFisheyeEquidistant = 1,
    kFisheyeOrthographic = 2,
    kFisheyeStereographic = 3
};

// Sensor record (136 bytes). Camera space looks along -z; columns grow toward
// +x and rows toward +y (row 0 is at the -y edge).
struct SensorData {
    int32_t type;            // SensorType
    int32_t width;           // pixels
    int32_t height;          // pixels
    float cam_xform[16];     // camera-to-world, row-major 4x4; rows 0-2 used
    float fov;               // radians
    float reserved0[3];      // 0
    float ortho_w;           // orthographic footprint width (world units)
    float ortho_h;           // orthographic footprint height
    float reserved1[7];      // 0
    int32_t projection_type; // FisheyeProjection, used when type is fisheye
    int32_t reserved2;       // 0
};

static_assert(sizeof(SensorData) == 136, "SensorData is 136 bytes");
static_assert(offsetof(SensorData, type) == 0, "SensorData::type at 0");
static_assert(offsetof(SensorData, width) == 4, "SensorData::width at 4");
static_assert(offsetof(SensorData, height) == 8, "SensorData::height at 8");
static_assert(offsetof(SensorData, cam_xform) == 12, "SensorData::cam_xform at 12");
static_assert(offsetof(SensorData, fov) == 76, "SensorData::fov at 76");
static_assert(offsetof(SensorData, reserved0) == 80, "SensorData::reserved0 at 80");
static_assert(offsetof(SensorData, ortho_w) == 92, "SensorData::ortho_w at 92");
static_assert(offsetof(SensorData, ortho_h) == 96, "SensorData::ortho_h at 96");
static_assert(offsetof(SensorData, reserved1) == 100, "SensorData::reserved1 at 100");
static_assert(offsetof(SensorData, projection_type) == 128, "SensorData::projection_type at 128");
static_assert(offsetof(SensorData, reserved2) == 132, "SensorData::reserved2 at 132");

// Emitter kinds. The CPU engines treat every emitter as a directional sun;
// the value is passed through to the device programs.
enum class EmitterType : int32_t {
    Directional = 0
};

// Emitter (sun) record (80 bytes).
struct EmitterData {
    EmitterType type;         // emitter kind
    float3 direction;         // unit vector from the scene toward the sun
    float reserved0[3];       // 0
    int32_t spectral_offset;  // base index of the sun irradiance array
    uint8_t reserved1[48];    // 0
};

static_assert(sizeof(EmitterData) == 80, "EmitterData is 80 bytes");
static_assert(offsetof(EmitterData, type) == 0, "EmitterData::type at 0");
static_assert(offsetof(EmitterData, direction) == 4, "EmitterData::direction at 4");
static_assert(offsetof(EmitterData, reserved0) == 16, "EmitterData::reserved0 at 16");
static_assert(offsetof(EmitterData, spectral_offset) == 28, "EmitterData::spectral_offset at 28");
static_assert(offsetof(EmitterData, reserved1) == 32, "EmitterData::reserved1 at 32");

// Scene bounds kept after a build, in this order.
struct SceneBounds {
    float top = 0.0f;     // largest z
    float bottom = 0.0f;  // smallest z
    float x_min = 0.0f;
    float x_max = 0.0f;
    float y_min = 0.0f;
    float y_max = 0.0f;
};

// Spectral addressing: value = array[offset + k * num_bands + b].
NORVI_HD int spectral_index(int offset, int k, int num_bands, int band) {
    return offset + k * num_bands + band;
}

}  // namespace norvi
