#pragma once
// Host-side parameter records of the GPU forward and flux photon modes, and
// the checks they pass before any device work: every value that would index
// outside a tally or an input array is refused with std::invalid_argument
// naming the argument and its value.

#include <functional>
#include <vector>

#include "gpu/scene_manager.h"

namespace norvi {

using PhotonProgress = std::function<void(int, int, float)>;

struct ForwardParams {
    int nx = 1;
    int ny = 1;
    std::vector<float> layer_heights;  // layer boundaries, at least 2
    int num_photons = 10000000;
    bool per_leaf = false;
    std::vector<float> brf_directions;  // 3 floats per direction
    int num_brf_dirs = 0;
    float prob_sun = 1.0f;
    int max_depth = 16;
    int terrain_instance_id = -1;  // -1: none
    PhotonProgress progress;
    // A part of the run: photons [first_photon, first_photon + photon_count)
    // of num_photons (photon_count < 0: to the end); tallies hold that part's
    // share, each photon weighted as in the whole run.
    int first_photon = 0;
    int photon_count = -1;
};

struct FluxParams {
    int nx = 1;
    int ny = 1;
    int num_photons = 0;
    float prob_sun = 1.0f;
    int max_bounces = 0;  // arrivals recorded per photon; 0: all
    int max_depth = 16;
    int rr_depth = 3;
    PhotonProgress progress;
    int first_photon = 0;  // a part of the run, as in ForwardParams
    int photon_count = -1;
};

// Forward: grid size, photon count, prob_sun, layer heights (finite, strictly
// increasing), view directions (present, finite, non-zero when counted), a
// terrain instance that exists, and the size of every tally. Returns the view
// directions normalised (3 floats each).
std::vector<float> check_forward_params(const SceneManager& scene, const ForwardParams& p);
// Flux: grid size, photon count, prob_sun, max_bounces >= 0 and the map size.
void check_flux_params(const SceneManager& scene, const FluxParams& p);

}  // namespace norvi
