#pragma once
// Passive microwave materials and parameters, shared by the CPU engine and
// the GPU simulator: the host records the Python layer fills, and the 80-byte
// material record the per-path code reads (copied byte for byte to the device,
// its layout fixed by the static_asserts below).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scene/host_device.h"

namespace norvi {

enum MwMaterialType : uint32_t {
    kMwSoil = 1,
    kMwVegetation = 2,
    kMwTrunk = 3,
};

// Columns of one soil row (MwSoilParams fields).
struct MwSoilParams {
    enum : int {
        kMoisture = 0,     // volumetric moisture m_v [m^3/m^3]
        kSand = 1,         // sand mass fraction, 0..1
        kClay = 2,         // clay mass fraction, 0..1
        kBulkDensity = 3,  // dry bulk density [g/cm^3]
        kTemperature = 4,  // [K]
        kRoughnessH = 5,   // HQN h
        kRoughnessQ = 6,   // HQN Q (polarisation mixing)
        kRoughnessNH = 7,  // HQN N_H
        kRoughnessNV = 8,  // HQN N_V
        kModel = 9,        // dielectric model code (MwSoilModel), truncated to an integer
        kCount = 10,
    };
};

// Columns of one vegetation row; columns 3 to 7 are not read.
struct MwVegParams {
    enum : int {
        kTemperature = 0,  // [K]
        kExtinction = 1,   // volume extinction coefficient kappa_e [1/m]
        kAlbedo = 2,       // single-scattering albedo omega, 0..1
        kMinColumns = 6,
        kCount = 8,
    };
};

// Columns of one trunk row (MwTrunkParams fields).
struct MwTrunkParams {
    enum : int {
        kRadius = 0,       // [m]
        kMoisture = 1,     // gravimetric moisture of the wood, 0..1
        kTemperature = 2,  // [K]
        kAxisX = 3,
        kAxisY = 4,
        kAxisZ = 5,
        kCount = 6,
    };
};

// Host microwave material: type, 10 parameters, and for vegetation the
// caller's Mueller table (16 floats per (cti, cts, dphi) cell) with its cts
// and dphi sampling tables (empty Mueller table: isotropic scattering).
struct MicrowaveMaterial {
    uint32_t type = 0;
    float params[10] = {};
    std::vector<float> mueller;
    std::vector<float> cdf_cts;   // cti x cts values
    std::vector<float> cdf_dphi;  // cti x cts x dphi values
    int32_t cti = 0, cts = 0, dphi = 0;
};

// One passive microwave simulation (GPU simulate_microwave, CPU
// simulate_microwave_cpu). include_atmosphere is accepted and not used:
// atm_tau = 0 turns the atmosphere off.
struct MicrowaveParams {
    float frequency = 1.4e9f;  // [Hz]
    int n_channels = 2;        // 1 total, 2 (H, V), 4 (T_H, T_V, U, V)
    int spp = 64;
    int max_depth = 8;
    float air_temperature = 293.0f;  // [K]
    float atm_tau = 0.01f;           // nadir optical depth [Np]
    bool include_atmosphere = true;
    std::vector<MicrowaveMaterial> materials;  // soil rows, then vegetation, then trunk
    std::vector<int32_t> material_map;         // optical material -> microwave material, -1 none
};

// Device form of a microwave material (80 bytes, zeroed then filled). Soil:
// params[0..7] = row values 0..7, soil.param9 = value 8 (bit copy),
// soil.model = value 9 truncated. Vegetation: params[0..7] = row values 0..7
// and, when it has a Mueller table, the three table pointers and dimensions.
// Trunk: params[0..5] = row values 0..5.
struct MwMaterialRecord {
    struct SoilTail {
        float param9;
        int32_t model;
    };
    uint32_t type;
    uint32_t reserved0;
    float params[8];
    union {
        SoilTail soil;
        const float* mueller;
    };
    const float* cdf_cts;
    const float* cdf_dphi;
    int32_t cti, cts;
    int32_t dphi;
    uint32_t reserved1;
};

static_assert(sizeof(MwMaterialRecord) == 80, "MwMaterialRecord is 80 bytes");
static_assert(offsetof(MwMaterialRecord, params) == 8, "MwMaterialRecord::params at 8");
static_assert(offsetof(MwMaterialRecord, soil) == 40, "MwMaterialRecord::soil at 40");
static_assert(offsetof(MwMaterialRecord, mueller) == 40, "MwMaterialRecord::mueller at 40");
static_assert(offsetof(MwMaterialRecord, cdf_cts) == 48, "MwMaterialRecord::cdf_cts at 48");
static_assert(offsetof(MwMaterialRecord, cdf_dphi) == 56, "MwMaterialRecord::cdf_dphi at 56");
static_assert(offsetof(MwMaterialRecord, cti) == 64, "MwMaterialRecord::cti at 64");
static_assert(offsetof(MwMaterialRecord, dphi) == 72, "MwMaterialRecord::dphi at 72");

// The record of one host material, its table pointers taken from the given
// arrays (host copies for the CPU engine, device copies for the GPU).
MwMaterialRecord make_mw_material_record(const MicrowaveMaterial& m, const float* mueller,
                                         const float* cdf_cts, const float* cdf_dphi);

// Checks everything a run reads before any work: n_channels 1, 2 or 4,
// spp and max_depth >= 1, finite positive frequency, finite non-negative
// air temperature and atm_tau, each material's type and values (soil model
// code, fractions, densities, temperatures, extinction, albedo), tables at
// least as long as their dimensions say, and every material_map entry -1 or
// a material index. Throws std::invalid_argument whose message starts with
// `engine` and names the argument and the value.
void validate_microwave_params(const MicrowaveParams& p, const char* engine);

}  // namespace norvi
