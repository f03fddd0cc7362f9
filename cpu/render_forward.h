#pragma once
// Forward photon tracer on the CPU: sun and sky photons are followed through
// a built scene with absorption, scattering and Russian roulette, and the
// energy they deposit is tallied per voxel of a layered grid over the tile,
// per triangle of every instance, on a chosen terrain instance, toward given
// view directions (by next-event estimation) and as albedo. Tallies are raw
// energies: irradiance unit times square metres.

#include <functional>
#include <vector>

#include "cpu/photon_batches.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

struct ForwardResult {
    // Absorbed energy, index ((k * ny + iy) * nx + ix) * num_bands + b for
    // layer k, cell row iy, column ix, band b.
    std::vector<float> grid;
    // Absorbed energy per triangle, index (offset[instance] + prim_id) *
    // num_bands + b, offsets running over the instances in order. Empty
    // unless per-leaf tallies were asked for and the scene has triangles.
    std::vector<float> leaf;
    // Energy scattered toward each view direction, index k * num_bands + b.
    std::vector<float> brf;
    // Energy leaving the scene upward, per band; only with view directions.
    std::vector<float> albedo;
    // Energy absorbed by the terrain instance, per band; only with one.
    std::vector<float> terrain;
    int nx = 0;
    int ny = 0;
    int layers = 0;
    int num_bands = 0;
};

// Traces `num_photons` photons into a built scene.
//   layer_heights: ascending layer boundaries in z (at least two).
//   num_bands: must equal the scene's band count.
//   prob_sun: probability of a sun photon when a sky is configured.
//   brf_directions: num_brf_dirs unit vectors (x, y, z) toward the viewer.
//   num_threads < 1: the hardware concurrency.
//   progress(done, total, elapsed_ms) after each batch of a million photons.
//   terrain_instance_id: instance tallied in `terrain` instead of `leaf`; < 0: none.
//   photons: the part of the run traced by this call (default: all of it);
//     area per photon and random streams stay those of the whole run.
// Arguments that would index outside a tally or an input throw
// std::invalid_argument before any photon is traced.
ForwardResult render_forward(const EmbreeSceneManager& scene, int nx, int ny,
                             const std::vector<float>& layer_heights, int num_photons,
                             int num_bands, bool per_leaf, float prob_sun,
                             const float* brf_directions, int num_brf_dirs, int max_depth,
                             int rr_depth, int num_threads,
                             const std::function<void(int, int, float)>& progress,
                             int terrain_instance_id, PhotonRange photons = {});

}  // namespace norvi::embree
