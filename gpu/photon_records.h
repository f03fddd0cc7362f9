#pragma once
// Launch record of the forward and flux photon modes (936 bytes, the device
// variable "params" of "raygen_forward" and "raygen_flux"). It shares the
// backward record's head (sizes, scene, working buffers, depths, batch) and
// adds the tally buffers. Read by g++ and nvcc alike.

#include <cstddef>
#include <cstdint>

#include "gpu/device_records.h"

namespace norvi {

// Photons per launch at most: the per-photon working buffers stay bounded.
constexpr int kPhotonLaunchBatch = 2097152;
constexpr int kPhotonLaunchWidth = 1024;

struct PhotonLaunchParams {
    DevicePtr film;    // 0
    uint32_t width;    // 1024
    uint32_t height;   // rows of the batch
    SceneData scene;
    DevicePtr hits;
    DevicePtr rngs;
    uint32_t rounded_photons;  // batch photons rounded up to a multiple of 1024
    uint32_t num_bands;
    uint8_t zero0[8];
    DevicePtr tp;
    DevicePtr rad;
    int32_t max_depth;
    int32_t rr_depth;
    int32_t spp;  // 1
    int32_t batch;
    uint8_t zero1[8];
    int32_t batch_index;  // the same value as batch
    uint8_t zero2[4];
    // Forward
    DevicePtr grid;  // double[nx * ny * layers * num_bands]
    int32_t nx, ny;
    int32_t layers;
    float dx, dy;
    uint8_t zero3[4];
    DevicePtr layer_heights;  // float[layers + 1]
    double photon_energy;     // extent area / total photons (both modes)
    float prob_sun;           // both modes
    uint8_t zero4[4];
    DevicePtr leaf;          // double[leaf_triangles * num_bands]
    DevicePtr leaf_offsets;  // int32[num_instances + 1]
    int32_t leaf_triangles;
    bool per_leaf;
    uint8_t zero5[3];
    DevicePtr terrain;  // double[num_bands]
    int32_t terrain_instance_id;
    int32_t batch_photons;  // exact photons of this batch (both modes)
    DevicePtr brf_dirs;     // float3 per direction, unit
    DevicePtr brf;          // double[num_brf_dirs * num_bands]
    DevicePtr albedo;       // double[num_bands]
    int32_t num_brf_dirs;
    float grid_top;  // last layer height
    int32_t first_photon;  // run-wide index of the launch's photon 0 (a part of a run); 0 otherwise
    uint8_t zero6[228];
    // Flux
    DevicePtr flux_down;  // double[nx * ny * num_bands]
    DevicePtr flux_up;
    int32_t flux_nx, flux_ny;
    float flux_dx, flux_dy;
    int32_t max_bounces;
    uint8_t zero7[44];
};

static_assert(sizeof(PhotonLaunchParams) == 936 && alignof(PhotonLaunchParams) == 8, "936-byte launch record");
static_assert(offsetof(PhotonLaunchParams, scene) == 16, "");
static_assert(offsetof(PhotonLaunchParams, rounded_photons) == 432, "");
static_assert(offsetof(PhotonLaunchParams, tp) == 448, "");
static_assert(offsetof(PhotonLaunchParams, max_depth) == 464, "");
static_assert(offsetof(PhotonLaunchParams, batch) == 476, "");
static_assert(offsetof(PhotonLaunchParams, batch_index) == 488, "");
static_assert(offsetof(PhotonLaunchParams, grid) == 496, "");
static_assert(offsetof(PhotonLaunchParams, nx) == 504, "");
static_assert(offsetof(PhotonLaunchParams, layers) == 512, "");
static_assert(offsetof(PhotonLaunchParams, dx) == 516, "");
static_assert(offsetof(PhotonLaunchParams, layer_heights) == 528, "");
static_assert(offsetof(PhotonLaunchParams, photon_energy) == 536, "");
static_assert(offsetof(PhotonLaunchParams, prob_sun) == 544, "");
static_assert(offsetof(PhotonLaunchParams, leaf) == 552, "");
static_assert(offsetof(PhotonLaunchParams, leaf_offsets) == 560, "");
static_assert(offsetof(PhotonLaunchParams, leaf_triangles) == 568, "");
static_assert(offsetof(PhotonLaunchParams, per_leaf) == 572, "");
static_assert(offsetof(PhotonLaunchParams, terrain) == 576, "");
static_assert(offsetof(PhotonLaunchParams, terrain_instance_id) == 584, "");
static_assert(offsetof(PhotonLaunchParams, batch_photons) == 588, "");
static_assert(offsetof(PhotonLaunchParams, brf_dirs) == 592, "");
static_assert(offsetof(PhotonLaunchParams, brf) == 600, "");
static_assert(offsetof(PhotonLaunchParams, albedo) == 608, "");
static_assert(offsetof(PhotonLaunchParams, num_brf_dirs) == 616, "");
static_assert(offsetof(PhotonLaunchParams, grid_top) == 620, "");
static_assert(offsetof(PhotonLaunchParams, first_photon) == 624, "");
static_assert(offsetof(PhotonLaunchParams, flux_down) == 856, "");
static_assert(offsetof(PhotonLaunchParams, flux_nx) == 872, "");
static_assert(offsetof(PhotonLaunchParams, flux_dx) == 880, "");
static_assert(offsetof(PhotonLaunchParams, max_bounces) == 888, "");

}  // namespace norvi
