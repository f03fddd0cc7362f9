#pragma once
// Flux maps on the CPU by forward photon tracing: the power arriving at
// surfaces ("downwelling") and leaving them after scattering ("upwelling") in
// each cell of a horizontal grid over the tile, per band.

#include <functional>
#include <vector>

#include "cpu/photon_batches.h"
#include "scene/embree_scene.h"

namespace norvi::embree {

struct FluxResult {
    // Index (iy * nx + ix) * num_bands + b. Cell (ix, iy) covers
    // [ix, ix + 1) * cell_x by [iy, iy + 1) * cell_y from the world origin.
    std::vector<float> down;
    std::vector<float> up;
    int nx = 0;
    int ny = 0;
    int num_bands = 0;
};

// Traces `num_photons` photons into a built scene.
//   num_bands: must equal the scene's band count.
//   prob_sun: probability of a sun photon when a sky is configured.
//   max_bounces: surface arrivals recorded per photon; 0 = all (negative is refused).
//   max_depth: surface interactions per photon (NORVI_MAX_DEPTH overrides it).
//   rr_depth: first bounce with Russian roulette.
//   num_threads < 1: the hardware concurrency.
//   progress(done, total, elapsed_ms) after each batch of a million photons.
//   photons: the part of the run traced by this call (default: all of it);
//     area per photon and random streams stay those of the whole run.
// Arguments that would index outside a tally or an input throw
// std::invalid_argument before any photon is traced.
FluxResult render_flux(const EmbreeSceneManager& scene, int nx, int ny, int num_photons,
                       int num_bands, float prob_sun, int max_bounces, int max_depth,
                       int rr_depth, int num_threads,
                       const std::function<void(int, int, float)>& progress,
                       PhotonRange photons = {});

}  // namespace norvi::embree
